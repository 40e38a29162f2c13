#pragma once
// Small text helpers shared by every module. Text inside the program is UTF-8.
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "util/json.h"

namespace morvane::text {

// Lower-cases ASCII letters only (encoding and protocol names).
std::string lower_ascii(std::string_view s);
std::string upper_ascii(std::string_view s);

// Strips surrounding white space (space, tab, CR, LF, VT, FF).
std::string trim(std::string_view s);

// Optional sign and decimal digits after trimming; single underscores between digits allowed.
std::optional<long long> parse_int(std::string_view s);

// Length of the longest prefix of s that is valid, complete UTF-8.
size_t valid_utf8_prefix(std::string_view s);

// Replaces every invalid UTF-8 sequence by U+FFFD (maximal subparts, as decoders do).
std::string sanitize_utf8(std::string_view s);

// Decodes the code point at s[i] of valid UTF-8; *len receives its byte length.
char32_t decode_utf8_at(std::string_view s, size_t i, size_t* len);

void append_utf8(std::string& out, char32_t cp);

// Number of code points in valid UTF-8 text (continuation bytes are not counted).
size_t count_codepoints(std::string_view s);
// Bytes taken by the first `chars` characters of UTF-8 text (all of it when it has fewer).
size_t utf8_prefix_bytes(std::string_view s, size_t chars);

// Brace placeholders: {name} takes the text form of values[name]; {{ and }} are literal
// braces. A missing name or a malformed brace gives nullopt (the caller keeps the text).
std::optional<std::string> format_braces(std::string_view pattern,
                                         const std::map<std::string, Json>& values);

// %XY becomes that byte; anything else stays. The bytes are read as UTF-8 with U+FFFD.
std::string percent_decode(std::string_view s);

}  // namespace morvane::text
