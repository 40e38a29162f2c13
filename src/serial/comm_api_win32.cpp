#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// After <windows.h>: the interface's CreateFile must not become CreateFileW.
#include "serial/comm_api_win32.h"
#include "util/win_text.h"

#include <string>

namespace morvane::serial {

namespace {

HANDLE native(Handle h) { return reinterpret_cast<HANDLE>(h); }

Dcb from_native(const DCB& n) {
  Dcb d;
  d.DCBlength = n.DCBlength;
  d.BaudRate = n.BaudRate;
  d.fBinary = static_cast<std::uint8_t>(n.fBinary);
  d.fParity = static_cast<std::uint8_t>(n.fParity);
  d.fOutxCtsFlow = static_cast<std::uint8_t>(n.fOutxCtsFlow);
  d.fOutxDsrFlow = static_cast<std::uint8_t>(n.fOutxDsrFlow);
  d.fDtrControl = static_cast<std::uint8_t>(n.fDtrControl);
  d.fDsrSensitivity = static_cast<std::uint8_t>(n.fDsrSensitivity);
  d.fTXContinueOnXoff = static_cast<std::uint8_t>(n.fTXContinueOnXoff);
  d.fOutX = static_cast<std::uint8_t>(n.fOutX);
  d.fInX = static_cast<std::uint8_t>(n.fInX);
  d.fErrorChar = static_cast<std::uint8_t>(n.fErrorChar);
  d.fNull = static_cast<std::uint8_t>(n.fNull);
  d.fRtsControl = static_cast<std::uint8_t>(n.fRtsControl);
  d.fAbortOnError = static_cast<std::uint8_t>(n.fAbortOnError);
  d.XonLim = n.XonLim;
  d.XoffLim = n.XoffLim;
  d.ByteSize = n.ByteSize;
  d.Parity = n.Parity;
  d.StopBits = n.StopBits;
  d.XonChar = n.XonChar;
  d.XoffChar = n.XoffChar;
  d.ErrorChar = n.ErrorChar;
  d.EofChar = n.EofChar;
  d.EvtChar = n.EvtChar;
  return d;
}

DCB to_native(const Dcb& d) {
  DCB n{};
  n.DCBlength = sizeof(DCB);
  n.BaudRate = d.BaudRate;
  n.fBinary = d.fBinary;
  n.fParity = d.fParity;
  n.fOutxCtsFlow = d.fOutxCtsFlow;
  n.fOutxDsrFlow = d.fOutxDsrFlow;
  n.fDtrControl = d.fDtrControl;
  n.fDsrSensitivity = d.fDsrSensitivity;
  n.fTXContinueOnXoff = d.fTXContinueOnXoff;
  n.fOutX = d.fOutX;
  n.fInX = d.fInX;
  n.fErrorChar = d.fErrorChar;
  n.fNull = d.fNull;
  n.fRtsControl = d.fRtsControl;
  n.fAbortOnError = d.fAbortOnError;
  n.XonLim = d.XonLim;
  n.XoffLim = d.XoffLim;
  n.ByteSize = d.ByteSize;
  n.Parity = d.Parity;
  n.StopBits = d.StopBits;
  n.XonChar = d.XonChar;
  n.XoffChar = d.XoffChar;
  n.ErrorChar = d.ErrorChar;
  n.EofChar = d.EofChar;
  n.EvtChar = d.EvtChar;
  return n;
}

}  // namespace

CommError Win32CommApi::error(int code) const {
  char* buf = nullptr;
  DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&buf), 0,
      nullptr);
  std::string text = n && buf ? std::string(buf, n) : "Unknown error.";
  if (buf) ::LocalFree(buf);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return CommError(code, "[WinError " + std::to_string(code) + "] " + text);
}

int Win32CommApi::invalid_handle_error() const { return ERROR_INVALID_HANDLE; }

#define MORVANE_CHECK(call)                                            \
  do {                                                                 \
    if (!(call)) throw error(static_cast<int>(::GetLastError()));      \
  } while (0)

OpenResult Win32CommApi::CreateFile(const std::string& device_path) {
  // Synchronous (no FILE_FLAG_OVERLAPPED) and exclusive.
  HANDLE h = ::CreateFileW(widen(device_path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {kInvalidHandle, static_cast<int>(::GetLastError())};
  return {reinterpret_cast<Handle>(h), 0};
}

Dcb Win32CommApi::GetCommState(Handle h) {
  DCB n{};
  n.DCBlength = sizeof(DCB);
  MORVANE_CHECK(::GetCommState(native(h), &n));
  return from_native(n);
}

void Win32CommApi::SetCommState(Handle h, const Dcb& dcb) {
  DCB n = to_native(dcb);
  MORVANE_CHECK(::SetCommState(native(h), &n));
}

void Win32CommApi::SetCommTimeouts(Handle h, const CommTimeouts& t) {
  COMMTIMEOUTS n{};
  n.ReadIntervalTimeout = t.ReadIntervalTimeout;
  n.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  n.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  n.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  n.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  MORVANE_CHECK(::SetCommTimeouts(native(h), &n));
}

void Win32CommApi::PurgeComm(Handle h, std::uint32_t flags) { MORVANE_CHECK(::PurgeComm(native(h), flags)); }

std::string Win32CommApi::ReadFile(Handle h, std::size_t max_bytes) {
  std::string out(max_bytes, '\0');
  DWORD got = 0;
  MORVANE_CHECK(::ReadFile(native(h), out.data(), static_cast<DWORD>(max_bytes), &got, nullptr));
  out.resize(got);
  return out;
}

std::size_t Win32CommApi::WriteFile(Handle h, std::string_view data) {
  DWORD written = 0;
  MORVANE_CHECK(::WriteFile(native(h), data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  return written;
}

void Win32CommApi::EscapeCommFunction(Handle h, std::uint32_t function) {
  MORVANE_CHECK(::EscapeCommFunction(native(h), function));
}

void Win32CommApi::DeviceIoControl(Handle h, std::uint32_t ioctl_code) {
  DWORD returned = 0;
  MORVANE_CHECK(::DeviceIoControl(native(h), ioctl_code, nullptr, 0, nullptr, 0, &returned, nullptr));
}

void Win32CommApi::CloseHandle(Handle h) { MORVANE_CHECK(::CloseHandle(native(h))); }

bool Win32CommApi::WaitReadable(Handle, int timeout_ms) {
  if (timeout_ms > 0) ::Sleep(static_cast<DWORD>(timeout_ms));
  return true;
}

#undef MORVANE_CHECK

std::shared_ptr<CommApi> default_comm_api() {
  static const std::shared_ptr<CommApi> api = std::make_shared<Win32CommApi>();
  return api;
}

// What ReadFile/WriteFile report once a USB serial adapter is pulled.
bool port_gone(int code) noexcept {
  return code == ERROR_ACCESS_DENIED || code == ERROR_BAD_COMMAND || code == ERROR_GEN_FAILURE ||
         code == ERROR_DEVICE_REMOVED || code == ERROR_FILE_NOT_FOUND || code == ERROR_DEVICE_NOT_CONNECTED;
}

}  // namespace morvane::serial
