#pragma once
// Bytes from the system's random source, for secrets such as the browser host's token.
#include <cstddef>

namespace morvane::platform {

// Fills buf with len random bytes; false when the system could not give them. Opens no
// descriptor or handle, so none can leak into a process started meanwhile.
bool random_bytes(void* buf, std::size_t len) noexcept;

}  // namespace morvane::platform
