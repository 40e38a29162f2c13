#include "hosts/page_config.h"

#include "util/json.h"

namespace morvane {

std::string page_config_script(const std::string& host_kind, const Bridge& bridge) {
  Json cfg = Json::object();
  cfg["host"] = host_kind;
  Json ops = Json::array();
  for (const auto& name : bridge.names()) ops.push_back(name);
  cfg["ops"] = std::move(ops);
  // "</" must not end the inline script early.
  std::string text = json::dump_line(cfg, true);
  std::string safe;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '<' && i + 1 < text.size() && text[i + 1] == '/') {
      safe += "<\\/";
      ++i;
    } else {
      safe += text[i];
    }
  }
  return "window.__MORVANE__ = " + safe + ";";
}

std::string inject_page_config(const std::string& html, const std::string& host_kind, const Bridge& bridge) {
  std::string tag = "<script>" + page_config_script(host_kind, bridge) + "</script>";
  auto head = html.find("<head>");
  if (head == std::string::npos) return tag + html;
  std::string out = html;
  out.insert(head + 6, tag);
  return out;
}

}  // namespace morvane
