#include "serial/comm_api_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <system_error>

#include "serial/termios2_speed.h"
#include "serial/win32_serial.h"

namespace morvane::serial {

namespace {

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

bool is_com_name(const std::string& name, unsigned& number) {
  if (name.size() < 4) return false;
  auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
  if (lower(name[0]) != 'c' || lower(name[1]) != 'o' || lower(name[2]) != 'm') return false;
  unsigned long n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 100000) return false;
    n = n * 10 + static_cast<unsigned>(name[i] - '0');
  }
  if (n == 0) return false;
  number = static_cast<unsigned>(n);
  return true;
}

// Overlays what the terminal settings say on the kept copy of the DCB.
void overlay_termios(Dcb& d, const struct termios& t) {
  switch (t.c_cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
  }
  if (!(t.c_cflag & PARENB))
    d.Parity = 0;
  else if (t.c_cflag & CMSPAR)
    d.Parity = (t.c_cflag & PARODD) ? 3 : 4;
  else
    d.Parity = (t.c_cflag & PARODD) ? 1 : 2;
  if (!(t.c_cflag & CSTOPB))
    d.StopBits = 0;
  else if (d.StopBits != 1)  // 1.5 was asked for and is sent as 2
    d.StopBits = 2;
  d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
  d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
  d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  const bool handshake = d.fOutxCtsFlow || d.fRtsControl == 2;
  if ((t.c_cflag & CRTSCTS) && !handshake) {
    d.fOutxCtsFlow = 1;
    d.fRtsControl = 2;
  } else if (!(t.c_cflag & CRTSCTS) && handshake) {
    d.fOutxCtsFlow = 0;
    if (d.fRtsControl == 2) d.fRtsControl = 1;
  }
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

}  // namespace

std::string PosixCommApi::device_file(const std::string& device_path) {
  std::string name = device_path;
  if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
  unsigned number = 0;
  if (is_com_name(name, number)) return "/dev/ttyS" + std::to_string(number - 1);
  return name;
}

CommError PosixCommApi::error(int code) const {
  return CommError(code, "[Errno " + std::to_string(code) + "] " + std::generic_category().message(code));
}

int PosixCommApi::invalid_handle_error() const { return EBADF; }

void PosixCommApi::throw_errno(int code) const { throw error(code); }

OpenResult PosixCommApi::CreateFile(const std::string& device_path) {
  const std::string path = device_file(device_path);
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {kInvalidHandle, errno};
  // A null handle means failure to callers: keep the port off descriptor 0.
  if (fd < 3) {
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    ::close(fd);
    if (moved < 0) return {kInvalidHandle, saved};
    fd = moved;
  }
  auto fail = [&](int code) {
    ::close(fd);
    return OpenResult{kInvalidHandle, code};
  };
  struct termios t;
  if (::tcgetattr(fd, &t) != 0) return fail(errno);  // not a terminal device
  // Share mode 0: TIOCEXCL keeps others out (but not root); the lock also
  // keeps out every program that locks ports, root or not.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  ::ioctl(fd, TIOCEXCL);
  // A COM port is always raw: no line editing, echo or character mapping.
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  // VMIN 1: with the descriptor non-blocking an empty queue reads as EAGAIN,
  // so a read of 0 bytes means a hang-up (VMIN 0 would read 0 either way).
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(errno);

  PortState state;
  state.path = path;
  state.rdev = st.st_rdev;
  overlay_termios(state.dcb, t);
  std::uint32_t baud = 0;
  if (detail::get_port_speed(fd, baud) == 0) state.dcb.BaudRate = baud;
  std::lock_guard<std::mutex> lock(mutex_);
  ports_[fd] = state;
  return {fd, 0};
}

PosixCommApi::PortState PosixCommApi::state_of(Handle h) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = ports_.find(static_cast<int>(h));
  if (h < 0 || h > INT_MAX || it == ports_.end()) throw_errno(EBADF);
  return it->second;
}

int PosixCommApi::fd_of(Handle h) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (h < 0 || h > INT_MAX || ports_.count(static_cast<int>(h)) == 0) throw_errno(EBADF);
  return static_cast<int>(h);
}

Dcb PosixCommApi::GetCommState(Handle h) {
  PortState state = state_of(h);
  const int fd = static_cast<int>(h);
  struct termios t;
  if (::tcgetattr(fd, &t) != 0) throw_errno(errno);
  overlay_termios(state.dcb, t);
  std::uint32_t baud = 0;
  if (int e = detail::get_port_speed(fd, baud); e != 0) throw_errno(e);
  state.dcb.BaudRate = baud;
  return state.dcb;
}

void PosixCommApi::switch_lines(int fd, unsigned long request, int bits) {
  if (::ioctl(fd, request, &bits) != 0) throw_errno(errno);
}

void PosixCommApi::SetCommState(Handle h, const Dcb& dcb) {
  const int fd = fd_of(h);
  // What Windows answers with ERROR_INVALID_PARAMETER.
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2)
    throw_errno(EINVAL);
  struct termios t;
  if (::tcgetattr(fd, &t) != 0) throw_errno(errno);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[dcb.ByteSize - 5] | CLOCAL | CREAD;
  switch (dcb.Parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (dcb.StopBits != 0) t.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
  if (dcb.fParity) t.c_iflag |= INPCK;
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) throw_errno(errno);
  if (int e = detail::set_port_speed(fd, dcb.BaudRate); e != 0) throw_errno(e);

  // Line control: "enable" (and handshake, whose switching the driver does)
  // asserts a line, "disable" clears it. A device without modem lines
  // refuses both, which is no reason to refuse the settings.
  int set_bits = 0, clear_bits = 0;
  (dcb.fDtrControl == 0 ? clear_bits : set_bits) |= TIOCM_DTR;
  if (dcb.fRtsControl != 2) (dcb.fRtsControl == 0 ? clear_bits : set_bits) |= TIOCM_RTS;
  for (auto [request, bits] : {std::pair<unsigned long, int>{TIOCMBIS, set_bits}, {TIOCMBIC, clear_bits}}) {
    if (bits == 0) continue;
    if (::ioctl(fd, request, &bits) != 0 && errno != ENOTTY && errno != EINVAL) throw_errno(errno);
  }

  std::lock_guard<std::mutex> lock(mutex_);
  auto it = ports_.find(fd);
  if (it != ports_.end()) it->second.dcb = dcb;
}

void PosixCommApi::SetCommTimeouts(Handle h, const CommTimeouts& timeouts) {
  const int fd = fd_of(h);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = ports_.find(fd);
  if (it != ports_.end()) it->second.timeouts = timeouts;
}

void PosixCommApi::PurgeComm(Handle h, std::uint32_t flags) {
  const int fd = fd_of(h);
  const bool rx = flags & (kPurgeRxAbort | kPurgeRxClear);
  const bool tx = flags & (kPurgeTxAbort | kPurgeTxClear);
  if (!rx && !tx) return;
  if (::tcflush(fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) throw_errno(errno);
}

std::string PosixCommApi::ReadFile(Handle h, std::size_t max_bytes) {
  const PortState state = state_of(h);
  const int fd = static_cast<int>(h);
  const CommTimeouts& to = state.timeouts;
  std::string out;
  if (max_bytes == 0) return out;

  // Windows' read time-outs: interval MAXDWORD with zero totals returns at
  // once; otherwise wait up to the total for data, then take what follows
  // within the interval.
  const bool immediate = to.ReadIntervalTimeout == kMaxDword && to.ReadTotalTimeoutMultiplier == 0 &&
                         to.ReadTotalTimeoutConstant == 0;
  const unsigned long long total_ms =
      static_cast<unsigned long long>(to.ReadTotalTimeoutMultiplier) * max_bytes + to.ReadTotalTimeoutConstant;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_ms);

  out.resize(max_bytes);
  std::size_t got = 0;
  for (;;) {
    ssize_t n = ::read(fd, out.data() + got, max_bytes - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      if (got == max_bytes || immediate) break;
      continue;
    }
    if (n == 0) {
      // A terminal in non-blocking mode reads 0 bytes only once hung up.
      throw CommError(EIO, "[Errno 5] Input/output error (the port hung up)");
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) throw_errno(errno);

    // Nothing buffered: make sure the port is still there.
    struct pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
      throw CommError(EIO, "[Errno 5] Input/output error (the port hung up)");
    struct stat st;
    if (::stat(state.path.c_str(), &st) != 0 || st.st_rdev != state.rdev)
      throw CommError(ENODEV, "[Errno 19] No such device (the port's device node is gone)");
    if (immediate) break;

    int wait_ms;
    if (got > 0 && to.ReadIntervalTimeout != 0)
      wait_ms = to.ReadIntervalTimeout == kMaxDword ? 0 : static_cast<int>(std::min<std::uint32_t>(to.ReadIntervalTimeout, INT_MAX));
    else
      wait_ms = total_ms == 0 ? 100 : remaining_ms(deadline);
    if (total_ms != 0) wait_ms = std::min(wait_ms, remaining_ms(deadline));
    if (wait_ms == 0 && (got > 0 || total_ms != 0)) break;
    struct pollfd w{fd, POLLIN, 0};
    int r = ::poll(&w, 1, wait_ms);
    if (r == 0 && got > 0) break;
  }
  out.resize(got);
  return out;
}

std::size_t PosixCommApi::WriteFile(Handle h, std::string_view data) {
  const PortState state = state_of(h);
  const int fd = static_cast<int>(h);
  const unsigned long long total_ms =
      static_cast<unsigned long long>(state.timeouts.WriteTotalTimeoutMultiplier) * data.size() +
      state.timeouts.WriteTotalTimeoutConstant;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_ms);
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      if (done > 0) break;  // report what went out; the next write fails
      throw_errno(errno);
    }
    // The output queue is full (or held by flow control): wait for room
    // until the write time-out, then report what went out.
    const int wait_ms = total_ms == 0 ? -1 : remaining_ms(deadline);
    if (wait_ms == 0) break;
    struct pollfd p{fd, POLLOUT, 0};
    int r = ::poll(&p, 1, wait_ms);
    if (r == 0) break;
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLOUT)) {
      if (done > 0) break;
      throw CommError(EIO, "[Errno 5] Input/output error (the port hung up)");
    }
  }
  return done;
}

void PosixCommApi::EscapeCommFunction(Handle h, std::uint32_t function) {
  const int fd = fd_of(h);
  switch (function) {
    case Win32Serial::kSetRts: return switch_lines(fd, TIOCMBIS, TIOCM_RTS);
    case Win32Serial::kClrRts: return switch_lines(fd, TIOCMBIC, TIOCM_RTS);
    case Win32Serial::kSetDtr: return switch_lines(fd, TIOCMBIS, TIOCM_DTR);
    case Win32Serial::kClrDtr: return switch_lines(fd, TIOCMBIC, TIOCM_DTR);
    case 1:  // SETXOFF: act as if XOFF was received
      if (::tcflow(fd, TCOOFF) != 0) throw_errno(errno);
      return;
    case 2:  // SETXON
      if (::tcflow(fd, TCOON) != 0) throw_errno(errno);
      return;
    case 7:  // RESETDEV: nothing to reset on a serial port
      return;
    case 8:  // SETBREAK
      if (::ioctl(fd, TIOCSBRK) != 0) throw_errno(errno);
      return;
    case 9:  // CLRBREAK
      if (::ioctl(fd, TIOCCBRK) != 0) throw_errno(errno);
      return;
    default:
      throw_errno(EINVAL);
  }
}

void PosixCommApi::DeviceIoControl(Handle h, std::uint32_t ioctl_code) {
  const int fd = fd_of(h);
  switch (ioctl_code) {
    case Win32Serial::kIoctlSetDtr: return switch_lines(fd, TIOCMBIS, TIOCM_DTR);
    case Win32Serial::kIoctlClrDtr: return switch_lines(fd, TIOCMBIC, TIOCM_DTR);
    case Win32Serial::kIoctlSetRts: return switch_lines(fd, TIOCMBIS, TIOCM_RTS);
    case Win32Serial::kIoctlClrRts: return switch_lines(fd, TIOCMBIC, TIOCM_RTS);
    default:
      throw_errno(EINVAL);
  }
}

void PosixCommApi::CloseHandle(Handle h) {
  const int fd = fd_of(h);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ports_.erase(fd);
  }
  if (::close(fd) != 0 && errno != EINTR) throw_errno(errno);
}

bool PosixCommApi::WaitReadable(Handle h, int timeout_ms) {
  int fd;
  try {
    fd = fd_of(h);
  } catch (const CommError&) {
    return false;
  }
  struct pollfd p{fd, POLLIN, 0};
  int r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
  return r != 0;  // data, a hang-up or an interruption: let the read tell
}

bool port_gone(int code) noexcept { return code == EIO || code == ENODEV || code == ENXIO; }

std::shared_ptr<CommApi> default_comm_api() {
  static const std::shared_ptr<CommApi> api = std::make_shared<PosixCommApi>();
  return api;
}

}  // namespace morvane::serial
