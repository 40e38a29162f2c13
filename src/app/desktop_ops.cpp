// Window chrome, tray image and the small desktop services the page cannot do itself.
#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "app/modules.h"
#include "app/morvane_app.h"
#include "platform/image_files.h"
#include "platform/window_chrome.h"
#include "platform/atomic_file.h"
#include "util/diag.h"

namespace morvane {

void MorvaneApp::_apply_dark_titlebar() {
  try {
    platform::apply_dark_titlebar(APP_NAME);
  } catch (...) {
  }
}

std::string MorvaneApp::make_icon() {
  fs::path ico = _image_dir() / "logo.ico";
  std::error_code ec;
  if (fs::is_regular_file(ico, ec)) {
    try {
      if (platform::is_ico_image(read_file(ico))) return ico.string();
    } catch (const std::exception&) {
      // An unreadable icon is no icon: the plain square follows.
    }
  }
  fs::path png = APP_DIR / "webview2_data" / "tray-fallback.png";
  try {
    fs::create_directories(png.parent_path());
    write_file_atomic(png, platform::solid_png(64, 64, 15, 21, 33));
  } catch (const std::exception& e) {
    diag::out(std::string("[make_icon] ") + e.what());
    return {};
  }
  return png.string();
}

Json MorvaneApp::get_images() {
  Json r = Json::object();
  for (auto [key, name] : {std::pair{"logo", "logo.png"}, std::pair{"logo_ico", "logo.ico"}}) {
    std::string url;
    fs::path p = _image_dir() / name;
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) {
      try {
        url = platform::image_data_url(name, read_file(p));
      } catch (const std::exception&) {
        url.clear();
      }
    }
    r[key] = url;
  }
  return r;
}

bool MorvaneApp::open_url(const std::string& url) {
  if (url.empty()) return false;
  Host* w = window();
  if (!w) return false;
  try {
    return w->open_url(url);
  } catch (...) {
    return false;
  }
}

std::string MorvaneApp::read_clipboard() {
  Host* w = window();
  if (!w) return {};
  try {
    return w->read_clipboard(kClipboardTimeoutSec).value_or("");
  } catch (const std::exception& e) {
    diag::out(std::string("[read_clipboard] ") + e.what());
    return {};
  }
}

std::optional<std::string> MorvaneApp::_dialog_open_file(const std::string& title, const std::vector<FileFilter>& filters,
                                                         double timeout_sec) {
  Host* w = window();
  if (!w) return std::nullopt;
  try {
    return w->open_file_dialog(title, filters, timeout_sec);
  } catch (const std::exception& e) {
    diag::out(std::string("[dialog] ") + e.what());
    return std::nullopt;
  }
}

std::optional<std::vector<std::string>> MorvaneApp::_dialog_open_files(const std::string& title,
                                                                       const std::vector<FileFilter>& filters,
                                                                       double timeout_sec) {
  Host* w = window();
  if (!w) return std::nullopt;
  try {
    return w->open_files_dialog(title, filters, timeout_sec);
  } catch (const std::exception& e) {
    diag::out(std::string("[dialog] ") + e.what());
    return std::nullopt;
  }
}

std::optional<std::string> MorvaneApp::_dialog_choose_folder(const std::string& title, double timeout_sec) {
  Host* w = window();
  if (!w) return std::nullopt;
  try {
    return w->choose_folder_dialog(title, timeout_sec);
  } catch (const std::exception& e) {
    diag::out(std::string("[dialog] ") + e.what());
    return std::nullopt;
  }
}

Json MorvaneApp::wait_terminal_output(const Json& tab_ids, double timeout_sec) {
  if (!tab_ids.is_array()) throw BridgeError("argument 'tab_ids' must be a list");
  std::vector<std::string> ids;
  for (const auto& id : tab_ids)
    if (id.is_string()) ids.push_back(id.get<std::string>());
  timeout_sec = std::clamp(timeout_sec, 0.0, 5.0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_sec);
  while (true) {
    Json ready = Json::array();
    for (const auto& id : ids) {
      TabRef tab = find_tab(id);
      if (!tab) continue;
      std::lock_guard<std::mutex> lock(tab->buf_mu);
      if (!tab->buffer.empty()) ready.push_back(id);
    }
    if (!ready.empty() || _stop || std::chrono::steady_clock::now() >= deadline) return ready;
    // A few milliseconds of latency for output that arrives while waiting; checking a
    // buffer costs a lock, so this is far cheaper than the page asking again.
    std::this_thread::sleep_for(std::chrono::milliseconds(4));
  }
}

void install_desktop(MorvaneApp& app) {
  Bridge& b = app.bridge;
  b.add("get_images", 0, {}, [&app](const Json&) { return app.get_images(); });
  b.add("open_url", 1, {}, [&app](const Json& a) { return Json(app.open_url(arg_text(a, 0, "url"))); });
  b.add("read_clipboard", 0, {}, [&app](const Json&) { return Json(app.read_clipboard()); });
  b.add("wait_terminal_output", 1, {Json(1.0)}, [&app](const Json& a) {
    if (!a[1].is_number() || a[1].get<double>() < 0)
      throw BridgeError("argument 'timeout_sec' must be a number of seconds");
    return app.wait_terminal_output(a[0], a[1].get<double>());
  });
}

}  // namespace morvane
