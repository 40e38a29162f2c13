#include <gtest/gtest.h>

#include <set>

#include "util/base64.h"
#include "util/text.h"
#include "util/uuid.h"

using morvane::Json;
namespace text = morvane::text;

TEST(FormatBraces, FillsEveryPlaceholderOrNone) {
  EXPECT_EQ(text::format_braces("Connecting to {host}:{port}...", {{"host", "h"}, {"port", 22}}),
            "Connecting to h:22...");
  EXPECT_FALSE(text::format_braces("{a} and {b}", {{"a", "x"}}).has_value());
  EXPECT_EQ(text::format_braces("{{literal}} {a}", {{"a", "x"}}), "{literal} x");
  EXPECT_FALSE(text::format_braces("broken {a", {{"a", "x"}}).has_value());
  EXPECT_FALSE(text::format_braces("broken } here", {{"a", "x"}}).has_value());
  EXPECT_EQ(text::format_braces("{flag} {none}", {{"flag", true}, {"none", nullptr}}), "True None");
  EXPECT_EQ(text::format_braces("no placeholders", {{"extra", 1}}), "no placeholders");
}

TEST(ParseInt, SignsBlanksUnderscores) {
  EXPECT_EQ(text::parse_int("  -0 "), 0);
  EXPECT_EQ(text::parse_int("9223372036854775807"), 9223372036854775807LL);
  EXPECT_FALSE(text::parse_int("9223372036854775808").has_value());
  EXPECT_FALSE(text::parse_int("+").has_value());
}

TEST(Utf8, SanitizeReplacesMaximalSubparts) {
  EXPECT_EQ(text::sanitize_utf8("ok"), "ok");
  // A truncated 3-byte sequence followed by ASCII: one replacement, then the ASCII.
  EXPECT_EQ(text::sanitize_utf8("\xE4\xBD" "a"), "\xEF\xBF\xBD" "a");
  // Overlong and surrogate encodings are invalid.
  EXPECT_EQ(text::sanitize_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(text::sanitize_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(text::count_codepoints("a連\xF0\x9F\x98\x80"), 3u);
}

// The word-at-a-time fast paths against a byte-by-byte reading, at every alignment and
// with runs that end inside a word.
TEST(Utf8, FastPathsAgreeWithAPlainReading) {
  auto plain_count = [](const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
  };
  const std::string pieces[] = {"a", "Zz", "\xC3\xA9", "\xE9\x80\xA3", "\xF0\x9F\x98\x80", "\r\n", "\x80", "\xE4\xBD"};
  uint32_t seed = 7;
  for (int round = 0; round < 3000; ++round) {
    std::string s;
    int len = static_cast<int>((seed = seed * 1103515245u + 12345u) >> 20) % 40;
    for (int k = 0; k < len; ++k) s += pieces[((seed = seed * 1103515245u + 12345u) >> 16) % 8];
    ASSERT_EQ(text::count_codepoints(s), plain_count(s)) << round;
    size_t valid = text::valid_utf8_prefix(s);
    // The prefix is valid, and it stops only where a broken sequence starts.
    EXPECT_EQ(text::sanitize_utf8(s.substr(0, valid)), s.substr(0, valid)) << round;
    if (valid < s.size()) {
      EXPECT_NE(text::sanitize_utf8(s.substr(valid, 4)).substr(0, 3), s.substr(valid, 3)) << round;
    }
  }
}

TEST(PercentDecode, DecodesValidEscapesOnly) {
  EXPECT_EQ(text::percent_decode("My%20Server"), "My Server");
  EXPECT_EQ(text::percent_decode("a+b%2"), "a+b%2");
  EXPECT_EQ(text::percent_decode("%zz%41"), "%zzA");
  EXPECT_EQ(text::percent_decode("%E4%BC%BA"), "伺");
  EXPECT_EQ(text::percent_decode("%FF"), "\xEF\xBF\xBD");
}

TEST(Uuid, Version4LowerHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string u = morvane::uuid4_hex();
    ASSERT_EQ(u.size(), 32u);
    EXPECT_EQ(u.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(u[12], '4');
    EXPECT_NE(std::string("89ab").find(u[16]), std::string::npos);
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(Base64, Rfc4648Vectors) {
  const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
  const char* coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(morvane::base64::encode(plain[i]), coded[i]);
    EXPECT_EQ(morvane::base64::decode(coded[i]), std::string(plain[i]));
  }
  std::string bin("\x00\xff\x10", 3);
  EXPECT_EQ(morvane::base64::decode(morvane::base64::encode(bin)), bin);
}

TEST(Base64, RejectsMalformedInput) {
  EXPECT_FALSE(morvane::base64::decode("Zm9v!").has_value());
  EXPECT_FALSE(morvane::base64::decode("Z").has_value());
  EXPECT_FALSE(morvane::base64::decode("Zg==Zg").has_value());
  EXPECT_FALSE(morvane::base64::decode("Zg===").has_value());
  EXPECT_EQ(morvane::base64::decode("Zm9v\nYmFy"), std::string("foobar"));
}
