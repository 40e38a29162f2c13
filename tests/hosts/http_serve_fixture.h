#pragma once
// Runs `morvane --serve` as a child process with a temporary data directory and talks to it
// over HTTP, as a browser or a script would.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "util/json.h"

extern char** environ;

namespace morvane::testing {

namespace fs = std::filesystem;

struct ServeProcess {
  pid_t pid = -1;
  int out_fd = -1;
  std::string url, token, output;
  int port = 0;
  int exit_code = -1;

  // Starts the program and waits for the address line; false when none came.
  bool start(const fs::path& data_dir, std::vector<std::string> extra = {}) {
    if (out_fd >= 0) close(out_fd);
    out_fd = -1;
    output.clear();
    exit_code = -1;
    std::vector<std::string> args = {MORVANE_BIN, "--serve", "--data-dir", data_dir.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    posix_spawn_file_actions_addclose(&fa, fds[1]);
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    out_fd = fds[0];
    if (rc != 0) return false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
      auto pos = output.find("http://127.0.0.1:");
      if (pos != std::string::npos && output.find('\n', pos) != std::string::npos) {
        url = output.substr(pos, output.find('\n', pos) - pos);
        port = std::stoi(url.substr(17));
        token = url.substr(url.find("token=") + 6);
        return true;
      }
      if (!read_some(200)) {
        if (exited()) return false;
      }
    }
    return false;
  }

  // Reads what the program printed so far; false when nothing came within ms.
  bool read_some(int ms) {
    pollfd p{out_fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char buf[4096];
    ssize_t n = read(out_fd, buf, sizeof buf);
    if (n <= 0) return false;
    output.append(buf, static_cast<size_t>(n));
    return true;
  }

  bool exited() {
    int st = 0;
    if (pid <= 0) return true;
    if (waitpid(pid, &st, WNOHANG) != pid) return false;
    pid = -1;
    exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return true;
  }

  // Sends sig and waits; the exit code, or -1 when it did not end in time.
  int stop(int sig = SIGTERM, double seconds = 20) {
    if (pid <= 0) return exit_code;
    kill(pid, sig);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      if (exited()) return exit_code;
      read_some(20);
    }
    return -1;
  }

  ~ServeProcess() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out_fd >= 0) close(out_fd);
  }
};

struct ServeFixture : ::testing::Test {
  fs::path dir;
  ServeProcess proc;

  void SetUp() override {
    char tmpl[] = "/tmp/morvane-http-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  void TearDown() override {
    if (proc.pid > 0) {
      EXPECT_EQ(proc.stop(), 0) << proc.output;
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  void start(std::vector<std::string> extra = {}) { ASSERT_TRUE(proc.start(dir / "data", extra)) << proc.output; }

  httplib::Client client(const std::string& host_header = "") {
    httplib::Client c("127.0.0.1", proc.port);
    c.set_read_timeout(30, 0);
    if (!host_header.empty()) c.set_default_headers({{"Host", host_header}});
    return c;
  }
  std::string path(const std::string& p) const { return p + "?token=" + proc.token; }

  // POST /bridge; the whole answer record.
  Json bridge(const std::string& op, Json args = Json::array()) {
    Json msg = Json::object();
    msg["op"] = op;
    msg["args"] = std::move(args);
    auto c = client();
    auto r = c.Post(path("/bridge").c_str(), msg.dump(), "application/json");
    if (!r) return Json();
    EXPECT_EQ(r->status, 200) << r->body;
    return json::parse(r->body);
  }
  Json result(const std::string& op, Json args = Json::array()) {
    Json r = bridge(op, std::move(args));
    EXPECT_TRUE(r.is_object() && r.value("ok", false)) << r.dump();
    return r.is_object() && r.contains("result") ? r["result"] : Json();
  }

  // A local shell session running `command`, connected; the tab id.
  std::string open_shell(const std::string& command) {
    Json sess = Json::object();
    sess["name"] = "probe";
    sess["protocol"] = "conpty";
    sess["conpty_shell"] = "custom";
    sess["conpty_custom_command"] = command;
    std::string sid = result("save_session", Json::array({sess}))["id"].get<std::string>();
    Json r = result("connect_session", Json::array({sid}));
    return r["tab_id"].get<std::string>();
  }

  // Drains a tab until text appears; everything drained so far.
  std::string drain_until(const std::string& tab, const std::string& text, double seconds = 15) {
    std::string seen;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      Json r = result("drain_terminal", Json::array({tab}));
      if (r.is_string()) seen += r.get<std::string>();
      if (seen.find(text) != std::string::npos) return seen;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return seen;
  }
};

}  // namespace morvane::testing
