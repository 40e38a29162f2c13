// PuTTY session files and stored names: parsing never crashes, keeps only PuTTY's eleven
// values with valid UTF-8 texts, and every parsed record maps into a session record.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "putty/putty_import.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  size_t cut = bytes.find('\0');
  std::string name = cut == std::string::npos ? std::string("s") : bytes.substr(0, cut);
  morvane::Json raw = morvane::putty::parse_session_file(name, bytes);
  if (!raw.is_object() || raw.size() > 12) std::abort();
  for (auto& [k, v] : raw.items()) {
    if (v.is_string() && morvane::text::valid_utf8_prefix(v.get_ref<const std::string&>()) != v.get_ref<const std::string&>().size())
      std::abort();
  }
  morvane::Json s = morvane::putty::to_session_record(raw, "Imported from PuTTY");
  if (s.size() != 17 || !s["port"].is_number_integer()) std::abort();
  s.dump();  // every text must be valid UTF-8, or dumping throws
  return 0;
}
