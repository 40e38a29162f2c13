// End to end through the program's stdio host: sz in a local-shell tab is received into the
// downloads folder, and the page hears of it through xferOnEvent.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "stdio_program.h"
#include "transfer_fixture.h"

namespace morvane::testing {

using namespace morvane::xfertest;

TEST(StdioTransfer, SzInALocalShellTabLandsInTheDownloadsFolder) {
  MORVANE_REQUIRE_PEER(have_lrzsz(), "lrzsz (sz/rz)");
  char tmpl[] = "/tmp/morvane-xfer-XXXXXX";
  fs::path root = mkdtemp(tmpl);
  std::string body = nasty_bytes(70000, 21);
  write_file(root / "ü.bin", body);
  {
    StdioProgram p(root / "data");
    Json s = p.call("save_session", {Json({{"protocol", "conpty"}, {"conpty_shell", "sh"}, {"conpty_cwd", root.string()}})});
    std::string tab = p.call("connect_session", {s["id"]})["tab_id"].get<std::string>();
    ASSERT_TRUE(p.page_has("terminalConnected(\"" + tab + "\")"));
    p.call("send_input", {tab, "sz -b ü.bin\r"});
    ASSERT_TRUE(p.page_has("if(window.xferOnEvent) xferOnEvent(\"" + tab + "\", {\"kind\": \"done\", \"ok\": true})", 60));
    EXPECT_GE(p.page_count("xferOnEvent(\"" + tab + "\", {\"kind\": \"file\", \"file\": \"ü.bin\""), 1u);
    EXPECT_EQ(read_file(root / "data" / "downloads" / "ü.bin"), body);
    EXPECT_EQ(p.call("xfer_status", {tab}), Json({{"active", false}}));
    p.call("send_input", {tab, "echo X$((1+1))Y\r"});
    EXPECT_NE(p.read_until(tab, "X2Y").find("X2Y"), std::string::npos);
  }
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace morvane::testing
