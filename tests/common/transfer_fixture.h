#pragma once
// Transfers in real tabs: files of chosen bytes, the xferOnEvent calls the page received, and
// the lrzsz programs the remote side runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "peer.h"
#include "util/json.h"

namespace morvane::xfertest {

namespace fs = std::filesystem;

inline bool have_lrzsz() {
  for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"})
    if (fs::exists(fs::path(dir) / "sz") && fs::exists(fs::path(dir) / "rz")) return true;
  return false;
}

// Bytes a line or a protocol could trip over (ZDLE, XON/XOFF, CR, 0xFF, CAN), then random ones.
inline std::string nasty_bytes(size_t n, unsigned seed = 7) {
  static const char special[] = {'\x18', '\x11', '\x13', '\r', '\n', '\xff', '\x7f', '\x00', '\x10', '\x91', '\x93', '*'};
  std::string s;
  s.reserve(n);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < n; ++i) s.push_back(i % 3 == 0 ? special[rng() % sizeof special] : static_cast<char>(rng()));
  return s;
}

inline void write_file(const fs::path& p, const std::string& s) {
  std::ofstream f(p, std::ios::binary);
  f << s;
}

inline std::string read_file(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
  return out;
}

// The prefix of every xferOnEvent script for a tab, as the page receives it.
inline std::string event_prefix(const std::string& tab) {
  return "if(window.xferOnEvent) xferOnEvent(" + json::quote(tab, false) + ", ";
}

// The events of one tab, parsed back from the scripts.
inline std::vector<Json> events_of(const std::vector<std::string>& scripts, const std::string& tab) {
  std::vector<Json> out;
  std::string prefix = event_prefix(tab);
  for (const auto& s : scripts)
    if (s.rfind(prefix, 0) == 0 && s.back() == ')')
      out.push_back(Json::parse(s.substr(prefix.size(), s.size() - prefix.size() - 1)));
  return out;
}

}  // namespace morvane::xfertest
