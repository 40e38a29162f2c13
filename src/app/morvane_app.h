#pragma once
// The application object: every operation the page calls, delegating to the components that
// hold the state (sessions, settings, the tab table, each tab's output buffer, the page sink)
// and to the connection kinds (src/kinds/), which add their own operations.
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

#include "app/launcher.h"
#include "app/output_buffer.h"
#include "app/page_sink.h"
#include "app/session_store.h"
#include "app/settings.h"
#include "app/tab.h"
#include "app/tab_table.h"
#include "assistant/assistant.h"
#include "core/bridge.h"
#include "core/host.h"
#include "core/kind.h"
#include "platform/paths.h"
#include "transfer/transfer_component.h"
#include "util/json.h"

namespace morvane {

namespace fs = std::filesystem;

class MorvaneApp {
 public:
  static constexpr const char* APP_NAME = "Morvane";
  static constexpr size_t kReadSize = 4096;
  // The session keys whose change needs a new connection to take effect.
  static const std::vector<std::string>& _CONN_LEVEL_KEYS();

  // The data directory is created (with parents); sessions then settings are loaded.
  MorvaneApp(QueueMap queues, EventMap events, fs::path data_dir, fs::path resource_dir);
  ~MorvaneApp();
  MorvaneApp(const MorvaneApp&) = delete;
  MorvaneApp& operator=(const MorvaneApp&) = delete;

  // ---- state ---------------------------------------------------------------------------------
  QueueMap queue_all;
  EventMap event_all;
  const fs::path APP_DIR;
  const fs::path SESSIONS_FILE;
  const fs::path SETTINGS_FILE;
  SessionStore sessions;
  Settings settings;
  const fs::path resource_dir;
  std::optional<std::string> puttygen_exe;
  std::atomic<bool> _stop{false};
  // Quitting: waits for output end, whatever else still runs (set by end_output_waits()).
  std::atomic<bool> _waits_end{false};
  Bridge bridge;
  KindRegistry kinds;
  TabTable tabs;
  PageSink page;
  OutputSignal output_signal;
  // The transfer module plugs in here: a detector per tab, and how a detected start begins a
  // receiving transfer (which then sits in the tab's transfer slot).
  struct TransferHooks {
    std::function<std::unique_ptr<TransferSniffer>(const std::string& tab_id)> sniffer_factory;
    std::function<void(const std::string& tab_id)> start_auto_receive;
    std::function<void(const std::string& tab_id)> offer_send;
  } transfers;
  // The assistant panel's native side (src/assistant), reached through its own operations.
  std::unique_ptr<assistant::Assistant> assistant;
  // The connect worker's pause before dispatch (0.35 s); tests shorten it.
  double connect_delay_sec = 0.35;

  // ---- lifecycle (app_lifecycle.cpp) ---------------------------------------------------------
  // Creates the window on the host, starts the tray and the poller, blocks in the host's
  // loop, then shuts down. Throws when the page file cannot be read.
  void run(Host& host);
  void _shutdown();
  bool _on_window_closing();
  void on_quit();
  // Attach a page without running the window life (tests, the browser host).
  void set_window(Host* host) { page.attach(host); }
  Host* window() const { return page.host(); }
  // The page text, html/index.html beside the program.
  std::string _load_html_content() const;
  std::optional<std::string> _find_bundled(const std::string& name, bool system_fallback = true) const;
  std::string _t(const std::string& key, const TextValues& values = {}) const { return settings.t(key, values); }
  // A background thread that never keeps the process from ending; counted so that tests and
  // the destructor can wait for them.
  void spawn_daemon(std::function<void()> fn);
  size_t live_threads() const { return live_threads_.load(); }
  bool wait_threads(double timeout_sec);
  // Sleeps in short slices; returns false early when shutdown begins.
  bool sleep_unless_stopped(double seconds);
  // Waits for output (a page's held request, gathering) answer now and from now on.
  void end_output_waits();

  // ---- page operations: state, sessions, settings ------------------------------------------
  Json get_initial_state();
  Json get_runtime_state();
  Json set_language(const Json& lang);
  Json save_session(const Json& sess);
  Json delete_session(const Json& session_id);

  // ---- page operations: tabs (tabs.cpp) ----------------------------------------------------
  Json connect_session(const Json& session_id);
  Json close_tab(const Json& tab_id);
  bool send_input(const Json& tab_id, const Json& data);
  bool resize_pty(const Json& tab_id, const Json& rows, const Json& cols);
  bool set_tab_encoding(const Json& tab_id, const Json& encoding);
  Json get_tab_reading(const Json& tab_id);
  Json toggle_tab_reading(const Json& tab_id);

  // ---- page operations: output (output_channel.cpp) -----------------------------------------
  std::string drain_terminal(const std::string& tab_id, size_t max_chars = 0);
  // Several tabs in one call (the page's hidden tabs): their ids with what each had, tabs with
  // nothing (or gone) left out.
  Json drain_terminals(const Json& tab_ids, size_t max_chars = 0);
  // The next piece of a tab's output with where it lies in the tab's stream, waiting up to
  // `wait_sec` for some, and while it grows for up to `min_chars` of it:
  // {"from": N, "to": M, "text": "..."}.
  Json drain_terminal_piece(const std::string& tab_id, size_t max_chars, double wait_sec, size_t min_chars = 0);
  void gather(Tab& tab, size_t min_chars);
  // Waits until one of the tabs has output to drain (at most timeout_sec, capped at
  // kMaxOutputWaitSec) and answers their ids, so a quiet page need not poll.
  Json wait_terminal_output(const Json& tab_ids, double timeout_sec);
  // Long enough that quiet tabs in the desktop window ask rarely; every held call is a thread,
  // and quitting ends them all at once.
  static constexpr double kMaxOutputWaitSec = 30.0;

  // ---- page operations: desktop (desktop_ops.cpp) --------------------------------------------
  Json get_images();
  bool open_url(const std::string& url);
  // The clipboard's text, "" when there is none or it takes longer than 5 seconds.
  std::string read_clipboard();
  // The tray image as a file path: "logo.ico" when it holds an image, otherwise a plain
  // 64 x 64 square of colour 0F1521, written as PNG into the web engine's storage folder.
  std::string make_icon();
  void _apply_dark_titlebar();

  // ---- page operations: PuTTY import and licence notices (putty_ops.cpp) ----------------------
  Json import_list_from_putty();
  Json import_putty_sessions(const Json& putty_records);
  void _import_one(const Json& rec);
  Json get_third_party_licenses();
  // (component root, PuTTY root)
  std::pair<fs::path, fs::path> _license_scan_dirs() const;
  // ---- file transfer (transfer_tabs.cpp): the component adds the page's xfer_* operations ----
  transfer::TransferComponent& xfer() { return *xfer_; }

  // ---- tabs and their connections -------------------------------------------------------------
  TabRef find_tab(const std::string& tab_id) const { return tabs.find(tab_id); }
  // What the connection kinds may use of the application (texts, notices, dialogs, threads).
  KindServices& services();
  // The connect worker: waits, finds the kind of the tab's session, opens and starts its
  // connection, then reads it until it ends.
  void _start_ssh(const std::string& tab_id);
  // The one reader path of every kind: bytes through the receive path into the output buffer.
  void _reader_loop(const TabRef& tab, const std::shared_ptr<Connection>& conn);
  std::string _intercept_or_decode(const std::string& tab_id, std::string_view data);
  void _close_tab_internal(const std::string& tab_id);
  void _apply_session_changes_to_open_tabs(const SessionRef& rec, const std::optional<Json>& old);

  // ---- towards the page ---------------------------------------------------------------------------
  void _push_to_term(const std::string& tab_id, std::string_view text);
  void _push_info(const std::string& tab_id, const std::string& message, bool is_error = false) {
    page.terminal_info(tab_id, message, is_error);
  }
  void _push_connected(const std::string& tab_id) { page.terminal_connected(tab_id); }
  // Launcher status feed: applies one item; throws on a malformed entry (the poller logs it).
  void _poll_queue();
  void _apply_status_item(const Json& item);
  std::map<std::string, std::string> session_status_snapshot() const;

 private:
  class Services;
  class TabSink;
  class AssistantLink;
  void register_ops();
  void install_assistant();
  std::string make_display(const Json& sess) const;

  std::unique_ptr<Services> services_;
  class TransferTabsImpl;
  void install_transfers();
  std::unique_ptr<transfer::TransferTabs> xfer_tabs_;
  std::unique_ptr<transfer::TransferComponent> xfer_;
  std::unique_ptr<assistant::AssistantServices> assistant_link_;
  std::atomic<bool> tray_running_{false};
  mutable std::mutex status_mu_;
  std::map<std::string, std::string> session_status_;
  std::atomic<size_t> live_threads_{0};
  std::mutex threads_mu_;
  std::condition_variable threads_cv_;
};

// The launcher's entry: prints "run model --> ...", builds the application and runs it on the
// host; a failure prints "[GUI] fatal:" and returns normally.
void GUI(QueueMap queues, EventMap events, Host& host, const fs::path& data_dir, const fs::path& resource_dir);

}  // namespace morvane
