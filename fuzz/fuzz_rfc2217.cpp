// RFC 2217 answers and notifications from a terminal server that agreed to COM-PORT-OPTION.
// The input is a list of records: each becomes one subnegotiation of the option (its IAC
// bytes doubled as on the wire), a run of terminal data, or a stray command, and the whole
// stream is cut into chunks at arbitrary points, with clock ticks between them. The settings
// awaiting an answer may only shrink, events and answers stay bounded by what came in, and
// the terminal data comes through whole, untouched by the subnegotiations around it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "telnet/telnet_protocol.h"

using morvane::telnet::TelnetOptions;
using morvane::telnet::TelnetProtocol;
namespace cmd = morvane::telnet::cmd;
namespace opt = morvane::telnet::opt;

namespace {

void put_escaped(std::string& wire, const std::string& bytes) {
  for (char c : bytes) {
    wire += c;
    if (static_cast<std::uint8_t>(c) == cmd::IAC) wire += c;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static const char* const parity[] = {"N", "O", "E", "M", "S", "x"};
  static const char* const stop[] = {"1", "2", "1.5", "?"};
  static const char* const flow[] = {"N", "X", "R", "D", ""};
  TelnetOptions o;
  o.com_port_control = true;
  o.com_baud = 300LL << (data[0] % 10);
  o.com_bits = 4 + data[0] % 6;
  o.com_parity = parity[data[1] % 6];
  o.com_stop = stop[(data[1] / 6) % 4];
  o.com_flow = flow[(data[1] / 24) % 5];
  o.timeout = 1 + data[0] % 3;
  const std::size_t step = data[2] % 17 + 1;

  // The server agrees first (DO COM-PORT-OPTION), so the settings are out and awaited.
  std::string wire = {static_cast<char>(cmd::IAC), static_cast<char>(cmd::DO), static_cast<char>(opt::kComPort)};
  std::string expected;
  std::size_t records = 0, signature_requests = 0;
  for (std::size_t i = 3; i < size;) {
    const std::uint8_t head = data[i++];
    const std::size_t len = std::min<std::size_t>(head & 0x3f, size - i);
    std::string body(reinterpret_cast<const char*>(data + i), len);
    i += len;
    ++records;
    if (head & 0x80) {
      // Terminal data. Without NULs it is shown exactly as sent (CR NUL is a bare CR).
      for (char& c : body)
        if (c == '\0') c = '.';
      expected += body;
      put_escaped(wire, body);
    } else if (head & 0x40) {
      // A stray command: NOP, GA, or an option verb for something else.
      wire += static_cast<char>(cmd::IAC);
      wire += static_cast<char>(len % 2 ? cmd::NOP : cmd::GA);
    } else {
      // A subnegotiation. Its first byte is mostly made a server code (100 to 112); an
      // empty one is the server asking for our signature.
      if (body.empty()) body.assign(1, static_cast<char>(100));
      const auto first = static_cast<std::uint8_t>(body[0]);
      if ((first & 0x80) == 0) body[0] = static_cast<char>(100 + first % 13);
      if (body.size() == 1 && static_cast<std::uint8_t>(body[0]) == 100) ++signature_requests;
      wire += static_cast<char>(cmd::IAC);
      wire += static_cast<char>(cmd::SB);
      wire += static_cast<char>(opt::kComPort);
      put_escaped(wire, body);
      wire += static_cast<char>(cmd::IAC);
      wire += static_cast<char>(cmd::SE);
    }
  }

  TelnetProtocol p(o);
  p.start(1);
  std::size_t out = p.take_output().size(), events = 0, pending = 0, most_pending = 0;
  bool agreed = false;
  std::string shown;
  std::uint64_t now = 1;
  for (std::size_t i = 0; i < wire.size(); i += step) {
    p.receive(std::string_view(wire).substr(i, step), now);
    if (!agreed && p.local_enabled(opt::kComPort)) {
      agreed = true;  // the settings went out with this chunk
      most_pending = pending = p.com_pending();
    } else if (p.com_pending() > pending) {
      std::abort();  // an answer never adds an awaited setting
    }
    pending = p.com_pending();
    if (wire[i] == 't') {
      now += 700;
      p.tick(now);
    }
    shown += p.take_data();
    out += p.take_output().size();
    events += p.take_events().size();
  }
  // At most 8 settings go out: speed, size, parity, stop bits and up to four flow commands.
  if (most_pending > 8) std::abort();
  if (shown != expected) std::abort();
  if (!agreed) std::abort();
  // Two events per record at most (an answer and its mismatch), besides the agreement and a
  // time-out before and after it.
  if (events > 2 * records + 3) std::abort();
  // The only answers: the settings, and our signature once per request for it.
  if (out > 200 + signature_requests * 64) std::abort();
  return 0;
}
