#include <cstdlib>

#include "ssh/agent_auth.h"

namespace morvane::ssh {

std::optional<int> auth_with_agent(ssh_session s, std::string* why) {
  const char* sock = std::getenv("SSH_AUTH_SOCK");
  if (!sock || !*sock) {
    *why = "no SSH agent is running (SSH_AUTH_SOCK is not set)";
    return std::nullopt;
  }
  return ssh_userauth_agent(s, nullptr);
}

}  // namespace morvane::ssh
