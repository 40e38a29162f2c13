// A socat PTY pair on link paths in a fresh temporary folder: the two ends of
// a null-modem cable, for tests and benchmarks.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace morvane::serial::testing {

class SocatPair {
 public:
  static bool available() { return std::system("command -v socat >/dev/null 2>&1") == 0; }

  SocatPair() {
    char tmpl[] = "/tmp/morvane-serial-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    a = dir + "/ttyA";
    b = dir + "/ttyB";
    std::vector<std::string> args = {"socat", "-d", "-d", "-b", "65536",
                                     "PTY,link=" + a + ",raw,echo=0", "PTY,link=" + b + ",raw,echo=0"};
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = dir + "/socat.log";
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int rc = posix_spawnp(&pid, "socat", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start socat");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(std::filesystem::exists(a) && std::filesystem::exists(b))) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("socat made no PTY pair");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~SocatPair() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  // Ends socat, which hangs both ends up.
  void stop() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
  }

  std::string dir, a, b;
  pid_t pid = -1;
};

// A raw, non-blocking descriptor on a PTY end: the far side of the cable.
inline int open_raw(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct termios t;
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// Writes everything, waiting for room; false past the deadline.
inline bool write_all(int fd, const std::string& data, std::chrono::seconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() > deadline) return false;
    struct pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 100);
  }
  return true;
}

// Reads until `count` bytes arrived or the deadline passed.
inline std::string read_count(int fd, std::size_t count, std::chrono::seconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string out;
  char buf[65536];
  while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
    struct pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) out.append(buf, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
  }
  return out;
}

}  // namespace morvane::serial::testing
