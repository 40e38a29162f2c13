#include <gtest/gtest.h>

#include "util/encoding.h"

namespace enc = morvane::encoding;

TEST(EncodingNames, UserSpellingsResolve) {
  for (const char* n : {"utf-8", "UTF-8", "utf8", "utf_8", "U8", "cp65001", "big5", "cp950", "BIG5", "gbk", "cp936",
                        "gb2312", "gb18030", "shift_jis", "Shift-JIS", "sjis", "cp932", "euc-jp", "euc_kr", "cp949",
                        "latin-1", "latin_1", "iso-8859-1", "iso8859_15", "cp437", "cp850", "cp1252", "windows-1251",
                        "koi8-r", "ascii", "utf-16", "utf-8-sig", "mac_roman", "latin2", "cp720", "big5hkscs"})
    EXPECT_TRUE(enc::known(n)) << n;
  for (const char* n : {"", "no-such-codec", "utf-9", "cp99999"}) EXPECT_FALSE(enc::known(n)) << n;
  // Windows code page names pick the Windows tables.
  EXPECT_EQ(enc::resolve("cp950"), enc::resolve("big5"));
  EXPECT_EQ(*enc::resolve("cp1252"), "windows-1252");
  EXPECT_THROW(enc::make_decoder("no-such-codec"), std::runtime_error);
}

TEST(Utf8Decoder, HoldsASplitCharacterForTheNextChunk) {
  auto d = enc::make_decoder("utf-8");
  const std::string ch = "連";  // 3 bytes
  EXPECT_EQ(d->decode("a" + ch.substr(0, 1)), "a");
  EXPECT_EQ(d->decode(ch.substr(1, 1)), "");
  EXPECT_EQ(d->decode(ch.substr(2) + "b"), ch + "b");
  const std::string emoji = "\xF0\x9F\x98\x80";
  EXPECT_EQ(d->decode(emoji.substr(0, 2)), "");
  EXPECT_EQ(d->decode(emoji.substr(2)), emoji);
}

TEST(Utf8Decoder, ReplacesInvalidBytesAndKeepsTheRest) {
  auto d = enc::make_decoder("utf-8");
  EXPECT_EQ(d->decode("ok\xff" "fine"), "ok\xEF\xBF\xBD" "fine");
  // A broken lead is replaced at once, not held.
  EXPECT_EQ(d->decode("x\xC0"), "x\xEF\xBF\xBD");
  // An incomplete sequence interrupted by ASCII.
  EXPECT_EQ(d->decode("\xE4\xBD"), "");
  EXPECT_EQ(d->decode("z"), "\xEF\xBF\xBD" "z");
  // At the end of the stream an incomplete sequence is replaced.
  EXPECT_EQ(d->decode("\xE4", true), "\xEF\xBF\xBD");
}

TEST(Utf8SigDecoder, StripsALeadingBomEvenWhenSplit) {
  auto d = enc::make_decoder("utf-8-sig");
  EXPECT_EQ(d->decode("\xEF\xBB"), "");
  EXPECT_EQ(d->decode("\xBFhi\xEF\xBB\xBF"), "hi\xEF\xBB\xBF");
}

TEST(LegacyDecoders, SplitSequencesAndReplacement) {
  auto big5 = enc::make_decoder("big5");
  // 連 in Big5 is B3 73.
  EXPECT_EQ(big5->decode("A\xB3"), "A");
  EXPECT_EQ(big5->decode("\x73"), "連");
  auto sjis = enc::make_decoder("shift_jis");
  // あ in Shift_JIS is 82 A0.
  EXPECT_EQ(sjis->decode("\x82"), "");
  EXPECT_EQ(sjis->decode("\xA0"), "あ");
  auto gbk = enc::make_decoder("gbk");
  // An invalid trail byte gives the replacement character, never U+001A.
  std::string out = gbk->decode("\x81\x20" "ok");
  EXPECT_NE(out.find("\xEF\xBF\xBD"), std::string::npos);
  EXPECT_EQ(out.find('\x1a'), std::string::npos);
  EXPECT_EQ(enc::decode_once("\xB0\xC4\xDB", "cp437"), "░─█");
}

// Single-byte code pages decode through a table built from ICU once: known characters, bytes
// the page leaves undefined become U+FFFD (never U+001A), and long mixed text comes out whole.
TEST(LegacyDecoders, SingleByteCodePages) {
  EXPECT_EQ(enc::decode_once("caf\xE9 \xFF", "latin-1"), "café ÿ");
  EXPECT_EQ(enc::decode_once("\xC1\xC2", "koi8-r"), "аб");
  EXPECT_EQ(enc::decode_once("\x80 5", "cp1252"), "€ 5");
  EXPECT_EQ(enc::decode_once("\xA3", "iso-8859-15"), "£");
  // ISO-8859-3 leaves 0xA5 undefined.
  std::string odd = enc::decode_once("a\xA5" "b", "iso-8859-3");
  EXPECT_EQ(odd, "a\xEF\xBF\xBD" "b");
  std::string bytes, expected;
  for (int round = 0; round < 300; ++round)
    for (int b = 0x20; b < 0x100; ++b) {
      bytes += static_cast<char>(b);
      if (b < 0x80) expected += static_cast<char>(b);
      else {
        expected += static_cast<char>(0xC0 | (b >> 6));
        expected += static_cast<char>(0x80 | (b & 0x3F));
      }
    }
  auto latin1 = enc::make_decoder("ISO-8859-1");
  EXPECT_EQ(latin1->decode(bytes.substr(0, 1000)) + latin1->decode(bytes.substr(1000)), expected);
}

TEST(Encoder, ReplacesUnrepresentableWithQuestionMark) {
  EXPECT_EQ(enc::encode("a連b", "latin-1"), "a?b");
  EXPECT_EQ(enc::encode("連", "big5"), "\xB3\x73");
  EXPECT_EQ(enc::encode("あ😀", "shift_jis"), "\x82\xA0?");
  EXPECT_EQ(enc::encode("é", "utf-8"), "é");
  EXPECT_EQ(enc::encode(std::string("a\xff"), "utf-8"), "a\xEF\xBF\xBD");
  EXPECT_THROW(enc::encode("x", "nope"), std::runtime_error);
}
