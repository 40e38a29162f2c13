// The communications calls a COM port is driven with, as one C++ interface.
//
// The names and meanings follow the Windows communications API, because the
// port driver is written against that API; PosixCommApi carries the same calls
// onto termios, Win32CommApi makes the real calls, and tests use a recording
// fake. A failing call throws CommError carrying the platform's error number
// (GetLastError() on Windows, errno elsewhere), except CreateFile, which, like
// the Windows call, answers with an invalid handle and the error number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// <windows.h> maps CreateFile to CreateFileW; the interface's own CreateFile
// must keep its name, so include this header after <windows.h>.
#ifdef CreateFile
#undef CreateFile
#endif

namespace morvane::serial {

// A Windows HANDLE or a file descriptor, widened to one integer type.
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Every field of the Windows device control block, so that a copy taken with
// GetCommState and written back with SetCommState restores the port exactly.
struct Dcb {
  std::uint32_t DCBlength = 28;
  std::uint32_t BaudRate = 9600;
  std::uint8_t fBinary = 1;
  std::uint8_t fParity = 0;
  std::uint8_t fOutxCtsFlow = 0;
  std::uint8_t fOutxDsrFlow = 0;
  std::uint8_t fDtrControl = 1;  // 0 disable, 1 enable, 2 handshake
  std::uint8_t fDsrSensitivity = 0;
  std::uint8_t fTXContinueOnXoff = 0;
  std::uint8_t fOutX = 0;
  std::uint8_t fInX = 0;
  std::uint8_t fErrorChar = 0;
  std::uint8_t fNull = 0;
  std::uint8_t fRtsControl = 1;  // 0 disable, 1 enable, 2 handshake, 3 toggle
  std::uint8_t fAbortOnError = 0;
  std::uint16_t XonLim = 2048;
  std::uint16_t XoffLim = 512;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0x11;
  char XoffChar = 0x13;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;

  bool operator==(const Dcb&) const = default;
};

struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;

  bool operator==(const CommTimeouts&) const = default;
};

// Every failure of a port: callers catch this one type. code() is the
// platform error number behind it, 0 when there is none.
class SerialError : public std::runtime_error {
 public:
  explicit SerialError(const std::string& text, int code = 0)
      : std::runtime_error(text), code_(code) {}
  int code() const noexcept { return code_; }

 private:
  int code_;
};

// A platform call refused: what() is the platform's text, e.g.
// "[WinError 50] The request is not supported." or
// "[Errno 25] Inappropriate ioctl for device".
class CommError : public SerialError {
 public:
  CommError(int code, const std::string& text) : SerialError(text, code) {}
};

// True for the errors of a port whose device went away (a pulled USB adapter, a closed PTY
// pair): retrying the same handle cannot help, only reopening can.
bool port_gone(int code) noexcept;

struct OpenResult {
  Handle handle = kInvalidHandle;
  int error = 0;  // platform error number when handle is invalid
};

// Purge flags and escape codes of the Windows API.
inline constexpr std::uint32_t kPurgeTxAbort = 0x1;
inline constexpr std::uint32_t kPurgeRxAbort = 0x2;
inline constexpr std::uint32_t kPurgeTxClear = 0x4;
inline constexpr std::uint32_t kPurgeRxClear = 0x8;

class CommApi {
 public:
  virtual ~CommApi() = default;

  // Opens a device path such as \\.\COM3 for synchronous, exclusive use.
  virtual OpenResult CreateFile(const std::string& device_path) = 0;
  virtual Dcb GetCommState(Handle h) = 0;
  virtual void SetCommState(Handle h, const Dcb& dcb) = 0;
  virtual void SetCommTimeouts(Handle h, const CommTimeouts& timeouts) = 0;
  virtual void PurgeComm(Handle h, std::uint32_t flags) = 0;
  // Up to max_bytes; how long it may wait is set by SetCommTimeouts.
  virtual std::string ReadFile(Handle h, std::size_t max_bytes) = 0;
  // Returns the count written, which may be short when the write time-out ends it.
  virtual std::size_t WriteFile(Handle h, std::string_view data) = 0;
  virtual void EscapeCommFunction(Handle h, std::uint32_t function) = 0;
  // The control code alone: no input and no output buffer.
  virtual void DeviceIoControl(Handle h, std::uint32_t ioctl_code) = 0;
  virtual void CloseHandle(Handle h) = 0;

  // Not a Windows call: waits up to timeout_ms until a read would find data
  // or a hang-up. Returns false on time-out. Where the platform cannot tell,
  // it just waits and returns true.
  virtual bool WaitReadable(Handle h, int timeout_ms) = 0;
  // The platform error for a code, with its text.
  virtual CommError error(int code) const = 0;
  // The error a call on a closed handle meets (ERROR_INVALID_HANDLE, EBADF).
  virtual int invalid_handle_error() const = 0;
};

// This platform's implementation, shared by every port of the process.
std::shared_ptr<CommApi> default_comm_api();

}  // namespace morvane::serial
