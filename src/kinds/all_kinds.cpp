#include "kinds/all_kinds.h"

#include "kinds/serial/serial_kind.h"
#include "kinds/shell/shell_kind.h"
#include "kinds/ssh/ssh_kind.h"
#include "kinds/ssh1/ssh1_kind.h"

namespace morvane::kinds {

void install_kinds(KindRegistry& registry) {
  registry.add(std::make_shared<SshKind>());
  registry.add(std::make_shared<Ssh1Kind>());
  registry.add(std::make_shared<SerialKind>());
  registry.add(make_shell_kind());
}

}  // namespace morvane::kinds
