// Every TCP kind through the whole program: `morvane --stdio` saves and opens the session,
// the test types, resizes and drains through the stdio host's calls, and the real peer (or
// the SUPDUP server written here from RFC 734) is on the other end. Then the failure
// notices of each kind's start, as the page receives them.
#include <stdio.h>

#include <memory>
#include <sstream>

#include "app_fixture.h"
#include "net_servers.h"
#include "peer.h"
#include "stdio_program.h"
#include "telnet/supdup_protocol.h"
#include "util/json.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;

const std::string kEnded = "─── Connection ended ───";

struct StdioKinds : ::testing::Test {
  TempDir dir;
  std::unique_ptr<StdioProgram> prog;

  void SetUp() override {
    prog = std::make_unique<StdioProgram>(dir.path / "data",
                                          StdioProgram::Options{.env = {}, .err_file = dir.path / "stderr.txt"});
  }
  std::string open(const Json& session) {
    std::string sid = prog->call("save_session", {session})["id"].get<std::string>();
    return prog->call("connect_session", {sid})["tab_id"].get<std::string>();
  }
  // A notice exactly as the page receives it.
  static std::string notice(const std::string& tab, const std::string& text, bool error) {
    return "setTerminalInfo(" + json::quote(tab, true) + ", " + json::quote(text, true) + ", " +
           (error ? "true" : "false") + ")";
  }
  static std::string connected_call(const std::string& tab) { return "terminalConnected(" + json::quote(tab, true) + ")"; }
  bool connected(const std::string& tab) { return prog->page_has(connected_call(tab), 15); }
  // Drains into `all` until needle shows up in it.
  bool drain_until(const std::string& tab, std::string& all, const std::string& needle, double secs = 15) {
    bool ok = StdioProgram::wait_for(
        [&] {
          all += prog->call("drain_terminal", {tab}).get<std::string>();
          return all.find(needle) != std::string::npos;
        },
        secs);
    EXPECT_TRUE(ok) << "missing " << Json(needle).dump() << " in: " << Json(all).dump();
    return ok;
  }
  bool typed(const std::string& tab, const std::string& text) {
    return prog->call("send_input", {tab, text}).get<bool>();
  }
  bool resize(const std::string& tab, int rows, int cols) {
    return prog->call("resize_pty", {tab, rows, cols}).get<bool>();
  }
  Json tab_state(const std::string& tab) {
    const Json state = prog->call("get_runtime_state");
    for (const Json& t : state["tabs"])
      if (t["id"].is_string() && t["id"].get<std::string>() == tab) return t;
    return Json();
  }
  bool alive(const std::string& tab) {
    Json t = tab_state(tab);
    return t.is_object() && t["alive"].get<bool>();
  }
  // The peer went: the end is announced once and the tab stays, no longer alive.
  void expect_ended_once(const std::string& tab) {
    ASSERT_TRUE(prog->page_has(notice(tab, kEnded, false), 15)) << "no end notice";
    EXPECT_TRUE(StdioProgram::wait_for([&] { return !alive(tab); }, 10));
    EXPECT_TRUE(tab_state(tab).is_object())
        << "the tab went with its connection: " << prog->call("get_runtime_state").dump();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(prog->page_count(notice(tab, kEnded, false)), 1u);
    EXPECT_FALSE(typed(tab, "x"));
  }
};

TEST_F(StdioKinds, RawCarriesBytesAsTheyAreAndHasNoSize) {
  MORVANE_REQUIRE_PEER(have_program("/usr/bin/socat"), "socat");
  const int port = free_port();
  auto echo = std::make_unique<Child>(
      std::vector<std::string>{"/usr/bin/socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
                               "PIPE"},
      "/dev/null");
  ASSERT_TRUE(wait_until([&] { return listening(port); }, 10));
  std::string tab = open({{"name", "echo"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", port}});
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(prog->page_count(notice(tab, "Connecting to 127.0.0.1:" + std::to_string(port) + " (Raw)...", false)), 1u);
  EXPECT_TRUE(typed(tab, "ping ✓\r\n"));
  std::string all;
  EXPECT_TRUE(drain_until(tab, all, "\r\n"));
  EXPECT_EQ(all, "ping ✓\r\n");
  EXPECT_FALSE(resize(tab, 30, 100));
  echo.reset();
  expect_ended_once(tab);
  prog->call("close_tab", {tab});
}

TEST_F(StdioKinds, TelnetAgainstTelnetdRunsCommandsResizesAndPasses0xffOnce) {
  MORVANE_REQUIRE_PEER(have_program("/usr/sbin/telnetd"), "inetutils-telnetd");
  MORVANE_REQUIRE_PEER(have_program("/usr/bin/socat"), "socat");
  const int port = free_port();
  Child socat({"/usr/bin/socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
               "EXEC:/usr/sbin/telnetd -h -E /bin/sh"},
              (dir.path / "socat.log").string());
  ASSERT_TRUE(wait_until([&] { return listening(port); }, 10)) << "socat is not listening";
  std::string tab = open({{"name", "td"}, {"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", port},
                          {"terminal_type", "vt220"}, {"line_code_page", "ISO-8859-1"}});
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(prog->page_count(notice(tab, "Connecting to 127.0.0.1:" + std::to_string(port) + " (Telnet)...", false)),
            1u);
  std::string all;
  ASSERT_TRUE(drain_until(tab, all, "# "));
  all.clear();
  EXPECT_TRUE(typed(tab, "echo T=$TERM; stty size\r"));
  EXPECT_TRUE(drain_until(tab, all, "T=vt220\r\n24 80\r\n"));
  EXPECT_TRUE(resize(tab, 30, 100));  // NAWS
  all.clear();
  EXPECT_TRUE(typed(tab, "stty size\r"));
  EXPECT_TRUE(drain_until(tab, all, "\r\n30 100\r\n"));
  // ÿ is one 0xFF byte in Latin-1: doubled on the wire, seen once by the shell.
  all.clear();
  EXPECT_TRUE(typed(tab, "head -c 3 | od -An -tx1\r"));
  EXPECT_TRUE(drain_until(tab, all, "tx1\r\n"));
  EXPECT_TRUE(typed(tab, "a\xc3\xbf" "b\r"));
  EXPECT_TRUE(drain_until(tab, all, "61 ff 62"));
  EXPECT_TRUE(typed(tab, "exit\r"));
  expect_ended_once(tab);
}

TEST_F(StdioKinds, TelnetAgainstSer2netsShell) {
  MORVANE_REQUIRE_PEER(have_program("/usr/sbin/ser2net"), "ser2net");
  Ser2net server(dir.path, "telnet", "pty,/bin/sh -i");
  ASSERT_TRUE(server.ok()) << "ser2net is not listening";
  std::string tab = open({{"name", "sh"}, {"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", server.port}});
  ASSERT_TRUE(connected(tab));
  std::string all;
  EXPECT_TRUE(typed(tab, "echo V=$((6*7))\r"));  // the echoed line holds no "V=42"
  EXPECT_TRUE(drain_until(tab, all, "V=42"));
  EXPECT_TRUE(resize(tab, 30, 100));  // the size is kept; whether it reaches the shell is the server's affair
  all.clear();
  EXPECT_TRUE(typed(tab, "echo W=$((6*8))\r"));
  EXPECT_TRUE(drain_until(tab, all, "W=48"));
  server.stop();
  expect_ended_once(tab);
}

// `stty -F path -a` of the device ser2net holds, as words.
std::vector<std::string> stty_words(const fs::path& device) {
  std::vector<std::string> words;
  FILE* p = ::popen(("stty -F '" + device.string() + "' -a 2>&1").c_str(), "r");
  if (!p) return words;
  std::string text;
  char buf[1024];
  size_t n;
  while ((n = ::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  ::pclose(p);
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w.back() == ';' ? w.substr(0, w.size() - 1) : w);
  return words;
}

bool has_word(const std::vector<std::string>& words, const std::string& w) {
  return std::find(words.begin(), words.end(), w) != words.end();
}

TEST_F(StdioKinds, TelnetSerialSetsTheDeviceBehindSer2netAndCarriesBytesBothWays) {
  MORVANE_REQUIRE_PEER(have_program("/usr/sbin/ser2net"), "ser2net");
  MORVANE_REQUIRE_PEER(have_program("/usr/bin/socat"), "socat");
  PtyPair pair(dir.path);
  ASSERT_TRUE(pair.ok()) << "socat made no PTY pair";
  Ser2net server(dir.path, "telnet(rfc2217)", "serialdev," + pair.a.string() + ",9600n81,local");
  ASSERT_TRUE(server.ok()) << "ser2net is not listening";
  {
    // What the tab asks for is not what the device has before it connects.
    auto before = stty_words(pair.a);
    ASSERT_TRUE(has_word(before, "speed")) << "stty -F fails: " << ::testing::PrintToString(before);
    ASSERT_FALSE(has_word(before, "57600") && has_word(before, "cstopb") && has_word(before, "crtscts"));
  }
  std::string tab = open({{"name", "ts"}, {"protocol", "telnet-serial"}, {"host", "127.0.0.1"},
                          {"port", server.port}, {"serial_baud", "57600"}, {"serial_bits", "8"},
                          {"serial_parity", "E"}, {"serial_stop", "2"}, {"serial_flow", "R"},
                          {"line_code_page", "ISO-8859-1"}});
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(prog->page_count(notice(tab, "Connecting to 127.0.0.1:" + std::to_string(server.port) +
                                              " (Telnet / RFC 2217 @ 57600 bps 8-E-2 flow=R)...", false)), 1u);
  // A PTY keeps the speed, the stop bits and the flow control it is given (not the parity).
  std::vector<std::string> words;
  EXPECT_TRUE(wait_until([&] {
    words = stty_words(pair.a);
    return has_word(words, "57600") && has_word(words, "cstopb") && has_word(words, "crtscts");
  }, 10)) << "stty -F says: " << ::testing::PrintToString(words);

  const int dev = ::open(pair.b.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(dev, 0);
  const std::string from_device = "dev\xff" "ice\r\n";
  ASSERT_EQ(::write(dev, from_device.data(), from_device.size()), static_cast<ssize_t>(from_device.size()));
  std::string all;
  EXPECT_TRUE(drain_until(tab, all, "dev\xc3\xbf" "ice\r\n"));  // 0xFF once, shown as Latin-1 ÿ
  EXPECT_TRUE(typed(tab, "ter\xc3\xbfminal\r"));
  std::string got;
  EXPECT_TRUE(fd_read_until(dev, got, "minal\r", 10));
  EXPECT_EQ(got, "ter\xffminal\r");
  // The server has no window to size; the tab takes the size and carries on.
  EXPECT_TRUE(resize(tab, 30, 100));
  all.clear();
  ASSERT_EQ(::write(dev, "after\r\n", 7), 7);
  EXPECT_TRUE(drain_until(tab, all, "after\r\n"));
  ::close(dev);
  server.stop();
  expect_ended_once(tab);
}

const char* const kRloginPassword = "Rl-stdio-28641";

TEST_F(StdioKinds, RloginLogsIntoRlogindAndSendsWindowSizesOnceAsked) {
  MORVANE_REQUIRE_PEER(have_program("/usr/sbin/in.rlogind"), "rsh-redone-server");
  if (::geteuid() != 0) GTEST_SKIP() << "rlogind needs a reserved source port (root)";
  const std::string user = "mvstd" + std::to_string(::getpid() % 100000);
  TestAccount account(user, kRloginPassword);
  ASSERT_TRUE(account.ok()) << "could not create the test account";
  Listener listener;
  std::string tab = open({{"name", "rl"}, {"protocol", "rlogin"}, {"host", "127.0.0.1"}, {"port", listener.port},
                          {"username", user}, {"rlogin_local_user", "morvane"}, {"terminal_type", "vt100"}});
  const int conn = listener.accept(10000);
  ASSERT_GE(conn, 0) << "the tab did not connect";
  Child server({"/usr/sbin/in.rlogind"}, "", conn);  // inetd-style: the connection is its stdio
  ::close(conn);
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(prog->page_count(notice(tab, "Connecting to 127.0.0.1:" + std::to_string(listener.port) +
                                              " (Rlogin, local account=morvane)...", false)), 1u);
  std::string all;
  ASSERT_TRUE(drain_until(tab, all, "assword"));
  EXPECT_TRUE(resize(tab, 30, 100));  // kept until the server asks for sizes
  EXPECT_TRUE(typed(tab, std::string(kRloginPassword) + "\r"));
  ASSERT_TRUE(drain_until(tab, all, "$ "));
  all.clear();
  EXPECT_TRUE(typed(tab, "echo U=$USER T=$TERM; stty size\r"));
  EXPECT_TRUE(drain_until(tab, all, "T=vt100\r\n30 100"));
  EXPECT_NE(all.find("U=" + user), std::string::npos);
  EXPECT_TRUE(resize(tab, 40, 120));
  all.clear();
  EXPECT_TRUE(typed(tab, "stty size; exit\r"));
  EXPECT_TRUE(drain_until(tab, all, "\r\n40 120"));
  expect_ended_once(tab);
}

TEST_F(StdioKinds, SupdupAgainstAServerFromRfc734) {
  using P = telnet::SupdupProtocol;
  Listener listener;
  std::string tab = open({{"name", "sd"}, {"protocol", "supdup"}, {"host", "127.0.0.1"}, {"port", listener.port},
                          {"supdup_charset", "waits"}, {"supdup_more", true}, {"supdup_scroll", false},
                          {"line_code_page", "cp1252"}});
  const int fd = listener.accept(10000);
  ASSERT_GE(fd, 0) << "the tab did not connect";
  ASSERT_TRUE(connected(tab));
  EXPECT_EQ(prog->page_count(notice(tab, "Connecting to 127.0.0.1:" + std::to_string(listener.port) +
                                              " (SUPDUP, charset=waits, more=on, scroll=off)...", false)), 1u);
  // Every word of the terminal parameters: type, options, height, width - 1, scroll, smarts.
  SupdupStartup s = read_supdup_startup(fd);
  ASSERT_EQ(s.words.size(), 6u);
  EXPECT_EQ(s.words[0], 7u);
  EXPECT_TRUE((s.words[1] & P::TOSAI) && (s.words[1] & P::TOSA1)) << "extra characters not announced";
  EXPECT_TRUE(s.words[1] & P::TOMOR);
  EXPECT_FALSE(s.words[1] & P::TOROL);
  EXPECT_TRUE(s.words[1] & P::TPCBS);
  EXPECT_EQ(s.words[2], 24u);
  EXPECT_EQ(s.words[3], 79u);
  EXPECT_EQ(s.words[4], 1u);
  EXPECT_EQ(s.words[5], 0u);
  EXPECT_EQ(s.location, "Morvane");
  // Greeting to %TDNOP; %TDCLR; WAITS 013 and 0136 (∫ ↑); %TDMV0 to row 1, column 2.
  const std::string output = "SAIL\r\n\210\220ok\013\136\217\001\002y";
  ASSERT_EQ(::send(fd, output.data(), output.size(), MSG_NOSIGNAL), static_cast<ssize_t>(output.size()));
  std::string all;
  // UTF-8 from the protocol, although the tab's code page is cp1252.
  EXPECT_TRUE(drain_until(tab, all, "SAIL\r\n\x1b[H\x1b[2Jok∫↑\x1b[2;3Hy"));
  EXPECT_FALSE(resize(tab, 30, 100));  // SUPDUP has no message for a new size
  // Typing: the escape byte doubled; é is 0xE9 in cp1252, a byte above 0177 sent escaped.
  EXPECT_TRUE(typed(tab, "a\x1c" "é"));
  std::string got;
  EXPECT_TRUE(fd_read_until(fd, got, "a\034\034\034\101\151", 10)) << Json(got).dump();
  ::close(fd);
  expect_ended_once(tab);
}

// A failed start: its notice, then nothing more (no connection, no end notice, not alive).
struct FailedStart {
  const char* protocol;
  Json session;
  std::string connecting;  // the connecting notice
  std::string failure;     // the failure notice, or its start where the system's words vary
};

TEST_F(StdioKinds, EveryKindShowsItsFailureNotices) {
  const int closed = free_port();
  const std::string c = std::to_string(closed);
  struct KindText {
    const char* protocol;
    int default_port;
    std::string tag;   // what the connecting notice says in brackets
    std::string fail;  // the start of the failure notice
  };
  const std::vector<KindText> kinds = {
      {"raw", 23, "Raw", "Connection failed: "},
      {"telnet", 23, "Telnet", "Connection failed: "},
      {"telnet-serial", 23, "Telnet / RFC 2217 @ 9600 bps 8-N-1 flow=N", "Connection failed: "},
      {"rlogin", 513, "Rlogin, local account=someone", "Rlogin connection failed: "},
      {"supdup", 95, "SUPDUP, charset=ascii, more=off, scroll=on", "SUPDUP connection failed: "},
  };
  std::vector<FailedStart> cases;
  for (const auto& k : kinds) {
    const std::string dp = std::to_string(k.default_port);
    Json base = {{"protocol", k.protocol}, {"rlogin_local_user", "someone"}};
    Json refused = base, unknown = base, missing = base;
    refused["host"] = "127.0.0.1";
    refused["port"] = closed;
    unknown["host"] = "no-such-host.invalid";
    cases.push_back({k.protocol, refused, "Connecting to 127.0.0.1:" + c + " (" + k.tag + ")...",
                     k.fail + "connecting to 127.0.0.1:" + c + ": Connection refused"});
    cases.push_back({k.protocol, unknown, "Connecting to no-such-host.invalid:" + dp + " (" + k.tag + ")...",
                     k.fail + "connecting to no-such-host.invalid:" + dp + ": "});
    cases.push_back({k.protocol, missing, "Connecting to :" + dp + " (" + k.tag + ")...",
                     k.fail + "no host name given"});
  }
  std::vector<std::string> tabs;
  for (auto& f : cases) {
    f.session["name"] = f.protocol;
    tabs.push_back(open(f.session));
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& f = cases[i];
    const std::string& tab = tabs[i];
    SCOPED_TRACE(std::string(f.protocol) + " " + f.session.dump());
    // The failure text is matched up to its end where it is ours, up to the system's words otherwise.
    std::string failure = notice(tab, f.failure, true);
    if (f.failure.back() == ' ') failure = failure.substr(0, failure.size() - std::string("\", true)").size());
    EXPECT_TRUE(prog->page_has(failure, 25))
        << "no failure notice " << failure << " in " << ::testing::PrintToString(prog->pages_with(tab));
    EXPECT_EQ(prog->page_count(notice(tab, f.connecting, false)), 1u) << f.connecting;
    EXPECT_TRUE(StdioProgram::wait_for([&] { return !alive(tab); }, 5));
  }
  std::this_thread::sleep_for(200ms);
  for (const auto& tab : tabs) {
    EXPECT_EQ(prog->page_count(connected_call(tab)), 0u) << tab;
    EXPECT_EQ(prog->page_count(notice(tab, kEnded, false)), 0u) << tab;
    EXPECT_FALSE(typed(tab, "x"));
  }
}

// Rlogin servers that accept the connection and then say no: the server's own words are the
// failure notice, and a server that hangs up before its answer is one too.
TEST_F(StdioKinds, RloginServersThatRefuseAfterConnecting) {
  struct Refusal {
    std::string server_sends;
    std::string notice;
  };
  const std::vector<Refusal> refusals = {
      {"\x01Permission denied.\r\n", "Rlogin connection failed: Permission denied."},
      {"", "Rlogin connection failed: the server closed the connection"},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.notice);
    Listener listener;
    std::string tab = open({{"name", "rl"}, {"protocol", "rlogin"}, {"host", "127.0.0.1"}, {"port", listener.port},
                            {"username", "nobody"}});
    const int fd = listener.accept(10000);
    ASSERT_GE(fd, 0);
    std::string hello;
    EXPECT_TRUE(fd_read_until(fd, hello, std::string("/38400\0", 7)));
    if (!r.server_sends.empty()) {
      ASSERT_EQ(::send(fd, r.server_sends.data(), r.server_sends.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(r.server_sends.size()));
    }
    ::close(fd);
    EXPECT_TRUE(prog->page_has(notice(tab, r.notice, true), 15));
    EXPECT_TRUE(StdioProgram::wait_for([&] { return !alive(tab); }, 5));
    EXPECT_EQ(prog->page_count(connected_call(tab)), 0u);
    EXPECT_EQ(prog->page_count(notice(tab, kEnded, false)), 0u);
  }
}

}  // namespace
}  // namespace morvane::testing
