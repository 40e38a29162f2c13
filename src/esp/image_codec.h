#pragma once
// What the flasher does to an image before it goes on the line: zlib compression for the
// FLASH_DEFL commands, and the MD5 it compares with the ROM's digest of the written flash.
#include <string>

#include "esp/slip.h"

namespace morvane::esp {

// zlib stream (with header) at the best compression, as the ROM's inflater expects.
Bytes deflate_image(const Bytes& image);

// Lower-case hex MD5 of the bytes.
std::string md5_hex(const uint8_t* data, size_t size);
inline std::string md5_hex(const Bytes& b) { return md5_hex(b.data(), b.size()); }
// MD5 of `size` copies of one byte (an erased flash), without holding them all.
std::string md5_hex_fill(uint8_t byte, uint64_t size);

}  // namespace morvane::esp
