// Bytes from a peer through the incremental decoders, split at arbitrary points: the output
// must always be valid UTF-8, whatever the chunking.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "util/encoding.h"
#include "util/json.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const char* kNames[] = {"utf-8", "utf-8-sig", "big5", "gbk", "shift_jis", "euc-kr", "latin-1", "cp437", "gb18030", "iso2022_jp"};
  const char* name = kNames[data[0] % (sizeof kNames / sizeof *kNames)];
  size_t split = data[1];
  std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  auto dec = morvane::encoding::make_decoder(name);
  std::string out;
  size_t step = split % 7 + 1;
  for (size_t i = 0; i < bytes.size(); i += step) out += dec->decode(std::string_view(bytes).substr(i, step));
  out += dec->decode("", true);
  if (morvane::text::valid_utf8_prefix(out) != out.size()) std::abort();
  // Whatever came in can be put in a page call and in a file.
  morvane::json::quote(out, true);
  morvane::encoding::encode(out, name);
  return 0;
}
