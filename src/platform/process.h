#pragma once
// Child processes: an argument vector, captured output and a hard time limit.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace morvane {

// Lets another thread end a running child with everything it started (its process group on
// POSIX, its job object on Windows). kill() may come before the start (the child is then not
// started), during the run, or after it ended (nothing happens).
class ProcessKill {
 public:
  ProcessKill() = default;
  ProcessKill(const ProcessKill&) = delete;
  ProcessKill& operator=(const ProcessKill&) = delete;
  // Returns false when the system refused the kill; *why then says why.
  bool kill(std::string* why = nullptr);
  bool requested() const;

 private:
  friend struct ProcessKillAccess;
  mutable std::mutex mu_;
  bool requested_ = false;
  bool finished_ = false;  // reaped: the id may belong to someone else now
  long long pid_ = -1;     // POSIX: the child, leader of its own group
  void* job_ = nullptr;    // Windows: the job holding the tree
};

struct ProcessOptions {
  std::string cwd;                   // empty: inherit
  std::optional<std::string> input;  // written to the child's stdin, then closed; none: /dev/null
  double timeout_sec = 30.0;         // the child (and its process group) is killed when exceeded
  // After a time-out kill, output still arriving is collected for this long at most.
  double kill_grace_sec = 0.0;
  std::shared_ptr<ProcessKill> kill;  // optional: lets another thread end the run
};

struct ProcessResult {
  int exit_code = -1;  // -signal when killed by a signal
  bool timed_out = false;
  bool killed = false;  // ended through ProcessKill::kill
  std::string out;
  std::string err;
};

// Throws std::runtime_error when the program cannot be started (text like
// "[Errno 2] No such file or directory: 'puttygen'"). A time-out is not a throw: the child is
// killed and timed_out is set.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& opts = {});

}  // namespace morvane
