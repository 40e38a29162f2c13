// The flasher against the emulated ROM loader: images written to every chip of the table and
// compared byte for byte, erasing, the reset paths, refusals before anything is written, and
// loaders that lose, damage or never send frames.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

#include "esp/image_codec.h"
#include "flash_bench.h"

using namespace morvane::esp;
using namespace morvane::esp::test;
using morvane::Json;

namespace {

struct Written {
  uint32_t offset;
  Bytes data;
};

// Each image at its place; every byte outside the erased sectors as it was before.
void expect_flash(const EmulatedRom& rom, const Bytes& before, const std::vector<Written>& images) {
  std::vector<bool> touched(rom.flash.size());
  for (const auto& w : images) {
    ASSERT_LE(w.offset + w.data.size(), rom.flash.size());
    EXPECT_TRUE(std::equal(w.data.begin(), w.data.end(), rom.flash.begin() + w.offset))
        << "image at " << w.offset << " differs";
    uint64_t end = (w.offset + w.data.size() + 4095) / 4096 * 4096;
    for (uint64_t i = w.offset; i < end; ++i) touched[i] = true;
  }
  size_t changed = 0;
  for (size_t i = 0; i < rom.flash.size(); ++i)
    if (!touched[i] && rom.flash[i] != before[i]) ++changed;
  EXPECT_EQ(changed, 0u) << "bytes changed outside the images";
}

std::vector<std::string> stages_of(const std::vector<Json>& events, const std::string& file) {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e["kind"] == "progress" && e.value("file", "") == file) {
      std::string s = e["stage"];
      if (out.empty() || out.back() != s) out.push_back(s);
    }
  return out;
}

}  // namespace

class EspFlashEveryChip : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

TEST_P(EspFlashEveryChip, writes_and_verifies_several_images) {
  auto [key, compress] = GetParam();
  const ChipInfo& chip = *find_chip(key);
  FlashBench bench(rom_chip(key));
  Bytes before = bench.rom.flash;
  std::vector<Written> images{
      {chip.bootloader_offset, firmware_bytes(18 * 1024 + 77, 1)},
      {0x8000, firmware_bytes(3072, 2)},
      {0x10000, firmware_bytes(300 * 1024 + 5, 3)},
      {0x290000, firmware_bytes(8 * 1024, 4)},  // exactly eight blocks
  };
  const char* names[] = {"bootloader.bin", "partition-table.bin", "app.bin", "spiffs.bin"};
  std::vector<FlashFile> files;
  for (size_t i = 0; i < images.size(); ++i) {
    auto guessed = guess_offset_for(names[i], key);
    ASSERT_EQ(guessed, images[i].offset) << names[i];
    files.push_back({bench.write_file(names[i], images[i].data), *guessed});
  }
  FlasherOptions o;
  o.chip = "auto";
  o.compress = compress;
  bench.make("esp-flash", files, o);
  ASSERT_TRUE(bench.run()) << "did not finish";
  ASSERT_TRUE(bench.done_event());
  EXPECT_TRUE((*bench.done_event())["ok"].get<bool>()) << bench.reason();
  EXPECT_EQ(bench.done_count(), 1);
  EXPECT_EQ(bench.flasher->detected_chip(), key);
  expect_flash(bench.rom, before, images);
  EXPECT_EQ(bench.rom.spi_flash_size, 4u << 20);
  EXPECT_EQ(bench.hard_resets, 1);  // the final reset runs the new firmware
  EXPECT_FALSE(bench.rom.in_download);
  uint8_t data_op = compress ? 0x11 : 0x03;
  EXPECT_NE(std::find(bench.rom.ops.begin(), bench.rom.ops.end(), data_op), bench.rom.ops.end());
  for (const char* n : names)
    EXPECT_EQ(stages_of(bench.events, n), (std::vector<std::string>{"erasing", "writing", "verifying"})) << n;
  // The last writing event of the app reports the whole image.
  uint64_t last = 0, total = 0;
  for (const auto& e : bench.events)
    if (e.value("file", "") == "app.bin" && e.value("stage", "") == "writing") {
      EXPECT_GE(e["bytes"].get<uint64_t>(), last);
      last = e["bytes"];
      total = e["total"];
    }
  EXPECT_EQ(last, images[2].data.size());
  EXPECT_EQ(total, images[2].data.size());
  EXPECT_EQ(bench.sent_after_done, 0u);
}

INSTANTIATE_TEST_SUITE_P(AllChips, EspFlashEveryChip,
                         ::testing::Combine(::testing::Values("esp32", "esp32s2", "esp32s3", "esp32c2", "esp32c3",
                                                              "esp32c6", "esp32h2"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) + (std::get<1>(info.param) ? "_deflate" : "_raw");
                         });

TEST(EspFlasher, compressed_writing_sends_fewer_blocks_for_firmware) {
  Bytes img = firmware_bytes(256 * 1024, 9);
  int blocks[2] = {0, 0};
  for (bool compress : {false, true}) {
    FlashBench bench;
    FlasherOptions o;
    o.compress = compress;
    bench.make("esp-flash", {{bench.write_file("app.bin", img), 0x10000}}, o);
    ASSERT_TRUE(bench.run());
    EXPECT_TRUE(bench.flasher->succeeded()) << bench.flasher->reason();
    blocks[compress] = bench.rom.data_blocks;  // 1 KB each either way
  }
  EXPECT_EQ(blocks[0], 256);
  EXPECT_LT(blocks[1] * 2, blocks[0]);
}

TEST(EspFlasher, erases_the_whole_flash_with_the_rom_or_a_stub_loader) {
  for (int kind : {0, 1, 2}) {  // ROM that refuses ERASE_FLASH, ROM that ignores it, stub
    bool stub = kind == 2;
    FlashBench bench(rom_chip("esp32c3"));
    bench.rom.has_erase_command = stub;
    bench.rom.ignore_unknown = kind == 1;
    bench.make("esp-erase-flash", {});
    ASSERT_TRUE(bench.run());
    EXPECT_TRUE(bench.flasher->succeeded()) << bench.flasher->reason();
    EXPECT_TRUE(std::all_of(bench.rom.flash.begin(), bench.rom.flash.end(), [](uint8_t b) { return b == 0xFF; }));
    bool used_begin = std::find(bench.rom.ops.begin(), bench.rom.ops.end(), 0x02) != bench.rom.ops.end();
    EXPECT_EQ(used_begin, !stub) << "the ROM has no ERASE_FLASH; FLASH_BEGIN over the flash erases it";
    EXPECT_EQ(bench.hard_resets, 1);
  }
}

TEST(EspFlasher, damaged_and_lost_frames_are_retried) {
  FlashBench bench(rom_chip("esp32s3"));
  Bytes before = bench.rom.flash;
  Bytes img = firmware_bytes(64 * 1024, 5);
  int writing = 0;
  bench.on_event = [&](const Json& e) {
    if (e.value("stage", "") == "writing" && ++writing == 3) {
      bench.rom.damage_data_blocks = 2;  // the ROM sees a bad checksum
      bench.rom.drop_responses = 1;      // our next reply is lost: the block is resent
    }
    if (e.value("stage", "") == "writing" && writing == 10) bench.rom.corrupt_responses = 2;
    if (e.value("stage", "") == "verifying") bench.rom.drop_responses = 1;  // the MD5 answer is lost once
  };
  bench.make("esp-flash", {{bench.write_file("app.bin", img), 0x10000}});
  ASSERT_TRUE(bench.run());
  EXPECT_TRUE(bench.flasher->succeeded()) << bench.flasher->reason();
  EXPECT_EQ(bench.rom.checksum_errors, 2);
  EXPECT_GE(bench.rom.duplicate_blocks, 1);
  expect_flash(bench.rom, before, {{0x10000, img}});
}

TEST(EspFlasher, a_sync_the_rom_could_not_read_is_sent_again) {
  FlashBench bench;
  bench.rom.reject_syncs = 9;  // more than one attempt's worth
  bench.make("esp-erase-flash", {});
  ASSERT_TRUE(bench.run());
  EXPECT_TRUE(bench.flasher->succeeded()) << bench.reason();
  EXPECT_EQ(bench.uart_resets, 1);
  EXPECT_EQ(bench.usb_resets, 1);
}

TEST(EspFlasher, a_board_put_in_download_mode_by_hand_is_flashed_when_the_lines_fail) {
  FlashBench bench;
  bench.lines_fail = true;
  bench.rom.enter_download_mode();  // BOOT held, RESET pressed
  Bytes img = firmware_bytes(5000, 6);
  bench.make("esp-flash", {{bench.write_file("firmware.bin", img), 0x10000}});
  ASSERT_TRUE(bench.run());
  EXPECT_TRUE(bench.flasher->succeeded()) << bench.flasher->reason();
  EXPECT_TRUE(bench.has_message("Cannot enter the bootloader (modem ctrl failed"));
  EXPECT_TRUE(bench.has_message("Cannot reset the board"));
  EXPECT_TRUE(std::equal(img.begin(), img.end(), bench.rom.flash.begin() + 0x10000));
}

TEST(EspFlasher, reset_actions_follow_the_interface) {
  {
    FlashBench bench;  // "auto": classic UART first, then the USB serial/JTAG sequence
    bench.usb_only = true;
    bench.make("esp-erase-flash", {});
    ASSERT_TRUE(bench.run());
    EXPECT_TRUE(bench.flasher->succeeded()) << bench.flasher->reason();
    EXPECT_EQ(bench.uart_resets, 1);
    EXPECT_EQ(bench.usb_resets, 1);
  }
  {
    FlashBench bench;
    bench.usb_only = true;
    FlasherOptions o;
    o.interface = "usb";
    bench.make("esp-erase-flash", {}, o);
    ASSERT_TRUE(bench.run());
    EXPECT_TRUE(bench.flasher->succeeded());
    EXPECT_EQ(bench.uart_resets, 0);
    EXPECT_EQ(bench.usb_resets, 1);
  }
  {
    FlashBench bench;  // nothing to reset with at all
    bench.rom.enter_download_mode();
    FlasherOptions o;
    o.auto_reset_after = false;
    bench.make("esp-erase-flash", {}, o);
    bench.flasher = nullptr;
    FlasherConfig cfg;
    cfg.mode = "esp-erase-flash";
    cfg.options = o;
    cfg.send_bytes = [&](const Bytes& b) { bench.to_rom.insert(bench.to_rom.end(), b.begin(), b.end()); };
    cfg.on_event = [&](const Json& e) { bench.events.push_back(e); };
    bench.flasher = std::make_unique<EspFlasher>(std::move(cfg));
    ASSERT_TRUE(bench.run());
    EXPECT_TRUE(bench.flasher->succeeded()) << bench.flasher->reason();
    EXPECT_TRUE(bench.has_message("the port cannot drive the reset lines"));
    EXPECT_TRUE(bench.rom.in_download);  // auto_reset_after off: left in the loader
  }
}

TEST(EspFlasher, a_board_that_never_answers_fails_after_every_attempt) {
  FlashBench bench;
  bench.usb_only = true;  // never reacts to the sequences of the chosen interface
  FlasherOptions o;
  o.interface = "uart";
  bench.make("esp-flash", {{bench.write_file("app.bin", firmware_bytes(100, 1)), 0x10000}}, o);
  ASSERT_TRUE(bench.run(10 * 60 * 1000)) << "no time-out";
  EXPECT_FALSE(bench.flasher->succeeded());
  EXPECT_NE(bench.reason().find("No answer from the ESP bootloader"), std::string::npos) << bench.reason();
  EXPECT_EQ(bench.uart_resets, bench.timings.connect_attempts);
  EXPECT_EQ(bench.hard_resets, 0);
  EXPECT_LT(bench.now, 1000 + 60 * 1000);
}

TEST(EspFlasher, hostile_loaders_end_with_a_clear_reason) {
  struct Case {
    const char* what;
    std::function<void(EmulatedRom&)> spoil;
    const char* reason;
  } cases[] = {
      {"stalls mid-image", [](EmulatedRom& r) { r.stall_after_commands = 12; }, "No answer from the board to FLASH_DEFL_DATA"},
      {"answers with noise", [](EmulatedRom& r) { r.garbage = true; }, "No answer from the ESP bootloader"},
      {"damages every block", [](EmulatedRom& r) { r.damage_data_blocks = 1000; }, "checksum error (0x07)"},
      {"loses every reply", [](EmulatedRom& r) { r.drop_responses = 1 << 30; }, "No answer from the ESP bootloader"},
  };
  for (const auto& c : cases) {
    FlashBench bench;
    c.spoil(bench.rom);
    bench.make("esp-flash", {{bench.write_file("app.bin", firmware_bytes(40 * 1024, 8)), 0x10000}});
    ASSERT_TRUE(bench.run(60 * 60 * 1000)) << c.what << ": no time-out";
    EXPECT_FALSE(bench.flasher->succeeded()) << c.what;
    EXPECT_NE(bench.reason().find(c.reason), std::string::npos) << c.what << ": " << bench.reason();
    EXPECT_EQ(bench.done_count(), 1) << c.what;
  }
}

TEST(EspFlasher, refuses_before_writing_what_cannot_work) {
  struct Case {
    const char* what;
    std::string chip_option;
    std::vector<std::pair<uint32_t, size_t>> images;  // offset, size
    const char* reason;
    bool connects;
  } cases[] = {
      {"unaligned offset", "auto", {{0x10800, 100}}, "is not a multiple of 0x1000", false},
      {"overlap", "auto", {{0x10000, 0x1001}, {0x11000, 10}}, "overlap in flash", false},
      {"shared sector", "auto", {{0x10000, 10}, {0x10000, 10}}, "overlap in flash", false},
      {"unknown chip option", "esp8266", {{0x10000, 10}}, "Unknown chip esp8266", false},
      {"beyond the flash", "auto", {{0x3FF000, 0x2000}}, "does not fit in 4 MB of flash", true},
      {"another chip", "esp32s3", {{0x10000, 10}}, "The board is an ESP32, not an ESP32-S3", true},
  };
  for (const auto& c : cases) {
    FlashBench bench;
    Bytes before = bench.rom.flash;
    std::vector<FlashFile> files;
    int n = 0;
    for (auto [off, size] : c.images)
      files.push_back({bench.write_file("img" + std::to_string(n++) + ".bin", firmware_bytes(size, n)), off});
    FlasherOptions o;
    o.chip = c.chip_option;
    bench.make("esp-flash", files, o);
    ASSERT_TRUE(bench.run()) << c.what;
    EXPECT_FALSE(bench.flasher->succeeded()) << c.what;
    EXPECT_NE(bench.reason().find(c.reason), std::string::npos) << c.what << ": " << bench.reason();
    EXPECT_EQ(bench.uart_resets > 0, c.connects) << c.what;
    EXPECT_EQ(bench.rom.flash, before) << c.what << ": flash was touched";
  }
  FlashBench missing;
  missing.make("esp-flash", {{(missing.dir / "gone.bin").string(), 0x10000}});
  ASSERT_TRUE(missing.run());
  EXPECT_EQ(missing.reason(), "Cannot read gone.bin: no such file");
  FlashBench none;
  none.make("esp-flash", {});
  ASSERT_TRUE(none.run());
  EXPECT_EQ(none.reason(), "No image to write");
}

TEST(EspFlasher, unknown_silicon_is_named_by_its_detect_value) {
  FlashBench bench(RomChip{0xDEADBEEF, -1, 2, true});
  bench.make("esp-erase-flash", {});
  ASSERT_TRUE(bench.run());
  EXPECT_EQ(bench.reason(), "Unknown chip (detect value 0xDEADBEEF)");
  // A newer ROM with an unlisted detect value is found by its chip id.
  FlashBench by_id(RomChip{0xDEADBEEF, 13, 2, true});
  by_id.make("esp-erase-flash", {});
  ASSERT_TRUE(by_id.run());
  EXPECT_TRUE(by_id.flasher->succeeded()) << by_id.reason();
  EXPECT_EQ(by_id.flasher->detected_chip(), "esp32c6");
}

TEST(EspFlasher, cancel_mid_image_stops_at_once_and_reports_once) {
  for (bool from_event : {false, true}) {
    FlashBench bench;
    Bytes img = firmware_bytes(200 * 1024, 3);
    int writing = 0;
    bench.on_event = [&](const Json& e) {
      if (from_event && e.value("stage", "") == "writing" && ++writing == 5) bench.flasher->cancel();
    };
    bench.make("esp-flash", {{bench.write_file("app.bin", img), 0x10000}});
    bench.flasher->start(bench.now);
    bench.flasher->tick(bench.now);
    if (!from_event) {
      for (int i = 0; i < 400 && bench.rom.data_blocks < 10; ++i) {
        bench.rom.receive(bench.to_rom);
        bench.to_rom.clear();
        bench.flasher->feed(bench.rom.take_output(), bench.now);
      }
      ASSERT_GE(bench.rom.data_blocks, 10);
      bench.flasher->cancel();
      EXPECT_TRUE(bench.flasher->is_done());
      EXPECT_EQ(bench.done_count(), 0) << "cancel itself delivers nothing";
    } else {
      ASSERT_TRUE(bench.run());
    }
    EXPECT_TRUE(bench.flasher->is_done());
    bench.to_rom.clear();
    bench.flasher->tick(bench.now + 100000);
    bench.flasher->feed(bench.rom.take_output(), bench.now + 100000);
    EXPECT_TRUE(bench.to_rom.empty()) << "sent after cancel";
    EXPECT_EQ(bench.reason(), "Cancelled");
    EXPECT_EQ(bench.done_count(), 1);
    bench.flasher->cancel();
    EXPECT_EQ(bench.done_count(), 1);
  }
}

TEST(EspFlasher, writes_at_a_higher_rate_and_restores_the_line) {
  {
    FlashBench bench;
    FlasherOptions o;
    o.baud = 115200;
    o.flash_baud = 921600;
    bench.make("esp-flash", {{bench.write_file("app.bin", firmware_bytes(9000, 2)), 0x10000}}, o);
    ASSERT_TRUE(bench.run());
    EXPECT_TRUE(bench.flasher->succeeded()) << bench.reason();
    EXPECT_EQ(bench.bauds, (std::vector<uint32_t>{921600, 115200}));
  }
  {
    FlashBench bench;
    bench.rom.refuse_baud = true;  // the ROM keeps its rate: writing goes on at the old one
    FlasherOptions o;
    o.baud = 115200;
    o.flash_baud = 921600;
    bench.make("esp-flash", {{bench.write_file("app.bin", firmware_bytes(9000, 2)), 0x10000}}, o);
    ASSERT_TRUE(bench.run());
    EXPECT_TRUE(bench.flasher->succeeded()) << bench.reason();
    EXPECT_TRUE(bench.bauds.empty());
  }
  {
    FlashBench bench;  // a failure after the change still puts the line back
    bench.rom.stall_after_commands = 9;
    FlasherOptions o;
    o.baud = 115200;
    o.flash_baud = 460800;
    bench.make("esp-flash", {{bench.write_file("app.bin", firmware_bytes(90000, 2)), 0x10000}}, o);
    ASSERT_TRUE(bench.run());
    EXPECT_FALSE(bench.flasher->succeeded());
    EXPECT_EQ(bench.bauds, (std::vector<uint32_t>{460800, 115200}));
  }
}

TEST(EspFlasher, a_wrong_md5_fails_verification) {
  FlashBench bench;
  Bytes img = firmware_bytes(6000, 4);
  // The board's flash holds a stuck bit: what was written does not read back.
  bench.on_event = [&](const Json& e) {
    if (e.value("stage", "") == "verifying" && e.contains("file")) bench.rom.flash[0x10000 + 17] ^= 0x01;
  };
  bench.make("esp-flash", {{bench.write_file("app.bin", img), 0x10000}});
  ASSERT_TRUE(bench.run());
  EXPECT_FALSE(bench.flasher->succeeded());
  EXPECT_NE(bench.reason().find("Verification of app.bin at 0x10000 failed: flash MD5 "), std::string::npos)
      << bench.reason();
  EXPECT_NE(bench.reason().find("file MD5 " + md5_hex(img)), std::string::npos);
  EXPECT_EQ(bench.hard_resets, 0);
}

TEST(EspFlasher, cancel_from_another_thread_while_the_owner_holds_its_own_lock) {
  // The tab's reader feeds the flasher; the page thread cancels while holding the lock the
  // event handler needs. Events are delivered outside the flasher's lock, so neither waits
  // on the other.
  FlashBench bench;
  std::mutex app;
  std::atomic<int> writing{0};
  std::atomic<bool> stop{false};
  bench.rom.stall_after_commands = 40;  // the run waits for a reply until it is cancelled
  bench.timings.command_timeout_ms = 1LL << 40;
  bench.make("esp-flash", {{bench.write_file("app.bin", firmware_bytes(400 * 1024, 1)), 0x10000}});
  bench.on_event = [&](const Json& e) {
    std::lock_guard lk(app);
    if (e.value("stage", "") == "writing") ++writing;
  };
  auto reader = std::async(std::launch::async, [&] {
    bench.flasher->start(bench.now);
    while (!stop && !bench.flasher->is_done()) {
      bench.rom.receive(bench.to_rom);
      bench.to_rom.clear();
      bench.flasher->feed(bench.rom.take_output(), ++bench.now);
      bench.flasher->tick(bench.now);
    }
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (writing < 5 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_GE(writing.load(), 5) << "writing never started";
  auto canceller = std::async(std::launch::async, [&] {
    std::lock_guard lk(app);
    bench.flasher->cancel();
  });
  bool ended = canceller.wait_until(deadline) == std::future_status::ready &&
               reader.wait_until(deadline) == std::future_status::ready;
  stop = true;
  if (!ended) {
    // The futures would wait for the stuck threads for ever.
    std::fprintf(stderr, "deadlock between cancel and event delivery\n");
    std::_Exit(1);
  }
  bench.flasher->deliver_events();  // the owner's next turn
  EXPECT_EQ(bench.reason(), "Cancelled");
  EXPECT_EQ(bench.done_count(), 1);
}
