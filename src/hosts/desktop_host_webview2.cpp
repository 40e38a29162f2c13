// The desktop host on Windows: one Win32 window holding a WebView2 control that shows the
// page, with the tray icon, file dialogs and clipboard of platform/desktop_win32.
//
// The window and WebView2 live on the UI thread (the one that calls create_window and
// run_loop); other threads post closures to it with kRunMessage. Bridge calls arrive as web
// messages {id, op, args}, run on threads of their own and are answered with a posted JSON
// message {id, ok, result | error}, which ui/src/webview_channel.js matches to its promise.
#include "hosts/desktop_host.h"

#include <windows.h>
#include <shlwapi.h>
#include <wrl.h>

#include <WebView2.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include "hosts/page_config.h"
#include "platform/desktop_win32.h"
#include "platform/window_chrome.h"
#include "util/diag.h"
#include "util/json.h"
#include "util/text.h"
#include "util/win_text.h"

namespace morvane {

using Microsoft::WRL::Callback;
using Microsoft::WRL::ComPtr;

namespace {

constexpr const wchar_t* kWindowClass = L"MorvaneWindow";
constexpr UINT kRunMessage = WM_APP + 20;
// The page is served from this address by the WebResourceRequested handler; ".invalid"
// never resolves, so nothing outside the program can answer for it.
constexpr const wchar_t* kPageOrigin = L"https://morvane.invalid";
constexpr const wchar_t* kPageUrl = L"https://morvane.invalid/";
constexpr const wchar_t* kAppUserModelId = L"halvren.Morvane";

template <class T>
struct Waitable {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  T value{};
  void set(T v) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (done) return;
      value = std::move(v);
      done = true;
    }
    cv.notify_all();
  }
  bool wait(double seconds) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done; });
  }
};

bool tracing() {
  static const bool on = [] {
    const char* v = std::getenv("MORVANE_TRACE");
    return v && *v && std::string(v) != "0";
  }();
  return on;
}

COLORREF parse_colour(const std::string& css, COLORREF fallback) {
  if (css.size() != 7 || css[0] != '#') return fallback;
  char* end = nullptr;
  unsigned long v = std::strtoul(css.c_str() + 1, &end, 16);
  if (end != css.c_str() + 7) return fallback;
  return RGB((v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff);
}

std::string take_co_string(LPWSTR s) {
  if (!s) return {};
  std::string out = platform::win::narrow(s);
  CoTaskMemFree(s);
  return out;
}

std::vector<platform::win::FileTypeFilter> to_win_filters(const std::vector<FileFilter>& filters) {
  std::vector<platform::win::FileTypeFilter> out;
  for (const auto& f : filters) out.push_back({f.name, f.patterns});
  return out;
}

}  // namespace

struct DesktopHost::Impl : std::enable_shared_from_this<DesktopHost::Impl> {
  std::atomic<HWND> hwnd{nullptr};  // read by the threads that post to the window
  Bridge* bridge = nullptr;
  std::function<bool()> on_closing;
  std::string page;
  WindowSpec spec;
  DWORD ui_thread = 0;
  std::atomic<bool> created{false};
  std::atomic<bool> alive{false};
  HBRUSH background = nullptr;

  // UI thread only.
  ComPtr<ICoreWebView2Environment> env;
  ComPtr<ICoreWebView2Controller> controller;
  ComPtr<ICoreWebView2> view;
  bool loaded = false;
  std::vector<std::string> pending;  // scripts evaluated before the page finished loading

  platform::win::TrayIcon tray;

  bool on_ui() const { return GetCurrentThreadId() == ui_thread; }

  // Runs fn on the UI thread; dropped when the window is gone.
  void post(std::function<void()> fn) {
    HWND h = hwnd;
    if (!h) return;
    auto* boxed = new std::function<void()>(std::move(fn));
    if (!PostMessageW(h, kRunMessage, 0, reinterpret_cast<LPARAM>(boxed))) delete boxed;
  }

  bool run_on_ui(std::function<void()> fn, double timeout_sec = 10.0) {
    if (on_ui()) {
      fn();
      return true;
    }
    if (!alive) return false;
    auto w = std::make_shared<Waitable<bool>>();
    post([fn = std::move(fn), w] {
      fn();
      w->set(true);
    });
    return w->wait(timeout_sec);
  }

  void eval_now(const std::string& script) {
    if (view) view->ExecuteScript(widen(script).c_str(), nullptr);
  }

  void fit_to_window() {
    if (!controller || !hwnd) return;
    RECT r{};
    GetClientRect(hwnd, &r);
    controller->put_Bounds(r);
  }

  // ---- the bridge: page -> native ---------------------------------------------------------
  void on_web_message(const std::string& body) {
    Json id = nullptr;
    std::string op;
    Json args = Json::array();
    try {
      Json msg = json::parse(body);
      id = json::get(msg, "id");
      const Json& name = json::get(msg, "op");
      if (!name.is_string()) throw std::runtime_error("missing op");
      op = name.get<std::string>();
      if (msg.contains("args")) args = msg["args"];
    } catch (const std::exception& e) {
      if (!id.is_null()) answer(id, false, Json(e.what()));
      return;
    }
    auto self = shared_from_this();
    try {
      // Off the UI thread: some operations block for minutes.
      std::thread([self, id, op, args] {
        try {
          Json result = self->bridge->call(op, args);
          if (result.is_string()) result = text::sanitize_utf8(result.get_ref<const std::string&>());
          self->post([self, id, result = std::move(result)] { self->answer(id, true, result); });
        } catch (const std::exception& e) {
          std::string why = e.what();
          self->post([self, id, why] { self->answer(id, false, Json(why)); });
        }
      }).detach();
    } catch (const std::system_error& e) {
      answer(id, false, Json(std::string("cannot start the call: ") + e.what()));
    }
  }

  void answer(const Json& id, bool ok, const Json& value) {
    if (!view) return;
    Json reply = Json::object();
    reply["id"] = id;
    reply["ok"] = ok;
    reply[ok ? "result" : "error"] = value;
    view->PostWebMessageAsJson(widen(json::dump_line(reply, false)).c_str());
  }

  // ---- serving the page -------------------------------------------------------------------
  void serve(ICoreWebView2WebResourceRequestedEventArgs* args) {
    ComPtr<ICoreWebView2WebResourceRequest> request;
    if (FAILED(args->get_Request(&request))) return;
    LPWSTR raw = nullptr;
    request->get_Uri(&raw);
    std::string uri = take_co_string(raw);
    std::string root = platform::win::narrow(kPageUrl);
    ComPtr<ICoreWebView2WebResourceResponse> response;
    if (uri == root || uri.rfind(root + "?", 0) == 0 || uri == root + "index.html") {
      IStream* stream = SHCreateMemStream(reinterpret_cast<const BYTE*>(page.data()), static_cast<UINT>(page.size()));
      env->CreateWebResourceResponse(stream, 200, L"OK",
                                     L"Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store", &response);
      if (stream) stream->Release();
    } else {
      // The page is one self-contained file; nothing else is served.
      env->CreateWebResourceResponse(nullptr, 404, L"Not Found", L"", &response);
    }
    if (response) args->put_Response(response.Get());
  }

  void on_webview_ready() {
    fit_to_window();
    ComPtr<ICoreWebView2Settings> settings;
    if (SUCCEEDED(view->get_Settings(&settings))) {
      const char* dev = std::getenv("MORVANE_DEVTOOLS");
      settings->put_AreDevToolsEnabled(dev && *dev ? TRUE : FALSE);
      settings->put_IsStatusBarEnabled(FALSE);
      settings->put_IsZoomControlEnabled(FALSE);
      settings->put_IsWebMessageEnabled(TRUE);
    }
    ComPtr<ICoreWebView2Controller2> c2;
    if (SUCCEEDED(controller.As(&c2))) {
      COLORREF bg = parse_colour(spec.background, RGB(0x0d, 0x0f, 0x14));
      c2->put_DefaultBackgroundColor(COREWEBVIEW2_COLOR{255, GetRValue(bg), GetGValue(bg), GetBValue(bg)});
    }
    EventRegistrationToken token{};
    view->add_WebMessageReceived(
        Callback<ICoreWebView2WebMessageReceivedEventHandler>(
            [this](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) -> HRESULT {
              LPWSTR src = nullptr;
              args->get_Source(&src);
              // Only our own page reaches the bridge.
              if (take_co_string(src).rfind(platform::win::narrow(kPageOrigin), 0) != 0) return S_OK;
              LPWSTR text = nullptr;
              if (SUCCEEDED(args->get_WebMessageAsJson(&text))) on_web_message(take_co_string(text));
              return S_OK;
            })
            .Get(),
        &token);
    view->AddWebResourceRequestedFilter((std::wstring(kPageOrigin) + L"/*").c_str(),
                                        COREWEBVIEW2_WEB_RESOURCE_CONTEXT_ALL);
    view->add_WebResourceRequested(
        Callback<ICoreWebView2WebResourceRequestedEventHandler>(
            [this](ICoreWebView2*, ICoreWebView2WebResourceRequestedEventArgs* args) -> HRESULT {
              serve(args);
              return S_OK;
            })
            .Get(),
        &token);
    view->add_NavigationCompleted(
        Callback<ICoreWebView2NavigationCompletedEventHandler>(
            [this](ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs* args) -> HRESULT {
              BOOL ok = FALSE;
              args->get_IsSuccess(&ok);
              if (!ok) return S_OK;
              loaded = true;
              if (tracing()) diag::err("[desktop] page loaded");
              auto scripts = std::move(pending);
              pending.clear();
              for (auto& s : scripts) eval_now(s);
              return S_OK;
            })
            .Get(),
        &token);
    // Links leave for the user's browser; the page itself never navigates away.
    view->add_NavigationStarting(
        Callback<ICoreWebView2NavigationStartingEventHandler>(
            [](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) -> HRESULT {
              LPWSTR raw = nullptr;
              args->get_Uri(&raw);
              std::string uri = take_co_string(raw);
              if (uri.rfind(platform::win::narrow(kPageOrigin), 0) == 0) return S_OK;
              args->put_Cancel(TRUE);
              platform::win::open_url(uri);
              return S_OK;
            })
            .Get(),
        &token);
    view->add_NewWindowRequested(
        Callback<ICoreWebView2NewWindowRequestedEventHandler>(
            [](ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* args) -> HRESULT {
              LPWSTR raw = nullptr;
              args->get_Uri(&raw);
              args->put_Handled(TRUE);
              platform::win::open_url(take_co_string(raw));
              return S_OK;
            })
            .Get(),
        &token);
    view->add_ProcessFailed(
        Callback<ICoreWebView2ProcessFailedEventHandler>(
            [this](ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs*) -> HRESULT {
              diag::out("[desktop] the page's process ended; reloading the page");
              loaded = false;
              if (view) view->Navigate(kPageUrl);
              return S_OK;
            })
            .Get(),
        &token);
    view->Navigate(kPageUrl);
  }

  void start_webview() {
    std::wstring data = spec.storage_dir.empty() ? std::wstring() : widen(spec.storage_dir);
    auto self = shared_from_this();
    HRESULT hr = CreateCoreWebView2EnvironmentWithOptions(
        nullptr, data.empty() ? nullptr : data.c_str(), nullptr,
        Callback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>(
            [self](HRESULT result, ICoreWebView2Environment* created_env) -> HRESULT {
              if (FAILED(result) || !created_env) {
                diag::err("[desktop] the WebView2 runtime could not start (is it installed?)");
                if (self->hwnd) DestroyWindow(self->hwnd);
                return S_OK;
              }
              self->env = created_env;
              return self->env->CreateCoreWebView2Controller(
                  self->hwnd,
                  Callback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler>(
                      [self](HRESULT r, ICoreWebView2Controller* c) -> HRESULT {
                        if (FAILED(r) || !c || !self->hwnd) {
                          diag::err("[desktop] the WebView2 control could not be made");
                          if (self->hwnd) DestroyWindow(self->hwnd);
                          return S_OK;
                        }
                        self->controller = c;
                        self->controller->get_CoreWebView2(&self->view);
                        self->on_webview_ready();
                        return S_OK;
                      })
                      .Get());
            })
            .Get());
    if (FAILED(hr)) {
      diag::err("[desktop] the WebView2 runtime is missing; install it from Microsoft's WebView2 page");
      DestroyWindow(hwnd);
    }
  }

  static LRESULT CALLBACK wndproc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(h, GWLP_USERDATA));
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
      return DefWindowProcW(h, msg, wp, lp);
    }
    if (!self) return DefWindowProcW(h, msg, wp, lp);
    switch (msg) {
      case kRunMessage: {
        std::unique_ptr<std::function<void()>> fn(reinterpret_cast<std::function<void()>*>(lp));
        try {
          (*fn)();
        } catch (const std::exception& e) {
          diag::out(std::string("[desktop] ") + e.what());
        }
        return 0;
      }
      case WM_SIZE:
        self->fit_to_window();
        return 0;
      case WM_GETMINMAXINFO: {
        auto* mm = reinterpret_cast<MINMAXINFO*>(lp);
        UINT dpi = GetDpiForWindow(h);
        mm->ptMinTrackSize.x = MulDiv(self->spec.min_width, dpi ? dpi : 96, 96);
        mm->ptMinTrackSize.y = MulDiv(self->spec.min_height, dpi ? dpi : 96, 96);
        return 0;
      }
      case WM_DPICHANGED: {
        auto* r = reinterpret_cast<RECT*>(lp);
        SetWindowPos(h, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
      }
      case WM_CLOSE: {
        bool let_close = true;
        try {
          if (self->on_closing) let_close = self->on_closing();
        } catch (...) {
          let_close = false;
        }
        if (let_close) DestroyWindow(h);
        return 0;
      }
      case WM_DESTROY:
        self->alive = false;
        if (self->controller) self->controller->Close();
        self->view.Reset();
        self->controller.Reset();
        self->env.Reset();
        self->hwnd = nullptr;
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(h, msg, wp, lp);
  }

  std::optional<std::vector<std::string>> on_worker(
      std::function<std::optional<std::vector<std::string>>(HWND)> fn, double timeout_sec) {
    if (!alive) return std::nullopt;
    // The dialogs bring their own COM apartment and modal loop; the calling thread only waits.
    auto result = std::make_shared<Waitable<std::optional<std::vector<std::string>>>>();
    HWND owner = hwnd;
    try {
      std::thread([result, owner, fn = std::move(fn)] { result->set(fn(owner)); }).detach();
    } catch (const std::system_error&) {
      return std::nullopt;
    }
    if (!result->wait(timeout_sec)) return std::nullopt;
    std::lock_guard<std::mutex> lock(result->mu);
    return result->value;
  }
};

bool DesktopHost::open_display() {
  std::string dpi = platform::win::setup_gui_process(kAppUserModelId);
  if (tracing()) diag::err("[desktop] DPI awareness: " + (dpi.empty() ? std::string("none") : dpi));
  return true;
}

DesktopHost::DesktopHost() : impl_(std::make_shared<Impl>()) {}

DesktopHost::~DesktopHost() { platform::set_dark_titlebar_handler({}); }

bool DesktopHost::window_created() const { return impl_->created.load(); }

bool DesktopHost::exists() { return impl_->alive.load(); }

void DesktopHost::evaluate(const std::string& script) {
  if (!impl_->alive) return;
  auto self = impl_;
  auto run = [self, script] {
    if (!self->view || !self->loaded) {
      self->pending.push_back(script);
      return;
    }
    self->eval_now(script);
  };
  if (impl_->on_ui()) run();
  else impl_->post(run);
}

void DesktopHost::create_window(const WindowSpec& spec, Bridge& bridge, std::function<bool()> on_closing) {
  Impl& m = *impl_;
  m.ui_thread = GetCurrentThreadId();
  m.bridge = &bridge;
  m.on_closing = std::move(on_closing);
  m.spec = spec;
  m.page = inject_page_config(spec.html, "desktop", bridge);

  HRESULT co = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(co) && co != RPC_E_CHANGED_MODE) diag::err("[desktop] COM could not start on the UI thread");

  HINSTANCE inst = GetModuleHandleW(nullptr);
  m.background = CreateSolidBrush(parse_colour(spec.background, RGB(0x0d, 0x0f, 0x14)));
  HICON icon = nullptr;
  if (!spec.icon_path.empty())
    icon = static_cast<HICON>(
        LoadImageW(nullptr, widen(spec.icon_path).c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE));
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = Impl::wndproc;
  wc.hInstance = inst;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = m.background;
  wc.hIcon = icon;
  wc.hIconSm = icon;
  wc.lpszClassName = kWindowClass;
  RegisterClassExW(&wc);

  DWORD style = WS_OVERLAPPEDWINDOW;
  if (!spec.resizable) style &= ~(WS_THICKFRAME | WS_MAXIMIZEBOX);
  m.hwnd = CreateWindowExW(0, kWindowClass, widen(spec.title).c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                           spec.width, spec.height, nullptr, nullptr, inst, &m);
  if (!m.hwnd) {
    diag::err("[desktop] the window could not be made");
    return;
  }
  // The requested size is in device-independent pixels.
  UINT dpi = GetDpiForWindow(m.hwnd);
  if (dpi && dpi != 96)
    SetWindowPos(m.hwnd, nullptr, 0, 0, MulDiv(spec.width, dpi, 96), MulDiv(spec.height, dpi, 96),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  platform::win::set_dark_titlebar(m.hwnd);
  ShowWindow(m.hwnd, SW_SHOWNORMAL);
  UpdateWindow(m.hwnd);
  m.created = true;
  m.alive = true;
  m.start_webview();

  std::weak_ptr<Impl> weak = impl_;
  platform::set_dark_titlebar_handler([weak](const std::string& title) {
    auto self = weak.lock();
    if (!self) return false;
    auto found = std::make_shared<std::atomic<bool>>(false);
    self->run_on_ui([self, found, title] {
      if (!self->hwnd) return;
      wchar_t buf[512];
      GetWindowTextW(self->hwnd, buf, 512);
      if (platform::win::narrow(buf) == title) *found = platform::win::set_dark_titlebar(self->hwnd);
    });
    return found->load();
  });
}

void DesktopHost::run_loop() {
  if (!impl_->created) return;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  impl_->alive = false;
}

void DesktopHost::show() {
  impl_->run_on_ui([self = impl_.get()] {
    if (!self->hwnd) return;
    if (IsIconic(self->hwnd)) ShowWindow(self->hwnd, SW_RESTORE);
    else ShowWindow(self->hwnd, SW_SHOW);
    SetForegroundWindow(self->hwnd);
  });
}

void DesktopHost::hide() {
  impl_->run_on_ui([self = impl_.get()] {
    if (self->hwnd) ShowWindow(self->hwnd, SW_HIDE);
  });
}

void DesktopHost::destroy() {
  impl_->run_on_ui([self = impl_.get()] {
    if (self->hwnd) DestroyWindow(self->hwnd);
  });
}

bool DesktopHost::start_tray(const TrayMenu& menu) {
  platform::win::TrayMenuSpec spec;
  spec.title = menu.title;
  spec.show_text = menu.show_text;
  spec.quit_text = menu.quit_text;
  spec.icon_path = menu.icon_path;
  spec.on_show = menu.on_show;
  spec.on_quit = menu.on_quit;
  return impl_->tray.start(spec);
}

void DesktopHost::stop_tray() { impl_->tray.stop(); }

std::optional<std::string> DesktopHost::open_file_dialog(const std::string& title,
                                                         const std::vector<FileFilter>& filters, double timeout_sec) {
  auto f = to_win_filters(filters);
  auto r = impl_->on_worker(
      [title, f](HWND owner) -> std::optional<std::vector<std::string>> {
        auto one = platform::win::open_file_dialog(owner, title, f);
        if (!one) return std::nullopt;
        return std::vector<std::string>{*one};
      },
      timeout_sec);
  if (!r || r->empty()) return std::nullopt;
  return r->front();
}

std::optional<std::vector<std::string>> DesktopHost::open_files_dialog(const std::string& title,
                                                                      const std::vector<FileFilter>& filters,
                                                                      double timeout_sec) {
  auto f = to_win_filters(filters);
  return impl_->on_worker([title, f](HWND owner) { return platform::win::open_files_dialog(owner, title, f); },
                          timeout_sec);
}

std::optional<std::string> DesktopHost::choose_folder_dialog(const std::string& title, double timeout_sec) {
  auto r = impl_->on_worker(
      [title](HWND owner) -> std::optional<std::vector<std::string>> {
        auto one = platform::win::choose_folder_dialog(owner, title);
        if (!one) return std::nullopt;
        return std::vector<std::string>{*one};
      },
      timeout_sec);
  if (!r || r->empty()) return std::nullopt;
  return r->front();
}

std::optional<std::string> DesktopHost::read_clipboard(double timeout_sec) {
  return platform::win::read_clipboard_text(static_cast<DWORD>(timeout_sec * 1000));
}

bool DesktopHost::open_url(const std::string& url) { return platform::win::open_url(url); }

}  // namespace morvane
