// Windows desktop services around the window: process set-up, tray icon, file dialogs,
// clipboard, browser.
#include "platform/desktop_win32.h"

#include <dwmapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "util/win_text.h"

// MinGW's dwmapi.h predates the attribute (Windows 10 20H1; 19 on earlier builds).
#ifndef DWMWA_USE_IMMERSIVE_DARK_MODE
#define DWMWA_USE_IMMERSIVE_DARK_MODE 20
#endif

namespace morvane::platform::win {

std::string narrow(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

namespace {

template <class F>
F proc(const wchar_t* dll, const char* name) {
  HMODULE m = GetModuleHandleW(dll);
  if (!m) m = LoadLibraryW(dll);
  return m ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name))) : nullptr;
}

}  // namespace

std::string setup_gui_process(const std::wstring& app_user_model_id) {
  // Looked up at run time: each call exists only from some Windows version on.
  using SetAumid = HRESULT(WINAPI*)(PCWSTR);
  if (auto set_id = proc<SetAumid>(L"shell32.dll", "SetCurrentProcessExplicitAppUserModelID"))
    set_id(app_user_model_id.c_str());
  using SetContext = BOOL(WINAPI*)(HANDLE);
  if (auto set_ctx = proc<SetContext>(L"user32.dll", "SetProcessDpiAwarenessContext")) {
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
    if (set_ctx(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) return "per-monitor-v2";
  }
  using SetAwareness = HRESULT(WINAPI*)(int);
  if (auto set_aw = proc<SetAwareness>(L"shcore.dll", "SetProcessDpiAwareness")) {
    if (SUCCEEDED(set_aw(2))) return "per-monitor";  // PROCESS_PER_MONITOR_DPI_AWARE
  }
  using SetAware = BOOL(WINAPI*)();
  if (auto set_aware = proc<SetAware>(L"user32.dll", "SetProcessDPIAware")) {
    if (set_aware()) return "system";
  }
  return "";
}

bool set_dark_titlebar(HWND hwnd) {
  BOOL on = TRUE;
  bool ok = SUCCEEDED(DwmSetWindowAttribute(hwnd, DWMWA_USE_IMMERSIVE_DARK_MODE, &on, sizeof on));
  // Older builds of Windows 10 know the attribute as 19 and ignore 20.
  ok = SUCCEEDED(DwmSetWindowAttribute(hwnd, 19, &on, sizeof on)) || ok;
  return ok;
}

// ---- tray icon ----------------------------------------------------------------------------

namespace {
constexpr UINT kTrayMessage = kTrayCallbackMessage;
constexpr UINT kCmdShow = kTrayShow;
constexpr UINT kCmdQuit = kTrayQuit;
constexpr UINT kTrayId = 1;
}  // namespace

struct TrayIcon::Impl {
  TrayMenuSpec menu;
  std::thread thread;
  std::mutex mu;
  std::condition_variable cv;
  bool ready = false;
  bool ok = false;
  HWND hwnd = nullptr;
  HICON icon = nullptr;
  bool own_icon = false;

  static LRESULT CALLBACK wndproc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(h, GWLP_USERDATA));
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    } else if (self && msg == kTrayMessage) {
      UINT event = LOWORD(lp);
      if (event == WM_LBUTTONDBLCLK || event == WM_LBUTTONUP) {
        if (self->menu.on_show) self->menu.on_show();
      } else if (event == WM_RBUTTONUP || event == WM_CONTEXTMENU) {
        self->popup(h);
      }
      return 0;
    } else if (self && msg == WM_COMMAND) {
      if (LOWORD(wp) == kCmdShow && self->menu.on_show) self->menu.on_show();
      if (LOWORD(wp) == kCmdQuit && self->menu.on_quit) self->menu.on_quit();
      return 0;
    } else if (msg == WM_CLOSE) {
      DestroyWindow(h);
      return 0;
    } else if (msg == WM_DESTROY) {
      PostQuitMessage(0);
      return 0;
    }
    return DefWindowProcW(h, msg, wp, lp);
  }

  void popup(HWND h) {
    HMENU m = CreatePopupMenu();
    AppendMenuW(m, MF_STRING, kCmdShow, widen(menu.show_text).c_str());
    AppendMenuW(m, MF_STRING, kCmdQuit, widen(menu.quit_text).c_str());
    // "Show" is drawn bold and is what a double click does.
    SetMenuDefaultItem(m, kCmdShow, FALSE);
    POINT pt;
    GetCursorPos(&pt);
    // The window must be in front, or the menu does not close when the user clicks elsewhere.
    SetForegroundWindow(h);
    TrackPopupMenu(m, TPM_RIGHTBUTTON, pt.x, pt.y, 0, h, nullptr);
    PostMessageW(h, WM_NULL, 0, 0);
    DestroyMenu(m);
  }

  void run() {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = wndproc;
    wc.hInstance = inst;
    wc.lpszClassName = kTrayWindowClass;
    RegisterClassExW(&wc);  // a second icon finds the class already there
    // A hidden top-level window, not a message-only one: the tray menu needs a foreground window.
    HWND h = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, inst, this);
    bool added = false;
    if (h) {
      if (!menu.icon_path.empty())
        icon = static_cast<HICON>(LoadImageW(nullptr, widen(menu.icon_path).c_str(), IMAGE_ICON, 0, 0,
                                             LR_LOADFROMFILE | LR_DEFAULTSIZE));
      own_icon = icon != nullptr;
      if (!icon) icon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
      NOTIFYICONDATAW nid{};
      nid.cbSize = sizeof nid;
      nid.hWnd = h;
      nid.uID = kTrayId;
      nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
      nid.uCallbackMessage = kTrayMessage;
      nid.hIcon = icon;
      std::wstring tip = widen(menu.title).substr(0, 127);
      std::copy(tip.begin(), tip.end(), nid.szTip);
      added = Shell_NotifyIconW(NIM_ADD, &nid);
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      hwnd = added ? h : nullptr;
      ok = added;
      ready = true;
    }
    cv.notify_all();
    if (!added) {
      if (h) DestroyWindow(h);
      if (own_icon) DestroyIcon(icon);
      return;
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = h;
    nid.uID = kTrayId;
    Shell_NotifyIconW(NIM_DELETE, &nid);
    if (own_icon) DestroyIcon(icon);
  }
};

TrayIcon::TrayIcon() : impl_(std::make_shared<Impl>()) {}
TrayIcon::~TrayIcon() { stop(); }

bool TrayIcon::start(const TrayMenuSpec& menu) {
  if (impl_->thread.joinable()) return impl_->ok;
  impl_->menu = menu;
  impl_->thread = std::thread([impl = impl_] { impl->run(); });
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->cv.wait(lock, [&] { return impl_->ready; });
  return impl_->ok;
}

void TrayIcon::stop() {
  if (!impl_->thread.joinable()) return;
  HWND h;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    h = impl_->hwnd;
  }
  if (h) PostMessageW(h, WM_CLOSE, 0, 0);
  impl_->thread.join();
}

// ---- file dialogs ---------------------------------------------------------------------------

namespace {

// COM on the calling thread for the dialog's lifetime (apartment-threaded, as the dialog needs).
struct ComScope {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  ~ComScope() {
    if (SUCCEEDED(hr)) CoUninitialize();
  }
};

template <class T>
struct ComPtr {
  T* p = nullptr;
  ~ComPtr() {
    if (p) p->Release();
  }
  T** out() { return &p; }
  T* operator->() const { return p; }
};

std::optional<std::string> item_path(IShellItem* item) {
  PWSTR path = nullptr;
  if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) || !path) return std::nullopt;
  std::string s = narrow(path);
  CoTaskMemFree(path);
  return s;
}

// Shows the dialog; the selected paths, or nullopt when cancelled or refused.
std::optional<std::vector<std::string>> run_dialog(HWND owner, const std::string& title,
                                                   const std::vector<FileTypeFilter>& filters, FILEOPENDIALOGOPTIONS extra) {
  ComScope com;
  ComPtr<IFileOpenDialog> dlg;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                              reinterpret_cast<void**>(dlg.out()))))
    return std::nullopt;
  FILEOPENDIALOGOPTIONS opts = 0;
  dlg->GetOptions(&opts);
  dlg->SetOptions(opts | FOS_FORCEFILESYSTEM | extra);
  dlg->SetTitle(widen(title).c_str());
  // The filter strings must outlive SetFileTypes.
  std::vector<std::wstring> names, specs;
  for (const auto& f : filters) {
    std::string joined;
    for (const auto& p : f.patterns) joined += (joined.empty() ? "" : ";") + (p == "*" ? std::string("*.*") : p);
    names.push_back(widen(f.name));
    specs.push_back(widen(joined));
  }
  std::vector<COMDLG_FILTERSPEC> types;
  for (size_t i = 0; i < names.size(); ++i) types.push_back({names[i].c_str(), specs[i].c_str()});
  if (!types.empty() && !(extra & FOS_PICKFOLDERS)) dlg->SetFileTypes(static_cast<UINT>(types.size()), types.data());
  if (FAILED(dlg->Show(owner))) return std::nullopt;  // cancelled
  std::vector<std::string> out;
  ComPtr<IShellItemArray> items;
  if (FAILED(dlg->GetResults(items.out()))) return std::nullopt;
  DWORD count = 0;
  items->GetCount(&count);
  for (DWORD i = 0; i < count; ++i) {
    ComPtr<IShellItem> item;
    if (FAILED(items->GetItemAt(i, item.out()))) continue;
    if (auto p = item_path(item.p)) out.push_back(*p);
  }
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> open_file_dialog(HWND owner, const std::string& title,
                                            const std::vector<FileTypeFilter>& filters) {
  auto r = run_dialog(owner, title, filters, FOS_FILEMUSTEXIST);
  if (!r) return std::nullopt;
  return r->front();
}

std::optional<std::vector<std::string>> open_files_dialog(HWND owner, const std::string& title,
                                                         const std::vector<FileTypeFilter>& filters) {
  return run_dialog(owner, title, filters, FOS_FILEMUSTEXIST | FOS_ALLOWMULTISELECT);
}

std::optional<std::string> choose_folder_dialog(HWND owner, const std::string& title) {
  auto r = run_dialog(owner, title, {}, FOS_PICKFOLDERS);
  if (!r) return std::nullopt;
  return r->front();
}

// ---- clipboard ---------------------------------------------------------------------------------

namespace {
// Another program may hold the clipboard for a moment; try again until the deadline.
bool open_clipboard(DWORD timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!OpenClipboard(nullptr)) {
    if (std::chrono::steady_clock::now() >= until) return false;
    Sleep(20);
  }
  return true;
}
}  // namespace

std::optional<std::string> read_clipboard_text(DWORD timeout_ms) {
  if (!IsClipboardFormatAvailable(CF_UNICODETEXT)) return std::nullopt;
  if (!open_clipboard(timeout_ms)) return std::nullopt;
  std::optional<std::string> out;
  if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
    if (auto* w = static_cast<const wchar_t*>(GlobalLock(h))) {
      size_t max = GlobalSize(h) / sizeof(wchar_t);
      size_t len = 0;
      while (len < max && w[len]) ++len;
      out = narrow(std::wstring(w, len));
      GlobalUnlock(h);
    }
  }
  CloseClipboard();
  return out;
}

bool write_clipboard_text(const std::string& text) {
  std::wstring w = widen(text);
  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, (w.size() + 1) * sizeof(wchar_t));
  if (!mem) return false;
  auto* dst = static_cast<wchar_t*>(GlobalLock(mem));
  std::copy(w.begin(), w.end(), dst);
  dst[w.size()] = L'\0';
  GlobalUnlock(mem);
  if (!open_clipboard(5000)) {
    GlobalFree(mem);
    return false;
  }
  EmptyClipboard();
  bool ok = SetClipboardData(CF_UNICODETEXT, mem) != nullptr;
  if (!ok) GlobalFree(mem);  // on success the clipboard owns it
  CloseClipboard();
  return ok;
}

// ---- browser --------------------------------------------------------------------------------------

bool open_url(const std::string& url) {
  std::string lower = url.substr(0, 8);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower.rfind("http://", 0) != 0 && lower.rfind("https://", 0) != 0 && lower.rfind("mailto:", 0) != 0)
    return false;
  auto r = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", widen(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  // ShellExecute reports success as a value above 32.
  return r > 32;
}

}  // namespace morvane::platform::win
