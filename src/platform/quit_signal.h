#pragma once
// The user's request to quit a program without a window, and standard input that such a
// request can interrupt: SIGINT and SIGTERM on POSIX; Ctrl+C, Ctrl+Break and closing the
// console window on Windows.

#include <cstddef>

namespace morvane::platform {

// From now on a quit request calls on_quit instead of ending the process. On POSIX it runs
// inside a signal handler (only async-signal-safe work; errno is kept) and SIGPIPE is
// ignored from then on, so that a reader of our output going away does not kill us; on
// Windows it runs on a thread the system starts. A later call replaces the function.
void on_quit_signal(void (*on_quit)()) noexcept;

// Makes interrupt_input() possible. false when the system refused what it needs.
bool prepare_input_interrupt() noexcept;
// Ends the read_input() in progress and every later one. Any thread; on POSIX also inside a
// signal handler. Does nothing before prepare_input_interrupt().
void interrupt_input() noexcept;
// Reads up to len bytes of the descriptor fd (standard input is 0), waiting for them: the
// number read, or 0 at the end of input, after interrupt_input(), or on a failure.
std::size_t read_input(int fd, char* buf, std::size_t len) noexcept;

}  // namespace morvane::platform
