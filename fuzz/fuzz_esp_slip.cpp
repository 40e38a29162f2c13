// Bytes from a board on a serial line: the SLIP decoder stays within its frame limit and
// gives back exactly what re-encodes to the same frame, the response parser never reads
// past a frame, and a flasher fed such bytes never crashes or sends after it is done.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "esp/esp_flasher.h"
#include "esp/rom_protocol.h"
#include "esp/slip.h"

using namespace morvane::esp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kLimit = 96;
  SlipDecoder dec(kLimit);
  std::vector<Bytes> frames;
  size_t chunk = size ? 1 + data[0] % 17 : 1;
  for (size_t at = 0; at < size; at += chunk) dec.feed(data + at, std::min(chunk, size - at), frames);
  for (const auto& f : frames) {
    if (f.empty() || f.size() > kLimit) std::abort();
    SlipDecoder again;
    std::vector<Bytes> back;
    Bytes wire = slip_encode(f);
    again.feed(wire.data(), wire.size(), back);
    if (back.size() != 1 || back[0] != f) std::abort();
    for (unsigned n : {0u, 2u, 4u}) {
      if (auto r = parse_response(f, n)) {
        if (r->data.size() + 8 != f.size()) std::abort();
        md5_from_response(*r, n);
      }
    }
  }

  bool done_seen = false;
  size_t sent_after_done = 0;
  FlasherConfig cfg;
  cfg.mode = "esp-erase-flash";
  cfg.send_bytes = [&](const Bytes& b) { sent_after_done += done_seen ? b.size() : 0; };
  cfg.on_event = [&](const morvane::Json& e) { done_seen = done_seen || e["kind"] == "done"; };
  EspFlasher f(std::move(cfg));
  int64_t now = 0;
  f.start(now);
  for (size_t at = 0; at < size; at += chunk) {
    f.feed(data + at, std::min(chunk, size - at), now);
    now += 37;
    f.tick(now);
  }
  f.cancel();
  if (!f.is_done() || sent_after_done) std::abort();
  return 0;
}
