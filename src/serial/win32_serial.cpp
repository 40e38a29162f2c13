#include "serial/win32_serial.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "serial/serial_values.h"

namespace morvane::serial {

namespace {

// One diagnostic line, written whole and flushed at once.
void diag(const std::string& line) {
  std::string out = line + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

void real_sleep(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string hex8(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(value));
  return buf;
}

bool starts_with_device_prefix(const std::string& port) { return port.rfind("\\\\.\\", 0) == 0; }

}  // namespace

class Win32Serial::Use {
 public:
  explicit Use(Win32Serial& port) : port_(port), ok_(port.acquire()) {}
  ~Use() {
    if (ok_) port_.release();
  }
  explicit operator bool() const { return ok_; }

 private:
  Win32Serial& port_;
  bool ok_;
};

Win32Serial::Win32Serial(const SerialParams& params, std::shared_ptr<CommApi> api, Sleeper sleep)
    : api_(api ? std::move(api) : default_comm_api()),
      sleep_(sleep ? std::move(sleep) : Sleeper(real_sleep)),
      port_(params.port) {
  // Settings are checked before the device is touched, so bad input opens nothing.
  auto baud = detail::as_integer(params.baudrate);
  if (!baud || *baud <= 0 || *baud > 0xFFFFFFFFLL)
    throw SerialError("invalid baudrate: " + detail::text_form(params.baudrate));
  auto bytesize = detail::as_integer(params.bytesize);
  if (!bytesize || *bytesize < 0 || *bytesize > 255)
    throw SerialError("invalid bytesize: " + detail::text_form(params.bytesize));
  auto parity_it = PARITY.find(detail::upper_ascii(detail::text_form(params.parity)));
  const int parity = parity_it == PARITY.end() ? 0 : parity_it->second;
  auto stop_it = STOPBITS.find(detail::text_form(params.stopbits));
  const int stopbits = stop_it == STOPBITS.end() ? 0 : stop_it->second;

  // "\\.\" reaches every COM port, also those numbered 10 and above.
  const std::string device_path = starts_with_device_prefix(port_) ? port_ : "\\\\.\\" + port_;
  OpenResult opened = api_->CreateFile(device_path);
  if (opened.handle == 0 || opened.handle == kInvalidHandle)
    throw SerialError("CreateFile failed for " + port_, opened.error);
  h_ = opened.handle;

  try {
    Dcb dcb = api_->GetCommState(h_);
    dcb.BaudRate = static_cast<std::uint32_t>(*baud);
    dcb.ByteSize = static_cast<std::uint8_t>(*bytesize);
    dcb.Parity = static_cast<std::uint8_t>(parity);
    dcb.StopBits = static_cast<std::uint8_t>(stopbits);
    dcb.fOutxCtsFlow = params.rtscts ? 1 : 0;
    dcb.fRtsControl = params.rtscts ? 2 : 1;
    dcb.fOutxDsrFlow = params.dsrdtr ? 1 : 0;
    dcb.fDtrControl = params.dsrdtr ? 2 : 1;
    dcb.fOutX = dcb.fInX = params.xonxoff ? 1 : 0;
    dcb.fBinary = 1;
    dcb.fParity = dcb.Parity != 0 ? 1 : 0;
    api_->SetCommState(h_, dcb);

    // Reads return at once with what is buffered; a write gives up after 1 s.
    CommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = 0xFFFFFFFFu;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1000;
    api_->SetCommTimeouts(h_, timeouts);
  } catch (...) {
    // The object is never handed out, so nobody else would release the handle.
    try {
      api_->CloseHandle(h_);
    } catch (...) {
    }
    throw;
  }

  try {
    api_->PurgeComm(h_, kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear);
  } catch (const std::exception&) {
    // Stale bytes are harmless; some drivers refuse the purge.
  }
  closed_.store(false, std::memory_order_release);
}

Win32Serial::~Win32Serial() { close(); }

bool Win32Serial::acquire() {
  std::lock_guard<std::mutex> lock(use_mutex_);
  if (closed_.load(std::memory_order_acquire)) return false;
  ++in_flight_;
  return true;
}

void Win32Serial::release() {
  {
    std::lock_guard<std::mutex> lock(use_mutex_);
    --in_flight_;
    if (!closed_.load(std::memory_order_acquire) || in_flight_ != 0 || released_) return;
    released_ = true;
  }
  try {
    api_->CloseHandle(h_);
  } catch (...) {
  }
}

void Win32Serial::close() noexcept {
  {
    std::lock_guard<std::mutex> lock(use_mutex_);
    if (closed_.load(std::memory_order_acquire)) return;
    closed_.store(true, std::memory_order_release);
    if (in_flight_ != 0 || released_) return;  // the last call in flight releases it
    released_ = true;
  }
  try {
    api_->CloseHandle(h_);
  } catch (...) {
  }
}

std::string Win32Serial::read(std::size_t max_bytes) {
  Use use(*this);
  if (!use || max_bytes == 0) return {};
  try {
    return api_->ReadFile(h_, max_bytes);
  } catch (const SerialError& e) {
    throw SerialError(std::string("ReadFile failed: ") + e.what(), e.code());
  }
}

std::size_t Win32Serial::write(std::string_view data) {
  Use use(*this);
  if (!use || data.empty()) return 0;
  try {
    return api_->WriteFile(h_, data);
  } catch (const SerialError& e) {
    throw SerialError(std::string("WriteFile failed: ") + e.what(), e.code());
  }
}

std::size_t Win32Serial::write_text(std::string_view text) {
  return write(detail::utf8_with_replacement(text));
}

bool Win32Serial::wait_readable(int timeout_ms) {
  Use use(*this);
  if (!use) return false;
  return api_->WaitReadable(h_, timeout_ms);
}

void Win32Serial::_modem_ctrl(std::uint32_t escape_code, std::uint32_t ioctl_code) {
  Use use(*this);
  if (!use) {
    // Both calls would meet a closed handle.
    const int e = api_->invalid_handle_error();
    throw SerialError("modem ctrl failed: EscapeCommFunction err=" + std::to_string(e) +
                          ", DeviceIoControl err=" + std::to_string(e),
                      e);
  }
  int e1 = 0;
  try {
    api_->EscapeCommFunction(h_, escape_code);
    return;
  } catch (const SerialError& e) {
    e1 = e.code();
  }
  // Some adapter drivers refuse the escape function but take the IOCTL.
  try {
    api_->DeviceIoControl(h_, ioctl_code);
  } catch (const SerialError& e) {
    throw SerialError("modem ctrl failed: EscapeCommFunction err=" + std::to_string(e1) +
                          ", DeviceIoControl err=" + std::to_string(e.code()),
                      e.code());
  }
  diag("[serial.modem] EscapeCommFunction(" + std::to_string(escape_code) + ") err=" +
       std::to_string(e1) + ", used DeviceIoControl(0x" + hex8(ioctl_code) + ")");
}

void Win32Serial::set_dtr(bool level) {
  if (!is_open()) return;
  if (level)
    _modem_ctrl(kSetDtr, kIoctlSetDtr);
  else
    _modem_ctrl(kClrDtr, kIoctlClrDtr);
}

void Win32Serial::set_rts(bool level) {
  if (!is_open()) return;
  if (level)
    _modem_ctrl(kSetRts, kIoctlSetRts);
  else
    _modem_ctrl(kClrRts, kIoctlClrRts);
}

Dcb Win32Serial::_grab_manual_modem_lines() {
  Use use(*this);
  if (!use) throw api_->error(api_->invalid_handle_error());
  Dcb saved = api_->GetCommState(h_);
  Dcb manual = api_->GetCommState(h_);
  // Lines enabled (both asserted, switchable by hand), handshakes off.
  manual.fDtrControl = 1;
  manual.fRtsControl = 1;
  manual.fOutxCtsFlow = 0;
  manual.fOutxDsrFlow = 0;
  api_->SetCommState(h_, manual);
  return saved;
}

void Win32Serial::_restore_dcb(const Dcb& saved) noexcept {
  Use use(*this);
  if (!use) return;
  try {
    api_->SetCommState(h_, saved);
  } catch (const std::exception& e) {
    diag(std::string("[serial.modem] DCB restore failed: ") + e.what());
  } catch (...) {
    diag("[serial.modem] DCB restore failed: unknown error");
  }
}

void Win32Serial::run_sequence(const char* name, const std::function<void()>& steps) {
  std::lock_guard<std::mutex> one_at_a_time(sequence_mutex_);
  diag(std::string("[serial.reset] ") + name + " begin");
  const Dcb saved = _grab_manual_modem_lines();
  try {
    steps();
  } catch (...) {
    _restore_dcb(saved);
    throw;
  }
  _restore_dcb(saved);
  diag(std::string("[serial.reset] ") + name + " end");
}

void Win32Serial::hard_reset() {
  run_sequence("hard_reset", [this] {
    set_dtr(false);
    set_rts(true);
    sleep_(0.1);
    set_rts(false);
    sleep_(0.05);
    set_dtr(true);
    set_rts(true);
  });
}

void Win32Serial::enter_bootloader() {
  run_sequence("enter_bootloader (classic UART)", [this] {
    set_dtr(false);
    set_rts(true);
    sleep_(0.1);
    set_dtr(true);
    set_rts(false);
    sleep_(0.05);
    set_rts(true);
  });
}

void Win32Serial::enter_bootloader_usb_jtag() {
  run_sequence("enter_bootloader_usb_jtag", [this] {
    set_dtr(false);
    set_rts(false);
    sleep_(0.1);
    set_dtr(true);
    set_rts(false);
    sleep_(0.1);
    set_rts(true);
    set_dtr(false);
    set_rts(true);
    sleep_(0.1);
    set_dtr(false);
    set_rts(false);
  });
}

}  // namespace morvane::serial
