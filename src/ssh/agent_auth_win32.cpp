#include "ssh/agent_auth.h"

namespace morvane::ssh {

// libssh speaks only the Unix-socket agent protocol, which Windows does not offer.
std::optional<int> auth_with_agent(ssh_session, std::string* why) {
  *why = "SSH agent keys are not supported on this platform";
  return std::nullopt;
}

}  // namespace morvane::ssh
