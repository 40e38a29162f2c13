// The Rlogin core against rsh-redone's in.rlogind, started per connection (inetd-style)
// on a free port, with a throw-away account of the test's own (created and removed by the test;
// no existing account is touched). The remote user, terminal type and window size must
// arrive. The live run is recorded and replayed.
#include <gtest/gtest.h>

#include "../common/net_servers.h"
#include "peer.h"
#include "replay.h"
#include "telnet/rlogin_protocol.h"

namespace morvane::telnet {
namespace {

using namespace testing;

const char* const kPassword = "Rl-test-73519";

RloginOptions rlogin_options(const std::string& user) {
  Json s = {{"protocol", "rlogin"}, {"host", "127.0.0.1"}, {"username", user}, {"rlogin_local_user", "morvane"}};
  return RloginOptions::from_session(s, nullptr);
}

void apply(RloginProtocol& p, const Step& s) {
  switch (s.tag) {
    case 'B': p.start(0); break;
    case 'S': p.receive(s.bytes); break;
    case 'U': p.urgent(static_cast<std::uint8_t>(s.bytes[0])); break;
    case 'I': p.send(s.bytes); break;
    case 'R': {
      auto [r, c] = parse_size(s.bytes);
      p.resize(r, c);
      break;
    }
    default: break;
  }
}

using morvane::testing::TestAccount;

TEST(RlogindLive, handshake_user_terminal_and_window_size_arrive) {
  REQUIRE_PEER("/usr/sbin/in.rlogind");
  if (::geteuid() != 0) GTEST_SKIP() << "rlogind needs a reserved source port (root)";
  const std::string user = "morvanerl" + std::to_string(::getpid() % 100000);
  TestAccount account(user, kPassword);
  ASSERT_TRUE(account.ok()) << "could not create the test account";
  // inetd-style: the connection is accepted here and handed to the server as its stdio.
  Listener listener;
  Tcp tcp(listener.port, std::chrono::seconds(10), /*reserved_port=*/true);
  const int conn = listener.accept(10000);
  ASSERT_GE(conn, 0) << "connection not accepted";
  Child server({"/usr/sbin/in.rlogind"}, "", conn);
  ::close(conn);
  RloginProtocol p(rlogin_options(user));
  Driver<RloginProtocol> d(p, tcp);
  auto step = [&](char tag, const std::string& bytes) { d.act(tag, bytes, [&] { apply(p, {tag, bytes}); }); };
  auto urgent = [&](std::uint8_t u) { p.urgent(u); };

  step('B', "");
  ASSERT_TRUE(d.wait_for("assword", 0, 10, urgent))
      << "no password prompt: " << d.screen;
  EXPECT_EQ(p.state(), RloginProtocol::State::Ready);
  step('R', "30 100");  // before the server asks: kept, not sent
  step('I', std::string(kPassword) + "\r");
  ASSERT_TRUE(d.wait_for("$ ", 0, 15, urgent)) << d.screen;
  EXPECT_TRUE(p.window_requested());
  std::size_t mark = d.screen.size();
  step('I', "echo U=$USER T=$TERM; stty size\r");
  EXPECT_TRUE(d.wait_for("T=xterm\r\n30 100", mark, 10, urgent)) << d.screen.substr(mark);
  EXPECT_NE(d.screen.find("U=" + user), std::string::npos);
  mark = d.screen.size();
  step('R', "40 120");
  step('I', "stty size; exit\r");
  EXPECT_TRUE(d.wait_for("40 120", mark, 10, urgent)) << d.screen.substr(mark);
  d.wait_for("never", mark, 3, urgent);
  if (record_dir()) save_session(d.steps, std::string(record_dir()) + "/rlogind_session.txt");
}

TEST(RlogindReplay, recorded_session_sends_the_same_bytes) {
  auto steps = load_session(data_path("rlogind_session.txt"));
  // The recording was made with an account name of its own: take it from the handshake.
  const std::string& hello = steps.at(1).bytes;
  const std::string user = hello.substr(9, hello.find('\0', 9) - 9);
  RloginProtocol p(rlogin_options(user));
  std::string screen = replay(p, steps, [&](const Step& s) { apply(p, s); });
  EXPECT_NE(screen.find("30 100"), std::string::npos);
  EXPECT_NE(screen.find("40 120"), std::string::npos);
  EXPECT_TRUE(p.window_requested());
}

}  // namespace
}  // namespace morvane::telnet
