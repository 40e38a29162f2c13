// Raw PuTTY records: parsing PuTTY's Unix session files and mapping into session records.
#include "putty/putty_import.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <system_error>

#include "util/text.h"
#include "util/uuid.h"

namespace morvane::putty {

namespace {

const char* const kProtocols[] = {"ssh", "telnet", "raw", "serial", "telnet-serial", "rlogin", "supdup", "conpty"};

const char* known_value_name(std::string_view key) {
  for (const char* n : kValueNames)
    if (key == n) return n;
  return nullptr;
}

// Truth of a raw value, missing counting as false.
bool flag(const Json& raw, const char* key) { return json::truthy(json::get(raw, key)); }

// A raw text value, or "" when missing or not text.
std::string text_of(const Json& raw, const char* key) { return json::get_str(raw, key); }

}  // namespace

bool is_number_value(std::string_view name) {
  return name == "PortNumber" || name == "Compression" || name == "SerialSpeed" || name == "LFImpliesCR" ||
         name == "CRImpliesLF";
}

std::string _unescape_putty_name(std::string_view name) {
  try {
    return text::percent_decode(name);
  } catch (...) {
    return std::string(name);
  }
}

Json parse_session_file(std::string_view stored_name, std::string_view bytes) {
  Json rec = Json::object();
  rec["name"] = _unescape_putty_name(stored_name);
  // PuTTY keeps the first line of a key when a file repeats it; so do we.
  Json values = Json::object();
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const char* key = known_value_name(line.substr(0, eq));
    if (!key || values.contains(key)) continue;
    std::string value = text::sanitize_utf8(line.substr(eq + 1));
    if (is_number_value(key)) {
      if (auto n = text::parse_int(value); n && *n >= -2147483648LL && *n <= 0xFFFFFFFFLL) {
        values[key] = *n;
        continue;
      }
    }
    values[key] = std::move(value);
  }
  for (const char* n : kValueNames)
    if (values.contains(n)) rec[n] = std::move(values[n]);
  return rec;
}

Json to_session_record(const Json& raw, const std::string& default_name) {
  if (!raw.is_object()) throw std::invalid_argument("a PuTTY session must be a record");
  std::string name = text_of(raw, "name");
  std::string proto = text::lower_ascii(text_of(raw, "Protocol"));
  bool known = false;
  for (const char* p : kProtocols) known = known || proto == p;
  if (!known) proto = "ssh";
  std::string host = text_of(raw, "HostName");
  if (host.empty()) host = text_of(raw, "SerialLine");
  long long port = 22;
  if (auto n = json::as_int(json::get(raw, "PortNumber"))) port = *n;

  Json s = Json::object();
  s["id"] = uuid4_hex();
  s["name"] = name.empty() ? default_name : name;
  s["protocol"] = proto;
  s["host"] = host;
  s["port"] = port;
  s["username"] = text_of(raw, "UserName");
  s["password"] = "";
  s["private_key"] = text_of(raw, "PublicKeyFile");
  s["compression"] = flag(raw, "Compression");
  s["agent_forwarding"] = false;
  s["ip_version"] = "auto";
  s["port_forwards"] = Json::array();
  s["line_code_page"] = "utf-8";
  s["terminal_type"] = "xterm-256color";
  s["keepalive_sec"] = 30;
  s["lfhascr"] = flag(raw, "LFImpliesCR");
  s["crhaslf"] = flag(raw, "CRImpliesLF");
  return s;
}

std::string _read_putty_version(const std::filesystem::path& dir) {
  std::filesystem::path file = dir / "version.h";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return {};
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + file.string());
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("cannot read " + file.string());
  static const std::regex re(R"(#define[ \t\r\n\f\v]+RELEASE[ \t\r\n\f\v]+([0-9.]+))");
  std::smatch m;
  std::string text = text::sanitize_utf8(bytes);
  if (std::regex_search(text, m, re)) return m[1].str();
  return {};
}

}  // namespace morvane::putty
