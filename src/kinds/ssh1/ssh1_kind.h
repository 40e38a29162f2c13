#pragma once
// The SSH-1 kind ("ssh1"; the dispatcher sends sessions of protocol "ssh" with ssh_version 1
// here): password sign-in only, forced workarounds from the session, the shell in one tab.
#include <set>
#include <string>

#include "core/kind.h"

namespace morvane::kinds {

class Ssh1Kind final : public Kind {
 public:
  std::vector<std::string> protocols() const override { return {"ssh1"}; }
  std::shared_ptr<Connection> open(const OpenRequest& req) override;

  // The limit for the TCP connection and the whole set-up until the shell runs.
  double timeout_sec = 15;
};

// The SSH-1 workarounds a session's `ssh_bugs` record forces on; names of other protocols,
// unknown names and every other mode are left out.
std::set<std::string> forced_ssh1_bugs(const Json& ssh_bugs);

}  // namespace morvane::kinds
