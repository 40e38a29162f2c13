// Everything that moves towards the page besides return values: terminal output that the
// page pulls, page calls, the state queries and the launcher's status feed.
#include "app/morvane_app.h"
#include "util/diag.h"
#include "util/text.h"

namespace morvane {

void MorvaneApp::_push_to_term(const std::string& tab_id, std::string_view text) {
  if (text.empty()) return;
  TabRef tab = find_tab(tab_id);
  if (!tab || !tab->reading.load()) return;
  std::string translated = _apply_eol_translation(*tab, text);
  size_t chars = text::count_codepoints(translated);
  std::lock_guard<std::mutex> lock(tab->buf_mu);
  tab->buffer_created = true;
  tab->buffer.push_back(std::move(translated));
  tab->buffer_chars.push_back(chars);
  tab->buffer_total += chars;
  // The newest chunk always stays, whatever its size; older output goes first.
  while (tab->buffer_total > kBufferLimit && tab->buffer.size() >= 2) {
    tab->buffer_total -= tab->buffer_chars.front();
    tab->buffer.pop_front();
    tab->buffer_chars.pop_front();
  }
}

std::string MorvaneApp::_apply_eol_translation(Tab& tab, std::string_view text) {
  SessionRef sess = tab.session_ref();
  bool lfhascr = sess && json::truthy(sess->get("lfhascr"));
  bool crhaslf = sess && json::truthy(sess->get("crhaslf"));
  if (!lfhascr && !crhaslf) return std::string(text);
  std::lock_guard<std::mutex> lock(tab.eol_mu);
  bool prev_cr = tab.eol_prev_cr;
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  size_t i = 0;
  while (i < text.size()) {
    // Copy the run up to the next line end in one piece.
    size_t j = i;
    while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
    if (j > i) {
      out.append(text.data() + i, j - i);
      // Bytes of a multi-byte character are never CR or LF, so byte-wise is character-wise.
      prev_cr = false;
    }
    if (j == text.size()) break;
    if (text[j] == '\r') {
      if (crhaslf) {
        out += "\r\n";
        prev_cr = false;
      } else {
        out += '\r';
        prev_cr = true;
      }
    } else {
      if (lfhascr && !prev_cr) out += "\r\n";
      else out += '\n';
      prev_cr = false;
    }
    i = j + 1;
  }
  tab.eol_prev_cr = prev_cr;
  return out;
}

void MorvaneApp::_evaluate(const std::string& script) {
  Host* w = window();
  if (!w) return;
  try {
    if (w->exists()) w->evaluate(script);
  } catch (...) {
  }
}

void MorvaneApp::_push_info(const std::string& tab_id, const std::string& message, bool is_error) {
  _evaluate("setTerminalInfo(" + json::quote(tab_id, true) + ", " + json::quote(message, true) + ", " +
            (is_error ? "true" : "false") + ")");
}

void MorvaneApp::_push_connected(const std::string& tab_id) {
  _evaluate("terminalConnected(" + json::quote(tab_id, true) + ")");
}

std::string MorvaneApp::drain_terminal(const std::string& tab_id) {
  TabRef tab = find_tab(tab_id);
  if (!tab) return {};
  std::deque<std::string> chunks;
  {
    std::lock_guard<std::mutex> lock(tab->buf_mu);
    chunks.swap(tab->buffer);
    tab->buffer_chars.clear();
    tab->buffer_total = 0;
  }
  if (chunks.empty()) return {};
  if (chunks.size() == 1) return std::move(chunks.front());
  size_t total = 0;
  for (auto& c : chunks) total += c.size();
  std::string out;
  out.reserve(total);
  for (auto& c : chunks) out += c;
  return out;
}

Json MorvaneApp::get_initial_state() {
  Json st = Json::object();
  st["sessions"] = sessions.list_json();
  st["puttygen_path"] = puttygen_exe.value_or("");
  st["sessions_file"] = SESSIONS_FILE.generic_string();
  st["language"] = settings.get("language");
  return st;
}

Json MorvaneApp::_tabs_for_js() {
  Json list = Json::array();
  for (const auto& id : tab_order_snapshot()) {
    TabRef tab = find_tab(id);
    if (!tab) continue;
    Json t = Json::object();
    SessionRef sess;
    {
      std::lock_guard<std::mutex> lock(tab->mu);
      t["id"] = tab->id;
      t["display"] = tab->display;
      t["protocol"] = tab->protocol;
      sess = tab->session;
    }
    t["alive"] = tab->alive.load();
    t["session_id"] = sess ? sess->get("id") : Json();
    list.push_back(std::move(t));
  }
  return list;
}

Json MorvaneApp::get_runtime_state() {
  Json st = Json::object();
  st["tabs"] = _tabs_for_js();
  auto active = active_tab();
  st["active_tab"] = active ? Json(*active) : Json();
  Json status = Json::object();
  for (auto& [k, v] : session_status_snapshot()) status[k] = v;
  // A serial tab knows its own port better than the launcher's reachability check.
  for (const auto& id : tab_order_snapshot()) {
    TabRef tab = find_tab(id);
    if (!tab) continue;
    std::string proto;
    SessionRef sess;
    {
      std::lock_guard<std::mutex> lock(tab->mu);
      proto = tab->protocol;
      sess = tab->session;
    }
    if (proto != "serial" || !sess) continue;
    Json sid = sess->get("id");
    std::string key = sid.is_string() ? sid.get<std::string>() : json::text_form(sid);
    bool port_open = tab->handle(HandleKey::serial) != nullptr;
    status[key] = port_open && tab->alive.load() ? "online" : "offline";
  }
  st["session_status"] = std::move(status);
  return st;
}

std::map<std::string, std::string> MorvaneApp::session_status_snapshot() const {
  std::lock_guard<std::mutex> lock(status_mu_);
  return session_status_;
}

namespace {
constexpr size_t kMaxStatusEntries = 4096;
}  // namespace

void MorvaneApp::_apply_status_item(const Json& item) {
  if (!item.is_object() || json::get(item, "type") != Json("ping_results")) return;
  const Json& results = json::get(item, "results");
  if (results.is_null()) throw std::runtime_error("'results'");
  if (!results.is_array()) throw std::runtime_error("'results' is not a list");
  for (const auto& entry : results) {
    if (!entry.is_object() || !entry.contains("id")) throw std::runtime_error("'id'");
    const Json& id = entry["id"];
    std::string key = id.is_string() ? id.get<std::string>() : json::text_form(id);
    std::string value = json::truthy(json::get(entry, "online")) ? "online" : "offline";
    // The table travels in every get_runtime_state: past a bound only saved sessions get
    // an entry, and entries of ids that are no saved session make room.
    bool saved = static_cast<bool>(sessions.find(key));
    std::lock_guard<std::mutex> lock(status_mu_);
    if (session_status_.size() >= kMaxStatusEntries && !session_status_.count(key)) {
      if (!saved) continue;
      for (auto it = session_status_.begin(); it != session_status_.end();)
        it = sessions.find(it->first) ? std::next(it) : session_status_.erase(it);
    }
    session_status_[key] = std::move(value);
  }
}

void MorvaneApp::_poll_queue() {
  while (!_stop) {
    std::shared_ptr<LauncherQueue> q;
    auto it = queue_all.find("get_receipt");
    if (it != queue_all.end()) q = it->second;
    try {
      if (q) {
        auto item = q->get(0.5);
        if (_stop) break;
        try {
          if (item) _apply_status_item(*item);
        } catch (const std::exception& e) {
          // A malformed item costs nothing but its line: the next one may be good.
          diag::out(std::string("[poll_queue] ") + e.what());
        }
      } else {
        sleep_unless_stopped(0.5);
      }
    } catch (const std::exception& e) {
      diag::out(std::string("[poll_queue] ") + e.what());
      sleep_unless_stopped(1.0);
    }
  }
}

Json MorvaneApp::set_language(const Json& lang) {
  Json r = Json::object();
  r["ok"] = true;
  try {
    r["language"] = settings.set_language(lang);
  } catch (const SaveError& e) {
    throw BridgeError(settings.save_failure_text(settings.file(), e.what()));
  }
  return r;
}

}  // namespace morvane
