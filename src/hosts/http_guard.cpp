#include "hosts/http_guard.h"

#include <cstdio>
#include <stdexcept>

#include "platform/random.h"
#include "util/text.h"

namespace morvane::http_guard {

namespace {
bool all_digits(std::string_view s) {
  if (s.empty() || s.size() > 5) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}
}  // namespace

bool is_loopback_authority(std::string_view host) {
  std::string_view name = host, port;
  if (!host.empty() && host.front() == '[') {
    auto close = host.find(']');
    if (close == std::string_view::npos) return false;
    name = host.substr(0, close + 1);
    std::string_view rest = host.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
      if (!all_digits(port)) return false;
    }
  } else {
    auto colon = host.rfind(':');
    if (colon != std::string_view::npos) {
      name = host.substr(0, colon);
      port = host.substr(colon + 1);
      if (!all_digits(port)) return false;
    }
  }
  std::string lower = text::lower_ascii(name);
  return lower == "127.0.0.1" || lower == "localhost" || lower == "[::1]";
}

bool is_loopback_origin(std::string_view origin) {
  for (std::string_view scheme : {"http://", "https://"}) {
    if (origin.size() > scheme.size() && text::lower_ascii(origin.substr(0, scheme.size())) == scheme)
      return is_loopback_authority(origin.substr(scheme.size()));
  }
  return false;
}

bool same_token(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string make_token() {
  unsigned char bytes[32];
  if (!platform::random_bytes(bytes, sizeof bytes)) throw std::runtime_error("cannot get random bytes for the token");
  std::string hex;
  char two[3];
  for (unsigned char b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

}  // namespace morvane::http_guard
