#include <sys/stat.h>

#include "core/bridge.h"
#include "app_fixture.h"

namespace morvane::testing {

using SessionStoreTest = AppFixture;

TEST_F(SessionStoreTest, FirstSaveCreatesThePrivateFileWithAFreshId) {
  make_app();
  EXPECT_FALSE(fs::exists(data() / "sessions.json"));
  Json r = app->save_session(Json::parse(R"({"name": "伺服器", "protocol": "ssh", "host": "h", "port": 22})"));
  std::string id = r["id"];
  EXPECT_EQ(id.size(), 32u);
  EXPECT_EQ(r["sessions"].size(), 1u);
  std::string file = read_text(data() / "sessions.json");
  EXPECT_EQ(file, "{\n  \"sessions\": [\n    {\n      \"name\": \"伺服器\",\n      \"protocol\": \"ssh\",\n      \"host\": \"h\",\n"
                  "      \"port\": 22,\n      \"id\": \"" + id + "\"\n    }\n  ]\n}");
  struct stat st {};
  ASSERT_EQ(::stat((data() / "sessions.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SessionStoreTest, ReplaceKeepsPositionEmptyIdAppendsUnknownIdAppends) {
  make_app();
  std::string a = app->save_session(Json::parse(R"({"name": "a"})"))["id"];
  std::string b = app->save_session(Json::parse(R"({"name": "b"})"))["id"];
  Json r = app->save_session(Json::parse(R"({"id": ")" + a + R"(", "name": "a2", "extra": [1]})"));
  EXPECT_EQ(r["sessions"][0]["name"], "a2");
  EXPECT_EQ(r["sessions"][0]["extra"], Json::array({1}));
  EXPECT_EQ(r["sessions"][1]["id"], b);
  r = app->save_session(Json::parse(R"({"id": "", "name": "a2"})"));
  EXPECT_EQ(r["sessions"].size(), 3u);
  EXPECT_NE(r["id"], "");
  r = app->save_session(Json::parse(R"({"id": "custom", "name": "c"})"));
  EXPECT_EQ(r["id"], "custom");
  EXPECT_EQ(r["sessions"][3]["id"], "custom");
  r = app->delete_session(b);
  EXPECT_EQ(r["sessions"].size(), 3u);
  // Reloads as written.
  Json before = app->get_initial_state()["sessions"];
  app.reset();
  make_app();
  EXPECT_EQ(app->get_initial_state()["sessions"], before);
}

TEST_F(SessionStoreTest, RecordsWithoutIdsAreKeptAndNeverMatch) {
  fs::create_directories(data());
  write_text(data() / "sessions.json", R"({"sessions": [{"name": "no id"}, "odd", {"id": "x", "name": "x"}]})");
  make_app();
  Json r = app->save_session(Json::parse(R"({"id": "x", "name": "x2"})"));
  EXPECT_EQ(r["sessions"].size(), 3u);
  EXPECT_EQ(r["sessions"][0], Json::parse(R"({"name": "no id"})"));
  EXPECT_EQ(r["sessions"][1], "odd");
  EXPECT_EQ(r["sessions"][2]["name"], "x2");
  r = app->delete_session("x");
  EXPECT_EQ(r["sessions"].size(), 2u);
}

TEST_F(SessionStoreTest, UnreadableFileIsMovedAsideBeforeTheFirstSave) {
  fs::create_directories(data());
  const std::string broken = "{\"sessions\": [{\"name\": \"precious\"";
  for (const std::string& bad : {broken, std::string(R"({"other": []})"), std::string("\xff\xfe")}) {
    TempDir d;
    fs::path dd = d.path / "data";
    fs::create_directories(dd);
    write_text(dd / "sessions.json", bad);
    CaptureStdout cap;
    MorvaneApp a({}, {}, dd, d.path);
    EXPECT_EQ(a.get_initial_state()["sessions"], Json::array());
    a.save_session(Json::parse(R"({"name": "new"})"));
    std::string out = cap.take();
    EXPECT_EQ(out.rfind("load_sessions: ", 0), 0u) << out;
    EXPECT_NE(out.find("save_sessions: "), std::string::npos) << out;
    int aside = 0;
    for (auto& e : fs::directory_iterator(dd)) {
      std::string name = e.path().filename().string();
      if (name.rfind("sessions.json.bad-", 0) == 0) {
        ++aside;
        EXPECT_EQ(read_text(e.path()), bad);
      }
    }
    EXPECT_EQ(aside, 1);
    EXPECT_EQ(json::parse(read_text(dd / "sessions.json"))["sessions"].size(), 1u);
    // Later saves do not move the good file aside again.
    a.save_session(Json::parse(R"({"name": "newer"})"));
    aside = 0;
    for (auto& e : fs::directory_iterator(dd)) aside += e.path().filename().string().rfind("sessions.json.bad-", 0) == 0;
    EXPECT_EQ(aside, 1);
  }
}

TEST_F(SessionStoreTest, AnEarlierBadCopyIsNeverOverwritten) {
  fs::create_directories(data());
  write_text(data() / "sessions.json", "broken one");
  make_app();
  app->save_session(Json::parse(R"({"name": "x"})"));
  app.reset();
  write_text(data() / "sessions.json", "broken two");
  make_app();
  app->save_session(Json::parse(R"({"name": "y"})"));
  std::set<std::string> contents;
  for (auto& e : fs::directory_iterator(data()))
    if (e.path().filename().string().rfind("sessions.json.bad-", 0) == 0) contents.insert(read_text(e.path()));
  EXPECT_EQ(contents, (std::set<std::string>{"broken one", "broken two"}));
}

TEST_F(SessionStoreTest, WriteFailureIsAnErrorAndTheListStaysAsOnDisk) {
  make_app();
  fs::create_directories(data() / "sessions.json" / "x");
  CaptureStdout cap;
  EXPECT_THROW(app->save_session(Json::parse(R"({"name": "lost"})")), BridgeError);
  EXPECT_EQ(app->get_initial_state()["sessions"].size(), 0u);
  EXPECT_NE(cap.take().find("save_sessions: "), std::string::npos);
}

}  // namespace morvane::testing
