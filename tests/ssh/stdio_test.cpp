// The whole program, end to end: `morvane --stdio` opens SSH tabs to sshd, carries a shell
// and both kinds of forward, and reports failures, all through its JSON-line protocol.
#include "ssh_app_fixture.h"
#include "stdio_program.h"

namespace morvane::sshtest {
namespace {

using morvane::testing::StdioProgram;

TEST_F(SshTabTest, StdioHostCarriesAShellAndBothForwards) {
  TcpServer echo(TcpServer::echo);
  int lport = free_port(), rport = free_port();
  Json sess = session({{"port_forwards",
                        {{{"type", "L"}, {"spec", std::to_string(lport) + ":127.0.0.1:" + std::to_string(echo.port())}},
                         {{"type", "R"}, {"spec", std::to_string(rport) + ":127.0.0.1:" + std::to_string(echo.port())}}}}});
  StdioProgram prog(data(), {.env = {"HOME=" + home().string()}, .err_file = {}});
  std::string sid = prog.call("save_session", {sess})["id"].get<std::string>();
  std::string tab = prog.call("connect_session", {sid})["tab_id"].get<std::string>();
  ASSERT_TRUE(prog.page_has("terminalConnected(\"" + tab + "\")"));

  EXPECT_TRUE(prog.call("send_input", {tab, "stty size; echo MARK$((41+1))\r"}).get<bool>());
  std::string out = prog.read_until(tab, "MARK42\r\n");
  EXPECT_NE(out.find("24 80"), std::string::npos) << out;
  EXPECT_TRUE(prog.call("resize_pty", {tab, 50, 132}).get<bool>());
  prog.call("send_input", {tab, "stty size; echo MARK$((42+1))\r"});
  out = prog.read_until(tab, "MARK43\r\n");
  EXPECT_NE(out.find("50 132"), std::string::npos) << out;

  int a = connect_to(lport, 20);
  ASSERT_GE(a, 0);
  send_all(a, "through the local forward");
  EXPECT_EQ(recv_n(a, 25), "through the local forward");
  ::close(a);
  ASSERT_TRUE(eventually([&] { return port_open(rport); }));
  int b = connect_to(rport, 20);
  ASSERT_GE(b, 0);
  send_all(b, "through the remote forward");
  EXPECT_EQ(recv_n(b, 26), "through the remote forward");
  ::close(b);

  Json state = prog.call("close_tab", {tab});
  EXPECT_TRUE(state["tabs"].empty());
  EXPECT_TRUE(eventually([&] { return !port_open(lport); }));
}

TEST_F(SshTabTest, StdioHostReportsAFailedLogin) {
  StdioProgram prog(data(), {.env = {"HOME=" + home().string()}, .err_file = {}});
  Json sess = session({{"private_key", ""}, {"password", "wrong"}});
  std::string sid = prog.call("save_session", {sess})["id"].get<std::string>();
  std::string tab = prog.call("connect_session", {sid})["tab_id"].get<std::string>();
  ASSERT_TRUE(prog.page_has("setTerminalInfo(\"" + tab + "\", \"Authentication failed: "));
  EXPECT_TRUE(eventually([&] { return !prog.call("get_runtime_state")["tabs"][0]["alive"].get<bool>(); }));
  EXPECT_FALSE(prog.call("send_input", {tab, "ls\r"}).get<bool>());
}

}  // namespace
}  // namespace morvane::sshtest
