#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "platform/process.h"

using morvane::run_process;

TEST(Process, CapturesOutputAndExitCode) {
  auto r = run_process({"sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_FALSE(r.timed_out);
}

TEST(Process, FeedsInputAndKeepsArgumentsWhole) {
  morvane::ProcessOptions o;
  o.input = std::string("hello world");
  auto r = run_process({"sh", "-c", "cat; printf '[%s]' \"$1\"", "sh", "a b  c"}, o);
  EXPECT_EQ(r.out, "hello world[a b  c]");
}

TEST(Process, TimeLimitKillsTheWholeGroup) {
  morvane::ProcessOptions o;
  o.timeout_sec = 0.5;
  auto t0 = std::chrono::steady_clock::now();
  // The grandchild keeps the pipe open: only killing the group ends the wait.
  auto r = run_process({"sh", "-c", "sleep 30 & sleep 30; echo never"}, o);
  auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.exit_code, -SIGKILL);
  EXPECT_LT(secs, 20.0);
}

TEST(Process, MissingProgramThrowsWithItsName) {
  try {
    run_process({"/nonexistent/puttygen", "-O"});
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/puttygen"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos);
  }
}

TEST(Process, WorkingDirectory) {
  morvane::ProcessOptions o;
  o.cwd = "/tmp";
  EXPECT_EQ(run_process({"pwd"}, o).out, "/tmp\n");
}
