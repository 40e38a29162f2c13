#include "app/session_store.h"

#include <chrono>
#include <ctime>
#include <system_error>

#include "util/atomic_file.h"
#include "util/diag.h"
#include "util/uuid.h"

namespace morvane {

namespace fs = std::filesystem;

void SessionStore::load() {
  std::error_code ec;
  if (!fs::is_regular_file(file_, ec)) return;
  try {
    Json doc = json::parse(read_file(file_));
    if (!doc.is_object() || !doc.contains("sessions")) throw std::runtime_error("'sessions'");
    const Json& list = doc["sessions"];
    if (!list.is_array()) throw std::runtime_error("'sessions' is not a list");
    std::vector<SessionRef> loaded;
    for (const auto& rec : list) loaded.push_back(std::make_shared<Session>(rec));
    std::lock_guard<std::mutex> lock(mu_);
    sessions_ = std::move(loaded);
  } catch (const std::exception& e) {
    diag::out(std::string("load_sessions: ") + e.what());
    std::lock_guard<std::mutex> lock(mu_);
    sessions_.clear();
    load_failed_ = true;
  }
}

namespace {
// sessions.json.bad-YYYYmmdd-HHMMSS, with a counter when that name is taken.
fs::path free_bad_name(const fs::path& file) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  fs::path base = file;
  base += std::string(".bad-") + stamp;
  fs::path cand = base;
  std::error_code ec;
  for (int n = 2; fs::exists(cand, ec); ++n) {
    cand = base;
    cand += "-" + std::to_string(n);
  }
  return cand;
}
}  // namespace

void SessionStore::save() { save_locked(); }

void SessionStore::save_locked() {
  std::lock_guard<std::mutex> save_lock(save_mu_);
  Json doc = Json::object();
  Json list = Json::array();
  bool move_aside = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& s : sessions_) list.push_back(s->snapshot());
    move_aside = load_failed_;
  }
  doc["sessions"] = std::move(list);
  try {
    std::error_code ec;
    if (move_aside && fs::exists(file_, ec)) {
      // The unreadable file may still hold the user's sessions: keep it for them.
      fs::path aside = free_bad_name(file_);
      fs::rename(file_, aside);
      diag::out("save_sessions: the unreadable " + file_.filename().string() + " was kept as " + aside.string());
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      load_failed_ = false;
    }
    write_file_atomic(file_, json::dump_file(doc), 0600);
  } catch (const std::exception& e) {
    diag::out(std::string("save_sessions: ") + e.what());
  }
}

SessionStore::SaveResult SessionStore::save_session(Json sess) {
  SaveResult res;
  if (!sess.is_object()) throw std::runtime_error("a session must be a record");
  {
    std::lock_guard<std::mutex> lock(mu_);
    const Json& id = json::get(sess, "id");
    if (json::truthy(id)) {
      res.id = id.is_string() ? id.get<std::string>() : json::text_form(id);
      bool replaced = false;
      for (auto& rec : sessions_) {
        Json cur = rec->get("id");
        if (!cur.is_null() && cur == id) {
          res.old = rec->snapshot();
          rec = std::make_shared<Session>(sess);
          res.record = rec;
          replaced = true;
          break;
        }
      }
      if (!replaced) {
        res.record = std::make_shared<Session>(sess);
        sessions_.push_back(res.record);
      }
    } else {
      res.id = uuid4_hex();
      sess["id"] = res.id;
      res.record = std::make_shared<Session>(sess);
      sessions_.push_back(res.record);
    }
  }
  save_locked();
  return res;
}

void SessionStore::append(Json rec) {
  auto ref = std::make_shared<Session>(std::move(rec));
  std::lock_guard<std::mutex> lock(mu_);
  sessions_.push_back(std::move(ref));
}

void SessionStore::delete_session(const std::string& session_id) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<SessionRef> kept;
    for (auto& rec : sessions_) {
      Json cur = rec->get("id");
      if (cur.is_string() && cur.get<std::string>() == session_id) continue;
      kept.push_back(rec);
    }
    sessions_ = std::move(kept);
  }
  save_locked();
}

SessionRef SessionStore::find(const std::string& session_id) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& rec : sessions_) {
    Json cur = rec->get("id");
    if (cur.is_string() && cur.get<std::string>() == session_id) return rec;
  }
  return nullptr;
}

Json SessionStore::list_json() const {
  std::lock_guard<std::mutex> lock(mu_);
  Json list = Json::array();
  for (const auto& s : sessions_) list.push_back(s->snapshot());
  return list;
}

size_t SessionStore::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_.size();
}

}  // namespace morvane
