#pragma once
// The Windows desktop services the window host uses around its WebView2 window: the process
// set-up before the first window, the tray icon, the common file dialogs, the clipboard and
// the user's browser. Everything takes and gives UTF-8.
#ifdef _WIN32
#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace morvane::platform::win {

// What the tray icon shows and does; the window host fills it from its own menu record.
struct TrayMenuSpec {
  std::string title;      // the icon's tooltip
  std::string show_text;  // the default item
  std::string quit_text;
  std::string icon_path;  // an .ico file; "" or unreadable: the system's application icon
  std::function<void()> on_show;
  std::function<void()> on_quit;
};

// One entry of a file dialog's type list: {"Private keys", {"*.ppk", "*.pem", "*"}}.
struct FileTypeFilter {
  std::string name;
  std::vector<std::string> patterns;
};

// Before any window exists: the AppUserModelID (so the taskbar groups the windows and shows
// the notifications under our name) and DPI awareness, asking per-monitor v2 first and
// falling back to per-monitor (shcore), then system-wide. Returns the awareness that took:
// "per-monitor-v2", "per-monitor", "system" or "" when every call was refused.
std::string setup_gui_process(const std::wstring& app_user_model_id);

// The dark title bar: DwmSetWindowAttribute with attribute 20, then 19 for older builds of
// Windows 10. True when either was accepted.
bool set_dark_titlebar(HWND hwnd);

// The notification-area icon with its two-item menu (show, the default item, and quit). It
// owns a hidden window of class kTrayWindowClass on a thread of its own; callbacks run on
// that thread. The shell reports clicks with kTrayCallbackMessage; the menu's items send
// WM_COMMAND with kTrayShow or kTrayQuit.
inline constexpr const wchar_t* kTrayWindowClass = L"MorvaneTrayWindow";
inline constexpr UINT kTrayCallbackMessage = WM_APP + 1;
inline constexpr UINT kTrayShow = 1;
inline constexpr UINT kTrayQuit = 2;

class TrayIcon {
 public:
  TrayIcon();
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;
  // False when the shell refused the icon (no notification area).
  bool start(const TrayMenuSpec& menu);
  void stop();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// IFileOpenDialog: one file, several files, or a folder. nullopt when cancelled or refused.
std::optional<std::string> open_file_dialog(HWND owner, const std::string& title, const std::vector<FileTypeFilter>& filters);
std::optional<std::vector<std::string>> open_files_dialog(HWND owner, const std::string& title,
                                                         const std::vector<FileTypeFilter>& filters);
std::optional<std::string> choose_folder_dialog(HWND owner, const std::string& title);

// The clipboard's text (CF_UNICODETEXT); nullopt when it holds none or stays locked by
// another program for timeout_ms.
std::optional<std::string> read_clipboard_text(DWORD timeout_ms = 5000);
// Puts text on the clipboard; false when it could not be opened.
bool write_clipboard_text(const std::string& text);

// Opens an http(s) or mailto address in the user's browser (ShellExecute "open"). Other
// schemes are refused, so a page cannot start programs through this.
bool open_url(const std::string& url);

// UTF-16 to UTF-8.
std::string narrow(const std::wstring& w);

}  // namespace morvane::platform::win
#endif
