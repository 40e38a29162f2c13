// Session record -> protocol parameters, with the defaults of the start routines.
#include "telnet/session_options.h"

#include "util/text.h"

namespace morvane::telnet {
namespace {

// Text of a key, or the default when it is absent, null or empty.
std::string text_or(const Json& session, const char* key, const char* fallback) {
  const Json& v = json::get(session, key);
  if (v.is_null()) return fallback;
  std::string s = json::text_form(v);
  return s.empty() ? fallback : s;
}

bool bool_or(const Json& session, const char* key, bool fallback) {
  const Json& v = json::get(session, key);
  return v.is_null() ? fallback : json::truthy(v);
}

long long int_or(const Json& session, const char* key, long long fallback) {
  auto n = json::as_int(json::get(session, key));
  return n && *n != 0 ? *n : fallback;
}

}  // namespace

int session_port(const Json& value, int default_port) {
  auto n = json::as_int(value);
  if (!n || *n <= 0 || *n > 65535) return default_port;
  return static_cast<int>(*n);
}

long long first_speed(const std::string& term_speed, long long fallback) {
  auto comma = term_speed.find(',');
  auto n = text::parse_int(term_speed.substr(0, comma));
  return n && *n > 0 ? *n : fallback;
}

TelnetOptions TelnetOptions::from_session(const Json& s, bool serial) {
  TelnetOptions o;
  o.host = json::get_str(s, "host");
  o.port = session_port(json::get(s, "port"), 23);
  o.term_type = text_or(s, "terminal_type", "xterm");
  o.term_speed = text_or(s, "term_speed", "38400,38400");
  o.passive = bool_or(s, "passive_telnet", false);
  o.rfc_environ = bool_or(s, "rfc_environ", true);
  o.username = json::get_str(s, "username");
  if (!serial) {
    const Json& env = json::get(s, "telnet_env");
    if (env.is_array()) {
      for (const Json& e : env) {
        if (!e.is_object()) continue;
        const Json& k = json::get(e, "key");
        if (k.is_null()) continue;
        std::string name = json::text_form(k);
        if (name.empty()) continue;
        const Json& v = json::get(e, "value");
        std::string value = e.contains("value") ? json::text_form(v) : std::string();
        bool replaced = false;
        for (auto& [n, val] : o.environment)
          if (n == name) val = value, replaced = true;
        if (!replaced) o.environment.emplace_back(name, value);
      }
    }
    return o;
  }
  o.com_port_control = true;
  o.com_baud = int_or(s, "serial_baud", 9600);
  // Data bits that are not a number fall back to 8 instead of ending the start-up.
  auto bits = json::as_int(json::get(s, "serial_bits"));
  o.com_bits = bits ? *bits : 8;
  o.com_parity = text_or(s, "serial_parity", "N");
  o.com_stop = text_or(s, "serial_stop", "1");
  o.com_flow = text_or(s, "serial_flow", "N");
  return o;
}

std::map<std::string, Json> TelnetOptions::notice_values() const {
  std::map<std::string, Json> v{{"host", host}, {"port", port}};
  if (com_port_control) {
    v["baud"] = com_baud;
    v["bits"] = com_bits;
    v["parity"] = com_parity;
    v["stop"] = com_stop;
    v["flow"] = com_flow;
  }
  return v;
}

RloginOptions RloginOptions::from_session(const Json& s, const char* env_username) {
  RloginOptions o;
  o.host = json::get_str(s, "host");
  o.port = session_port(json::get(s, "port"), 513);
  o.local_username = text_or(s, "rlogin_local_user", "");
  if (o.local_username.empty()) o.local_username = text_or(s, "username", "");
  if (o.local_username.empty()) o.local_username = env_username && *env_username ? env_username : "user";
  o.remote_username = text_or(s, "username", "");
  if (o.remote_username.empty()) o.remote_username = o.local_username;
  o.term_type = text_or(s, "terminal_type", "xterm");
  o.term_speed = text_or(s, "term_speed", "38400,38400");
  return o;
}

SupdupOptions SupdupOptions::from_session(const Json& s) {
  SupdupOptions o;
  o.host = json::get_str(s, "host");
  o.port = session_port(json::get(s, "port"), 95);
  o.charset = text::lower_ascii(text_or(s, "supdup_charset", "ascii"));
  if (o.charset != "its" && o.charset != "waits") o.charset = "ascii";
  o.location = text_or(s, "supdup_location", "Morvane");
  o.more_processing = bool_or(s, "supdup_more", false);
  o.scrolling = bool_or(s, "supdup_scroll", true);
  return o;
}

std::map<std::string, Json> SupdupOptions::notice_values() const {
  return {{"host", host},
          {"port", port},
          {"charset", charset},
          {"more", more_processing ? "on" : "off"},
          {"scroll", scrolling ? "on" : "off"}};
}

}  // namespace morvane::telnet
