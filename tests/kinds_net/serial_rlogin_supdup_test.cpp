// Telnet serial against ser2net on a socat PTY pair, Rlogin against in.rlogind started
// inetd-style, SUPDUP against a server written here from RFC 734, all through the
// application.
#include <stdlib.h>

#include "kinds_fixture.h"
#include "net_servers.h"
#include "telnet/supdup_protocol.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(NetKindTest, TelnetSerialSetsTheRemotePortAndCarriesBytesBothWays) {
  MORVANE_REQUIRE_PEER(have_program("/usr/sbin/ser2net"), "ser2net");
  MORVANE_REQUIRE_PEER(have_program("/usr/bin/socat"), "socat");
  PtyPair pair(dir.path);
  ASSERT_TRUE(pair.ok()) << "socat made no PTY pair";
  const fs::path& a = pair.a;
  const fs::path& b = pair.b;
  Ser2net ser2net(dir.path, "telnet(rfc2217)", "serialdev," + a.string() + ",9600n81,local");
  ASSERT_TRUE(ser2net.ok()) << "ser2net is not listening";
  const int port = ser2net.port;
  std::string tab = open({{"name", "ts"}, {"protocol", "telnet-serial"}, {"host", "127.0.0.1"}, {"port", port},
                          {"serial_baud", "19200"}, {"serial_bits", 8}, {"serial_parity", "O"},
                          {"serial_stop", "2"}, {"serial_flow", "R"}, {"line_code_page", "ISO-8859-1"}});
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(page.count(info(tab, "Connecting to 127.0.0.1:" + std::to_string(port) +
                                     " (Telnet / RFC 2217 @ 19200 bps 8-O-2 flow=R)...", false)), 1u);
  // The device ser2net holds really changes (a PTY keeps speed, stop bits and flow).
  termios t{};
  EXPECT_TRUE(eventually([&] {
    int fa = ::open(a.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fa < 0) return false;
    bool ok = ::tcgetattr(fa, &t) == 0 && ::cfgetospeed(&t) == B19200 && (t.c_cflag & CSTOPB) &&
              (t.c_cflag & CRTSCTS);
    ::close(fa);
    return ok;
  })) << "speed " << ::cfgetospeed(&t) << " cflag " << std::oct << t.c_cflag;

  int fd = ::open(b.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios raw{};
  ::tcgetattr(fd, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(fd, TCSANOW, &raw);
  const std::string from_device = "dev\xff" "ice\r\n";
  ASSERT_EQ(::write(fd, from_device.data(), from_device.size()), static_cast<ssize_t>(from_device.size()));
  std::string all;
  EXPECT_TRUE(expect_output(tab, all, "dev\xc3\xbf" "ice\r\n"));  // 0xFF once, as Latin-1 ÿ
  EXPECT_TRUE(app->send_input(tab, "ter\xc3\xbfminal\r"));
  std::string got;
  EXPECT_TRUE(fd_read_until(fd, got, "minal\r", 10));
  EXPECT_EQ(got, "ter\xffminal\r");
  EXPECT_TRUE(app->resize_pty(tab, 30, 100));
  ::close(fd);
  app->close_tab(tab);
  EXPECT_TRUE(app->wait_threads(5));
}

const char* const kPassword = "Rl-kind-60413";

TEST_F(NetKindTest, RloginLogsInFromAReservedPortAndSendsWindowSizesOnceAsked) {
  MORVANE_REQUIRE_PEER(have_program("/usr/sbin/in.rlogind"), "rsh-redone-server");
  if (::geteuid() != 0) GTEST_SKIP() << "rlogind needs a reserved source port (root)";
  const std::string user = "mvkind" + std::to_string(::getpid() % 100000);
  TestAccount account(user, kPassword);
  ASSERT_TRUE(account.ok()) << "could not create the test account";
  Listener listener;
  std::string tab = open({{"name", "rl"}, {"protocol", "rlogin"}, {"host", "127.0.0.1"}, {"port", listener.port},
                          {"username", user}, {"rlogin_local_user", "morvane"}});
  const int conn = listener.accept(10000);
  ASSERT_GE(conn, 0) << "the tab did not connect";
  Child server({"/usr/sbin/in.rlogind"}, "", conn);  // inetd-style: the connection is its stdio
  ::close(conn);
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(page.count(info(tab, "Connecting to 127.0.0.1:" + std::to_string(listener.port) +
                                     " (Rlogin, local account=morvane)...", false)), 1u);
  std::string all;
  ASSERT_TRUE(expect_output(tab, all, "assword"));
  EXPECT_TRUE(app->resize_pty(tab, 30, 100));  // kept until the server asks
  EXPECT_TRUE(app->send_input(tab, std::string(kPassword) + "\r"));
  ASSERT_TRUE(expect_output(tab, all, "$ "));
  all.clear();
  EXPECT_TRUE(app->send_input(tab, "echo U=$USER T=$TERM; stty size\r"));
  EXPECT_TRUE(expect_output(tab, all, "T=xterm\r\n30 100"));
  EXPECT_NE(all.find("U=" + user), std::string::npos);
  EXPECT_TRUE(app->resize_pty(tab, 40, 120));
  all.clear();
  EXPECT_TRUE(app->send_input(tab, "stty size; exit\r"));
  EXPECT_TRUE(expect_output(tab, all, "40 120"));
  expect_ended_once(tab);
}

TEST_F(NetKindTest, RloginSendsItsHandshakeAndShowsTheServersRefusal) {
  Listener listener;
  ::setenv("USERNAME", "envuser", 1);
  std::string tab = open({{"name", "rl"}, {"protocol", "rlogin"}, {"host", "127.0.0.1"}, {"port", listener.port},
                          {"terminal_type", "vt100"}, {"term_speed", "9600,9600"}});
  const int fd = listener.accept(10000);
  ::unsetenv("USERNAME");
  ASSERT_GE(fd, 0);
  std::string hello;
  EXPECT_TRUE(fd_read_until(fd, hello, std::string("vt100/9600\0", 11)));
  EXPECT_EQ(hello, std::string("\0envuser\0envuser\0vt100/9600\0", 28));
  fd_write(fd, "\x01Permission denied.\r\n");
  ::close(fd);
  ASSERT_TRUE(page.wait_for(info(tab, "Rlogin connection failed: Permission denied.", true)));
  EXPECT_TRUE(eventually([&] { return !alive(tab); }));
  EXPECT_EQ(page.count("terminalConnected(\"" + tab + "\")"), 0u);
  EXPECT_EQ(page.count("Connection ended"), 0u);
}

TEST_F(NetKindTest, SupdupSendsItsTerminalParametersDecodesUtf8AndSizesOnlyLocally) {
  using P = telnet::SupdupProtocol;
  Listener listener;
  std::string tab = open({{"name", "sd"}, {"protocol", "supdup"}, {"host", "127.0.0.1"}, {"port", listener.port},
                          {"supdup_charset", "ITS"}, {"supdup_location", "Lab 7"}, {"line_code_page", "cp1252"}});
  const int fd = listener.accept(10000);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(page.count(info(tab, "Connecting to 127.0.0.1:" + std::to_string(listener.port) +
                                     " (SUPDUP, charset=its, more=off, scroll=on)...", false)), 1u);
  SupdupStartup s = read_supdup_startup(fd);
  ASSERT_EQ(s.words.size(), 6u);
  EXPECT_EQ(s.words[0], 7u);  // TCTYP: SUPDUP
  EXPECT_TRUE((s.words[1] & P::TOSAI) && (s.words[1] & P::TOSA1)) << "ITS characters not announced";
  EXPECT_FALSE(s.words[1] & P::TOMOR);
  EXPECT_TRUE(s.words[1] & P::TOROL);
  EXPECT_TRUE(s.words[1] & P::TPCBS);
  EXPECT_EQ(s.words[2], 24u);  // TCMXV
  EXPECT_EQ(s.words[3], 79u);  // TCMXH: width - 1
  EXPECT_EQ(s.words[4], 1u);
  EXPECT_EQ(s.words[5], 0u);
  EXPECT_EQ(s.location, "Lab 7");
  // Greeting to %TDNOP, then %TDCLR, text with ITS 0177 (∫), and a cursor move.
  fd_write(fd, "ITS 1645\r\n\210\220hi\177\217\002\003x");
  std::string all;
  EXPECT_TRUE(expect_output(tab, all, "ITS 1645\r\n\x1b[H\x1b[2Jhi\xe2\x88\xab\x1b[3;4Hx"));
  EXPECT_FALSE(app->resize_pty(tab, 30, 100));  // taken, but SUPDUP cannot tell the server
  EXPECT_TRUE(app->send_input(tab, "a\x1c"));    // 034 is the escape byte: doubled
  std::string typed;
  EXPECT_TRUE(fd_read_until(fd, typed, "a\x1c\x1c", 5)) << Json(typed).dump();
  ::close(fd);
  expect_ended_once(tab);
}

}  // namespace
}  // namespace morvane::testing
