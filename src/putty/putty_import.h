#pragma once
// PuTTY's saved sessions as raw records, and how one becomes a session record.
//
// A raw record carries `name` (the decoded session name) and, spelled exactly as PuTTY names
// them, those of the eleven values below that the session holds: texts as text, PuTTY's
// numbers (registry DWORDs) as integers. The page lists raw records and hands a chosen subset
// back unchanged for import.
#include <array>
#include <filesystem>
#include <string>
#include <string_view>

#include "util/json.h"

namespace morvane::putty {

// The values read from each session, in this order.
inline constexpr std::array<const char*, 11> kValueNames = {
    "HostName", "Protocol", "UserName", "PublicKeyFile", "PortNumber", "Compression",
    "TerminalType", "SerialLine", "SerialSpeed", "LFImpliesCR", "CRImpliesLF"};

// True for the values PuTTY keeps as numbers (DWORDs in the registry).
bool is_number_value(std::string_view name);

// Percent-decoding of a stored session name: %XY becomes that byte, the bytes are read as
// UTF-8 with U+FFFD for invalid sequences; '+' and everything else stays.
std::string _unescape_putty_name(std::string_view name);

// One session file of PuTTY's Unix store: "Key=Value" lines, split at the first '=', numbers
// as decimal text. Only the eleven values are kept; a number value that is not a number is
// kept as its text (the mapping then treats it as missing). `stored_name` is the file name,
// still escaped. Never throws on any input.
Json parse_session_file(std::string_view stored_name, std::string_view bytes);

// The 17-key session record for one raw record, with a fresh id. `default_name` names a
// session whose PuTTY name is empty. Throws std::invalid_argument when `raw` is not a record.
Json to_session_record(const Json& raw, const std::string& default_name);

// The release number in a PuTTY source tree ("#define RELEASE 0.78" in version.h), or ""
// when there is no version.h or no such line. Read errors go to the caller.
std::string _read_putty_version(const std::filesystem::path& dir);

}  // namespace morvane::putty
