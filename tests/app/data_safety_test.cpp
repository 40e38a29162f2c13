// Hostile values, broken files and a full disk: nothing crashes, and no failed save is
// passed off as success.
#include <sys/stat.h>

#include "core/bridge.h"
#include "app_fixture.h"
#include "small_disk.h"

namespace morvane::testing {

using DataSafety = AppFixture;

static std::string nested_array(int n) { return std::string(n, '[') + std::string(n, ']'); }

static std::string bridge_error(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const BridgeError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST_F(DataSafety, DeepStateFilesAreUnreadableNotACrash) {
  fs::create_directories(data());
  const std::string deep_sessions = R"({"sessions": [{"name": "x", "v": )" + nested_array(100000) + "}]}";
  write_text(data() / "sessions.json", deep_sessions);
  write_text(data() / "settings.json", R"({"language": "zh-Hant", "v": )" + nested_array(100000) + "}");
  CaptureStdout cap;
  make_app();
  std::string out = cap.take();
  EXPECT_NE(out.find("load_sessions: JSON nested deeper"), std::string::npos) << out;
  EXPECT_NE(out.find("load_settings: JSON nested deeper"), std::string::npos) << out;
  EXPECT_EQ(app->get_initial_state()["sessions"], Json::array());
  EXPECT_EQ(app->settings.language(), "en");
  // The broken file is kept for the user, not overwritten.
  app->save_session(Json::parse(R"({"name": "new"})"));
  int aside = 0;
  for (auto& e : fs::directory_iterator(data()))
    if (e.path().filename().string().rfind("sessions.json.bad-", 0) == 0) {
      ++aside;
      EXPECT_EQ(read_text(e.path()), deep_sessions);
    }
  EXPECT_EQ(aside, 1);
}

TEST_F(DataSafety, StoredRecordsAreShallowSoTheFileStaysProportional) {
  make_app();
  auto rec = [](int depth) {
    // depth 1 is the record itself.
    return Json::parse(R"({"name": "n", "v": )" + nested_array(depth - 1) + "}");
  };
  std::string id = app->save_session(rec(json::kRecordDepth))["id"];
  size_t ok_size = fs::file_size(data() / "sessions.json");
  std::string err = bridge_error([&] { app->save_session(rec(json::kRecordDepth + 1)); });
  EXPECT_EQ(err, "The session holds values nested deeper than 8 levels");
  err = bridge_error([&] { app->save_session(rec(5000)); });
  EXPECT_NE(err.find("nested deeper"), std::string::npos);
  EXPECT_EQ(fs::file_size(data() / "sessions.json"), ok_size);
  EXPECT_LT(ok_size, 1000u);
  EXPECT_EQ(app->get_initial_state()["sessions"].size(), 1u);
  app->set_language("zh-Hant");
  EXPECT_EQ(bridge_error([&] { app->save_session(rec(9)); }), "連線設定含有超過 8 層的巢狀值");
  // Real records (forwarding rules, environment pairs) are well inside the limit.
  Json real = Json::parse(R"({"id": ")" + id + R"(", "port_forwards": [{"type": "L", "spec": "1:h:2"}],
                              "telnet_env": [{"key": "A", "value": "b"}], "ssh_bugs": {"x": "on"}})");
  EXPECT_EQ(app->save_session(real)["sessions"][0]["port_forwards"][0]["spec"], "1:h:2");
}

TEST_F(DataSafety, SessionIdsThatAreNotTextAreRefused) {
  make_app();
  for (const char* bad : {R"({"id": 12345})", R"({"id": true})", R"({"id": {"a": 1}})", R"({"id": [1]})"}) {
    EXPECT_EQ(bridge_error([&] { app->save_session(Json::parse(bad)); }), "A session id must be text") << bad;
  }
  EXPECT_EQ(app->get_initial_state()["sessions"], Json::array());
  EXPECT_FALSE(fs::exists(data() / "sessions.json"));
  // Falsy ids still mean "new record".
  EXPECT_EQ(app->save_session(Json::parse(R"({"id": 0})"))["id"].get<std::string>().size(), 32u);
}

TEST_F(DataSafety, WriteFailuresAreErrorsAndMemoryMatchesTheFile) {
  make_app();
  std::string keep = app->save_session(Json::parse(R"({"name": "kept"})"))["id"];
  fs::remove(data() / "sessions.json");
  fs::create_directories(data() / "sessions.json" / "x");  // a directory where the file goes
  CaptureStdout cap;
  std::string err = bridge_error([&] { app->save_session(Json::parse(R"({"name": "lost"})")); });
  EXPECT_EQ(err.rfind("sessions.json could not be saved: ", 0), 0u) << err;
  EXPECT_EQ(bridge_error([&] { app->delete_session(keep); }).rfind("sessions.json could not be saved: ", 0), 0u);
  Json list = app->get_initial_state()["sessions"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "kept");
  EXPECT_NE(cap.take().find("save_sessions: "), std::string::npos);
}

TEST_F(DataSafety, MalformedStatusItemsAreSkippedAtOnceAndTheTableIsBounded) {
  auto q = std::make_shared<LauncherQueue>();
  make_app({{"get_receipt", q}});
  std::string saved = app->save_session(Json::parse(R"({"name": "s"})"))["id"];
  CaptureStdout cap;
  app->spawn_daemon([a = app.get()] { a->_poll_queue(); });
  for (int i = 0; i < 30; ++i) q->put_nowait(Json::parse(R"({"type": "ping_results", "results": [{"nope": 1}]})"));
  q->put_nowait(Json::parse(R"({"type": "ping_results", "results": [{"id": "good", "online": true}]})"));
  // Thirty bad items used to cost a second each.
  EXPECT_TRUE(eventually([&] { return app->session_status_snapshot().count("good") == 1; }, 3));
  Json many = Json::array();
  for (int i = 0; i < 6000; ++i) many.push_back({{"id", "x" + std::to_string(i)}, {"online", true}});
  app->_apply_status_item({{"type", "ping_results"}, {"results", many}});
  EXPECT_LE(app->session_status_snapshot().size(), 4096u);
  app->_apply_status_item(Json::parse(R"({"type": "ping_results", "results": [{"id": ")" + saved + R"(", "online": true}]})"));
  auto st = app->session_status_snapshot();
  EXPECT_EQ(st[saved], "online");
  EXPECT_LE(st.size(), 4096u);
}

struct FullDisk : AppFixture {
  void start(const std::string& options) {
    disk = std::make_unique<SmallDisk>(data(), options);
  }
  std::unique_ptr<SmallDisk> disk;
  void TearDown() override {
    app.reset();
    disk.reset();
  }
};

TEST_F(FullDisk, SavesOnAFullDiskFailInTheUiLanguageAndNothingChanges) {
  start("size=256k");
  REQUIRE_MOUNTED(*disk);
  make_app();
  std::string a = app->save_session(Json::parse(R"({"name": "a"})"))["id"];
  app->set_language("zh-Hant");
  const std::string file_before = read_text(data() / "sessions.json");
  disk->fill();
  CaptureStdout cap;
  EXPECT_EQ(bridge_error([&] { app->save_session(Json::parse(R"({"name": "b"})")); }), "無法儲存 sessions.json：磁碟已滿");
  EXPECT_EQ(bridge_error([&] { app->save_session(Json::parse(R"({"id": ")" + a + R"(", "name": "a2"})")); }),
            "無法儲存 sessions.json：磁碟已滿");
  EXPECT_EQ(bridge_error([&] { app->delete_session(a); }), "無法儲存 sessions.json：磁碟已滿");
  EXPECT_EQ(bridge_error([&] { app->set_language("en"); }), "無法儲存 settings.json：磁碟已滿");
  EXPECT_EQ(app->settings.language(), "zh-Hant");
  Json list = app->get_initial_state()["sessions"];
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "a");
  EXPECT_EQ(read_text(data() / "sessions.json"), file_before);
  // After a restart the user finds what the page showed.
  app.reset();
  make_app();
  EXPECT_EQ(app->get_initial_state()["sessions"], list);
  EXPECT_EQ(app->settings.language(), "zh-Hant");
  // Space again: saving works.
  fs::remove(data() / "filler");
  EXPECT_EQ(app->save_session(Json::parse(R"({"name": "b"})"))["sessions"].size(), 2u);
  EXPECT_EQ(app->set_language("en")["language"], "en");
}

TEST_F(FullDisk, NoFreeInodesIsAFailedSaveToo) {
  start("size=1m,nr_inodes=24");
  REQUIRE_MOUNTED(*disk);
  make_app();
  app->save_session(Json::parse(R"({"name": "a"})"));
  disk->fill(true);
  std::string err = bridge_error([&] { app->save_session(Json::parse(R"({"name": "b"})")); });
  EXPECT_EQ(err, "sessions.json could not be saved: the disk is full");
  EXPECT_EQ(app->get_initial_state()["sessions"].size(), 1u);
}

TEST_F(FullDisk, StartingInAReadOnlyDataFolderSaysSo) {
  start("size=256k");
  REQUIRE_MOUNTED(*disk);
  ASSERT_TRUE(disk->remount_read_only());
  CaptureStdout cap;
  make_app();
  std::string out = cap.take();
  EXPECT_NE(out.find("cannot be written"), std::string::npos) << out;
  EXPECT_NE(out.find("changes will not be saved"), std::string::npos) << out;
  EXPECT_EQ(bridge_error([&] { app->save_session(Json::parse(R"({"name": "b"})")); }),
            "sessions.json could not be saved: the data folder is read-only");
}

}  // namespace morvane::testing
