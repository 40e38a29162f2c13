// Recorded server byte streams (data/*.bin, made by the test server, which plink accepts)
// replayed into the client: its decryption and message handling must give the same events
// every time. The client's randomness is fixed so its session key matches the recording.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "harness.h"

using namespace ssh1test;
using Kind = Event::Kind;

namespace {

ClientConfig fixed_random_config() {
  ClientConfig c = default_config();
  c.random = [n = uint8_t{0}](uint8_t* p, size_t len) mutable {
    for (size_t i = 0; i < len; ++i) p[i] = static_cast<uint8_t>(n++ * 73 + 11);
  };
  return c;
}

std::string data_path(const std::string& name) { return std::string(SSH1_TEST_DATA) + "/" + name; }

// One session: banner, a typed line echoed, a resize, stderr output, exit status 7.
std::string record(int cipher) {
  ServerOptions so;
  so.cipher_mask = 1u << cipher;
  so.login_banner = "Welcome to the recorded host\r\n";
  Server server(so);
  Client client(fixed_random_config(), 0);
  std::string recorded;
  auto pump = [&] {
    for (int i = 0; i < 100; ++i) {
      std::string s2c = server.take_output();
      recorded += s2c;
      if (!s2c.empty()) client.receive(s2c, 0);
      std::string c2s = client.take_output();
      if (!c2s.empty()) server.receive(c2s);
      if (s2c.empty() && c2s.empty()) return;
    }
  };
  pump();
  client.send("ls\r");
  pump();
  client.resize(50, 120);
  client.send("err no such file\r");
  pump();
  client.send("exit 7\r");
  pump();
  return recorded;
}

}  // namespace

TEST(Ssh1Recorded, replayed_server_streams_give_the_same_events) {
  for (auto [cipher, file] : {std::pair{morvane::ssh1::kCipher3Des, "server_3des.bin"},
                              std::pair{morvane::ssh1::kCipherBlowfish, "server_blowfish.bin"}}) {
    if (std::getenv("SSH1_RECORD")) {
      std::ofstream(data_path(file), std::ios::binary) << record(cipher);
    }
    std::ifstream in(data_path(file), std::ios::binary);
    ASSERT_TRUE(in) << "missing recording " << file;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fed in uneven pieces, as a socket would hand them over.
    Client c(fixed_random_config(), 0);
    for (size_t i = 0, step = 1; i < bytes.size(); i += step, step = step % 13 + 1)
      c.receive(std::string_view(bytes).substr(i, step), 0);
    std::string out, err;
    std::vector<Kind> kinds;
    uint32_t code = 0;
    for (auto& e : c.take_events()) {
      if (e.kind == Kind::Stdout) out += e.data;
      else if (e.kind == Kind::Stderr) err += e.data;
      else kinds.push_back(e.kind);
      if (e.kind == Kind::ExitStatus) code = e.code;
    }
    EXPECT_EQ(c.error(), "") << file;
    EXPECT_EQ(c.cipher(), cipher) << file;
    EXPECT_EQ(c.server_version(), "SSH-1.5-TestSsh1_1.0");
    EXPECT_EQ(out, "Welcome to the recorded host\r\nls\r\nerr no such file\r\nexit 7\r\n") << file;
    EXPECT_EQ(err, "no such file\r\n") << file;
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Connected, Kind::ExitStatus, Kind::Closed})) << file;
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(c.state(), State::Closed);
  }
}
