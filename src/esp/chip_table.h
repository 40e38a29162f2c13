#pragma once
// The chips the flasher knows: how the ROM tells them apart, how their ROM loader differs
// (status bytes, FLASH_BEGIN layout), their flash sizes and where the usual images go.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::esp {

struct ChipInfo {
  std::string key;                     // "esp32", "esp32s3", ...
  std::string name;                    // display name
  std::vector<uint32_t> magic_values;  // READ_REG of the detect register
  int chip_id = -1;                    // GET_SECURITY_INFO chip id; -1 when the ROM has none
  unsigned status_bytes = 2;           // status bytes closing every ROM response
  bool rom_encrypt_word = true;        // FLASH_BEGIN carries a fifth word
  bool usb_serial_jtag = false;        // has the USB serial/JTAG port
  uint32_t bootloader_offset = 0;
  uint32_t default_flash_size = 4u << 20;
  uint32_t max_flash_size = 16u << 20;
};

// In the order the chip list shows them.
extern const std::vector<ChipInfo> CHIP_TABLE;

const ChipInfo* find_chip(std::string_view key);
const ChipInfo* chip_by_magic(uint32_t magic);
const ChipInfo* chip_by_id(uint32_t chip_id);

// "4MB", "16MB", "512KB" -> bytes; nullopt for anything else or a size that is not a power
// of two.
std::optional<uint32_t> parse_flash_size(std::string_view text);

// The usual flash offset of an image, from its file name (any folder part is ignored):
// bootloader (per chip; none when the chip is not known), partition table, otadata, NVS,
// PHY init data, the application and file system images. nullopt when the name says nothing.
std::optional<uint32_t> guess_offset(std::string_view file_name, const std::string* chip_key);

}  // namespace morvane::esp
