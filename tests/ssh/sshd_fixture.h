#pragma once
// Real peers for the SSH tests: OpenSSH's sshd on a free loopback port with its own
// configuration, host keys and authorized keys; ssh-agent; small TCP servers; and
// process helpers. Shared by tests/ssh and bench/ssh.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include "../common/temp_dir.h"
#include "platform/atomic_file.h"

extern char** environ;

namespace morvane::sshtest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string read_text(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// A /proc file of a process that may exit while it is read: the stream iterator of read_text
// throws when the read fails with ESRCH; the program's read_file does not, and a process
// already gone (the open fails) reads as empty here.
inline std::string read_proc_file(const fs::path& p) {
  try {
    return morvane::read_file(p);
  } catch (const std::runtime_error&) {
    return {};
  }
}

inline void write_text(const fs::path& p, const std::string& s, mode_t mode = 0600) {
  {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << s;
  }
  ::chmod(p.c_str(), mode);
}

using morvane::testing::TempDir;

template <class F>
bool eventually(F pred, double seconds = 10) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return pred();
}

// Spawns argv with stdout and stderr sent to a file (or /dev/null); returns the pid.
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& log_file = "/dev/null",
                   const std::vector<std::string>& extra_env = {}) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  std::vector<std::string> env_store;
  for (char** e = environ; e && *e; ++e) env_store.push_back(*e);
  for (const auto& kv : extra_env) env_store.push_back(kv);
  std::vector<char*> envp, args;
  for (auto& s : env_store) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& a : argv_copy) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0], &fa, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

// Runs a command to its end; returns its exit code.
inline int run(const std::vector<std::string>& argv, const std::string& log_file = "/dev/null",
               const std::vector<std::string>& extra_env = {}) {
  pid_t pid = spawn(argv, log_file, extra_env);
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Every descendant of pid (sshd's per-connection processes leave its process group).
inline std::vector<pid_t> descendants(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> all;  // pid, ppid
  if (DIR* d = ::opendir("/proc")) {
    while (dirent* e = ::readdir(d)) {
      pid_t pid = std::atoi(e->d_name);
      if (pid <= 0) continue;
      std::string stat = read_proc_file(fs::path("/proc") / e->d_name / "stat");
      size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      int ppid = 0;
      char state;
      if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2) all.push_back({pid, ppid});
    }
    ::closedir(d);
  }
  std::vector<pid_t> out;
  std::set<pid_t> seen = {root};
  bool grew = true;
  while (grew) {
    grew = false;
    for (auto [pid, ppid] : all)
      if (seen.count(ppid) && !seen.count(pid)) {
        seen.insert(pid);
        out.push_back(pid);
        grew = true;
      }
  }
  return out;
}

inline void kill_tree(pid_t pid, int sig = SIGKILL) {
  if (pid <= 0) return;
  for (pid_t c : descendants(pid)) ::kill(c, sig);
  ::kill(pid, sig);
}

inline int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

inline int connect_to(int port, double timeout_sec = 5) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  // Reads and writes on the socket give up after the time limit, so no test hangs on a peer.
  timeval tv{static_cast<time_t>(timeout_sec), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

inline bool port_open(int port) {
  int fd = connect_to(port);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

inline void send_all(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    done += static_cast<size_t>(n);
  }
}

// Reads until n bytes, end of stream or the socket's receive time-out.
inline std::string recv_n(int fd, size_t n) {
  std::string out;
  char buf[65536];
  while (out.size() < n) {
    ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

inline std::string recv_all(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

inline std::string keygen(const fs::path& file, const std::string& type = "ed25519") {
  std::vector<std::string> argv = {"ssh-keygen", "-q", "-t", type, "-N", "", "-f", file.string()};
  if (type == "rsa") argv.insert(argv.begin() + 4, {"-b", "2048"});
  if (run(argv) != 0) throw std::runtime_error("ssh-keygen failed for " + file.string());
  return read_text(file.string() + ".pub");
}

struct SshdOptions {
  std::string log_level = "INFO";
  std::vector<std::string> extra;  // more configuration lines
  bool rsa_host_key = false;
};

// OpenSSH's sshd as root on 127.0.0.1, accepting the keys added with authorize().
class Sshd {
 public:
  explicit Sshd(const fs::path& dir) : dir_(dir) {
    fs::create_directories(dir_);
    host_pub_ = keygen(dir_ / "host_ed25519");
    write_text(dir_ / "authorized_keys", "");
    // The account's own profile (whatever the machine's root runs at login) stays out of
    // the tests: every session gets a plain bash.
    write_text(dir_ / "session-shell",
               "#!/bin/sh\n"
               "if [ -n \"$SSH_ORIGINAL_COMMAND\" ]; then exec /bin/bash --noprofile --norc -c \"$SSH_ORIGINAL_COMMAND\"; fi\n"
               "exec /bin/bash --noprofile --norc -i\n",
               0755);
  }
  ~Sshd() { stop(); }

  static bool available() { return ::access("/usr/sbin/sshd", X_OK) == 0; }

  void authorize(const std::string& pub_line) {
    std::ofstream f(dir_ / "authorized_keys", std::ios::app);
    f << pub_line << (pub_line.empty() || pub_line.back() != '\n' ? "\n" : "");
  }
  // A fresh host key: the next start shows the server with a changed identity.
  void new_host_key() {
    fs::remove(dir_ / "host_ed25519");
    fs::remove(dir_ / "host_ed25519.pub");
    host_pub_ = keygen(dir_ / "host_ed25519");
  }

  void start(const SshdOptions& o = {}, int port = 0) {
    fs::create_directories("/run/sshd");
    if (o.rsa_host_key && !fs::exists(dir_ / "host_rsa")) keygen(dir_ / "host_rsa", "rsa");
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = port ? port : free_port();
      std::string cfg = "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) + "\n";
      if (o.rsa_host_key) cfg += "HostKey " + (dir_ / "host_rsa").string() + "\n";
      cfg += "HostKey " + (dir_ / "host_ed25519").string() + "\n";
      cfg += "PidFile " + (dir_ / "sshd.pid").string() + "\n";
      cfg += "AuthorizedKeysFile " + (dir_ / "authorized_keys").string() + "\n";
      cfg +=
          "UsePAM no\nStrictModes no\nPermitRootLogin yes\nPasswordAuthentication no\n"
          "KbdInteractiveAuthentication no\nPrintMotd no\nPrintLastLog no\nAllowTcpForwarding yes\n"
          "X11Forwarding no\nMaxStartups 200\nMaxSessions 50\nUseDNS no\n";
      // SHLVL=2 keeps Debian's bash from reading ~/.bashrc for commands run over SSH.
      cfg += "ForceCommand " + (dir_ / "session-shell").string() + "\nSetEnv SHLVL=2\n";
      cfg += "LogLevel " + o.log_level + "\n";
      for (const auto& l : o.extra) cfg += l + "\n";
      write_text(dir_ / "sshd_config", cfg);
      pid_ = spawn({"/usr/sbin/sshd", "-D", "-e", "-f", (dir_ / "sshd_config").string()}, log_path().string());
      bool up = eventually(
          [&] {
            int st;
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
              pid_ = -1;
              return true;
            }
            return port_open(port_);
          },
          10);
      if (up && pid_ > 0) return;
      stop();
      if (port) break;
    }
    throw std::runtime_error("sshd did not start: " + log());
  }

  // Kills sshd and every session it serves, at once.
  void stop() {
    if (pid_ <= 0) return;
    kill_tree(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
    pid_ = -1;
  }

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const fs::path& dir() const { return dir_; }
  fs::path log_path() const { return dir_ / "sshd.log"; }
  std::string log() const { return read_text(log_path()); }
  const std::string& host_pub() const { return host_pub_; }

 private:
  fs::path dir_;
  std::string host_pub_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// OpenSSH's ssh-agent in debug mode (it logs each request) on its own socket.
class Agent {
 public:
  explicit Agent(const fs::path& dir) : sock_(dir / "agent.sock"), log_(dir / "agent.log") {
    pid_ = spawn({"ssh-agent", "-d", "-a", sock_.string()}, log_.string());
    if (!eventually([&] { return fs::exists(sock_); }, 10)) throw std::runtime_error("ssh-agent did not start");
  }
  ~Agent() {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  void add(const fs::path& key) {
    if (run({"ssh-add", key.string()}, "/dev/null", {"SSH_AUTH_SOCK=" + sock_.string()}) != 0)
      throw std::runtime_error("ssh-add failed");
  }
  const fs::path& socket() const { return sock_; }
  std::string log() const { return read_text(log_); }

 private:
  fs::path sock_, log_;
  pid_t pid_ = -1;
};

// A TCP server on 127.0.0.1 with one thread per connection running a handler.
class TcpServer {
 public:
  using Handler = std::function<void(int fd)>;
  explicit TcpServer(Handler h, int port = 0) : handler_(std::move(h)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 64) != 0)
      throw std::runtime_error("TcpServer bind failed");
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    accept_thread_ = std::thread([this] {
      for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, 100);
        if (stop_) return;
        if (r <= 0) continue;
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        accepted_++;
        std::lock_guard<std::mutex> lock(mu_);
        workers_.emplace_back([this, c] {
          handler_(c);
          ::close(c);
        });
      }
    });
  }
  ~TcpServer() {
    stop_ = true;
    accept_thread_.join();
    ::close(fd_);
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& t : workers_) t.join();
  }
  int port() const { return port_; }
  int accepted() const { return accepted_.load(); }

  // Echoes everything back until the peer ends its side.
  static void echo(int fd) {
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      if (::send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
    }
  }

 private:
  Handler handler_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread accept_thread_;
  std::mutex mu_;
  std::vector<std::thread> workers_;
};

inline size_t count_entries(const char* dir) {
  size_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}
inline size_t thread_count() { return count_entries("/proc/self/task"); }
// Open descriptors, less the one opendir() itself holds while counting.
inline size_t fd_count() { return count_entries("/proc/self/fd") - 1; }

}  // namespace morvane::sshtest
