// The whole program through its stdio host: a question with the terminal's text gets the
// stand-in's answer, the follow-up resumes, a reset cancels a pending turn at once, and a
// proposed command reaches the tab only through claude_inject.
#include <thread>

#include "assistant_fixture.h"
#include "stdio_program.h"

namespace morvane::testing {

using StdioAssistant = AssistantFixture;

TEST_F(StdioAssistant, QuestionFollowUpResetAndInject) {
  install_tool(bin());
  write_text(arch() / "claude規範提示詞.md", "rules\n");
  StdioProgram prog(data());
  Json st = prog.call("claude_status");
  EXPECT_EQ(st["installed"], true);
  EXPECT_EQ(st["version"], "2.1.7 (Claude Code)");

  std::string sid = prog.call("save_session", {Json::parse(R"({"name": "sh", "protocol": "conpty", "conpty_shell": "SH"})")})["id"];
  std::string tab = prog.call("connect_session", {sid})["tab_id"];
  ASSERT_TRUE(prog.page_has("terminalConnected(\"" + tab + "\")"));
  std::string screen = prog.read_until(tab, "$");

  Json r = prog.call("claude_send", {"what is here?", "$ ls\nnotes.txt\n", tab, 30, false, nullptr});
  EXPECT_EQ(r, Json::parse(R"({"ok": true, "error": "", "reply": "answer 1 to: what is here?"})"));
  EXPECT_NE(stdin_of(1).find("\n\n----- 當前終端機輸出（最近幾行，供你參考；如使用者沒問終端機相關問題就忽略）-----\n$ ls\nnotes.txt"),
            std::string::npos);
  EXPECT_NE(stdin_of(1).find("當前 target 分頁設定（conpty · sh）"), std::string::npos) << stdin_of(1);
  r = prog.call("claude_send", {"and then?", "", tab, 30, true, nullptr});
  EXPECT_EQ(r["reply"], "answer 2 to: and then?");
  std::vector<std::string> a = argv_of(2);
  EXPECT_EQ(std::vector<std::string>(a.end() - 2, a.end()), (std::vector<std::string>{"--resume", "sess-1"}));
  // The answers typed nothing into the tab.
  EXPECT_EQ(prog.call("drain_terminal", {tab}).get<std::string>().find("answer"), std::string::npos);

  mode("hang");
  Json pending;
  std::thread turn([&] { pending = prog.call("claude_send", {"slow", "", tab, 120, true, nullptr}); });
  ASSERT_TRUE(StdioProgram::wait_for([&] { return fs::exists(runs() / "child.pid"); }, 20));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(prog.call("claude_reset_session"), true);
  turn.join();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
  EXPECT_EQ(pending["cancelled"], true);

  EXPECT_EQ(prog.call("claude_inject", {tab, "echo proposed$((40+2))"}), true);
  EXPECT_NE(prog.read_until(tab, "proposed42").find("proposed42"), std::string::npos);
}

}  // namespace morvane::testing
