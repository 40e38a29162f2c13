// Windows: the desktop window manager draws the title bar; ask it for the dark variant.
#include <windows.h>
#include <dwmapi.h>

#include <mutex>
#include <string>

#include "platform/window_chrome.h"
#include "util/win_text.h"

// MinGW's dwmapi.h predates the attribute; Windows 10 20H1 and later know it as 20, earlier
// builds of Windows 10 as 19. Both are sent, as the older builds ignore the unknown one.
#ifndef DWMWA_USE_IMMERSIVE_DARK_MODE
#define DWMWA_USE_IMMERSIVE_DARK_MODE 20
#endif

namespace morvane::platform {

namespace {
std::mutex g_mu;
DarkTitlebarHandler g_handler;

}  // namespace

void set_dark_titlebar_handler(DarkTitlebarHandler h) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_handler = std::move(h);
}

bool apply_dark_titlebar(const std::string& title) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_handler) {
      try {
        return g_handler(title);
      } catch (...) {
        return false;
      }
    }
  }
  HWND hwnd = FindWindowW(nullptr, widen(title).c_str());
  if (!hwnd) return false;
  BOOL on = TRUE;
  // The results are not checked: an older Windows simply keeps its light title bar.
  DwmSetWindowAttribute(hwnd, DWMWA_USE_IMMERSIVE_DARK_MODE, &on, sizeof on);
  DwmSetWindowAttribute(hwnd, 19, &on, sizeof on);
  return true;
}

}  // namespace morvane::platform
