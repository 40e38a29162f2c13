// The whole program, end to end: `morvane --stdio` opens a serial tab on a socat PTY, echoes
// both ways, rides out the device vanishing and returning, and answers the reset and port-list
// operations, all through its JSON-line protocol.
#include "serialtab_fixture.h"
#include "peer.h"
#include "stdio_program.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;

using morvane::testing::StdioProgram;

TEST(SerialStdio, ASerialSessionLivesThroughUnpluggingAndAnswersTheResetButtons) {
  MORVANE_REQUIRE_PEER(socat_available(), "socat");
  TempDir dir;
  Cable cable(dir.path, "usb");
  cable.plug();
  const fs::path err_file = dir.path / "stderr.txt";
  {
    StdioProgram prog(dir.path / "data", {.env = {}, .err_file = err_file});
    Json sess = {{"name", "esp32"}, {"protocol", "serial"}, {"host", cable.a}, {"port", 115200}};
    std::string sid = prog.call("save_session", {sess})["id"].get<std::string>();
    std::string tab = prog.call("connect_session", {sid})["tab_id"].get<std::string>();
    ASSERT_TRUE(prog.page_has("terminalConnected(\"" + tab + "\")"));
    EXPECT_EQ(prog.read_until(tab, "---\r\n"), "\r\n--- Connected to " + cable.a + " @ 115200 ---\r\n");

    EXPECT_TRUE(prog.call("send_input", {tab, "AT+GMR\r\n"}).get<bool>());
    EXPECT_EQ(cable.read(8), "AT+GMR\r\n");
    ASSERT_TRUE(cable.write("OK ✓\r\n"));
    EXPECT_EQ(prog.read_until(tab, "\r\n"), "OK ✓\r\n");

    // The buttons: a PTY has no modem lines, so the sequence fails in its worker and is
    // logged; the operation itself only says it was dispatched.
    EXPECT_TRUE(prog.call("hard_reset_esp", {tab}).get<bool>());
    EXPECT_TRUE(prog.call("enter_bootloader_esp", {tab}).get<bool>());
    EXPECT_FALSE(prog.call("hard_reset_esp", {"00000000"}).get<bool>());
    Json ports = prog.call("serial_list_ports");
    EXPECT_TRUE(ports.is_array());
    // The sequences run in workers: let both finish on the port before it goes away.
    for (int i = 0; i < 100; ++i) {
      std::string so_far = read_text(err_file);
      if (so_far.find("[esp_reset:hard_reset] modem ctrl failed") != std::string::npos &&
          so_far.find("[esp_reset:enter_bootloader] modem ctrl failed") != std::string::npos)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    cable.unplug();
    ASSERT_TRUE(prog.page_has("Serial port " + cable.a + " disconnected, waiting to reconnect..."));
    Json state = prog.call("get_runtime_state");
    EXPECT_FALSE(state["tabs"][0]["alive"].get<bool>());
    EXPECT_EQ(state["session_status"][sid], "offline");
    EXPECT_FALSE(prog.call("hard_reset_esp", {tab}).get<bool>());

    cable.plug();
    ASSERT_TRUE(prog.page_has("Reconnected to " + cable.a + " @ 115200"));
    ASSERT_TRUE(cable.write("rst:0x1 (POWERON)\r\n"));
    EXPECT_EQ(prog.read_until(tab, "\r\n"), "rst:0x1 (POWERON)\r\n");
    EXPECT_TRUE(prog.call("send_input", {tab, "again"}).get<bool>());
    EXPECT_EQ(cable.read(5), "again");
    EXPECT_TRUE(prog.call("get_runtime_state")["tabs"][0]["alive"].get<bool>());

    prog.call("close_tab", {tab});
  }
  std::string err = read_text(err_file);
  EXPECT_NE(err.find("[esp_reset:hard_reset] dispatching to worker thread\n"), std::string::npos) << err;
  EXPECT_NE(err.find("[esp_reset:hard_reset] modem ctrl failed: EscapeCommFunction err=25, DeviceIoControl err=25\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[esp_reset:enter_bootloader] modem ctrl failed: "), std::string::npos);
  EXPECT_NE(err.find("[esp_reset:hard_reset] tab 00000000 not found\n"), std::string::npos);
  EXPECT_NE(err.find("[esp_reset:hard_reset] ser=None open=None\n"), std::string::npos);
  EXPECT_NE(err.find("[serial] too many errors, will try to reopen\n"), std::string::npos);
  EXPECT_NE(err.find("[serial] reader loop ended (total "), std::string::npos);
}

}  // namespace
}  // namespace morvane::testing
