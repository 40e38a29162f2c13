// Chip table and default image offsets. Detection values are what each ROM reports at the
// detect register (several per chip where silicon revisions differ) and, for ROMs that have
// GET_SECURITY_INFO, the chip id it returns.
#include "esp/chip_table.h"

#include <algorithm>
#include <cctype>

namespace morvane::esp {

const std::vector<ChipInfo> CHIP_TABLE = {
    {"esp32", "ESP32", {0x00F01D83}, -1, 4, false, false, 0x1000, 4u << 20, 16u << 20},
    {"esp32s2", "ESP32-S2", {0x000007C6}, 2, 2, true, false, 0x1000, 4u << 20, 16u << 20},
    {"esp32s3", "ESP32-S3", {0x00000009}, 9, 2, true, true, 0x0, 4u << 20, 32u << 20},
    {"esp32c2", "ESP32-C2", {0x6F51306F, 0x7C41A06F}, 12, 2, true, false, 0x0, 4u << 20, 16u << 20},
    {"esp32c3", "ESP32-C3", {0x6921506F, 0x1B31506F, 0x4881606F, 0x4361606F}, 5, 2, true, true, 0x0,
     4u << 20, 16u << 20},
    {"esp32c6", "ESP32-C6", {0x2CE0806F}, 13, 2, true, true, 0x0, 4u << 20, 16u << 20},
    {"esp32h2", "ESP32-H2", {0xD7B73E80}, 16, 2, true, true, 0x0, 4u << 20, 16u << 20},
};

const ChipInfo* find_chip(std::string_view key) {
  for (const auto& c : CHIP_TABLE)
    if (c.key == key) return &c;
  return nullptr;
}

const ChipInfo* chip_by_magic(uint32_t magic) {
  for (const auto& c : CHIP_TABLE)
    if (std::find(c.magic_values.begin(), c.magic_values.end(), magic) != c.magic_values.end()) return &c;
  return nullptr;
}

const ChipInfo* chip_by_id(uint32_t chip_id) {
  for (const auto& c : CHIP_TABLE)
    if (c.chip_id >= 0 && static_cast<uint32_t>(c.chip_id) == chip_id) return &c;
  return nullptr;
}

std::optional<uint32_t> parse_flash_size(std::string_view text) {
  std::string t;
  for (char ch : text)
    if (ch != ' ') t += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  uint64_t unit = 0;
  if (t.size() > 2 && t.ends_with("MB")) unit = 1u << 20;
  else if (t.size() > 2 && t.ends_with("KB")) unit = 1u << 10;
  else return std::nullopt;
  t.resize(t.size() - 2);
  if (t.empty() || t.size() > 5) return std::nullopt;
  uint64_t n = 0;
  for (char ch : t) {
    if (ch < '0' || ch > '9') return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(ch - '0');
  }
  uint64_t bytes = n * unit;
  if (bytes == 0 || bytes > (1ull << 30) || (bytes & (bytes - 1)) != 0) return std::nullopt;
  return static_cast<uint32_t>(bytes);
}

namespace {

bool has(const std::string& s, std::string_view part) { return s.find(part) != std::string::npos; }

}  // namespace

std::optional<uint32_t> guess_offset(std::string_view file_name, const std::string* chip_key) {
  std::string name(file_name);
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (name.empty()) return std::nullopt;

  if (has(name, "bootloader")) {
    // The bootloader's place differs between chips; guessing wrong leaves a board that
    // does not start, so without a chip there is no guess.
    const ChipInfo* chip = chip_key ? find_chip(*chip_key) : nullptr;
    if (!chip) return std::nullopt;
    return chip->bootloader_offset;
  }
  if (has(name, "partition")) return 0x8000;
  if (has(name, "ota_data") || has(name, "otadata")) return 0xD000;
  if (has(name, "boot_app0")) return 0xE000;
  if (has(name, "phy_init")) return 0xF000;
  if (name.starts_with("nvs")) return 0x9000;
  if (has(name, "spiffs") || has(name, "littlefs") || has(name, "fatfs") || has(name, "ffat"))
    return 0x290000;
  if (name.ends_with(".bin")) return 0x10000;  // application image (firmware.bin, app.ino.bin, ...)
  return std::nullopt;
}

}  // namespace morvane::esp
