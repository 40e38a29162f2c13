// Serial tabs on real PTY pairs made by socat: bytes both ways, encodings, unplugging and
// plugging back, a device that appears late, and closing a tab while it waits.
#include <random>

#include "serialtab_fixture.h"
#include "peer.h"
#include "util/encoding.h"

namespace morvane::testing {
namespace {

class SerialTabPty : public SerialTabFixture {
 protected:
  void SetUp() override {
    MORVANE_REQUIRE_PEER(socat_available(), "socat");
    SerialTabFixture::SetUp();
    cable = std::make_unique<Cable>(dir.path, "tty");
  }
  void TearDown() override {
    app.reset();
    cable.reset();
  }
  std::unique_ptr<Cable> cable;
};

// Text mixing one- to four-byte characters, so reads of any size cut some of them.
std::string mixed_text(size_t bytes) {
  static const char* pieces[] = {"a", "bc ", "é", "ü", "中", "文", "😀", "\r\n", "─", "0123456789", "ß"};
  std::mt19937 rng(7);
  std::string out;
  while (out.size() < bytes) out += pieces[rng() % std::size(pieces)];
  return out;
}

TEST_F(SerialTabPty, CarriesBytesBothWaysAfterTheConnectedLine) {
  cable->plug();
  std::string tab = open_tab(serial_session("  " + cable->a + " "));
  ASSERT_TRUE(page.wait_for(connected_script(tab)));
  EXPECT_EQ(page.count(info_script(tab, "info.serial_opening", {{"com", cable->a}, {"baud", 115200}})), 1u);
  std::string shown = drain_until(tab, "---\r\n");
  EXPECT_EQ(shown, connected_line(cable->a, 115200));

  ASSERT_TRUE(app->send_input(tab, "héllo 中文\r"));
  EXPECT_EQ(cable->read(std::string("héllo 中文\r").size()), "héllo 中文\r");

  ASSERT_TRUE(cable->write("board says é\r\n"));
  EXPECT_EQ(drain_until(tab, "\r\n"), "board says é\r\n");
  EXPECT_TRUE(app->get_runtime_state()["tabs"][0]["alive"].get<bool>());
  EXPECT_EQ(app->resize_pty(tab, 40, 100), false);  // a serial line has no window size
}

TEST_F(SerialTabPty, AFastStreamWithCutCharactersArrivesWhole) {
  cable->plug();
  std::string tab = open_tab(serial_session(cable->a, {{"port", 921600}}));
  ASSERT_TRUE(page.wait_for(connected_script(tab)));
  drain_until(tab, "---\r\n");
  const std::string text = mixed_text(4 << 20);
  // Odd-sized writes cut characters at the far end too.
  std::thread writer([&] {
    for (size_t at = 0; at < text.size(); at += 4093) ASSERT_TRUE(cable->write(text.substr(at, 4093)));
  });
  std::string got = drain_size(tab, text.size(), 60);
  writer.join();
  ASSERT_EQ(got.size(), text.size());
  EXPECT_TRUE(got == text) << "first difference at byte "
                           << std::mismatch(got.begin(), got.end(), text.begin()).first - got.begin();

  // And the other way, as fast as the page can type.
  const std::string typed = mixed_text(256 << 10);
  std::string echoed;
  std::thread reader([&] { echoed = cable->read(typed.size(), 60); });
  for (size_t at = 0; at < typed.size();) {
    size_t n = std::min<size_t>(1000, typed.size() - at);
    while (n > 0 && (static_cast<unsigned char>(typed[at + n]) & 0xC0) == 0x80) --n;  // whole characters
    ASSERT_TRUE(app->send_input(tab, typed.substr(at, n)));
    at += n;
  }
  reader.join();
  EXPECT_TRUE(echoed == typed) << echoed.size() << " of " << typed.size() << " bytes arrived";
}

TEST_F(SerialTabPty, UsesTheTabsEncodingBothWays) {
  cable->plug();
  std::string tab = open_tab(serial_session(cable->a, {{"line_code_page", "Shift_JIS"}}));
  ASSERT_TRUE(page.wait_for(connected_script(tab)));
  drain_until(tab, "---\r\n");
  ASSERT_TRUE(app->send_input(tab, "日本語 ok"));
  const std::string sjis = encoding::encode("日本語 ok", "shift_jis");
  ASSERT_EQ(sjis.size(), 9u);
  EXPECT_EQ(cable->read(sjis.size()), sjis);

  const std::string board = encoding::encode("テスト\r\n", "shift_jis");
  // A character cut between two deliveries is shown once, whole.
  ASSERT_TRUE(cable->write(board.substr(0, 3)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(cable->write(board.substr(3)));
  EXPECT_EQ(drain_until(tab, "\r\n"), "テスト\r\n");
}

TEST_F(SerialTabPty, SurvivesUnpluggingAndReconnectsUnderTheSameName) {
  cable->plug();
  std::string tab = open_tab(serial_session(cable->a));
  ASSERT_TRUE(page.wait_for(connected_script(tab)));
  drain_until(tab, "---\r\n");
  // The first byte of a two-byte character, cut off by the loss.
  ASSERT_TRUE(cable->write("X\xC3"));
  EXPECT_EQ(drain_until(tab, "X"), "X");
  std::string sid = app->get_runtime_state()["tabs"][0]["session_id"].get<std::string>();

  cable->unplug();
  const std::string lost = info_script(tab, "info.serial_disconnect", {{"com", cable->a}});
  ASSERT_TRUE(page.wait_for(lost, 20));
  EXPECT_FALSE(port(tab));
  Json state = app->get_runtime_state();
  EXPECT_FALSE(state["tabs"][0]["alive"].get<bool>());
  EXPECT_EQ(state["session_status"][sid], "offline");
  EXPECT_FALSE(app->send_input(tab, "lost"));

  cable->plug();
  const std::string back = info_script(tab, "info.serial_reconnected", {{"com", cable->a}, {"baud", 115200}});
  ASSERT_TRUE(page.wait_for(back, 20));
  EXPECT_EQ(page.count(lost), 1u);
  EXPECT_EQ(page.count(back), 1u);
  state = app->get_runtime_state();
  EXPECT_TRUE(state["tabs"][0]["alive"].get<bool>());
  EXPECT_EQ(state["session_status"][sid], "online");
  // A fresh decoder: the stray lead byte from before is not glued to what follows.
  ASSERT_TRUE(cable->write("A\r\n"));
  EXPECT_EQ(drain_until(tab, "\r\n"), "A\r\n");
  ASSERT_TRUE(app->send_input(tab, "again"));
  EXPECT_EQ(cable->read(5), "again");
  // The tab never asked to be closed and was never reported as ended.
  EXPECT_EQ(page.count(app->_t("info.connection_ended")), 0u);
}

TEST_F(SerialTabPty, ATabStartedWithoutItsDevicePicksItUpWhenItAppears) {
  std::string tab = open_tab(serial_session(cable->a));
  ASSERT_TRUE(page.wait_for(connected_script(tab)));
  ASSERT_TRUE(page.wait_for("Failed to open serial port: CreateFile failed for " + cable->a));
  EXPECT_EQ(page.count(", true)"), 1u);  // the failure, shown as an error
  ASSERT_TRUE(page.wait_for(info_script(tab, "info.serial_disconnect", {{"com", cable->a}})));
  EXPECT_FALSE(app->get_runtime_state()["tabs"][0]["alive"].get<bool>());
  EXPECT_FALSE(app->send_input(tab, "nobody there"));

  cable->plug();
  ASSERT_TRUE(page.wait_for(info_script(tab, "info.serial_reconnected", {{"com", cable->a}, {"baud", 115200}}), 20));
  ASSERT_TRUE(cable->write("hello\n"));
  EXPECT_EQ(drain_until(tab, "\n"), "hello\n");
  ASSERT_TRUE(app->send_input(tab, "hi"));
  EXPECT_EQ(cable->read(2), "hi");
}

TEST_F(SerialTabPty, AnEditedPortNameIsUsedAtTheNextAttempt) {
  Json sess = serial_session(dir.path.string() + "/nothing-here");
  std::string sid = app->save_session(sess)["id"].get<std::string>();
  std::string tab = app->connect_session(sid)["tab_id"].get<std::string>();
  ASSERT_TRUE(page.wait_for(info_script(tab, "info.serial_disconnect", {{"com", dir.path.string() + "/nothing-here"}})));
  cable->plug();
  sess["id"] = sid;
  sess["host"] = cable->a;
  sess["port"] = 57600;
  app->save_session(sess);
  // The notice names the port that opened, not the one the tab started with.
  ASSERT_TRUE(page.wait_for(info_script(tab, "info.serial_reconnected", {{"com", cable->a}, {"baud", 57600}}), 20));
  ASSERT_TRUE(cable->write("edited\n"));
  EXPECT_EQ(drain_until(tab, "\n"), "edited\n");
}

TEST_F(SerialTabPty, ClosingTheTabWhileItWaitsEndsItsThreadPromptly) {
  std::string tab = open_tab(serial_session(cable->a));
  ASSERT_TRUE(page.wait_for(info_script(tab, "info.serial_disconnect", {{"com", cable->a}})));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well inside a 2 s pause
  ASSERT_EQ(app->live_threads(), 1u);
  app->close_tab(tab);
  // Due within 0.1 s; the margin only keeps a loaded machine from failing the test.
  EXPECT_TRUE(app->wait_threads(1.5));
}

TEST_F(SerialTabPty, ClosingAConnectedTabReleasesThePortAndTheThread) {
  cable->plug();
  std::string tab = open_tab(serial_session(cable->a));
  ASSERT_TRUE(page.wait_for(connected_script(tab)));
  ASSERT_TRUE(eventually([&] { return port(tab) != nullptr; }));
  auto held = port(tab);
  app->close_tab(tab);
  EXPECT_FALSE(held->is_open());
  EXPECT_TRUE(app->wait_threads(1.5));
  EXPECT_EQ(page.count(app->_t("info.serial_disconnect", {{"com", cable->a}})), 0u);
}

}  // namespace
}  // namespace morvane::testing
