// Tabs: opening one from a session, dispatching its connection, routing input and size
// changes to its handle, and tearing it down.
#include <algorithm>
#include <system_error>

#include "app/morvane_app.h"
#include "util/diag.h"
#include "util/encoding.h"
#include "util/text.h"
#include "util/uuid.h"

namespace morvane {

const char* handle_key_name(HandleKey k) {
  switch (k) {
    case HandleKey::channel: return "channel";
    case HandleKey::client: return "client";
    case HandleKey::serial: return "serial";
    case HandleKey::telnet: return "telnet";
    case HandleKey::raw: return "raw";
    case HandleKey::ssh1: return "ssh1";
    case HandleKey::rlogin: return "rlogin";
    case HandleKey::supdup: return "supdup";
    case HandleKey::conpty: return "conpty";
  }
  return "";
}

std::optional<HandleKey> handle_key_from_name(const std::string& name) {
  for (HandleKey k : kAllHandleKeys)
    if (name == handle_key_name(k)) return k;
  return std::nullopt;
}

TabRef MorvaneApp::find_tab(const std::string& tab_id) const {
  std::lock_guard<std::mutex> lock(tabs_mu_);
  auto it = tabs_.find(tab_id);
  return it == tabs_.end() ? nullptr : it->second;
}

std::vector<std::string> MorvaneApp::tab_order_snapshot() const {
  std::lock_guard<std::mutex> lock(tabs_mu_);
  return tab_order_;
}

std::optional<std::string> MorvaneApp::active_tab() const {
  std::lock_guard<std::mutex> lock(tabs_mu_);
  return active_tab_id_;
}

void MorvaneApp::register_start_routine(const std::string& kind, StartRoutine fn) {
  std::lock_guard<std::mutex> lock(routines_mu_);
  start_routines_[kind] = std::move(fn);
}

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
  std::string new_id;
  {
    std::lock_guard<std::mutex> lock(tabs_mu_);
    for (const auto& id : tab_order_) {
      auto it = tabs_.find(id);
      if (it == tabs_.end()) continue;
      SessionRef ts = it->second->session_ref();
      if (ts && ts->id() == sid) {
        active_tab_id_ = id;
        new_id = id;
        break;
      }
    }
  }
  if (!new_id.empty()) {
    Json r = get_runtime_state();
    r["tab_id"] = new_id;
    r["existing"] = true;
    return r;
  }
  new_id = uuid4_hex().substr(0, 8);
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
  {
    std::lock_guard<std::mutex> lock(tabs_mu_);
    tabs_[new_id] = tab;
    tab_order_.push_back(new_id);
    active_tab_id_ = new_id;
  }
  spawn_daemon([this, new_id] { _start_ssh(new_id); });
  Json r = get_runtime_state();
  r["tab_id"] = new_id;
  return r;
}

void MorvaneApp::_start_ssh(const std::string& tab_id) {
  // The pause lets a tab closed right after opening go without ever connecting.
  if (!sleep_unless_stopped(connect_delay_sec)) return;
  TabRef tab = find_tab(tab_id);
  if (!tab) return;
  SessionRef sess = tab->session_ref();
  Json data = sess ? sess->snapshot() : Json::object();
  const Json& pv = json::get(data, "protocol");
  std::string proto = pv.is_null() ? std::string("ssh") : json::text_form(pv);
  std::string kind = proto;
  if (proto == "ssh") {
    const Json& ver = json::get(data, "ssh_version");
    kind = (ver.is_null() ? std::string("2") : json::text_form(ver)) == "1" ? "ssh1" : "ssh";
  }
  static const char* kKnown[] = {"ssh", "ssh1", "serial", "telnet", "telnet-serial", "raw", "rlogin", "supdup", "conpty"};
  bool known = false;
  for (const char* k : kKnown) known = known || kind == k;
  StartRoutine routine;
  if (known) {
    std::lock_guard<std::mutex> lock(routines_mu_);
    auto it = start_routines_.find(kind);
    if (it != start_routines_.end()) routine = it->second;
  }
  if (!routine) {
    // Kinds without a start routine in this build are reported like unknown ones.
    std::string shown = kind == "ssh1" ? std::string("SSH-1") : text::upper_ascii(proto);
    _push_info(tab_id, _t("err.proto_unsupported", {{"proto", shown}}), true);
    tab->alive = false;
    return;
  }
  routine(tab_id, sess, tab);
}

bool MorvaneApp::_store_handle(const std::string& tab_id, const TabRef& tab, HandleKey key, std::shared_ptr<Backend> h) {
  {
    std::lock_guard<std::mutex> lock(tabs_mu_);
    auto it = tabs_.find(tab_id);
    if (it != tabs_.end() && it->second == tab) {
      tab->set_handle(key, h);
      return true;
    }
  }
  // The tab was closed while connecting: nobody would ever close this connection.
  try {
    h->close();
  } catch (...) {
  }
  return false;
}

bool MorvaneApp::send_input(const Json& tab_id, const Json& data) {
  auto key = tab_key(tab_id);
  TabRef tab = key ? find_tab(*key) : nullptr;
  if (!tab) return false;
  try {
    if (!data.is_string()) throw std::runtime_error("data must be text");
    std::string bytes = encoding::encode(data.get<std::string>(), tab->encoding_name());
    for (HandleKey k : {HandleKey::channel, HandleKey::serial, HandleKey::telnet, HandleKey::raw, HandleKey::ssh1,
                        HandleKey::rlogin, HandleKey::supdup, HandleKey::conpty}) {
      if (auto h = tab->handle(k)) {
        h->send(bytes);
        return true;
      }
    }
    return false;
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
    for (HandleKey k : {HandleKey::channel, HandleKey::telnet, HandleKey::ssh1, HandleKey::rlogin, HandleKey::supdup,
                        HandleKey::conpty}) {
      if (auto h = tab->handle(k)) {
        h->resize(rows, cols);
        return k != HandleKey::supdup;
      }
    }
    return false;
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
  TabRef tab;
  {
    // Leave the table first: a start routine storing its handle right now either sees the
    // tab gone (and closes the handle itself) or stored it before, and the loop below closes it.
    std::lock_guard<std::mutex> lock(tabs_mu_);
    auto it = tabs_.find(tab_id);
    if (it == tabs_.end()) return;
    tab = it->second;
    tabs_.erase(it);
    tab_order_.erase(std::remove(tab_order_.begin(), tab_order_.end(), tab_id), tab_order_.end());
    if (active_tab_id_ && *active_tab_id_ == tab_id) {
      if (tab_order_.empty()) active_tab_id_.reset();
      else active_tab_id_ = tab_order_.back();
    }
  }
  std::shared_ptr<TransferSlot> xfer;
  {
    std::lock_guard<std::mutex> lock(tab->mu);
    xfer = tab->xfer;
  }
  if (xfer) {
    try {
      xfer->cancel();
    } catch (...) {
    }
  }
  for (HandleKey k : kAllHandleKeys) {
    if (auto h = tab->handle(k)) {
      try {
        h->close();
      } catch (...) {
      }
    }
  }
  std::string keyfile;
  {
    std::lock_guard<std::mutex> lock(tab->mu);
    keyfile = tab->tmp_keyfile;
  }
  if (!keyfile.empty()) {
    std::error_code ec;
    if (fs::is_regular_file(keyfile, ec)) fs::remove(keyfile, ec);
  }
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
  for (const auto& id : tab_order_snapshot()) {
    TabRef tab = find_tab(id);
    if (!tab) continue;
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
    if (on_keepalive_change) {
      auto ka = json::as_int(json::get(data, "keepalive_sec"));
      if (ka && *ka > 0) {
        try {
          on_keepalive_change(*tab, static_cast<int>(*ka));
        } catch (...) {
        }
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
