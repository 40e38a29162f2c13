// One turn against the stand-in: every result record, the retry without --resume, the time
// limit, and a reset that cancels a running turn and kills what the tool started.
#include <signal.h>

#include <thread>

#include "assistant_fixture.h"

namespace morvane::testing {

struct Conversation : AssistantFixture {
  void SetUp() override {
    AssistantFixture::SetUp();
    install_tool(bin());
    make_app();
  }
  static double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  // The pid the hanging stand-in's child wrote, once it is there.
  pid_t child_pid() {
    pid_t pid = 0;
    eventually([&] {
      std::ifstream f(runs() / "child.pid");
      return static_cast<bool>(f >> pid) && pid > 0;
    });
    return pid;
  }
  static bool gone(pid_t pid) {
    return eventually([&] {
      std::ifstream st("/proc/" + std::to_string(pid) + "/stat");
      std::string p, comm, state;
      return !(st >> p >> comm >> state) || state == "Z";
    }, 5);
  }
};

TEST_F(Conversation, AnswersOfEveryShape) {
  mode("plain");
  EXPECT_EQ(send("q"), Json::parse(R"({"ok": true, "error": "", "reply": "just some text"})"));
  mode("is_error");
  EXPECT_EQ(send("q"), Json::parse(R"({"ok": false, "error": "claude reported an error", "reply": ""})"));
  mode("fail");
  EXPECT_EQ(send("q"), Json::parse(R"({"ok": false, "error": "claude exit code 3", "reply": ""})"));
  app->set_language("zh-Hant");
  mode("is_error");
  EXPECT_EQ(send("q")["error"], "claude 回報錯誤");
  // None of these started a conversation.
  EXPECT_FALSE(ai().session_id());
}

TEST_F(Conversation, UnknownConversationIsForgottenAndTheTurnRunsOnceMoreWithoutResume) {
  EXPECT_EQ(send("first")["reply"], "answer 1 to: first");
  EXPECT_EQ(ai().session_id(), "sess-1");
  mode("unknown_session");
  Json r = send("second", "", nullptr, 30, Json{{"x", "y"}});
  EXPECT_EQ(r, Json::parse(R"({"ok": true, "error": "", "reply": "answer 3 to: second"})"));
  ASSERT_EQ(run_count(), 3u);
  std::vector<std::string> second = argv_of(2), third = argv_of(3);
  EXPECT_EQ(std::vector<std::string>(second.end() - 2, second.end()), (std::vector<std::string>{"--resume", "sess-1"}));
  EXPECT_EQ(std::find(third.begin(), third.end(), "--resume"), third.end());
  EXPECT_EQ(stdin_of(3), "second");
  EXPECT_EQ(ai().session_id(), "sess-3");
}

TEST_F(Conversation, FailureWithoutAConversationIsNotRepeated) {
  mode("unknown_session");
  EXPECT_EQ(send("q")["ok"], true);  // no --resume yet: answers
  write_text(runs() / "mode", "fail");
  EXPECT_EQ(send("q")["error"], "claude exit code 3");
  EXPECT_EQ(run_count(), 2u);
}

TEST_F(Conversation, TimeLimitEndsTheTurnWithItsMessage) {
  mode("hang");
  auto t0 = std::chrono::steady_clock::now();
  Json r = send("q", "", nullptr, 1);
  double secs = since(t0);
  EXPECT_EQ(r, Json::parse(R"({"ok": false, "error": "Claude response timed out (1 seconds).", "reply": ""})"));
  EXPECT_GE(secs, 0.9);
  EXPECT_LT(secs, 4.0);
  EXPECT_TRUE(gone(child_pid()));
}

TEST_F(Conversation, ResetCancelsARunningTurnAndKillsWhatTheToolStarted) {
  send("start a conversation");
  ASSERT_EQ(ai().session_id(), "sess-1");
  mode("answer_then_hang");
  Json result;
  std::thread turn([&] { result = send("long one", "", nullptr, 60); });
  pid_t child = child_pid();
  ASSERT_GT(child, 0);
  // The answer with its conversation id is already out; the reset still wins.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(app->bridge.call("claude_reset_session", Json::array()), true);
  turn.join();
  EXPECT_LT(since(t0), 3.0);
  EXPECT_EQ(result, Json::parse(R"({"ok": false, "cancelled": true, "error": "", "reply": ""})"));
  EXPECT_TRUE(gone(child)) << "the tool's child " << child << " survived the reset";
  EXPECT_FALSE(ai().session_id());
  // The next turn starts a new conversation.
  mode("json");
  send("again");
  std::vector<std::string> a = argv_of(3);
  EXPECT_EQ(std::find(a.begin(), a.end(), "--resume"), a.end());
}

TEST_F(Conversation, ResetWhileIdleOnlyForgetsTheConversation) {
  send("q");
  EXPECT_EQ(ai().session_id(), "sess-1");
  EXPECT_TRUE(ai().claude_reset_session());
  EXPECT_FALSE(ai().session_id());
  EXPECT_EQ(send("q")["reply"], "answer 2 to: q");
}

TEST_F(Conversation, AToolThatCannotStartIsReported) {
  write_text(bin() / "claude", "#!/nonexistent/interpreter\n");
  Json r = send("q");
  EXPECT_EQ(r["ok"], false);
  EXPECT_EQ(r["error"].get<std::string>().rfind("Failed to execute claude: ", 0), 0u) << r.dump();
  EXPECT_EQ(r["reply"], "");
}

TEST_F(Conversation, PageArgumentsAreChecked) {
  EXPECT_THROW(app->bridge.call("claude_send", Json::array({"q", "", nullptr, -1})), BridgeError);
  EXPECT_THROW(app->bridge.call("claude_send", Json::array({"q", 5})), BridgeError);
  EXPECT_THROW(app->bridge.call("claude_send", Json::array({"q", "", nullptr, 5, false, "x"})), BridgeError);
  // Defaults: no terminal text, no target, 180 seconds.
  EXPECT_EQ(app->bridge.call("claude_send", Json::array({"q"}))["ok"], true);
  EXPECT_EQ(stdin_of(1), "q");
}

}  // namespace morvane::testing
