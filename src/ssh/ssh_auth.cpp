#include "ssh/ssh_auth.h"

#include <filesystem>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "ssh/agent_auth.h"
#include "ssh/ssh_impl.h"

namespace morvane::ssh {
namespace {

namespace fs = std::filesystem;

// Keys are never unlocked by asking on a terminal: an encrypted key without its passphrase
// simply cannot be used.
int no_prompt(const char*, char*, size_t, int, int, void*) { return -1; }

ssh_key load_private_key(const std::string& path, const std::string& passphrase, std::string* why) {
  ssh_key key = nullptr;
  int rc = ssh_pki_import_privkey_file(path.c_str(), nullptr, no_prompt, nullptr, &key);
  if (rc == SSH_OK) return key;
  if (rc == SSH_EOF) {
    *why = "the key file " + path + " cannot be read";
    return nullptr;
  }
  // An encrypted key may share its passphrase with the account's password.
  if (!passphrase.empty() &&
      ssh_pki_import_privkey_file(path.c_str(), passphrase.c_str(), no_prompt, nullptr, &key) == SSH_OK)
    return key;
  *why = "the key file " + path + " is not a usable private key (or is protected by a passphrase)";
  return nullptr;
}

std::string home_ssh_dir() {
  fs::path home = home_dir();
  return home.empty() ? std::string() : (home / ".ssh").string();
}

std::string methods_text(int m) {
  std::string out;
  auto add = [&](int bit, const char* name) {
    if (!(m & bit)) return;
    if (!out.empty()) out += ", ";
    out += name;
  };
  add(SSH_AUTH_METHOD_PUBLICKEY, "publickey");
  add(SSH_AUTH_METHOD_PASSWORD, "password");
  add(SSH_AUTH_METHOD_INTERACTIVE, "keyboard-interactive");
  add(SSH_AUTH_METHOD_HOSTBASED, "hostbased");
  add(SSH_AUTH_METHOD_GSSAPI_MIC, "gssapi-with-mic");
  return out.empty() ? "none" : out;
}

bool same_file(const std::string& a, const std::string& b) {
  std::error_code ec;
  return !a.empty() && !b.empty() && fs::equivalent(a, b, ec);
}

class Attempts {
 public:
  explicit Attempts(ssh_session s) : s_(s) {}

  // True when authentication is complete; throws when the connection broke.
  bool settle(int rc, const std::string& what) {
    tried_.push_back(what);
    if (rc == SSH_AUTH_SUCCESS) return true;
    if (rc == SSH_AUTH_ERROR) {
      std::string e = session_error(s_);
      // After a refusal the server may give up on us (too many failures): still a refusal.
      if (refused_) throw AuthError(summary() + " (" + e + ")");
      throw ConnectError(e);
    }
    refused_ = true;  // denied, or accepted only as one step of several
    return false;
  }
  void note(const std::string& why) { notes_.push_back(why); }
  int methods() const { return ssh_userauth_list(s_, nullptr); }

  std::string summary() const {
    std::string out;
    if (tried_.empty()) {
      out = "no credential to offer: give a password or a private key";
    } else {
      out = "permission denied (tried: ";
      for (size_t i = 0; i < tried_.size(); ++i) out += (i ? ", " : "") + tried_[i];
      out += ")";
    }
    out += "; the server accepts: " + methods_text(methods());
    for (const auto& n : notes_) out += "; " + n;
    return out;
  }

 private:
  ssh_session s_;
  std::vector<std::string> tried_;
  std::vector<std::string> notes_;
  bool refused_ = false;
};

int kbdint_with_password(ssh_session s, const std::string& password) {
  int rc = ssh_userauth_kbdint(s, nullptr, nullptr);
  for (int round = 0; rc == SSH_AUTH_INFO && round < 8; ++round) {
    int n = ssh_userauth_kbdint_getnprompts(s);
    for (int i = 0; i < n; ++i) ssh_userauth_kbdint_setanswer(s, static_cast<unsigned>(i), password.c_str());
    rc = ssh_userauth_kbdint(s, nullptr, nullptr);
  }
  return rc == SSH_AUTH_INFO ? SSH_AUTH_DENIED : rc;
}

}  // namespace

void authenticate(ssh_session s, const ConnectOptions& o) {
  int rc = ssh_userauth_none(s, nullptr);
  if (rc == SSH_AUTH_SUCCESS) return;
  if (rc == SSH_AUTH_ERROR) throw ConnectError(session_error(s));
  Attempts a(s);

  if (!o.key_file.empty() && (a.methods() & SSH_AUTH_METHOD_PUBLICKEY)) {
    std::string why;
    if (ssh_key key = load_private_key(o.key_file, o.password, &why)) {
      rc = ssh_userauth_publickey(s, nullptr, key);
      ssh_key_free(key);
      if (a.settle(rc, "key file")) return;
    } else {
      a.note(why);
    }
  }

  if (o.allow_agent && (a.methods() & SSH_AUTH_METHOD_PUBLICKEY)) {
    std::string why;
    if (std::optional<int> agent_rc = auth_with_agent(s, &why)) {
      if (a.settle(*agent_rc, "SSH agent keys")) return;
    } else {
      a.note(why);
    }
  }

  if (o.look_for_keys && (a.methods() & SSH_AUTH_METHOD_PUBLICKEY)) {
    std::string dir = o.key_dir.empty() ? home_ssh_dir() : o.key_dir;
    for (const char* name : {"id_rsa", "id_ecdsa", "id_ed25519", "id_dsa"}) {
      if (dir.empty()) break;
      std::string path = dir + "/" + name;
      std::error_code ec;
      if (!fs::is_regular_file(path, ec) || same_file(path, o.key_file)) continue;
      if (!(a.methods() & SSH_AUTH_METHOD_PUBLICKEY)) break;
      // Ask with the public half first: a refused key needs no passphrase and no signature.
      ssh_key pub = nullptr;
      if (ssh_pki_import_pubkey_file((path + ".pub").c_str(), &pub) == SSH_OK) {
        rc = ssh_userauth_try_publickey(s, nullptr, pub);
        ssh_key_free(pub);
        if (rc != SSH_AUTH_SUCCESS) {
          a.settle(rc, name);
          continue;
        }
      }
      std::string why;
      ssh_key key = load_private_key(path, o.password, &why);
      if (!key) continue;
      rc = ssh_userauth_publickey(s, nullptr, key);
      ssh_key_free(key);
      if (a.settle(rc, name)) return;
    }
  }

  if (!o.password.empty()) {
    int m = a.methods();
    if (m & SSH_AUTH_METHOD_PASSWORD) {
      if (a.settle(ssh_userauth_password(s, nullptr, o.password.c_str()), "password")) return;
    } else if (m & SSH_AUTH_METHOD_INTERACTIVE) {
      if (a.settle(kbdint_with_password(s, o.password), "password (keyboard-interactive)")) return;
    }
  }
  throw AuthError(a.summary());
}

}  // namespace morvane::ssh
