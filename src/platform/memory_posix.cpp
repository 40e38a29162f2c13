#include <cstdlib>  // defines __GLIBC__ where the C library is glibc
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/memory.h"

namespace morvane::platform {

void release_free_memory() noexcept {
// Under a sanitizer glibc's heap is not the one in use, so there is nothing to trim; and
// malloc_trim() would set glibc's heap up lazily from whichever threads call it first, which
// it cannot do from several at once (a thread then dies on exit with a corrupt arena count).
#if defined(__GLIBC__) && !defined(MORVANE_SANITIZED)
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
