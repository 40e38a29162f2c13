// RFC 2217 against ser2net over a socat PTY pair: the session's line settings must
// really reach the serial device ser2net holds (read back with tcgetattr where a PTY
// keeps them), and bytes
// must flow both ways through the server, 0xFF included, each exactly once. The live
// run is recorded and replayed.
#include <gtest/gtest.h>
#include <termios.h>

#include <filesystem>
#include <fstream>

#include "peer.h"
#include "replay.h"
#include "telnet/telnet_protocol.h"

namespace morvane::telnet {
namespace {

using namespace testing;

TelnetOptions serial_options() {
  Json s = {{"protocol", "telnet-serial"}, {"host", "127.0.0.1"}, {"serial_baud", "19200"},
            {"serial_bits", 8},            {"serial_parity", "O"},   {"serial_stop", "2"},
            {"serial_flow", "R"}};
  return TelnetOptions::from_session(s, true);
}

void apply(TelnetProtocol& p, const Step& s) {
  if (s.tag == 'B') p.start(0);
  if (s.tag == 'S') p.receive(s.bytes);
  if (s.tag == 'I') p.send(s.bytes);
}

int open_raw(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

std::string read_fd(int fd, std::size_t count, int seconds) {
  std::string out;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  char buf[4096];
  while (out.size() < count && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

TEST(Ser2netLive, rfc2217_settings_reach_the_port_and_bytes_flow_both_ways) {
  REQUIRE_PEER("/usr/sbin/ser2net");
  REQUIRE_PEER("/usr/bin/socat");
  char tmpl[] = "/tmp/morvane-rfc2217-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, a = dir + "/ttyA", b = dir + "/ttyB";
  Child pair({"/usr/bin/socat", "PTY,link=" + a + ",raw,echo=0", "PTY,link=" + b + ",raw,echo=0"},
             dir + "/socat.log");
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (!(std::filesystem::exists(a) && std::filesystem::exists(b))) {
    ASSERT_LT(Clock::now(), until) << "socat made no PTY pair";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const int port = free_port();
  {
    std::ofstream conf(dir + "/ser2net.yaml");
    conf << "connection: &c1\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << port
         << "\n  connector: serialdev," << a << ",9600n81,local\n";
  }
  Child ser2net({"/usr/sbin/ser2net", "-n", "-d", "-c", dir + "/ser2net.yaml", "-P", dir + "/ser2net.pid"},
                dir + "/ser2net.log");
  Tcp tcp(port, std::chrono::seconds(10));
  TelnetProtocol p(serial_options());
  Driver<TelnetProtocol> d(p, tcp);
  std::vector<TelnetEvent> events;
  auto step = [&](char tag, const std::string& bytes) { d.act(tag, bytes, [&] { apply(p, {tag, bytes}); }); };

  step('B', "");
  // Every setting answered.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline && !(p.local_enabled(opt::kComPort) && p.com_pending() == 0)) {
    std::string s = tcp.read(100);
    if (!s.empty()) step('S', s);
    for (auto& e : p.take_events()) events.push_back(e);
  }
  ASSERT_TRUE(p.local_enabled(opt::kComPort)) << "ser2net did not agree to COM-PORT-OPTION";
  ASSERT_EQ(p.com_pending(), 0u) << "settings left unanswered";
  for (const auto& e : events) EXPECT_NE(e.kind, TelnetEvent::Kind::ComPortMismatch) << int(e.code) << " " << e.value;

  // What the device really is now.
  int fd = open_raw(b);
  ASSERT_GE(fd, 0);
  int fa = ::open(a.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fa, 0);
  termios t{};
  ASSERT_EQ(::tcgetattr(fa, &t), 0);
  ::close(fa);
  EXPECT_EQ(::cfgetospeed(&t), B19200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  // A PTY keeps no parity or character size (the kernel forces CS8 and clears PARENB),
  // so those two are checked through ser2net's answers instead.
  bool odd_parity = false, eight_bits = false;
  for (const auto& e : events) {
    if (e.kind != TelnetEvent::Kind::ComPortAnswer) continue;
    if (e.code == com::SET_PARITY) odd_parity = e.value == 2;
    if (e.code == com::SET_DATASIZE) eight_bits = e.value == 8;
  }
  EXPECT_TRUE(odd_parity);
  EXPECT_TRUE(eight_bits);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);

  // Device -> terminal, then terminal -> device; 0xFF is doubled on the wire only.
  const std::string from_device = std::string("dev\xff") + "ice\r\n";
  ASSERT_EQ(::write(fd, from_device.data(), from_device.size()), static_cast<ssize_t>(from_device.size()));
  EXPECT_TRUE(d.wait_for("ice\r\n", 0, 10));
  EXPECT_EQ(d.screen, from_device);
  step('I', std::string("ter\xffminal\r"));
  EXPECT_EQ(read_fd(fd, 9, 10), std::string("ter\xffminal\r"));
  ::close(fd);
  if (record_dir()) save_session(d.steps, std::string(record_dir()) + "/ser2net_rfc2217_session.txt");
  std::filesystem::remove_all(dir);
}

TEST(Ser2netReplay, recorded_rfc2217_session_sends_the_same_bytes) {
  auto steps = load_session(data_path("ser2net_rfc2217_session.txt"));
  TelnetProtocol p(serial_options());
  std::string screen = replay(p, steps, [&](const Step& s) { apply(p, s); });
  EXPECT_EQ(screen, std::string("dev\xff") + "ice\r\n");
  EXPECT_EQ(p.com_pending(), 0u);
  bool baud_answered = false;
  for (const auto& e : p.take_events())
    if (e.kind == TelnetEvent::Kind::ComPortAnswer && e.code == com::SET_BAUDRATE) baud_answered = e.value == 19200;
  EXPECT_TRUE(baud_answered);
}

}  // namespace
}  // namespace morvane::telnet
