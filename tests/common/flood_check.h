#pragma once
// Flow control seen from the consumer's side: a tab is flooded while nobody drains it, then
// drained to the end. Shared by the tab tests of every kind whose peer can wait.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "app/morvane_app.h"

namespace morvane::testing {

struct FloodSeen {
  size_t peak = 0;              // most characters buffered while nobody drained
  bool finished_undrained = false;  // the producer got through without anyone draining
  bool ended = false;           // the end marker arrived once drained
  size_t count = 0;             // flood characters between the markers
  uint64_t pauses = 0;          // times the reader waited for room
};

// Types a command that prints `n` 'y' characters between two markers and then touches
// `done`, holds off draining for `hold`, then drains until the end marker (within `limit`).
inline FloodSeen flood_undrained(MorvaneApp& app, const std::string& tab, size_t n,
                                 const std::filesystem::path& done, std::chrono::milliseconds hold,
                                 std::chrono::seconds limit = std::chrono::seconds(60)) {
  FloodSeen seen;
  TabRef t = app.find_tab(tab);
  if (!t) return seen;
  // The markers are computed by the shell, so the echoed command line never matches them.
  app.send_input(Json(tab), Json("echo BEGIN-$((1+1)); head -c " + std::to_string(n) +
                                 " /dev/zero | tr '\\0' y; echo END-$((6*7)); touch '" + done.string() +
                                 "'\r"));
  const auto stop_holding = std::chrono::steady_clock::now() + hold;
  while (std::chrono::steady_clock::now() < stop_holding && !std::filesystem::exists(done)) {
    seen.peak = std::max(seen.peak, t->output.chars());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  seen.peak = std::max(seen.peak, t->output.chars());
  seen.finished_undrained = std::filesystem::exists(done);
  std::string all;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    all += app.drain_terminal(tab);
    if (all.find("END-42") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const size_t begin = all.find("BEGIN-2"), end = all.find("END-42");
  seen.ended = begin != std::string::npos && end != std::string::npos && begin < end;
  if (seen.ended) seen.count = static_cast<size_t>(std::count(all.begin() + begin, all.begin() + end, 'y'));
  seen.pauses = t->output.pauses();
  return seen;
}

}  // namespace morvane::testing
