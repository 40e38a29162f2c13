// The communications calls carried onto termios.
//
// Port names: a leading \\.\ is dropped; "COMn" (any case) is /dev/ttyS<n-1>;
// anything else (/dev/ttyUSB0, a socat link) is a path used as given.
// Differences from Windows worth knowing:
//  - 1.5 stop bits are sent as 2 (termios has no 1.5);
//  - DSR/DTR handshake has no termios counterpart: fOutxDsrFlow is kept but
//    not enforced and DTR is simply held asserted; fOutxCtsFlow or RTS
//    handshake both select CRTSCTS;
//  - a PTY keeps 8 data bits and no parity whatever is set (the kernel's
//    PTY driver forces them); GetCommState reports what the kernel holds;
//  - devices without modem lines (a PTY) refuse EscapeCommFunction and
//    DeviceIoControl with ENOTTY, while SetCommState skips the lines there;
//  - a hang-up (the far end of a PTY closed, a USB adapter pulled) makes
//    ReadFile fail, where a plain non-blocking read would look idle forever.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>

#include "serial/comm_api.h"

namespace morvane::serial {

class PosixCommApi : public CommApi {
 public:
  // The file path a device path names (see above).
  static std::string device_file(const std::string& device_path);

  OpenResult CreateFile(const std::string& device_path) override;
  Dcb GetCommState(Handle h) override;
  void SetCommState(Handle h, const Dcb& dcb) override;
  void SetCommTimeouts(Handle h, const CommTimeouts& timeouts) override;
  void PurgeComm(Handle h, std::uint32_t flags) override;
  std::string ReadFile(Handle h, std::size_t max_bytes) override;
  std::size_t WriteFile(Handle h, std::string_view data) override;
  void EscapeCommFunction(Handle h, std::uint32_t function) override;
  void DeviceIoControl(Handle h, std::uint32_t ioctl_code) override;
  void CloseHandle(Handle h) override;
  bool WaitReadable(Handle h, int timeout_ms) override;
  CommError error(int code) const override;
  int invalid_handle_error() const override;

 private:
  // What termios cannot hold, per open port.
  struct PortState {
    Dcb dcb;
    CommTimeouts timeouts;
    std::string path;
    dev_t rdev = 0;
  };
  PortState state_of(Handle h);
  int fd_of(Handle h);
  void switch_lines(int fd, unsigned long request, int bits);
  void throw_errno(int code) const;

  std::mutex mutex_;
  std::map<int, PortState> ports_;
};

}  // namespace morvane::serial
