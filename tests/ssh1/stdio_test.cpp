// The whole program, end to end: `morvane --stdio` opens SSH-1 tabs to the test server running
// /bin/sh in a pseudo-terminal, with each cipher: the shell sees the terminal type and size,
// follows a resize and ends the tab when it exits. Each way a tab can fail to open shows its
// notice, all through the program's JSON lines.
#include <gtest/gtest.h>

#include <functional>

#include "loopback_server.h"
#include "platform/net.h"
#include "stdio_program.h"
#include "temp_dir.h"

namespace {

using morvane::Json;
using morvane::testing::StdioProgram;
using ssh1test::LoopbackServer;
using ssh1test::ServerOptions;

using morvane::testing::TempDir;

struct Ssh1Stdio : ::testing::Test {
  TempDir dir;
  StdioProgram prog{dir.path / "data"};

  std::string open(int port, const std::string& name, const Json& extra = Json::object()) {
    Json sess = {{"name", name},         {"protocol", "ssh"},    {"ssh_version", 1},
                 {"host", "127.0.0.1"},  {"port", port},         {"username", "tester"},
                 {"password", "s3cret pass"}};
    for (auto it = extra.begin(); it != extra.end(); ++it) sess[it.key()] = it.value();
    std::string sid = prog.call("save_session", {sess})["id"].get<std::string>();
    return prog.call("connect_session", {sid})["tab_id"].get<std::string>();
  }
  // A notice as the page is told it.
  static std::string notice(const std::string& tab, const std::string& text, bool error) {
    return "setTerminalInfo(" + morvane::json::quote(tab, true) + ", " + morvane::json::quote(text, true) + ", " +
           (error ? "true" : "false") + ")";
  }
  bool alive(const std::string& tab) {
    const Json state = prog.call("get_runtime_state");  // the loop must not outlive it
    for (const auto& t : state["tabs"])
      if (t["id"] == tab) return t["alive"].get<bool>();
    return false;
  }
};

TEST_F(Ssh1Stdio, a_real_shell_over_each_cipher_sees_type_and_size_follows_a_resize_and_ends_the_tab) {
  for (int cipher : {3, 6}) {
    SCOPED_TRACE(cipher == 3 ? "3des" : "blowfish");
    ServerOptions so;
    so.cipher_mask = 1u << cipher;
    so.real_shell = true;
    LoopbackServer ls(so, 40000);
    std::string tab = open(ls.port(), cipher == 3 ? "old gear 3des" : "old gear blowfish");
    ASSERT_TRUE(prog.page_has("terminalConnected(\"" + tab + "\")"));
    EXPECT_EQ(prog.page_count(notice(tab, "Connecting to 127.0.0.1:" + std::to_string(ls.port()) + " (SSH-1)...", false)),
              1u);

    // What the shell prints differs from what was typed, so the echo cannot pass for it.
    EXPECT_TRUE(prog.call("send_input", {tab, "echo \"T=$TERM\"; stty size\r"}).get<bool>());
    std::string out = prog.read_until(tab, "24 80\r\n");
    EXPECT_NE(out.find("T=xterm\r\n24 80\r\n"), std::string::npos) << out;

    EXPECT_TRUE(prog.call("resize_pty", {tab, 40, 120}).get<bool>());
    EXPECT_TRUE(prog.call("send_input", {tab, "stty size\r"}).get<bool>());
    // Typed before the shell's next prompt, so the answer may follow the echo or the prompt.
    out = prog.read_until(tab, "40 120\r\n");
    EXPECT_NE(out.find("40 120\r\n"), std::string::npos) << out;

    EXPECT_TRUE(prog.call("send_input", {tab, "exit 3\r"}).get<bool>());
    ASSERT_TRUE(prog.page_has(notice(tab, "─── Connection ended ───", false)));
    EXPECT_TRUE(StdioProgram::wait_for([&] { return !alive(tab); }, 10));
    ls.join();
    const auto& seen = ls.server().seen();
    EXPECT_EQ(ls.failure, "");
    EXPECT_EQ(ls.server().error(), "");
    EXPECT_EQ(seen.cipher, cipher);
    EXPECT_EQ(seen.term, "xterm");
    EXPECT_EQ(seen.rows, 24u);
    EXPECT_EQ(seen.cols, 80u);
    ASSERT_EQ(seen.window_sizes.size(), 1u);
    EXPECT_EQ(seen.window_sizes[0], std::make_pair(40u, 120u));
    EXPECT_TRUE(seen.exit_confirmed);  // the client took the shell's exit status
    EXPECT_EQ(prog.page_count(notice(tab, "─── Connection ended ───", false)), 1u);
    prog.call("close_tab", {tab});
  }
}

TEST_F(Ssh1Stdio, each_failure_to_open_shows_its_notice_and_leaves_the_tab_dead) {
  const std::string failed = "SSH-1 connection failed: ";
  struct Case {
    const char* name;
    std::function<void(ServerOptions&)> server;  // null: nothing listens on the port
    Json extra;
    std::function<std::string(int port)> text;
    bool error_notice = true;
    bool connects = true;  // the program opens a connection before failing
  };
  const std::vector<Case> cases = {
      {"no password", [](ServerOptions&) {}, {{"password", ""}},
       [](int) {
         return std::string("SSH-1 currently only supports password authentication; please fill in the password and "
                            "retry.");
       },
       true, false},
      {"refused password", [](ServerOptions&) {}, {{"password", "guess"}},
       [&](int) { return failed + "the server refused the password for \"tester\""; }},
      {"connection refused", nullptr, Json::object(),
       [&](int port) { return failed + "connecting to 127.0.0.1:" + std::to_string(port) + ": Connection refused"; },
       true, false},
      {"bad CRC", [](ServerOptions& o) { o.bad_crc_after_key = true; }, Json::object(),
       [&](int) { return failed + "packet CRC mismatch (corrupted data or wrong key)"; }},
      {"wrong key sizes", [](ServerOptions& o) { o.server_bits = 1000; }, Json::object(),
       [&](int) {
         return failed +
                "the server's RSA keys are unusable (1000-bit server key, 1024-bit host key): the larger must exceed "
                "the smaller by 88 bits";
       }},
      {"early disconnect", [](ServerOptions& o) { o.disconnect_after_key = true; }, Json::object(),
       [&](int) { return failed + "the server disconnected: Server going down for testing"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<LoopbackServer> ls;
    int port;
    if (c.server) {
      ServerOptions so;
      so.real_shell = true;
      c.server(so);
      ls = std::make_unique<LoopbackServer>(so, 10000);
      port = ls->port();
    } else {
      morvane::platform::Listener l = morvane::platform::listen_loopback(0);
      port = l.local_port();
      l.close();
    }
    std::string tab = open(port, c.name, c.extra);
    std::string connecting = notice(tab, "Connecting to 127.0.0.1:" + std::to_string(port) + " (SSH-1)...", false);
    EXPECT_TRUE(prog.page_has(notice(tab, c.text(port), c.error_notice), 15)) << c.text(port);
    EXPECT_EQ(prog.page_count(connecting), 1u);
    EXPECT_TRUE(StdioProgram::wait_for([&] { return !alive(tab); }, 10));
    EXPECT_EQ(prog.page_count("terminalConnected(\"" + tab + "\")"), 0u);
    EXPECT_FALSE(prog.call("send_input", {tab, "ls\r"}).get<bool>());
    if (ls && !c.connects) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_FALSE(ls->accepted()) << "a connection was opened";
      std::string any_failure = notice(tab, failed, true);
      any_failure.resize(any_failure.size() - std::string("\", true)").size());
      EXPECT_EQ(prog.page_count(any_failure), 0u);
    }
    if (ls && c.connects) {
      ls->join();
      EXPECT_TRUE(ls->accepted());
      EXPECT_EQ(ls->server().error(), "");  // the client sent nothing the server objects to
    }
    prog.call("close_tab", {tab});
  }
}

}  // namespace
