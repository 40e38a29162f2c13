// SSH-1 tabs through the application: the start routine's notices, a shell carried over each
// cipher, typing, resizing, the end of the connection, every failure's notice, forced
// workarounds, and closing at each stage; against the test server over loopback TCP.
#include "app_fixture.h"
#include "kinds/ssh1/ssh1_kind.h"
#include "loopback_server.h"
#include "platform/net.h"

namespace morvane::testing {
namespace {

using ssh1test::LoopbackServer;
using ssh1test::ServerOptions;

const char* const kEnded = "─── Connection ended ───";

struct Ssh1TabTest : AppFixture {
  void SetUp() override {
    make_app();
    app->connect_delay_sec = 0.0;
  }
  kinds::Ssh1Kind& kind() { return *app->kinds.get<kinds::Ssh1Kind>("ssh1"); }

  static Json session(int port, Json extra = Json::object()) {
    Json s = {{"name", "old gear"},       {"protocol", "ssh"},   {"ssh_version", "1"}, {"host", "127.0.0.1"},
              {"port", port},             {"username", "tester"}, {"password", "s3cret pass"}};
    for (auto it = extra.begin(); it != extra.end(); ++it) {
      if (it.value().is_null()) s.erase(it.key());
      else s[it.key()] = it.value();
    }
    return s;
  }
  std::string open(const Json& sess) {
    std::string sid = app->save_session(sess)["id"];
    return app->connect_session(sid)["tab_id"];
  }
  // The page call a notice makes, as the page receives it.
  static std::string info(const std::string& tab, const std::string& text, bool error) {
    return "setTerminalInfo(" + json::quote(tab, true) + ", " + json::quote(text, true) + ", " +
           (error ? "true" : "false") + ")";
  }
  std::string drain_until(const std::string& tab, const std::string& needle, double seconds = 10) {
    std::string all;
    eventually([&] {
      all += app->drain_terminal(tab);
      return all.find(needle) != std::string::npos;
    }, seconds);
    return all;
  }
  bool alive(const std::string& tab) {
    TabRef t = app->find_tab(tab);
    return t && t->alive();
  }
  // Waits for the connect failure notice and checks the tab is left failed.
  void expect_failure(const std::string& tab, const std::string& err) {
    std::string needle = info(tab, "SSH-1 connection failed: " + err, true);
    EXPECT_TRUE(page.wait_for(needle)) << ::testing::PrintToString(page.all());
    EXPECT_TRUE(eventually([&] { return !alive(tab); }));
    EXPECT_FALSE(app->send_input(tab, "ls\r"));
    EXPECT_EQ(page.count("terminalConnected("), 0u);
  }
};

// A port nothing listens on.
int closed_port() {
  platform::Listener l = platform::listen_loopback(0);
  int port = l.local_port();
  l.close();
  return port;
}

TEST_F(Ssh1TabTest, carries_a_shell_over_each_cipher_until_the_exit_status_ends_it) {
  for (int cipher : {3, 6}) {
    SCOPED_TRACE(cipher == 3 ? "3des" : "blowfish");
    ServerOptions so;
    so.cipher_mask = 1u << cipher;
    so.login_banner = "Welcome to the old gear\r\n";
    LoopbackServer ls(so);
    // The session's terminal type for one run, the default for the other.
    Json extra = cipher == 6 ? Json{{"terminal_type", "vt220"}, {"name", "bf"}} : Json::object();
    std::string tab = open(session(ls.port(), extra));

    ASSERT_TRUE(page.wait_for("terminalConnected(\"" + tab + "\")")) << ::testing::PrintToString(page.all());
    EXPECT_EQ(page.count(info(tab, "Connecting to 127.0.0.1:" + std::to_string(ls.port()) + " (SSH-1)...", false)), 1u);
    EXPECT_NE(drain_until(tab, "old gear\r\n").find("Welcome to the old gear\r\n"), std::string::npos);
    EXPECT_TRUE(alive(tab));

    EXPECT_TRUE(app->send_input(tab, "hello, ümlaut\r"));
    EXPECT_NE(drain_until(tab, "ümlaut\r\n").find("hello, ümlaut\r\n"), std::string::npos);
    EXPECT_TRUE(app->resize_pty(tab, 30, 100));
    EXPECT_TRUE(app->resize_pty(tab, 1, 5));  // clamped to 2 x 20 by the core
    EXPECT_TRUE(app->send_input(tab, "err to stderr\r"));
    EXPECT_NE(drain_until(tab, "\r\nto stderr\r\n").find("err to stderr\r\nto stderr\r\n"), std::string::npos);
    EXPECT_TRUE(app->send_input(tab, "exit 7\r"));

    ASSERT_TRUE(page.wait_for(info(tab, kEnded, false)));
    ls.join();
    EXPECT_TRUE(eventually([&] { return !alive(tab); }));
    EXPECT_FALSE(app->send_input(tab, "more\r"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(page.count(info(tab, kEnded, false)), 1u);

    const auto& seen = ls.server().seen();
    EXPECT_EQ(ls.failure, "");
    EXPECT_EQ(ls.server().error(), "");
    EXPECT_EQ(seen.cipher, cipher);
    EXPECT_EQ(seen.user, "tester");
    EXPECT_EQ(seen.term, cipher == 6 ? "vt220" : "xterm");
    EXPECT_EQ(seen.rows, 24u);
    EXPECT_EQ(seen.cols, 80u);
    ASSERT_EQ(seen.window_sizes.size(), 2u);
    EXPECT_EQ(seen.window_sizes[0], std::make_pair(30u, 100u));
    EXPECT_EQ(seen.window_sizes[1], std::make_pair(2u, 20u));
    EXPECT_EQ(seen.stdin_data, "hello, ümlaut\rerr to stderr\rexit 7\r");
    EXPECT_TRUE(seen.exit_confirmed);
    app->close_tab(tab);
  }
}

TEST_F(Ssh1TabTest, no_password_shows_both_notices_and_never_connects) {
  ServerOptions so;
  LoopbackServer ls(so, 3000);
  std::string tab = open(session(ls.port(), {{"password", ""}}));
  std::string need = info(tab, "SSH-1 currently only supports password authentication; please fill in the password and retry.", true);
  ASSERT_TRUE(page.wait_for(need)) << ::testing::PrintToString(page.all());
  auto all = page.all();
  auto at = [&](const std::string& s) { return std::find(all.begin(), all.end(), s) - all.begin(); };
  std::string connecting = info(tab, "Connecting to 127.0.0.1:" + std::to_string(ls.port()) + " (SSH-1)...", false);
  EXPECT_LT(at(connecting), at(need));
  EXPECT_TRUE(eventually([&] { return !alive(tab); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(ls.accepted());
  EXPECT_EQ(page.count("SSH-1 connection failed"), 0u);
}

TEST_F(Ssh1TabTest, a_missing_empty_zero_or_unreadable_port_means_22) {
  // Without a password nothing connects, so the notice shows the port that would be used.
  for (Json port : {Json(nullptr), Json(""), Json(0), Json("ssh"), Json(" 2222 ")}) {
    SCOPED_TRACE(port.dump());
    std::string tab = open(session(0, {{"name", "p" + port.dump()}, {"password", nullptr}, {"port", port}}));
    std::string want = port == Json(" 2222 ") ? "2222" : "22";
    EXPECT_TRUE(page.wait_for(info(tab, "Connecting to 127.0.0.1:" + want + " (SSH-1)...", false)))
        << ::testing::PrintToString(page.all());
  }
}

TEST_F(Ssh1TabTest, each_failure_to_connect_shows_its_reason_and_fails_the_tab) {
  struct Case {
    const char* name;
    std::function<void(ServerOptions&)> server;
    Json extra;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"wrong password", [](ServerOptions&) {}, {{"password", "guess"}},
       "the server refused the password for \"tester\""},
      {"bad CRC", [](ServerOptions& o) { o.bad_crc_after_key = true; }, Json::object(),
       "packet CRC mismatch (corrupted data or wrong key)"},
      {"early disconnect", [](ServerOptions& o) { o.disconnect_after_key = true; }, Json::object(),
       "the server disconnected: Server going down for testing"},
      {"keys too close in size", [](ServerOptions& o) { o.host_bits = o.server_bits = 768; }, Json::object(),
       "the server's RSA keys are unusable (768-bit server key, 768-bit host key): the larger must exceed the "
       "smaller by 88 bits"},
      {"SSH-2 only", [](ServerOptions& o) { o.version = "SSH-2.0-OpenSSH_9.2"; }, Json::object(),
       "the server speaks only SSH-2 (\"SSH-2.0-OpenSSH_9.2\")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerOptions so;
    c.server(so);
    LoopbackServer ls(so, 10000);
    Json extra = c.extra;
    extra["name"] = c.name;
    std::string tab = open(session(ls.port(), extra));
    expect_failure(tab, c.err);
    app->close_tab(tab);
  }
}

TEST_F(Ssh1TabTest, a_refused_port_and_an_impossible_port_are_reported_like_connect_failures) {
  int port = closed_port();
  std::string tab = open(session(port));
  expect_failure(tab, "connecting to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
  // The backend cannot be made for this port: the tab must not stay "connecting".
  std::string tab2 = open(session(70000, {{"name", "big"}}));
  expect_failure(tab2, "port 70000 is out of range (1-65535)");
}

TEST_F(Ssh1TabTest, a_silent_server_runs_into_the_time_limit) {
  kind().timeout_sec = 1;
  ServerOptions so;
  so.silent = true;
  LoopbackServer ls(so, 8000);
  std::string tab = open(session(ls.port()));
  expect_failure(tab, "timed out after 1 s waiting for the server's version");
  EXPECT_TRUE(eventually([&] { return ls.peer_closed(); }, 5));
}

TEST_F(Ssh1TabTest, closing_the_tab_while_connecting_ends_the_attempt_at_once_and_quietly) {
  ServerOptions so;
  so.silent = true;  // the client waits for the version line for its whole 15 s
  LoopbackServer ls(so, 8000);
  std::string tab = open(session(ls.port()));
  ASSERT_TRUE(eventually([&] { return ls.accepted(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  app->close_tab(tab);
  EXPECT_TRUE(eventually([&] { return ls.peer_closed(); }, 3)) << "the socket stayed open after the close";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(page.count("SSH-1 connection failed"), 0u) << ::testing::PrintToString(page.all());
  EXPECT_EQ(page.count("terminalConnected("), 0u);
}

TEST_F(Ssh1TabTest, closing_a_connected_tab_says_goodbye_and_wakes_the_reader) {
  LoopbackServer ls(ServerOptions{});
  std::string tab = open(session(ls.port()));
  ASSERT_TRUE(page.wait_for("terminalConnected(\"" + tab + "\")"));
  app->close_tab(tab);
  // The reader was blocked waiting for output; it ends and announces the end once.
  EXPECT_TRUE(page.wait_for(info(tab, kEnded, false), 3));
  ls.join();
  EXPECT_TRUE(ls.server().seen().client_disconnected);
  EXPECT_EQ(ls.server().seen().disconnect_reason, "closed by user");
  EXPECT_EQ(page.count(info(tab, kEnded, false)), 1u);
}

TEST_F(Ssh1TabTest, forced_workarounds_reach_the_backend_and_unforced_ones_do_not) {
  // An old server that hangs up on SSH_MSG_IGNORE and reads the password as a C string.
  auto old_server = [] {
    ServerOptions o;
    o.choke_on_ignore = true;
    return o;
  };
  {
    LoopbackServer ls(old_server(), 10000);
    std::string tab = open(session(ls.port(), {{"name", "auto"}, {"ssh_bugs", {{"ignore1", "auto"}, {"ignore2", "on"}}}}));
    expect_failure(tab, "the server disconnected: protocol error: unexpected message 32");
    app->close_tab(tab);
  }
  {
    LoopbackServer ls(old_server(), 10000);
    std::string tab = open(session(ls.port(), {{"name", "on"}, {"ssh_bugs", {{"ignore1", "on"}}}}));
    ASSERT_TRUE(page.wait_for("terminalConnected(\"" + tab + "\")")) << ::testing::PrintToString(page.all());
    app->send_input(tab, "exit 0\r");
    ls.join();
    EXPECT_EQ(ls.server().seen().ignores, 0);
    // Padded after a NUL to hide its length, which this server ignores.
    EXPECT_EQ(ls.server().seen().password_field.size(), 64u);
    EXPECT_EQ(ls.server().seen().password_field.substr(0, 12), std::string("s3cret pass\0", 12));
    app->close_tab(tab);
  }
  {
    ServerOptions o = old_server();
    o.plain_password_only = true;
    LoopbackServer ls(o, 10000);
    std::string tab =
        open(session(ls.port(), {{"name", "plain"}, {"ssh_bugs", {{"ignore1", "on"}, {"plainpw1", " ON "}}}}));
    ASSERT_TRUE(page.wait_for("terminalConnected(\"" + tab + "\")")) << ::testing::PrintToString(page.all());
    app->send_input(tab, "exit 0\r");
    ls.join();
    EXPECT_EQ(ls.server().seen().password_field, "s3cret pass");
    app->close_tab(tab);
  }
}

TEST(Ssh1Bugs, only_ssh1_workarounds_forced_on_are_passed) {
  using kinds::forced_ssh1_bugs;
  using Set = std::set<std::string>;
  EXPECT_EQ(forced_ssh1_bugs(Json::parse(R"({"ignore1": "on", "plainpw1": "off", "ignore2": "on", "nope": "on"})")),
            Set{"ignore1"});
  EXPECT_EQ(forced_ssh1_bugs(Json::parse(R"({"ignore1": "auto", "plainpw1": "on"})")), Set{"plainpw1"});
  EXPECT_EQ(forced_ssh1_bugs(Json::parse(R"({"ignore1": true, "plainpw1": 1})")), Set{});
  EXPECT_EQ(forced_ssh1_bugs(Json()), Set{});
  EXPECT_EQ(forced_ssh1_bugs(Json("")), Set{});
  EXPECT_EQ(forced_ssh1_bugs(Json::array()), Set{});
}

}  // namespace
}  // namespace morvane::testing
