// What a turn gives the tool: the prompt on standard input, the command line, the prompt files
// and the reply-language instruction.
#include "assistant_fixture.h"

namespace morvane::testing {

struct Prompt : AssistantFixture {
  fs::path exe;
  void SetUp() override {
    AssistantFixture::SetUp();
    exe = install_tool(bin());
    write_text(arch() / "claude規範提示詞.md", "# rules\nbe careful\n");
    write_text(arch() / "架構說明目錄.md", "# index\n");
  }
  std::string addition_for(const fs::path& folder) {
    return "你正在透過 Claude Code CLI 為 Morvane 的使用者提供協助。\n" + ai()._lang_directive() + "\n" +
           "你的完整運作規則與架構索引在 add-dir 內的 `_runtime_system_prompt.md` 檔案 —— **第一輪回覆前必須先用 Read "
           "工具讀完它**,並把其中所有規則當作 system prompt 一樣強制遵守。但上一段「回答語言」指令的優先序**高於 add-dir "
           "內 .md 檔關於語言的任何舊指示**(只針對回覆語言,其他規範不變)。同一 session 不必再讀(--resume 會保留上下文)。\n"
           "需要更細的內容時可額外讀取 " + arch().string() + " 下的 詳細說明*.md / 系統說明_*.md 等。";
  }
};

TEST_F(Prompt, QuestionAloneIsThePromptAndTheCommandLineIsExact) {
  make_app();
  Json r = send("why is the sky blue?", " \n\t\n ");
  EXPECT_EQ(r, Json::parse(R"({"ok": true, "error": "", "reply": "answer 1 to: why is the sky blue?"})"));
  EXPECT_EQ(stdin_of(1), "why is the sky blue?");
  std::vector<std::string> want = {exe.string(), "-p", "--model", "claude-opus-4-7", "--append-system-prompt", addition_for(arch()),
                                   "--add-dir", arch().string(), "--effort", "xhigh", "--permission-mode", "bypassPermissions",
                                   "--output-format", "json"};
  EXPECT_EQ(argv_of(1), want);
  EXPECT_EQ(read_text(arch() / "_runtime_system_prompt.md"),
            "===== claude規範提示詞.md =====\n# rules\nbe careful\n\n\n===== 架構說明目錄.md =====\n# index\n");

  // The follow-up resumes; effort off and another model show on the next command line.
  ai().set_claude_effort(false);
  ai().set_claude_model("sonnet");
  send("and the sea?");
  want = {exe.string(), "-p", "--model", "sonnet", "--append-system-prompt", addition_for(arch()), "--add-dir", arch().string(),
          "--permission-mode", "bypassPermissions", "--output-format", "json", "--resume", "sess-1"};
  EXPECT_EQ(argv_of(2), want);
}

TEST_F(Prompt, SerialTargetTerminalTextAndOtherTabs) {
  make_app();
  add_tab("0000000a", R"({"name": "ssh box", "protocol": "ssh", "host": "10.0.0.2", "port": 22, "lfhascr": true})", "ssh box");
  add_tab("0000000b", R"({"name": "board", "protocol": "serial", "host": "COM3"})", "board", "utf-8");
  add_tab("0000000c", R"({"name": "rfc", "protocol": "telnet-serial", "host": "ts", "port": 7000, "serial_bits": 7,
                         "serial_parity": "E", "serial_flow": "RTSCTS", "terminal_type": "vt100"})", "rfc", "big5", false);
  add_tab("0000000d", R"({"name": "quiet", "protocol": "telnet", "host": "q"})", "quiet");
  Json texts = {{"0000000a", "  $ uptime\n up 3 days  \n"}, {"0000000c", " \n "}, {"0000000b", "ignored: target"}};
  Json r = send("what is wrong?", "\n  boot: error 5\n\n", "0000000b", 30, texts);
  ASSERT_EQ(r["ok"], true) << r.dump();
  const std::string want =
      "what is wrong?"
      "\n\n----- 當前 target 分頁設定（serial · board） -----\n"
      "protocol: serial\nhost: COM3\nport: None\nencoding: utf-8\n"
      "lfhascr (LF 後隱含 CR): False\ncrhaslf (CR 後隱含 LF): False\nterminal_type: xterm-256color\n"
      "serial: 8-N-1 flow=N"
      "\n-----"
      "\n\n----- 當前終端機輸出（最近幾行，供你參考；如使用者沒問終端機相關問題就忽略）-----\n"
      "boot: error 5"
      "\n\n----- 其他已開啟的分頁（僅顯示設定；要看內容請用 `read_tab <tab_id>` action 取得使用者同意） -----\n"
      "tab_id: 0000000a\ndisplay: ssh box\nprotocol: ssh\nhost: 10.0.0.2\nport: 22\nencoding: utf-8\nalive: True\n"
      "lfhascr: True\ncrhaslf: False"
      "\n--- 該分頁最近輸出 ---\n$ uptime\n up 3 days"
      "\n\n"
      "tab_id: 0000000c\ndisplay: rfc\nprotocol: telnet-serial\nhost: ts\nport: 7000\nencoding: big5\nalive: False\n"
      "lfhascr: False\ncrhaslf: False\nserial: 7-E-1 flow=RTSCTS"
      "\n\n"
      "tab_id: 0000000d\ndisplay: quiet\nprotocol: telnet\nhost: q\nport: None\nencoding: utf-8\nalive: True\n"
      "lfhascr: False\ncrhaslf: False"
      "\n-----";
  EXPECT_EQ(stdin_of(1), want);
}

TEST_F(Prompt, TargetThatIsNotOpenAddsNoSectionButIsStillSkipped) {
  make_app();
  add_tab("0000000a", R"({"name": "one", "protocol": "ssh", "host": "h", "port": 22})", "one");
  send("hi", "", "0000000a");
  EXPECT_EQ(stdin_of(1).find("其他已開啟的分頁"), std::string::npos) << stdin_of(1);
  send("hi", "", "ffffffff");
  EXPECT_EQ(stdin_of(2).find("當前 target"), std::string::npos);
  EXPECT_NE(stdin_of(2).find("tab_id: 0000000a"), std::string::npos);
}

TEST_F(Prompt, RulesFileGoesToTheDataDirectoryWhenTheInstallFolderRefusesIt) {
  // A folder where the file should be: the write fails as on a read-only installation.
  fs::create_directories(arch() / "_runtime_system_prompt.md");
  make_app();
  send("q");
  EXPECT_EQ(read_text(data() / "_runtime_system_prompt.md").rfind("===== claude規範提示詞.md =====\n", 0), 0u);
  std::vector<std::string> a = argv_of(1);
  ASSERT_EQ(a.size(), 16u);
  EXPECT_EQ(std::vector<std::string>(a.begin() + 6, a.begin() + 12),
            (std::vector<std::string>{"--add-dir", arch().string(), "--effort", "xhigh", "--add-dir", data().string()}));
  EXPECT_EQ(a[5], addition_for(data()));
}

TEST_F(Prompt, WithoutPromptFilesTheWholePromptIsOnTheCommandLine) {
  fs::remove(arch() / "claude規範提示詞.md");
  fs::remove(arch() / "架構說明目錄.md");
  make_app();
  EXPECT_FALSE(ai()._write_claude_runtime_system_prompt());
  send("q");
  EXPECT_FALSE(fs::exists(arch() / "_runtime_system_prompt.md"));
  EXPECT_FALSE(fs::exists(data() / "_runtime_system_prompt.md"));
  const std::string opening = "你正在透過 Claude Code CLI 為 Morvane 的使用者提供協助。以下是你必須遵守的規範與專案架構索引；"
                              "需要更細的內容時，可用 Read 工具讀取 " + arch().string() + " 下的 詳細說明*.md 檔。";
  EXPECT_EQ(argv_of(1)[5], opening + "\n\n" + ai()._lang_directive());
}

TEST_F(Prompt, UnreadableRulesFileIsLeftOutWithAConsoleLine) {
  write_text(arch() / "claude規範提示詞.md", "bad \xff\xfe bytes");
  make_app();
  CaptureStdout cap;
  auto written = ai()._write_claude_runtime_system_prompt();
  std::string out = cap.take();
  ASSERT_TRUE(written);
  EXPECT_EQ(written->first, arch());
  EXPECT_EQ(read_text(arch() / "_runtime_system_prompt.md"), "===== 架構說明目錄.md =====\n# index\n");
  EXPECT_NE(out.find("[claude] read " + (arch() / "claude規範提示詞.md").string() + " failed: "), std::string::npos) << out;
  // The whole prompt has the opening, the instruction and the index only.
  EXPECT_EQ(ai()._build_claude_system_prompt().find("===== claude規範提示詞.md"), std::string::npos);
}

TEST_F(Prompt, ReplyLanguageFollowsTheInterface) {
  make_app();
  EXPECT_EQ(ai()._lang_directive(),
            "【回答語言】使用者目前的介面語系是 `en`。請**預設用 English (英文) 回覆**;這條規則**優先於 `claude規範提示詞.md` "
            "與架構文件內任何其他關於語言的舊指示**。若使用者改用其他語言提問,或明確要求切換,就跟著切到使用者偏好的語言。"
            "技術名詞、shell 指令、protocol 名稱可保留英文。本指令僅針對你的回覆語言,不影響其他規範。");
  app->set_language("zh-Hant");
  EXPECT_NE(ai()._lang_directive().find("`zh-Hant`。請**預設用 繁體中文 回覆**"), std::string::npos);
}

// The product's own documents are there and the index names only files that exist.
TEST(PromptDocuments, IndexNamesExistingDocuments) {
  const fs::path dir = fs::path(PROMPT_DOCS_DIR);
  ASSERT_TRUE(fs::exists(dir / "claude規範提示詞.md"));
  std::string index = read_text(dir / "架構說明目錄.md");
  ASSERT_FALSE(index.empty());
  size_t named = 0;
  for (size_t at = index.find("`"); at != std::string::npos; at = index.find("`", at + 1)) {
    size_t end = index.find("`", at + 1);
    if (end == std::string::npos) break;
    std::string name = index.substr(at + 1, end - at - 1);
    if (name.size() > 3 && name.substr(name.size() - 3) == ".md") {
      EXPECT_TRUE(fs::exists(dir / name)) << name;
      ++named;
    }
    at = end;
  }
  EXPECT_GE(named, 3u);
}

}  // namespace morvane::testing
