// Serial tabs: a tab on a local serial port, read on the tab's connect worker, that survives
// unplugging by reopening the port every two seconds; and the ESP32 reset buttons, which drive
// the same port's modem lines on a worker while the reader keeps polling.
//
// Ways a serial tab's port stops: the tab is closed (its port is closed by the tab), the
// application stops, or 31 reads in a row fail (the device went away), after which the port
// is closed and reopened. Only the first two end the reader loop.
#include "kinds/serial/serial_kind.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <thread>

#include "kinds/serial/esp_flash.h"
#include "serial/list_ports.h"
#include "serial/win32_serial.h"
#include "util/diag.h"
#include "util/text.h"

namespace morvane::kinds {

namespace {

// Quiet 20 ms waits between two reads of an idle port (see the reader loop).
constexpr int kIdleSlices = 5;

using serial::SerialError;
using serial::SerialParams;
using serial::Win32Serial;

// The connect worker that runs a serial tab, named in the diagnostics.
thread_local std::string t_thread_name;

std::string thread_name() {
  if (!t_thread_name.empty()) return t_thread_name;
  std::ostringstream s;
  s << "Thread-" << std::this_thread::get_id();
  return s.str();
}

// Received bytes as the diagnostics show them: b'...' with escapes for the unprintable.
std::string bytes_repr(std::string_view data) {
  const bool dq = data.find('\'') != std::string_view::npos && data.find('"') == std::string_view::npos;
  const char q = dq ? '"' : '\'';
  std::string out = "b";
  out += q;
  for (unsigned char c : data) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c == static_cast<unsigned char>(q)) {
          out += '\\';
          out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += q;
  return out;
}

std::string head64(std::string_view data) { return bytes_repr(data.substr(0, 64)); }

// The port name of a session: its `host` without surrounding blanks.
std::string session_com(const Json& sess) {
  const Json& v = json::get(sess, "host");
  return v.is_null() ? std::string() : text::trim(json::text_form(v));
}

// The baud rate of a session: its `port`; 9600 when missing, empty, 0 or not a number.
long long session_baud(const Json& sess) {
  const Json& v = json::get(sess, "port");
  if (!json::truthy(v)) return 9600;
  return json::as_int(v).value_or(9600);
}

// A line setting as the diagnostics show it, with its default when missing.
std::string setting_text(const Json& sess, const char* key, const char* def) {
  const Json& v = json::get(sess, key);
  return v.is_null() ? std::string(def) : json::text_form(v);
}

}  // namespace

namespace {

constexpr size_t kReadSize = 4096;

// The connection of a serial tab: its port (while it is open) and the loop that gets it back.
// Ways it ends: the tab is closed, or the program stops. A port that goes away (31 failed
// reads in a row, or closed under the reader) is closed and reopened every two seconds, with
// notices; the tab stays connected meanwhile and takes no input.
class SerialConnection final : public Connection {
 public:
  SerialConnection(const SerialKind& kind, const OpenRequest& req)
      : Connection(req.sink),
        kind_(kind),
        svc_(req.services),
        tab_id_(req.tab_id),
        data_(req.session),
        current_(req.current_session),
        encoding_(req.encoding) {}
  ~SerialConnection() override { close(); }

  // _start_serial_impl
  void start() override {
    t_thread_name = "serial-" + tab_id_;
    const Json& data = data_;
    com_ = session_com(data);
    if (com_.empty()) {
      fail_with(svc_.text("err.fill_com_port"));
      return;
    }
    baud_ = session_baud(data);
    const std::string flow = setting_text(data, "serial_flow", "N");
    diag::err("[serial] opening " + com_ + " @ " + std::to_string(baud_) +
              " bps  bits=" + setting_text(data, "serial_bits", "8") +
              " parity=" + setting_text(data, "serial_parity", "N") + " stop=" + setting_text(data, "serial_stop", "1") +
              " flow=" + flow + " encoding=" + encoding_ + " (Win32 backend)");
    sink().notice(svc_.text("info.serial_opening", {{"com", com_}, {"baud", baud_}}));

    SerialKind::SerialOpened opened;
    try {
      opened = kind_._serial_open(data);
    } catch (const std::exception& e) {
      diag::err(std::string("[serial] open failed: ") + e.what());
      sink().notice(svc_.text("err.serial_open_fail", {{"err", e.what()}}), true);
      // The tab counts as connected: it shows the port's return while the reader keeps trying.
      advance(ConnectionState::connected);
      return;
    }
    com_ = opened.com;
    baud_ = opened.baud;
    std::shared_ptr<Win32Serial> port = opened.port;
    diag::err("[serial] " + com_ + " open OK (handle=" + std::to_string(port->handle()) + ") thread=" + thread_name());

    // What the board sent right after the port opened (often its boot banner) is read here and
    // shown after the connected line, not thrown away.
    try {
      early_ = port->read(kReadSize);
      diag::err("[serial] sync read in open thread: " + std::to_string(early_.size()) + " bytes  " + head64(early_));
    } catch (const std::exception& e) {
      diag::err(std::string("[serial] sync read in open thread FAILED: ") + e.what());
    }
    if (!keep_port(port)) return;
    if (!advance(ConnectionState::connected)) return drop_port();
    sink().terminal_text(svc_.text("info.serial_connected", {{"com", com_}, {"baud", baud_}}));
  }

  // _serial_reader_loop, one chunk at a time.
  std::string read(size_t max_bytes) override {
    if (!reader_started_) {
      reader_started_ = true;
      diag::err("[serial] reader loop started for tab " + tab_id_ + " (thread=" + thread_name() + ")");
#ifdef __linux__
      // The idle 20 ms waits may end up to 2 ms late, so the kernel can wake the readers of
      // several idle tabs together instead of one by one.
      ::prctl(PR_SET_TIMERSLACK, 2'000'000UL, 0, 0, 0);
#endif
    }
    if (!early_.empty()) {
      std::string out;
      out.swap(early_);
      return out;
    }
    try {
      while (!svc_.stopping() && !closing()) {
        std::shared_ptr<Win32Serial> ser = port();
        if (!ser || !ser->is_open()) {
          if (ser) drop_port();
          if (!_serial_wait_reopen()) break;
          errors_ = 0;
          woke_ = false;
          continue;
        }
        std::string chunk;
        try {
          chunk = ser->read(max_bytes);
        } catch (const std::exception& e) {
          auto* se = dynamic_cast<const SerialError*>(&e);
          ++errors_;
          diag::err("[serial] read err #" + std::to_string(errors_) + ": " + e.what());
          // A device that went away is let go at once, so nothing (a flash run, typing) is
          // accepted for a port that cannot answer; other errors get a few retries.
          if ((se && serial::port_gone(se->code())) || errors_ > 30) {
            diag::err("[serial] too many errors, will try to reopen");
            drop_port();
            continue;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          continue;
        }
        errors_ = 0;
        if (chunk.empty()) {
          idle_wait(*ser);
          continue;
        }
        woke_ = false;
        total_ += chunk.size();
        if (total_ <= kReadSize)
          diag::err("[serial] read " + std::to_string(chunk.size()) + " bytes (total " + std::to_string(total_) +
                    "): " + head64(chunk));
        return chunk;
      }
    } catch (const std::exception& e) {
      diag::err(std::string("[serial] reader loop failed: ") + e.what());
    }
    diag::err("[serial] reader loop ended (total " + std::to_string(total_) + " bytes)");
    return {};
  }

  void write(std::string_view bytes) override {
    std::shared_ptr<Win32Serial> ser = port();
    if (!ser) throw SerialError("the port is not open");
    if (bytes.empty()) return;
    const size_t written = ser->write(bytes);
    // A write gives up after one second (flow control holding it, or a port closed under it):
    // say so instead of letting the caller believe it went out.
    if (written != bytes.size())
      throw ShortWrite("wrote " + std::to_string(written) + " of " + std::to_string(bytes.size()) + " bytes to " +
                        ser->port(), written);
  }
  bool resize(int, int) override { return false; }
  void close() noexcept override {
    if (!begin_close()) return;
    drop_port();
    finish_close();
  }
  bool alive() const override { return state() == ConnectionState::connected && port_up_.load(); }
  bool writable() const override { return state() == ConnectionState::connected && port() != nullptr; }
  bool announces_end() const override { return false; }
  // A board keeps sending whether or not anyone reads: the port is drained, the bound applies.
  bool can_wait() const override { return false; }

  std::shared_ptr<Win32Serial> port() const {
    std::lock_guard<std::mutex> lock(mu_);
    return port_;
  }

 private:
  // Keeps a freshly opened port unless the tab closed meanwhile; false when it was closed.
  bool keep_port(const std::shared_ptr<Win32Serial>& p) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      port_ = p;
    }
    port_up_ = true;
    if (!closing()) return true;
    drop_port();
    return false;
  }
  void drop_port() noexcept {
    std::shared_ptr<Win32Serial> p;
    {
      std::lock_guard<std::mutex> lock(mu_);
      p.swap(port_);
    }
    port_up_ = false;
    if (p) p->close();
  }

  // An idle port is looked at every 20 ms; data or a hang-up arriving meanwhile ends the wait at
  // once. A wait that ends early without data (a port that cannot be waited on, or a wake-up the
  // read then found empty) still costs the full 20 ms. While the waits run their full 20 ms
  // quietly, nothing can have arrived, so the read (with its check that the device node still
  // exists) is repeated only every few slices: that keeps idle tabs nearly free without
  // delaying any byte.
  void idle_wait(Win32Serial& ser) {
    bool ready = false;
    for (int slice = 0; slice < kIdleSlices; ++slice) {
      const auto start = std::chrono::steady_clock::now();
      ready = !woke_ && ser.wait_readable(20);
      const auto left = std::chrono::milliseconds(20) - (std::chrono::steady_clock::now() - start);
      if (ready) break;
      if (left > std::chrono::milliseconds(1)) {
        std::this_thread::sleep_for(left);
        break;
      }
      if (svc_.stopping() || !ser.is_open() || closing()) break;
    }
    woke_ = ready;
  }

  // Waits for the port to come back; true once a new one is in place.
  bool _serial_wait_reopen() {
    sink().notice(svc_.text("info.serial_disconnect", {{"com", com_}}));
    unsigned long attempt = 0;
    while (!svc_.stopping() && !closing()) {
      ++attempt;
      SerialKind::SerialOpened opened;
      try {
        // Read afresh on each attempt: an edit of the port name takes effect at the next one.
        opened = kind_._serial_open(current_ ? current_() : data_);
      } catch (const std::exception& e) {
        if (attempt <= 3 || attempt % 10 == 0)
          diag::err("[serial] reopen attempt #" + std::to_string(attempt) + " failed: " + e.what());
        for (int slice = 0; slice < 20; ++slice) {
          if (svc_.stopping() || closing()) return false;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        continue;
      }
      if (!keep_port(opened.port)) return false;
      sink().restart_decoding();
      diag::err("[serial] reopen OK (handle=" + std::to_string(opened.port->handle()) + ") after " +
                std::to_string(attempt) + " attempts");
      // The port and speed that really opened: the session may have been edited meanwhile.
      com_ = opened.com;
      baud_ = opened.baud;
      sink().notice(svc_.text("info.serial_reconnected", {{"com", com_}, {"baud", baud_}}));
      return true;
    }
    return false;
  }

  const SerialKind& kind_;
  KindServices& svc_;
  const std::string tab_id_;
  const Json data_;
  const std::function<Json()> current_;
  const std::string encoding_;
  // Used by the connect worker, which is also the reader.
  std::string com_;
  long long baud_ = 9600;
  std::string early_;
  bool reader_started_ = false;
  int errors_ = 0;
  bool woke_ = false;  // the last wait said data was there
  unsigned long long total_ = 0;

  mutable std::mutex mu_;
  std::shared_ptr<Win32Serial> port_;
  std::atomic<bool> port_up_{false};
};

}  // namespace

SerialKind::SerialKind() : esp_flash_(std::make_shared<EspFlash>(*this)) {
  port_factory = [](const SerialParams& p) { return std::make_shared<Win32Serial>(p); };
}

std::shared_ptr<Connection> SerialKind::open(const OpenRequest& req) {
  return std::make_shared<SerialConnection>(*this, req);
}

std::optional<bool> SerialKind::reachability(const Connection* conn) const {
  auto* c = dynamic_cast<const SerialConnection*>(conn);
  return c && c->port() != nullptr && c->alive();
}

std::shared_ptr<Win32Serial> SerialKind::_serial_port(const std::string& tab_id) const {
  if (!svc_) return nullptr;
  auto conn = std::dynamic_pointer_cast<SerialConnection>(svc_->connection(tab_id));
  return conn ? conn->port() : nullptr;
}

SerialKind::SerialOpened SerialKind::_serial_open(const Json& sess) const {
  SerialOpened r;
  r.com = session_com(sess);
  r.baud = session_baud(sess);
  SerialParams p;
  p.port = r.com;
  p.baudrate = r.baud;
  const Json& bits = json::get(sess, "serial_bits");
  if (bits.is_null() || (bits.is_string() && text::trim(bits.get<std::string>()).empty())) {
    p.bytesize = 8;
  } else {
    auto n = json::as_int(bits);
    if (!n) throw SerialError("invalid data bits: " + json::text_form(bits));
    p.bytesize = *n;
  }
  const Json& parity = json::get(sess, "serial_parity");
  p.parity = parity.is_null() ? Json("N") : parity;
  p.stopbits = setting_text(sess, "serial_stop", "1");
  const std::string flow = setting_text(sess, "serial_flow", "N");
  p.xonxoff = flow == "X";
  p.rtscts = flow == "R";
  p.dsrdtr = flow == "D";
  r.port = port_factory ? port_factory(p) : std::make_shared<Win32Serial>(p);
  if (!r.port) throw SerialError("no port object for " + r.com);
  return r;
}


// ---- ESP32 reset -------------------------------------------------------------------------------

bool SerialKind::hard_reset_esp(const Json& tab_id) { return _fire_esp_reset(tab_id, "hard_reset"); }

bool SerialKind::enter_bootloader_esp(const Json& tab_id) { return _fire_esp_reset(tab_id, "enter_bootloader"); }

bool SerialKind::_fire_esp_reset(const Json& tab_id, const std::string& mode) {
  const std::string id = tab_id.is_string() ? tab_id.get<std::string>() : json::text_form(tab_id);
  const bool open = tab_id.is_string() && svc_ && svc_->tab_open(id);
  const std::string prefix = "[esp_reset:" + mode + "] ";
  if (!open) {
    diag::err(prefix + "tab " + id + " not found");
    return false;
  }
  std::shared_ptr<Win32Serial> ser = _serial_port(id);
  if (!ser || !ser->is_open()) {
    diag::err(prefix + "ser=" + (ser ? "Win32Serial(" + ser->port() + ")" : std::string("None")) +
              " open=" + (ser ? "False" : "None"));
    return false;
  }
  diag::err(prefix + "dispatching to worker thread");
  svc_->spawn([ser, mode, prefix] {
    try {
      if (mode == "hard_reset") ser->hard_reset();
      else ser->enter_bootloader();
      diag::err(prefix + "done");
    } catch (const std::exception& e) {
      diag::err(prefix + e.what());
    }
  });
  return true;
}

std::map<std::string, std::function<void()>> SerialKind::_esp_reset_funcs(const std::string& tab_id) {
  std::shared_ptr<Win32Serial> ser = _serial_port(tab_id);
  if (!ser) return {};
  // Bound to this very object: a port reopened later is not followed.
  return {{"hard_reset", [ser] { ser->hard_reset(); }},
          {"enter_bootloader_uart", [ser] { ser->enter_bootloader(); }},
          {"enter_bootloader_usb", [ser] { ser->enter_bootloader_usb_jtag(); }}};
}

// ---- the machine's ports -----------------------------------------------------------------------

Json SerialKind::serial_list_ports() {
  Json list = Json::array();
  for (const auto& p : serial::list_ports()) list.push_back(Json{{"port", p.port}, {"description", p.description}});
  return list;
}

void SerialKind::install(Bridge& bridge, KindServices& services) {
  svc_ = &services;
  bridge.add("hard_reset_esp", 1, {}, [this](const Json& a) { return Json(hard_reset_esp(arg_any(a, 0))); });
  bridge.add("enter_bootloader_esp", 1, {}, [this](const Json& a) { return Json(enter_bootloader_esp(arg_any(a, 0))); });
  bridge.add("serial_list_ports", 0, {}, [this](const Json&) { return serial_list_ports(); });
  esp_flash_->install(bridge, services);
}

}  // namespace morvane::kinds
