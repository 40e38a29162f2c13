#pragma once
// The desktop host: one window showing the page, a tray icon, native dialogs and the
// clipboard. On Linux a WebKitGTK window with an Ayatana AppIndicator (desktop_host.cpp); on
// Windows a WebView2 control in a Win32 window (desktop_host_webview2.cpp).
//
// The toolkit and the web view are used on the UI thread only (the thread that calls create_window and
// run_loop); every other thread posts its work there. Bridge calls run on their own
// threads, so an operation that blocks for minutes never freezes the window.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/host.h"

namespace morvane {

class DesktopHost final : public Host {
 public:
  // Opens the display; false when there is none (no DISPLAY or WAYLAND_DISPLAY that works).
  // Call on the main thread before any other thread starts.
  static bool open_display();

  DesktopHost();
  ~DesktopHost() override;

  bool exists() override;
  void evaluate(const std::string& script) override;
  void create_window(const WindowSpec& spec, Bridge& bridge, std::function<bool()> on_closing) override;
  void run_loop() override;
  void show() override;
  void hide() override;
  void destroy() override;
  bool start_tray(const TrayMenu& menu) override;
  void stop_tray() override;

  std::optional<std::string> open_file_dialog(const std::string& title, const std::vector<FileFilter>& filters,
                                              double timeout_sec) override;
  std::optional<std::vector<std::string>> open_files_dialog(const std::string& title,
                                                           const std::vector<FileFilter>& filters,
                                                           double timeout_sec) override;
  std::optional<std::string> choose_folder_dialog(const std::string& title, double timeout_sec) override;
  std::optional<std::string> read_clipboard(double timeout_sec) override;
  bool open_url(const std::string& url) override;

  // True once create_window has made the window.
  bool window_created() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace morvane
