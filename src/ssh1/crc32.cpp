// CRC-32 by a 256-entry table built once; SSH-1 packets are small, so no wider tables.
#include "ssh1/crc32.h"

#include <array>

namespace morvane::ssh1 {
namespace {

constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr auto kTable = make_table();

}  // namespace

uint32_t crc32_update(uint32_t reg, const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) reg = kTable[(reg ^ data[i]) & 0xFF] ^ (reg >> 8);
  return reg;
}

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) { return ~crc32_update(~crc, data, size); }

}  // namespace morvane::ssh1
