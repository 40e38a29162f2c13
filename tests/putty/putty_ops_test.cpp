// The two page calls of the PuTTY import, through the bridge as the page makes them.
#include "app_fixture.h"

namespace morvane::testing {
namespace {

struct PuttyImportTest : AppFixture {
  TempDir store;
  void SetUp() override { ::setenv("PUTTYDIR", store.path.c_str(), 1); }
  void TearDown() override {
    ::unsetenv("PUTTYDIR");
    AppFixture::TearDown();
  }
  void put(const std::string& file, const std::string& body) {
    fs::create_directories(store.path / "sessions");
    write_text(store.path / "sessions" / file, body);
  }
  Json saved() { return json::parse(read_text(app->SESSIONS_FILE))["sessions"]; }
};

TEST_F(PuttyImportTest, ListedRecordsImportInOrderAndAreSavedOnce) {
  make_app();
  EXPECT_EQ(app->bridge.call("import_list_from_putty", Json::array()), Json::array());
  put("web%20server", "HostName=web.lan\nPortNumber=2222\nProtocol=ssh\nCompression=1\n");
  put("console", "Protocol=serial\nSerialLine=/dev/ttyUSB0\nSerialSpeed=115200\nPortNumber=9600\n");
  // Read again on every call: the new files show at once.
  Json list = app->bridge.call("import_list_from_putty", Json::array());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["name"], "console");
  EXPECT_EQ(list[1]["name"], "web server");

  app->save_session(Json{{"name", "mine"}, {"host", "x"}});
  Json pick = Json::array({list[1], list[0]});
  Json r = app->bridge.call("import_putty_sessions", Json::array({pick}));
  ASSERT_EQ(r["sessions"].size(), 3u);
  EXPECT_EQ(r["sessions"][0]["name"], "mine");
  EXPECT_EQ(r["sessions"][1]["name"], "web server");
  EXPECT_EQ(r["sessions"][1]["port"], 2222);
  EXPECT_EQ(r["sessions"][1]["compression"], true);
  EXPECT_EQ(r["sessions"][2]["protocol"], "serial");
  EXPECT_EQ(r["sessions"][2]["host"], "/dev/ttyUSB0");
  EXPECT_EQ(r["sessions"][2]["port"], 9600);
  EXPECT_EQ(saved(), r["sessions"]);

  // The same PuTTY session twice gives two records with their own ids.
  r = app->bridge.call("import_putty_sessions", Json::array({Json::array({list[1]})}));
  ASSERT_EQ(r["sessions"].size(), 4u);
  EXPECT_EQ(r["sessions"][3]["name"], "web server");
  EXPECT_NE(r["sessions"][3]["id"], r["sessions"][1]["id"]);
}

TEST_F(PuttyImportTest, AnEmptySelectionStillSavesTheList) {
  make_app();
  EXPECT_FALSE(fs::exists(app->SESSIONS_FILE));
  Json r = app->bridge.call("import_putty_sessions", Json::array({Json::array()}));
  EXPECT_EQ(r, (Json{{"sessions", Json::array()}}));
  EXPECT_EQ(saved(), Json::array());
}

TEST_F(PuttyImportTest, TheDefaultNameFollowsTheLanguage) {
  make_app();
  app->set_language("zh-Hant");
  Json r = app->import_putty_sessions(Json::array({Json{{"name", ""}, {"HostName", "h"}}}));
  EXPECT_EQ(r["sessions"][0]["name"], "從 PuTTY 匯入");
  app->set_language("en");
  r = app->import_putty_sessions(Json::array({Json{{"HostName", "h"}}}));
  EXPECT_EQ(r["sessions"][1]["name"], "Imported from PuTTY");
}

TEST_F(PuttyImportTest, ABadRecordFailsTheCallAndKeepsWhatCameBefore) {
  make_app();
  Json bad = Json::array({Json{{"name", "first"}}, Json("not a record"), Json{{"name", "after"}}});
  EXPECT_THROW(app->bridge.call("import_putty_sessions", Json::array({bad})), std::exception);
  // The record before the bad one is in the list and reaches the file with the next save.
  Json list = app->sessions.list_json();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "first");
  app->save_session(Json{{"name", "next"}});
  EXPECT_EQ(saved().size(), 2u);
  EXPECT_THROW(app->bridge.call("import_putty_sessions", Json::array({Json{{"name", "x"}}})), std::exception);
}

}  // namespace
}  // namespace morvane::testing
