#pragma once
// The program as the user starts it: runs the desktop window (`morvane --desktop --launched`)
// in a child process, sends it the reachability of the saved sessions right after start and
// every 30 seconds as "get_receipt" queue lines on its standard input, and ends when the child
// reports the event "end" or exits.
#include <filesystem>
#include <string>
#include <vector>

namespace morvane::launcher {

struct Options {
  std::filesystem::path program;   // the morvane executable
  std::filesystem::path data_dir;  // where sessions.json is
  std::vector<std::string> child_args = {"--desktop", "--launched"};
  double interval_sec = 30.0;
  double connect_timeout_sec = 1.5;
};

// Returns the child's exit status (1 when it could not be started).
int run(const Options& opt);

}  // namespace morvane::launcher
