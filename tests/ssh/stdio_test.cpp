// The whole program, end to end: `morvane --stdio` opens SSH tabs to sshd, carries a shell
// and both kinds of forward, and reports failures, all through its JSON-line protocol.
#include <condition_variable>

#include "ssh_app_fixture.h"

namespace morvane::sshtest {
namespace {

// Runs `morvane --stdio` and talks to it.
class StdioProgram {
 public:
  StdioProgram(const fs::path& data_dir, const std::vector<std::string>& env) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<std::string> env_store;
    for (char** e = environ; e && *e; ++e) env_store.push_back(*e);
    for (const auto& kv : env) env_store.push_back(kv);
    std::vector<char*> envp;
    for (auto& s : env_store) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv = {MORVANE_BIN, "--stdio", "--data-dir", data_dir.string()};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int rc = ::posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) throw std::runtime_error("cannot start morvane");
    to_ = in[1];
    from_ = out[0];
    reader_ = std::thread([this] {
      std::string buf;
      char chunk[65536];
      for (;;) {
        ssize_t n = ::read(from_, chunk, sizeof chunk);
        if (n <= 0) break;
        buf.append(chunk, static_cast<size_t>(n));
        size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
          Json msg = json::parse(buf.substr(0, nl));
          buf.erase(0, nl + 1);
          std::lock_guard<std::mutex> lock(mu_);
          if (msg.contains("page")) pages_.push_back(msg["page"].get<std::string>());
          else if (msg.contains("id")) answers_.push_back(msg);
          cv_.notify_all();
        }
      }
      std::lock_guard<std::mutex> lock(mu_);
      ended_ = true;
      cv_.notify_all();
    });
  }
  ~StdioProgram() {
    if (to_ >= 0) ::close(to_);
    int st;
    auto end = std::chrono::steady_clock::now() + 20s;
    while (::waitpid(pid_, &st, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    reader_.join();
    ::close(from_);
  }

  Json call(const std::string& op, const std::vector<Json>& args = {}) {
    int id = ++next_id_;
    Json req = {{"id", id}, {"op", op}, {"args", Json::array()}};
    for (const auto& a : args) req["args"].push_back(a);
    std::string line = json::dump_line(req, false) + "\n";
    if (::write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) throw std::runtime_error("write");
    std::unique_lock<std::mutex> lock(mu_);
    Json found;
    cv_.wait_for(lock, 60s, [&] {
      for (auto& a : answers_)
        if (a["id"] == id) {
          found = a;
          return true;
        }
      return ended_;
    });
    if (found.is_null()) throw std::runtime_error("no answer to " + op);
    if (!found["ok"].get<bool>()) throw std::runtime_error("failed: " + json::text_form(found["error"]));
    return found["result"];
  }
  bool page_has(const std::string& needle, double seconds = 20) {
    return eventually(
        [&] {
          std::lock_guard<std::mutex> lock(mu_);
          for (auto& p : pages_)
            if (p.find(needle) != std::string::npos) return true;
          return false;
        },
        seconds);
  }
  std::string read_until(const std::string& tab, const std::string& needle, double seconds = 20) {
    std::string out;
    eventually(
        [&] {
          out += call("drain_terminal", {tab}).get<std::string>();
          return out.find(needle) != std::string::npos;
        },
        seconds);
    return out;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> pages_;
  std::vector<Json> answers_;
  bool ended_ = false;
  int next_id_ = 0;
};

TEST_F(SshTabTest, StdioHostCarriesAShellAndBothForwards) {
  TcpServer echo(TcpServer::echo);
  int lport = free_port(), rport = free_port();
  Json sess = session({{"port_forwards",
                        {{{"type", "L"}, {"spec", std::to_string(lport) + ":127.0.0.1:" + std::to_string(echo.port())}},
                         {{"type", "R"}, {"spec", std::to_string(rport) + ":127.0.0.1:" + std::to_string(echo.port())}}}}});
  StdioProgram prog(data(), {"HOME=" + home().string()});
  std::string sid = prog.call("save_session", {sess})["id"].get<std::string>();
  std::string tab = prog.call("connect_session", {sid})["tab_id"].get<std::string>();
  ASSERT_TRUE(prog.page_has("terminalConnected(\"" + tab + "\")"));

  EXPECT_TRUE(prog.call("send_input", {tab, "stty size; echo MARK$((41+1))\r"}).get<bool>());
  std::string out = prog.read_until(tab, "MARK42\r\n");
  EXPECT_NE(out.find("24 80"), std::string::npos) << out;
  EXPECT_TRUE(prog.call("resize_pty", {tab, 50, 132}).get<bool>());
  prog.call("send_input", {tab, "stty size; echo MARK$((42+1))\r"});
  out = prog.read_until(tab, "MARK43\r\n");
  EXPECT_NE(out.find("50 132"), std::string::npos) << out;

  int a = connect_to(lport, 20);
  ASSERT_GE(a, 0);
  send_all(a, "through the local forward");
  EXPECT_EQ(recv_n(a, 25), "through the local forward");
  ::close(a);
  ASSERT_TRUE(eventually([&] { return port_open(rport); }));
  int b = connect_to(rport, 20);
  ASSERT_GE(b, 0);
  send_all(b, "through the remote forward");
  EXPECT_EQ(recv_n(b, 26), "through the remote forward");
  ::close(b);

  Json state = prog.call("close_tab", {tab});
  EXPECT_TRUE(state["tabs"].empty());
  EXPECT_TRUE(eventually([&] { return !port_open(lport); }));
}

TEST_F(SshTabTest, StdioHostReportsAFailedLogin) {
  StdioProgram prog(data(), {"HOME=" + home().string()});
  Json sess = session({{"private_key", ""}, {"password", "wrong"}});
  std::string sid = prog.call("save_session", {sess})["id"].get<std::string>();
  std::string tab = prog.call("connect_session", {sid})["tab_id"].get<std::string>();
  ASSERT_TRUE(prog.page_has("setTerminalInfo(\"" + tab + "\", \"Authentication failed: "));
  EXPECT_TRUE(eventually([&] { return !prog.call("get_runtime_state")["tabs"][0]["alive"].get<bool>(); }));
  EXPECT_FALSE(prog.call("send_input", {tab, "ls\r"}).get<bool>());
}

}  // namespace
}  // namespace morvane::sshtest
