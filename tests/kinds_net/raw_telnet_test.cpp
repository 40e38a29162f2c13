// Raw and Telnet tabs through the application: a socat echo, inetutils' telnetd behind
// socat, scripted servers for the edges (negotiation and data in one chunk, IAC split over
// chunks, the last bytes before the peer closes), refusals, and close() waking a blocked read.
#include "kinds_fixture.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(NetKindTest, RawEchoesBothWaysHasNoSizeAndEndsWhenThePeerGoes) {
  MORVANE_REQUIRE_PEER(have_program("/usr/bin/socat"), "socat");
  const int port = free_port();
  auto echo = std::make_unique<Child>(
      std::vector<std::string>{"/usr/bin/socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
                               "PIPE"},
      "/dev/null");
  // socat needs a moment to listen; a refused first try would fail the tab, so wait for it.
  ASSERT_TRUE(eventually([&] { return listening(port); })) << "socat is not listening";
  std::string tab = open({{"name", "echo"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", port}});
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(page.count(info(tab, "Connecting to 127.0.0.1:" + std::to_string(port) + " (Raw)...", false)), 1u);
  // No escaping of any kind: a 0xFF byte (ÿ in Latin-1 would be C3 BF in UTF-8) goes and
  // comes back as it is.
  EXPECT_TRUE(app->send_input(tab, "plain \xc3\xbf and \x1b[1m\r\n"));
  std::string all;
  EXPECT_TRUE(expect_output(tab, all, "plain \xc3\xbf and \x1b[1m\r\n"));
  EXPECT_FALSE(app->resize_pty(tab, 30, 100));
  echo.reset();
  expect_ended_once(tab);
  EXPECT_FALSE(app->send_input(tab, "x"));
}

TEST_F(NetKindTest, RefusedConnectionsShowTheirNoticeAndDefaultsFillTheConnectingNotice) {
  const int closed_port = free_port();
  std::string raw = open({{"name", "r"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", closed_port}});
  const std::string refused = "Connection failed: connecting to 127.0.0.1:" + std::to_string(closed_port) +
                              ": Connection refused";
  ASSERT_TRUE(page.wait_for(info(raw, refused, true)));
  EXPECT_TRUE(eventually([&] { return !alive(raw); }));
  EXPECT_FALSE(connected(raw, 0.2));
  EXPECT_FALSE(app->send_input(raw, "x"));

  // No serial keys at all (bits not even a number): 9600 bps, 8-N-1, no flow.
  std::string ts = open({{"name", "ts"}, {"protocol", "telnet-serial"}, {"host", "127.0.0.1"},
                         {"port", closed_port}, {"serial_bits", "eight"}, {"telnet_env", "ignored"}});
  ASSERT_TRUE(page.wait_for(info(ts, "Connection failed: connecting to 127.0.0.1:" + std::to_string(closed_port) +
                                         ": Connection refused", true)));
  EXPECT_EQ(page.count(info(ts, "Connecting to 127.0.0.1:" + std::to_string(closed_port) +
                                    " (Telnet / RFC 2217 @ 9600 bps 8-N-1 flow=N)...", false)), 1u);

  // A port that is not a number is the kind's default port.
  std::string tn = open({{"name", "tn"}, {"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", "abc"}});
  ASSERT_TRUE(page.wait_for(info(tn, "Connecting to 127.0.0.1:23 (Telnet)...", false)));
  std::string rw = open({{"name", "rw"}, {"protocol", "raw"}, {"host", "127.0.0.1"}});
  ASSERT_TRUE(page.wait_for(info(rw, "Connecting to 127.0.0.1:23 (Raw)...", false)));
  // Whatever listens on 23 here, both tabs settle: connected or failed, never stuck.
  EXPECT_TRUE(eventually([&] { return page.count(tn) >= 2 && page.count(rw) >= 2; }, 20));
}

// A listener whose queue is full drops the handshake: the connect gives up at its 15 s limit.
TEST_F(NetKindTest, AConnectThatHangsGivesUpAtItsTimeLimit) {
  int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(lfd, 0), 0);
  socklen_t len = sizeof a;
  ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    int f = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(f);
  }
  std::this_thread::sleep_for(200ms);
  // A tab closed while its connect hangs lets go at once.
  std::string other = open({{"name", "slow2"}, {"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", port}});
  ASSERT_TRUE(page.wait_for(info(other, "Connecting to 127.0.0.1:" + std::to_string(port) + " (Telnet)...", false)));
  std::this_thread::sleep_for(300ms);
  const auto t1 = Clock::now();
  app->close_tab(other);
  EXPECT_TRUE(app->wait_threads(5));
  EXPECT_LT(Clock::now() - t1, 1s);
  EXPECT_EQ(page.count("Connection failed"), 0u);
  const auto t0 = Clock::now();
  std::string tab = open({{"name", "slow"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", port}});
  const std::string notice = info(tab, "Connection failed: connecting to 127.0.0.1:" + std::to_string(port) +
                                           ": timed out", true);
  ASSERT_TRUE(page.wait_for(notice, 25)) << "no time-out notice";
  const auto took = Clock::now() - t0;
  EXPECT_GT(took, 14s);
  EXPECT_LT(took, 18s);
  EXPECT_TRUE(eventually([&] { return !alive(tab); }));
  for (int f : fillers) ::close(f);
  ::close(lfd);
}

// A scripted server: the negotiation and the data are what the test sends, byte for byte.
TEST_F(NetKindTest, TelnetKeepsDataThatComesWithNegotiationAcrossChunksAndBeforeTheEnd) {
  Listener server;
  std::string tab = open({{"name", "t"}, {"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", server.port},
                          {"passive_telnet", true}});
  const int fd = server.accept(10000);
  ASSERT_GE(fd, 0) << "the tab did not connect";
  ASSERT_TRUE(connected(tab));
  // WILL ECHO and WILL SGA in the same chunk as text, a doubled IAC in the text.
  fd_write(fd, "\xff\xfb\x01\xff\xfb\x03hello \xff\xff!\r\n");
  std::string all;
  EXPECT_TRUE(expect_output(tab, all, "hello \xef\xbf\xbd!\r\n"));  // 0xFF is no UTF-8: U+FFFD
  std::string answers;
  EXPECT_TRUE(fd_read_until(fd, answers, "\xff\xfd\x03"));
  EXPECT_NE(answers.find("\xff\xfd\x01"), std::string::npos) << "DO ECHO missing";
  // An IAC at the end of one chunk, its command in the next: nothing shows of either.
  fd_write(fd, "abc\xff");
  std::this_thread::sleep_for(50ms);
  fd_write(fd, "\xf1" "def\r\n");  // IAC NOP
  all.clear();
  EXPECT_TRUE(expect_output(tab, all, "abcdef\r\n"));
  // Typing: IAC doubled, CR alone followed by NUL.
  EXPECT_TRUE(app->send_input(tab, "\xc3\xbf"));  // ÿ: C3 BF in UTF-8, no 0xFF
  ASSERT_TRUE(app->set_tab_encoding(tab, "iso-8859-1"));
  EXPECT_TRUE(app->send_input(tab, "\xc3\xbf\r"));  // now ÿ is 0xFF on the wire
  std::string typed;
  EXPECT_TRUE(fd_read_until(fd, typed, "\xff\xff\r", 5));
  EXPECT_NE(typed.find("\xc3\xbf\xff\xff\r"), std::string::npos) << Json(typed).dump();
  // The last words before the server hangs up are shown, then the end.
  fd_write(fd, "\xff\xfd\x18" "bye\r\n");
  ::close(fd);
  all.clear();
  EXPECT_TRUE(expect_output(tab, all, "bye\r\n"));
  expect_ended_once(tab);
}

// Every kind's read wakes at once when the tab closes, connected or still starting.
TEST_F(NetKindTest, ClosingATabWakesItsBlockedReadAtOnce) {
  for (const char* proto : {"raw", "telnet", "telnet-serial", "supdup", "rlogin"}) {
    SCOPED_TRACE(proto);
    Listener server;  // accepts and then says nothing at all
    std::string tab = open({{"name", proto}, {"protocol", proto}, {"host", "127.0.0.1"}, {"port", server.port}});
    const int fd = server.accept(10000);
    ASSERT_GE(fd, 0);
    // Rlogin waits for the server's acknowledgement inside its start; the others are up.
    if (std::string(proto) != "rlogin") {
      ASSERT_TRUE(connected(tab));
    }
    std::this_thread::sleep_for(100ms);
    const auto t0 = Clock::now();
    app->close_tab(tab);
    EXPECT_TRUE(app->wait_threads(5));
    EXPECT_LT(Clock::now() - t0, 1s);
    // The descriptor went too: the server reads the end of the stream.
    std::string rest;
    fd_read_until(fd, rest, "never", 2);
    pollfd p{fd, POLLIN, 0};
    char c;
    EXPECT_TRUE(::poll(&p, 1, 0) == 1 && ::recv(fd, &c, 1, MSG_DONTWAIT) == 0);
    ::close(fd);
  }
}

TEST_F(NetKindTest, TelnetAgainstTelnetdRunsCommandsFollowsResizesAndPasses0xffOnce) {
  MORVANE_REQUIRE_PEER(have_program("/usr/sbin/telnetd"), "inetutils-telnetd");
  MORVANE_REQUIRE_PEER(have_program("/usr/bin/socat"), "socat");
  const int port = free_port();
  Child socat({"/usr/bin/socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
               "EXEC:/usr/sbin/telnetd -h -E /bin/sh"},
              "/dev/null");
  ASSERT_TRUE(eventually([&] { return listening(port); })) << "socat is not listening";
  std::string tab = open({{"name", "td"}, {"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", port},
                          {"terminal_type", "vt220"}, {"line_code_page", "ISO-8859-1"}});
  ASSERT_TRUE(connected(tab));
  std::string all;
  ASSERT_TRUE(expect_output(tab, all, "# "));
  all.clear();
  EXPECT_TRUE(app->send_input(tab, "echo T=$TERM; stty size\r"));
  EXPECT_TRUE(expect_output(tab, all, "T=vt220\r\n24 80"));
  EXPECT_TRUE(app->resize_pty(tab, 30, 100));
  all.clear();
  EXPECT_TRUE(app->send_input(tab, "stty size\r"));
  EXPECT_TRUE(expect_output(tab, all, "30 100\r\n"));  // the prompt may come after the echo
  EXPECT_TRUE(app->resize_pty(tab, 1, 5));  // clamped to 2 x 20
  all.clear();
  EXPECT_TRUE(app->send_input(tab, "stty size\r"));
  EXPECT_TRUE(expect_output(tab, all, "2 20\r\n"));
  // The tab speaks Latin-1: ÿ is one 0xFF byte, doubled on the wire, seen once by the shell.
  all.clear();
  EXPECT_TRUE(app->send_input(tab, "head -c 3 | od -An -tx1\r"));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(app->send_input(tab, "a\xc3\xbf" "b\r"));
  EXPECT_TRUE(expect_output(tab, all, "61 ff 62"));
  EXPECT_TRUE(app->send_input(tab, "exit\r"));
  expect_ended_once(tab);
}

}  // namespace
}  // namespace morvane::testing
