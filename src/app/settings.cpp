#include "app/settings.h"

#include <system_error>

#include "app/i18n.h"
#include "platform/atomic_file.h"
#include "util/diag.h"
#include "util/text.h"

namespace morvane {

namespace fs = std::filesystem;

bool is_supported_lang(const Json& v) {
  if (!v.is_string()) return false;
  for (const char* l : SUPPORTED_LANGS)
    if (v.get<std::string>() == l) return true;
  return false;
}

Settings::Settings(fs::path file) : file_(std::move(file)) {
  record_ = Json::object();
  record_["window_w"] = 1280;
  record_["window_h"] = 720;
  record_["language"] = DEFAULT_LANG;
}

void Settings::load() {
  std::error_code ec;
  if (!fs::exists(file_, ec)) return;
  try {
    Json doc = json::parse(read_file(file_));
    if (!doc.is_object()) throw std::runtime_error("settings.json does not hold a JSON object");
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = doc.begin(); it != doc.end(); ++it) record_[it.key()] = it.value();
  } catch (const std::exception& e) {
    diag::out(std::string("load_settings: ") + e.what());
  }
}

void Settings::force_supported_language() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!record_.contains("language") || !is_supported_lang(record_["language"])) record_["language"] = DEFAULT_LANG;
}

void Settings::save() {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mu_);
    text = json::dump_file(record_);
  }
  try {
    write_file_atomic(file_, text, 0644);
  } catch (const std::exception& e) {
    diag::out(std::string("save_settings: ") + e.what());
  }
}

Json Settings::get(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mu_);
  return json::get(record_, key);
}

void Settings::set(const std::string& key, Json value) {
  std::lock_guard<std::mutex> lock(mu_);
  record_[key] = std::move(value);
}

Json Settings::snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return record_;
}

std::string Settings::language() const {
  std::lock_guard<std::mutex> lock(mu_);
  const Json& l = json::get(record_, "language");
  return l.is_string() ? l.get<std::string>() : std::string(DEFAULT_LANG);
}

std::string Settings::set_language(const Json& lang) {
  std::string code = is_supported_lang(lang) ? lang.get<std::string>() : std::string(DEFAULT_LANG);
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const Json& cur = json::get(record_, "language");
    if (!(cur.is_string() && cur.get<std::string>() == code)) {
      record_["language"] = code;
      changed = true;
    }
  }
  if (changed) save();
  return code;
}

long long Settings::get_int(const std::string& key, long long fallback) const {
  Json v = get(key);
  if (v.is_null()) return fallback;
  auto n = json::as_int(v);
  return n ? *n : fallback;
}

std::string render_text(const std::string& lang, const std::string& key, const TextValues& values) {
  const TextTable& table = py_i18n();
  auto lt = table.find(lang);
  if (lt == table.end()) lt = table.find(DEFAULT_LANG);
  std::string text;
  auto kt = lt->second.find(key);
  if (kt != lt->second.end()) {
    text = kt->second;
  } else {
    const auto& en = table.at(DEFAULT_LANG);
    auto et = en.find(key);
    text = et != en.end() ? et->second : key;
  }
  if (values.empty()) return text;
  auto filled = text::format_braces(text, values);
  return filled ? *filled : text;
}

std::string Settings::t(const std::string& key, const TextValues& values) const {
  return render_text(language(), key, values);
}

}  // namespace morvane
