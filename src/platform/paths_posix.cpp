#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/paths.h"

namespace morvane {

namespace fs = std::filesystem;

fs::path default_data_dir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  fs::path base;
  if (xdg && *xdg && fs::path(xdg).is_absolute()) {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home && *home ? home : "/tmp") / ".local" / "share";
  }
  return base / "halvren" / "Morvane";
}

fs::path executable_dir() {
  std::error_code ec;
  fs::path p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path() : p.parent_path();
}

fs::path home_dir() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

namespace {

bool is_executable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string find_on_path(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return is_executable(name) ? name : std::string();
  const char* path = std::getenv("PATH");
  std::string p = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    // An empty entry is the current folder.
    std::string cand = end > start ? p.substr(start, end - start) : std::string(".");
    cand += '/';
    cand += name;
    if (is_executable(cand)) return cand;
    start = end + 1;
  }
  return {};
}

std::vector<std::string> program_name_variants(const std::string& name) {
  std::vector<std::string> names = {name};
  if (name.size() > 4 && name.substr(name.size() - 4) == ".exe") names.push_back(name.substr(0, name.size() - 4));
  return names;
}

std::vector<std::filesystem::path> installed_program_dirs() { return {}; }

}  // namespace morvane
