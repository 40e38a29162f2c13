#include "app/i18n.h"
#include "core/bridge.h"
#include "app_fixture.h"

namespace morvane::testing {

using SettingsTest = AppFixture;

TEST_F(SettingsTest, NoFileGivesDefaultsAndWritesNothing) {
  make_app();
  EXPECT_EQ(app->settings.get("window_w"), 1280);
  EXPECT_EQ(app->settings.get("window_h"), 720);
  EXPECT_EQ(app->settings.language(), "en");
  EXPECT_FALSE(fs::exists(data() / "settings.json"));
}

TEST_F(SettingsTest, FileMergesOverDefaultsAndKeepsUnknownKeys) {
  fs::create_directories(data());
  write_text(data() / "settings.json", R"({"language": "zh-Hant", "theme": {"x": [1, 2]}})");
  make_app();
  EXPECT_EQ(app->settings.get("window_w"), 1280);
  EXPECT_EQ(app->_t("err.conn_fail", {{"err", "timed out"}}), "連線失敗：timed out");
  app->set_language("en");
  Json saved = json::parse(read_text(data() / "settings.json"));
  EXPECT_EQ(saved["theme"], Json::parse(R"({"x": [1, 2]})"));
  EXPECT_EQ(saved["language"], "en");
  EXPECT_EQ(saved["window_h"], 720);
}

TEST_F(SettingsTest, UnreadableFilesKeepDefaultsWithADiagnostic) {
  for (const char* bad : {"not json", "[1, 2]", "", "\"text\"", "{\"language\": "}) {
    TempDir d;
    fs::create_directories(d.path / "data");
    write_text(d.path / "data" / "settings.json", bad);
    CaptureStdout cap;
    MorvaneApp a({}, {}, d.path / "data", d.path);
    std::string out = cap.take();
    EXPECT_EQ(out.rfind("load_settings: ", 0), 0u) << bad << " -> " << out;
    EXPECT_EQ(a.settings.get("window_w"), 1280);
    EXPECT_EQ(a.settings.language(), "en");
  }
}

TEST_F(SettingsTest, WrongTypesAreKeptAndReadersFallBack) {
  fs::create_directories(data());
  write_text(data() / "settings.json", R"({"window_w": "wide", "window_h": "600", "language": 5})");
  make_app();
  EXPECT_EQ(app->settings.get("window_w"), "wide");
  EXPECT_EQ(app->settings.language(), "en");
  app->run(page);
  EXPECT_EQ(page.spec.width, 1280);  // a text that is not a number: the default
  EXPECT_EQ(page.spec.height, 600);  // a number given as text is read
}

TEST_F(SettingsTest, UnsupportedLanguageFallsBackInMemoryOnly) {
  fs::create_directories(data());
  write_text(data() / "settings.json", R"({"language": "fr"})");
  make_app();
  EXPECT_EQ(app->settings.language(), "en");
  EXPECT_NE(read_text(data() / "settings.json").find("fr"), std::string::npos);
}

TEST_F(SettingsTest, SetLanguageWritesOnlyOnChange) {
  make_app();
  Json r = app->set_language("de");
  EXPECT_EQ(r, Json::parse(R"({"ok": true, "language": "en"})"));
  EXPECT_FALSE(fs::exists(data() / "settings.json"));
  r = app->set_language("zh-Hant");
  EXPECT_EQ(r["language"], "zh-Hant");
  EXPECT_EQ(read_text(data() / "settings.json"),
            "{\n  \"window_w\": 1280,\n  \"window_h\": 720,\n  \"language\": \"zh-Hant\"\n}");
  fs::remove(data() / "settings.json");
  app->set_language("zh-Hant");
  EXPECT_FALSE(fs::exists(data() / "settings.json"));
  EXPECT_EQ(app->set_language(nullptr)["language"], "en");
}

TEST_F(SettingsTest, SaveFailureIsAnErrorAndTheLanguageStays) {
  make_app();
  fs::create_directories(data() / "settings.json" / "blocker");
  CaptureStdout cap;
  try {
    app->set_language("zh-Hant");
    ADD_FAILURE() << "a failed save answered success";
  } catch (const BridgeError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("settings.json could not be saved: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(app->settings.language(), "en");
  EXPECT_EQ(cap.take().rfind("save_settings: ", 0), 0u);
}

TEST_F(SettingsTest, AnUnreadableFileIsKeptAsideBeforeTheFirstSave) {
  for (const std::string& bad : std::vector<std::string>{"{\"language\": \"zh-Hant\", \"window_w\": 19", "[1]", "{\"v\": " + std::string(70, '[')}) {
    TempDir d;
    fs::path dd = d.path / "data";
    fs::create_directories(dd);
    write_text(dd / "settings.json", bad);
    CaptureStdout cap;
    MorvaneApp a({}, {}, dd, d.path);
    a.set_language("zh-Hant");
    a.set_language("en");  // a second save keeps the one copy
    std::vector<fs::path> aside;
    for (auto& e : fs::directory_iterator(dd))
      if (e.path().filename().string().rfind("settings.json.bad-", 0) == 0) aside.push_back(e.path());
    ASSERT_EQ(aside.size(), 1u) << bad;
    EXPECT_EQ(read_text(aside[0]), bad);
    EXPECT_EQ(json::parse(read_text(dd / "settings.json"))["language"], "en");
    EXPECT_NE(cap.take().find("was kept as"), std::string::npos);
  }
}

TEST(Texts, BothLanguagesHaveTheSameKeys) {
  const auto& t = py_i18n();
  ASSERT_EQ(t.size(), 2u);
  const auto& en = t.at("en");
  const auto& zh = t.at("zh-Hant");
  EXPECT_EQ(en.size(), zh.size());
  for (auto& [k, v] : en) EXPECT_TRUE(zh.count(k)) << k;
  EXPECT_EQ(en.at("info.serial_connected"), "\r\n--- Connected to {com} @ {baud} ---\r\n");
  EXPECT_EQ(en.at("info.flag_toggled"), "─── {action} \"{label}\" ───");
  EXPECT_EQ(zh.at("tray.quit"), "完全退出");
}

TEST(Texts, RenderingRules) {
  EXPECT_EQ(render_text("zh-Hant", "err.conn_fail", {{"err", "timed out"}}), "連線失敗：timed out");
  EXPECT_EQ(render_text("en", "no.such.key", {}), "no.such.key");
  EXPECT_EQ(render_text("en", "err.conn_fail", {}), "Connection failed: {err}");
  // Two placeholders, one value: both stay unfilled.
  EXPECT_EQ(render_text("en", "info.connecting", {{"host", "h"}}), "Connecting to {host}:{port}...");
  EXPECT_EQ(render_text("xx", "tray.show", {}), "Show window");
  EXPECT_EQ(render_text("en", "info.connecting", {{"host", "h"}, {"port", 22}, {"unused", 1}}),
            "Connecting to h:22...");
}

}  // namespace morvane::testing
