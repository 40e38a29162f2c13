#pragma once
#include <string>

namespace morvane {
// A random version-4 UUID as 32 lower-case hexadecimal digits, without dashes.
std::string uuid4_hex();
}  // namespace morvane
