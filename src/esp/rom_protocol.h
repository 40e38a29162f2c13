#pragma once
// The command layer of the ESP serial bootloader in the chip's ROM: request packets, the
// data checksum, response parsing with the loader's status bytes, and the ROM's error codes.
// A request is direction 0x00, opcode, 16-bit length, 32-bit checksum, payload; a response
// is direction 0x01, opcode, 16-bit length, 32-bit value, data ending in the status bytes.
#include <cstdint>
#include <optional>
#include <string>

#include "esp/slip.h"

namespace morvane::esp {

enum class Op : uint8_t {
  FlashBegin = 0x02,
  FlashData = 0x03,
  FlashEnd = 0x04,
  Sync = 0x08,
  WriteReg = 0x09,
  ReadReg = 0x0A,
  SpiSetParams = 0x0B,
  SpiAttach = 0x0D,
  ChangeBaudrate = 0x0F,
  FlashDeflBegin = 0x10,
  FlashDeflData = 0x11,
  FlashDeflEnd = 0x12,
  SpiFlashMd5 = 0x13,
  GetSecurityInfo = 0x14,
  EraseFlash = 0xD0,
};

inline constexpr uint32_t kChecksumSeed = 0xEF;
// The register every chip's ROM answers with a value that tells the chip apart.
inline constexpr uint32_t kChipDetectMagicReg = 0x40001000;
// Payload bytes per FLASH_DATA / FLASH_DEFL_DATA block the ROM accepts.
inline constexpr uint32_t kRomWriteBlock = 0x400;
inline constexpr uint32_t kFlashSector = 0x1000;

// XOR of the payload bytes, seeded with 0xEF (only data commands carry it).
uint32_t data_checksum(const uint8_t* data, size_t size);

// The unframed request packet.
Bytes build_request(Op op, const Bytes& payload, uint32_t checksum = 0);

void put_u32(Bytes& out, uint32_t v);
uint32_t get_u32(const uint8_t* p);

// Payloads of the requests the flasher sends.
Bytes sync_payload();
Bytes read_reg_payload(uint32_t addr);
// `rom_encrypt_word`: the ROMs after the ESP32 take a fifth word (encrypted write, 0 here).
Bytes flash_begin_payload(uint32_t erase_size, uint32_t blocks, uint32_t block_size, uint32_t offset,
                          bool rom_encrypt_word);
Bytes flash_data_payload(const uint8_t* block, size_t size, uint32_t seq);
Bytes flash_end_payload(bool reboot);
Bytes spi_attach_payload();
Bytes spi_set_params_payload(uint32_t flash_size);
Bytes change_baud_payload(uint32_t new_baud, uint32_t old_baud);
Bytes md5_payload(uint32_t addr, uint32_t size);

struct Response {
  Op op{};
  uint32_t value = 0;
  Bytes data;       // everything after the 8-byte header, status bytes included
  uint8_t status = 0;  // 0 = success
  uint8_t error = 0;   // ROM error code when status is not 0
  bool ok() const { return status == 0; }
};

// Parses one decoded frame. `status_len` is 2 or 4 (ROM of the chip in use); 0 when the chip
// is not known yet, in which case the status is taken from the start of a 2- or 4-byte data
// part. Returns nullopt for anything that is not a well-formed response (wrong direction,
// length field that disagrees with the frame, data too short to hold the status).
std::optional<Response> parse_response(const Bytes& frame, unsigned status_len);

// The digest of SPI_FLASH_MD5: 32 hex digits from the ROM or 16 raw bytes from a stub, as
// lower-case hex; nullopt when the data holds neither.
std::optional<std::string> md5_from_response(const Response& r, unsigned status_len);

// "checksum error (0x07)" and the like, for failure reasons.
std::string rom_error_text(uint8_t code);
const char* op_name(Op op);

}  // namespace morvane::esp
