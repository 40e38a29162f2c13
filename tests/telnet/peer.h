// Test-only plumbing for the protocol cores: real peers started on free loopback ports,
// a tiny blocking TCP driver with deadlines, and byte-session recordings that the
// replay tests feed back through the protocol classes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace morvane::telnet::testing {

using Clock = std::chrono::steady_clock;

inline bool in_ci() { return std::getenv("CI") != nullptr; }
inline bool have_program(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// A missing peer program skips the test, or fails it under CI.
#define REQUIRE_PEER(path)                                                         \
  do {                                                                             \
    if (!::morvane::telnet::testing::have_program(path)) {                         \
      if (::morvane::telnet::testing::in_ci()) FAIL() << "peer missing: " << path; \
      GTEST_SKIP() << "peer missing: " << path;                                    \
    }                                                                              \
  } while (0)

inline int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind failed");
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A listening loopback socket on a free port, for peers started inetd-style.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4) != 0)
      throw std::runtime_error("cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd_); }
  // The next connection, or -1 past the deadline. The caller owns the descriptor.
  int accept(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }
  int port = 0;

 private:
  int fd_ = -1;
};

// A peer process in its own process group, ended with the group (socat forks children).
class Child {
 public:
  // stdio_fd >= 0: the child gets that descriptor as standard input, output and error,
  // as inetd hands a server its connection.
  Child(const std::vector<std::string>& args, const std::string& log, int stdio_fd = -1) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (auto& s : copy) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (stdio_fd >= 0) {
      for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_adddup2(&fa, stdio_fd, fd);
    } else {
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      posix_spawn_file_actions_adddup2(&fa, 1, 2);
    }
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&at, 0);
    int rc = posix_spawn(&pid_, argv[0], &fa, &at, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  }
  ~Child() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

 private:
  pid_t pid_ = -1;
};

// Blocking loopback TCP client with deadlines; urgent bytes are read apart (MSG_OOB).
class Tcp {
 public:
  // Retries until the peer listens or the deadline passes. reserved_port: bind a source
  // port below 1024 first (needs root), as rlogind insists.
  Tcp(int port, std::chrono::milliseconds limit, bool reserved_port = false) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
      if (reserved_port) bind_reserved();
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<std::uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return;
      ::close(fd_);
      fd_ = -1;
      if (Clock::now() > deadline) throw std::runtime_error("no listener on port " + std::to_string(port));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~Tcp() {
    if (fd_ >= 0) ::close(fd_);
  }
  void write(const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
      ssize_t n = ::send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      done += static_cast<std::size_t>(n);
    }
  }
  // Waits up to ms for bytes; urgent bytes go to *urgent. Empty on time-out; sets eof.
  std::string read(int ms, std::string* urgent = nullptr) {
    pollfd p{fd_, POLLIN | POLLPRI, 0};
    if (::poll(&p, 1, ms) <= 0) return {};
    char buf[65536];
    if ((p.revents & POLLPRI) && urgent) {
      ssize_t n = ::recv(fd_, buf, 1, MSG_OOB);
      if (n == 1) *urgent += buf[0];
    }
    ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) eof = true;
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
  bool eof = false;

 private:
  void bind_reserved() {
    for (int port = 1023; port >= 600; --port) {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<std::uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return;
    }
  }
  int fd_ = -1;
};

// A byte session: what happened, in order. Tags: B start, S from server, U urgent byte,
// I user input, R resize ("rows cols"), T tick (ms), C bytes the protocol sent, D
// terminal data it produced.
struct Step {
  char tag;
  std::string bytes;
};

inline std::string hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) h += d[c >> 4], h += d[c & 15];
  return h;
}

inline std::string unhex(const std::string& h) {
  std::string s;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return s;
}

inline void save_session(const std::vector<Step>& steps, const std::string& path) {
  std::ofstream f(path);
  for (const auto& s : steps) f << s.tag << ' ' << hex(s.bytes) << '\n';
}

inline std::vector<Step> load_session(const std::string& path) {
  std::ifstream f(path);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::vector<Step> steps;
  std::string line;
  while (std::getline(f, line)) {
    if (line.size() < 2) continue;
    steps.push_back({line[0], unhex(line.substr(2))});
  }
  return steps;
}

// Where live tests write their recordings when asked (MORVANE_RECORD_DIR).
inline const char* record_dir() { return std::getenv("MORVANE_RECORD_DIR"); }

// Drives one protocol object over a Tcp and records the session. Proto must offer
// receive / take_output / take_data; other actions come in through act().
template <class Proto>
class Driver {
 public:
  Driver(Proto& p, Tcp& tcp) : p_(p), tcp_(tcp) {}
  std::vector<Step> steps;
  std::string screen;  // everything the terminal would have shown

  void flush() {
    std::string o = p_.take_output();
    if (!o.empty()) {
      steps.push_back({'C', o});
      tcp_.write(o);
    }
    std::string d = p_.take_data();
    if (!d.empty()) {
      steps.push_back({'D', d});
      screen += d;
    }
  }
  template <class F>
  void act(char tag, const std::string& bytes, F&& f) {
    steps.push_back({tag, bytes});
    f();
    flush();
  }
  // Reads until the screen (from `from` on) contains needle; false past the deadline.
  template <class OnUrgent>
  bool wait_for(const std::string& needle, std::size_t from, int seconds, OnUrgent&& on_urgent) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      if (screen.find(needle, std::min(from, screen.size())) != std::string::npos) return true;
      std::string urgent;
      std::string s = tcp_.read(100, &urgent);
      for (char u : urgent) act('U', std::string(1, u), [&] { on_urgent(static_cast<std::uint8_t>(u)); });
      if (!s.empty()) act('S', s, [&] { p_.receive(s); });
      if (tcp_.eof) break;
    }
    return screen.find(needle, std::min(from, screen.size())) != std::string::npos;
  }
  bool wait_for(const std::string& needle, std::size_t from, int seconds) {
    return wait_for(needle, from, seconds, [](std::uint8_t) {});
  }

 private:
  Proto& p_;
  Tcp& tcp_;
};

}  // namespace morvane::telnet::testing
