#pragma once
// Child processes: an argument vector, captured output and a hard time limit.
#include <optional>
#include <string>
#include <vector>

namespace morvane {

struct ProcessOptions {
  std::string cwd;                   // empty: inherit
  std::optional<std::string> input;  // written to the child's stdin, then closed; none: /dev/null
  double timeout_sec = 30.0;         // the child (and its process group) is killed when exceeded
};

struct ProcessResult {
  int exit_code = -1;  // -signal when killed by a signal
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Throws std::runtime_error when the program cannot be started (text like
// "[Errno 2] No such file or directory: 'puttygen'"). A time-out is not a throw: the child is
// killed and timed_out is set.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& opts = {});

}  // namespace morvane
