#pragma once
// Peers on the loopback interface for the network tests: free ports, a listener that hands
// connections to servers inetd-style, peer processes ended with their process group, and a
// blocking TCP client with deadlines (urgent bytes read apart).
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
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace morvane::testing {

using Clock = std::chrono::steady_clock;

inline bool have_program(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// Polls cond every 20 ms until it holds (true) or `seconds` pass (false).
template <class Cond>
bool wait_until(Cond&& cond, double seconds) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (cond()) return true;
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Whether something listens on 127.0.0.1:port (the kernel's own table, no helper program):
// peers started in the background are waited for before a tab connects to them.
inline bool listening(int port) {
  std::ifstream tcp("/proc/net/tcp");
  char want[16];
  std::snprintf(want, sizeof want, "0100007F:%04X", port);
  std::string line;
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == want && state == "0A") return true;
  }
  return false;
}

// Reads from a descriptor until needle arrives (true) or the deadline passes.
inline bool fd_read_until(int fd, std::string& got, const std::string& needle, double seconds = 10) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (got.find(needle) == std::string::npos && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got.find(needle) != std::string::npos;
}

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

}  // namespace morvane::testing
