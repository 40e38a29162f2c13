// The whole program, end to end: `morvane --stdio` opens an SSH-1 tab to the test server,
// carries the shell, resizes it and ends with the remote exit, all through its JSON lines.
#include <gtest/gtest.h>

#include "loopback_server.h"
#include "stdio_program.h"

namespace {

using morvane::Json;
using morvane::testing::StdioProgram;

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    char tmpl[] = "/tmp/morvane-ssh1-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

TEST(Ssh1Stdio, a_session_opens_carries_the_shell_resizes_and_ends) {
  ssh1test::ServerOptions so;
  so.cipher_mask = 1u << 6;  // Blowfish here; the in-process tests run both ciphers
  ssh1test::LoopbackServer ls(so, 40000);
  TempDir dir;
  StdioProgram prog(dir.path / "data");
  Json sess = {{"name", "old gear"}, {"protocol", "ssh"}, {"ssh_version", 1},      {"host", "127.0.0.1"},
               {"port", ls.port()}, {"username", "tester"}, {"password", "s3cret pass"}};
  std::string sid = prog.call("save_session", {sess})["id"].get<std::string>();
  std::string tab = prog.call("connect_session", {sid})["tab_id"].get<std::string>();
  ASSERT_TRUE(prog.page_has("terminalConnected(\"" + tab + "\")"));
  EXPECT_EQ(prog.page_count("(SSH-1)..."), 1u);

  EXPECT_TRUE(prog.call("send_input", {tab, "typed through stdio\r"}).get<bool>());
  std::string out = prog.read_until(tab, "stdio\r\n");
  EXPECT_NE(out.find("typed through stdio\r\n"), std::string::npos) << out;
  EXPECT_TRUE(prog.call("resize_pty", {tab, 40, 120}).get<bool>());
  EXPECT_TRUE(prog.call("send_input", {tab, "exit 3\r"}).get<bool>());
  ASSERT_TRUE(prog.page_has("Connection ended"));
  EXPECT_TRUE(StdioProgram::wait_for(
      [&] { return !prog.call("get_runtime_state")["tabs"][0]["alive"].get<bool>(); }, 10));
  ls.join();
  EXPECT_EQ(ls.server().error(), "");
  ASSERT_EQ(ls.server().seen().window_sizes.size(), 1u);
  EXPECT_EQ(ls.server().seen().window_sizes[0], std::make_pair(40u, 120u));
  EXPECT_TRUE(ls.server().seen().exit_confirmed);
  prog.call("close_tab", {tab});
}

}  // namespace
