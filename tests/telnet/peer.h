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

#include "../common/net_peer.h"

extern char** environ;

namespace morvane::telnet::testing {

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

// The loopback plumbing is shared with the kind tests.
using morvane::testing::Child;
using morvane::testing::Clock;
using morvane::testing::free_port;
using morvane::testing::Listener;
using morvane::testing::Tcp;

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
