#include <windows.h>

#include <cstdlib>

#include "platform/paths.h"
#include "util/win_text.h"

namespace morvane {

namespace fs = std::filesystem;

fs::path default_data_dir() { return fs::path("C:/halvren/Morvane"); }

fs::path executable_dir() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  return fs::path(std::wstring(buf, n)).parent_path();
}

fs::path home_dir() {
  const wchar_t* home = _wgetenv(L"USERPROFILE");
  return home && *home ? fs::path(home) : fs::path();
}

std::string find_on_path(const std::string& name) {
  if (name.empty()) return {};
  wchar_t buf[MAX_PATH];
  DWORD n = SearchPathW(nullptr, widen(name).c_str(), nullptr, MAX_PATH, buf, nullptr);
  if (n == 0 || n >= MAX_PATH) return {};
  int len = WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  return out;
}

std::vector<std::string> program_name_variants(const std::string& name) { return {name}; }

std::vector<std::filesystem::path> installed_program_dirs() {
  return {"C:\\Program Files\\PuTTY\\", "C:\\Program Files (x86)\\PuTTY\\"};
}

}  // namespace morvane
