#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cwchar>
#include <set>

#include "serial/list_ports.h"

namespace morvane::serial {

namespace {

// The "Ports (COM & LPT)" device class.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string narrow(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

std::string narrow(const std::wstring& text) {
  // Registry strings may carry their terminating null inside the length.
  return narrow(text.c_str(), std::wcslen(text.c_str()));
}

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
  wchar_t buf[512] = {};
  DWORD type = 0;
  if (!::SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, reinterpret_cast<BYTE*>(buf),
                                           sizeof buf - sizeof(wchar_t), nullptr))
    return {};
  return narrow(std::wstring(buf));  // the first string of a REG_MULTI_SZ
}

bool is_com_name(const std::string& name) {
  return name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
         (name[2] == 'M' || name[2] == 'm');
}

}  // namespace

std::vector<PortInfo> list_ports(const std::string&, const std::string&) {
  std::vector<PortInfo> ports;
  std::set<std::string> seen;

  HDEVINFO set = ::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
      HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
      if (key == INVALID_HANDLE_VALUE) continue;
      wchar_t name[256] = {};
      DWORD size = sizeof name - sizeof(wchar_t);
      DWORD type = 0;
      LONG rc = ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
      ::RegCloseKey(key);
      if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
      PortInfo port;
      port.port = narrow(std::wstring(name));
      if (!is_com_name(port.port) || seen.count(port.port)) continue;  // LPT ports share the class
      port.description = device_property(set, info, SPDRP_FRIENDLYNAME);
      if (port.description.empty()) port.description = device_property(set, info, SPDRP_DEVICEDESC);
      port.hwid = device_property(set, info, SPDRP_HARDWAREID);
      seen.insert(port.port);
      ports.push_back(std::move(port));
    }
    ::SetupDiDestroyDeviceInfoList(set);
  }

  // Ports whose drivers register no device class entry still appear here.
  HKEY map;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) == ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      wchar_t device[256] = {};
      wchar_t name[256] = {};
      DWORD device_len = 255, name_size = sizeof name - sizeof(wchar_t), type = 0;
      LONG rc = ::RegEnumValueW(map, i, device, &device_len, nullptr, &type, reinterpret_cast<BYTE*>(name),
                                &name_size);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
      PortInfo port;
      port.port = narrow(std::wstring(name));
      if (port.port.empty() || seen.count(port.port)) continue;
      port.description = narrow(device, device_len);
      port.hwid = port.description;
      seen.insert(port.port);
      ports.push_back(std::move(port));
    }
    ::RegCloseKey(map);
  }

  std::sort(ports.begin(), ports.end(),
            [](const PortInfo& a, const PortInfo& b) { return natural_less(a.port, b.port); });
  return ports;
}

}  // namespace morvane::serial
