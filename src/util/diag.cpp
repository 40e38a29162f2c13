#include "util/diag.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace morvane::diag {
namespace {
std::atomic<bool> g_out_to_err{false};
std::mutex g_mu;

void write_line(FILE* f, const std::string& line) {
  std::lock_guard<std::mutex> lock(g_mu);
  std::fwrite(line.data(), 1, line.size(), f);
  std::fputc('\n', f);
  std::fflush(f);
}
}  // namespace

void out(const std::string& line) { write_line(g_out_to_err ? stderr : stdout, line); }
void err(const std::string& line) { write_line(stderr, line); }
void route_out_to_stderr(bool on) { g_out_to_err = on; }

}  // namespace morvane::diag
