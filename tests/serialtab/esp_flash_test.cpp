// Flashing from an open serial tab: the application with a socat PTY pair whose far end is the
// emulated ESP ROM loader. A PTY has no modem lines, so the reset sequences fail and the board
// is put into download mode by hand, as with its BOOT button; the flasher says so and connects.
#include "../esp/flash_bench.h"
#include "../esp/rom_emulator.h"
#include "app/tab.h"
#include "kinds/serial/esp_flash.h"
#include "peer.h"
#include "serialtab_fixture.h"
#include "stdio_program.h"

namespace morvane::testing {
namespace {

using esp::test::EmulatedRom;
using esp::test::firmware_bytes;
using esp::test::rom_chip;
using EspBytes = esp::test::Bytes;

const Json kOk = {{"ok", true}};

// The board on the far end of a cable: reads what the tab sends, answers as the ROM would.
class Board {
 public:
  // A descriptor of its own: pulling the cable closes the cable's, and the number could be
  // reused by the test (a file it writes) while this thread still reads from it.
  Board(Cable& cable, const std::string& chip) : rom(rom_chip(chip)), fd_(::fcntl(cable.far(), F_DUPFD_CLOEXEC, 0)) {
    if (fd_ < 0) throw std::runtime_error("cannot duplicate the board's descriptor");
    thread_ = std::thread([this] { serve(); });
  }
  ~Board() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  // Holding BOOT while pressing EN: the loader listens.
  void boot_button() {
    std::lock_guard lk(mu);
    rom.enter_download_mode();
  }
  bool flash_holds(uint32_t offset, const EspBytes& data) {
    std::lock_guard lk(mu);
    return offset + data.size() <= rom.flash.size() && std::equal(data.begin(), data.end(), rom.flash.begin() + offset);
  }

  std::mutex mu;
  EmulatedRom rom;
  std::atomic<int> reply_pause_ms{0};  // a slow board: a pause before each answer

 private:
  void serve() {
    uint8_t buf[4096];
    while (!stop_) {
      struct pollfd p{fd_, POLLIN, 0};
      EspBytes out;
      if (::poll(&p, 1, 5) > 0) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
          // Unplugged: the line hangs up and poll answers at once from now on.
          if (!(n < 0 && errno == EAGAIN)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
          continue;
        }
        std::lock_guard lk(mu);
        rom.receive(buf, size_t(n));
      }
      {
        std::lock_guard lk(mu);
        out = rom.take_output();
      }
      if (out.empty()) continue;
      if (int ms = reply_pause_ms.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      size_t done = 0;
      while (done < out.size() && !stop_) {
        ssize_t n = ::write(fd_, out.data() + done, out.size() - done);
        if (n > 0) done += size_t(n);
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class EspFlashTab : public SerialTabFixture {
 protected:
  void SetUp() override {
    MORVANE_REQUIRE_PEER(socat_available(), "socat");
    SerialTabFixture::SetUp();
    cable = std::make_unique<Cable>(dir.path, "esp");
    cable->plug();
    flash().timings.command_timeout_ms = 1500;
  }
  void TearDown() override {
    app.reset();
    board.reset();
    cable.reset();
  }
  kinds::EspFlash& flash() { return serial_kind()->esp_flash(); }
  std::string open_board(const std::string& chip) {
    board = std::make_unique<Board>(*cable, chip);
    std::string tab = open_tab(serial_session(cable->a));
    EXPECT_TRUE(page.wait_for(connected_script(tab)));
    drain_until(tab, "---\r\n");
    board->boot_button();
    return tab;
  }
  std::string write_image(const std::string& name, const EspBytes& data) {
    fs::path p = dir.path / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return p.string();
  }
  std::string end_ok(const std::string& tab) { return info_script(tab, "info.xfer_end_ok", {}); }
  Json start(const std::string& tab, const Json& files, const Json& options = Json::object()) {
    return flash().esp_flash_start(tab, "esp-flash", files, options);
  }
  Json refused(const std::string& key, const TextValues& v = {}) {
    return Json{{"ok", false}, {"reason", app->_t(key, v)}};
  }

  std::unique_ptr<Cable> cable;
  std::unique_ptr<Board> board;
};

TEST_F(EspFlashTab, WritesTwoImagesVerifiesThemAndTheConsoleResumes) {
  const std::string tab = open_board("esp32c3");
  const EspBytes app_image = firmware_bytes(180 * 1024 + 5, 3), table = firmware_bytes(3072, 4);
  Json files = Json::array({{{"path", write_image("app.bin", app_image)}, {"offset", "0X10000"}},
                            {{"path", write_image("partitions.bin", table)}, {"offset", 32768}}});
  ASSERT_EQ((start(tab, files, {{"chip", "esp32c3"}, {"interface", "uart"}, {"compress", true}})), kOk);
  ASSERT_TRUE(page.wait_for(end_ok(tab), 60)) << "flashing did not end well within 60 s";
  EXPECT_TRUE(board->flash_holds(0x10000, app_image));
  EXPECT_TRUE(board->flash_holds(0x8000, table));
  // Progress reached the page in the page's own call form, every stage of an image included.
  const std::string prefix = "if(window.xferOnEvent) xferOnEvent(\"" + tab + "\", {";
  for (const char* stage : {"\"stage\": \"connecting\"", "\"stage\": \"writing\"", "\"stage\": \"verifying\""}) {
    bool seen = false;
    for (const auto& s : page.all()) seen |= s.rfind(prefix, 0) == 0 && s.find(stage) != std::string::npos;
    EXPECT_TRUE(seen) << stage;
  }
  EXPECT_EQ(page.count("\"kind\": \"done\""), 1u);

  // The slot is free again: the board's output reaches the terminal.
  ASSERT_TRUE(cable->write("I (31) boot: ESP-IDF v5.1\r\n"));
  EXPECT_NE(drain_until(tab, "v5.1\r\n").find("I (31) boot: ESP-IDF v5.1\r\n"), std::string::npos);
  EXPECT_FALSE(app->find_tab(tab)->transfer() && !app->find_tab(tab)->transfer()->is_done());

  // What the dialog will be pre-filled with next time, kept in the saved session too.
  EXPECT_EQ(flash().esp_get_session_prefs(tab), (Json{{"esp_interface", "uart"}, {"esp_chip", "esp32c3"}}));
  std::string saved = read_text(data() / "sessions.json");
  EXPECT_NE(saved.find("\"esp_chip\": \"esp32c3\""), std::string::npos) << saved;
}

TEST_F(EspFlashTab, RefusesInOrderAndOnlyOneRunAtATime) {
  const std::string tab = open_board("esp32");
  const std::string image = write_image("fw.bin", firmware_bytes(64 * 1024, 9));
  EXPECT_EQ((start("0000dead", Json::array())), refused("err.tab_not_found"));
  EXPECT_EQ((start(tab, Json::array(), {{"chip", "esp8266"}})), (refused("esp.reason.unknown_chip", {{"chip", "esp8266"}})));
  EXPECT_EQ((start(tab, Json::array())), refused("esp.reason.need_files"));
  EXPECT_EQ((start(tab, Json::array({{{"path", "/fw/dir/app.bin"}, {"offset", "0x1G"}}}))),
            (refused("esp.reason.bad_offset", {{"filename", "app.bin"}, {"offset", "0x1G"}})));
  EXPECT_THROW((start(tab, Json::array({{{"path", image}}}))), std::exception);
  // Nothing refused touched the session.
  EXPECT_EQ(flash().esp_get_session_prefs(tab), (Json{{"esp_interface", "auto"}, {"esp_chip", "auto"}}));

  board->reply_pause_ms = 20;  // slow enough to still be running below
  ASSERT_EQ((start(tab, Json::array({{{"path", image}, {"offset", 0x10000}}}), {{"compress", false}})),
            kOk);
  // Busy is decided before the chip is looked at.
  EXPECT_EQ((start(tab, Json::array({{{"path", image}, {"offset", 0x10000}}}))), refused("esp.reason.busy"));
  EXPECT_EQ((start(tab, Json::array(), {{"chip", "esp8266"}})), refused("esp.reason.busy"));
  EXPECT_EQ(flash().esp_flash_start(tab, "esp-erase-flash", Json(), Json()), refused("esp.reason.busy"));
  ASSERT_TRUE(page.wait_for(end_ok(tab), 60));
  board->reply_pause_ms = 0;
  // Accepted again once "done" went out.
  ASSERT_EQ((start(tab, Json::array({{{"path", image}, {"offset", "0x20000"}}}))), kOk);
  EXPECT_TRUE(eventually([&] { return page.count(end_ok(tab)) == 2; }, 60));
}

TEST_F(EspFlashTab, CancelMidImageEndsTheRunAndGivesTheTerminalBack) {
  const std::string tab = open_board("esp32s3");
  const EspBytes image = firmware_bytes(512 * 1024, 5);
  board->reply_pause_ms = 15;
  ASSERT_EQ((start(tab, Json::array({{{"path", write_image("big.bin", image)}, {"offset", 0x10000}}}),
                  {{"compress", false}, {"chip", "esp32s3"}})),
            kOk);
  // Wait until some of the image is written, then cancel as the page's cancel button does.
  ASSERT_TRUE(eventually(
      [&] {
        for (const auto& s : page.all())
          if (s.find("\"stage\": \"writing\"") != std::string::npos && s.find("\"bytes\": 0,") == std::string::npos)
            return true;
        return false;
      },
      30));
  auto slot = app->find_tab(tab)->transfer();
  ASSERT_TRUE(slot && !slot->is_done());
  slot->cancel();
  ASSERT_TRUE(page.wait_for("File transfer failed: ", 10));
  EXPECT_EQ(page.count(end_ok(tab)), 0u);
  EXPECT_FALSE(board->flash_holds(0x10000, image));
  EXPECT_EQ(app->find_tab(tab)->transfer(), nullptr);
  board->reply_pause_ms = 0;
  ASSERT_TRUE(cable->write("after cancel\r\n"));
  EXPECT_NE(drain_until(tab, "after cancel\r\n").find("after cancel\r\n"), std::string::npos);
}

TEST_F(EspFlashTab, ClosingTheTabCancelsARunningFlash) {
  const std::string tab = open_board("esp32h2");
  board->reply_pause_ms = 15;
  ASSERT_EQ((start(tab, Json::array({{{"path", write_image("fw.bin", firmware_bytes(256 * 1024, 8))}, {"offset", 0x10000}}}),
                   {{"compress", false}})),
            kOk);
  ASSERT_TRUE(page.wait_for("\"stage\": \"writing\"", 30));
  app->close_tab(tab);
  // The run's own thread sends the end; nothing waits on the closed tab.
  ASSERT_TRUE(page.wait_for("File transfer failed: ", 10));
  EXPECT_TRUE(app->wait_threads(10)) << "a flashing thread outlived its tab";
}

TEST_F(EspFlashTab, ErasesTheWholeFlashWithoutFiles) {
  const std::string tab = open_board("esp32c6");
  {
    std::lock_guard lk(board->mu);
    board->rom.has_erase_command = true;
    std::fill(board->rom.flash.begin(), board->rom.flash.begin() + 8192, 0x5A);
  }
  ASSERT_EQ(flash().esp_flash_start(tab, "esp-erase-flash", Json(), Json()), kOk);
  ASSERT_TRUE(page.wait_for(end_ok(tab), 60));
  EXPECT_TRUE(board->flash_holds(0, EspBytes(8192, 0xFF)));
}

TEST_F(EspFlashTab, ALostPortIsRefusedAsNotSerial) {
  std::string tab = open_tab(serial_session((dir.path / "nothere").string()));
  ASSERT_TRUE(page.wait_for(connected_script(tab)));
  EXPECT_EQ((start(tab, Json::array())), refused("esp.reason.not_serial"));
  EXPECT_EQ(flash().esp_get_session_prefs("0000dead"), Json::object());
}

// A pulled adapter: the tab keeps trying to reopen the port, and flashing is refused at once
// instead of starting a run that could only time out.
TEST_F(EspFlashTab, AnUnpluggedBoardIsRefusedWhileTheTabReopens) {
  const std::string tab = open_board("esp32");
  cable->unplug();
  ASSERT_TRUE(page.wait_for(info_script(tab, "info.serial_disconnect", {{"com", cable->a}}), 20));
  EXPECT_EQ((start(tab, Json::array({{{"path", write_image("a.bin", firmware_bytes(4096, 1))}, {"offset", 0}}}))),
            refused("esp.reason.not_serial"));
  EXPECT_EQ(flash().esp_flash_start(tab, "esp-erase-flash", Json(), Json()), refused("esp.reason.not_serial"));
}

TEST(EspFlashOffsets, ReadsTheDialogsForms) {
  using kinds::parse_flash_offset;
  EXPECT_EQ(parse_flash_offset("0x10000"), 65536u);
  EXPECT_EQ(parse_flash_offset("0X10000"), 65536u);
  EXPECT_EQ(parse_flash_offset(4096), 4096u);
  EXPECT_EQ(parse_flash_offset("1000"), 1000u);
  EXPECT_EQ(parse_flash_offset("0xFFFFFFFF"), 0xFFFFFFFFu);
  for (const Json& bad : {Json("0x"), Json("0x100000000"), Json("ten"), Json(-1), Json(1ll << 33), Json(nullptr),
                          Json(true), Json(" 0x10")})
    EXPECT_EQ(parse_flash_offset(bad), std::nullopt) << bad.dump();
}

TEST(EspFlashStdio, TheWholeProgramFlashesAnImageThroughItsSerialTab) {
  MORVANE_REQUIRE_PEER(socat_available(), "socat");
  TempDir dir;
  Cable cable(dir.path, "usb");
  cable.plug();
  Board board(cable, "esp32");
  const EspBytes image = firmware_bytes(96 * 1024 + 1, 21);
  const fs::path file = dir.path / "firmware.bin";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  {
    StdioProgram prog(dir.path / "data", {.env = {}, .err_file = dir.path / "stderr.txt"});
    Json sess = {{"name", "esp32"}, {"protocol", "serial"}, {"host", cable.a}, {"port", 115200}};
    std::string sid = prog.call("save_session", {sess})["id"].get<std::string>();
    std::string tab = prog.call("connect_session", {sid})["tab_id"].get<std::string>();
    ASSERT_TRUE(prog.page_has("terminalConnected(\"" + tab + "\")"));
    prog.read_until(tab, "---\r\n");
    EXPECT_EQ(prog.call("esp_chip_list")[0], (Json{{"key", "esp32"}, {"name", "ESP32"}}));
    EXPECT_EQ((prog.call("esp_file_size", {file.string()})), Json(image.size()));
    EXPECT_EQ((prog.call("esp_guess_offset", {"firmware.bin", "auto"})), Json(0x10000));
    board.boot_button();
    Json r = prog.call("esp_flash_start", {tab, "esp-flash", Json::array({{{"path", file.string()}, {"offset", "0x10000"}}}),
                                           {{"chip", "auto"}}});
    ASSERT_EQ(r, kOk);
    ASSERT_TRUE(prog.page_has("File transfer ended", 60));
    EXPECT_TRUE(board.flash_holds(0x10000, image));
    // The console resumes: what the board says next reaches the tab. The download-mode banner of
    // the reset before the flash may come first, when it reached the tab before the flash took
    // the port (nobody drained the tab meanwhile).
    ASSERT_TRUE(cable.write("console is back\r\n"));
    const std::string after = prog.read_until(tab, "console is back\r\n");
    EXPECT_TRUE(after.ends_with("console is back\r\n")) << after;
    prog.call("close_tab", {tab});
  }
}

}  // namespace
}  // namespace morvane::testing
