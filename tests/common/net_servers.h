#pragma once
// Real servers for the TCP kinds' tests, shared by the protocol tests, the application tests
// and the whole-program tests: a throw-away login account for rlogind, a socat PTY pair with
// ser2net in front of it, and the server half of the SUPDUP start-up (RFC 734).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "net_peer.h"
#include "telnet/supdup_protocol.h"

namespace morvane::testing {

// A login account that exists for the life of the test (no existing account is touched).
class TestAccount {
 public:
  TestAccount(std::string name, std::string password) : name_(std::move(name)) {
    std::system(("userdel -r " + name_ + " >/dev/null 2>&1").c_str());
    ok_ = std::system(("useradd -m -s /bin/sh " + name_ + " >/dev/null 2>&1 && echo '" + name_ + ":" + password +
                       "' | chpasswd")
                          .c_str()) == 0;
  }
  ~TestAccount() { std::system(("userdel -r " + name_ + " >/dev/null 2>&1").c_str()); }
  TestAccount(const TestAccount&) = delete;
  TestAccount& operator=(const TestAccount&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string name_;
  bool ok_ = false;
};

// Two linked PTYs from socat, `a` and `b` in dir: what is written to one is read from the other.
class PtyPair {
 public:
  explicit PtyPair(const std::filesystem::path& dir) : a(dir / "ttyA"), b(dir / "ttyB") {
    socat_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/socat", "PTY,link=" + a.string() + ",raw,echo=0",
                                 "PTY,link=" + b.string() + ",raw,echo=0"},
        (dir / "socat.log").string());
    ok_ = wait_until([&] { return std::filesystem::exists(a) && std::filesystem::exists(b); }, 10);
  }
  bool ok() const { return ok_; }
  const std::filesystem::path a, b;

 private:
  std::unique_ptr<Child> socat_;
  bool ok_ = false;
};

// ser2net on 127.0.0.1 with one connection: accepter "telnet(rfc2217)" or "telnet", and a
// connector such as "serialdev,/path,9600n81,local" or "pty,/bin/sh -i".
class Ser2net {
 public:
  Ser2net(const std::filesystem::path& dir, const std::string& accepter, const std::string& connector)
      : port(free_port()) {
    {
      std::ofstream conf(dir / "ser2net.yaml");
      conf << "connection: &c1\n  accepter: " << accepter << ",tcp,127.0.0.1," << port
           << "\n  connector: " << connector << "\n";
    }
    server_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/ser2net", "-n", "-d", "-c", (dir / "ser2net.yaml").string(), "-P",
                                 (dir / "ser2net.pid").string()},
        (dir / "ser2net.log").string());
    ok_ = wait_until([&] { return listening(port); }, 10);
  }
  bool ok() const { return ok_; }
  // Ends the server, and with it every connection it holds.
  void stop() { server_.reset(); }
  const int port;

 private:
  std::unique_ptr<Child> server_;
  bool ok_ = false;
};

// The server half of the SUPDUP start-up, from RFC 734: the count word, the words it counts,
// then 0300 0302, the location and a NUL.
struct SupdupStartup {
  std::vector<std::uint64_t> words;
  std::string location;
};

inline SupdupStartup read_supdup_startup(int fd) {
  SupdupStartup s;
  std::string in;
  EXPECT_TRUE(fd_read_until(fd, in, std::string("\300\302", 2), 10));
  // Then the NUL that ends the location (words may hold zero bytes, so look past 0300 0302).
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (in.find('\0', in.find("\300\302")) == std::string::npos && Clock::now() < until) {
    std::string more;
    fd_read_until(fd, more, "\x01never", 0.1);
    in += more;
  }
  for (char c : in.substr(0, in.find("\300\302"))) EXPECT_LT(static_cast<std::uint8_t>(c), 0100) << "not 6-bit";
  const std::uint64_t count = telnet::SupdupProtocol::read_word(in.substr(0, 6));
  EXPECT_EQ(count & 0777777, 0u);
  const std::uint64_t n = (std::uint64_t{1} << 18) - (count >> 18);
  for (std::uint64_t i = 0; i < n && 6 + 6 * (i + 1) <= in.size(); ++i)
    s.words.push_back(telnet::SupdupProtocol::read_word(in.substr(6 + 6 * i, 6)));
  const size_t loc = in.find("\300\302") + 2;
  EXPECT_EQ(loc, 6 + 6 * n + 2) << "location not right after the words";
  s.location = in.substr(loc, in.find('\0', loc) - loc);
  return s;
}

}  // namespace morvane::testing
