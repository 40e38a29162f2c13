// Table-driven CRC-16/XMODEM and slicing-by-4 CRC-32 for the modem protocols.
#include "xfer/crc.h"

#include <array>

namespace morvane::xfer {
namespace {

struct Tables {
  std::array<uint16_t, 256> c16{};
  std::array<std::array<uint32_t, 256>, 4> c32{};
  Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i << 8);
      for (int k = 0; k < 8; ++k) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
      c16[i] = c;
      uint32_t r = i;
      for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
      c32[0][i] = r;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int t = 1; t < 4; ++t) c32[t][i] = (c32[t - 1][i] >> 8) ^ c32[0][c32[t - 1][i] & 0xFF];
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

}  // namespace

uint16_t crc16(uint16_t crc, const uint8_t* p, size_t n) {
  const auto& t = tables().c16;
  for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc << 8) ^ t[((crc >> 8) ^ p[i]) & 0xFF]);
  return crc;
}

uint32_t crc32_update(uint32_t reg, const uint8_t* p, size_t n) {
  const auto& t = tables().c32;
  while (n >= 4) {
    reg ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    reg = t[3][reg & 0xFF] ^ t[2][(reg >> 8) & 0xFF] ^ t[1][(reg >> 16) & 0xFF] ^ t[0][reg >> 24];
    p += 4;
    n -= 4;
  }
  while (n--) reg = (reg >> 8) ^ t[0][(reg ^ *p++) & 0xFF];
  return reg;
}

}  // namespace morvane::xfer
