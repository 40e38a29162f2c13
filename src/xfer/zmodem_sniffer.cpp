// ZRQINIT and ZRINIT detection for the receive path (see zmodem_sniffer.h).
#include "xfer/zmodem_sniffer.h"

#include <cstdint>
#include <cstring>

#include "xfer/crc.h"

namespace morvane::xfer {
namespace {

constexpr char kZdle = 0x18;
constexpr size_t kHeaderLen = 1 + 1 + 14;  // ZDLE 'B' and 14 hex digits

int hexv(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

enum class Match { No, Partial, Start, ReceiverWaiting };

// Is s (starting at a ZDLE) a ZRQINIT or ZRINIT hex header, a possible prefix of one, or neither?
Match match_at(const char* s, size_t n) {
  size_t m = n < kHeaderLen ? n : kHeaderLen;
  uint8_t raw[7];
  for (size_t i = 1; i < m; ++i) {
    char c = s[i];
    if (i == 1) {
      if (c != 'B') return Match::No;
    } else if (i == 2) {
      if (c != '0') return Match::No;
    } else if (i == 3) {
      if (c != '0' && c != '1') return Match::No;  // frame type 00: ZRQINIT, 01: ZRINIT
    } else if (hexv(c) < 0) {
      return Match::No;
    }
  }
  if (n < kHeaderLen) return Match::Partial;
  for (int k = 0; k < 7; ++k) raw[k] = static_cast<uint8_t>(hexv(s[2 + 2 * k]) << 4 | hexv(s[3 + 2 * k]));
  if (crc16(0, raw, 5) != (uint16_t(raw[5]) << 8 | raw[6])) return Match::No;
  return raw[0] == 0 ? Match::Start : Match::ReceiverWaiting;
}

}  // namespace

ZmodemSniffer::Result ZmodemSniffer::feed(std::string_view data) {
  std::string_view buf = data;
  if (!held_.empty()) {
    joined_.assign(held_);
    joined_.append(data);
    held_.clear();
    buf = joined_;
  }
  const char* p = buf.data();
  size_t n = buf.size();
  size_t from = 0;
  bool waiting = false;
  while (from < n) {
    const void* hit = std::memchr(p + from, kZdle, n - from);
    if (!hit) break;
    size_t at = static_cast<size_t>(static_cast<const char*>(hit) - p);
    Match m = match_at(p + at, n - at);
    if (m == Match::Start) {
      // The "**" pad (two, as senders write it) before ZDLE belongs to the frame, not the screen.
      size_t start = at;
      while (start > 0 && at - start < 2 && p[start - 1] == '*') --start;
      return {true, waiting, buf.substr(0, start), buf.substr(start), at - start + kHeaderLen};
    }
    if (m == Match::Partial) {
      size_t start = at;
      while (start > 0 && at - start < 2 && p[start - 1] == '*') --start;
      // Keep the tail (at most a header long) for the next chunk. held_ is a different
      // buffer from joined_, so the terminal view stays valid.
      held_.assign(buf.substr(start));
      return {false, waiting, buf.substr(0, start), {}, 0};
    }
    // A receiver's ZRINIT stays on the screen, as a terminal without transfers would show it.
    if (m == Match::ReceiverWaiting) waiting = true;
    from = at + 1;
  }
  return {false, waiting, buf, {}, 0};
}

}  // namespace morvane::xfer
