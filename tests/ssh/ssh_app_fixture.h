#pragma once
// The application object on a temporary data directory with a recording page, an sshd on
// a free port and a user key it accepts, plus the waits the SSH tab tests share.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/morvane_app.h"
#include "peer.h"
#include "sshd_fixture.h"

namespace morvane::sshtest {

// Records every script the application evaluates in the page.
class RecordingHost : public Host {
 public:
  bool exists() override { return true; }
  void evaluate(const std::string& script) override {
    std::lock_guard<std::mutex> lock(mu_);
    scripts_.push_back(script);
  }
  void create_window(const WindowSpec&, Bridge&, std::function<bool()>) override {}
  void run_loop() override {}

  std::vector<std::string> all() {
    std::lock_guard<std::mutex> lock(mu_);
    return scripts_;
  }
  size_t count(const std::string& needle) {
    size_t n = 0;
    for (auto& s : all()) n += s.find(needle) != std::string::npos;
    return n;
  }
  bool wait_for(const std::string& needle, double seconds = 20) {
    return eventually([&] { return count(needle) > 0; }, seconds);
  }
  std::string dump() {
    std::string out;
    for (auto& s : all()) out += s + "\n";
    return out;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> scripts_;
};

// setTerminalInfo argument as the page receives it (non-ASCII escaped).
inline std::string info(const std::string& tab_id, const std::string& text, bool err) {
  return "setTerminalInfo(" + json::quote(tab_id, true) + ", " + json::quote(text, true) + ", " +
         (err ? "true" : "false") + ")";
}

struct SshTabTest : ::testing::Test {
  TempDir dir;
  RecordingHost page;
  std::unique_ptr<MorvaneApp> app;
  std::unique_ptr<Sshd> sshd;
  fs::path user_key;  // OpenSSH private key authorized by sshd
  size_t threads_before = 0, fds_before = 0;

  fs::path data() const { return dir.path / "data"; }
  fs::path res() const { return dir.path / "res"; }
  fs::path home() const { return dir.path / "home"; }

  void SetUp() override {
    MORVANE_REQUIRE_PEER(Sshd::available(), "OpenSSH's sshd (scripts/install-deps)");
    // Default key files come from $HOME/.ssh: keep the machine's own keys out of the tests.
    fs::create_directories(home() / ".ssh");
    ::setenv("HOME", home().c_str(), 1);
    ::unsetenv("SSH_AUTH_SOCK");
    sshd = std::make_unique<Sshd>(dir.path / "sshd");
    user_key = dir.path / "id_user";
    sshd->authorize(keygen(user_key));
    sshd->start();
    // ThreadSanitizer starts a helper thread with the process's first thread: have it now.
    std::thread([] {}).join();
    threads_before = thread_count();
    fds_before = fd_count();
  }
  void TearDown() override {
    app.reset();
    if (sshd) sshd->stop();
  }

  void make_app() {
    fs::create_directories(res() / "html");
    write_text(res() / "html" / "index.html", "<html></html>");
    app = std::make_unique<MorvaneApp>(QueueMap{}, EventMap{}, data(), res());
    app->set_window(&page);
    app->connect_delay_sec = 0;
  }

  // A session to the test sshd as root with the authorized key; `extra` keys override.
  Json session(const Json& extra = Json::object()) {
    Json s = {{"name", "t"},
              {"protocol", "ssh"},
              {"host", "127.0.0.1"},
              {"port", sshd->port()},
              {"username", "root"},
              {"private_key", user_key.string()}};
    for (auto it = extra.begin(); it != extra.end(); ++it) s[it.key()] = it.value();
    return s;
  }
  std::string save(const Json& sess) { return app->save_session(sess)["id"].get<std::string>(); }
  std::string open(const Json& sess) {
    if (!app) make_app();
    return app->connect_session(Json(save(sess)))["tab_id"].get<std::string>();
  }

  // Accumulates terminal output until it contains needle.
  std::string read_until(const std::string& tab, const std::string& needle, double seconds = 20) {
    std::string out;
    eventually(
        [&] {
          out += app->drain_terminal(tab);
          return out.find(needle) != std::string::npos;
        },
        seconds);
    return out;
  }
  bool connected(const std::string& tab, double seconds = 20) {
    return page.wait_for("terminalConnected(" + json::quote(tab, true) + ")", seconds);
  }
  // Types a command whose output (not its echo) contains "MARK<n>".
  std::string run_command(const std::string& tab, const std::string& cmd, int n = 42) {
    app->send_input(Json(tab), Json(cmd + "; echo MARK$((" + std::to_string(n - 1) + "+1))\r"));
    return read_until(tab, "MARK" + std::to_string(n) + "\r\n");
  }
  bool alive(const std::string& tab) {
    Json state = app->get_runtime_state();
    for (const auto& t : state["tabs"])
      if (t["id"] == tab) return t["alive"].get<bool>();
    return false;
  }
  // Threads and descriptors the test itself started count as the starting point.
  void rebaseline() {
    threads_before = thread_count();
    fds_before = fd_count();
  }
  // Everything the connection started is gone again (threads and descriptors).
  ::testing::AssertionResult nothing_left(double seconds = 20) {
    if (eventually([&] { return app->live_threads() == 0 && thread_count() <= threads_before && fd_count() <= fds_before; },
                   seconds))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threads " << thread_count() << " (before " << threads_before << "), fds "
                                         << fd_count() << " (before " << fds_before << "), app threads "
                                         << app->live_threads();
  }
};

}  // namespace morvane::sshtest
