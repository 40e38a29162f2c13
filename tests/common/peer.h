#pragma once
// Tests that need a real peer program (sshd, socat, ...). Where it is missing, a developer's
// run skips the test; a CI run (CI set) fails it, so a missing install step cannot pass unseen.
#include <gtest/gtest.h>

#include <cstdlib>

namespace morvane::testing {

inline bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci && *ci;
}

}  // namespace morvane::testing

// Use at the top of a test or SetUp: ends it when `available` is false.
#define MORVANE_REQUIRE_PEER(available, what)                                             \
  do {                                                                                    \
    if (!(available)) {                                                                   \
      if (::morvane::testing::in_ci()) FAIL() << (what) << " is missing, and CI is set";  \
      GTEST_SKIP() << (what) << " is missing";                                            \
    }                                                                                     \
  } while (0)
