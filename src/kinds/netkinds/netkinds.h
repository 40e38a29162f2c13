#pragma once
// The TCP connection kinds: "telnet" and "telnet-serial" (RFC 2217), "raw", "rlogin" and
// "supdup". One folder, since all of them stand on the same socket half (net_connection.h).
#include "core/kind.h"

namespace morvane::kinds {

std::shared_ptr<Kind> make_telnet_kind();
std::shared_ptr<Kind> make_raw_kind();
std::shared_ptr<Kind> make_rlogin_kind();
std::shared_ptr<Kind> make_supdup_kind();

}  // namespace morvane::kinds
