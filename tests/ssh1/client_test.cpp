// The client against the test server in memory: whole sessions with each cipher, the
// password workarounds in every mode, and each way set-up can fail.
#include <gtest/gtest.h>

#include "harness.h"
#include "ssh/ssh_compat.h"

using namespace ssh1test;
using morvane::ssh1::kCipher3Des;
using morvane::ssh1::kCipherBlowfish;
using Kind = Event::Kind;

namespace {

ClientConfig with_bugs(std::map<std::string, std::string> bugs) {
  ClientConfig c = default_config();
  c.bugs = std::move(bugs);
  return c;
}

}  // namespace

TEST(Ssh1Session, carries_a_shell_with_each_cipher_from_start_to_exit) {
  for (int cipher : {kCipher3Des, kCipherBlowfish}) {
    ServerOptions so;
    so.cipher_mask = 1u << cipher;
    so.login_banner = "Welcome\r\n";
    Pair p(so);
    p.chunk = cipher == kCipher3Des ? 0 : 3;  // Blowfish run gets the bytes in small pieces
    p.pump();
    ASSERT_EQ(p.client.state(), State::Open) << p.client.error() << " / " << p.server.error();
    EXPECT_TRUE(p.has(Kind::Connected));
    EXPECT_EQ(p.client.cipher(), cipher);
    EXPECT_EQ(p.server.seen().cipher, cipher);
    EXPECT_EQ(p.client.session_id(), p.server.seen().session_id);
    EXPECT_EQ(p.server.seen().client_version, "SSH-1.5-Morvane_0.1");
    EXPECT_EQ(p.server.seen().protocol_flags, 0u);
    EXPECT_EQ(p.server.seen().user, "tester");
    EXPECT_EQ(p.server.seen().term, "xterm");
    EXPECT_EQ(p.server.seen().rows, 24u);
    EXPECT_EQ(p.server.seen().cols, 80u);
    EXPECT_EQ(p.server.seen().tty_modes, std::string(1, '\0'));
    EXPECT_TRUE(p.server.seen().shell);
    EXPECT_EQ(p.out, "Welcome\r\n");

    EXPECT_TRUE(p.client.send("echo hi\r"));
    p.pump();
    EXPECT_EQ(p.out, "Welcome\r\necho hi\r\n");
    p.client.resize(40, 132);
    p.client.send("err oops\r");
    p.pump();
    ASSERT_EQ(p.server.seen().window_sizes.size(), 1u);
    EXPECT_EQ(p.server.seen().window_sizes[0], std::make_pair(40u, 132u));
    EXPECT_EQ(p.err, "oops\r\n");

    p.client.send("exit 7\r");
    p.pump();
    EXPECT_EQ(p.client.state(), State::Closed);
    ASSERT_TRUE(p.has(Kind::ExitStatus));
    for (const auto& e : p.events)
      if (e.kind == Kind::ExitStatus) {
        EXPECT_EQ(e.code, 7u);
      }
    EXPECT_TRUE(p.server.seen().exit_confirmed);
    EXPECT_TRUE(p.server.done());
    EXPECT_EQ(p.server.error(), "");
    EXPECT_EQ(p.count(Kind::Closed), 1);
    // After the end nothing more is sent or reported.
    EXPECT_FALSE(p.client.send("x"));
    p.client.close();
    p.client.eof(p.now);
    p.collect();
    EXPECT_EQ(p.client.take_output(), "");
    EXPECT_EQ(p.count(Kind::Closed), 1);
  }
}

TEST(Ssh1Session, large_input_is_split_into_bounded_packets) {
  Pair p;
  p.pump();
  ASSERT_EQ(p.client.state(), State::Open);
  std::string big(100000, 'x');
  p.client.send(big);
  p.pump();
  EXPECT_EQ(p.server.seen().stdin_data, big);
  EXPECT_EQ(p.out.size(), big.size());
}

TEST(Ssh1Session, accepts_servers_announcing_1_99_and_text_before_the_version) {
  ServerOptions so;
  so.version = "SSH-1.99-TestSsh1_1.0";
  so.pre_version_text = "Hello, this is old gear\r\nSecond line\r\n";
  Pair p(so);
  p.chunk = 1;
  p.pump();
  EXPECT_EQ(p.client.state(), State::Open) << p.client.error();
  EXPECT_EQ(p.client.server_version(), "SSH-1.99-TestSsh1_1.0");
}

TEST(Ssh1Session, refuses_servers_of_other_protocol_versions) {
  for (auto [version, words] : {std::pair{"SSH-2.0-OpenSSH_9.2", "only SSH-2"},
                                std::pair{"SSH-1.3-Ancient", "older than SSH-1.5"},
                                std::pair{"SSH-x.y-Broken", "unreadable"}}) {
    ServerOptions so;
    so.version = version;
    Pair p(so);
    p.pump();
    EXPECT_EQ(p.client.state(), State::Failed) << version;
    EXPECT_NE(p.client.error().find(words), std::string::npos) << p.client.error();
    EXPECT_EQ(p.server.seen().client_version, "");  // nothing was sent to it
  }
}

TEST(Ssh1Session, picks_the_first_preferred_cipher_the_server_offers) {
  ClientConfig cc = default_config();
  cc.ciphers = {kCipherBlowfish, kCipher3Des};
  Pair both({}, cc);
  both.pump();
  EXPECT_EQ(both.server.seen().cipher, kCipherBlowfish);

  ServerOptions only_des;
  only_des.cipher_mask = 1u << 2;  // single DES, which is not offered by this client
  Pair none(only_des);
  none.pump();
  EXPECT_EQ(none.client.state(), State::Failed);
  EXPECT_NE(none.client.error().find("none of the ciphers 3des, blowfish"), std::string::npos);
  EXPECT_TRUE(none.server.seen().client_disconnected);
}

TEST(Ssh1Password, is_hidden_among_ignore_messages_by_default) {
  Pair p;
  p.pump();
  ASSERT_EQ(p.client.state(), State::Open) << p.client.error();
  EXPECT_FALSE(p.client.bug_ignore1());
  EXPECT_EQ(p.server.seen().password_field, "s3cret pass");  // exact, not padded
  // One packet for every string length below 64: 63 of them are IGNOREs.
  EXPECT_EQ(p.server.seen().ignores, 63);
  EXPECT_EQ(p.server.seen().ignores_before_password, 11);
}

TEST(Ssh1Password, forced_ignore1_pads_the_password_instead) {
  ServerOptions so;
  so.choke_on_ignore = true;  // would hang up on any IGNORE
  Pair p(so, with_bugs({{"ignore1", "on"}}));
  p.pump();
  ASSERT_EQ(p.client.state(), State::Open) << p.client.error();
  const std::string& f = p.server.seen().password_field;
  EXPECT_EQ(f.size(), 64u);
  EXPECT_EQ(f.substr(0, 12), std::string("s3cret pass\0", 12));
  EXPECT_EQ(p.server.seen().ignores, 0);
}

TEST(Ssh1Password, version_detection_applies_workarounds_in_auto_mode_only) {
  // A 1.2.20 server chokes on IGNORE: auto detects it and pads.
  ServerOptions old;
  old.version = "SSH-1.5-1.2.20";
  old.choke_on_ignore = true;
  Pair detected(old);
  detected.pump();
  EXPECT_EQ(detected.client.state(), State::Open) << detected.client.error();
  EXPECT_TRUE(detected.client.bug_ignore1());
  EXPECT_FALSE(detected.client.bug_plainpw1());

  // Forced off, the client camouflages with IGNORE and the server hangs up.
  Pair forced_off(old, with_bugs({{"ignore1", "off"}}));
  forced_off.pump();
  EXPECT_EQ(forced_off.client.state(), State::Failed);
  EXPECT_NE(forced_off.client.error().find("the server disconnected: protocol error"), std::string::npos)
      << forced_off.client.error();

  // A Cisco server needs the plain password and cannot take IGNORE.
  ServerOptions cisco;
  cisco.version = "SSH-1.5-Cisco-1.25";
  cisco.choke_on_ignore = true;
  cisco.plain_password_only = true;
  Pair c(cisco);
  c.pump();
  EXPECT_EQ(c.client.state(), State::Open) << c.client.error();
  EXPECT_TRUE(c.client.bug_plainpw1());
  EXPECT_EQ(c.server.seen().password_field, "s3cret pass");
}

TEST(Ssh1Password, forced_plainpw1_sends_the_bare_password_to_an_unknown_server) {
  ServerOptions strict;
  strict.choke_on_ignore = true;
  strict.plain_password_only = true;
  // Padding (ignore1 alone) is refused by such a server...
  Pair padded(strict, with_bugs({{"ignore1", "on"}}));
  padded.pump();
  EXPECT_EQ(padded.client.state(), State::Failed);
  EXPECT_NE(padded.client.error().find("refused the password"), std::string::npos);
  // ...the forced plain password gets in.
  Pair plain(strict, with_bugs({{"ignore1", "on"}, {"plainpw1", "on"}}));
  plain.pump();
  EXPECT_EQ(plain.client.state(), State::Open) << plain.client.error();
  EXPECT_EQ(plain.server.seen().password_field, "s3cret pass");
}

TEST(Ssh1Password, forced_names_map_to_modes_and_match_the_compatibility_list) {
  using morvane::ssh_compat::SSHBugSpec;
  auto modes = morvane::ssh1::bug_modes_from_forced({"plainpw1", "rsa_sha2", "nonsense"});
  EXPECT_EQ(modes.at("plainpw1"), SSHBugSpec::FORCE_ON);
  EXPECT_EQ(modes.at("ignore1"), SSHBugSpec::AUTO);
  EXPECT_EQ(modes.count("rsa_sha2"), 0u);
  EXPECT_EQ(modes.size(), 2u);
  EXPECT_EQ(SSHBugSpec::SSH1_BUGS(), morvane::ssh1::known_bugs());
  EXPECT_STREQ(SSHBugSpec::FORCE_OFF, morvane::ssh1::kBugModeOff);
}

TEST(Ssh1Password, wrong_or_missing_password_fails_with_its_reason) {
  ClientConfig wrong = default_config();
  wrong.password = "guess";
  Pair p({}, wrong);
  p.pump();
  EXPECT_EQ(p.client.state(), State::Failed);
  EXPECT_EQ(p.client.error(), "the server refused the password for \"tester\"");
  EXPECT_TRUE(p.has(Kind::Failed));
  EXPECT_FALSE(p.has(Kind::Connected));

  ClientConfig empty = default_config();
  empty.password = "";
  Pair q({}, empty);
  q.pump();
  EXPECT_EQ(q.client.state(), State::Failed);
  EXPECT_NE(q.client.error().find("none is set"), std::string::npos);
  EXPECT_EQ(q.server.seen().password_field, "");

  // A server that lets the user in without a password never sees one.
  ServerOptions open;
  open.need_auth = false;
  Pair r(open, empty);
  r.pump();
  EXPECT_EQ(r.client.state(), State::Open) << r.client.error();
  EXPECT_EQ(r.server.seen().ignores, 0);
}

TEST(Ssh1Failure, misbehaving_servers_fail_set_up_with_a_reason) {
  struct Case {
    const char* name;
    ServerOptions so;
    const char* words;
  };
  std::vector<Case> cases;
  {
    ServerOptions o;
    o.bad_crc_after_key = true;
    cases.push_back({"bad crc", o, "CRC"});
  }
  {
    ServerOptions o;
    o.disconnect_after_key = true;
    cases.push_back({"early disconnect", o, "the server disconnected: Server going down for testing"});
  }
  {
    ServerOptions o;
    o.server_bits = 1000;  // too close to the 1024-bit host key for the padding
    cases.push_back({"key sizes", o, "unusable (1000-bit server key, 1024-bit host key)"});
  }
  {
    ServerOptions o;
    o.auth_mask = 1u << 2;  // RSA authentication only
    cases.push_back({"no password auth", o, "does not offer password authentication"});
  }
  for (auto& c : cases) {
    Pair p(c.so);
    p.pump();
    EXPECT_EQ(p.client.state(), State::Failed) << c.name;
    EXPECT_NE(p.client.error().find(c.words), std::string::npos) << c.name << ": " << p.client.error();
    EXPECT_EQ(p.count(Kind::Failed), 1) << c.name;
    EXPECT_EQ(p.server.error(), "") << c.name;  // the client never sent a bad field
  }
}

TEST(Ssh1Failure, host_key_smaller_than_server_key_is_used_first) {
  ServerOptions o;
  o.host_bits = 768;
  o.server_bits = 1024;
  Pair p(o);
  p.pump();
  EXPECT_EQ(p.client.state(), State::Open) << p.client.error() << " / " << p.server.error();
}

TEST(Ssh1Failure, set_up_times_out_by_the_clock_given) {
  ServerOptions silent;
  silent.silent = true;
  ClientConfig cc = default_config();
  cc.timeout_ms = 15000;
  Pair p(silent, cc);
  p.pump();
  p.client.tick(1000 + 14999);
  EXPECT_EQ(p.client.state(), State::Version);
  p.client.tick(1000 + 15000);
  EXPECT_EQ(p.client.state(), State::Failed);
  EXPECT_EQ(p.client.error(), "timed out after 15 s waiting for the server's version");

  // An open session has no time limit.
  Pair q;
  q.pump();
  q.client.tick(1000 + 10'000'000);
  EXPECT_EQ(q.client.state(), State::Open);
}

TEST(Ssh1Failure, end_of_stream_fails_set_up_and_closes_an_open_session) {
  ServerOptions silent;
  silent.silent = true;
  Pair p(silent);
  p.client.eof(p.now);
  EXPECT_EQ(p.client.state(), State::Failed);

  Pair q;
  q.pump();
  q.client.eof(q.now);
  q.collect();
  EXPECT_EQ(q.client.state(), State::Closed);
  EXPECT_TRUE(q.has(Kind::Closed));
}

TEST(Ssh1Failure, hostile_bytes_after_the_version_fail_cleanly) {
  morvane::ssh1::Client c(default_config(), 0);
  c.receive(std::string("SSH-1.5-x\n\xFF\xFF\xFF\xFF", 14), 0);
  EXPECT_EQ(c.state(), State::Failed);
  EXPECT_NE(c.error().find("bad packet length"), std::string::npos);
  morvane::ssh1::Client d(default_config(), 0);
  d.receive(std::string(20000, 'a'), 0);  // no line end, ever
  EXPECT_EQ(d.state(), State::Failed);
}

TEST(Ssh1Terminal, refused_terminal_still_starts_the_shell_without_resizes) {
  ServerOptions o;
  o.refuse_pty = true;
  Pair p(o);
  p.pump();
  EXPECT_EQ(p.client.state(), State::Open);
  EXPECT_TRUE(p.has(Kind::PtyRefused));
  p.client.resize(50, 100);
  p.pump();
  EXPECT_TRUE(p.server.seen().window_sizes.empty());
}

TEST(Ssh1Terminal, asks_for_the_configured_type_and_size_and_resize_before_open_is_kept) {
  ClientConfig cc = default_config();
  cc.term_type = "vt100";
  Pair p({}, cc);
  p.client.resize(30, 100);  // before the shell: remembered, not sent
  p.pump();
  EXPECT_EQ(p.server.seen().term, "vt100");
  EXPECT_EQ(p.server.seen().rows, 30u);
  EXPECT_EQ(p.server.seen().cols, 100u);
  EXPECT_TRUE(p.server.seen().window_sizes.empty());
}

TEST(Ssh1Close, close_is_orderly_and_repeatable_in_every_state) {
  Pair open;
  open.pump();
  ASSERT_EQ(open.client.state(), State::Open);
  open.client.close();
  open.client.close();
  open.pump();
  EXPECT_EQ(open.client.state(), State::Closed);
  EXPECT_EQ(open.server.seen().disconnect_reason, "closed by user");
  EXPECT_EQ(open.count(Kind::Closed), 1);

  morvane::ssh1::Client fresh(default_config(), 0);
  fresh.close();
  EXPECT_EQ(fresh.take_output(), "");  // nothing to tell before the version exchange
  EXPECT_EQ(fresh.state(), State::Closed);

  ClientConfig wrong = default_config();
  wrong.password = "nope";
  Pair failed({}, wrong);
  failed.pump();
  failed.client.close();
  EXPECT_EQ(failed.client.state(), State::Failed);
}
