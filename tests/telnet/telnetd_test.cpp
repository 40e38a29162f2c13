// The Telnet core against inetutils' telnetd (one server per connection behind socat,
// running a shell): negotiation, a command, resizes seen by `stty size`, the terminal
// type, and a 0xFF byte that must arrive once. The live run is recorded; the recording
// is replayed without a network.
#include <gtest/gtest.h>

#include "peer.h"
#include "replay.h"
#include "telnet/telnet_protocol.h"

namespace morvane::telnet {
namespace {

using namespace testing;

TelnetOptions telnetd_options() {
  TelnetOptions o;
  o.term_type = "xterm";
  o.username = "morvane";
  o.environment = {{"MORVANE_PROBE", "42"}};
  return o;
}

void apply(TelnetProtocol& p, const Step& s) {
  switch (s.tag) {
    case 'B': p.start(0); break;
    case 'S': p.receive(s.bytes); break;
    case 'I': p.send(s.bytes); break;
    case 'R': {
      auto [r, c] = parse_size(s.bytes);
      p.resize(r, c);
      break;
    }
    default: break;
  }
}

TEST(TelnetdLive, negotiates_runs_commands_follows_resizes_and_passes_0xff_once) {
  REQUIRE_PEER("/usr/sbin/telnetd");
  REQUIRE_PEER("/usr/bin/socat");
  const int port = free_port();
  const std::string log = "/tmp/morvane-telnetd-" + std::to_string(port) + ".log";
  Child socat({"/usr/bin/socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
               "EXEC:/usr/sbin/telnetd -h -E /bin/sh"},
              log);
  Tcp tcp(port, std::chrono::seconds(10));
  TelnetProtocol p(telnetd_options());
  Driver<TelnetProtocol> d(p, tcp);
  auto step = [&](char tag, const std::string& bytes) { d.act(tag, bytes, [&] { apply(p, {tag, bytes}); }); };

  step('B', "");
  ASSERT_TRUE(d.wait_for("# ", 0, 15)) << "no shell prompt; screen: " << d.screen;
  EXPECT_TRUE(p.local_enabled(opt::kNaws));
  EXPECT_TRUE(p.local_enabled(opt::kTtype));
  EXPECT_TRUE(p.remote_enabled(opt::kEcho));

  std::size_t mark = d.screen.size();
  step('I', "echo T=$TERM; stty size\r");
  EXPECT_TRUE(d.wait_for("T=xterm\r\n24 80", mark, 10)) << d.screen.substr(mark);

  mark = d.screen.size();
  step('R', "30 100");
  step('I', "stty size\r");
  EXPECT_TRUE(d.wait_for("\r\n30 100", mark, 10)) << d.screen.substr(mark);

  mark = d.screen.size();
  step('I', "head -c 3 | od -An -tx1\r");
  d.wait_for("\n", mark, 5);
  step('I', "a\xff" "b\r");
  EXPECT_TRUE(d.wait_for("61 ff 62", mark, 10)) << d.screen.substr(mark);

  mark = d.screen.size();
  step('I', "exit\r");
  d.wait_for("never", mark, 3);
  if (record_dir()) save_session(d.steps, std::string(record_dir()) + "/telnetd_session.txt");
}

TEST(TelnetdLive, passive_client_waits_for_the_server_and_still_gets_type_and_size_across) {
  REQUIRE_PEER("/usr/sbin/telnetd");
  REQUIRE_PEER("/usr/bin/socat");
  const int port = free_port();
  Child socat({"/usr/bin/socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
               "EXEC:/usr/sbin/telnetd -h -E /bin/sh"},
              "/tmp/morvane-telnetd-" + std::to_string(port) + ".log");
  Tcp tcp(port, std::chrono::seconds(10));
  TelnetOptions o = telnetd_options();
  o.passive = true;
  o.term_width = 90;
  o.term_height = 33;
  TelnetProtocol p(o);
  Driver<TelnetProtocol> d(p, tcp);
  auto step = [&](char tag, const std::string& bytes) { d.act(tag, bytes, [&] { apply(p, {tag, bytes}); }); };
  step('B', "");
  EXPECT_TRUE(d.steps.size() == 1) << "a passive client sent something first";
  ASSERT_TRUE(d.wait_for("# ", 0, 15)) << "no shell prompt; screen: " << d.screen;
  const std::size_t mark = d.screen.size();
  step('I', "echo T=$TERM; stty size; exit\r");
  EXPECT_TRUE(d.wait_for("T=xterm\r\n33 90", mark, 10)) << d.screen.substr(mark);
}

TEST(TelnetdReplay, recorded_session_sends_the_same_bytes) {
  auto steps = load_session(data_path("telnetd_session.txt"));
  TelnetProtocol p(telnetd_options());
  std::string screen = replay(p, steps, [&](const Step& s) { apply(p, s); });
  EXPECT_NE(screen.find("30 100"), std::string::npos);
  EXPECT_NE(screen.find("61 ff 62"), std::string::npos);
  EXPECT_TRUE(p.local_enabled(opt::kNaws));
}

}  // namespace
}  // namespace morvane::telnet
