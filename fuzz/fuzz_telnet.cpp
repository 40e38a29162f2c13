// Bytes from a Telnet or RFC 2217 server, cut into chunks at arbitrary points and mixed
// with user input, resizes and clock ticks: the parser must stay in bounds, answer with
// bounded output, never show more data than arrived, and carry user data through a
// second instance unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "telnet/telnet_protocol.h"

using morvane::telnet::TelnetOptions;
using morvane::telnet::TelnetProtocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TelnetOptions o;
  o.passive = data[0] & 1;
  o.com_port_control = data[0] & 2;
  o.rfc_environ = data[0] & 4;
  o.username = "fuzz";
  o.environment = {{"DISPLAY", ":0"}, {"X\x01", "\xff"}};
  const std::size_t step = data[1] % 13 + 1;
  const std::string in(reinterpret_cast<const char*>(data + 2), size - 2);
  TelnetProtocol p(o);
  p.start(1);
  std::size_t out = p.take_output().size(), shown = 0;
  for (std::size_t i = 0; i < in.size(); i += step) {
    std::string chunk = in.substr(i, step);
    p.receive(chunk, i + 2);
    if (chunk[0] == 'r') p.resize(static_cast<unsigned char>(chunk.back()), 300);
    if (chunk[0] == 's') p.send(chunk);
    if (chunk[0] == 't') p.tick(i * 1000);
    shown += p.take_data().size();
    out += p.take_output().size();
    p.take_events();
  }
  // Answers are bounded by what came in (the largest reply is the environment or the
  // serial settings, a few hundred bytes, per request of at least three bytes).
  if (shown > in.size() || out > 512 + in.size() * 400) std::abort();

  // Round trip of user data through the wire form.
  TelnetProtocol a{TelnetOptions{}}, b{TelnetOptions{}};
  a.send(in);
  b.receive(a.take_output());
  if (b.take_data() != in) std::abort();
  return 0;
}
