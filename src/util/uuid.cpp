#include "util/uuid.h"

#include <array>
#include <random>

namespace morvane {

std::string uuid4_hex() {
  // One generator per thread, seeded from the system's random source.
  thread_local std::mt19937_64 gen([] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64(seq);
  }());
  std::array<unsigned char, 16> b{};
  for (size_t i = 0; i < 16; i += 8) {
    uint64_t r = gen();
    for (size_t k = 0; k < 8; ++k) b[i + k] = static_cast<unsigned char>(r >> (8 * k));
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (unsigned char c : b) {
    out += hex[c >> 4];
    out += hex[c & 0xF];
  }
  return out;
}

}  // namespace morvane
