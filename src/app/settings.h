#pragma once
// The settings record (settings.json) and the text table lookups that depend on it.
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "util/json.h"

namespace morvane {

inline constexpr const char* DEFAULT_LANG = "en";
inline constexpr const char* SUPPORTED_LANGS[] = {"en", "zh-Hant"};
bool is_supported_lang(const Json& v);

// A change that did not reach the disk; what() is the system's reason.
class SaveError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Settings {
 public:
  explicit Settings(std::filesystem::path file);

  // Merges the file over the defaults; reports "load_settings:" on failure and keeps defaults.
  // An unreadable file is kept as settings.json.bad-<time> by the first save.
  void load();
  // Writes the whole record; reports "save_settings:" on failure and returns its reason
  // ("" when the file was written).
  std::string save();
  // After loading: an unsupported or missing language becomes DEFAULT_LANG (memory only).
  void force_supported_language();

  Json get(const std::string& key) const;
  void set(const std::string& key, Json value);
  Json snapshot() const;
  std::string language() const;

  // Returns the language in effect; saves only when it changed. Throws SaveError when the
  // file cannot be written, and the language stays as it was.
  std::string set_language(const Json& lang);

  // Integer value of key, or fallback when missing or not a number.
  long long get_int(const std::string& key, long long fallback) const;

  // Renders a text key in the current language (the _t of the application object).
  std::string t(const std::string& key, const TextValues& values = {}) const;

  const std::filesystem::path& file() const { return file_; }

  // The page's text for a save that failed, in the UI language: the file's name and the
  // reason, with the usual system reasons (full disk, read-only, no access) translated.
  std::string save_failure_text(const std::filesystem::path& file, const std::string& reason) const;
  // A system error number in the UI language where the table has it, else fallback.
  std::string system_reason_text(int err, const std::string& fallback) const;

 private:
  std::filesystem::path file_;
  mutable std::mutex mu_;
  std::mutex save_mu_;  // orders whole-file writes
  Json record_;
  bool load_failed_ = false;  // the file on disk could not be read: keep a copy before overwriting
};

// A free name beside file for an unreadable copy of it: file.bad-YYYYmmdd-HHMMSS, with a
// counter when that is taken.
std::filesystem::path bad_copy_name(const std::filesystem::path& file);

// Renders a key for an explicit language (used by t and by tests).
std::string render_text(const std::string& lang, const std::string& key, const TextValues& values);

}  // namespace morvane
