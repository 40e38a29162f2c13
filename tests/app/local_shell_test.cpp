#include <dirent.h>
#include <sys/wait.h>

#include <atomic>
#include <random>
#include <sstream>

#include "app_fixture.h"
#include "flood_check.h"
#include "util/text.h"

namespace morvane::testing {

namespace {
int count_dir(const char* path) {
  int n = 0;
  if (DIR* d = ::opendir(path)) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}
int open_fds() { return count_dir("/proc/self/fd"); }
int threads() { return count_dir("/proc/self/task"); }
bool has_children() {
  int status;
  pid_t p = ::waitpid(-1, &status, WNOHANG);
  return !(p < 0 && errno == ECHILD);
}
}  // namespace

struct LocalShellTest : AppFixture {
  void SetUp() override {
    make_app();
    app->connect_delay_sec = 0.0;
  }
  std::string open(const std::string& json_text) {
    std::string sid = app->save_session(Json::parse(json_text))["id"];
    return app->connect_session(sid)["tab_id"];
  }
  bool connected(const std::string& tab) { return page.wait_for("terminalConnected(\"" + tab + "\")"); }
  // Drains until needle shows up; returns everything drained.
  std::string expect_output(const std::string& tab, const std::string& needle, double secs = 10) {
    std::string all;
    eventually([&] {
      all += app->drain_terminal(tab);
      return all.find(needle) != std::string::npos;
    }, secs);
    EXPECT_NE(all.find(needle), std::string::npos) << "missing " << needle << " in:\n" << all;
    return all;
  }
};

TEST_F(LocalShellTest, EchoResizeWorkingDirectoryAndOrderlyEnd) {
  std::string tab = open(R"({"name": "sh", "protocol": "conpty", "conpty_shell": "SH", "conpty_cwd": "/tmp"})");
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(page.count("setTerminalInfo(\"" + tab + "\", \"Starting local shell (sh)...\", false)"), 1u);
  EXPECT_TRUE(app->send_input(tab, "echo hel''lo; pwd\r"));
  std::string out = expect_output(tab, "/tmp\r\n");
  EXPECT_NE(out.find("hello"), std::string::npos);
  EXPECT_TRUE(app->resize_pty(tab, 30, 100));
  EXPECT_TRUE(app->send_input(tab, "stty size\r"));
  expect_output(tab, "30 100");
  EXPECT_TRUE(app->resize_pty(tab, 1, 1));
  EXPECT_TRUE(app->send_input(tab, "stty size; exit\r"));
  expect_output(tab, "2 20");
  ASSERT_TRUE(page.wait_for("Connection ended"));
  EXPECT_TRUE(eventually([&] { return !app->find_tab(tab)->alive(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(page.count("Connection ended"), 1u);
  EXPECT_FALSE(app->send_input(tab, "x"));
  app->close_tab(tab);
  EXPECT_TRUE(app->wait_threads(10));
  EXPECT_FALSE(has_children());
}

// A page that learns of a tab only after its terminalConnected call (a reloaded page, a tab
// opened from elsewhere) reads the state from the tab list instead.
TEST_F(LocalShellTest, TheTabListSaysWhetherATabIsConnected) {
  app->connect_delay_sec = 0.3;
  std::string tab = open(R"({"protocol": "conpty", "conpty_shell": "sh"})");
  auto summary = [&] {
    const Json state = app->get_runtime_state();
    for (const auto& t : state["tabs"])
      if (t["id"] == tab) return t;
    return Json();
  };
  EXPECT_EQ(summary()["connected"], false);  // still waiting to connect
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(summary()["connected"], true);
  EXPECT_EQ(summary()["alive"], true);
  app->send_input(tab, "exit\r");
  EXPECT_TRUE(eventually([&] { return summary()["alive"] == false; }));
  EXPECT_EQ(summary()["connected"], false);
  app->close_tab(tab);
  EXPECT_TRUE(app->wait_threads(10));
}

TEST_F(LocalShellTest, EveryByteOfALargeOutputArrivesInOrder) {
  std::string tab = open(R"({"protocol": "conpty", "conpty_shell": "sh"})");
  ASSERT_TRUE(connected(tab));
  app->send_input(tab, "stty -echo; seq 1 100000; echo END-OF-$((1+1))RUN\r");
  std::string all = expect_output(tab, "END-OF-2RUN\r\n", 60);
  // The prompt may land before the first line when the input beat the shell's start-up.
  size_t start = all.find("1\r\n2\r\n3\r\n");
  ASSERT_NE(start, std::string::npos);
  std::istringstream lines(all.substr(start));
  std::string line;
  for (int i = 1; i <= 100000; ++i) {
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_EQ(line, std::to_string(i) + "\r");
  }
}

TEST_F(LocalShellTest, MultiByteOutputSplitAcrossReadsStaysWhole) {
  std::string tab = open(R"({"protocol": "conpty", "conpty_shell": "sh", "line_code_page": "big5"})");
  ASSERT_TRUE(connected(tab));
  // A local shell is always read as UTF-8, whatever the session says.
  app->send_input(tab, "stty -echo; i=0; while [ $i -lt 3000 ]; do printf '\\351\\200\\243\\347\\267\\232'; i=$((i+1)); done; echo; echo DO''NE\r");
  std::string all = expect_output(tab, "DONE", 30);
  std::string expect;
  for (int i = 0; i < 3000; ++i) expect += "連線";
  EXPECT_NE(all.find(expect), std::string::npos);
  EXPECT_EQ(all.find("\xEF\xBF\xBD"), std::string::npos);
}

TEST_F(LocalShellTest, ShellChoiceAndLabels) {
  std::string a = open(R"({"protocol": "conpty"})");
  EXPECT_TRUE(page.wait_for("Starting local shell (cmd)..."));
  ASSERT_TRUE(connected(a));
  std::string b = open(R"({"protocol": "conpty", "host": "sh", "conpty_shell": "bash"})");
  EXPECT_TRUE(page.wait_for("setTerminalInfo(\"" + b + "\", \"Starting local shell (sh)...\""));
  std::string c = open(R"({"protocol": "conpty", "conpty_shell": "Custom", "conpty_custom_command": "echo CUSTOM-$((6*7)); sleep 5"})");
  EXPECT_TRUE(page.wait_for("Starting local shell (echo CUSTOM-$((6*7)); sleep 5)..."));
  expect_output(c, "CUSTOM-42");
  std::string d = open(R"({"protocol": "conpty", "conpty_shell": "custom"})");
  EXPECT_TRUE(page.wait_for("setTerminalInfo(\"" + d + "\", \"Starting local shell (custom)...\""));
  EXPECT_TRUE(page.wait_for("setTerminalInfo(\"" + d + "\", \"Failed to start shell: "));
  EXPECT_TRUE(eventually([&] { return !app->find_tab(d)->alive(); }));
  std::string e = open(R"({"protocol": "conpty", "conpty_shell": "no-such-shell-xyz", "conpty_custom_command": "echo x"})");
  EXPECT_TRUE(page.wait_for("setTerminalInfo(\"" + e + "\", \"Failed to start shell: shell not found: no-such-shell-xyz\", true)"));
  std::string f = open(R"({"protocol": "conpty", "conpty_shell": "sh", "conpty_cwd": "/no/such/dir"})");
  EXPECT_TRUE(page.wait_for("setTerminalInfo(\"" + f + "\", \"Failed to start shell: working directory not found"));
}

TEST_F(LocalShellTest, ReadingSwitchAndEncodingChangeWhileRunning) {
  std::string tab = open(R"({"protocol": "conpty", "conpty_shell": "sh"})");
  ASSERT_TRUE(connected(tab));
  app->send_input(tab, "stty -echo\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  app->drain_terminal(tab);
  EXPECT_EQ(app->toggle_tab_reading(tab)["reading"], false);
  app->send_input(tab, "echo HIDDEN\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(app->toggle_tab_reading(tab)["reading"], true);
  app->send_input(tab, "echo SHO''WN\r");
  std::string out = expect_output(tab, "SHOWN");
  EXPECT_EQ(out.find("HIDDEN"), std::string::npos);
  EXPECT_TRUE(app->set_tab_encoding(tab, "latin-1"));
  app->send_input(tab, "printf '\\351t\\351\\n'\r");
  expect_output(tab, "été");
}

// Many tabs opened, typed into, resized and closed from several threads at once. Run under
// ThreadSanitizer in the sanitizer build; afterwards nothing may be left over.
TEST_F(LocalShellTest, StressOpenTypeResizeCloseLeavesNothingBehind) {
  // Warm up once so lazily created process-wide state is not counted as a leak.
  {
    std::string t = open(R"({"protocol": "conpty", "conpty_shell": "sh", "name": "warm"})");
    ASSERT_TRUE(connected(t));
    app->close_tab(t);
    ASSERT_TRUE(app->wait_threads(10));
  }
  const int fds_before = open_fds();
  const int threads_before = threads();
  std::vector<std::string> sids;
  for (int i = 0; i < 12; ++i)
    sids.push_back(app->save_session(Json::parse(R"({"protocol": "conpty", "conpty_shell": "sh", "name": "s)" +
                                                 std::to_string(i) + R"("})"))["id"]);
  std::atomic<int> opened{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&, w] {
      std::mt19937 rng(w);
      for (int round = 0; round < 6; ++round) {
        std::string sid = sids[(w * 3 + round) % sids.size()];
        std::string tab = app->connect_session(sid)["tab_id"];
        ++opened;
        for (int k = 0; k < 20; ++k) {
          app->send_input(tab, "echo " + std::to_string(k) + "\r");
          app->resize_pty(tab, 10 + static_cast<int>(rng() % 50), 20 + static_cast<int>(rng() % 150));
          app->drain_terminal(tab);
          if (rng() % 7 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
        }
        app->get_runtime_state();
        app->close_tab(tab);
      }
    });
  }
  for (auto& t : workers) t.join();
  EXPECT_GT(opened.load(), 0);
  for (const auto& id : app->tabs.order()) app->close_tab(id);
  ASSERT_TRUE(app->wait_threads(30));
  EXPECT_TRUE(app->tabs.order().empty());
  EXPECT_TRUE(eventually([&] { return open_fds() <= fds_before; }, 5)) << open_fds() << " vs " << fds_before;
  EXPECT_TRUE(eventually([&] { return threads() <= threads_before; }, 5)) << threads() << " vs " << threads_before;
  EXPECT_FALSE(has_children());
}

}  // namespace morvane::testing

namespace morvane::testing {

// A page that stops draining holds the shell back instead of dropping its output: the flood waits
// in the PTY while the buffer stays near its high mark, and once drained every byte is there.
TEST_F(LocalShellTest, APageThatStopsDrainingPausesTheShellAndLosesNothing) {
  std::string tab = open(R"({"protocol": "conpty", "conpty_shell": "sh"})");
  ASSERT_TRUE(connected(tab));
  const size_t flood = 12000000;
  FloodSeen seen = flood_undrained(*app, tab, flood, dir.path / "flood-done", std::chrono::seconds(3));
  EXPECT_FALSE(seen.finished_undrained) << "the shell got through 12 MB with nobody draining";
  EXPECT_GE(seen.pauses, 1u);
  EXPECT_GT(seen.peak, OutputBuffer::kHighWater) << "the flood never reached the high mark: nothing was measured";
  // The reader stops above the high mark, so the buffer passes it by at most one read.
  EXPECT_LE(seen.peak, OutputBuffer::kHighWater + MorvaneApp::kReadSize);
  ASSERT_TRUE(seen.ended) << "no end marker within 60 s of draining";
  EXPECT_EQ(seen.count, flood);
}

}  // namespace morvane::testing
