// Base64 text from files and peers: decoding never crashes, and what decodes re-encodes to
// text that decodes to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "util/base64.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (auto bytes = morvane::base64::decode(text)) {
    if (morvane::base64::decode(morvane::base64::encode(*bytes)) != *bytes) std::abort();
  }
  if (morvane::base64::decode(morvane::base64::encode(text)) != text) std::abort();
  morvane::text::percent_decode(text);
  morvane::text::parse_int(text);
  return 0;
}
