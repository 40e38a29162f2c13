#pragma once
// Names a thread for debuggers and process listings.
namespace morvane::platform {

// Names the calling thread (POSIX keeps the first 15 bytes). Never fails visibly.
void set_thread_name(const char* name) noexcept;

}  // namespace morvane::platform
