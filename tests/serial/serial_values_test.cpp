// Conversions of loosely typed settings.
#include <gtest/gtest.h>

#include <cmath>

#include "serial/serial_values.h"

namespace morvane::serial::detail {
namespace {

using nlohmann::json;

TEST(SerialValues, AsInteger) {
  EXPECT_EQ(as_integer(json(115200)), 115200);
  EXPECT_EQ(as_integer(json(true)), 1);
  EXPECT_EQ(as_integer(json(-7.9)), -7);
  EXPECT_EQ(as_integer(json(" \t+42\n")), 42);
  EXPECT_EQ(as_integer(json("-1_000")), -1000);
  EXPECT_EQ(as_integer(json("9223372036854775807")), 9223372036854775807LL);
  for (const json& bad : {json("1.5"), json(""), json("0x10"), json("1__0"), json("_1"), json("1_"),
                          json("+"), json("99999999999999999999"), json(nullptr), json::array({1}),
                          json(std::nan(""))})
    EXPECT_FALSE(as_integer(bad).has_value()) << bad.dump();
}

TEST(SerialValues, TextForm) {
  EXPECT_EQ(text_form(json(nullptr)), "None");
  EXPECT_EQ(text_form(json(false)), "False");
  EXPECT_EQ(text_form(json(2)), "2");
  EXPECT_EQ(text_form(json(2.0)), "2.0");
  EXPECT_EQ(text_form(json(1.5)), "1.5");
  EXPECT_EQ(text_form(json(-0.25)), "-0.25");
  EXPECT_EQ(text_form(json(0.0001)), "0.0001");
  EXPECT_EQ(text_form(json(0.00001)), "1e-05");
  EXPECT_EQ(text_form(json(1e16)), "1e+16");
  EXPECT_EQ(text_form(json(123456789012345.0)), "123456789012345.0");
  EXPECT_EQ(text_form(json(0.1 + 0.2)), "0.30000000000000004");
  EXPECT_EQ(text_form(json("1.5")), "1.5");
}

TEST(SerialValues, Utf8Replacement) {
  EXPECT_EQ(utf8_with_replacement("plain \xC3\xA9 \xF0\x9F\x98\x80"), "plain \xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(utf8_with_replacement("\xC0\xAF"), "?");         // overlong
  EXPECT_EQ(utf8_with_replacement("\xED\xBF\xBF" "x"), "?x"); // surrogate
  EXPECT_EQ(utf8_with_replacement("\xE2\x82"), "?");         // cut short
  EXPECT_EQ(utf8_with_replacement(std::string("\0\x7F", 2)), std::string("\0\x7F", 2));
}

}  // namespace
}  // namespace morvane::serial::detail
