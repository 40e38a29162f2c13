#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace morvane::base64 {
// RFC 4648 standard alphabet with padding.
std::string encode(std::string_view bytes);
// Accepts padded or unpadded input; ignores ASCII white space; nullopt on any other byte
// outside the alphabet or a malformed length.
std::optional<std::string> decode(std::string_view text);
}  // namespace morvane::base64
