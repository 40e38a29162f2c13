// Port forwarding through OpenSSH's sshd: local and remote rules carrying data both ways,
// end-of-stream handling, rules that cannot be set up, and the forwarders' lifetime.
#include <random>

#include "ssh_app_fixture.h"

namespace morvane::sshtest {
namespace {

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

// Sends payload on fd while reading the same amount back (both directions at once, so
// the test never depends on buffer sizes).
std::string round_trip(int fd, const std::string& payload) {
  std::thread writer([&] { send_all(fd, payload); });
  std::string back = recv_n(fd, payload.size());
  writer.join();
  return back;
}

int hold_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, 1);
  return fd;
}

int port_of(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

TEST_F(SshTabTest, LocalForwardCarriesDataBothWays) {
  TcpServer echo(TcpServer::echo);
  int lport = free_port();
  // Lower-case type and blanks around every field are accepted.
  Json rule = {{"type", "l"}, {"spec", " " + std::to_string(lport) + " : 127.0.0.1 : " + std::to_string(echo.port()) + " "}};
  std::string tab = open(session({{"port_forwards", {rule}}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  EXPECT_EQ(page.count("Failed to set forwarding rule"), 0u) << page.dump();

  std::string payload = random_bytes(2 << 20, 1);
  int a = connect_to(lport, 20), b = connect_to(lport, 20);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  // Two tunnels at once, each a round trip through sshd and the echo server.
  std::string back_b;
  std::thread other([&] { back_b = round_trip(b, payload.substr(0, 300000)); });
  EXPECT_TRUE(round_trip(a, payload) == payload);
  other.join();
  EXPECT_TRUE(back_b == payload.substr(0, 300000));
  ::close(a);
  ::close(b);
  // Typing still works while tunnels run.
  run_command(tab, "true");
}

TEST_F(SshTabTest, RemoteForwardCarriesDataBothWays) {
  TcpServer echo(TcpServer::echo);
  int rport = free_port();
  Json rule = {{"type", "R"}, {"spec", std::to_string(rport) + ":127.0.0.1:" + std::to_string(echo.port())}};
  std::string tab = open(session({{"port_forwards", {rule}}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  ASSERT_TRUE(eventually([&] { return port_open(rport); }));

  std::string payload = random_bytes(2 << 20, 2);
  int a = connect_to(rport, 20);
  ASSERT_GE(a, 0);
  EXPECT_TRUE(round_trip(a, payload) == payload);
  ::close(a);
  // While one tunnel waits on a slow local peer, the shell keeps flowing.
  int slow = connect_to(rport, 20);
  send_all(slow, "hello");
  EXPECT_EQ(recv_n(slow, 5), "hello");
  std::string out = run_command(tab, "seq 1 20000 | tail -1");
  EXPECT_NE(out.find("20000\r\n"), std::string::npos);
  ::close(slow);
}

TEST_F(SshTabTest, HalfClosedClientStillGetsTheAnswer) {
  // The server answers only after the client has finished sending.
  TcpServer counter([](int fd) {
    std::string got = recv_all(fd);
    std::string reply = "got " + std::to_string(got.size());
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
  });
  int lport = free_port();
  Json rule = {{"type", "L"}, {"spec", std::to_string(lport) + ":127.0.0.1:" + std::to_string(counter.port())}};
  std::string tab = open(session({{"port_forwards", {rule}}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  int c = connect_to(lport, 20);
  ASSERT_GE(c, 0);
  send_all(c, std::string(100000, 'x'));
  ::shutdown(c, SHUT_WR);
  EXPECT_EQ(recv_all(c), "got 100000");
  ::close(c);
}

TEST_F(SshTabTest, RuleWhosePortIsTakenShowsANoticeAndTheShellStillOpens) {
  int held = hold_port();
  int lport = port_of(held);
  TcpServer echo(TcpServer::echo);
  std::string spec = std::to_string(lport) + ":127.0.0.1:" + std::to_string(echo.port());
  int ok_port = free_port();
  std::string ok_spec = std::to_string(ok_port) + ":127.0.0.1:" + std::to_string(echo.port());
  std::string tab = open(session({{"port_forwards", {{{"type", "L"}, {"spec", spec}}, {{"type", "L"}, {"spec", ok_spec}}}}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  EXPECT_EQ(page.count(info(tab, "Failed to set forwarding rule L" + spec + ": [Errno 98] Address already in use", false)),
            1u)
      << page.dump();
  // The other rule and the shell work.
  int c = connect_to(ok_port, 20);
  ASSERT_GE(c, 0);
  EXPECT_EQ(round_trip(c, "ping"), "ping");
  ::close(c);
  run_command(tab, "true");
  ::close(held);
}

TEST_F(SshTabTest, RemoteForwardTheServerRefusesShowsANotice) {
  sshd->stop();
  SshdOptions o;
  o.extra = {"PermitListen 1"};  // any other port is refused
  sshd->start(o);
  std::string spec = std::to_string(free_port()) + ":127.0.0.1:80";
  std::string tab = open(session({{"port_forwards", {{{"type", "r"}, {"spec", spec}}}}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  EXPECT_EQ(page.count("setTerminalInfo(" + json::quote(tab, true) + ", \"Failed to set forwarding rule R" + spec +
                       ": TCP forwarding request denied"),
            1u)
      << page.dump();
  run_command(tab, "true");
}

TEST_F(SshTabTest, MalformedRulesAreIgnoredOrReported) {
  Json rules = {{{"type", "L"}, {"spec", "1:2"}},         {{"type", "L"}, {"spec", "1:a:2:3"}},
                {{"type", "X"}, {"spec", "1:a:2"}},       {{"type", "L"}},
                {{"spec", "1:a:2"}},                      "not a record",
                {{"type", "L"}, {"spec", "abc:host:80"}}, {{"type", "R"}, {"spec", "80:host:http"}}};
  std::string tab = open(session({{"port_forwards", rules}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  EXPECT_EQ(page.count("Failed to set forwarding rule"), 2u) << page.dump();
  EXPECT_EQ(page.count(info(tab,
                            "Failed to set forwarding rule Labc:host:80: invalid literal for int() with base 10: 'abc'",
                            false)),
            1u)
      << page.dump();
  EXPECT_EQ(page.count(info(tab,
                            "Failed to set forwarding rule R80:host:http: invalid literal for int() with base 10: 'http'",
                            false)),
            1u);
}

TEST_F(SshTabTest, LocalForwardersStopListeningWhenTheConnectionEnds) {
  TcpServer echo(TcpServer::echo);
  rebaseline();
  int lport = free_port();
  Json rule = {{"type", "L"}, {"spec", std::to_string(lport) + ":127.0.0.1:" + std::to_string(echo.port())}};
  std::string tab = open(session({{"port_forwards", {rule}}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  int c = connect_to(lport, 20);
  ASSERT_GE(c, 0);
  EXPECT_EQ(round_trip(c, "abc"), "abc");
  sshd->stop();  // the server goes away with a tunnel open
  ASSERT_TRUE(page.wait_for("Connection ended"));
  EXPECT_EQ(recv_all(c), "");  // the tunnel's client is closed too
  ::close(c);
  EXPECT_TRUE(eventually([&] { return !port_open(lport); }));
  app->close_tab(Json(tab));
  EXPECT_TRUE(nothing_left());
}

TEST_F(SshTabTest, UnreachableTargetsCloseOnlyTheirTunnel) {
  int dead = free_port();  // nothing listens there
  int lport = free_port(), rport = free_port();
  std::string tab = open(session(
      {{"port_forwards",
        {{{"type", "L"}, {"spec", std::to_string(lport) + ":127.0.0.1:" + std::to_string(dead)}},
         {{"type", "R"}, {"spec", std::to_string(rport) + ":127.0.0.1:" + std::to_string(dead)}}}}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  int a = connect_to(lport, 20);
  ASSERT_GE(a, 0);
  EXPECT_EQ(recv_all(a), "");  // the server could not reach the target: closed
  ::close(a);
  ASSERT_TRUE(eventually([&] { return port_open(rport); }));
  int b = connect_to(rport, 20);
  ASSERT_GE(b, 0);
  EXPECT_EQ(recv_all(b), "");  // nothing listens here either: the channel is closed
  ::close(b);
  run_command(tab, "true");
  EXPECT_TRUE(alive(tab)) << page.dump();
}

}  // namespace
}  // namespace morvane::sshtest
