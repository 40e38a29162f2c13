// The real program over its stdio protocol: a user's whole first session, end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>
#include <vector>

#include "util/json.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

// morvane --stdio as a child process with pipes.
class StdioClient {
 public:
  explicit StdioClient(const fs::path& data_dir) : data_dir_(data_dir) {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      // Diagnostics (and sanitizer reports) of the program, kept for a failing test to show.
      int err = ::open((data_dir / "stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(err, 2);
      ::execl(MORVANE_BINARY, MORVANE_BINARY, "--stdio", "--data-dir", data_dir.c_str(), (char*)nullptr);
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~StdioClient() {
    close_input();
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(from_);
  }

  void send(const Json& msg) {
    std::string line = msg.dump() + "\n";
    ASSERT_EQ(::write(to_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  void send_raw(const std::string& line) { ASSERT_GT(::write(to_, line.data(), line.size()), 0); }
  void close_input() {
    if (to_ >= 0) ::close(to_);
    to_ = -1;
  }

  // Next line, or null after the time limit.
  Json next(double secs = 15) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(secs);
    for (;;) {
      auto nl = buf_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        Json j = Json::parse(line);
        seen_.push_back(j);
        return j;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) return nullptr;
      pollfd p{from_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char b[65536];
      ssize_t n = ::read(from_, b, sizeof b);
      if (n <= 0) return nullptr;
      buf_.append(b, static_cast<size_t>(n));
    }
  }

  // Calls an operation and returns its answer line (other lines are kept in seen()).
  Json call(const std::string& op, Json args = Json::array()) {
    int id = ++last_id_;
    Json msg = Json::object();
    msg["id"] = id;
    msg["op"] = op;
    msg["args"] = std::move(args);
    send(msg);
    for (;;) {
      Json j = next();
      if (j.is_null()) return nullptr;
      if (j.contains("id") && j["id"] == id) return j;
    }
  }
  Json result(const std::string& op, Json args = Json::array()) {
    Json a = call(op, std::move(args));
    EXPECT_EQ(a["ok"], true) << op << ": " << a.dump() << "\nprogram's stderr:\n" << stderr_text();
    return a["result"];
  }

  // Reads lines until pred matches one; true when it did.
  bool wait_line(const std::function<bool(const Json&)>& pred, double secs = 15) {
    for (auto& j : seen_)
      if (pred(j)) return true;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(secs);
    while (std::chrono::steady_clock::now() < end) {
      Json j = next(0.2);
      if (!j.is_null() && pred(j)) return true;
    }
    return false;
  }
  size_t count_pages(const std::string& needle) {
    size_t n = 0;
    for (auto& j : seen_) n += j.contains("page") && j["page"].get<std::string>().find(needle) != std::string::npos;
    return n;
  }
  std::string drain_until(const std::string& tab, const std::string& needle, double secs = 15) {
    std::string all;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(secs);
    while (std::chrono::steady_clock::now() < end && all.find(needle) == std::string::npos) {
      all += result("drain_terminal", Json::array({tab})).get<std::string>();
      if (all.find(needle) == std::string::npos) ::usleep(20000);
    }
    return all;
  }
  std::string stderr_text() const {
    std::ifstream f(data_dir_ / "stderr.log");
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  void signal(int sig) { ::kill(pid_, sig); }
  int wait_exit() {
    int status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::usleep(10000);
    }
    return -2;
  }

 private:
  fs::path data_dir_;
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  bool reaped_ = false;
  int last_id_ = 0;
  std::string buf_;
  std::vector<Json> seen_;
};

struct StdioBinary : ::testing::Test {
  fs::path dir;
  void SetUp() override {
    char tmpl[] = "/tmp/morvane-stdio-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir); }
};

TEST_F(StdioBinary, FoundationOperationsAndOrderlyEnd) {
  StdioClient c(dir);
  Json init = c.result("get_initial_state");
  EXPECT_EQ(init["sessions"], Json::array());
  EXPECT_EQ(init["language"], "en");
  EXPECT_EQ(init["sessions_file"], (dir / "sessions.json").string());
  EXPECT_EQ(c.result("set_language", Json::array({"zh-Hant"})), Json::parse(R"({"ok": true, "language": "zh-Hant"})"));
  EXPECT_EQ(c.result("set_language", Json::array({"xx"}))["language"], "en");
  c.send_raw("{\"queue\": \"get_receipt\", \"item\": {\"type\": \"ping_results\", \"results\": [{\"id\": \"s1\", \"online\": true}]}}\n");
  Json rt;
  for (int i = 0; i < 100; ++i) {
    rt = c.result("get_runtime_state");
    if (!rt["session_status"].empty()) break;
    ::usleep(20000);
  }
  EXPECT_EQ(rt, Json::parse(R"({"tabs": [], "active_tab": null, "session_status": {"s1": "online"}})"));
  EXPECT_EQ(c.result("drain_terminal", Json::array({"nope"})), "");
  Json bad = c.call("drain_terminal", Json::array({1}));
  EXPECT_EQ(bad["ok"], false);
  c.send_raw("not json\n");
  EXPECT_TRUE(c.wait_line([](const Json& j) { return j.contains("id") && j["id"].is_null() && j["ok"] == false; }));
  c.close_input();
  EXPECT_TRUE(c.wait_line([](const Json& j) { return j == Json::parse(R"({"event": "end"})"); }));
  EXPECT_EQ(c.wait_exit(), 0);
  std::ifstream f(dir / "settings.json");
  EXPECT_EQ(Json::parse(f)["language"], "en");
}

TEST_F(StdioBinary, ALocalShellSessionFromSaveToClose) {
  StdioClient c(dir);
  Json saved = c.result("save_session", Json::array({Json::parse(R"({"name": "local", "protocol": "conpty", "conpty_shell": "sh"})")}));
  std::string sid = saved["id"];
  Json opened = c.result("connect_session", Json::array({sid}));
  std::string tab = opened["tab_id"];
  ASSERT_EQ(tab.size(), 8u);
  EXPECT_EQ(opened["active_tab"], tab);
  ASSERT_TRUE(c.wait_line([&](const Json& j) { return j.contains("page") && j["page"] == "terminalConnected(\"" + tab + "\")"; }));
  EXPECT_EQ(c.count_pages("setTerminalInfo(\"" + tab + "\", \"Starting local shell (sh)...\", false)"), 1u);
  EXPECT_TRUE(c.result("send_input", Json::array({tab, "echo hel''lo\r"})).get<bool>());
  EXPECT_NE(c.drain_until(tab, "hello\r\n").find("hello\r\n"), std::string::npos);
  EXPECT_TRUE(c.result("resize_pty", Json::array({tab, 33, 101})).get<bool>());
  c.result("send_input", Json::array({tab, "stty size\r"}));
  EXPECT_NE(c.drain_until(tab, "33 101").find("33 101"), std::string::npos);
  // Reading off: output is dropped, not delayed.
  EXPECT_EQ(c.result("toggle_tab_reading", Json::array({tab})), Json::parse(R"({"reading": false})"));
  c.result("send_input", Json::array({tab, "echo INVIS''IBLE\r"}));
  ::usleep(300000);
  EXPECT_EQ(c.result("get_tab_reading", Json::array({tab})), Json::parse(R"({"reading": false})"));
  EXPECT_EQ(c.result("toggle_tab_reading", Json::array({tab})), Json::parse(R"({"reading": true})"));
  c.result("send_input", Json::array({tab, "echo VIS''IBLE\r"}));
  std::string shown = c.drain_until(tab, "VISIBLE\r\n");
  EXPECT_EQ(shown.find("INVISIBLE"), std::string::npos);
  EXPECT_TRUE(c.result("set_tab_encoding", Json::array({tab, "latin-1"})).get<bool>());
  EXPECT_FALSE(c.result("set_tab_encoding", Json::array({tab, "no-such"})).get<bool>());
  c.result("send_input", Json::array({tab, "printf '\\351t\\351\\n'\r"}));
  EXPECT_NE(c.drain_until(tab, "été").find("été"), std::string::npos);
  // Editing the open session: the tab's title follows and a notice says what applies.
  Json edit = Json::parse(R"({"name": "renamed", "protocol": "conpty", "conpty_shell": "sh"})");
  edit["id"] = sid;
  c.result("save_session", Json::array({edit}));
  EXPECT_TRUE(c.wait_line([&](const Json& j) {
    return j.contains("page") && j["page"].get<std::string>().find("Connection settings applied") != std::string::npos;
  }));
  EXPECT_EQ(c.result("get_runtime_state")["tabs"][0]["display"], "renamed");
  c.result("send_input", Json::array({tab, "exit\r"}));
  ASSERT_TRUE(c.wait_line([&](const Json& j) {
    return j.contains("page") && j["page"] == "setTerminalInfo(\"" + tab + "\", \"\\u2500\\u2500\\u2500 Connection ended \\u2500\\u2500\\u2500\", false)";
  }));
  Json rt = c.result("get_runtime_state");
  EXPECT_EQ(rt["tabs"][0]["alive"], false);
  EXPECT_EQ(c.count_pages("Connection ended"), 1u);
  Json closed = c.result("close_tab", Json::array({tab}));
  EXPECT_EQ(closed["tabs"], Json::array());
  EXPECT_TRUE(closed["active_tab"].is_null());
  c.close_input();
  EXPECT_TRUE(c.wait_line([](const Json& j) { return j == Json::parse(R"({"event": "end"})"); }));
  EXPECT_EQ(c.wait_exit(), 0);
  EXPECT_EQ(c.count_pages("Connection ended"), 1u);
}

TEST_F(StdioBinary, EndOfInputClosesOpenShellTabs) {
  StdioClient c(dir);
  std::string sid = c.result("save_session", Json::array({Json::parse(R"({"protocol": "conpty", "conpty_shell": "sh"})")}))["id"];
  std::string tab = c.result("connect_session", Json::array({sid}))["tab_id"];
  ASSERT_TRUE(c.wait_line([&](const Json& j) { return j.contains("page") && j["page"] == "terminalConnected(\"" + tab + "\")"; }));
  c.result("send_input", Json::array({tab, "echo $$ > " + (dir / "shell.pid").string() + "\r"}));
  for (int i = 0; i < 200 && !fs::exists(dir / "shell.pid"); ++i) ::usleep(10000);
  ::usleep(100000);
  pid_t shell = 0;
  std::ifstream(dir / "shell.pid") >> shell;
  ASSERT_GT(shell, 0);
  c.close_input();
  EXPECT_TRUE(c.wait_line([](const Json& j) { return j == Json::parse(R"({"event": "end"})"); }));
  EXPECT_EQ(c.wait_exit(), 0);
  // The shell went with its tab.
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = ::kill(shell, 0) != 0;
    ::usleep(10000);
  }
  EXPECT_TRUE(gone);
}


TEST_F(StdioBinary, SigtermAndSigintQuitInOrderAsEndOfInputDoes) {
  for (int sig : {SIGTERM, SIGINT}) {
    fs::path d = dir / std::to_string(sig);
    fs::create_directories(d);
    StdioClient c(d);
    std::string sid = c.result("save_session", Json::array({Json::parse(R"({"protocol": "conpty", "conpty_shell": "sh"})")}))["id"];
    std::string tab = c.result("connect_session", Json::array({sid}))["tab_id"];
    ASSERT_TRUE(c.wait_line([&](const Json& j) { return j.contains("page") && j["page"] == "terminalConnected(\"" + tab + "\")"; }));
    c.result("send_input", Json::array({tab, "echo $$ > " + (d / "shell.pid").string() + "\r"}));
    for (int i = 0; i < 200 && !fs::exists(d / "shell.pid"); ++i) ::usleep(10000);
    ::usleep(100000);
    pid_t shell = 0;
    std::ifstream(d / "shell.pid") >> shell;
    ASSERT_GT(shell, 0);
    c.result("drain_terminal", Json::array({tab}));
    // A wait for output under way is answered at once: the quit does not wait it out.
    Json wait = Json::object();
    wait["id"] = "held";
    wait["op"] = "wait_terminal_output";
    wait["args"] = Json::array({Json::array({tab}), 5});
    c.send(wait);
    ::usleep(300000);
    auto quit_at = std::chrono::steady_clock::now();
    c.signal(sig);
    EXPECT_TRUE(c.wait_line([](const Json& j) { return j == Json::parse(R"({"id": "held", "ok": true, "result": []})"); })) << sig;
    EXPECT_TRUE(c.wait_line([](const Json& j) { return j == Json::parse(R"({"event": "end"})"); })) << sig;
    EXPECT_EQ(c.wait_exit(), 0) << sig;
    EXPECT_LT(std::chrono::steady_clock::now() - quit_at, std::chrono::milliseconds(2500)) << "the quit waited, signal " << sig;
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
      gone = ::kill(shell, 0) != 0;
      ::usleep(10000);
    }
    EXPECT_TRUE(gone) << "the shell outlived the program after signal " << sig;
  }
}

// Runs the program with args, no input; returns its exit code and standard error.
std::pair<int, std::string> run_program(const std::vector<std::string>& args, const fs::path& err_file) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(MORVANE_BINARY)};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(MORVANE_BINARY, argv.data());
    ::_exit(127);
  }
  int status = 0;
  int code = -2;
  for (int i = 0; i < 2000; ++i) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    ::usleep(10000);
  }
  if (code == -2) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  std::ifstream f(err_file);
  return {code, std::string(std::istreambuf_iterator<char>(f), {})};
}

TEST_F(StdioBinary, ADataDirectoryThatCannotBeMadeOrIsEmptyIsAnError) {
  std::ofstream(dir / "file") << "x";
  auto [code, err] = run_program({"--stdio", "--data-dir", (dir / "file" / "data").string()}, dir / "err1");
  EXPECT_NE(code, 0) << err;
  EXPECT_NE(err.find("cannot create the data directory"), std::string::npos) << err;
  EXPECT_EQ(err.find("Traceback"), std::string::npos) << err;
  std::tie(code, err) = run_program({"--serve", "--data-dir", (dir / "file").string()}, dir / "err2");
  EXPECT_NE(code, 0) << err;
  EXPECT_NE(err.find("cannot create the data directory"), std::string::npos) << err;
  std::tie(code, err) = run_program({"--stdio", "--data-dir", ""}, dir / "err3");
  EXPECT_EQ(code, 2) << err;
  EXPECT_NE(err.find("--data-dir is empty"), std::string::npos) << err;
}

}  // namespace
}  // namespace morvane
