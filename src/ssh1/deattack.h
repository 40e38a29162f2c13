#pragma once
// The detector of the CRC-32 compensation attack on SSH-1's CBC ciphers (published by CORE SDI
// in 1998). CRC-32 is linear, so an attacker who repeats chosen ciphertext blocks inside a
// packet can steer what they decrypt to while the CRC still matches. The tell is a block
// value that occurs more than once at positions whose contributions to the CRC cancel out:
// the CRC-32 of the packet-long pattern with 01 00 00 00 00 00 00 00 for each block equal to
// that value (and zeros elsewhere) is zero. Real traffic practically never repeats an 8-byte
// cipher block, let alone in that pattern.
//
// The classic detector probes a hash table and re-runs that CRC for each repeat, which a
// hostile peer can drive into quadratic work; here equal blocks are found by sorting and each
// repeated value's CRC is the XOR of per-position terms computed once, so a packet of the
// largest size costs O(n log n) whatever it holds.
#include <cstddef>
#include <cstdint>

namespace morvane::ssh1 {

// `size` is a multiple of 8: the encrypted part of one packet (padding, type, data, CRC).
bool crc_compensation_attack(const uint8_t* blocks, size_t size);

}  // namespace morvane::ssh1
