#pragma once
// Local shell in a pseudo-terminal (forkpty on POSIX, ConPTY on Windows).
//
// Ways the connection ends: the shell exits (recv drains the last output, then returns "");
// close() from any thread (the child is ended and reaped, recv returns ""); the PTY fails.
#include <memory>
#include <string>
#include <vector>

#include "backends/backend.h"

namespace morvane {

struct LocalShellOptions {
  std::string shell = "cmd";   // lower-case shell name: "cmd" is the user's login shell
  std::string custom_command;  // command line used when shell is "custom"
  int rows = 24;
  int cols = 80;
  std::string working_dir;     // "" = inherit
};

// The program and arguments a shell name starts; throws std::runtime_error when the shell
// is not installed or the custom command is empty.
std::vector<std::string> resolve_shell_argv(const LocalShellOptions& opts);

std::unique_ptr<Backend> make_local_shell(const LocalShellOptions& opts);

}  // namespace morvane
