#pragma once
// CRC-32 (IEEE 802.3 polynomial, reflected). The SSH-1 packet check uses the bare
// register update from zero, without the usual inversion before and after, exactly as the
// protocol's first implementation did; the standard form is kept for its check value.
#include <cstddef>
#include <cstdint>

namespace morvane::ssh1 {

// Standard CRC-32 (zlib's): "123456789" gives 0xCBF43926. Pass the previous result to go on.
uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0);
// The bare update; the SSH-1 packet CRC is crc32_update(0, padding + type + data).
uint32_t crc32_update(uint32_t reg, const uint8_t* data, size_t size);
inline uint32_t ssh1_crc32(const uint8_t* data, size_t size) { return crc32_update(0, data, size); }

}  // namespace morvane::ssh1
