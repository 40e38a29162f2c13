#pragma once
// The SSH compatibility layer: algorithm preferences and server-bug workarounds that a
// session asks for. Both travel in the connect options of one connection (ssh::ConnectOptions),
// so two tabs connecting at the same time never see each other's settings.
#include <map>
#include <string>
#include <vector>

#include "util/json.h"

namespace morvane::ssh_compat {

// A preference record: category ("kex", "ciphers", "macs", "keys", and "pubkeys" for the
// signature algorithms of user keys) to algorithm names in preference order. A missing
// category leaves libssh's own order.
using Prefs = Json;

// The preset for old servers: CBC ciphers, SHA-1 (and, where the linked libssh has them,
// MD5) based algorithms first, the modern ones after them so that an up-to-date server is
// still reached. Only names the linked libssh accepts are listed.
const Prefs& LEGACY_SSH_PREFS();

// The preference record of a session: a copy of the legacy preset when
// `ssh_legacy_compat` is true, then each non-empty list of `ssh_kex`, `ssh_ciphers`,
// `ssh_macs`, `ssh_keys` replacing its category. An empty object means no override.
Prefs _build_ssh_prefs(const Json& sess);

// Names of the workarounds, their modes, and which protocol each applies to.
struct SSHBugSpec {
  static constexpr const char* AUTO = "auto";      // whatever the connection does by itself
  static constexpr const char* FORCE_OFF = "off";  // never apply
  static constexpr const char* FORCE_ON = "on";    // always apply
  // Workarounds the SSH-2 connection applies when forced on.
  static const std::vector<std::string>& SSH2_BUGS();
  // Workarounds of the SSH-1 backend (which offers only password authentication).
  static const std::vector<std::string>& SSH1_BUGS();
  // One line saying what the workaround does, or "" for an unknown name.
  static std::string describe(const std::string& name);
};

// Workarounds of one connection: name to mode, valid entries only.
using Bugs = std::map<std::string, std::string>;
// The workarounds of a session's record (name to mode; modes in any case, with blanks around).
// Unknown names and modes are left out with a diagnostic line; a record that is not an object
// counts as empty.
Bugs bugs_from_record(const Json& record);
bool bug_forced_on(const Bugs& bugs, const std::string& name);

// Whether the linked libssh accepts an algorithm name in a category.
bool libssh_accepts(const std::string& category, const std::string& name);

}  // namespace morvane::ssh_compat
