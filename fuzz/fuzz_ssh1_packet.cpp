// SSH-1 bytes from a server: the packet reader (clear and under 3DES) and the client's
// handshake parsing take any input without reading out of bounds, allocating without
// bound or throwing past their own boundary.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ssh1/client.h"
#include "ssh1/packet.h"

namespace {

void drain(morvane::ssh1::PacketReader& r) {
  try {
    while (auto p = r.next())
      if (p->data.size() > morvane::ssh1::kMaxPacketLength) std::abort();
  } catch (const morvane::ssh1::ProtocolError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    morvane::ssh1::PacketReader r;
    r.feed(bytes);
    drain(r);
  }
  {
    morvane::ssh1::PacketReader r;
    r.set_cipher(morvane::ssh1::make_cipher(morvane::ssh1::kCipher3Des, std::string(32, 'k')));
    for (size_t i = 0; i < bytes.size(); i += 7) {
      r.feed(std::string_view(bytes).substr(i, 7));
      drain(r);
    }
  }
  {
    // The input as everything a server says after its version line.
    morvane::ssh1::ClientConfig cfg;
    cfg.username = "u";
    cfg.password = "p";
    cfg.random = [](uint8_t* p, size_t n) {
      for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 31 + 7);
    };
    morvane::ssh1::Client c(cfg, 0);
    c.receive("SSH-1.5-fuzz\n", 0);
    c.receive(bytes, 1);
    c.tick(100000);
    c.take_output();
    c.take_events();
    c.close();
  }
  {
    // And as the version exchange itself.
    morvane::ssh1::Client c(morvane::ssh1::ClientConfig{}, 0);
    c.receive(bytes, 0);
    c.eof(1);
  }
  return 0;
}
