#pragma once
// The few system calls net.cpp builds on; net_posix.cpp and net_win32.cpp define them.
// Not part of the platform interface.
#include "platform/net.h"

namespace morvane::platform::native {

void close_socket(NativeSocket s) noexcept;
// Wakes calls blocked on s in other threads (recv, accept, poll).
void shutdown_both(NativeSocket s) noexcept;
// The calling thread's last socket error.
int last_error() noexcept;
bool would_block(int code) noexcept;
bool interrupted(int code) noexcept;
// The code that reports an operation on a socket that was closed here.
int closed_code() noexcept;

}  // namespace morvane::platform::native
