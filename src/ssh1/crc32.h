#pragma once
// CRC-32 (IEEE 802.3, reflected, as zlib computes it): the integrity check of every SSH-1
// packet, taken over padding, type and data.
#include <cstddef>
#include <cstdint>

namespace morvane::ssh1 {

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

}  // namespace morvane::ssh1
