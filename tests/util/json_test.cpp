#include <gtest/gtest.h>

#include "util/json.h"

using morvane::Json;
namespace json = morvane::json;

TEST(JsonLine, UsesPythonSpacingAndKeepsKeyOrder) {
  Json v = Json::object();
  v["b"] = 1;
  v["a"] = Json::array({true, nullptr, "x"});
  v["c"] = Json::object();
  EXPECT_EQ(json::dump_line(v, true), R"({"b": 1, "a": [true, null, "x"], "c": {}})");
}

TEST(JsonLine, AsciiModeEscapesEveryNonAsciiCharacter) {
  EXPECT_EQ(json::quote("連線", true), R"("\u9023\u7dda")");
  EXPECT_EQ(json::quote("─", true), R"("\u2500")");
  // Above U+FFFF: a surrogate pair.
  EXPECT_EQ(json::quote("\xF0\x9F\x98\x80", true), R"("\ud83d\ude00")");
  EXPECT_EQ(json::quote("\x7f", true), R"("\u007f")");
  EXPECT_EQ(json::quote("\x7f", false), "\"\x7f\"");
}

TEST(JsonLine, EscapesControlCharactersButNotSlash) {
  EXPECT_EQ(json::quote("a\"b\\c\n\r\t\b\f\x01/", false), R"("a\"b\\c\n\r\t\b\f\u0001/")");
}

TEST(JsonLine, KeepsNonAsciiWhenAsked) {
  EXPECT_EQ(json::quote("連線 ok", false), "\"連線 ok\"");
}

TEST(JsonLine, InvalidUtf8IsReplacedNotThrown) {
  EXPECT_EQ(json::quote(std::string("a\xff" "b"), true), R"("a\ufffdb")");
  Json v = std::string("\xc3");
  EXPECT_NO_THROW(json::dump_file(v));
  EXPECT_EQ(json::dump_file(v), "\"\xEF\xBF\xBD\"");
}

TEST(JsonFile, TwoSpaceIndentUnescapedAndEmptyContainers) {
  Json v = Json::object();
  v["name"] = "伺服器";
  v["list"] = Json::array();
  v["obj"] = Json::object();
  v["n"] = 3;
  EXPECT_EQ(json::dump_file(v), "{\n  \"name\": \"伺服器\",\n  \"list\": [],\n  \"obj\": {},\n  \"n\": 3\n}");
}

TEST(Truthiness, FollowsTheDynamicLanguage) {
  for (const Json& f : {Json(), Json(false), Json(0), Json(0.0), Json(""), Json::array(), Json::object()})
    EXPECT_FALSE(json::truthy(f)) << f.dump();
  for (const Json& t : {Json(true), Json(1), Json(-1), Json(0.5), Json("0"), Json("false"), Json::array({0}),
                        Json::object({{"a", nullptr}})})
    EXPECT_TRUE(json::truthy(t)) << t.dump();
}

TEST(AsInt, AcceptsWhatIntAccepts) {
  EXPECT_EQ(json::as_int(Json(22)), 22);
  EXPECT_EQ(json::as_int(Json(true)), 1);
  EXPECT_EQ(json::as_int(Json(false)), 0);
  EXPECT_EQ(json::as_int(Json(2.9)), 2);
  EXPECT_EQ(json::as_int(Json(-2.9)), -2);
  EXPECT_EQ(json::as_int(Json(" 22 ")), 22);
  EXPECT_EQ(json::as_int(Json("+7")), 7);
  EXPECT_EQ(json::as_int(Json("-15")), -15);
  EXPECT_EQ(json::as_int(Json("1_000")), 1000);
  EXPECT_EQ(json::as_int(Json("\t9600\n")), 9600);
}

TEST(AsInt, RejectsEverythingElse) {
  for (const Json& bad : {Json("1.5"), Json(""), Json("0x10"), Json(nullptr), Json::array({1}), Json("1__0"),
                          Json("_1"), Json("1_"), Json("- 1"), Json("abc"), Json(" "), Json("99999999999999999999")})
    EXPECT_FALSE(json::as_int(bad).has_value()) << bad.dump();
}

TEST(TextForm, MatchesTheDynamicLanguage) {
  EXPECT_EQ(json::text_form(Json()), "None");
  EXPECT_EQ(json::text_form(Json(true)), "True");
  EXPECT_EQ(json::text_form(Json(false)), "False");
  EXPECT_EQ(json::text_form(Json(42)), "42");
  EXPECT_EQ(json::text_form(Json(2.0)), "2.0");
  EXPECT_EQ(json::text_form(Json("COM3")), "COM3");
}

TEST(Parse, ReportsMalformedInputAsRuntimeError) {
  EXPECT_THROW(json::parse("{\"a\":"), std::runtime_error);
  EXPECT_THROW(json::parse(""), std::runtime_error);
  EXPECT_EQ(json::parse(" [1, 2] ").size(), 2u);
}

// Nested n levels: [[[...0...]]] or {"a":{"a":...}}.
static std::string nested(int n, bool objects) {
  std::string s;
  for (int i = 0; i < n; ++i) s += objects ? "{\"a\":" : "[";
  s += "0";
  for (int i = 0; i < n; ++i) s += objects ? "}" : "]";
  return s;
}

TEST(Parse, RefusesValuesNestedDeeperThanTheLimitWithoutRecursing) {
  EXPECT_EQ(json::depth(json::parse(nested(json::kMaxDepth, false))), json::kMaxDepth);
  EXPECT_EQ(json::depth(json::parse(nested(json::kMaxDepth, true))), json::kMaxDepth);
  for (bool obj : {false, true}) {
    try {
      json::parse(nested(100000, obj));
      ADD_FAILURE() << "a value 100000 levels deep was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("nested deeper than 64"), std::string::npos) << e.what();
    }
    EXPECT_THROW(json::parse(nested(json::kMaxDepth + 1, obj)), std::runtime_error);
  }
  // Unclosed brackets of a truncated or hostile text are refused the same way.
  EXPECT_THROW(json::parse(std::string(200000, '[')), std::runtime_error);
  // Brackets inside strings are text, escaped quotes included.
  Json v = json::parse("{\"k\": \"" + std::string(500, '[') + "\\\"" + std::string(500, '{') + "\"}");
  EXPECT_EQ(json::depth(v), 1);
  EXPECT_EQ(json::parse(nested(3, false), 3).size(), 1u);
  EXPECT_THROW(json::parse(nested(4, false), 3), std::runtime_error);
}

TEST(Depth, CountsContainersNotScalars) {
  EXPECT_EQ(json::depth(Json(5)), 0);
  EXPECT_EQ(json::depth(Json::array()), 1);
  EXPECT_EQ(json::depth(json::parse(R"({"a": [1, {"b": []}], "c": 2})")), 4);
}
