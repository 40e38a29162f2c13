// Finding the tool, its status and sign-in, the model and effort choices, the flag toggle and
// typing a proposed command into a tab.
#include <unistd.h>

#include "assistant_fixture.h"

namespace morvane::testing {

using Discovery = AssistantFixture;

TEST_F(Discovery, StatusReadsTheVersionAndTheSignIn) {
  fs::path exe = install_tool(bin());
  make_app();
  Json st = app->bridge.call("claude_status", Json::array());
  EXPECT_EQ(st["installed"], true);
  EXPECT_EQ(st["version"], "2.1.7 (Claude Code)");
  EXPECT_EQ(st["exe"], exe.string());
  EXPECT_EQ(st["model"], "claude-opus-4-7");
  EXPECT_EQ(st["logged_in"], false);
  EXPECT_EQ(st["hint"], "Not signed in to Claude Code. Please run `claude` in a terminal and follow the browser flow to sign in.");

  // A credentials file alone, even empty, is a sign-in.
  fs::create_directories(home() / ".claude");
  write_text(home() / ".claude" / ".credentials.json", "");
  st = ai().claude_status();
  EXPECT_EQ(st["logged_in"], true);
  EXPECT_EQ(st["hint"], "");
}

TEST_F(Discovery, SignInFromTheToolsSettingsFile) {
  make_app();
  fs::create_directories(home() / ".claude");
  const fs::path s = home() / ".claude" / "settings.json";
  EXPECT_FALSE(ai()._claude_logged_in());
  write_text(s, R"({"oauthAccount": null})");
  EXPECT_FALSE(ai()._claude_logged_in());
  write_text(s, R"({"oauthAccount": {"emailAddress": "a@b"}})");
  EXPECT_TRUE(ai()._claude_logged_in());
  write_text(s, R"({"primaryApiKey": "sk-x"})");
  EXPECT_TRUE(ai()._claude_logged_in());
  write_text(s, R"({"primaryApiKey": )");
  EXPECT_FALSE(ai()._claude_logged_in());
  // USERPROFILE, when set, is the home folder that counts.
  EnvGuard up("USERPROFILE", (dir.path / "elsewhere").string());
  write_text(s, R"({"primaryApiKey": "sk-x"})");
  EXPECT_FALSE(ai()._claude_logged_in());
}

TEST_F(Discovery, MissingToolIsSearchedAgainAndAFoundOneIsKept) {
  make_app();
  Json st = ai().claude_status();
  EXPECT_EQ(st["installed"], false);
  EXPECT_TRUE(st["exe"].is_null());
  EXPECT_EQ(st["hint"].get<std::string>().rfind("Cannot find claude executable. Please install Claude Code first: https://", 0), 0u);
  Json r = send("hello");
  EXPECT_EQ(r, Json::parse(R"({"ok": false, "error": "Cannot find claude executable, please install Claude Code first.", "reply": ""})"));

  // Installed while the program runs: the next look finds it in npm's global folder.
  fs::path exe = install_tool(home() / ".npm-global" / "bin");
  st = ai().claude_status();
  EXPECT_EQ(st["installed"], true);
  EXPECT_EQ(st["exe"], exe.string());
  // The search path wins over the install folders, but a found path stays for the run.
  install_tool(bin());
  EXPECT_EQ(ai()._resolve_claude_exe(), exe.string());
  fs::remove(exe);
  EXPECT_EQ(ai()._resolve_claude_exe(), exe.string());
}

TEST_F(Discovery, SearchPathComesBeforeTheInstallFolders) {
  install_tool(home() / ".local" / "bin");
  fs::path exe = install_tool(bin());
  make_app();
  EXPECT_EQ(ai()._resolve_claude_exe(), exe.string());
}

TEST_F(Discovery, AFailingVersionRunIsReportedNotInstalled) {
  install_tool(bin());
  make_app();
  write_text(runs() / "version_mode", "fail");
  Json st = ai().claude_status();
  // A non-zero exit only leaves the version out.
  EXPECT_EQ(st["installed"], true);
  EXPECT_TRUE(st["version"].is_null());
  write_text(runs() / "version_mode", "blank");
  st = ai().claude_status();
  EXPECT_EQ(st["installed"], false);
  EXPECT_EQ(st["exe"], (bin() / "claude").string());
  EXPECT_EQ(st["hint"].get<std::string>().rfind("Failed to run claude --version: ", 0), 0u) << st.dump();
}

TEST_F(Discovery, RealToolVersionWhenInstalled) {
  std::optional<std::string> real;
  for (const char* dir : {"/usr/local/bin", "/usr/bin"})
    if (::access((std::string(dir) + "/claude").c_str(), X_OK) == 0) real = std::string(dir) + "/claude";
  if (!real) GTEST_SKIP() << "the Claude Code tool is not installed here";
  EnvGuard path("PATH", fs::path(*real).parent_path().string() + ":/usr/bin:/bin");
  make_app();
  Json st = ai().claude_status();
  EXPECT_EQ(st["installed"], true);
  EXPECT_FALSE(st["version"].get<std::string>().empty());
}

TEST_F(Discovery, ModelAndEffortChoicesAreSavedAndReadBack) {
  make_app();
  Json m = app->bridge.call("claude_get_models", Json::array());
  EXPECT_EQ(m["current"], "claude-opus-4-7");
  EXPECT_EQ(m["default"], "claude-opus-4-7");
  EXPECT_EQ(m["is_custom"], false);
  EXPECT_EQ(m["effort_enabled"], true);
  ASSERT_EQ(m["builtin"].size(), 6u);
  EXPECT_EQ(m["builtin"][1], Json::parse(R"({"id": "claude-sonnet-4-6", "family": "sonnet", "version": "4.6", "kind": "pinned"})"));
  EXPECT_EQ(m["builtin"][5]["id"], "haiku");

  // Nothing changes, nothing is written.
  EXPECT_EQ(app->bridge.call("set_claude_model", Json::array({"   "})), Json::parse(R"({"ok": true, "model": "claude-opus-4-7", "is_custom": false})"));
  EXPECT_FALSE(fs::exists(data() / "settings.json"));
  EXPECT_EQ(app->bridge.call("set_claude_model", Json::array({"  sonnet "})), Json::parse(R"({"ok": true, "model": "sonnet", "is_custom": false})"));
  EXPECT_EQ(app->bridge.call("set_claude_model", Json::array({"my-model-1"})), Json::parse(R"({"ok": true, "model": "my-model-1", "is_custom": true})"));
  EXPECT_EQ(app->bridge.call("set_claude_effort", Json::array({false})), Json::parse(R"({"ok": true, "effort_enabled": false})"));
  Json saved = Json::parse(read_text(data() / "settings.json"));
  EXPECT_EQ(saved["claude_model"], "my-model-1");
  EXPECT_EQ(saved["claude_effort_enabled"], false);

  app.reset();
  make_app();
  EXPECT_EQ(ai().model(), "my-model-1");
  EXPECT_FALSE(ai().effort_enabled());
  EXPECT_EQ(ai().claude_get_models()["is_custom"], true);
}

TEST_F(Discovery, OddSettingValuesFallBackToTheDefaults) {
  fs::create_directories(data());
  write_text(data() / "settings.json", R"({"claude_model": "  ", "claude_effort_enabled": "no"})");
  make_app();
  EXPECT_EQ(ai().model(), "claude-opus-4-7");
  EXPECT_TRUE(ai().effort_enabled());
}

TEST_F(Discovery, FlagToggleSwitchesTheSavedSessionAndTellsTheTab) {
  make_app();
  std::string tab = add_tab("a1b2c3d4", R"({"name": "r", "protocol": "telnet", "host": "h", "port": 23})", "r");
  Json r = app->bridge.call("claude_toggle_session_flag", Json::array({tab, "lfhascr"}));
  EXPECT_EQ(r["ok"], true);
  EXPECT_EQ(r["flag"], "lfhascr");
  EXPECT_EQ(r["value"], true);
  EXPECT_EQ(r["sessions"][0]["lfhascr"], true);
  EXPECT_EQ(Json::parse(read_text(data() / "sessions.json"))["sessions"][0]["lfhascr"], true);
  auto info = [&](const std::string& msg) {
    return page.count("setTerminalInfo(\"a1b2c3d4\", " + json::quote(msg, true) + ", false)");
  };
  EXPECT_EQ(info("─── Enabled \"Implicit CR after LF (lfhascr)\" ───"), 1u);
  r = ai().claude_toggle_session_flag(tab, "lfhascr");
  EXPECT_EQ(r["value"], false);
  EXPECT_EQ(info("─── Disabled \"Implicit CR after LF (lfhascr)\" ───"), 1u);
  EXPECT_EQ(Json::parse(read_text(data() / "sessions.json"))["sessions"][0]["lfhascr"], false);

  app->set_language("zh-Hant");
  ai().claude_toggle_session_flag(tab, "crhaslf");
  EXPECT_EQ(info("─── 已啟用「CR 後隱含 LF (crhaslf)」 ───"), 1u);

  EXPECT_EQ(ai().claude_toggle_session_flag(tab, "password"), Json::parse(R"({"ok": false, "error": "未授權的 flag：password"})"));
  app->set_language("en");
  EXPECT_EQ(ai().claude_toggle_session_flag("ffffffff", "crhaslf"), Json::parse(R"({"ok": false, "error": "Target tab not found"})"));
}

TEST_F(Discovery, InjectRefusesEmptyAndMissingTabs) {
  make_app();
  EXPECT_EQ(app->bridge.call("claude_inject", Json::array({"a1b2c3d4", ""})), false);
  EXPECT_EQ(app->bridge.call("claude_inject", Json::array({"a1b2c3d4", "ls"})), false);
}

// Typing through a real local shell: the line end is added once, and only when asked.
TEST_F(Discovery, InjectTypesIntoTheTabThroughItsShell) {
  make_app();
  app->connect_delay_sec = 0;
  std::string sid = app->save_session(Json::parse(R"({"name": "sh", "protocol": "conpty", "conpty_shell": "SH"})"))["id"];
  std::string tab = app->connect_session(sid)["tab_id"];
  ASSERT_TRUE(page.wait_for("terminalConnected(\"" + tab + "\")"));
  std::string all;
  auto expect = [&](const std::string& needle) {
    eventually([&] {
      all += app->drain_terminal(tab);
      return all.find(needle) != std::string::npos;
    });
    EXPECT_NE(all.find(needle), std::string::npos) << all;
  };
  EXPECT_TRUE(ai().claude_inject(tab, "echo one$((1+1))"));
  expect("one2");
  EXPECT_TRUE(ai().claude_inject(tab, "echo three$((1+2))", false));
  EXPECT_TRUE(ai().claude_inject(tab, "\r", false));
  expect("three3");
  EXPECT_TRUE(ai().claude_inject(tab, "echo four$((2+2))\r"));
  expect("four4");
}

}  // namespace morvane::testing
