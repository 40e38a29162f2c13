// Everything that moves towards the page besides return values: terminal output that the
// page pulls, page calls, the state queries and the launcher's status feed.
#include <algorithm>
#include <chrono>

#include "app/morvane_app.h"
#include "util/diag.h"
#include "util/text.h"

namespace morvane {

void MorvaneApp::_push_to_term(const std::string& tab_id, std::string_view text) {
  if (text.empty()) return;
  TabRef tab = find_tab(tab_id);
  if (!tab || !tab->reading.load()) return;
  SessionRef sess = tab->session_ref();
  bool lfhascr = sess && json::truthy(sess->get("lfhascr"));
  bool crhaslf = sess && json::truthy(sess->get("crhaslf"));
  tab->output.push(tab->output.translate(text, lfhascr, crhaslf));
}

std::string MorvaneApp::drain_terminal(const std::string& tab_id, size_t max_chars) {
  TabRef tab = find_tab(tab_id);
  return tab ? tab->output.drain(max_chars) : std::string();
}

namespace {
// The text ids of a list of tabs (others are skipped).
std::vector<std::string> tab_id_list(const Json& tab_ids) {
  if (!tab_ids.is_array()) throw BridgeError("argument 'tab_ids' must be a list");
  std::vector<std::string> ids;
  for (const auto& id : tab_ids)
    if (id.is_string()) ids.push_back(id.get<std::string>());
  return ids;
}
}  // namespace

Json MorvaneApp::drain_terminals(const Json& tab_ids, size_t max_chars) {
  Json out = Json::object();
  for (const auto& id : tab_id_list(tab_ids)) {
    std::string text = drain_terminal(id, max_chars);
    if (!text.empty()) out[id] = std::move(text);
  }
  return out;
}

Json MorvaneApp::drain_terminal_piece(const std::string& tab_id, size_t max_chars, double wait_sec, size_t min_chars) {
  if (wait_sec > 0) wait_terminal_output(Json::array({tab_id}), wait_sec);
  OutputBuffer::Span at;
  std::string text;
  if (TabRef tab = find_tab(tab_id)) {
    if (min_chars > 0) gather(*tab, min_chars);
    text = tab->output.drain(max_chars, &at);
  }
  Json out = Json::object();
  out["from"] = at.from;
  out["to"] = at.to;
  out["text"] = std::move(text);
  return out;
}

// While a tab's output is still growing, waits for `min_chars` of it (or the buffer's high
// mark, where its reader stops), at most kGatherMax: a consumer with two requests under way
// would otherwise get every other piece a few kilobytes long, and pay a round trip for each.
// Output that stops growing for kGatherQuiet goes at once, so the end of a flood (a prompt
// after Ctrl+C) is not held back.
void MorvaneApp::gather(Tab& tab, size_t min_chars) {
  constexpr auto kGatherMax = std::chrono::milliseconds(25);
  constexpr auto kGatherQuiet = std::chrono::milliseconds(3);
  tab.output.gather(std::min(min_chars, OutputBuffer::kHighWater), kGatherQuiet,
                    std::chrono::steady_clock::now() + kGatherMax, [&] { return _stop || _waits_end; });
}

void MorvaneApp::end_output_waits() {
  _waits_end = true;
  output_signal.notify();
}

Json MorvaneApp::wait_terminal_output(const Json& tab_ids, double timeout_sec) {
  const std::vector<std::string> ids = tab_id_list(tab_ids);
  timeout_sec = std::clamp(timeout_sec, 0.0, kMaxOutputWaitSec);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_sec);
  while (true) {
    // The generation is read before looking, so output arriving in between ends the wait.
    const uint64_t seen = output_signal.generation();
    Json ready = Json::array();
    for (const auto& id : ids) {
      TabRef tab = find_tab(id);
      if (tab && !tab->output.empty()) ready.push_back(id);
    }
    if (!ready.empty() || _stop || _waits_end || std::chrono::steady_clock::now() >= deadline) return ready;
    output_signal.wait(seen, deadline, [&] { return _stop || _waits_end; });
  }
}

Json MorvaneApp::get_initial_state() {
  Json st = Json::object();
  st["sessions"] = sessions.list_json();
  st["puttygen_path"] = puttygen_exe.value_or("");
  st["sessions_file"] = SESSIONS_FILE.generic_string();
  st["language"] = settings.get("language");
  return st;
}

namespace {
Json tabs_for_js(const TabTable& tabs) {
  Json list = Json::array();
  for (const TabRef& tab : tabs.all()) {
    Json t = Json::object();
    SessionRef sess;
    {
      std::lock_guard<std::mutex> lock(tab->mu);
      t["id"] = tab->id;
      t["display"] = tab->display;
      t["protocol"] = tab->protocol;
      sess = tab->session;
    }
    t["alive"] = tab->alive();
    // A page that learns of a tab after its terminalConnected call (opened from elsewhere,
    // or a reloaded page) takes the state from here.
    std::shared_ptr<Connection> conn = tab->conn();
    t["connected"] = conn && conn->state() == ConnectionState::connected;
    t["session_id"] = sess ? sess->get("id") : Json();
    list.push_back(std::move(t));
  }
  return list;
}
}  // namespace

Json MorvaneApp::get_runtime_state() {
  Json st = Json::object();
  st["tabs"] = tabs_for_js(tabs);
  auto active = tabs.active();
  st["active_tab"] = active ? Json(*active) : Json();
  Json status = Json::object();
  for (auto& [k, v] : session_status_snapshot()) status[k] = v;
  // A tab on a local port knows its session's reachability better than the launcher's check.
  for (const TabRef& tab : tabs.all()) {
    std::string proto;
    SessionRef sess;
    {
      std::lock_guard<std::mutex> lock(tab->mu);
      proto = tab->protocol;
      sess = tab->session;
    }
    std::shared_ptr<Kind> kind = sess ? kinds.find(proto) : nullptr;
    if (!kind) continue;
    std::shared_ptr<Connection> conn = tab->conn();
    auto online = kind->reachability(conn.get());
    if (!online) continue;
    Json sid = sess->get("id");
    std::string key = sid.is_string() ? sid.get<std::string>() : json::text_form(sid);
    status[key] = *online ? "online" : "offline";
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
  std::shared_ptr<LauncherQueue> q;
  auto it = queue_all.find("get_receipt");
  if (it != queue_all.end()) q = it->second;
  // Without a launcher (the window started on its own) no status ever comes: nothing to wake for.
  if (!q) return;
  while (!_stop) {
    try {
      // Quitting puts a wake-up item on the queue, so the wait can be long.
      auto item = q->get(30.0);
      if (_stop) break;
      try {
        if (item) _apply_status_item(*item);
      } catch (const std::exception& e) {
        // A malformed item costs nothing but its line: the next one may be good.
        diag::out(std::string("[poll_queue] ") + e.what());
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
