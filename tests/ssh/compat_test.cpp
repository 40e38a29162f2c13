// The SSH compatibility layer: the legacy preset, the session's preference record and the
// workarounds each connection carries in its options.
#include <gtest/gtest.h>

#include "app/morvane_app.h"
#include "ssh/ssh_client.h"
#include "ssh/ssh_compat.h"

namespace morvane::ssh_compat {
namespace {

std::vector<std::string> names(const Json& list) {
  std::vector<std::string> out;
  for (const auto& v : list) out.push_back(v.get<std::string>());
  return out;
}

TEST(SshCompat, LegacyPresetPutsOldAlgorithmsFirstAndLibsshKnowsEveryName) {
  const Json& p = LEGACY_SSH_PREFS();
  for (const char* cat : {"kex", "ciphers", "macs", "keys", "pubkeys"}) {
    ASSERT_TRUE(p.contains(cat)) << cat;
    for (const auto& n : names(p[cat])) EXPECT_TRUE(libssh_accepts(cat, n)) << cat << " " << n;
  }
  auto ciphers = names(p["ciphers"]);
  EXPECT_EQ(ciphers.front(), "aes128-cbc");
  EXPECT_NE(std::find(ciphers.begin(), ciphers.end(), "3des-cbc"), ciphers.end());
  // Modern ones follow, so an up-to-date server is still reached.
  EXPECT_NE(std::find(ciphers.begin(), ciphers.end(), "aes256-ctr"), ciphers.end());
  auto cbc_end = std::find_if(ciphers.begin(), ciphers.end(), [](auto& c) { return c.find("-cbc") == std::string::npos; });
  EXPECT_TRUE(std::all_of(cbc_end, ciphers.end(), [](auto& c) { return c.find("-cbc") == std::string::npos; }));
  EXPECT_EQ(names(p["kex"]).front(), "diffie-hellman-group1-sha1");
  EXPECT_EQ(names(p["macs"]).front(), "hmac-sha1");
  EXPECT_EQ(names(p["keys"]).front(), "ssh-rsa");
}

TEST(SshCompat, NamesLibsshLacksAreNotAccepted) {
  EXPECT_FALSE(libssh_accepts("ciphers", "arcfour-nonsense"));
  EXPECT_FALSE(libssh_accepts("ciphers", "aes128-cbc,aes256-cbc"));
  EXPECT_FALSE(libssh_accepts("nonsense", "aes128-cbc"));
  EXPECT_TRUE(libssh_accepts("ciphers", "aes128-cbc"));
}

TEST(SshCompat, PrefsOfAPlainSessionAreEmpty) {
  Json sess = {{"ssh_kex", Json::array()}, {"ssh_ciphers", Json::array()}, {"ssh_legacy_compat", false}};
  EXPECT_EQ(_build_ssh_prefs(sess), Json::object());
  EXPECT_EQ(_build_ssh_prefs(Json::object()), Json::object());
}

TEST(SshCompat, SessionListReplacesOnlyItsCategoryOfThePreset) {
  Json sess = {{"ssh_legacy_compat", true}, {"ssh_ciphers", {"aes256-ctr", "aes128-cbc"}}};
  Json p = _build_ssh_prefs(sess);
  EXPECT_EQ(names(p["ciphers"]), (std::vector<std::string>{"aes256-ctr", "aes128-cbc"}));
  for (const char* cat : {"kex", "macs", "keys"}) EXPECT_EQ(p[cat], LEGACY_SSH_PREFS()[cat]) << cat;
}

TEST(SshCompat, EachSessionListFillsItsCategory) {
  Json sess = {{"ssh_kex", {"curve25519-sha256"}},
               {"ssh_ciphers", {"aes128-ctr"}},
               {"ssh_macs", {"hmac-sha2-256"}},
               {"ssh_keys", {"ssh-ed25519"}},
               {"ssh_legacy_compat", "yes"}};  // any true value
  Json p = _build_ssh_prefs(sess);
  EXPECT_EQ(names(p["kex"]), std::vector<std::string>{"curve25519-sha256"});
  EXPECT_EQ(names(p["ciphers"]), std::vector<std::string>{"aes128-ctr"});
  EXPECT_EQ(names(p["macs"]), std::vector<std::string>{"hmac-sha2-256"});
  EXPECT_EQ(names(p["keys"]), std::vector<std::string>{"ssh-ed25519"});
  EXPECT_EQ(p["pubkeys"], LEGACY_SSH_PREFS()["pubkeys"]);
  // A list given as anything but a sequence changes nothing.
  EXPECT_EQ(_build_ssh_prefs({{"ssh_ciphers", "aes128-cbc"}}), Json::object());
}

TEST(SshCompat, WorkaroundNamesAndModes) {
  EXPECT_STREQ(SSHBugSpec::FORCE_ON, "on");
  const auto& ssh1 = SSHBugSpec::SSH1_BUGS();
  EXPECT_EQ(ssh1, (std::vector<std::string>{"ignore1", "plainpw1"}));
  for (const auto& n : SSHBugSpec::SSH2_BUGS()) {
    EXPECT_EQ(std::find(ssh1.begin(), ssh1.end(), n), ssh1.end());
    EXPECT_FALSE(SSHBugSpec::describe(n).empty());
  }
  EXPECT_EQ(SSHBugSpec::describe("nonsense"), "");
}

TEST(SshCompat, WorkaroundsAreReadFromTheSessionRecord) {
  Bugs bugs = bugs_from_record(
      {{"ignore2", "on"}, {"oldgex2", "OFF"}, {"bogus", "on"}, {"rsa_sha2", "sometimes"}, {"ignore1", "on"}});
  EXPECT_TRUE(bug_forced_on(bugs, "ignore2"));
  EXPECT_FALSE(bug_forced_on(bugs, "oldgex2"));
  EXPECT_EQ(bugs.at("oldgex2"), "off");
  EXPECT_EQ(bugs.count("bogus"), 0u);
  EXPECT_EQ(bugs.count("rsa_sha2"), 0u);
  EXPECT_TRUE(bug_forced_on(bugs, "ignore1"));

  // Each connection carries its own: options made for one tab leave another's empty.
  ssh::ConnectOptions with, without;
  with.prefs = Json{{"ciphers", {"aes128-cbc"}}};
  with.bugs = Json{{"ignore2", "on"}};
  EXPECT_TRUE(without.prefs.is_null());
  EXPECT_TRUE(bugs_from_record(without.bugs).empty());
  EXPECT_TRUE(bug_forced_on(bugs_from_record(with.bugs), "ignore2"));

  EXPECT_TRUE(bugs_from_record(Json("not a record")).empty());
  EXPECT_TRUE(bugs_from_record(Json::object()).empty());
}

}  // namespace
}  // namespace morvane::ssh_compat
