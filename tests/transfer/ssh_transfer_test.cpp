// Transfers inside an SSH tab to the test sshd: sz on the server is received automatically,
// a file sent from the tab reaches rz on the server.
#include "ssh_app_fixture.h"
#include "transfer_fixture.h"

namespace morvane::sshtest {

using namespace morvane::xfertest;

TEST_F(SshTabTest, ZmodemBothWaysOverAnSshTab) {
  MORVANE_REQUIRE_PEER(have_lrzsz(), "lrzsz (sz/rz)");
  fs::path work = dir.path / "remote";
  fs::create_directories(work / "in");
  std::string up = nasty_bytes(200000, 11), down = nasty_bytes(150001, 12);
  write_file(work / "down file.bin", down);
  write_file(dir.path / "up.bin", up);
  std::string tab = open(session());
  ASSERT_TRUE(connected(tab)) << page.dump();
  run_command(tab, "cd '" + work.string() + "'");

  app->send_input(Json(tab), Json("sz -b 'down file.bin'\r"));
  ASSERT_TRUE(page.wait_for(info(tab, app->_t("info.xfer_end_ok"), false), 60)) << page.dump().substr(0, 4000);
  EXPECT_EQ(page.count(info(tab, app->_t("info.zmodem_detected"), false)), 1u);
  EXPECT_EQ(page.count("if(window.xferOnEvent) xferOnEvent(\"" + tab + "\", {\"kind\": \"done\", \"ok\": true})"), 1u);
  EXPECT_EQ(xfertest::read_file(data() / "downloads" / "down file.bin"), down);
  run_command(tab, "true", 7);

  app->send_input(Json(tab), Json("cd in && rz\r"));
  read_until(tab, "waiting to receive");
  Json r = app->bridge.call("xfer_start", Json::array({tab, "zmodem", "send", Json::array({(dir.path / "up.bin").string()})}));
  EXPECT_EQ(r, Json({{"ok", true}, {"save_dir", nullptr}}));
  ASSERT_TRUE(eventually([&] { return page.count(info(tab, app->_t("info.xfer_end_ok"), false)) == 2; }, 60));
  EXPECT_EQ(xfertest::read_file(work / "in" / "up.bin"), up);
  EXPECT_EQ(events_of(page.all(), tab).back(), Json({{"kind", "done"}, {"ok", true}}));
  run_command(tab, "true", 8);
  app->close_tab(Json(tab));
  EXPECT_TRUE(nothing_left());
}

}  // namespace morvane::sshtest
