#pragma once
// The connection kinds this program has. Adding a kind: a folder under src/kinds/, its
// library in src/kinds/CMakeLists.txt, and one line in all_kinds.cpp.
#include "core/kind.h"

namespace morvane::kinds {
void install_kinds(KindRegistry& registry);
}  // namespace morvane::kinds

namespace morvane {
using kinds::install_kinds;
}  // namespace morvane
