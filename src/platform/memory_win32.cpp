#include <windows.h>

#include "platform/memory.h"

namespace morvane::platform {

void release_free_memory() noexcept { HeapCompact(GetProcessHeap(), 0); }

// The process heap serves every thread already.
void tune_allocator() noexcept {}

}  // namespace morvane::platform
