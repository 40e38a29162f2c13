#include <sys/stat.h>

#include "app_fixture.h"

namespace morvane::testing {

using LifecycleTest = AppFixture;

TEST_F(LifecycleTest, StatusFeedMarksSessionsOnlineAndOffline) {
  auto q = std::make_shared<LauncherQueue>();
  make_app({{"get_receipt", q}});
  app->spawn_daemon([a = app.get()] { a->_poll_queue(); });
  q->put_nowait(Json::parse(R"({"type": "other", "results": [{"id": "x", "online": true}]})"));
  q->put_nowait(Json::parse(R"({"type": "ping_results", "results": [{"id": "a", "online": 1}, {"id": "b", "online": 0}]})"));
  ASSERT_TRUE(eventually([&] { return app->session_status_snapshot().size() == 2; }));
  auto st = app->session_status_snapshot();
  EXPECT_EQ(st["a"], "online");
  EXPECT_EQ(st["b"], "offline");
  EXPECT_FALSE(st.count("x"));
  EXPECT_EQ(app->get_runtime_state()["session_status"], Json::parse(R"({"a": "online", "b": "offline"})"));
}

TEST_F(LifecycleTest, MalformedStatusEntryIsLoggedAndEarlierEntriesStay) {
  make_app();
  CaptureStdout cap;
  EXPECT_THROW(app->_apply_status_item(Json::parse(R"({"type": "ping_results", "results": [{"id": "a", "online": true}, {"online": true}]})")),
               std::runtime_error);
  EXPECT_EQ(app->session_status_snapshot()["a"], "online");
  // The poller turns the failure into a "[poll_queue]" line and keeps going.
  auto q = std::make_shared<LauncherQueue>();
  app.reset();
  make_app({{"get_receipt", q}});
  app->spawn_daemon([a = app.get()] { a->_poll_queue(); });
  q->put_nowait(Json::parse(R"({"type": "ping_results", "results": [{"nope": 1}]})"));
  q->put_nowait(Json::parse(R"({"type": "ping_results", "results": [{"id": "c", "online": true}]})"));
  ASSERT_TRUE(eventually([&] { return app->session_status_snapshot().count("c") == 1; }));
  app.reset();
  EXPECT_NE(cap.take().find("[poll_queue] "), std::string::npos);
}

TEST_F(LifecycleTest, ShutdownClosesTabsThenSignalsTheLauncher) {
  auto end_q = std::make_shared<LauncherQueue>();
  auto receipt = std::make_shared<LauncherQueue>();
  std::vector<std::string> order;
  std::mutex mu;
  MorvaneApp* raw = nullptr;
  auto end_ev = std::make_shared<LauncherEvent>([&] {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back("end-event tabs=" + std::to_string(raw->tabs.order().size()));
  });
  make_app({{"end", end_q}, {"get_receipt", receipt}}, {{"end", end_ev}});
  raw = app.get();
  app->connect_delay_sec = 60;
  Json s = Json::object();
  s["protocol"] = "none";
  std::string sid = app->save_session(s)["id"];
  app->connect_session(sid);
  ASSERT_EQ(app->tabs.order().size(), 1u);
  app->_shutdown();
  EXPECT_TRUE(app->_stop.load());
  EXPECT_EQ(order, std::vector<std::string>{"end-event tabs=0"});
  EXPECT_EQ(end_q->size(), 1u);
  EXPECT_EQ(receipt->size(), 1u);
  EXPECT_TRUE(end_ev->is_set());
  // A second run is harmless.
  app->_shutdown();
}

TEST_F(LifecycleTest, RunBuildsTheWindowFromSettings) {
  make_app();
  app->run(page);
  EXPECT_EQ(page.spec.title, "Morvane");
  EXPECT_EQ(page.spec.html, "<html></html>");
  EXPECT_EQ(page.spec.width, 1280);
  EXPECT_EQ(page.spec.height, 720);
  EXPECT_EQ(page.spec.min_width, 600);
  EXPECT_EQ(page.spec.min_height, 400);
  EXPECT_EQ(page.spec.background, "#0d0f14");
  EXPECT_EQ(page.spec.icon_path, "");
  EXPECT_TRUE(fs::is_directory(data() / "webview2_data"));
  EXPECT_EQ(page.menu.show_text, "Show window");
  EXPECT_EQ(page.menu.quit_text, "Quit");
  EXPECT_TRUE(page.tray_stopped);
}

TEST_F(LifecycleTest, WindowCloseHandler) {
  struct LoopHost : RecordingHost {
    std::function<void()> in_loop;
    void run_loop() override { in_loop(); }
  };
  make_app();
  LoopHost h;
  bool answer_with_tray = true, answer_without = false;
  h.tray = true;
  h.in_loop = [&] { answer_with_tray = h.on_closing(); };
  app->run(h);
  EXPECT_FALSE(answer_with_tray);
  EXPECT_TRUE(h.hidden);
  app.reset();
  make_app();
  LoopHost h2;
  h2.tray = false;
  h2.in_loop = [&] { answer_without = h2.on_closing(); };
  app->run(h2);
  // Without a tray nobody could show the window again: the close goes through.
  EXPECT_TRUE(answer_without);
  EXPECT_FALSE(h2.hidden);
}

TEST_F(LifecycleTest, MissingPageFileIsFatalForRunAndReportedByGui) {
  fs::create_directories(res());
  RecordingHost h;
  CaptureStdout cap;
  GUI({}, {}, h, data(), res());  // no html/index.html
  std::string out = cap.take();
  EXPECT_NE(out.find("run model --> "), std::string::npos);
  EXPECT_NE(out.find("[GUI] fatal: "), std::string::npos);
}

TEST_F(LifecycleTest, FindBundledPrefersTheBinFolderAndDropsExeOnPosix) {
  make_app();
  fs::create_directories(res() / "bin");
  write_text(res() / "bin" / "puttygen", "#!/bin/sh\n");
  ::chmod((res() / "bin" / "puttygen").c_str(), 0755);
  auto found = app->_find_bundled("puttygen.exe");
  ASSERT_TRUE(found);
  EXPECT_EQ(fs::path(*found), fs::absolute(res() / "bin" / "puttygen").lexically_normal());
  EXPECT_FALSE(app->_find_bundled("no-such-tool-xyz.exe"));
  EXPECT_FALSE(app->_find_bundled("sh", false));
  ASSERT_TRUE(app->_find_bundled("sh"));  // from the search path
  EXPECT_TRUE(fs::path(*app->_find_bundled("sh")).is_absolute());
}

TEST_F(LifecycleTest, ConstructionCreatesTheDataDirectory) {
  fs::create_directories(data());
  write_text(data() / "settings.json", R"({"claude_model": "  ", "claude_effort_enabled": "yes"})");
  make_app();
  EXPECT_TRUE(fs::is_directory(data()));
  EXPECT_EQ(MorvaneApp::_CONN_LEVEL_KEYS().size(), 23u);
  // Unknown settings (the assistant's) are kept as they are.
  EXPECT_EQ(app->settings.get("claude_model"), "  ");
}

TEST_F(LifecycleTest, BridgeTurnsFailuresIntoErrorsNeverCrashes) {
  make_app();
  EXPECT_THROW(app->bridge.call("no_such_op", Json::array()), BridgeError);
  EXPECT_THROW(app->bridge.call("drain_terminal", Json::array()), BridgeError);
  EXPECT_THROW(app->bridge.call("drain_terminal", Json::array({1, 2})), BridgeError);
  EXPECT_THROW(app->bridge.call("drain_terminal", Json::array({42})), BridgeError);
  EXPECT_THROW(app->bridge.call("save_session", Json::array({"text"})), BridgeError);
  EXPECT_THROW(app->bridge.call("get_runtime_state", Json::object()), BridgeError);
  EXPECT_EQ(app->bridge.call("drain_terminal", Json::array({"none"})), "");
  EXPECT_EQ(app->bridge.call("set_language", Json::array({"zh-Hant"}))["language"], "zh-Hant");
}

}  // namespace morvane::testing
