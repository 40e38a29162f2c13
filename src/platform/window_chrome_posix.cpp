// POSIX: the title bar belongs to whichever toolkit draws the window; it registers itself.
#include <mutex>

#include "platform/window_chrome.h"

namespace morvane::platform {

namespace {
std::mutex g_mu;
DarkTitlebarHandler& handler() {
  static DarkTitlebarHandler h;
  return h;
}
}  // namespace

void set_dark_titlebar_handler(DarkTitlebarHandler h) {
  std::lock_guard<std::mutex> lock(g_mu);
  handler() = std::move(h);
}

bool apply_dark_titlebar(const std::string& title) {
  DarkTitlebarHandler h;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    h = handler();
  }
  if (!h) return false;
  try {
    return h(title);
  } catch (...) {
    return false;
  }
}

}  // namespace morvane::platform
