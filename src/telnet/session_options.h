#pragma once
// The parameters each protocol core is configured from, read out of a saved session with
// the defaults and fallbacks the start routines apply (port 23 / 513 / 95, 9600 bps,
// 8 data bits, "xterm", "38400,38400", ...). Reading them in one place keeps the protocol
// classes free of JSON and lets the start routines show the same values they pass on.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "util/json.h"

namespace morvane::telnet {

struct TelnetOptions {
  std::string host;
  int port = 23;
  std::string term_type = "xterm";
  std::string term_speed = "38400,38400";
  int term_width = 80;
  int term_height = 24;
  bool passive = false;      // wait for the server to open every negotiation
  bool rfc_environ = true;   // NEW-ENVIRON VAR/VALUE codes as RFC 1572 has them, else swapped
  std::string username;      // sent as the USER variable when not empty
  // Variables offered through NEW-ENVIRON, in first-seen order; a later entry of the same
  // name replaced the value of the earlier one.
  std::vector<std::pair<std::string, std::string>> environment;
  int timeout = 15;  // seconds
  // Telnet serial (RFC 2217): the remote port's line settings.
  bool com_port_control = false;
  long long com_baud = 9600;
  long long com_bits = 8;
  std::string com_parity = "N";
  std::string com_stop = "1";
  std::string com_flow = "N";

  // "telnet" when serial is false, "telnet-serial" when true.
  static TelnetOptions from_session(const Json& session, bool serial);
  // Values for the connecting notice: host, port, and for telnet-serial baud, bits,
  // parity, stop and flow.
  std::map<std::string, Json> notice_values() const;
};

struct RloginOptions {
  std::string host;
  int port = 513;
  std::string local_username;
  std::string remote_username;
  std::string term_type = "xterm";
  std::string term_speed = "38400,38400";
  int term_width = 80;
  int term_height = 24;
  int timeout = 15;

  // env_username is the USERNAME variable of the environment (nullptr when unset).
  static RloginOptions from_session(const Json& session, const char* env_username);
};

struct SupdupOptions {
  std::string host;
  int port = 95;
  int term_width = 80;
  int term_height = 24;
  std::string charset = "ascii";  // "ascii", "its" or "waits"
  bool more_processing = false;
  bool scrolling = true;
  std::string location = "Morvane";
  int timeout = 15;

  static SupdupOptions from_session(const Json& session);
  // host, port, charset, more and scroll ("on" / "off") for the connecting notice.
  std::map<std::string, Json> notice_values() const;
};

// A TCP port from a session value: its integer form when it is a valid port number,
// otherwise the default (empty, 0, absent, not a number, out of range).
int session_port(const Json& value, int default_port);

// The first number of a "transmit,receive" speed text, or fallback when it has none.
long long first_speed(const std::string& term_speed, long long fallback);

}  // namespace morvane::telnet
