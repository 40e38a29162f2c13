// Host and Origin headers of the browser host come from any local process or web page: they
// never crash the check, and whatever passes names a loopback host with at most a port.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hosts/http_guard.h"
#include "util/text.h"

namespace {
bool plain_loopback(std::string_view s) {
  std::string lower = morvane::text::lower_ascii(s);
  for (std::string_view name : {"127.0.0.1", "localhost", "[::1]"}) {
    if (lower.compare(0, name.size(), name) != 0) continue;
    std::string_view rest = std::string_view(lower).substr(name.size());
    if (rest.empty()) return true;
    if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return false;
    for (char c : rest.substr(1))
      if (c < '0' || c > '9') return false;
    return true;
  }
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  using namespace morvane::http_guard;
  if (is_loopback_authority(text) != plain_loopback(text)) std::abort();
  if (is_loopback_origin(text)) {
    std::string lower = morvane::text::lower_ascii(text);
    size_t skip = lower.rfind("https://", 0) == 0 ? 8 : lower.rfind("http://", 0) == 0 ? 7 : 0;
    if (skip == 0 || !plain_loopback(text.substr(skip))) std::abort();
  }
  if (!same_token(text, text)) std::abort();
  if (size > 0 && same_token(text, text.substr(1))) std::abort();
  return 0;
}
