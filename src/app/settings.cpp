#include "app/settings.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
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
    std::lock_guard<std::mutex> lock(mu_);
    load_failed_ = true;
  }
}

fs::path bad_copy_name(const fs::path& file) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &now);
#else
  localtime_r(&now, &tm);
#endif
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

void Settings::force_supported_language() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!record_.contains("language") || !is_supported_lang(record_["language"])) record_["language"] = DEFAULT_LANG;
}

std::string Settings::save() {
  std::lock_guard<std::mutex> save_lock(save_mu_);
  std::string text;
  bool move_aside;
  {
    std::lock_guard<std::mutex> lock(mu_);
    text = json::dump_file(record_);
    move_aside = load_failed_;
  }
  try {
    std::error_code ec;
    if (move_aside && fs::exists(file_, ec)) {
      // The user may want what the unreadable file held (a hand edit gone wrong).
      fs::path aside = bad_copy_name(file_);
      fs::rename(file_, aside);
      diag::out("save_settings: the unreadable " + file_.filename().string() + " was kept as " + aside.string());
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      load_failed_ = false;
    }
    write_file_atomic(file_, text, 0644);
    return {};
  } catch (const std::exception& e) {
    diag::out(std::string("save_settings: ") + e.what());
    return e.what();
  }
}

std::string Settings::save_failure_text(const fs::path& file, const std::string& reason) const {
  // The writers report "[Errno N] text: 'path'".
  int err = 0;
  if (reason.rfind("[Errno ", 0) == 0) err = std::atoi(reason.c_str() + 7);
  return t("err.save_failed", {{"file", file.filename().string()}, {"err", system_reason_text(err, reason)}});
}

std::string Settings::system_reason_text(int err, const std::string& fallback) const {
  if (err == ENOSPC) return t("err.disk_full");
#ifdef EDQUOT
  if (err == EDQUOT) return t("err.disk_full");
#endif
  if (err == EROFS) return t("err.read_only");
  if (err == EACCES || err == EPERM) return t("err.access_denied");
  return fallback;
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
  Json before;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const Json& cur = json::get(record_, "language");
    before = cur;
    if (!(cur.is_string() && cur.get<std::string>() == code)) {
      record_["language"] = code;
      changed = true;
    }
  }
  if (changed) {
    std::string failed = save();
    if (!failed.empty()) {
      std::lock_guard<std::mutex> lock(mu_);
      // Only undo our own change: a later one that also failed restores nothing of ours.
      if (json::get(record_, "language") == Json(code)) record_["language"] = before;
      throw SaveError(failed);
    }
  }
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
