// Win32Serial: one open COM port with manual DTR/RTS control and the three
// ESP32 reset line sequences.
//
// The port is opened for synchronous I/O with read time-outs that make every
// read return at once with what the driver already holds, so a reader thread
// can poll it while other threads write and switch the modem lines. No
// overlapped-I/O status calls are made: several USB-UART drivers (CH340 among
// them) refuse them with ERROR_ACCESS_DENIED.
//
// Ways an object stops being usable: close() (from any thread, also while a
// read or write runs on another), or the device going away, after which read
// and write fail with "ReadFile failed: " / "WriteFile failed: " and the owner
// closes it. An object is never reopened; reconnecting builds a new one.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "serial/comm_api.h"

namespace morvane::serial {

// Waits the given number of seconds; injectable so tests need no clock.
using Sleeper = std::function<void(double seconds)>;

// Constructor arguments, named as callers pass them. Values other than the
// port and the flow flags may be numbers or texts ("115200", "1.5").
struct SerialParams {
  std::string port;
  nlohmann::json baudrate = 9600;
  nlohmann::json bytesize = 8;
  nlohmann::json parity = "N";
  nlohmann::json stopbits = "1";
  bool xonxoff = false;
  bool rtscts = false;
  bool dsrdtr = false;
};

class Win32Serial {
 public:
  // Parity letter (upper case) -> DCB Parity; unknown letters give 0.
  static inline const std::map<std::string, int> PARITY = {
      {"N", 0}, {"O", 1}, {"E", 2}, {"M", 3}, {"S", 4}};
  // Exact text of the stop bits -> DCB StopBits; unknown texts give 0.
  static inline const std::map<std::string, int> STOPBITS = {{"1", 0}, {"1.5", 1}, {"2", 2}};

  // EscapeCommFunction codes.
  static constexpr std::uint32_t kSetRts = 3;
  static constexpr std::uint32_t kClrRts = 4;
  static constexpr std::uint32_t kSetDtr = 5;
  static constexpr std::uint32_t kClrDtr = 6;
  // Serial-port driver I/O control codes (device type 0x1B, buffered, any access).
  static constexpr std::uint32_t kIoctlSetDtr = 0x001B0024;
  static constexpr std::uint32_t kIoctlClrDtr = 0x001B0028;
  static constexpr std::uint32_t kIoctlSetRts = 0x001B0030;
  static constexpr std::uint32_t kIoctlClrRts = 0x001B0034;

  // Opens and configures the port, then purges both queues. Throws
  // SerialError (CommError for a refused platform call); nothing is left open
  // then. api defaults to this platform's, sleep to a real sleep.
  explicit Win32Serial(const SerialParams& params, std::shared_ptr<CommApi> api = nullptr,
                       Sleeper sleep = nullptr);
  ~Win32Serial();
  Win32Serial(const Win32Serial&) = delete;
  Win32Serial& operator=(const Win32Serial&) = delete;

  bool is_open() const noexcept { return !closed_.load(std::memory_order_acquire); }
  Handle handle() const noexcept { return h_; }
  const std::string& port() const noexcept { return port_; }

  // Every byte already received, at most max_bytes; empty when none or when
  // closed. Never waits for data.
  std::string read(std::size_t max_bytes = 4096);
  // Bytes as given; returns the count written (0 when closed). A write gives
  // up after one second.
  std::size_t write(std::string_view data);
  // A text: encoded as UTF-8, ill-formed sequences replaced with '?'.
  std::size_t write_text(std::string_view text);
  // Closes the handle once, from any thread; later calls do nothing. A read,
  // write or wait running on another thread finishes first: the handle is
  // released by whichever call ends last, so it is never reused under it.
  void close() noexcept;

  // Waits up to timeout_ms for received data (or a hang-up, which the next
  // read reports). Returns true when a read is worth making, false on
  // time-out or when closed. Lets an idle reader sleep instead of spinning;
  // where the platform cannot wait on a port it simply sleeps.
  bool wait_readable(int timeout_ms);

  void set_dtr(bool level);
  void set_rts(bool level);
  void _modem_ctrl(std::uint32_t escape_code, std::uint32_t ioctl_code);
  Dcb _grab_manual_modem_lines();
  void _restore_dcb(const Dcb& saved) noexcept;

  void hard_reset();
  void enter_bootloader();
  void enter_bootloader_usb_jtag();

 private:
  // Keeps the handle from being released while a call uses it.
  class Use;
  bool acquire();
  void release();
  void run_sequence(const char* name, const std::function<void()>& steps);

  std::shared_ptr<CommApi> api_;
  Sleeper sleep_;
  std::string port_;
  Handle h_ = kInvalidHandle;
  std::atomic<bool> closed_{true};

  // One line sequence at a time: a second one started meanwhile would save the first's
  // manual-control DCB as "the settings" and put that back, losing the handshake for good.
  std::mutex sequence_mutex_;
  std::mutex use_mutex_;  // guards the two fields below; never held during a call
  int in_flight_ = 0;
  bool released_ = false;
};

}  // namespace morvane::serial
