// Tabs: opening one from a session, dispatching its connection, routing input and size
// changes to its handle, and tearing it down.
#include <algorithm>
#include <system_error>

#include "app/morvane_app.h"
#include "platform/memory.h"
#include "platform/threads.h"
#include "util/diag.h"
#include "util/encoding.h"
#include "util/text.h"
#include "util/uuid.h"

namespace morvane {

std::string MorvaneApp::make_display(const Json& sess) const {
  std::string name = json::get_str(sess, "name");
  if (!name.empty()) return name;
  auto part = [&](const char* key) {
    const Json& v = json::get(sess, key);
    return v.is_null() ? std::string() : json::text_form(v);
  };
  return part("host") + ":" + part("port");
}

namespace {
// A tab id given by the page: text, or nothing that can match.
std::optional<std::string> tab_key(const Json& v) {
  if (v.is_string()) return v.get<std::string>();
  return std::nullopt;
}

std::string lower_encoding(const Json& sess) {
  const Json& v = json::get(sess, "line_code_page");
  std::string enc = json::truthy(v) ? json::text_form(v) : std::string("utf-8");
  return text::lower_ascii(enc);
}
}  // namespace

Json MorvaneApp::connect_session(const Json& session_id) {
  SessionRef sess = session_id.is_string() ? sessions.find(session_id.get<std::string>()) : nullptr;
  if (!sess) {
    Json r = Json::object();
    r["tab_id"] = nullptr;
    return r;
  }
  const std::string sid = session_id.get<std::string>();
  Json data = sess->snapshot();
  auto existing = tabs.activate_where([&](const Tab& t) {
    SessionRef ts = t.session_ref();
    return ts && ts->id() == sid;
  });
  if (existing) {
    Json r = get_runtime_state();
    r["tab_id"] = *existing;
    r["existing"] = true;
    return r;
  }
  std::string new_id = uuid4_hex().substr(0, 8);
  auto tab = std::make_shared<Tab>(new_id);
  tab->session = sess;
  tab->display = make_display(data);
  const Json& proto = json::get(data, "protocol");
  tab->protocol = json::truthy(proto) ? json::text_form(proto) : std::string("ssh");
  tab->encoding = lower_encoding(data);
  if (!encoding::known(tab->encoding)) {
    // The session keeps its name; the tab decodes and encodes as UTF-8 meanwhile.
    diag::out("[connect_session] unknown encoding '" + tab->encoding + "', using utf-8");
    tab->encoding = "utf-8";
  }
  tab->output.set_signal(&output_signal);
  tabs.add(tab);
  spawn_daemon([this, new_id] {
    _start_ssh(new_id);
    // The tab's output buffer may have been its largest part; a closed tab's is gone now.
    platform::release_free_memory();
  });
  Json r = get_runtime_state();
  r["tab_id"] = new_id;
  return r;
}


// What a tab's connection tells the core. It holds its tab weakly: the tab owns the connection,
// which owns this sink.
class MorvaneApp::TabSink final : public ConnectionSink {
 public:
  TabSink(MorvaneApp& app, const TabRef& tab) : app_(app), id_(tab->id), tab_(tab) {}
  void notice(const std::string& text, bool is_error) override { app_._push_info(id_, text, is_error); }
  void terminal_text(const std::string& text) override { app_._push_to_term(id_, text); }
  void state_changed(ConnectionState state) override {
    if (state != ConnectionState::connected) return;
    TabRef tab = tab_.lock();
    if (!tab) return;
    std::shared_ptr<Connection> conn = tab->conn();
    make_decoder(*tab, conn ? conn->decoding() : std::string());
    app_._push_connected(id_);
  }
  void restart_decoding() override {
    if (TabRef tab = tab_.lock()) make_decoder(*tab, {});
  }

 private:
  static void make_decoder(Tab& tab, std::string enc) {
    if (enc.empty()) enc = tab.encoding_name();
    std::unique_ptr<encoding::Decoder> dec;
    try {
      dec = encoding::make_decoder(enc.empty() ? "utf-8" : enc);
    } catch (const std::exception&) {
      dec = encoding::make_decoder("utf-8");  // an unknown name must not lose the connection
    }
    std::lock_guard<std::mutex> lock(tab.decoder_mu);
    tab.decoder = std::move(dec);
  }

  MorvaneApp& app_;
  const std::string id_;
  std::weak_ptr<Tab> tab_;
};

void MorvaneApp::_start_ssh(const std::string& tab_id) {
  // The pause lets a tab closed right after opening go without ever connecting.
  if (!sleep_unless_stopped(connect_delay_sec)) return;
  TabRef tab = find_tab(tab_id);
  if (!tab) return;
  SessionRef sess = tab->session_ref();
  Json data = sess ? sess->snapshot() : Json::object();
  const Json& pv = json::get(data, "protocol");
  std::string proto = pv.is_null() ? std::string("ssh") : json::text_form(pv);
  std::string name = proto;
  if (proto == "ssh") {
    const Json& ver = json::get(data, "ssh_version");
    name = (ver.is_null() ? std::string("2") : json::text_form(ver)) == "1" ? "ssh1" : "ssh";
  }
  std::shared_ptr<Kind> kind = kinds.find(name);
  if (!kind) {
    std::string shown = name == "ssh1" ? std::string("SSH-1") : text::upper_ascii(proto);
    tab->failed = true;
    _push_info(tab_id, _t("err.proto_unsupported", {{"proto", shown}}), true);
    return;
  }
  OpenRequest req{tab_id,
                  name,
                  data,
                  // Weak: the tab owns the connection that keeps this reader of its session.
                  [weak = std::weak_ptr<Tab>(tab)] {
                    TabRef t = weak.lock();
                    SessionRef s = t ? t->session_ref() : nullptr;
                    return s ? s->snapshot() : Json::object();
                  },
                  tab->encoding_name(),
                  std::make_shared<TabSink>(*this, tab),
                  services()};
  std::shared_ptr<Connection> conn;
  try {
    conn = kind->open(req);
    if (!conn) throw std::runtime_error("no connection");
  } catch (const std::exception& e) {
    tab->failed = true;  // down before the reason shows
    _push_info(tab_id, _t("err.conn_fail", {{"err", e.what()}}), true);
    return;
  }
  // Stored only while the tab is open: a close that began meanwhile would never see it.
  if (!tabs.with_held(tab, [&] {
        std::lock_guard<std::mutex> lock(tab->mu);
        tab->connection = conn;
      })) {
    conn->close();
    return;
  }
  conn->start();
  if (conn->state() != ConnectionState::connected) return;
  _reader_loop(tab, conn);
}

void MorvaneApp::_reader_loop(const TabRef& tab, const std::shared_ptr<Connection>& conn) {
  platform::set_thread_name("tab-reader");
  try {
    const bool can_wait = conn->can_wait();
    while (!_stop) {
      // While the consumer is behind, this connection is not read: its own flow control
      // (the PTY, the SSH channel window, TCP) holds the peer back and nothing is dropped.
      if (can_wait)
        tab->output.wait_for_room(OutputBuffer::kHighWater, OutputBuffer::kLowWater, [&] {
          auto s = conn->state();
          return _stop.load() || s == ConnectionState::closing || s == ConnectionState::closed;
        });
      std::string bytes = conn->read(kReadSize);
      if (bytes.empty()) break;
      std::string text = _intercept_or_decode(tab->id, bytes);
      if (!text.empty()) _push_to_term(tab->id, text);
    }
  } catch (const std::exception&) {
    // A failure of the receive path ends the connection; the notice below is all the user sees.
  }
  conn->close();
  if (conn->announces_end()) _push_info(tab->id, _t("info.connection_ended"));
}

bool MorvaneApp::send_input(const Json& tab_id, const Json& data) {
  auto key = tab_key(tab_id);
  TabRef tab = key ? find_tab(*key) : nullptr;
  if (!tab) return false;
  try {
    if (!data.is_string()) throw std::runtime_error("data must be text");
    std::shared_ptr<Connection> conn = tab->conn();
    if (!conn || !conn->writable()) return false;
    conn->write(encoding::encode(data.get<std::string>(), tab->encoding_name()));
    return true;
  } catch (const std::exception& e) {
    diag::out(std::string("[send_input] ") + e.what());
    return false;
  }
}

bool MorvaneApp::resize_pty(const Json& tab_id, const Json& rows_v, const Json& cols_v) {
  auto key = tab_key(tab_id);
  TabRef tab = key ? find_tab(*key) : nullptr;
  if (!tab) return false;
  try {
    auto r = json::as_int(rows_v);
    auto c = json::as_int(cols_v);
    if (!r) throw std::runtime_error("invalid literal for int() with base 10: " + json::dump_line(rows_v, false));
    if (!c) throw std::runtime_error("invalid literal for int() with base 10: " + json::dump_line(cols_v, false));
    int rows = static_cast<int>(std::clamp<long long>(*r, 2, 10000));
    int cols = static_cast<int>(std::clamp<long long>(*c, 20, 10000));
    std::shared_ptr<Connection> conn = tab->conn();
    if (!conn || !conn->writable()) return false;
    return conn->resize(rows, cols);
  } catch (const std::exception& e) {
    diag::out(std::string("[resize_pty] ") + e.what());
    return false;
  }
}


bool MorvaneApp::set_tab_encoding(const Json& tab_id, const Json& enc) {
  auto key = tab_key(tab_id);
  TabRef tab = key ? find_tab(*key) : nullptr;
  if (!tab || !enc.is_string()) return false;
  const std::string name = enc.get<std::string>();
  if (!encoding::known(name)) return false;
  auto dec = encoding::make_decoder(name);
  {
    std::lock_guard<std::mutex> lock(tab->mu);
    tab->encoding = name;
  }
  std::lock_guard<std::mutex> lock(tab->decoder_mu);
  tab->decoder = std::move(dec);
  return true;
}

Json MorvaneApp::get_tab_reading(const Json& tab_id) {
  auto key = tab_key(tab_id);
  TabRef tab = key ? find_tab(*key) : nullptr;
  Json r = Json::object();
  r["reading"] = tab ? tab->reading.load() : false;
  return r;
}

Json MorvaneApp::toggle_tab_reading(const Json& tab_id) {
  auto key = tab_key(tab_id);
  TabRef tab = key ? find_tab(*key) : nullptr;
  Json r = Json::object();
  if (!tab) {
    r["reading"] = false;
    return r;
  }
  bool now = !tab->reading.load();
  tab->reading = now;
  r["reading"] = now;
  return r;
}

Json MorvaneApp::close_tab(const Json& tab_id) {
  if (auto key = tab_key(tab_id)) _close_tab_internal(*key);
  return get_runtime_state();
}

void MorvaneApp::_close_tab_internal(const std::string& tab_id) {
  // Leave the table first: a worker storing the tab's connection right now either sees the
  // tab gone (and closes the connection itself) or stored it before, and it is closed below.
  TabRef tab = tabs.remove(tab_id);
  if (!tab) return;
  if (std::shared_ptr<TransferSlot> xfer = tab->transfer()) {
    try {
      xfer->cancel();
    } catch (const std::exception& e) {
      diag::out(std::string("[close_tab] ") + e.what());
    }
  }
  if (std::shared_ptr<Connection> conn = tab->conn()) conn->close();
  tab->output.wake_reader();
}

// ---- sessions ------------------------------------------------------------------------------

Json MorvaneApp::save_session(const Json& sess) {
  if (json::depth(sess) > json::kRecordDepth) throw BridgeError(_t("err.session_too_deep", {{"n", json::kRecordDepth}}));
  const Json& id = json::get(sess, "id");
  if (json::truthy(id) && !id.is_string()) throw BridgeError(_t("err.session_id_not_text"));
  SessionStore::SaveResult res;
  try {
    res = sessions.save_session(sess);
  } catch (const SaveError& e) {
    throw BridgeError(settings.save_failure_text(sessions.file(), e.what()));
  }
  _apply_session_changes_to_open_tabs(res.record, res.old);
  Json r = Json::object();
  r["sessions"] = sessions.list_json();
  r["id"] = res.id;
  return r;
}

Json MorvaneApp::delete_session(const Json& session_id) {
  try {
    if (session_id.is_string()) sessions.delete_session(session_id.get<std::string>());
  } catch (const SaveError& e) {
    throw BridgeError(settings.save_failure_text(sessions.file(), e.what()));
  }
  Json r = Json::object();
  r["sessions"] = sessions.list_json();
  return r;
}

void MorvaneApp::_apply_session_changes_to_open_tabs(const SessionRef& rec, const std::optional<Json>& old) {
  if (!rec) return;
  const std::string sid = rec->id();
  if (sid.empty()) return;
  Json data = rec->snapshot();
  for (const TabRef& tab : tabs.all()) {
    const std::string& id = tab->id;
    SessionRef cur = tab->session_ref();
    if (!cur || cur->id() != sid) continue;
    std::string enc = lower_encoding(data);
    bool enc_changed;
    {
      std::lock_guard<std::mutex> lock(tab->mu);
      tab->session = rec;
      tab->display = make_display(data);
      enc_changed = enc != tab->encoding;
    }
    if (enc_changed) {
      try {
        auto dec = encoding::make_decoder(enc);
        {
          std::lock_guard<std::mutex> lock(tab->mu);
          tab->encoding = enc;
        }
        std::lock_guard<std::mutex> lock(tab->decoder_mu);
        tab->decoder = std::move(dec);
      } catch (const std::exception& e) {
        diag::out(std::string("[apply_session] encoding lookup failed: ") + e.what());
      }
    }
    if (auto conn = tab->conn()) {
      try {
        conn->session_changed(data);
      } catch (const std::exception& e) {
        diag::out(std::string("[apply_session] ") + e.what());
      }
    }
    bool differs = false;
    if (old) {
      for (const auto& k : _CONN_LEVEL_KEYS()) {
        Json a = json::get(*old, k), b = json::get(data, k);
        Json na = json::truthy(a) ? a : Json(), nb = json::truthy(b) ? b : Json();
        if (na != nb) {
          differs = true;
          break;
        }
      }
    }
    _push_info(id, _t(differs ? "info.settings_updated" : "info.settings_applied"));
  }
}

}  // namespace morvane
