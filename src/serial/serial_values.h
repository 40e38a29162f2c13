// Conversions of loosely typed port settings (a baud rate may arrive as 115200,
// "115200" or 115200.0), done the way the session files expect.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace morvane::serial::detail {

// An integer as itself, a boolean as 0/1, a float truncated toward zero, a
// text of an optional sign and decimal digits (surrounding blanks and single
// underscores between digits allowed); anything else has no integer value.
std::optional<long long> as_integer(const nlohmann::json& value);

// The text form used for lookups: null "None", booleans "True"/"False",
// integers in decimal, floats in their shortest round-trip form with at least
// one decimal ("2.0", "1.5", "1e+16"), texts as they are.
std::string text_form(const nlohmann::json& value);

// ASCII upper case.
std::string upper_ascii(std::string text);

// Replaces every byte sequence that is not well-formed UTF-8 (including
// encoded surrogates) with '?', so a text always goes out as valid UTF-8.
std::string utf8_with_replacement(std::string_view text);

}  // namespace morvane::serial::detail
