#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "platform/random.h"

namespace morvane::platform {

bool random_bytes(void* buf, std::size_t len) noexcept {
  auto* bytes = static_cast<unsigned char*>(buf);
  while (len > 0) {
    ULONG part = static_cast<ULONG>(std::min<std::size_t>(len, 1u << 30));
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
    bytes += part;
    len -= part;
  }
  return true;
}

}  // namespace morvane::platform
