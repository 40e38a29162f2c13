#include "serial/termios2_speed.h"

#include <cerrno>

#if defined(__linux__)

#include <asm/ioctls.h>
#include <asm/termbits.h>

// <sys/ioctl.h> would drag in <termios.h>'s types; the call alone is enough.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace morvane::serial::detail {

namespace {

// Standard rates keep their own code: some older drivers ignore BOTHER.
unsigned standard_code(std::uint32_t baud) {
  switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 2500000: return B2500000;
    case 3000000: return B3000000;
    case 3500000: return B3500000;
    case 4000000: return B4000000;
    default: return 0;
  }
}

}  // namespace

int set_port_speed(int fd, std::uint32_t baud) {
  if (baud == 0) return EINVAL;  // B0 would hang the line up
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  // CIBAUD left 0: the input speed follows the output speed.
  t.c_cflag &= ~(CBAUD | CIBAUD);
  const unsigned code = standard_code(baud);
  t.c_cflag |= code != 0 ? code : BOTHER;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  return 0;
}

int get_port_speed(int fd, std::uint32_t& baud) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  baud = t.c_ospeed;
  return 0;
}

}  // namespace morvane::serial::detail

#else  // other POSIX systems: the standard rates only

#include <termios.h>

namespace morvane::serial::detail {

namespace {
struct Rate {
  std::uint32_t baud;
  speed_t code;
};
const Rate kRates[] = {{50, B50},       {75, B75},       {110, B110},       {134, B134},
                       {150, B150},     {200, B200},     {300, B300},       {600, B600},
                       {1200, B1200},   {1800, B1800},   {2400, B2400},     {4800, B4800},
                       {9600, B9600},   {19200, B19200}, {38400, B38400},   {57600, B57600},
                       {115200, B115200}, {230400, B230400}};
}  // namespace

int set_port_speed(int fd, std::uint32_t baud) {
  for (const Rate& r : kRates) {
    if (r.baud != baud) continue;
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return errno;
    cfsetispeed(&t, r.code);
    cfsetospeed(&t, r.code);
    return tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : errno;
  }
  return EINVAL;
}

int get_port_speed(int fd, std::uint32_t& baud) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return errno;
  const speed_t code = cfgetospeed(&t);
  for (const Rate& r : kRates)
    if (r.code == code) {
      baud = r.baud;
      return 0;
    }
  return EINVAL;
}

}  // namespace morvane::serial::detail

#endif
