// The desktop services of the Windows layer under a headless Wine: what can run without a
// user (process set-up, clipboard, the tray icon's life, the URL guard, the dark title bar
// request) runs; the file dialogs need a user and are only built. Prints "ok -" / "not ok -"
// lines, and "info -" lines for what Wine answers where Windows and Wine may differ.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/desktop_win32.h"

using namespace morvane::platform::win;

namespace {
int failures = 0;
void check(bool ok, const std::string& what, const std::string& detail = "") {
  std::printf("%s - %s%s%s\n", ok ? "ok" : "not ok", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}
void info(const std::string& what) {
  std::printf("info - %s\n", what.c_str());
  std::fflush(stdout);
}
}  // namespace

int main() {
  std::string dpi = setup_gui_process(L"halvren.Morvane");
  check(!dpi.empty(), "a DPI awareness call is accepted", dpi);
  PWSTR id = nullptr;
  using GetAumid = HRESULT(WINAPI*)(PWSTR*);
  auto get_id = reinterpret_cast<GetAumid>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"shell32.dll"), "GetCurrentProcessExplicitAppUserModelID")));
  if (get_id && SUCCEEDED(get_id(&id)) && id) {
    check(std::wstring(id) == L"halvren.Morvane", "the AppUserModelID is set", narrow(id));
    CoTaskMemFree(id);
  } else {
    info("this system cannot read the AppUserModelID back");
  }

  std::string text = "clipboard \xC3\xA9t\xC3\xA9 \xE2\x9C\x93 line\r\nend";
  bool wrote = write_clipboard_text(text);
  check(wrote, "text goes onto the clipboard");
  auto back = read_clipboard_text(2000);
  check(back && *back == text, "the clipboard's text comes back as UTF-8", back.value_or("(none)"));

  check(!open_url("file:///C:/windows/system32/cmd.exe") && !open_url("C:\\windows\\notepad.exe") &&
            !open_url("javascript:alert(1)") && !open_url(""),
        "addresses other than http(s) and mailto are refused without starting anything");

  HWND w = CreateWindowExW(0, L"STATIC", L"Morvane chrome check", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                           nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!w) {
    // Wine without a display has no window station to make windows in; Windows always has one.
    info("no window could be made (no display), so the title bar request was not sent");
  } else {
    info(std::string("DwmSetWindowAttribute (dark title bar) ") + (set_dark_titlebar(w) ? "accepted" : "refused"));
    DestroyWindow(w);
  }

  morvane::TrayMenu menu;
  menu.title = "Morvane";
  menu.show_text = "Show";
  menu.quit_text = "Quit";
  {
    TrayIcon tray;
    bool started = tray.start(menu);
    info(std::string("Shell_NotifyIcon NIM_ADD ") + (started ? "accepted" : "refused (no notification area)"));
    tray.stop();
    check(true, "the tray icon's thread ends on stop");
  }
  return failures;
}
