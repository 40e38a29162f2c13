#pragma once
// `morvane --stdio` as a test talks to it: one JSON line per call, answers matched by id, page
// calls collected as they come. Standard error goes to a file when one is named.
#include <atomic>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "util/json.h"

extern char** environ;

namespace morvane::testing {

class StdioProgram {
 public:
  struct Options {
    std::vector<std::string> env;   // NAME=VALUE added to this process's environment
    std::filesystem::path err_file;  // empty: standard error is inherited
  };

  StdioProgram(const std::filesystem::path& data_dir, const Options& opt = {}) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (!opt.err_file.empty())
      posix_spawn_file_actions_addopen(&fa, 2, opt.err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> env_store;
    for (char** e = environ; e && *e; ++e) env_store.push_back(*e);
    for (const auto& kv : opt.env) env_store.push_back(kv);
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
    if (rc != 0) {
      ::close(in[1]);
      ::close(out[0]);
      throw std::runtime_error("cannot start morvane");
    }
    to_ = in[1];
    from_ = out[0];
    reader_ = std::thread([this] { read_lines(); });
  }

  // End of input quits the program; it gets 20 s to end in order.
  ~StdioProgram() {
    if (to_ >= 0) ::close(to_);
    int st;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::waitpid(pid_, &st, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    reader_.join();
    ::close(from_);
  }

  // The result of a call; a failed call or no answer within 60 s throws.
  Json call(const std::string& op, const std::vector<Json>& args = {}) {
    int id = ++next_id_;
    Json req = {{"id", id}, {"op", op}, {"args", Json::array()}};
    for (const auto& a : args) req["args"].push_back(a);
    std::string line = json::dump_line(req, false) + "\n";
    if (::write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) throw std::runtime_error("write");
    std::unique_lock<std::mutex> lock(mu_);
    Json found;
    cv_.wait_for(lock, std::chrono::seconds(60), [&] {
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

  size_t page_count(const std::string& needle) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (auto& p : pages_) n += p.find(needle) != std::string::npos;
    return n;
  }

  // The page calls that contain needle, for failure messages.
  std::vector<std::string> pages_with(const std::string& needle) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (auto& p : pages_)
      if (p.find(needle) != std::string::npos) out.push_back(p);
    return out;
  }

  bool page_has(const std::string& needle, double seconds = 20) {
    return wait_for([&] { return page_count(needle) > 0; }, seconds);
  }

  // The tab's output drained until it holds `needle` (or the time is up).
  std::string read_until(const std::string& tab, const std::string& needle, double seconds = 20) {
    std::string out;
    wait_for(
        [&] {
          out += call("drain_terminal", {tab}).get<std::string>();
          return out.find(needle) != std::string::npos;
        },
        seconds);
    return out;
  }

  static bool wait_for(const std::function<bool()>& cond, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      if (cond()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

 private:
  void read_lines() {
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
  }

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> pages_;
  std::vector<Json> answers_;
  bool ended_ = false;
  std::atomic<int> next_id_{0};  // calls may come from several threads
};

}  // namespace morvane::testing
