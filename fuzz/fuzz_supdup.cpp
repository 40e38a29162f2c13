// SUPDUP output from a server, in arbitrary chunks: the translation must stay in sync,
// keep the cursor inside the screen and always produce valid UTF-8 for the terminal.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "telnet/supdup_protocol.h"
#include "util/text.h"

using morvane::telnet::SupdupOptions;
using morvane::telnet::SupdupProtocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  SupdupOptions o;
  static const char* const sets[] = {"ascii", "its", "waits"};
  o.charset = sets[data[0] % 3];
  o.term_width = 2 + data[0] % 200;
  o.term_height = 1 + data[1] % 70;
  const std::size_t step = data[1] % 11 + 1;
  const std::string in(reinterpret_cast<const char*>(data + 2), size - 2);
  SupdupProtocol p(o);
  p.start();
  p.take_output();
  std::string shown;
  for (std::size_t i = 0; i < in.size(); i += step) {
    p.receive(in.substr(i, step));
    if (p.cursor_row() < 0 || p.cursor_col() < 0 || p.cursor_row() >= o.term_height ||
        p.cursor_col() >= o.term_width)
      std::abort();
    shown += p.take_data();
    if (p.take_output().size() > 4 * in.size()) std::abort();
  }
  if (morvane::text::valid_utf8_prefix(shown) != shown.size()) std::abort();
  p.send(in);
  std::string wire = p.take_output();
  for (char c : wire)
    if (static_cast<unsigned char>(c) >= 0200) std::abort();  // input never reaches the server's commands
  return 0;
}
