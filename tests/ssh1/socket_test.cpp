// Over a real loopback socket: the client against the test server, and the test server
// against PuTTY's plink in SSH-1 mode, which proves the server's reading of the protocol
// before the client is trusted to it. Every wait has a deadline.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "harness.h"
#include "loopback_server.h"
#include "platform/process.h"

using namespace ssh1test;
using Kind = Event::Kind;
namespace fs = std::filesystem;

namespace {

struct Outcome {
  std::string out, error, timeout;
  uint32_t exit_code = 999;
  State state = State::Version;
};

// A small terminal session through a real socket: type a line, resize, exit.
Outcome run_client(int port, ClientConfig cc, int64_t budget_ms = 10000) {
  Outcome r;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    r.error = "connect failed";
    ::close(fd);
    return r;
  }
  int64_t deadline = now_ms() + budget_ms;
  Client c(std::move(cc), now_ms());
  bool typed = false, resized = false;
  char buf[4096];
  while (!c.finished()) {
    if (now_ms() > deadline) {
      r.timeout = "client session not finished within the deadline";
      break;
    }
    std::string o = c.take_output();
    if (!o.empty()) ::send(fd, o.data(), o.size(), MSG_NOSIGNAL);
    for (auto& e : c.take_events()) {
      if (e.kind == Kind::Stdout) r.out += e.data;
      if (e.kind == Kind::ExitStatus) r.exit_code = e.code;
      if (e.kind == Kind::Connected) {
        c.send("hello over tcp\r");
        typed = true;
      }
    }
    if (typed && !resized && r.out.find("hello over tcp\r\n") != std::string::npos) {
      c.resize(33, 99);
      c.send("exit 5\r");
      resized = true;
    }
    std::string more = c.take_output();
    if (!more.empty()) ::send(fd, more.data(), more.size(), MSG_NOSIGNAL);
    pollfd q{fd, POLLIN, 0};
    if (poll(&q, 1, 20) > 0) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0)
        c.eof(now_ms());
      else
        c.receive(std::string_view(buf, static_cast<size_t>(n)), now_ms());
    }
    c.tick(now_ms());
  }
  for (auto& e : c.take_events())
    if (e.kind == Kind::ExitStatus) r.exit_code = e.code;
  std::string last = c.take_output();
  if (!last.empty()) ::send(fd, last.data(), last.size(), MSG_NOSIGNAL);
  r.error = c.error();
  r.state = c.state();
  ::close(fd);
  return r;
}

bool have_program(const std::string& name) {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"})
    if (fs::exists(fs::path(dir) / name)) return true;
  return false;
}

}  // namespace

TEST(Ssh1Loopback, client_runs_a_session_over_tcp_with_each_cipher) {
  for (int cipher : {morvane::ssh1::kCipher3Des, morvane::ssh1::kCipherBlowfish}) {
    ServerOptions so;
    so.cipher_mask = 1u << cipher;
    LoopbackServer ls(so);
    Outcome r = run_client(ls.port(), default_config());
    ls.join();
    EXPECT_EQ(r.timeout, "");
    EXPECT_EQ(ls.failure, "");
    EXPECT_EQ(r.state, State::Closed) << r.error;
    EXPECT_EQ(r.exit_code, 5u);
    EXPECT_NE(r.out.find("hello over tcp\r\n"), std::string::npos);
    const Seen& seen = ls.server().seen();
    EXPECT_EQ(seen.cipher, cipher);
    ASSERT_EQ(seen.window_sizes.size(), 1u);
    EXPECT_EQ(seen.window_sizes[0], std::make_pair(33u, 99u));
    EXPECT_TRUE(seen.exit_confirmed);
    EXPECT_EQ(ls.server().error(), "");
  }
}

TEST(Ssh1Loopback, silent_server_times_out_on_the_clock) {
  ServerOptions so;
  so.silent = true;
  LoopbackServer ls(so, 3000);
  ClientConfig cc = default_config();
  cc.timeout_ms = 300;
  int64_t start = now_ms();
  Outcome r = run_client(ls.port(), cc, 5000);
  EXPECT_EQ(r.state, State::Failed);
  EXPECT_NE(r.error.find("timed out"), std::string::npos) << r.error;
  EXPECT_LT(now_ms() - start, 3000);
}

// PuTTY's plink speaking SSH-1 to the test server: the server must read a real client, log
// it in and run its commands in a real shell.
TEST(Ssh1Plink, test_server_serves_plink_with_each_cipher) {
  if (!have_program("plink")) {
    if (std::getenv("CI")) FAIL() << "plink (putty-tools) is missing";
    GTEST_SKIP() << "plink (putty-tools) not installed";
  }
  const char* old_home = std::getenv("HOME");
  std::string saved_home = old_home ? old_home : "";
  for (const char* cipher : {"3des", "blowfish"}) {
    ServerOptions so;
    so.cipher_mask = 1u << (std::string(cipher) == "3des" ? 3 : 6);
    so.real_shell = true;
    LoopbackServer ls(so);
    // A private PuTTY home: the host key cached, a saved session with the cipher order.
    fs::path home = fs::temp_directory_path() / ("ssh1-plink-" + std::to_string(getpid()) + "-" + cipher);
    fs::remove_all(home);
    fs::create_directories(home / ".putty" / "sessions");
    std::ofstream(home / ".putty" / "sshhostkeys")
        << "rsa@" << ls.port() << ":127.0.0.1 " << ls.server().host_key_putty_cache() << "\n";
    std::ofstream(home / ".putty" / "sessions" / "ssh1test")
        << "Protocol=ssh\nSshProt=0\nCipher=" << cipher << ",WARN,aes,chacha20,aesgcm,3des,des,blowfish,arcfour\n";
    setenv("HOME", home.c_str(), 1);
    morvane::ProcessOptions po;
    // Commands for /bin/sh whose output is not in what was typed, so the terminal's echo
    // cannot pass for it.
    po.input = "echo \"sum=$((6*7))\"\necho \"T=$TERM\"; stty size\nexit 3\n";
    po.timeout_sec = 20;
    auto res = morvane::run_process({"plink", "-load", "ssh1test", "-1", "-batch", "-t", "-P",
                                     std::to_string(ls.port()), "-l", "tester", "-pw", "s3cret pass", "127.0.0.1"},
                                    po);
    ls.join();
    fs::remove_all(home);
    if (old_home)
      setenv("HOME", saved_home.c_str(), 1);
    else
      unsetenv("HOME");
    EXPECT_FALSE(res.timed_out) << cipher;
    EXPECT_EQ(ls.failure, "") << cipher;
    EXPECT_EQ(ls.server().error(), "") << cipher << "; plink said: " << res.err;
    const Seen& seen = ls.server().seen();
    EXPECT_EQ(seen.client_version.rfind("SSH-1.5-PuTTY", 0), 0u) << seen.client_version;
    EXPECT_EQ(seen.cipher, so.cipher_mask == 8u ? 3 : 6) << "plink said: " << res.err;
    EXPECT_EQ(seen.user, "tester");
    EXPECT_EQ(seen.password_field.substr(0, seen.password_field.find('\0')), "s3cret pass");
    EXPECT_FALSE(seen.term.empty());
    EXPECT_GT(seen.tty_modes.size(), 1u);  // plink sends real modes, the server parsed them
    EXPECT_GT(seen.ignores, 0);            // and hides the password length with IGNOREs
    EXPECT_TRUE(seen.shell);
    EXPECT_EQ(res.exit_code, 3) << cipher << "; plink said: " << res.err;
    EXPECT_NE(res.out.find("sum=42\r\n"), std::string::npos) << res.out;
    EXPECT_NE(res.out.find("T=" + seen.term + "\r\n"), std::string::npos) << res.out;
    // The shell's terminal has the size plink asked for.
    EXPECT_NE(res.out.find("\r\n" + std::to_string(seen.rows) + " " + std::to_string(seen.cols) + "\r\n"),
              std::string::npos)
        << seen.rows << "x" << seen.cols << ": " << res.out;
    EXPECT_TRUE(seen.exit_confirmed);
  }
}
