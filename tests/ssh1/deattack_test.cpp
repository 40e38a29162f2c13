// The CRC-32 compensation attack detector: against the definition computed the slow way,
// on a crafted attack packet (found by solving for positions whose CRC terms cancel), on
// near misses, and inside the packet reader, which must refuse such a packet.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "ssh1/crc32.h"
#include "ssh1/deattack.h"
#include "ssh1/packet.h"

namespace {

using morvane::ssh1::crc_compensation_attack;
using Blocks = std::vector<uint8_t>;

// The definition: some block value occurs twice or more, and the CRC of the packet-long
// pattern marking its positions (01 then seven zeros per equal block) is zero.
bool by_definition(const Blocks& b) {
  size_t n = b.size() / 8;
  std::map<Blocks, std::vector<size_t>> at;
  for (size_t i = 0; i < n; ++i) at[Blocks(b.begin() + 8 * i, b.begin() + 8 * i + 8)].push_back(i);
  for (const auto& [value, pos] : at) {
    if (pos.size() < 2) continue;
    Blocks pattern(b.size(), 0);
    for (size_t p : pos) pattern[8 * p] = 1;
    if (morvane::ssh1::ssh1_crc32(pattern.data(), pattern.size()) == 0) return true;
  }
  return false;
}

// The CRC of the pattern with one mark at position p, the slow way.
uint32_t term(size_t n, size_t p) {
  Blocks pattern(8 * n, 0);
  pattern[8 * p] = 1;
  return morvane::ssh1::ssh1_crc32(pattern.data(), pattern.size());
}

// Positions among 0..n-1 whose terms XOR to zero (linear algebra over GF(2)), and the last
// one added, without which the rest no longer cancel.
std::pair<std::vector<size_t>, size_t> cancelling_positions(size_t n) {
  std::vector<std::pair<uint32_t, std::vector<bool>>> basis;
  for (size_t p = 0; p < n; ++p) {
    uint32_t v = term(n, p);
    std::vector<bool> mask(n, false);
    mask[p] = true;
    for (const auto& [bv, bm] : basis)
      if ((v ^ bv) < v) {  // reduce by the basis vector with the same top bit
        v ^= bv;
        for (size_t i = 0; i < n; ++i) mask[i] = mask[i] != bm[i];
      }
    if (v == 0) {
      std::vector<size_t> pos;
      for (size_t i = 0; i < n; ++i)
        if (mask[i]) pos.push_back(i);
      return {pos, p};
    }
    basis.emplace_back(v, mask);
    std::sort(basis.begin(), basis.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  }
  return {{}, 0};
}

// n distinct random blocks, then `value` written at the given positions.
Blocks packet(size_t n, const std::vector<size_t>& at, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Blocks b(8 * n);
  for (size_t i = 0; i < n; ++i) {
    uint64_t v = rng() | 1;  // never the all-0xAB value below
    for (int k = 0; k < 8; ++k) b[8 * i + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  for (size_t p : at)
    for (int k = 0; k < 8; ++k) b[8 * p + k] = 0xAA;
  return b;
}

TEST(Ssh1Deattack, a_crafted_attack_is_found_and_a_near_miss_is_not) {
  for (size_t n : {40u, 64u, 200u}) {
    SCOPED_TRACE(n);
    auto [pos, last] = cancelling_positions(n);
    ASSERT_GE(pos.size(), 2u);
    Blocks attack = packet(n, pos, n);
    ASSERT_TRUE(by_definition(attack));
    EXPECT_TRUE(crc_compensation_attack(attack.data(), attack.size()));

    std::vector<size_t> fewer;
    for (size_t p : pos)
      if (p != last) fewer.push_back(p);
    Blocks miss = packet(n, fewer, n);
    ASSERT_FALSE(by_definition(miss));
    EXPECT_FALSE(crc_compensation_attack(miss.data(), miss.size()));
  }
}

TEST(Ssh1Deattack, agrees_with_the_definition_on_random_repeats) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 300; ++round) {
    size_t n = 1 + rng() % 90;
    std::vector<size_t> at;
    for (size_t k = rng() % 6; k > 0; --k) at.push_back(rng() % n);
    Blocks b = packet(n, at, rng());
    // Now and then a second repeated value too.
    if (n > 4 && round % 3 == 0) std::copy(b.begin(), b.begin() + 8, b.begin() + 8 * (n - 1));
    EXPECT_EQ(crc_compensation_attack(b.data(), b.size()), by_definition(b)) << "round " << round;
  }
  // The largest packet filled with one value: settled by one pass, not a probe per repeat.
  Blocks same(morvane::ssh1::kMaxPacketLength + 8, 0x5C);
  EXPECT_EQ(crc_compensation_attack(same.data(), same.size()), by_definition(same));
  EXPECT_FALSE(crc_compensation_attack(same.data(), 8));
}

TEST(Ssh1Deattack, the_packet_reader_refuses_an_attack_packet_under_a_cipher) {
  const size_t n = 64;
  auto [pos, last] = cancelling_positions(n);
  Blocks body = packet(n, pos, 99);
  // 4 bytes of padding + 508 bytes of type, data and CRC: 64 blocks after the length.
  std::string wire = {0, 0, 0x01, static_cast<char>(0xFC)};
  wire.append(body.begin(), body.end());

  morvane::ssh1::PacketReader reader;
  reader.set_cipher(morvane::ssh1::make_cipher(morvane::ssh1::kCipher3Des, std::string(32, 'k')));
  reader.feed(wire);
  try {
    reader.next();
    FAIL() << "the packet was accepted";
  } catch (const morvane::ssh1::ProtocolError& e) {
    EXPECT_STREQ(e.what(), "CRC-32 compensation attack detected (repeated cipher blocks)");
  }
  // In clear (before the key exchange) there is nothing to steer: the CRC check decides.
  morvane::ssh1::PacketReader clear;
  clear.feed(wire);
  try {
    clear.next();
    FAIL() << "a packet of random bytes passed its CRC";
  } catch (const morvane::ssh1::ProtocolError& e) {
    EXPECT_STREQ(e.what(), "packet CRC mismatch (corrupted data or wrong key)");
  }
}

}  // namespace
