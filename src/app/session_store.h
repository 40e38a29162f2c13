#pragma once
// The saved sessions and their file, sessions.json.
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "app/settings.h"
#include "util/json.h"

namespace morvane {

// One saved session record. An open tab shares the very record it was opened from, so a
// change made through the tab (flashing preferences, flag toggles) is a change of the list's.
class Session {
 public:
  explicit Session(Json data) : data_(std::move(data)) {}
  Json snapshot() const {
    std::lock_guard<std::mutex> lock(mu_);
    return data_;
  }
  Json get(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mu_);
    return json::get(data_, key);
  }
  void set(const std::string& key, Json value) {
    std::lock_guard<std::mutex> lock(mu_);
    if (data_.is_object()) data_[key] = std::move(value);
  }
  // The record's id when it is a non-empty text; a record without one never matches.
  std::string id() const {
    std::lock_guard<std::mutex> lock(mu_);
    return json::get_str(data_, "id");
  }

 private:
  mutable std::mutex mu_;
  Json data_;
};
using SessionRef = std::shared_ptr<Session>;

class SessionStore {
 public:
  explicit SessionStore(std::filesystem::path file) : file_(std::move(file)) {}

  // Reads the file once at start-up; reports "load_sessions:" and keeps an empty list on failure.
  void load();
  // Writes the whole list; reports "save_sessions:" on failure and returns its reason
  // ("" when the file was written).
  std::string save();

  // Replaces the record with the same truthy id (same position) or appends it; assigns a
  // fresh id when it has none. Returns the id and the record it replaced, if any.
  // Refuses a record nested deeper than json::kRecordDepth or with an id that is not text.
  // Throws SaveError when the file cannot be written; the list in memory is then as before.
  struct SaveResult {
    std::string id;
    std::optional<Json> old;
    SessionRef record;
  };
  SaveResult save_session(Json sess);
  // Throws SaveError as save_session does.
  void delete_session(const std::string& session_id);
  // Appends a record without saving (imports save once after the last one).
  void append(Json rec);

  SessionRef find(const std::string& session_id) const;
  Json list_json() const;
  size_t size() const;
  const std::filesystem::path& file() const { return file_; }

 private:
  // Writes the list; throws SaveError. The caller holds save_mu_.
  void write_locked();

  std::filesystem::path file_;
  mutable std::mutex mu_;       // the list, for short in-memory steps
  std::mutex save_mu_;          // orders whole-file writes
  std::vector<SessionRef> sessions_;
  bool load_failed_ = false;  // the file on disk could not be read: keep a copy before overwriting
};

}  // namespace morvane
