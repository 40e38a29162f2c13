#pragma once
// The application object: every operation the page calls, and the state behind them.
//
// It knows nothing of GTK, HTTP or stdio: a Host shows the page and evaluates page calls,
// the Bridge maps operation names to the methods below.
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/bridge.h"
#include "app/host.h"
#include "app/launcher.h"
#include "app/session_store.h"
#include "app/settings.h"
#include "app/tab.h"
#include "util/json.h"

namespace morvane {

namespace fs = std::filesystem;

namespace serial {  // the serial port driver (serial/win32_serial.h)
class Win32Serial;
struct SerialParams;
}  // namespace serial

// The platform's data directory: $XDG_DATA_HOME/halvren/Morvane (Linux), C:/halvren/Morvane.
fs::path default_data_dir();
// The folder of the running executable (resources are found beside it).
fs::path executable_dir();

class MorvaneApp {
 public:
  // ---- class constants ------------------------------------------------------------------
  static constexpr const char* APP_NAME = "Morvane";
  static constexpr const char* CLAUDE_DEFAULT_MODEL = "claude-opus-4-7";
  static const Json& CLAUDE_BUILTIN_MODELS();
  static const std::vector<std::string>& _CONN_LEVEL_KEYS();
  static constexpr const char* _CLAUDE_TOGGLEABLE_FLAGS[] = {"lfhascr", "crhaslf"};
  static const std::map<std::string, std::string>& _LANG_NAME_FOR_AI();
  static constexpr size_t kBufferLimit = 2000000;  // characters a tab's output buffer keeps
  static constexpr size_t kReadSize = 4096;

  // The data directory is created (with parents); sessions then settings are loaded.
  MorvaneApp(QueueMap queues, EventMap events, fs::path data_dir, fs::path resource_dir);
  ~MorvaneApp();
  MorvaneApp(const MorvaneApp&) = delete;
  MorvaneApp& operator=(const MorvaneApp&) = delete;

  // ---- attributes -------------------------------------------------------------------------
  QueueMap queue_all;
  EventMap event_all;
  const fs::path APP_DIR;
  const fs::path SESSIONS_FILE;
  const fs::path SETTINGS_FILE;
  const fs::path HOST_KEYS_FILE;
  const fs::path resource_dir;
  SessionStore sessions;
  Settings settings;
  std::optional<std::string> puttygen_exe;
  std::atomic<bool> _stop{false};
  std::string _claude_model;
  bool _claude_effort_enabled = true;
  fs::path _claude_arch_dir;

  Bridge bridge;

  // ---- lifecycle ----------------------------------------------------------------------------
  // Creates the window on the host, starts the tray and the poller, blocks in the host's
  // loop, then shuts down. Throws when the page file cannot be read.
  void run(Host& host);
  void _shutdown();
  bool _on_window_closing();
  void on_quit();
  std::optional<std::string> _find_bundled(const std::string& name, bool system_fallback = true) const;
  // The page text, html/index.html beside the program.
  std::string _load_html_content() const;
  // Attach a page without running the window life (tests, the browser host).
  void set_window(Host* host) { window_.store(host); }
  Host* window() const { return window_.load(); }

  // ---- output channel and page calls ------------------------------------------------------
  void _push_to_term(const std::string& tab_id, std::string_view text);
  std::string _apply_eol_translation(Tab& tab, std::string_view text);
  void _push_info(const std::string& tab_id, const std::string& message, bool is_error = false);
  void _push_connected(const std::string& tab_id);
  void _evaluate(const std::string& script);
  std::string drain_terminal(const std::string& tab_id);
  Json get_initial_state();
  Json get_runtime_state();
  Json _tabs_for_js();
  void _poll_queue();
  // Applies one status feed item; throws on a malformed entry (the poller logs it).
  void _apply_status_item(const Json& item);
  std::map<std::string, std::string> session_status_snapshot() const;

  // ---- settings and texts -------------------------------------------------------------------
  std::string _t(const std::string& key, const TextValues& values = {}) const { return settings.t(key, values); }
  Json set_language(const Json& lang);

  // ---- sessions -------------------------------------------------------------------------------
  Json save_session(const Json& sess);
  Json delete_session(const Json& session_id);
  void _apply_session_changes_to_open_tabs(const SessionRef& rec, const std::optional<Json>& old);
  // The SSH module sets this to apply a live keep-alive change to a tab's connection.
  std::function<void(Tab& tab, int seconds)> on_keepalive_change;

  // ---- tabs -------------------------------------------------------------------------------------
  Json connect_session(const Json& session_id);
  Json close_tab(const Json& tab_id);
  bool send_input(const Json& tab_id, const Json& data);
  bool resize_pty(const Json& tab_id, const Json& rows, const Json& cols);
  bool set_tab_encoding(const Json& tab_id, const Json& encoding);
  Json get_tab_reading(const Json& tab_id);
  Json toggle_tab_reading(const Json& tab_id);
  void _start_ssh(const std::string& tab_id);
  void _close_tab_internal(const std::string& tab_id);

  TabRef find_tab(const std::string& tab_id) const;
  std::vector<std::string> tab_order_snapshot() const;
  std::optional<std::string> active_tab() const;
  // Stores a freshly made handle in its tab, or closes it when the tab has left the table
  // meanwhile (the user closed it while connecting). Returns false when it was closed.
  bool _store_handle(const std::string& tab_id, const TabRef& tab, HandleKey key, std::shared_ptr<Backend> h);

  // Start routines by kind ("ssh", "ssh1", "serial", "telnet", "telnet-serial", "raw",
  // "rlogin", "supdup", "conpty"); each module registers its own.
  using StartRoutine = std::function<void(const std::string&, const SessionRef&, const TabRef&)>;
  void register_start_routine(const std::string& kind, StartRoutine fn);

  // ---- receive path --------------------------------------------------------------------------
  std::string _intercept_or_decode(const std::string& tab_id, std::string_view data);
  void _socket_reader_loop(const std::string& tab_id, HandleKey kind);
  // The SSH-2 reader: reads the tab's `channel`, and closes its `client` when the stream ends.
  void _reader_loop(const std::string& tab_id);
  // The transfer module plugs in here: a detector per tab, and how a detected start begins a
  // receiving transfer (which then sits in the tab's transfer slot).
  std::function<std::unique_ptr<TransferSniffer>()> sniffer_factory;
  std::function<void(const std::string& tab_id)> start_auto_receive;

  // ---- local shell ---------------------------------------------------------------------------
  void _start_conpty_impl(const std::string& tab_id, const SessionRef& sess, const TabRef& tab);

  // ---- SSH-2 (src/app/ssh_tab.cpp) ---------------------------------------------------------
  // BEGIN ssh members
  void _start_ssh_impl(const std::string& tab_id, const SessionRef& sess, const TabRef& tab);
  // The algorithm preference record a session asks for (ssh/ssh_compat.h); {} for none.
  static Json _build_ssh_prefs(const Json& sess);
  // (usable key path, error text): exactly one is set. A ".ppk" key becomes a temporary
  // OpenSSH key written by puttygen; every other existing file passes unchanged.
  std::pair<std::optional<std::string>, std::optional<std::string>> _ensure_openssh_key(const std::string& key_path);
  double puttygen_timeout_sec = 15.0;
  // The chosen key file, or "" when cancelled or when there is no dialog to show.
  std::string pick_private_key();
  // One forwarding rule on a tab's connection; `transport` is the tab's `client` handle.
  // A rule that cannot be set up shows a notice and leaves the connection going.
  void _setup_forward(Backend& transport, const Json& rule, const std::string& tab_id);
  // END ssh members

  // ---- serial tabs and ESP reset (src/app/serial_tab.cpp) --------------------------------------
  // BEGIN serial members
  // Opens a port; the default drives a Win32Serial through this platform's comm API. Tests put
  // a fake-backed port (and a sleeper that needs no clock) into a tab through it.
  std::function<std::shared_ptr<serial::Win32Serial>(const serial::SerialParams&)> serial_port_factory;
  struct SerialOpened {
    std::shared_ptr<serial::Win32Serial> port;
    std::string com;
    long long baud = 9600;
  };
  // Opens the port a session record names; throws (a serial::SerialError for the port's own
  // failures) when it cannot.
  SerialOpened _serial_open(const Json& sess);
  void _start_serial_impl(const std::string& tab_id, const SessionRef& sess, const TabRef& tab);
  void _serial_reader_loop(const std::string& tab_id);
  // Waits for the tab's port to come back; true once the tab holds a new one. com and baud
  // (shown in the notices) become those of the port that opened.
  bool _serial_wait_reopen(const std::string& tab_id, const TabRef& tab, std::string& com, long long& baud);
  // The tab's open port object, or null (no such tab, not a serial tab, port lost).
  std::shared_ptr<serial::Win32Serial> _serial_port(const TabRef& tab) const;
  bool hard_reset_esp(const Json& tab_id);
  bool enter_bootloader_esp(const Json& tab_id);
  bool _fire_esp_reset(const Json& tab_id, const std::string& mode);
  // "hard_reset", "enter_bootloader_uart", "enter_bootloader_usb", each bound to the port the
  // tab holds now; empty when it holds none.
  std::map<std::string, std::function<void()>> _esp_reset_funcs(const std::string& tab_id);
  // [{"port": NAME, "description": TEXT}] for every serial port of the machine.
  Json serial_list_ports();
  // END serial members

  // ---- window chrome and desktop helpers (src/app/desktop_ops.cpp) ------------------------------
  // BEGIN desktop members
  // The folder of the logo images ("格式範本" beside the program).
  fs::path _image_dir() const { return resource_dir / "格式範本"; }
  // Asks for the dark title bar of the window titled APP_NAME; every failure is absorbed.
  void _apply_dark_titlebar();
  // The tray image as a file path: "logo.ico" when it holds an image, otherwise a plain
  // 64 x 64 square of colour 0F1521, written as PNG into the web engine's storage folder.
  std::string make_icon();
  Json get_images();
  bool open_url(const std::string& url);
  // The clipboard's text, "" when there is none or it takes longer than 5 seconds.
  std::string read_clipboard();
  static constexpr double kClipboardTimeoutSec = 5.0;
  // The dialog service of the later modules: the host's native dialogs while the calling page
  // thread waits up to timeout_sec; nullopt when cancelled, timed out or there is no desktop.
  std::optional<std::string> _dialog_open_file(const std::string& title, const std::vector<FileFilter>& filters,
                                               double timeout_sec);
  std::optional<std::vector<std::string>> _dialog_open_files(const std::string& title,
                                                             const std::vector<FileFilter>& filters,
                                                             double timeout_sec);
  std::optional<std::string> _dialog_choose_folder(const std::string& title, double timeout_sec);
  // For the page's output pump: waits until one of the tabs has output to drain (at most
  // timeout_sec, capped at 5 s) and answers their ids, so a quiet page need not poll.
  Json wait_terminal_output(const Json& tab_ids, double timeout_sec);
  // END desktop members

  // ---- threads ------------------------------------------------------------------------------------
  // A background thread that never keeps the process from ending; counted so that tests and
  // the destructor can wait for them.
  void spawn_daemon(std::function<void()> fn);
  size_t live_threads() const { return live_threads_.load(); }
  bool wait_threads(double timeout_sec);
  // Sleeps in short slices; returns false early when shutdown begins.
  bool sleep_unless_stopped(double seconds);
  // For tests: the connect worker's pause before dispatch (0.35 s).
  double connect_delay_sec = 0.35;

 private:
  void register_ops();
  std::string make_display(const Json& sess) const;

  std::atomic<Host*> window_{nullptr};
  std::atomic<bool> tray_running_{false};

  mutable std::mutex tabs_mu_;  // tabs, tab_order, active_tab_id: short steps only
  std::map<std::string, TabRef> tabs_;
  std::vector<std::string> tab_order_;
  std::optional<std::string> active_tab_id_;

  mutable std::mutex status_mu_;
  std::map<std::string, std::string> session_status_;

  std::mutex routines_mu_;
  std::map<std::string, StartRoutine> start_routines_;

  std::atomic<size_t> live_threads_{0};
  std::mutex threads_mu_;
  std::condition_variable threads_cv_;
};

// The launcher's entry: prints "run model --> ...", builds the application and runs it on the
// host; a failure prints "[GUI] fatal:" and returns normally.
void GUI(QueueMap queues, EventMap events, Host& host, const fs::path& data_dir, const fs::path& resource_dir);

}  // namespace morvane
