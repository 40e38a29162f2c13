#pragma once
// The Wine check programs' output: one "ok -" / "not ok -" line per check; main returns the
// number of failures.
#include <cstdio>
#include <string>

namespace wine_check {

inline int failures = 0;

inline void check(bool ok, const std::string& what, const std::string& detail = "") {
  std::printf("%s - %s%s%s\n", ok ? "ok" : "not ok", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

}  // namespace wine_check
