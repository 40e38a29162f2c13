#pragma once
// Diagnostic lines: one line each, a fixed prefix and the failure text, flushed at once.
#include <exception>
#include <string>

namespace morvane::diag {

// Lines the application shell, sessions and connections write to standard output.
void out(const std::string& line);
// Lines the serial layer, ESP tools and transfers write to standard error.
void err(const std::string& line);

// Runs one step of a teardown: its failure is written as "[what] reason" and the next step runs.
template <class F>
void best_effort(const char* what, F&& step) noexcept {
  try {
    step();
  } catch (const std::exception& e) {
    err(std::string("[") + what + "] " + e.what());
  } catch (...) {
    err(std::string("[") + what + "] unknown failure");
  }
}

// The stdio host owns standard output for its protocol: diagnostics move to stderr.
void route_out_to_stderr(bool on);

}  // namespace morvane::diag
