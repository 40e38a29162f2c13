// SSH-2 tabs against OpenSSH's sshd: authentication of every kind, known hosts, typing and
// resizing, legacy servers, compression, keep-alive, and the ways a connection fails or ends.
#include <algorithm>

#include "kinds/ssh/ssh_kind.h"
#include "ssh/ssh_client.h"
#include "ssh/ssh_impl.h"
#include "ssh_app_fixture.h"
#include "flood_check.h"

namespace morvane::sshtest {
namespace {

TEST_F(SshTabTest, OpenSshKeyOpensShellThatTakesTypingAndResizing) {
  std::string tab = open(session());
  ASSERT_TRUE(connected(tab)) << page.dump();
  EXPECT_EQ(page.count(info(tab, "Connecting to 127.0.0.1:" + std::to_string(sshd->port()) + "...", false)), 1u);
  EXPECT_TRUE(alive(tab));

  // The pseudo-terminal starts at 80 x 24 with the session's terminal type.
  std::string out = run_command(tab, "stty size; echo TERM=$TERM");
  EXPECT_NE(out.find("24 80\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("TERM=xterm-256color"), std::string::npos) << out;

  EXPECT_TRUE(app->resize_pty(Json(tab), Json(30), Json(100)));
  out = run_command(tab, "stty size", 43);
  EXPECT_NE(out.find("30 100\r\n"), std::string::npos) << out;
  // Sizes below the minimum are raised to 2 rows and 20 columns.
  EXPECT_TRUE(app->resize_pty(Json(tab), Json(1), Json(5)));
  out = run_command(tab, "stty size", 44);
  EXPECT_NE(out.find("2 20\r\n"), std::string::npos) << out;

  // Non-ASCII input goes out in the tab's encoding and comes back whole.
  out = run_command(tab, "echo 'é中'", 45);
  EXPECT_NE(out.find("é中\r\n"), std::string::npos) << out;

  // The first connection remembered the server's key.
  std::string known = read_text(data() / "known_hosts");
  EXPECT_EQ(known.rfind("[127.0.0.1]:" + std::to_string(sshd->port()) + " ssh-ed25519 ", 0), 0u) << known;
  EXPECT_EQ(known.back(), '\n');

  app->close_tab(Json(tab));
  EXPECT_TRUE(nothing_left());
}

TEST_F(SshTabTest, ShellExitEndsTheConnectionOnce) {
  std::string tab = open(session());
  ASSERT_TRUE(connected(tab)) << page.dump();
  app->send_input(Json(tab), Json("exit\r"));
  ASSERT_TRUE(page.wait_for(info(tab, "─── Connection ended ───", false)));
  EXPECT_FALSE(alive(tab));
  EXPECT_FALSE(app->send_input(Json(tab), Json("x")));
  EXPECT_TRUE(nothing_left());
  EXPECT_EQ(page.count("Connection ended"), 1u);
}

TEST_F(SshTabTest, PuttyKeyIsConvertedAndItsTemporaryFileGoesWithTheTab) {
  fs::path ppk = dir.path / "user.ppk";
  ASSERT_EQ(run({"puttygen", user_key.string(), "-O", "private", "-o", ppk.string()}), 0);
  std::string tab = open(session({{"private_key", ppk.string()}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  std::string tmp = kinds::ssh_tmp_keyfile(app->find_tab(tab)->conn());
  ASSERT_FALSE(tmp.empty());
  EXPECT_TRUE(fs::exists(tmp));
  EXPECT_NE(tmp, ppk.string());
  run_command(tab, "true");
  app->close_tab(Json(tab));
  EXPECT_FALSE(fs::exists(tmp));
  EXPECT_TRUE(nothing_left());
}

TEST_F(SshTabTest, PassphraseProtectedPuttyKeyFailsWithPuttygensOwnMessage) {
  fs::path ppk = dir.path / "locked.ppk";
  write_text(dir.path / "pass", "s3cret");
  ASSERT_EQ(run({"puttygen", "-t", "ed25519", "-o", ppk.string(), "--new-passphrase", (dir.path / "pass").string()}),
            0);
  std::string tab = open(session({{"private_key", ppk.string()}}));
  ASSERT_TRUE(page.wait_for("Key error: puttygen conversion failed: ")) << page.dump();
  EXPECT_EQ(page.count("passphrase"), 1u) << page.dump();
  EXPECT_FALSE(alive(tab));
  EXPECT_EQ(page.count("terminalConnected"), 0u);
  EXPECT_TRUE(nothing_left());
}

TEST_F(SshTabTest, WrongKeyOrPasswordIsAnAuthenticationFailure) {
  fs::path other = dir.path / "id_other";
  keygen(other);
  std::string tab = open(session({{"private_key", other.string()}, {"password", "nope"}}));
  ASSERT_TRUE(page.wait_for("Authentication failed: ")) << page.dump();
  EXPECT_EQ(page.count("Connection failed"), 0u);
  std::string shown = page.dump();
  EXPECT_NE(shown.find("key file"), std::string::npos) << shown;
  EXPECT_FALSE(alive(tab));
  EXPECT_EQ(page.count("terminalConnected"), 0u);
  EXPECT_FALSE(app->send_input(Json(tab), Json("ls\r")));
  EXPECT_TRUE(nothing_left());
  // The tab stays open after the failure.
  EXPECT_EQ(app->get_runtime_state()["tabs"].size(), 1u);
}

TEST_F(SshTabTest, FailedConnectStillRemovesTheConvertedKeyAtClose) {
  fs::path other = dir.path / "id_other";
  keygen(other);
  fs::path ppk = dir.path / "other.PPK";  // upper-case extension is converted too
  ASSERT_EQ(run({"puttygen", other.string(), "-O", "private", "-o", ppk.string()}), 0);
  std::string tab = open(session({{"private_key", ppk.string()}}));
  ASSERT_TRUE(page.wait_for("Authentication failed: ")) << page.dump();
  std::string tmp = kinds::ssh_tmp_keyfile(app->find_tab(tab)->conn());
  ASSERT_FALSE(tmp.empty());
  EXPECT_TRUE(fs::exists(tmp));
  app->close_tab(Json(tab));
  EXPECT_FALSE(fs::exists(tmp));
}

TEST_F(SshTabTest, ChangedHostKeyIsRefused) {
  std::string tab = open(session());
  ASSERT_TRUE(connected(tab)) << page.dump();
  app->close_tab(Json(tab));
  std::string known = read_text(data() / "known_hosts");

  int port = sshd->port();
  sshd->stop();
  sshd->new_host_key();
  sshd->start({}, port);
  std::string again = open(session({{"name", "again"}}));
  ASSERT_TRUE(page.wait_for("Connection failed: host key mismatch")) << page.dump();
  EXPECT_FALSE(alive(again));
  EXPECT_EQ(page.count("terminalConnected"), 1u);
  // The remembered key stays as it was.
  EXPECT_EQ(read_text(data() / "known_hosts"), known);
  EXPECT_TRUE(nothing_left());
}

TEST_F(SshTabTest, LegacyServerIsReachedOnlyWithLegacyCompatibility) {
  sshd->stop();
  SshdOptions o;
  o.rsa_host_key = true;
  o.log_level = "DEBUG1";
  o.extra = {"Ciphers aes128-cbc,3des-cbc", "MACs hmac-sha1", "KexAlgorithms diffie-hellman-group14-sha1",
             "HostKeyAlgorithms ssh-rsa"};
  sshd->start(o);

  std::string plain = open(session());
  ASSERT_TRUE(page.wait_for("Connection failed: ")) << page.dump();
  EXPECT_FALSE(alive(plain));

  std::string legacy = open(session({{"name", "legacy"}, {"ssh_legacy_compat", true}}));
  ASSERT_TRUE(connected(legacy)) << page.dump() << sshd->log();
  run_command(legacy, "true");
  std::string log = sshd->log();
  EXPECT_NE(log.find("cipher: aes128-cbc MAC: hmac-sha1"), std::string::npos) << log;
  EXPECT_NE(log.find("kex: algorithm: diffie-hellman-group14-sha1"), std::string::npos) << log;
  EXPECT_NE(log.find("kex: host key algorithm: ssh-rsa"), std::string::npos) << log;
}

TEST_F(SshTabTest, RsaSha2WorkaroundSignsWithSha1ForServersThatNeedIt) {
  // This server announces SHA-2 RSA signatures but takes only SHA-1 ones.
  sshd->stop();
  SshdOptions o;
  o.extra = {"PubkeyAcceptedAlgorithms ssh-rsa"};
  fs::path rsa = dir.path / "id_rsa_user";
  sshd->authorize(keygen(rsa, "rsa"));
  sshd->start(o);
  std::string plain = open(session({{"private_key", rsa.string()}}));
  ASSERT_TRUE(page.wait_for("Authentication failed: ")) << page.dump();
  EXPECT_FALSE(alive(plain));
  std::string fixed = open(session({{"name", "fixed"}, {"private_key", rsa.string()}, {"ssh_bugs", {{"rsa_sha2", "on"}}}}));
  ASSERT_TRUE(connected(fixed)) << page.dump() << sshd->log();
}

TEST_F(SshTabTest, GroupExchangeWorkaroundLeavesItOutOfTheOffer) {
  sshd->stop();
  SshdOptions o;
  o.log_level = "DEBUG1";
  o.extra = {"KexAlgorithms diffie-hellman-group-exchange-sha256,curve25519-sha256"};
  sshd->start(o);
  Json kex = {"diffie-hellman-group-exchange-sha256", "curve25519-sha256"};
  std::string without = open(session({{"ssh_kex", kex}}));
  ASSERT_TRUE(connected(without)) << page.dump();
  EXPECT_NE(sshd->log().find("kex: algorithm: diffie-hellman-group-exchange-sha256"), std::string::npos);
  EXPECT_EQ(sshd->log().find("kex: algorithm: curve25519-sha256"), std::string::npos);
  std::string with = open(session({{"name", "gex"}, {"ssh_kex", kex}, {"ssh_bugs", {{"oldgex2", "on"}}}}));
  ASSERT_TRUE(connected(with)) << page.dump();
  EXPECT_NE(sshd->log().find("kex: algorithm: curve25519-sha256"), std::string::npos) << sshd->log();
}

TEST_F(SshTabTest, SessionCipherListReplacesThePresetsOwn) {
  sshd->stop();
  SshdOptions o;
  o.log_level = "DEBUG1";
  o.extra = {"Ciphers aes256-cbc"};
  sshd->start(o);
  // The preset lists aes128-cbc first; the session's own list picks aes256-cbc instead.
  std::string tab = open(session({{"ssh_legacy_compat", true}, {"ssh_ciphers", {"aes256-cbc", "aes128-ctr"}}}));
  ASSERT_TRUE(connected(tab)) << page.dump() << sshd->log();
  EXPECT_NE(sshd->log().find("cipher: aes256-cbc"), std::string::npos);
}

TEST_F(SshTabTest, CompressionIsNegotiatedWhenAsked) {
  sshd->stop();
  SshdOptions o;
  o.log_level = "DEBUG1";
  sshd->start(o);
  std::string off = open(session());
  ASSERT_TRUE(connected(off)) << page.dump();
  std::string on = open(session({{"name", "z"}, {"compression", true}}));
  ASSERT_TRUE(connected(on)) << page.dump();
  std::string out = run_command(on, "head -c 3000 /dev/zero | tr '\\0' z | wc -c");
  EXPECT_NE(out.find("3000"), std::string::npos) << out;
  std::string log = sshd->log();
  EXPECT_NE(log.find("compression: zlib@openssh.com"), std::string::npos) << log;
  EXPECT_NE(log.find("compression: none"), std::string::npos) << log;
}

TEST_F(SshTabTest, AgentKeysAreUsedOnlyWhenAllowed) {
  Agent agent(dir.path);
  agent.add(user_key);
  ::setenv("SSH_AUTH_SOCK", agent.socket().c_str(), 1);
  Json via_agent = session({{"private_key", ""}, {"agent_forwarding", true}});
  std::string tab = open(via_agent);
  ASSERT_TRUE(connected(tab)) << page.dump();
  EXPECT_NE(agent.log().find("type 11"), std::string::npos);  // the key list was asked for
  app->close_tab(Json(tab));

  // Without permission the agent is never even asked.
  std::string before = agent.log();
  std::string denied = open(session({{"name", "no agent"}, {"private_key", ""}, {"agent_forwarding", false}}));
  ASSERT_TRUE(page.wait_for("Authentication failed: ")) << page.dump();
  EXPECT_FALSE(alive(denied));
  EXPECT_EQ(agent.log(), before);
  ::unsetenv("SSH_AUTH_SOCK");
}

TEST_F(SshTabTest, DefaultKeyFilesAreOffered) {
  fs::copy_file(user_key, home() / ".ssh" / "id_ed25519");
  fs::copy_file(user_key.string() + ".pub", home() / ".ssh" / "id_ed25519.pub");
  std::string tab = open(session({{"private_key", ""}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
}

TEST_F(SshTabTest, KeepAliveFollowsTheSessionAndItsLiveChange) {
  sshd->stop();
  SshdOptions o;
  o.log_level = "DEBUG3";
  sshd->start(o);
  Json sess = session({{"keepalive_sec", 30}});
  make_app();
  std::string sid = save(sess);
  std::string tab = app->connect_session(Json(sid))["tab_id"].get<std::string>();
  ASSERT_TRUE(connected(tab)) << page.dump();
  auto ignores = [&] {
    std::string log = sshd->log();
    size_t n = 0, pos = 0;
    while ((pos = log.find("receive packet: type 2\r", pos)) != std::string::npos) ++n, ++pos;
    return n;
  };
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(ignores(), 0u);  // 30 s have not passed
  // A live edit of keepalive_sec reaches the running connection.
  sess["id"] = sid;
  sess["keepalive_sec"] = 1;
  app->save_session(sess);
  EXPECT_TRUE(page.wait_for("Connection settings applied"));
  EXPECT_TRUE(eventually([&] { return ignores() >= 2; }, 10)) << ignores();
  // A value of 0 leaves the running keep-alive as it is.
  sess["keepalive_sec"] = 0;
  app->save_session(sess);
  size_t seen = ignores();
  EXPECT_TRUE(eventually([&] { return ignores() >= seen + 2; }, 10));
}

TEST_F(SshTabTest, IgnoreWorkaroundSendsKeepAlivesAsDebugMessages) {
  sshd->stop();
  SshdOptions o;
  o.log_level = "DEBUG3";
  sshd->start(o);
  std::string tab = open(session({{"keepalive_sec", 1}, {"ssh_bugs", {{"ignore2", "on"}}}}));
  ASSERT_TRUE(connected(tab)) << page.dump();
  EXPECT_TRUE(eventually([&] { return sshd->log().find("receive packet: type 4\r") != std::string::npos; }, 10));
  EXPECT_EQ(sshd->log().find("receive packet: type 2\r"), std::string::npos);
}

TEST_F(SshTabTest, ServerKilledMidSessionEndsTheTab) {
  std::string tab = open(session());
  ASSERT_TRUE(connected(tab)) << page.dump();
  run_command(tab, "true");
  sshd->stop();
  ASSERT_TRUE(page.wait_for(info(tab, "─── Connection ended ───", false), 20)) << page.dump();
  EXPECT_FALSE(alive(tab));
  EXPECT_FALSE(app->send_input(Json(tab), Json("ls\r")));
  EXPECT_TRUE(nothing_left());
  EXPECT_EQ(page.count("Connection ended"), 1u);
}

TEST_F(SshTabTest, PeerThatNeverSpeaksFailsAfterTheTimeLimit) {
  // The kernel completes the handshake for a listening socket: a peer that accepts and is silent.
  int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(silent, 8), 0);
  socklen_t len = sizeof a;
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&a), &len);
  fds_before = fd_count();
  auto t0 = std::chrono::steady_clock::now();
  std::string tab = open(session({{"port", ntohs(a.sin_port)}}));
  ASSERT_TRUE(page.wait_for("Connection failed: ", 60)) << page.dump();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(secs, 14.0);  // the limit, not an earlier give-up
  EXPECT_FALSE(alive(tab));
  EXPECT_TRUE(nothing_left());
  ::close(silent);
}

TEST_F(SshTabTest, RefusedPortAndBadPortAreConnectionFailures) {
  int closed_port = free_port();
  std::string refused = open(session({{"port", closed_port}}));
  ASSERT_TRUE(page.wait_for("Connection failed: ")) << page.dump();
  EXPECT_FALSE(alive(refused));
  std::string bad = open(session({{"name", "bad"}, {"port", "twenty-two"}}));
  ASSERT_TRUE(page.wait_for(info(bad, "Connection failed: invalid literal for int() with base 10: 'twenty-two'", true)))
      << page.dump();
  EXPECT_FALSE(alive(bad));
  EXPECT_TRUE(nothing_left());
}

TEST_F(SshTabTest, TabClosedWhileConnectingLeavesNothingRunning) {
  make_app();
  app->connect_delay_sec = 0.35;
  std::string tab = open(session());
  app->close_tab(Json(tab));
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(page.count("Connecting to"), 0u);
  EXPECT_TRUE(nothing_left());
}

// An SSH tab whose page stops draining stops reading the channel, so the channel window holds
// the server back; once drained, every byte of the flood is there.
TEST_F(SshTabTest, APageThatStopsDrainingHoldsTheServerBackAndLosesNothing) {
  std::string tab = open(session());
  ASSERT_TRUE(connected(tab)) << page.dump();
  const size_t flood = 16u << 20;  // past the buffer, the inbound queue, the window and the sockets
  auto seen = morvane::testing::flood_undrained(*app, tab, flood, dir.path / "flood-done", std::chrono::seconds(3));
  EXPECT_FALSE(seen.finished_undrained) << "the server got through with nobody draining";
  EXPECT_GE(seen.pauses, 1u);
  EXPECT_LE(seen.peak, OutputBuffer::kHighWater + MorvaneApp::kReadSize);
  ASSERT_TRUE(seen.ended) << "no end marker within 60 s of draining";
  EXPECT_EQ(seen.count, flood);
  app->close_tab(Json(tab));
}

}  // namespace
}  // namespace morvane::sshtest

namespace morvane::sshtest {
namespace {

// A consumer that stops reading: the connection's owner stops taking the shell's output at its
// inbound cap, so the SSH window holds the server back instead of memory growing; nothing is
// lost once reading resumes.
TEST_F(SshTabTest, SlowConsumerKeepsTheInboundQueueBoundedAndLosesNothing) {
  ssh::SshClient client;
  ssh::ConnectOptions opts;
  opts.host = "127.0.0.1";
  opts.port = sshd->port();
  opts.username = "root";
  opts.key_file = user_key.string();
  opts.known_hosts_file = (dir.path / "known_hosts").string();
  client.connect(opts);
  auto ch = client.open_shell_channel("dumb", 80, 24);
  client.start_shell(*ch);
  client.start();
  const size_t flood = 4u << 20;  // several times the cap, small enough for the sanitizer builds
  ch->send("echo BEGIN-$((1+1)); head -c " + std::to_string(flood) + " /dev/zero | tr '\\0' x; echo DONE-$((40+2))\n");
  auto queued = [&] {
    std::lock_guard<std::mutex> lock(ch->pipe()->mu);
    return ch->pipe()->in.size();
  };
  size_t peak = 0;
  const auto until = std::chrono::steady_clock::now() + 3s;
  while (std::chrono::steady_clock::now() < until) {
    peak = std::max(peak, queued());
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_GE(peak, ssh::kInboundResume) << "the server never filled the queue: the test measured nothing";
  EXPECT_LE(peak, ssh::kInboundCap);
  std::string all;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (all.find("DONE-42") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::string got = ch->recv(1 << 16);
    if (got.empty()) break;
    all += got;
  }
  const size_t begin = all.find("BEGIN-2"), end = all.find("DONE-42");
  ASSERT_NE(end, std::string::npos) << "no end marker within 60 s";
  ASSERT_LT(begin, end);
  EXPECT_EQ(static_cast<size_t>(std::count(all.begin() + begin, all.begin() + end, 'x')), flood);
  client.close();
}

}  // namespace
}  // namespace morvane::sshtest
