// The chip table and default offsets: detection values, the ROM differences the flasher
// depends on, flash sizes, and the offsets the flash dialog pre-fills.
#include <gtest/gtest.h>

#include <set>

#include "esp/chip_table.h"
#include "esp/esp_flasher.h"

using namespace morvane::esp;

TEST(EspChipTable, lists_the_chips_with_distinct_detection_values) {
  std::vector<std::string> keys;
  for (const auto& c : CHIP_TABLE) keys.push_back(c.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"esp32", "esp32s2", "esp32s3", "esp32c2", "esp32c3", "esp32c6", "esp32h2"}));
  std::set<uint32_t> magics;
  for (const auto& c : CHIP_TABLE)
    for (uint32_t m : c.magic_values) {
      EXPECT_TRUE(magics.insert(m).second) << c.key;
      EXPECT_EQ(chip_by_magic(m), &c);
    }
  EXPECT_EQ(chip_by_magic(0x00F01D83)->name, "ESP32");
  EXPECT_EQ(chip_by_magic(0x1B31506F)->name, "ESP32-C3");
  EXPECT_EQ(chip_by_id(9)->key, "esp32s3");
  EXPECT_EQ(chip_by_id(16)->key, "esp32h2");
  EXPECT_EQ(chip_by_magic(0x12345678), nullptr);
  EXPECT_EQ(find_chip("ESP32"), nullptr);  // keys are exact
  // Only the first ROM has four status bytes and the short FLASH_BEGIN.
  EXPECT_EQ(find_chip("esp32")->status_bytes, 4u);
  EXPECT_FALSE(find_chip("esp32")->rom_encrypt_word);
  EXPECT_EQ(find_chip("esp32c6")->status_bytes, 2u);
  EXPECT_TRUE(find_chip("esp32c6")->rom_encrypt_word);
}

TEST(EspChipTable, flash_sizes) {
  EXPECT_EQ(parse_flash_size("4MB"), 4u << 20);
  EXPECT_EQ(parse_flash_size(" 16mb"), 16u << 20);
  EXPECT_EQ(parse_flash_size("512KB"), 512u << 10);
  for (const char* bad : {"", "MB", "3MB", "4", "4 GB", "-4MB", "0MB", "99999MB", "4MB4"})
    EXPECT_FALSE(parse_flash_size(bad)) << bad;
}

TEST(EspGuessOffset, usual_images_by_name) {
  struct Case {
    const char* name;
    const char* chip;
    std::optional<uint32_t> want;
  } cases[] = {
      {"build/bootloader/bootloader.bin", "esp32", 0x1000},
      {"bootloader.bin", "esp32s2", 0x1000},
      {"bootloader.bin", "esp32s3", 0x0},
      {"Bootloader.BIN", "esp32c3", 0x0},
      {"bootloader.bin", "esp32h2", 0x0},
      {"bootloader.bin", "auto", std::nullopt},  // differs per chip: no guess without one
      {"bootloader.bin", "", std::nullopt},
      {"C:\\build\\partition_table\\partition-table.bin", "auto", 0x8000},
      {"sketch.ino.partitions.bin", "esp32", 0x8000},
      {"ota_data_initial.bin", "auto", 0xD000},
      {"boot_app0.bin", "auto", 0xE000},
      {"nvs.bin", "auto", 0x9000},
      {"phy_init_data.bin", "auto", 0xF000},
      {"spiffs.bin", "esp32", 0x290000},
      {"littlefs.bin", "auto", 0x290000},
      {"firmware.bin", "auto", 0x10000},
      {"blink.ino.bin", "esp32c6", 0x10000},
      {"notes.txt", "auto", std::nullopt},
      {"", "auto", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(guess_offset_for(c.name, c.chip), c.want) << c.name << " " << c.chip;
}

TEST(EspOptions, from_the_page_record) {
  using morvane::Json;
  auto o = FlasherOptions::from_json(Json::parse(
      R"({"chip":"esp32c3","interface":"usb","compress":false,"auto_reset_after":0,"flash_baud":"921600","baud":115200})"));
  EXPECT_EQ(o.chip, "esp32c3");
  EXPECT_EQ(o.interface, "usb");
  EXPECT_FALSE(o.compress);
  EXPECT_FALSE(o.auto_reset_after);
  EXPECT_EQ(o.flash_baud, 921600u);
  EXPECT_EQ(o.baud, 115200u);
  auto d = FlasherOptions::from_json(Json::parse(R"({"chip":"","compress":null,"flash_baud":"fast"})"));
  EXPECT_EQ(d.chip, "auto");
  EXPECT_EQ(d.interface, "auto");
  EXPECT_TRUE(d.compress);
  EXPECT_TRUE(d.auto_reset_after);
  EXPECT_EQ(d.flash_baud, 0u);
  EXPECT_EQ(FlasherOptions::from_json(Json()).chip, "auto");
}
