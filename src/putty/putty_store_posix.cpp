// PuTTY's Unix store: one file per session in <store>/sessions, named by the escaped session
// name. Files are read with a size bound; one that cannot be read is left out.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <vector>

#include "putty/putty_import.h"
#include "putty/putty_store.h"
#include "util/diag.h"

namespace morvane::putty {

namespace fs = std::filesystem;

namespace {

// PuTTY's own session files hold a few kilobytes; anything far larger is not one of them.
constexpr std::uintmax_t kMaxSessionFile = 1 << 20;

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

}  // namespace

fs::path unix_store_dir() {
  if (std::string d = env("PUTTYDIR"); !d.empty()) return d;
  std::string home = env("HOME");
  fs::path old_dir = fs::path(home) / ".putty";
  std::string xdg = env("XDG_CONFIG_HOME");
  fs::path xdg_dir = xdg.empty() ? fs::path(home) / ".config" / "putty" : fs::path(xdg) / "putty";
  std::error_code ec;
  if (!fs::is_directory(old_dir, ec) && fs::is_directory(xdg_dir, ec)) return xdg_dir;
  return old_dir;
}

Json read_session_dir(const fs::path& sessions_dir) {
  Json out = Json::array();
  std::error_code ec;
  std::vector<fs::path> files;
  fs::directory_iterator it(sessions_dir, ec);
  if (ec) return out;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& p : files) {
    std::string stored = p.filename().string();
    if (stored.empty() || stored[0] == '.') continue;  // editor and temporary files
    if (!fs::is_regular_file(p, ec)) continue;
    auto size = fs::file_size(p, ec);
    if (ec) continue;
    if (size > kMaxSessionFile) {
      diag::out("[putty_import] left out " + p.string() + ": not a session file (too large)");
      continue;
    }
    std::ifstream in(p, std::ios::binary);
    if (!in) continue;
    std::string bytes(static_cast<size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (in.bad()) continue;
    try {
      out.push_back(parse_session_file(stored, bytes));
    } catch (const std::exception& e) {
      diag::out("[putty_import] left out " + p.string() + ": " + e.what());
    }
  }
  return out;
}

Json _read_putty_registry_sessions() {
  try {
    return read_session_dir(unix_store_dir() / "sessions");
  } catch (const std::exception& e) {
    diag::out(std::string("[putty_import] ") + e.what());
    return Json::array();
  }
}

}  // namespace morvane::putty
