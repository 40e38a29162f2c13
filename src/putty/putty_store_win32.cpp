// PuTTY's saved sessions in the registry: HKCU\Software\SimonTatham\PuTTY\Sessions, one
// subkey per session named by the escaped session name. Only read, never written.
#include <windows.h>

#include <string>

#include "putty/putty_import.h"
#include "putty/putty_store.h"
#include "util/win_text.h"

namespace morvane::putty {

namespace {

std::string narrow(const wchar_t* w, size_t len) {
  if (len == 0) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(len), s.data(), n, nullptr, nullptr);
  return s;
}

// Closes a key on every path out of the walk.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (h_) ::RegCloseKey(h_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  bool open(HKEY parent, const std::wstring& path) {
    return ::RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &h_) == ERROR_SUCCESS;
  }
  HKEY get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

// One value as text (string kinds) or integer (DWORD, QWORD); false when missing or of
// another kind.
bool query_value(HKEY key, const char* name, Json& out) {
  std::wstring wname = widen(name);
  DWORD type = 0, size = 0;
  if (::RegQueryValueExW(key, wname.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (size > (1u << 20)) return false;
  std::string buf(size + sizeof(wchar_t), '\0');
  DWORD got = size;
  if (::RegQueryValueExW(key, wname.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &got) !=
      ERROR_SUCCESS)
    return false;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      const auto* w = reinterpret_cast<const wchar_t*>(buf.data());
      size_t len = got / sizeof(wchar_t);
      while (len > 0 && w[len - 1] == L'\0') --len;
      out = narrow(w, len);
      return true;
    }
    case REG_DWORD:
      if (got < sizeof(DWORD)) return false;
      out = static_cast<long long>(*reinterpret_cast<const DWORD*>(buf.data()));
      return true;
    case REG_QWORD:
      if (got < 8) return false;
      out = static_cast<long long>(*reinterpret_cast<const unsigned long long*>(buf.data()));
      return true;
    default:
      return false;
  }
}

}  // namespace

Json _read_putty_registry_sessions() {
  Json out = Json::array();
  Key root;
  if (!root.open(HKEY_CURRENT_USER, L"Software\\SimonTatham\\PuTTY\\Sessions")) return out;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];  // registry key names are at most 255 characters
    DWORD len = 256;
    if (::RegEnumKeyExW(root.get(), index, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    try {
      Key sub;
      std::wstring wname(name, len);
      if (!sub.open(root.get(), wname)) continue;
      Json rec = Json::object();
      rec["name"] = _unescape_putty_name(narrow(name, len));
      for (const char* value : kValueNames) {
        Json v;
        if (query_value(sub.get(), value, v)) rec[value] = std::move(v);
      }
      out.push_back(std::move(rec));
    } catch (...) {
      // A subkey that cannot be read is left out; the walk goes on.
    }
  }
  return out;
}

}  // namespace morvane::putty
