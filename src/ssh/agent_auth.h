#pragma once
// The SSH agent's keys for user authentication; the agent is reached differently per platform.
#include <libssh/libssh.h>

#include <optional>
#include <string>

namespace morvane::ssh {

// Offers the running agent's keys: the SSH_AUTH_* result, or nothing (with the reason in
// *why) when no agent can be reached.
std::optional<int> auth_with_agent(ssh_session s, std::string* why);

}  // namespace morvane::ssh
