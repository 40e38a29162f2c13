#include "ssh/ssh_compat.h"

#include <libssh/libssh.h>

#include "util/diag.h"
#include "util/text.h"

namespace morvane::ssh_compat {

namespace {

bool option_for(const std::string& category, ssh_options_e* opt) {
  if (category == "kex") *opt = SSH_OPTIONS_KEY_EXCHANGE;
  else if (category == "ciphers") *opt = SSH_OPTIONS_CIPHERS_C_S;
  else if (category == "macs") *opt = SSH_OPTIONS_HMAC_C_S;
  else if (category == "keys") *opt = SSH_OPTIONS_HOSTKEYS;
  else if (category == "pubkeys") *opt = SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES;
  else return false;
  return true;
}

// Candidates in the order the preset offers them; names the linked libssh lacks (MD5 MACs,
// DSA, Blowfish in Debian's build) drop out when the preset is made.
const std::pair<const char*, std::vector<const char*>> kLegacyCandidates[] = {
    {"kex",
     {"diffie-hellman-group1-sha1", "diffie-hellman-group14-sha1", "diffie-hellman-group-exchange-sha1",
      "curve25519-sha256", "curve25519-sha256@libssh.org", "ecdh-sha2-nistp256", "ecdh-sha2-nistp384",
      "ecdh-sha2-nistp521", "diffie-hellman-group-exchange-sha256", "diffie-hellman-group14-sha256",
      "diffie-hellman-group16-sha512", "diffie-hellman-group18-sha512"}},
    {"ciphers",
     {"aes128-cbc", "aes192-cbc", "aes256-cbc", "3des-cbc", "blowfish-cbc", "aes128-ctr", "aes192-ctr", "aes256-ctr",
      "aes128-gcm@openssh.com", "aes256-gcm@openssh.com", "chacha20-poly1305@openssh.com"}},
    {"macs",
     {"hmac-sha1", "hmac-sha1-96", "hmac-md5", "hmac-md5-96", "hmac-sha1-etm@openssh.com", "hmac-md5-etm@openssh.com",
      "hmac-sha2-256", "hmac-sha2-512", "hmac-sha2-256-etm@openssh.com", "hmac-sha2-512-etm@openssh.com"}},
    {"keys",
     {"ssh-rsa", "ssh-dss", "rsa-sha2-512", "rsa-sha2-256", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384",
      "ecdsa-sha2-nistp521", "ssh-ed25519"}},
    // Old servers know only SHA-1 signatures of RSA user keys.
    {"pubkeys",
     {"ssh-rsa", "ssh-dss", "rsa-sha2-512", "rsa-sha2-256", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384",
      "ecdsa-sha2-nistp521", "ssh-ed25519"}},
};

struct BugInfo {
  const char* name;
  bool ssh1;
  const char* what;
};

// Only workarounds that change what this program sends are offered.
const BugInfo kBugs[] = {
    {"ignore2", false,
     "the server chokes on SSH_MSG_IGNORE: keep-alives are sent as SSH_MSG_DEBUG messages instead"},
    {"oldgex2", false,
     "the server mishandles Diffie-Hellman group exchange: group-exchange key exchanges are left out of the offer"},
    {"rsa_sha2", false,
     "the server mishandles RSA SHA-2 signatures: RSA host keys and user keys are used with ssh-rsa (SHA-1) "
     "signatures only"},
    {"ignore1", true, "the SSH-1 server chokes on SSH_MSG_IGNORE: the backend sends none"},
    {"plainpw1", true, "the SSH-1 server refuses padded passwords: the password is sent without camouflage"},
};

const BugInfo* find_bug(const std::string& name) {
  for (const auto& b : kBugs)
    if (name == b.name) return &b;
  return nullptr;
}

}  // namespace

bool libssh_accepts(const std::string& category, const std::string& name) {
  ssh_options_e opt;
  if (!option_for(category, &opt) || name.empty() || name.find(',') != std::string::npos) return false;
  ssh_session s = ssh_new();
  if (!s) return false;
  bool ok = ssh_options_set(s, opt, name.c_str()) == SSH_OK;
  ssh_free(s);
  return ok;
}

const Prefs& LEGACY_SSH_PREFS() {
  static const Prefs prefs = [] {
    Prefs p = Json::object();
    for (const auto& [category, names] : kLegacyCandidates) {
      Json list = Json::array();
      for (const char* n : names)
        if (libssh_accepts(category, n)) list.push_back(n);
      if (!list.empty()) p[category] = list;
    }
    return p;
  }();
  return prefs;
}

Prefs _build_ssh_prefs(const Json& sess) {
  Prefs prefs = json::truthy(json::get(sess, "ssh_legacy_compat")) ? LEGACY_SSH_PREFS() : Json::object();
  static const std::pair<const char*, const char*> kPairs[] = {
      {"ssh_kex", "kex"}, {"ssh_ciphers", "ciphers"}, {"ssh_macs", "macs"}, {"ssh_keys", "keys"}};
  for (const auto& [key, category] : kPairs) {
    const Json& v = json::get(sess, key);
    if (!v.is_array() || v.empty()) continue;
    Json list = Json::array();
    for (const auto& item : v) list.push_back(item.is_string() ? item.get<std::string>() : json::text_form(item));
    prefs[category] = list;
  }
  return prefs;
}

const std::vector<std::string>& SSHBugSpec::SSH2_BUGS() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const auto& b : kBugs)
      if (!b.ssh1) v.push_back(b.name);
    return v;
  }();
  return names;
}

const std::vector<std::string>& SSHBugSpec::SSH1_BUGS() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const auto& b : kBugs)
      if (b.ssh1) v.push_back(b.name);
    return v;
  }();
  return names;
}

std::string SSHBugSpec::describe(const std::string& name) {
  const BugInfo* b = find_bug(name);
  return b ? b->what : "";
}

Bugs bugs_from_record(const Json& bugs) {
  Bugs out;
  if (!bugs.is_object()) return out;
  for (auto it = bugs.begin(); it != bugs.end(); ++it) {
    if (!find_bug(it.key())) {
      diag::out("[ssh_bugs] unknown workaround left out: " + it.key());
      continue;
    }
    std::string mode = it.value().is_string() ? text::lower_ascii(text::trim(it.value().get<std::string>())) : "";
    if (mode != SSHBugSpec::AUTO && mode != SSHBugSpec::FORCE_OFF && mode != SSHBugSpec::FORCE_ON) {
      diag::out("[ssh_bugs] unknown mode for " + it.key() + " left out: " + json::text_form(it.value()));
      continue;
    }
    out[it.key()] = mode;
  }
  return out;
}

bool bug_forced_on(const Bugs& bugs, const std::string& name) {
  auto it = bugs.find(name);
  return it != bugs.end() && it->second == SSHBugSpec::FORCE_ON;
}

}  // namespace morvane::ssh_compat
