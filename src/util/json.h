#pragma once
// JSON values as the program's files and page calls need them.
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

// Keys keep their insertion order: session records are written back in their own order.
using Json = nlohmann::ordered_json;
// Named values for a text's brace placeholders.
using TextValues = std::map<std::string, Json>;

namespace json {

// Every JSON the program reads (page calls, script lines, HTTP bodies, its own files) goes
// through parse, so this bound holds for every value in memory: copying, comparing and
// writing a value recurse once per level, and a hostile value must not reach the stack's end.
inline constexpr int kMaxDepth = 64;
// Saved session records nest a few levels (forwarding rules, environment pairs). Their file
// is indented per level, so a deeper record would make a file out of all proportion to it.
inline constexpr int kRecordDepth = 8;

// Parses text; throws std::runtime_error with a readable message on malformed input or on
// a value nested deeper than max_depth (a scalar is depth 0, [] or {} depth 1).
Json parse(const std::string& text, int max_depth = kMaxDepth);

// Nesting depth of a value (0 for a scalar). Walks with its own stack, so any value is safe.
int depth(const Json& v);

// File form: two-space indent, ": " between key and value, non-ASCII written as itself,
// invalid UTF-8 replaced by U+FFFD rather than failing.
std::string dump_file(const Json& v);

// Single-line form with ", " between items and ": " between key and value.
// ascii=true escapes every non-ASCII character as \uXXXX (surrogate pairs above U+FFFF).
std::string dump_line(const Json& v, bool ascii);

// A JSON string literal for s (quotes included), escaped as dump_line does.
std::string quote(const std::string& s, bool ascii);
// The same literal appended to out.
void append_quoted(std::string& out, std::string_view s, bool ascii);

// Truth of a value: null, false, 0, 0.0, "", [] and {} are false; all else is true.
bool truthy(const Json& v);

// Integer conversion: integers as they are, booleans 0/1, floats truncated toward zero,
// text of an optional sign and decimal digits (surrounding blanks and single underscores
// between digits allowed). Everything else gives nullopt.
std::optional<long long> as_int(const Json& v);

// Text form used in notices: null -> None, true -> True, false -> False, numbers in
// decimal, text as it is, containers as single-line JSON.
std::string text_form(const Json& v);

// Value of key in an object, or null when v is not an object or has no such key.
const Json& get(const Json& v, const std::string& key);

// Text value of key, or "" when missing or not text.
std::string get_str(const Json& v, const std::string& key);

}  // namespace json
}  // namespace morvane
