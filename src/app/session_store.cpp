#include "app/session_store.h"

#include <chrono>
#include <ctime>
#include <system_error>

#include "platform/atomic_file.h"
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


std::string SessionStore::save() {
  std::lock_guard<std::mutex> save_lock(save_mu_);
  try {
    write_locked();
    return {};
  } catch (const SaveError& e) {
    return e.what();
  }
}

void SessionStore::write_locked() {
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
      fs::path aside = bad_copy_name(file_);
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
    throw SaveError(e.what());
  }
}

namespace {
void check_record(const Json& sess) {
  if (!sess.is_object()) throw std::runtime_error("a session must be a record");
  if (json::depth(sess) > json::kRecordDepth)
    throw std::runtime_error("a session may nest at most " + std::to_string(json::kRecordDepth) + " levels");
  const Json& id = json::get(sess, "id");
  // Ids of other types would be stored but could never be deleted or connected.
  if (json::truthy(id) && !id.is_string()) throw std::runtime_error("a session id must be text");
}
}  // namespace

SessionStore::SaveResult SessionStore::save_session(Json sess) {
  check_record(sess);
  SaveResult res;
  std::lock_guard<std::mutex> save_lock(save_mu_);
  std::vector<SessionRef> before;
  {
    std::lock_guard<std::mutex> lock(mu_);
    before = sessions_;
    const Json& id = json::get(sess, "id");
    if (json::truthy(id)) {
      res.id = id.get<std::string>();
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
  try {
    write_locked();
  } catch (const SaveError&) {
    // What the user sees must be what a restart would show.
    std::lock_guard<std::mutex> lock(mu_);
    sessions_ = std::move(before);
    throw;
  }
  return res;
}

void SessionStore::append(Json rec) {
  auto ref = std::make_shared<Session>(std::move(rec));
  std::lock_guard<std::mutex> lock(mu_);
  sessions_.push_back(std::move(ref));
}

void SessionStore::delete_session(const std::string& session_id) {
  std::lock_guard<std::mutex> save_lock(save_mu_);
  std::vector<SessionRef> before;
  {
    std::lock_guard<std::mutex> lock(mu_);
    before = sessions_;
    std::vector<SessionRef> kept;
    for (auto& rec : sessions_) {
      Json cur = rec->get("id");
      if (cur.is_string() && cur.get<std::string>() == session_id) continue;
      kept.push_back(rec);
    }
    sessions_ = std::move(kept);
  }
  try {
    write_locked();
  } catch (const SaveError&) {
    std::lock_guard<std::mutex> lock(mu_);
    sessions_ = std::move(before);
    throw;
  }
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
