#pragma once
// Which saved sessions answer on their host and port: a TCP connect with a short time limit.
#include <string>

#include "util/json.h"

namespace morvane::launcher {

// The TCP port a network session connects to: its `port` when it is a positive number,
// else the protocol's default; 0 for sessions that are not network sessions (serial, local
// shell) or have no host.
int session_port(const Json& sess);

// True when a TCP connection to host:port is accepted within timeout_sec.
bool tcp_reachable(const std::string& host, int port, double timeout_sec);

// The status feed item for a session list: {"type": "ping_results", "results": [{id, online}]}
// for every network session with an id; the checks run in parallel.
Json ping_results(const Json& sessions, double timeout_sec);

}  // namespace morvane::launcher
