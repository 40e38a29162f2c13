#pragma once
// The local shell kind ("conpty"): a shell in a pseudo-terminal on this machine.
#include "core/kind.h"

namespace morvane::kinds {

std::shared_ptr<Kind> make_shell_kind();

}  // namespace morvane::kinds
