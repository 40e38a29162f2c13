// The receive path's ZMODEM detector on arbitrary bytes in arbitrary chunks: no byte is lost,
// duplicated or reordered, and at most a header (and its two pads) is ever held back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "xfer/zmodem_sniffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t step = 1 + data[0] % 23;
  std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);
  morvane::xfer::ZmodemSniffer z;
  std::string seen;
  bool started = false;
  for (size_t i = 0; i < in.size(); i += step) {
    std::string_view chunk = in.substr(i, step);
    if (started) {
      seen += chunk;
      continue;
    }
    auto r = z.feed(chunk);
    seen += r.terminal;
    seen += r.transfer;
    if (!r.started && !r.transfer.empty()) std::abort();
    started = r.started;
  }
  if (seen.size() > in.size() || in.substr(0, seen.size()) != seen) std::abort();
  if (!started && in.size() - seen.size() > 18) std::abort();
  return 0;
}
