#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <system_error>
#include <thread>

#include "app/desktop_ops.h"
#include "app/putty_ops.h"
#include "app/morvane_app.h"
#include "platform/atomic_file.h"
#include "platform/threads.h"
#include "util/diag.h"
#include "kinds/all_kinds.h"
#include "util/text.h"
#include "util/uuid.h"


namespace morvane {

const std::vector<std::string>& MorvaneApp::_CONN_LEVEL_KEYS() {
  static const std::vector<std::string> keys = {
      "protocol",    "host",         "port",        "username",         "password",   "private_key",
      "compression", "agent_forwarding", "ip_version", "ssh_version",   "ssh_legacy_compat", "ssh_kex",
      "ssh_ciphers", "ssh_macs",     "ssh_keys",    "ssh_bugs",         "serial_bits", "serial_parity",
      "serial_stop", "serial_flow",  "serial_baud", "terminal_type",    "port_forwards"};
  return keys;
}

namespace {
fs::path make_dirs(const fs::path& dir) {
  fs::create_directories(dir);  // throws: a data directory we cannot create is fatal
  return dir;
}

// 0 when a file can be created in dir, else the system's error number.
int write_probe(const fs::path& dir) {
  fs::path probe = dir / (".write-test-" + uuid4_hex().substr(0, 8));
  errno = 0;
  {
    std::ofstream f(probe, std::ios::binary);
    if (!f) return errno ? errno : EIO;
  }
  std::error_code ec;
  fs::remove(probe, ec);
  return 0;
}
}  // namespace

// What the connection kinds may use of the application.
class MorvaneApp::Services final : public KindServices {
 public:
  explicit Services(MorvaneApp& app) : app_(app) {}
  std::string text(const std::string& key, const TextValues& values) const override { return app_._t(key, values); }
  void notice(const std::string& tab_id, const std::string& message, bool is_error) override {
    app_._push_info(tab_id, message, is_error);
  }
  fs::path data_dir() const override { return app_.APP_DIR; }
  fs::path resource_dir() const override { return app_.resource_dir; }
  std::optional<std::string> bundled_program(const std::string& name) const override {
    if (name == "puttygen.exe") return app_.puttygen_exe;
    return app_._find_bundled(name);
  }
  void spawn(std::function<void()> fn) override { app_.spawn_daemon(std::move(fn)); }
  bool stopping() const override { return app_._stop.load(); }
  std::optional<std::string> open_file(const std::string& title, const std::vector<FileFilter>& filters,
                                       double timeout_sec) override {
    return dialog<std::string>([&](Host& h) { return h.open_file_dialog(title, filters, timeout_sec); });
  }
  std::optional<std::vector<std::string>> open_files(const std::string& title, const std::vector<FileFilter>& filters,
                                                     double timeout_sec) override {
    return dialog<std::vector<std::string>>(
        [&](Host& h) { return h.open_files_dialog(title, filters, timeout_sec); });
  }
  std::optional<std::string> choose_folder(const std::string& title, double timeout_sec) override {
    return dialog<std::string>([&](Host& h) { return h.choose_folder_dialog(title, timeout_sec); });
  }
  std::shared_ptr<Connection> connection(const std::string& tab_id) const override {
    TabRef tab = app_.find_tab(tab_id);
    return tab ? tab->conn() : nullptr;
  }
  bool tab_open(const std::string& tab_id) const override { return app_.find_tab(tab_id) != nullptr; }

  // A kind's occupant of the transfer slot, known by its owner for release.
  class KindSlot final : public TransferSlot {
   public:
    KindSlot(const void* owner, TransferCalls calls) : owner(owner), calls_(std::move(calls)) {}
    bool is_done() const override { return !calls_.is_done || calls_.is_done(); }
    void feed(std::string_view bytes) override {
      if (calls_.feed) calls_.feed(bytes);
    }
    void cancel() override {
      if (calls_.cancel) calls_.cancel();
    }
    const void* const owner;

   private:
    TransferCalls calls_;
  };
  bool claim_transfer(const std::string& tab_id, const void* owner, TransferCalls calls) override {
    TabRef tab = app_.find_tab(tab_id);
    if (!tab) return false;
    std::lock_guard<std::mutex> lock(tab->mu);
    if (tab->xfer && !tab->xfer->is_done()) return false;
    tab->xfer = std::make_shared<KindSlot>(owner, std::move(calls));
    return true;
  }
  bool transfer_running(const std::string& tab_id) const override {
    TabRef tab = app_.find_tab(tab_id);
    std::shared_ptr<TransferSlot> slot = tab ? tab->transfer() : nullptr;
    return slot && !slot->is_done();
  }
  void release_transfer(const std::string& tab_id, const void* owner) override {
    TabRef tab = app_.find_tab(tab_id);
    if (!tab) return;
    std::lock_guard<std::mutex> lock(tab->mu);
    auto* slot = dynamic_cast<KindSlot*>(tab->xfer.get());
    if (slot && slot->owner == owner) tab->xfer.reset();
  }
  std::optional<Json> tab_session(const std::string& tab_id) const override {
    TabRef tab = app_.find_tab(tab_id);
    if (!tab) return std::nullopt;
    SessionRef rec = tab->session_ref();
    return rec ? rec->snapshot() : Json::object();
  }
  bool update_tab_session(const std::string& tab_id, const Json& changes) override {
    TabRef tab = app_.find_tab(tab_id);
    if (!tab) return false;
    SessionRef rec = tab->session_ref();
    if (!rec) return false;
    for (const auto& [key, value] : changes.items()) rec->set(key, value);
    app_.sessions.save();
    return true;
  }
  void page_call(const std::string& script) override { app_.page.evaluate(script); }

 private:
  template <class T, class F>
  std::optional<T> dialog(F&& show) {
    Host* w = app_.window();
    if (!w) return std::nullopt;
    try {
      return show(*w);
    } catch (const std::exception& e) {
      diag::out(std::string("[dialog] ") + e.what());
      return std::nullopt;
    }
  }

  MorvaneApp& app_;
};

KindServices& MorvaneApp::services() { return *services_; }

MorvaneApp::MorvaneApp(QueueMap queues, EventMap events, fs::path data_dir, fs::path res_dir)
    : queue_all(std::move(queues)),
      event_all(std::move(events)),
      APP_DIR(make_dirs(data_dir)),
      SESSIONS_FILE(APP_DIR / "sessions.json"),
      SETTINGS_FILE(APP_DIR / "settings.json"),
      sessions(SESSIONS_FILE),
      settings(SETTINGS_FILE),
      resource_dir(std::move(res_dir)),
      services_(std::make_unique<Services>(*this)) {
  sessions.load();
  settings.load();
  settings.force_supported_language();
  // Every save would fail: say so now rather than at the first lost change.
  if (int err = write_probe(APP_DIR)) {
    std::string why = settings.system_reason_text(err, std::strerror(err));
    diag::out("[startup] " + _t("warn.data_dir_unwritable", {{"dir", APP_DIR.string()}, {"err", why}}));
  }
  puttygen_exe = _find_bundled("puttygen.exe");
  register_ops();
  install_desktop_ops(*this);
  install_putty_ops(*this);
  install_assistant();
  install_kinds(kinds);
  for (const auto& kind : kinds.all()) kind->install(bridge, *services_);
  install_transfers();
}

MorvaneApp::~MorvaneApp() {
  // Readers and workers use the application: stop them before the members go.
  _stop = true;
  end_output_waits();
  // A turn still running ends now (its tool and the tool's children are killed), but the
  // assistant itself stays until the host's call threads have left it.
  if (assistant) diag::best_effort("assistant reset", [&] { assistant->claude_reset_session(); });
  for (const auto& id : tabs.order()) _close_tab_internal(id);
  for (auto& [name, q] : queue_all)
    if (name == "get_receipt" && q) q->put_nowait(nullptr);
  if (!bridge.wait_idle(10.0)) diag::out("[quit] page calls still running after 10 s");
  assistant.reset();
  wait_threads(30.0);
}

void MorvaneApp::spawn_daemon(std::function<void()> fn) {
  live_threads_.fetch_add(1);
  platform::start_detached([this, fn = std::move(fn)] {
    try {
      fn();
    } catch (const std::exception& e) {
      diag::out(std::string("[thread] ") + e.what());
    } catch (...) {
      diag::out("[thread] unknown failure");
    }
    std::lock_guard<std::mutex> lock(threads_mu_);
    live_threads_.fetch_sub(1);
    threads_cv_.notify_all();
  });
}

bool MorvaneApp::wait_threads(double timeout_sec) {
  std::unique_lock<std::mutex> lock(threads_mu_);
  return threads_cv_.wait_for(lock, std::chrono::duration<double>(timeout_sec), [&] { return live_threads_.load() == 0; });
}

bool MorvaneApp::sleep_unless_stopped(double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (_stop) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(50)) + std::chrono::microseconds(100));
  }
  return !_stop;
}

std::string MorvaneApp::_load_html_content() const { return read_file(resource_dir / "html" / "index.html"); }

std::optional<std::string> MorvaneApp::_find_bundled(const std::string& name, bool system_fallback) const {
  if (name.empty()) return std::nullopt;
  const std::vector<std::string> names = program_name_variants(name);
  const fs::path here = resource_dir;
  auto is_file = [](const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
  };
  for (const auto& n : names) {
    for (const fs::path& cand : {here / "bin" / n, here / ".." / "Putty原始檔案" / n, here / ".." / "Putty原始檔案" / "windows" / n}) {
      if (is_file(cand)) return fs::absolute(cand).lexically_normal().string();
    }
  }
  if (!system_fallback) return std::nullopt;
  for (const fs::path& dir : installed_program_dirs()) {
    if (is_file(dir / name)) return (dir / name).string();
  }
  for (const auto& n : names) {
    std::string found = find_on_path(n);
    if (!found.empty()) return fs::absolute(found).string();
  }
  return std::nullopt;
}

void MorvaneApp::run(Host& host) {
  fs::path icon = resource_dir / "格式範本" / "logo.ico";
  WindowSpec spec;
  spec.title = APP_NAME;
  spec.html = _load_html_content();
  auto dim = [&](const char* key, int missing, int wrong_type) {
    Json v = settings.get(key);
    if (v.is_null()) return missing;
    auto n = json::as_int(v);
    return n && *n > 0 && *n < 100000 ? static_cast<int>(*n) : wrong_type;
  };
  spec.width = dim("window_w", 900, 1280);
  spec.height = dim("window_h", 550, 720);
  std::error_code ec;
  spec.icon_path = fs::is_regular_file(icon, ec) ? icon.string() : std::string();
  spec.storage_dir = (APP_DIR / "webview2_data").string();
  fs::create_directories(spec.storage_dir);
  spec.before_stop = [this] { end_output_waits(); };
  host.create_window(spec, bridge, [this] { return _on_window_closing(); });
  set_window(&host);
  TrayMenu menu;
  menu.title = APP_NAME;
  menu.show_text = _t("tray.show");
  menu.quit_text = _t("tray.quit");
  menu.icon_path = make_icon();
  menu.on_show = [&host] { host.show(); };
  menu.on_quit = [this] { on_quit(); };
  tray_running_ = host.start_tray(menu);
  spawn_daemon([this] { _poll_queue(); });
  spawn_daemon([this] {
    if (sleep_unless_stopped(0.6)) _apply_dark_titlebar();
  });
  host.run_loop();
  _shutdown();
}

bool MorvaneApp::_on_window_closing() {
  Host* w = window();
  if (!w) return false;
  if (!tray_running_) {
    // Without a tray the user could never bring a hidden window back: quit in order instead.
    return true;
  }
  diag::best_effort("hide", [&] { w->hide(); });
  return false;
}

void MorvaneApp::on_quit() {
  Host* w = window();
  if (w && tray_running_) w->stop_tray();
  _shutdown();
  if (w) w->destroy();
}

void MorvaneApp::_shutdown() {
  _stop = true;
  end_output_waits();  // a page waiting for output answers now
  for (const auto& id : tabs.order()) _close_tab_internal(id);
  diag::best_effort("shutdown", [&] {
    auto it = event_all.find("end");
    if (it != event_all.end() && it->second) it->second->set();
  });
  for (const char* name : {"end", "get_receipt"}) {
    diag::best_effort("shutdown", [&] {
      auto it = queue_all.find(name);
      if (it != queue_all.end() && it->second) it->second->put_nowait(nullptr);
    });
  }
  Host* w = window();
  if (w && tray_running_.exchange(false)) diag::best_effort("stop_tray", [&] { w->stop_tray(); });
}

void GUI(QueueMap queues, EventMap events, Host& host, const fs::path& data_dir, const fs::path& resource_dir) {
  diag::out("run model --> morvane");
  try {
    MorvaneApp app(std::move(queues), std::move(events), data_dir, resource_dir);
    app.run(host);
  } catch (const std::exception& e) {
    diag::out(std::string("[GUI] fatal: ") + e.what());
    std::cerr << "Traceback: " << e.what() << std::endl;
  }
}

}  // namespace morvane
