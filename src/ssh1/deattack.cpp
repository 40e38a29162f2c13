#include "ssh1/deattack.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "ssh1/crc32.h"

namespace morvane::ssh1 {

bool crc_compensation_attack(const uint8_t* blocks, size_t size) {
  const size_t n = size / 8;
  if (n < 2) return false;
  std::vector<std::pair<uint64_t, uint32_t>> order(n);  // block value, position
  for (size_t i = 0; i < n; ++i) {
    uint64_t v;
    std::memcpy(&v, blocks + 8 * i, 8);
    order[i] = {v, static_cast<uint32_t>(i)};
  }
  std::sort(order.begin(), order.end());
  bool repeats = false;
  for (size_t i = 1; i < n && !repeats; ++i) repeats = order[i].first == order[i - 1].first;
  if (!repeats) return false;

  // term[p]: the CRC (SSH-1's bare form, from zero) of the pattern with a single marked block
  // at p. Zero bytes before the mark leave a zero register unchanged, so term[p] is the CRC
  // of the mark followed by the rest of the packet's zeros: term[n-1] that of one marked
  // block, and each earlier term the later one carried through eight more zero bytes.
  static const uint8_t kMark[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  static const uint8_t kZeros[8] = {};
  std::vector<uint32_t> term(n);
  term[n - 1] = crc32_update(0, kMark, 8);
  for (size_t p = n - 1; p > 0; --p) term[p - 1] = crc32_update(term[p], kZeros, 8);

  // The pattern's CRC is linear in its marks: the XOR of the terms of a value's positions.
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    uint32_t crc = term[order[i].second];
    for (; j < n && order[j].first == order[i].first; ++j) crc ^= term[order[j].second];
    if (j - i >= 2 && crc == 0) return true;
    i = j;
  }
  return false;
}

}  // namespace morvane::ssh1
