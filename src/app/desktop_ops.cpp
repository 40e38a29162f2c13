// Window chrome, tray image and the small desktop services the page cannot do itself.
#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "app/desktop_ops.h"
#include "app/morvane_app.h"
#include "platform/image_files.h"
#include "platform/window_chrome.h"
#include "platform/atomic_file.h"
#include "util/diag.h"

namespace morvane {

namespace {
// The folder of the logo images, beside the program.
fs::path image_dir(const fs::path& resources) { return resources / "格式範本"; }
}  // namespace

void MorvaneApp::_apply_dark_titlebar() {
  diag::best_effort("dark_titlebar", [] { platform::apply_dark_titlebar(APP_NAME); });
}

std::string MorvaneApp::make_icon() {
  fs::path ico = image_dir(resource_dir) / "logo.ico";
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
    fs::path p = image_dir(resource_dir) / name;
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
  } catch (const std::exception& e) {
    diag::out(std::string("[open_url] ") + e.what());
    return false;
  }
}

std::string MorvaneApp::read_clipboard() {
  Host* w = window();
  if (!w) return {};
  try {
    return w->read_clipboard(5.0).value_or("");
  } catch (const std::exception& e) {
    diag::out(std::string("[read_clipboard] ") + e.what());
    return {};
  }
}

void install_desktop_ops(MorvaneApp& app) {
  Bridge& b = app.bridge;
  b.add("get_images", 0, {}, [&app](const Json&) { return app.get_images(); });
  b.add("open_url", 1, {}, [&app](const Json& a) { return Json(app.open_url(arg_text(a, 0, "url"))); });
  b.add("read_clipboard", 0, {}, [&app](const Json&) { return Json(app.read_clipboard()); });
}

}  // namespace morvane
