#pragma once
// Benchmarks report a rate beside a peer measured in the same run; this prints the ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace morvane::bench {

// Records every run's counters so that ratios can be printed after the table.
class RatioReporter : public ::benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      auto& c = results_[r.benchmark_name()];
      for (const auto& [k, v] : r.counters) c[k] = v.value;
      c["real_time"] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double get(const std::string& name, const std::string& counter) const {
    for (const auto& [n, c] : results_) {
      if (n.rfind(name, 0) != 0) continue;
      auto it = c.find(counter);
      if (it != c.end()) return it->second;
    }
    return 0;
  }
  // Prints "what: a / b = ratio (aim ...)".
  void ratio(const std::string& what, const std::string& ours, const std::string& peer, const std::string& counter,
             const std::string& aim) const {
    double a = get(ours, counter), b = get(peer, counter);
    std::printf("RATIO %-44s %10.3f  (%s %.4g / %s %.4g; aim %s)\n", what.c_str(), b > 0 ? a / b : 0.0, ours.c_str(), a,
                peer.c_str(), b, aim.c_str());
  }

 private:
  std::map<std::string, std::map<std::string, double>> results_;
};

}  // namespace morvane::bench
