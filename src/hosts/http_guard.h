#pragma once
// Who may talk to the browser host: requests that carry the token and come through a
// loopback name, so that neither another web site (DNS rebinding, cross-site requests) nor
// another user's process without the token reaches the bridge.
#include <string>
#include <string_view>

namespace morvane::http_guard {

// A Host header value naming 127.0.0.1, localhost or [::1], with or without a port.
bool is_loopback_authority(std::string_view host);
// An Origin header value "http://" or "https://" followed by such an authority.
bool is_loopback_origin(std::string_view origin);
// Compares in time independent of where the texts differ.
bool same_token(std::string_view a, std::string_view b);
// 64 hexadecimal digits from the system's random source.
std::string make_token();

}  // namespace morvane::http_guard
