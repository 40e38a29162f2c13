#pragma once
// The two checks the modem protocols use: CRC-16/XMODEM (poly 0x1021, initial 0, sent
// big-endian) and CRC-32 as in zlib (sent little-endian). Table driven; fast enough that the
// check never limits a ZMODEM transfer.
#include <cstddef>
#include <cstdint>

namespace morvane::xfer {

uint16_t crc16(uint16_t crc, const uint8_t* p, size_t n);
// Running register without the final inversion: start with 0xFFFFFFFF, invert at the end.
uint32_t crc32_update(uint32_t reg, const uint8_t* p, size_t n);
inline uint32_t crc32(const uint8_t* p, size_t n) { return ~crc32_update(0xFFFFFFFFu, p, n); }

}  // namespace morvane::xfer
