// The communications calls made for real on Windows. Error numbers are
// GetLastError() values; texts come from FormatMessage.
#pragma once

#include "serial/comm_api.h"

namespace morvane::serial {

class Win32CommApi : public CommApi {
 public:
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
  // A synchronous handle cannot be waited on without the overlapped status
  // calls some drivers refuse: this just sleeps and says "try a read".
  bool WaitReadable(Handle h, int timeout_ms) override;
  CommError error(int code) const override;
  int invalid_handle_error() const override;
};

}  // namespace morvane::serial
