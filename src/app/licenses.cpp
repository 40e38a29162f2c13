#include "app/licenses.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "putty/putty_import.h"
#include "util/text.h"

namespace morvane {

namespace fs = std::filesystem;

namespace {

// Licence files are texts of some kilobytes; a bound keeps a stray huge file from the page.
constexpr std::uintmax_t kMaxLicenseFile = 4u << 20;

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + p.string());
  std::string bytes;
  bytes.resize(kMaxLicenseFile);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return text::sanitize_utf8(bytes);
}

std::string rstrip(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r' ||
                        s.back() == '\v' || s.back() == '\f'))
    s.pop_back();
  return s;
}

bool is_license_name(const std::string& name) {
  std::string up = text::upper_ascii(name);
  return up.rfind("LICENSE", 0) == 0 || up.rfind("LICENCE", 0) == 0 || up == "NOTICE";
}

struct Candidate {
  int place;  // 0: the metadata folder, 1: its "licenses" subfolder
  std::string name;
  fs::path path;
  std::string label() const { return place == 0 ? name : "licenses/" + name; }
};

}  // namespace

std::optional<std::pair<std::string, std::string>> _read_license_file(const fs::path& dirpath) {
  std::vector<Candidate> found;
  const fs::path places[2] = {dirpath, dirpath / "licenses"};
  for (int place = 0; place < 2; ++place) {
    std::error_code ec;
    if (!fs::is_directory(places[place], ec)) continue;
    for (fs::directory_iterator it(places[place], ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      std::error_code fec;
      if (is_license_name(name) && fs::is_regular_file(it->path(), fec))
        found.push_back({place, name, it->path()});
    }
  }
  if (found.empty()) return std::nullopt;
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    bool adot = a.name.find('.') != std::string::npos, bdot = b.name.find('.') != std::string::npos;
    if (a.place != b.place) return a.place < b.place;
    if (adot != bdot) return !adot;
    return a.name < b.name;
  });
  std::string labels, body;
  const std::string rule = [] {
    std::string r;
    for (int i = 0; i < 60; ++i) r += "\u2500";
    return r;
  }();
  for (size_t i = 0; i < found.size(); ++i) {
    std::string txt = rstrip(read_text(found[i].path));
    if (i) labels += " \u00b7 ";
    labels += found[i].label();
    if (found.size() == 1) {
      body = std::move(txt);
    } else {
      if (i) body += "\n\n";
      body += rule + "\n  " + found[i].label() + "\n" + rule + "\n" + txt;
    }
  }
  return std::pair{labels, body};
}

Json third_party_licenses(const fs::path& component_root, const fs::path& putty_root) {
  Json items = Json::array();
  std::error_code ec;
  fs::path licence = putty_root / "LICENCE";
  if (fs::is_regular_file(licence, ec)) {
    items.push_back(Json{{"name", "PuTTY"},
                         {"version", putty::_read_putty_version(putty_root)},
                         {"license_file", "LICENCE"},
                         {"body", read_text(licence)}});
  }
  if (!fs::is_directory(component_root, ec)) return Json{{"items", items}};
  std::vector<std::string> names;
  for (fs::directory_iterator it(component_root, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  const std::string suffix = ".dist-info";
  for (const auto& folder : names) {
    if (folder.size() < suffix.size() || folder.compare(folder.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    std::string stem = folder.substr(0, folder.size() - suffix.size());
    size_t dash = stem.rfind('-');
    std::string name = dash == std::string::npos ? stem : stem.substr(0, dash);
    std::string version = dash == std::string::npos ? "" : stem.substr(dash + 1);
    auto found = _read_license_file(component_root / folder);
    if (!found) continue;
    items.push_back(Json{{"name", name}, {"version", version}, {"license_file", found->first}, {"body", found->second}});
  }
  return Json{{"items", items}};
}

}  // namespace morvane
