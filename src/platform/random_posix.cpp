#include <sys/random.h>

#include <cerrno>

#include "platform/random.h"

namespace morvane::platform {

bool random_bytes(void* buf, std::size_t len) noexcept {
  auto* bytes = static_cast<unsigned char*>(buf);
  std::size_t got = 0;
  while (got < len) {
    ssize_t n = ::getrandom(bytes + got, len - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace morvane::platform
