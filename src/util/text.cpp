#include "util/text.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace morvane::text {

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string upper_ascii(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

static bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

std::optional<long long> parse_int(std::string_view raw) {
  std::string s = trim(raw);
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    neg = s[i] == '-';
    ++i;
  }
  if (i >= s.size()) return std::nullopt;
  unsigned long long value = 0;
  bool prev_digit = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '_') {
      if (!prev_digit || i + 1 >= s.size() || s[i + 1] < '0' || s[i + 1] > '9') return std::nullopt;
      prev_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > static_cast<unsigned long long>(LLONG_MAX) + 1) return std::nullopt;
    prev_digit = true;
  }
  if (!neg && value > static_cast<unsigned long long>(LLONG_MAX)) return std::nullopt;
  return neg ? static_cast<long long>(0 - value) : static_cast<long long>(value);
}

// Length of the valid UTF-8 sequence at s[i], or 0 when invalid; *bad_len receives the
// length of the maximal invalid subpart to replace by one U+FFFD.
static size_t valid_seq(std::string_view s, size_t i, size_t* bad_len) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  *bad_len = 1;
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) need = 1;
  else if (c == 0xE0) { need = 2; lo = 0xA0; }
  else if (c >= 0xE1 && c <= 0xEC) need = 2;
  else if (c == 0xED) { need = 2; hi = 0x9F; }
  else if (c >= 0xEE && c <= 0xEF) need = 2;
  else if (c == 0xF0) { need = 3; lo = 0x90; }
  else if (c >= 0xF1 && c <= 0xF3) need = 3;
  else if (c == 0xF4) { need = 3; hi = 0x8F; }
  else return 0;
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) { *bad_len = k; return 0; }
    unsigned char x = b(i + k);
    unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (x < l || x > h) { *bad_len = k; return 0; }
  }
  return need + 1;
}

size_t valid_utf8_prefix(std::string_view sv) {
  const auto* p = reinterpret_cast<const unsigned char*>(sv.data());
  const size_t n = sv.size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      // Terminal output is mostly ASCII: skip the rest of a run eight bytes at a time.
      ++i;
      while (i + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ULL) break;
        i += 8;
      }
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      if (i + 1 < n && (p[i + 1] & 0xC0) == 0x80) {
        i += 2;
        continue;
      }
      break;
    }
    if (c >= 0xE0 && c <= 0xEF) {
      if (i + 2 < n) {
        unsigned char c1 = p[i + 1], c2 = p[i + 2];
        // E0 and ED limit their second byte (no overlong forms, no surrogates).
        bool ok1 = c == 0xE0 ? (c1 >= 0xA0 && c1 <= 0xBF) : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F) : (c1 & 0xC0) == 0x80;
        if (ok1 && (c2 & 0xC0) == 0x80) {
          i += 3;
          continue;
        }
      }
      break;
    }
    if (c >= 0xF0 && c <= 0xF4) {
      if (i + 3 < n) {
        unsigned char c1 = p[i + 1], c2 = p[i + 2], c3 = p[i + 3];
        bool ok1 = c == 0xF0 ? (c1 >= 0x90 && c1 <= 0xBF) : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F) : (c1 & 0xC0) == 0x80;
        if (ok1 && (c2 & 0xC0) == 0x80 && (c3 & 0xC0) == 0x80) {
          i += 4;
          continue;
        }
      }
      break;
    }
    break;
  }
  return i;
}

std::string sanitize_utf8(std::string_view s) {
  size_t i = valid_utf8_prefix(s);
  if (i == s.size()) return std::string(s);
  std::string out(s.substr(0, i));
  while (i < s.size()) {
    size_t bad;
    if (valid_seq(s, i, &bad)) {
      size_t run = valid_utf8_prefix(s.substr(i));
      out.append(s, i, run);
      i += run;
    } else {
      out += "\xEF\xBF\xBD";
      i += bad;
    }
  }
  return out;
}

char32_t decode_utf8_at(std::string_view s, size_t i, size_t* len) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  auto cont = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]) & 0x3F); };
  if (c < 0x80) { *len = 1; return c; }
  if (c < 0xE0) { *len = 2; return (static_cast<char32_t>(c & 0x1F) << 6) | cont(1); }
  if (c < 0xF0) { *len = 3; return (static_cast<char32_t>(c & 0x0F) << 12) | (cont(1) << 6) | cont(2); }
  *len = 4;
  return (static_cast<char32_t>(c & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

size_t count_codepoints(std::string_view s) {
  // Every byte but a continuation byte (10xxxxxx) starts a character; count those eight
  // at a time: a byte's top bit set and the next bit clear marks a continuation.
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t cont = 0, i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    // One bit per byte at bit 7; the multiply adds the eight of them into the top byte
    // (a popcount instruction is not in the baseline instruction set).
    const uint64_t marks = (w & ~(w << 1) & 0x8080808080808080ULL) >> 7;
    cont += static_cast<size_t>((marks * 0x0101010101010101ULL) >> 56);
  }
  for (; i < s.size(); ++i) cont += (p[i] & 0xC0) == 0x80;
  return s.size() - cont;
}

size_t utf8_prefix_bytes(std::string_view s, size_t chars) {
  // A character starts at every byte but a continuation byte (10xxxxxx).
  size_t at = 0;
  for (size_t n = 0; at < s.size(); ++at) {
    if ((static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) continue;
    if (n++ == chars) break;
  }
  return at;
}

std::optional<std::string> format_braces(std::string_view p, const std::map<std::string, Json>& values) {
  std::string out;
  out.reserve(p.size() + 16);
  for (size_t i = 0; i < p.size(); ++i) {
    char c = p[i];
    if (c == '{') {
      if (i + 1 < p.size() && p[i + 1] == '{') { out += '{'; ++i; continue; }
      size_t close = p.find('}', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      std::string name(p.substr(i + 1, close - i - 1));
      if (name.find('{') != std::string::npos) return std::nullopt;
      auto it = values.find(name);
      if (it == values.end()) return std::nullopt;
      out += json::text_form(it->second);
      i = close;
    } else if (c == '}') {
      if (i + 1 < p.size() && p[i + 1] == '}') { out += '}'; ++i; continue; }
      return std::nullopt;
    } else {
      out += c;
    }
  }
  return out;
}

static int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(std::string_view s) {
  std::string bytes;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexval(s[i + 1]) >= 0 && hexval(s[i + 2]) >= 0) {
      bytes += static_cast<char>(hexval(s[i + 1]) * 16 + hexval(s[i + 2]));
      i += 2;
    } else {
      bytes += s[i];
    }
  }
  return sanitize_utf8(bytes);
}

}  // namespace morvane::text
