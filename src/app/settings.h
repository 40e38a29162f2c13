#pragma once
// The settings record (settings.json) and the text table lookups that depend on it.
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "util/json.h"

namespace morvane {

inline constexpr const char* DEFAULT_LANG = "en";
inline constexpr const char* SUPPORTED_LANGS[] = {"en", "zh-Hant"};
bool is_supported_lang(const Json& v);

class Settings {
 public:
  explicit Settings(std::filesystem::path file);

  // Merges the file over the defaults; reports "load_settings:" on failure and keeps defaults.
  void load();
  // Writes the whole record; reports "save_settings:" on failure.
  void save();
  // After loading: an unsupported or missing language becomes DEFAULT_LANG (memory only).
  void force_supported_language();

  Json get(const std::string& key) const;
  void set(const std::string& key, Json value);
  Json snapshot() const;
  std::string language() const;

  // Returns the language in effect; saves only when it changed.
  std::string set_language(const Json& lang);

  // Integer value of key, or fallback when missing or not a number.
  long long get_int(const std::string& key, long long fallback) const;

  // Renders a text key in the current language (the _t of the application object).
  std::string t(const std::string& key, const TextValues& values = {}) const;

  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
  mutable std::mutex mu_;
  Json record_;
};

// Renders a key for an explicit language (used by t and by tests).
std::string render_text(const std::string& lang, const std::string& key, const TextValues& values);

}  // namespace morvane
