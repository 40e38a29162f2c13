#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

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

// A kill from another thread ends the child and what it started, long before the time limit.
TEST(Process, KillFromAnotherThreadEndsTheWholeGroup) {
  char tmpl[] = "/tmp/morvane-proc-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  std::string pidfile = dir + "/grandchild";
  morvane::ProcessOptions o;
  o.timeout_sec = 30;
  o.kill = std::make_shared<morvane::ProcessKill>();
  std::thread killer([&] {
    for (int i = 0; i < 500 && access(pidfile.c_str(), F_OK) != 0; ++i) usleep(10000);
    usleep(50000);
    EXPECT_TRUE(o.kill->kill());
  });
  auto t0 = std::chrono::steady_clock::now();
  auto r = run_process({"sh", "-c", "sleep 30 & echo $! > " + pidfile + "; sleep 30"}, o);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  killer.join();
  EXPECT_TRUE(r.killed);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, -SIGKILL);
  EXPECT_LT(secs, 10.0);
  std::ifstream f(pidfile);
  pid_t grandchild = 0;
  f >> grandchild;
  ASSERT_GT(grandchild, 0);
  // The grandchild is gone (or a zombie of init's for a moment).
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    std::ifstream st("/proc/" + std::to_string(grandchild) + "/stat");
    std::string pid, comm, state;
    gone = !(st >> pid >> comm >> state) || state == "Z";
    if (!gone) usleep(10000);
  }
  EXPECT_TRUE(gone) << "grandchild " << grandchild << " still runs";
  std::filesystem::remove_all(dir);
}

TEST(Process, KillBeforeTheStartStartsNothing) {
  morvane::ProcessOptions o;
  o.kill = std::make_shared<morvane::ProcessKill>();
  o.kill->kill();
  auto r = run_process({"/nonexistent/program"}, o);  // not even tried
  EXPECT_TRUE(r.killed);
  EXPECT_EQ(r.out, "");
}

TEST(Process, KillAfterTheEndChangesNothing) {
  morvane::ProcessOptions o;
  o.kill = std::make_shared<morvane::ProcessKill>();
  auto r = run_process({"sh", "-c", "echo done"}, o);
  EXPECT_TRUE(o.kill->kill());
  EXPECT_EQ(r.out, "done\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(r.killed);
}

// After a time-out the group is killed and output already written is still collected.
TEST(Process, GraceAfterTimeOutCollectsWhatWasWritten) {
  morvane::ProcessOptions o;
  o.timeout_sec = 0.4;
  o.kill_grace_sec = 2;
  auto t0 = std::chrono::steady_clock::now();
  auto r = run_process({"sh", "-c", "echo partial; sleep 30"}, o);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.out, "partial\n");
  EXPECT_LT(secs, 2.6);
}
