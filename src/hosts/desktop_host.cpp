#include "hosts/desktop_host.h"

#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include "hosts/page_config.h"
#include "platform/threads.h"
#include "platform/window_chrome.h"
#include "util/diag.h"
#include "util/json.h"
#include "util/text.h"

namespace morvane {

namespace {

constexpr const char* kHandlerName = "morvane";

// MORVANE_TRACE=1 writes the window's milestones to standard error, with the time since
// the program started: how start-up is measured and how the desktop test sees the page.
const auto g_started = std::chrono::steady_clock::now();
bool tracing() {
  static const bool on = [] {
    const char* v = std::getenv("MORVANE_TRACE");
    return v && *v && std::string(v) != "0";
  }();
  return on;
}
void trace(const std::string& what) {
  if (!tracing()) return;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - g_started).count();
  diag::err("[desktop] " + std::to_string(ms) + " ms " + what);
}

// Runs fn on the GTK main loop's thread; fn is dropped (its resources released) when the
// loop has already ended.
void post_to_ui(std::function<void()> fn) {
  auto* boxed = new std::function<void()>(std::move(fn));
  g_main_context_invoke_full(
      nullptr, G_PRIORITY_DEFAULT,
      [](gpointer p) -> gboolean {
        try {
          (*static_cast<std::function<void()>*>(p))();
        } catch (const std::exception& e) {
          diag::out(std::string("[desktop] ") + e.what());
        }
        return G_SOURCE_REMOVE;
      },
      boxed, [](gpointer p) { delete static_cast<std::function<void()>*>(p); });
}

// A result that one thread waits for and the UI thread provides.
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
  // false on time-out
  bool wait(double seconds) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done; });
  }
};

bool env_set(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

// Whether something will show a tray icon: a StatusNotifier host registered on the session
// bus (KDE, XFCE, GNOME with its AppIndicator extension, ...), or an XEmbed system tray
// that AppIndicator falls back to. Without either, a hidden window could never come back.
bool tray_host_present() {
  std::string runtime_bus;
  if (const char* rt = std::getenv("XDG_RUNTIME_DIR"); rt && *rt) runtime_bus = std::string(rt) + "/bus";
  std::error_code ec;
  // Asking for the session bus without one would start a new bus daemon (X11 autolaunch).
  if (env_set("DBUS_SESSION_BUS_ADDRESS") || (!runtime_bus.empty() && std::filesystem::exists(runtime_bus, ec))) {
    GError* err = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &err);
    if (err) g_error_free(err);
    if (bus) {
      GVariant* r = g_dbus_connection_call_sync(
          bus, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties", "Get",
          g_variant_new("(ss)", "org.kde.StatusNotifierWatcher", "IsStatusNotifierHostRegistered"),
          G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 500, nullptr, nullptr);
      bool registered = false;
      if (r) {
        GVariant* v = nullptr;
        g_variant_get(r, "(v)", &v);
        if (v && g_variant_is_of_type(v, G_VARIANT_TYPE_BOOLEAN)) registered = g_variant_get_boolean(v);
        if (v) g_variant_unref(v);
        g_variant_unref(r);
      }
      g_object_unref(bus);
      if (registered) return true;
    }
  }
  GdkDisplay* d = gdk_display_get_default();
  if (d && GDK_IS_X11_DISPLAY(d)) {
    Display* x = GDK_DISPLAY_XDISPLAY(d);
    std::string sel = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(x));
    Atom a = XInternAtom(x, sel.c_str(), False);
    if (XGetSelectionOwner(x, a) != None) return true;
  }
  return false;
}

// The tray wants an icon name in a theme folder; any image GdkPixbuf opens (.ico too)
// becomes a PNG there.
std::optional<std::pair<std::string, std::string>> tray_icon_files(const std::string& image) {
  if (image.empty()) return std::nullopt;
  GError* err = nullptr;
  GdkPixbuf* pix = gdk_pixbuf_new_from_file_at_size(image.c_str(), 64, 64, &err);
  if (!pix) {
    if (err) g_error_free(err);
    return std::nullopt;
  }
  std::string base = env_set("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : g_get_tmp_dir();
  std::string dir = base + "/morvane-tray-" + std::to_string(getpid());
  g_mkdir_with_parents(dir.c_str(), 0700);
  std::string file = dir + "/morvane-tray.png";
  bool ok = gdk_pixbuf_save(pix, file.c_str(), "png", &err, nullptr);
  if (err) g_error_free(err);
  g_object_unref(pix);
  if (!ok) return std::nullopt;
  return std::make_pair(dir, std::string("morvane-tray"));
}

// Adds the script named by MORVANE_PAGE_SCRIPT to the page (top frame, after the document);
// false when the variable is unset or the file cannot be read (said on standard error).
bool add_page_script(WebKitUserContentManager* ucm) {
  const char* file = std::getenv("MORVANE_PAGE_SCRIPT");
  if (!file || !*file) return false;
  gchar* source = nullptr;
  GError* err = nullptr;
  if (!g_file_get_contents(file, &source, nullptr, &err)) {
    diag::err(std::string("[desktop] MORVANE_PAGE_SCRIPT: cannot read ") + file + ": " + (err ? err->message : "?"));
    if (err) g_error_free(err);
    return false;
  }
  WebKitUserScript* script =
      webkit_user_script_new(source, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END,
                             nullptr, nullptr);
  webkit_user_content_manager_add_script(ucm, script);
  webkit_user_script_unref(script);
  g_free(source);
  trace(std::string("page script ") + file);
  return true;
}

struct DialogRequest {
  GtkFileChooserAction action;
  std::string title;
  std::vector<FileFilter> filters;
  bool multiple = false;
};

}  // namespace

struct DesktopHost::Impl : std::enable_shared_from_this<DesktopHost::Impl> {
  GtkWidget* window = nullptr;
  WebKitWebView* view = nullptr;
  WebKitUserContentManager* ucm = nullptr;
  Bridge* bridge = nullptr;
  std::function<bool()> on_closing;
  std::string page;
  std::thread::id ui_thread;
  std::atomic<bool> created{false};
  std::atomic<bool> alive{false};     // window exists and the loop runs
  bool loaded = false;                // UI thread only
  std::vector<std::string> pending;   // UI thread only: scripts evaluated before the page loaded

  AppIndicator* indicator = nullptr;  // UI thread only
  GtkWidget* tray_menu = nullptr;
  TrayMenu menu;
  std::string tray_dir;

  bool on_ui() const { return std::this_thread::get_id() == ui_thread; }

  // Runs fn on the UI thread and waits up to timeout_sec; false when it did not run.
  bool run_on_ui(std::function<void()> fn, double timeout_sec = 10.0) {
    if (on_ui()) {
      fn();
      return true;
    }
    if (!alive) return false;
    auto w = std::make_shared<Waitable<bool>>();
    post_to_ui([fn = std::move(fn), w] {
      fn();
      w->set(true);
    });
    return w->wait(timeout_sec);
  }

  void eval_now(const std::string& script) {
    if (!view) return;
    webkit_web_view_evaluate_javascript(view, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
  }

  // ---- the bridge: page -> native --------------------------------------------------------
  static gboolean on_message(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply,
                             gpointer data) {
    auto self = static_cast<Impl*>(data)->shared_from_this();
    char* text = jsc_value_to_json(value, 0);
    std::string body = text ? text : "null";
    g_free(text);
    JSCContext* ctx = jsc_value_get_context(value);
    g_object_ref(ctx);
    webkit_script_message_reply_ref(reply);
    // Off the UI thread: some operations block for minutes.
    try {
      platform::start_detached([self, body = std::move(body), ctx, reply] {
        bool ok = false, text = false;
        std::string answer, op;
        try {
          Json msg = json::parse(body);
          const Json& name = json::get(msg, "op");
          if (!name.is_string()) throw std::runtime_error("missing op");
          op = name.get<std::string>();
          Json args = msg.is_object() && msg.contains("args") ? msg["args"] : Json::array();
          Json result = self->bridge->call(op, args);
          // Text (terminal output, mostly) goes across as a string, without JSON in between.
          text = result.is_string();
          answer = text ? text::sanitize_utf8(result.get_ref<const std::string&>()) : json::dump_line(result, false);
          ok = true;
        } catch (const std::exception& e) {
          answer = e.what();
        }
        if (tracing() && op != "drain_terminal") trace("call " + op + (ok ? " ok" : " failed: " + answer));
        post_to_ui([ctx, reply, ok, text, answer = std::move(answer)] {
          if (ok) {
            JSCValue* v;
            if (text) {
              GBytes* bytes = g_bytes_new_static(answer.data(), answer.size());
              v = jsc_value_new_string_from_bytes(ctx, bytes);
              g_bytes_unref(bytes);
            } else {
              v = jsc_value_new_from_json(ctx, answer.c_str());
            }
            webkit_script_message_reply_return_value(reply, v);
            g_object_unref(v);
          } else {
            webkit_script_message_reply_return_error_message(reply, answer.c_str());
          }
          webkit_script_message_reply_unref(reply);
          g_object_unref(ctx);
        });
      });
    } catch (const std::system_error& e) {
      // Out of threads: this call fails, the window and the calls already running go on.
      std::string why = std::string("cannot start the call: ") + e.what();
      webkit_script_message_reply_return_error_message(reply, why.c_str());
      webkit_script_message_reply_unref(reply);
      g_object_unref(ctx);
    }
    return TRUE;
  }

  static void on_load_changed(WebKitWebView*, WebKitLoadEvent ev, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (ev != WEBKIT_LOAD_FINISHED) return;
    self->loaded = true;
    trace("page loaded");
    auto scripts = std::move(self->pending);
    self->pending.clear();
    for (auto& s : scripts) self->eval_now(s);
    if (tracing()) {
      // Checks the road back once: a script evaluated from another thread makes the page
      // call the bridge with a marker the trace shows.
      auto strong = self->shared_from_this();
      platform::start_detached([strong] {
        std::string probe = "window.webkit.messageHandlers.morvane.postMessage({op: 'evaluate_probe', args: []})"
                            ".catch(function () {})";
        post_to_ui([strong, probe] { strong->eval_now(probe); });
      });
    }
  }

  static gboolean on_crashed(WebKitWebView* view, WebKitWebProcessTerminationReason, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    diag::out("[desktop] the page's process ended; reloading the page");
    self->loaded = false;
    webkit_web_view_load_html(view, self->page.c_str(), "file:///");
    return FALSE;
  }

  // Links leave the window for the user's browser; the page itself never navigates away.
  static gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
      return FALSE;
    auto* nav = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(nav);
    WebKitURIRequest* req = webkit_navigation_action_get_request(action);
    const char* uri = webkit_uri_request_get_uri(req);
    bool user_link = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION ||
                     webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED;
    if (!user_link) return FALSE;
    webkit_policy_decision_ignore(decision);
    if (uri && (g_str_has_prefix(uri, "http://") || g_str_has_prefix(uri, "https://")))
      self->launch_uri(uri);
    return TRUE;
  }

  bool launch_uri(const std::string& url) {
    GError* err = nullptr;
    bool ok = gtk_show_uri_on_window(window ? GTK_WINDOW(window) : nullptr, url.c_str(), GDK_CURRENT_TIME, &err);
    if (err) g_error_free(err);
    return ok;
  }

  static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    bool let_close = true;
    try {
      if (self->on_closing) let_close = self->on_closing();
    } catch (...) {
      let_close = false;
    }
    return let_close ? FALSE : TRUE;
  }

  static void on_destroy(GtkWidget*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->alive = false;
    self->window = nullptr;
    self->view = nullptr;
    gtk_main_quit();
  }

  static gboolean on_stop_signal(gpointer data) {
    auto* self = static_cast<Impl*>(data);
    trace("stop signal");
    if (self->window) gtk_widget_destroy(self->window);
    return G_SOURCE_CONTINUE;
  }

  // ---- dialogs --------------------------------------------------------------------------
  std::optional<std::vector<std::string>> dialog(const DialogRequest& rq, double timeout_sec) {
    if (!alive) return std::nullopt;
    auto result = std::make_shared<Waitable<std::optional<std::vector<std::string>>>>();
    auto holder = std::make_shared<GtkWidget*>(nullptr);
    auto self = shared_from_this();
    post_to_ui([self, rq, result, holder] {
      GtkWidget* dlg = gtk_file_chooser_dialog_new(
          rq.title.c_str(), self->window ? GTK_WINDOW(self->window) : nullptr, rq.action, "_Cancel",
          GTK_RESPONSE_CANCEL, rq.action == GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER ? "_Select" : "_Open",
          GTK_RESPONSE_ACCEPT, nullptr);
      GtkFileChooser* chooser = GTK_FILE_CHOOSER(dlg);
      gtk_file_chooser_set_select_multiple(chooser, rq.multiple);
      gtk_file_chooser_set_local_only(chooser, TRUE);
      for (const auto& f : rq.filters) {
        GtkFileFilter* ff = gtk_file_filter_new();
        gtk_file_filter_set_name(ff, f.name.c_str());
        for (const auto& p : f.patterns) gtk_file_filter_add_pattern(ff, p.c_str());
        gtk_file_chooser_add_filter(chooser, ff);
      }
      // Top-most: a dialog lost behind other windows would hold its caller for minutes.
      gtk_window_set_keep_above(GTK_WINDOW(dlg), TRUE);
      gtk_window_set_modal(GTK_WINDOW(dlg), TRUE);
      struct Ctx {
        std::shared_ptr<Waitable<std::optional<std::vector<std::string>>>> result;
        std::shared_ptr<GtkWidget*> holder;
      };
      auto* ctx = new Ctx{result, holder};
      g_signal_connect_data(
          dlg, "response",
          G_CALLBACK(+[](GtkDialog* d, gint response, gpointer p) {
            auto* c = static_cast<Ctx*>(p);
            std::optional<std::vector<std::string>> picked;
            if (response == GTK_RESPONSE_ACCEPT) {
              std::vector<std::string> files;
              GSList* list = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(d));
              for (GSList* it = list; it; it = it->next) {
                files.emplace_back(static_cast<char*>(it->data));
                g_free(it->data);
              }
              g_slist_free(list);
              if (!files.empty()) picked = std::move(files);
            }
            c->result->set(std::move(picked));
            *c->holder = nullptr;
            gtk_widget_destroy(GTK_WIDGET(d));
          }),
          ctx, [](gpointer p, GClosure*) { delete static_cast<Ctx*>(p); }, GConnectFlags(0));
      *holder = dlg;
      gtk_widget_show(dlg);
      gtk_window_present(GTK_WINDOW(dlg));
    });
    if (!result->wait(timeout_sec)) {
      // Time is up: the dialog goes away and the caller gets "cancelled".
      post_to_ui([holder, result] {
        result->set(std::nullopt);
        if (*holder) {
          GtkWidget* d = *holder;
          *holder = nullptr;
          gtk_widget_destroy(d);
        }
      });
      return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(result->mu);
    return result->value;
  }
};

bool DesktopHost::open_display() { return gtk_init_check(nullptr, nullptr); }

DesktopHost::DesktopHost() : impl_(std::make_shared<Impl>()) {}

DesktopHost::~DesktopHost() { platform::set_dark_titlebar_handler({}); }

bool DesktopHost::window_created() const { return impl_->created.load(); }

bool DesktopHost::exists() { return impl_->alive.load(); }

void DesktopHost::evaluate(const std::string& script) {
  if (!impl_->alive) return;
  auto self = impl_;
  auto run = [self, script] {
    if (!self->view) return;
    if (!self->loaded) {
      self->pending.push_back(script);
      return;
    }
    self->eval_now(script);
  };
  if (impl_->on_ui()) run();
  else post_to_ui(run);
}

void DesktopHost::create_window(const WindowSpec& spec, Bridge& bridge, std::function<bool()> on_closing) {
  Impl& m = *impl_;
  m.ui_thread = std::this_thread::get_id();
  m.bridge = &bridge;
  m.on_closing = std::move(on_closing);
  m.page = inject_page_config(spec.html, "desktop", bridge);

  GtkWidget* win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  m.window = win;
  gtk_window_set_title(GTK_WINDOW(win), spec.title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(win), spec.width, spec.height);
  gtk_window_set_resizable(GTK_WINDOW(win), spec.resizable);
  GdkGeometry geo{};
  geo.min_width = spec.min_width;
  geo.min_height = spec.min_height;
  gtk_window_set_geometry_hints(GTK_WINDOW(win), nullptr, &geo, GDK_HINT_MIN_SIZE);
  if (!spec.icon_path.empty()) {
    GError* err = nullptr;
    if (!gtk_window_set_icon_from_file(GTK_WINDOW(win), spec.icon_path.c_str(), &err) && err)
      diag::out(std::string("[desktop] window icon: ") + err->message);
    if (err) g_error_free(err);
  }
  GdkRGBA bg{};
  if (!gdk_rgba_parse(&bg, spec.background.c_str())) gdk_rgba_parse(&bg, "#0d0f14");
  {
    GtkCssProvider* css = gtk_css_provider_new();
    std::string rule = "window { background-color: " + spec.background + "; }";
    gtk_css_provider_load_from_data(css, rule.c_str(), -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(win), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
  }

  // Persistent storage (not private browsing) in the data directory's storage folder.
  std::string cache_dir = spec.storage_dir.empty() ? std::string() : spec.storage_dir + "/cache";
  WebKitWebsiteDataManager* data =
      spec.storage_dir.empty() ? webkit_website_data_manager_new(nullptr)
                               : webkit_website_data_manager_new("base-data-directory", spec.storage_dir.c_str(),
                                                                 "base-cache-directory", cache_dir.c_str(), nullptr);
  WebKitWebContext* ctx = webkit_web_context_new_with_website_data_manager(data);
  g_object_unref(data);
  // One page, no history to go back to.
  webkit_web_context_set_cache_model(ctx, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);

  m.ucm = webkit_user_content_manager_new();
  g_signal_connect(m.ucm, (std::string("script-message-with-reply-received::") + kHandlerName).c_str(),
                   G_CALLBACK(Impl::on_message), &m);
  webkit_user_content_manager_register_script_message_handler_with_reply(m.ucm, kHandlerName, nullptr);

  // MORVANE_PAGE_SCRIPT=FILE: a script of the caller's (a benchmark's) that runs in the page
  // once it has loaded; its console messages then go to standard output. Unset: nothing changes.
  const bool page_script = add_page_script(m.ucm);

  m.view = WEBKIT_WEB_VIEW(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", ctx, "user-content-manager", m.ucm, nullptr));
  g_object_unref(ctx);
  WebKitSettings* st = webkit_web_view_get_settings(m.view);
  if (page_script) webkit_settings_set_enable_write_console_messages_to_stdout(st, TRUE);
  webkit_settings_set_javascript_can_access_clipboard(st, TRUE);
  webkit_settings_set_enable_developer_extras(st, env_set("MORVANE_DEVTOOLS"));
  webkit_settings_set_enable_back_forward_navigation_gestures(st, FALSE);
  webkit_web_view_set_background_color(m.view, &bg);

  g_signal_connect(m.view, "load-changed", G_CALLBACK(Impl::on_load_changed), &m);
  g_signal_connect(m.view, "web-process-terminated", G_CALLBACK(Impl::on_crashed), &m);
  g_signal_connect(m.view, "decide-policy", G_CALLBACK(Impl::on_decide_policy), &m);
  g_signal_connect(win, "delete-event", G_CALLBACK(Impl::on_delete), &m);
  g_signal_connect(win, "destroy", G_CALLBACK(Impl::on_destroy), &m);
  g_unix_signal_add(SIGTERM, Impl::on_stop_signal, &m);
  g_unix_signal_add(SIGINT, Impl::on_stop_signal, &m);

  gtk_container_add(GTK_CONTAINER(win), GTK_WIDGET(m.view));
  webkit_web_view_load_html(m.view, m.page.c_str(), "file:///");
  gtk_widget_show_all(win);
  m.created = true;
  m.alive = true;
  trace("window shown " + std::to_string(spec.width) + "x" + std::to_string(spec.height));

  std::weak_ptr<Impl> weak = impl_;
  platform::set_dark_titlebar_handler([weak](const std::string& title) {
    auto self = weak.lock();
    if (!self) return false;
    auto found = std::make_shared<std::atomic<bool>>(false);
    self->run_on_ui([found, title] {
      // GTK draws the title bar itself (or asks the window manager for the theme's dark
      // variant): one application-wide preference.
      g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", TRUE, nullptr);
      GList* tops = gtk_window_list_toplevels();
      for (GList* it = tops; it && !*found; it = it->next) {
        const char* t = gtk_window_get_title(GTK_WINDOW(it->data));
        *found = t && title == t;
      }
      g_list_free(tops);
    });
    return found->load();
  });
}

void DesktopHost::run_loop() {
  if (!impl_->created) return;
  gtk_main();
  impl_->alive = false;
}

void DesktopHost::show() {
  impl_->run_on_ui([self = impl_.get()] {
    if (!self->window) return;
    gtk_widget_show(self->window);
    gtk_window_present(GTK_WINDOW(self->window));
  });
}

void DesktopHost::hide() {
  impl_->run_on_ui([self = impl_.get()] {
    if (self->window) gtk_widget_hide(self->window);
  });
}

void DesktopHost::destroy() {
  impl_->run_on_ui([self = impl_.get()] {
    if (self->window) gtk_widget_destroy(self->window);
  });
}

bool DesktopHost::start_tray(const TrayMenu& menu) {
  Impl& m = *impl_;
  if (!tray_host_present()) {
    trace("no tray host: closing the window quits");
    return false;
  }
  m.menu = menu;
  auto files = tray_icon_files(menu.icon_path);
  if (files) {
    m.tray_dir = files->first;
    m.indicator = app_indicator_new_with_path("Morvane", files->second.c_str(),
                                              APP_INDICATOR_CATEGORY_APPLICATION_STATUS, files->first.c_str());
  } else {
    m.indicator = app_indicator_new("Morvane", "utilities-terminal", APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
  }
  app_indicator_set_title(m.indicator, menu.title.c_str());
  GtkWidget* gmenu = gtk_menu_new();
  GtkWidget* show_item = gtk_menu_item_new_with_label(menu.show_text.c_str());
  GtkWidget* quit_item = gtk_menu_item_new_with_label(menu.quit_text.c_str());
  g_signal_connect(show_item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer p) {
                     auto* self = static_cast<Impl*>(p);
                     if (self->menu.on_show) self->menu.on_show();
                   }),
                   &m);
  g_signal_connect(quit_item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer p) {
                     auto* self = static_cast<Impl*>(p);
                     if (self->menu.on_quit) self->menu.on_quit();
                   }),
                   &m);
  gtk_menu_shell_append(GTK_MENU_SHELL(gmenu), show_item);
  gtk_menu_shell_append(GTK_MENU_SHELL(gmenu), quit_item);
  gtk_widget_show_all(gmenu);
  app_indicator_set_menu(m.indicator, GTK_MENU(gmenu));
  // The default item: what a middle click (or the host's primary action) runs.
  app_indicator_set_secondary_activate_target(m.indicator, show_item);
  app_indicator_set_status(m.indicator, APP_INDICATOR_STATUS_ACTIVE);
  m.tray_menu = gmenu;
  trace("tray started");
  return true;
}

void DesktopHost::stop_tray() {
  impl_->run_on_ui(
      [self = impl_.get()] {
        if (!self->indicator) return;
        app_indicator_set_status(self->indicator, APP_INDICATOR_STATUS_PASSIVE);
        g_object_unref(self->indicator);
        self->indicator = nullptr;
        if (!self->tray_dir.empty()) {
          std::error_code ec;
          std::filesystem::remove_all(self->tray_dir, ec);
        }
      },
      2.0);
}

std::optional<std::string> DesktopHost::open_file_dialog(const std::string& title,
                                                         const std::vector<FileFilter>& filters, double timeout_sec) {
  auto r = impl_->dialog({GTK_FILE_CHOOSER_ACTION_OPEN, title, filters, false}, timeout_sec);
  if (!r || r->empty()) return std::nullopt;
  return r->front();
}

std::optional<std::vector<std::string>> DesktopHost::open_files_dialog(const std::string& title,
                                                                      const std::vector<FileFilter>& filters,
                                                                      double timeout_sec) {
  return impl_->dialog({GTK_FILE_CHOOSER_ACTION_OPEN, title, filters, true}, timeout_sec);
}

std::optional<std::string> DesktopHost::choose_folder_dialog(const std::string& title, double timeout_sec) {
  auto r = impl_->dialog({GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, title, {}, false}, timeout_sec);
  if (!r || r->empty()) return std::nullopt;
  return r->front();
}

std::optional<std::string> DesktopHost::read_clipboard(double timeout_sec) {
  if (!impl_->alive) return std::nullopt;
  auto result = std::make_shared<Waitable<std::optional<std::string>>>();
  post_to_ui([result] {
    GtkClipboard* cb = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    auto* keep = new std::shared_ptr<Waitable<std::optional<std::string>>>(result);
    gtk_clipboard_request_text(
        cb,
        [](GtkClipboard*, const gchar* text, gpointer p) {
          auto* r = static_cast<std::shared_ptr<Waitable<std::optional<std::string>>>*>(p);
          (*r)->set(text ? std::optional<std::string>(text) : std::nullopt);
          delete r;
        },
        keep);
  });
  if (!result->wait(timeout_sec)) return std::nullopt;
  std::lock_guard<std::mutex> lock(result->mu);
  return result->value;
}

bool DesktopHost::open_url(const std::string& url) {
  auto ok = std::make_shared<std::atomic<bool>>(false);
  if (!impl_->run_on_ui([ok, url, self = impl_.get()] { *ok = self->launch_uri(url); }, 10.0)) return false;
  return ok->load();
}

}  // namespace morvane
