#include "serial/serial_values.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <limits>
#include <system_error>

namespace morvane::serial::detail {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::optional<long long> parse_integer_text(const std::string& text) {
  std::size_t b = 0, e = text.size();
  while (b < e && is_blank(text[b])) ++b;
  while (e > b && is_blank(text[e - 1])) --e;
  if (b == e) return std::nullopt;
  bool negative = false;
  if (text[b] == '+' || text[b] == '-') {
    negative = text[b] == '-';
    ++b;
  }
  if (b == e) return std::nullopt;
  unsigned long long magnitude = 0;
  bool last_was_digit = false;
  for (std::size_t i = b; i < e; ++i) {
    char c = text[i];
    if (c == '_') {
      // Only single underscores between two digits.
      if (!last_was_digit || i + 1 >= e || text[i + 1] < '0' || text[i + 1] > '9') return std::nullopt;
      last_was_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    unsigned digit = static_cast<unsigned>(c - '0');
    if (magnitude > (std::numeric_limits<unsigned long long>::max() - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
    last_was_digit = true;
  }
  constexpr unsigned long long kMaxPositive = std::numeric_limits<long long>::max();
  if (negative) {
    if (magnitude > kMaxPositive + 1) return std::nullopt;
    return magnitude == kMaxPositive + 1 ? std::numeric_limits<long long>::min()
                                         : -static_cast<long long>(magnitude);
  }
  if (magnitude > kMaxPositive) return std::nullopt;
  return static_cast<long long>(magnitude);
}

std::string float_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, res.ptr);  // e.g. "-1.5e+00"
  std::string sign;
  if (!sci.empty() && sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  auto epos = sci.find('e');
  std::string mantissa = sci.substr(0, epos);
  int exponent = std::stoi(sci.substr(epos + 1));
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits += c;
  if (exponent >= -4 && exponent < 16) {
    std::string out;
    if (exponent < 0) {
      out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else if (static_cast<std::size_t>(exponent) + 1 >= digits.size()) {
      out = digits + std::string(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0') + ".0";
    } else {
      out = digits.substr(0, static_cast<std::size_t>(exponent) + 1) + "." +
            digits.substr(static_cast<std::size_t>(exponent) + 1);
    }
    return sign + out;
  }
  std::string out = digits.substr(0, 1);
  if (digits.size() > 1) out += "." + digits.substr(1);
  char exp_buf[16];
  std::snprintf(exp_buf, sizeof exp_buf, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
  return sign + out + exp_buf;
}

}  // namespace

std::optional<long long> as_integer(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    case nlohmann::json::value_t::number_integer:
      return value.get<long long>();
    case nlohmann::json::value_t::number_unsigned: {
      auto u = value.get<unsigned long long>();
      if (u > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) return std::nullopt;
      return static_cast<long long>(u);
    }
    case nlohmann::json::value_t::number_float: {
      double d = std::trunc(value.get<double>());
      if (!std::isfinite(d) || d < -9.2e18 || d > 9.2e18) return std::nullopt;
      return static_cast<long long>(d);
    }
    case nlohmann::json::value_t::string:
      return parse_integer_text(value.get_ref<const std::string&>());
    default:
      return std::nullopt;
  }
}

std::string text_form(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::null:
      return "None";
    case nlohmann::json::value_t::boolean:
      return value.get<bool>() ? "True" : "False";
    case nlohmann::json::value_t::number_integer:
      return std::to_string(value.get<long long>());
    case nlohmann::json::value_t::number_unsigned:
      return std::to_string(value.get<unsigned long long>());
    case nlohmann::json::value_t::number_float:
      return float_text(value.get<double>());
    case nlohmann::json::value_t::string:
      return value.get<std::string>();
    default:
      return value.dump();
  }
}

std::string upper_ascii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::string utf8_with_replacement(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < n) {
    unsigned char c = byte(i);
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    }
    bool ok = len != 0 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) {
      unsigned char cc = byte(i + k);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (ok) {
      // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
      if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
          (cp >= 0xD800 && cp <= 0xDFFF))
        ok = false;
    }
    if (ok) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      // One '?' per ill-formed sequence: the lead byte and the continuation
      // bytes that follow it.
      out += '?';
      ++i;
      while (i < n && (byte(i) & 0xC0) == 0x80) ++i;
    }
  }
  return out;
}

}  // namespace morvane::serial::detail
