#pragma once
// What the application object needs from whatever shows the page: a desktop window, the
// stdio protocol or the browser host.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/bridge.h"

namespace morvane {

struct WindowSpec {
  std::string title;
  std::string html;
  int width = 900;
  int height = 550;
  int min_width = 600;
  int min_height = 400;
  bool resizable = true;
  std::string background = "#0d0f14";
  std::string icon_path;    // "" when the icon file does not exist
  std::string storage_dir;  // the web engine's storage folder
  // Called when the loop is about to end on its own (end of input, a quit signal), before
  // the host waits for the calls under way: calls that wait for output answer at once
  // instead of holding the quit up.
  std::function<void()> before_stop;
};

struct TrayMenu {
  std::string title;
  std::string show_text;
  std::string quit_text;
  std::string icon_path;
  std::function<void()> on_show;
  std::function<void()> on_quit;
};

struct FileFilter {
  std::string name;                   // "Private keys"
  std::vector<std::string> patterns;  // {"*.ppk", "*.pem", "*"}
};

class Host {
 public:
  virtual ~Host() = default;
  // Page calls: exists() is false until the page can receive them.
  virtual bool exists() = 0;
  // Evaluates one script in the page; may be called from any thread; never throws.
  virtual void evaluate(const std::string& script) = 0;

  // Window life: the page calls the bridge's operations. on_closing returns false to keep the window open.
  virtual void create_window(const WindowSpec& spec, Bridge& bridge, std::function<bool()> on_closing) = 0;
  // Blocks until the window goes away (or, for headless hosts, until input ends).
  virtual void run_loop() = 0;
  virtual void show() {}
  virtual void hide() {}
  virtual void destroy() {}
  // Starts a tray icon; returns false when the desktop has no tray.
  virtual bool start_tray(const TrayMenu& menu) { return false; }
  virtual void stop_tray() {}

  // Native dialogs, run where the toolkit needs them while the calling thread waits up to
  // timeout_sec. nullopt when cancelled, timed out, or the host has no desktop.
  virtual std::optional<std::string> open_file_dialog(const std::string& title, const std::vector<FileFilter>& filters,
                                                      double timeout_sec) {
    return std::nullopt;
  }
  virtual std::optional<std::vector<std::string>> open_files_dialog(const std::string& title,
                                                                   const std::vector<FileFilter>& filters,
                                                                   double timeout_sec) {
    return std::nullopt;
  }
  virtual std::optional<std::string> choose_folder_dialog(const std::string& title, double timeout_sec) {
    return std::nullopt;
  }
  // The clipboard's text; nullopt when there is none or the host has no clipboard.
  virtual std::optional<std::string> read_clipboard(double timeout_sec) { return std::nullopt; }
  // Opens an address in the user's browser; false when it could not.
  virtual bool open_url(const std::string& url) { return false; }
};

}  // namespace morvane
