// The desktop services of the Windows layer under a headless Wine: what can run without a
// user (process set-up, clipboard, the tray icon's life, the URL guard, the dark title bar
// request) runs; the file dialogs need a user and are only built. Prints "ok -" / "not ok -"
// lines, and "info -" lines for what Wine answers where Windows and Wine may differ.
#include "tap_check.h"
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/desktop_win32.h"

using namespace morvane::platform::win;

namespace {
using wine_check::check;
using wine_check::failures;
void info(const std::string& what) {
  std::printf("info - %s\n", what.c_str());
  std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
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
  // The script runs this once under Xvfb and once without a display.
  const bool have_display = argc > 1 && std::string(argv[1]) == "display";
  check((w != nullptr) == have_display, have_display ? "a window can be made" : "no window without a display");
  if (w) {
    info(std::string("DwmSetWindowAttribute (dark title bar) ") + (set_dark_titlebar(w) ? "accepted" : "refused"));
    DestroyWindow(w);
  }

  TrayMenuSpec menu;
  menu.title = "Morvane";
  menu.show_text = "Show";
  menu.quit_text = "Quit";
  {
    std::atomic<int> shown{0}, quit{0};
    menu.on_show = [&] { ++shown; };
    menu.on_quit = [&] { ++quit; };
    TrayIcon tray;
    bool started = tray.start(menu);
    if (!have_display) {
      // Without a display there is no window to hold the icon; start says so and stop still returns.
      check(!started, "without a display the tray icon is refused");
    } else {
      check(started, "Shell_NotifyIcon takes the icon");
      HWND tray_window = FindWindowW(kTrayWindowClass, L"");
      check(tray_window != nullptr, "the tray's hidden window exists");
      // What the shell sends on a double click, and what the menu's items send.
      PostMessageW(tray_window, kTrayCallbackMessage, 1, WM_LBUTTONDBLCLK);
      PostMessageW(tray_window, WM_COMMAND, kTrayShow, 0);
      PostMessageW(tray_window, WM_COMMAND, kTrayQuit, 0);
      for (int i = 0; i < 250 && (shown < 2 || quit < 1); ++i) Sleep(20);
      check(shown == 2 && quit == 1, "a double click and the show item show the window, the quit item quits",
            std::to_string(shown) + " shows, " + std::to_string(quit) + " quits");
    }
    tray.stop();
    check(!have_display || FindWindowW(kTrayWindowClass, L"") == nullptr, "stop removes the icon and its window");
  }
  return failures;
}
