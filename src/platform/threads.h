#pragma once
// Threads: names for debuggers and process listings, and threads nobody waits for.
#include <functional>

namespace morvane::platform {

// Names the calling thread (POSIX keeps the first 15 bytes). Never fails visibly.
void set_thread_name(const char* name) noexcept;

// Runs `fn` on a new thread that nobody joins, as std::thread(fn).detach() would, and like
// it throws std::system_error when no thread can be started (callers answer with an error).
// An exception leaving `fn` ends the program, as it would from a std::thread.
void start_detached(std::function<void()> fn);

}  // namespace morvane::platform
