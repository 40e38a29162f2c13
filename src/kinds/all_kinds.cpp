#include "kinds/all_kinds.h"

#include "kinds/netkinds/netkinds.h"
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
  registry.add(make_telnet_kind());
  registry.add(make_raw_kind());
  registry.add(make_rlogin_kind());
  registry.add(make_supdup_kind());
}

}  // namespace morvane::kinds
