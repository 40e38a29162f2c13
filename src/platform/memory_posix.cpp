#include <cstdlib>  // defines __GLIBC__ where the C library is glibc
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/memory.h"

namespace morvane::platform {

void release_free_memory() noexcept {
#if defined(__GLIBC__)
  // Every arena, not only the calling thread's: each tab's reader allocates in its own.
  malloc_trim(0);
#endif
}

void tune_allocator() noexcept {
#if defined(__GLIBC__)
  mallopt(M_ARENA_MAX, 2);
#endif
}

}  // namespace morvane::platform
