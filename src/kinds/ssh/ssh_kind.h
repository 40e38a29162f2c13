#pragma once
// The SSH-2 kind ("ssh"): private-key preparation, the start routine, port-forwarding rules and
// the key-file dialog.
#include <optional>
#include <string>
#include <utility>

#include "core/kind.h"

namespace morvane::ssh {
class SshClient;
}

namespace morvane::kinds {

class SshKind final : public Kind {
 public:
  std::vector<std::string> protocols() const override { return {"ssh"}; }
  std::shared_ptr<Connection> open(const OpenRequest& req) override;
  void install(Bridge& bridge, KindServices& services) override;

  // (usable key path, error text): exactly one is set. A ".ppk" key becomes a temporary
  // OpenSSH key written by puttygen; every other existing file passes unchanged.
  std::pair<std::optional<std::string>, std::optional<std::string>> _ensure_openssh_key(const std::string& key_path);
  double puttygen_timeout_sec = 15.0;
  // The chosen key file, or "" when cancelled or when there is no dialog to show.
  std::string pick_private_key();
  // One forwarding rule on a tab's connection. A rule that cannot be set up shows a notice
  // and leaves the connection going.
  void _setup_forward(ssh::SshClient& client, const Json& rule, const std::string& tab_id);

  KindServices& services() const { return *svc_; }

 private:
  KindServices* svc_ = nullptr;
};

// The temporary key file an SSH tab's connection converted, "" when none (for tests).
std::string ssh_tmp_keyfile(const std::shared_ptr<Connection>& conn);

}  // namespace morvane::kinds
