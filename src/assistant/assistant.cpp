// Finding the tool, its status, the model and effort choices, the reset, and the two actions
// through which a proposal reaches a tab.
#include "assistant/assistant.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

#include "util/diag.h"
#include "util/text.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace morvane::assistant {

const std::map<std::string, std::string>& _LANG_NAME_FOR_AI() {
  static const std::map<std::string, std::string> names = {{"en", "English (英文)"}, {"zh-Hant", "繁體中文"}};
  return names;
}

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

bool is_file(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

bool is_program(const fs::path& p) {
  if (!is_file(p)) return false;
#ifdef _WIN32
  return true;
#else
  return ::access(p.c_str(), X_OK) == 0;
#endif
}

bool is_builtin(const std::string& id) {
  return std::any_of(CLAUDE_BUILTIN_MODELS.begin(), CLAUDE_BUILTIN_MODELS.end(),
                     [&](const ModelInfo& m) { return id == m.id; });
}

// The search path's hit for a program name, with the system's executable extensions.
std::optional<std::string> which(const std::string& name) {
#ifdef _WIN32
  const char sep = ';';
  std::vector<std::string> exts = {""};
  std::string pathext = env("PATHEXT");
  if (pathext.empty()) pathext = ".COM;.EXE;.BAT;.CMD";
  bool has_ext = fs::path(name).has_extension();
  if (!has_ext) {
    exts.clear();
    std::stringstream ss(pathext);
    for (std::string e; std::getline(ss, e, ';');)
      if (!e.empty()) exts.push_back(text::lower_ascii(e));
  }
#else
  const char sep = ':';
  const std::vector<std::string> exts = {""};
#endif
  std::stringstream ss(env("PATH"));
  for (std::string dir; std::getline(ss, dir, sep);) {
    if (dir.empty()) continue;
    for (const auto& e : exts) {
      fs::path cand = fs::path(dir) / (name + e);
      if (is_program(cand)) return cand.string();
    }
  }
  return std::nullopt;
}

// Where npm and the tool's own installer put it when their folder is not on the search path.
std::vector<fs::path> install_candidates() {
  std::vector<fs::path> c;
#ifdef _WIN32
  c.push_back(fs::path(env("APPDATA")) / "npm" / "claude.cmd");
  c.push_back(fs::path(env("APPDATA")) / "npm" / "claude.ps1");
  c.push_back(fs::path(env("ProgramFiles")) / "nodejs" / "claude.cmd");
#else
  const std::string home = env("HOME");
  if (!env("NPM_CONFIG_PREFIX").empty()) c.push_back(fs::path(env("NPM_CONFIG_PREFIX")) / "bin" / "claude");
  if (!home.empty()) {
    c.push_back(fs::path(home) / ".npm-global" / "bin" / "claude");
    c.push_back(fs::path(home) / ".local" / "bin" / "claude");
    c.push_back(fs::path(home) / ".claude" / "local" / "claude");
  }
  c.push_back("/usr/local/bin/claude");
#endif
  return c;
}

fs::path home_dir() {
  std::string h = env("USERPROFILE");
  if (h.empty()) h = env("HOME");
#ifdef _WIN32
  if (h.empty()) h = env("HOMEDRIVE") + env("HOMEPATH");
#endif
  return h;
}

}  // namespace

Assistant::Assistant(AssistantServices& services)
    : _claude_arch_dir(services.resource_dir() / "architecture"), services_(services) {
  Json m = services_.setting("claude_model");
  _claude_model = m.is_string() && !text::trim(m.get<std::string>()).empty() ? m.get<std::string>() : CLAUDE_DEFAULT_MODEL;
  Json e = services_.setting("claude_effort_enabled");
  _claude_effort_enabled = e.is_boolean() ? e.get<bool>() : true;
}

Assistant::~Assistant() {
  std::shared_ptr<ProcessKill> proc;
  {
    std::lock_guard<std::mutex> lock(_claude_inflight_lock);
    ++_claude_gen;
    proc = std::move(_claude_inflight_proc);
  }
  if (proc) proc->kill();
}

std::string Assistant::model() const {
  std::lock_guard<std::mutex> lock(mu_);
  return _claude_model;
}

bool Assistant::effort_enabled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return _claude_effort_enabled;
}

std::optional<std::string> Assistant::session_id() const {
  std::lock_guard<std::mutex> lock(_claude_inflight_lock);
  return _claude_session_id;
}

std::optional<std::string> Assistant::_resolve_claude_exe() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (_claude_exe_resolved) return _claude_exe;
  }
  std::optional<std::string> found;
  for (const char* name : {"claude", "claude.cmd", "claude.exe"}) {
    if ((found = which(name))) break;
  }
  if (!found) {
    for (const auto& cand : install_candidates()) {
      if (is_program(cand)) {
        found = cand.string();
        break;
      }
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (found) {
    _claude_exe = found;
    _claude_exe_resolved = true;
  }
  return _claude_exe;
}

bool Assistant::_claude_logged_in() const {
  const fs::path dir = home_dir() / ".claude";
  if (fs::exists(dir / ".credentials.json")) return true;
  try {
    if (!fs::exists(dir / "settings.json")) return false;
    std::ifstream f(dir / "settings.json", std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(f)), {});
    Json s = json::parse(body);
    return json::truthy(json::get(s, "oauthAccount")) || json::truthy(json::get(s, "primaryApiKey"));
  } catch (const std::exception&) {
    return false;
  }
}

Json Assistant::claude_status() {
  const std::string current = model();
  std::optional<std::string> exe = _resolve_claude_exe();
  if (!exe) {
    return {{"installed", false}, {"logged_in", false}, {"version", nullptr}, {"model", current},
            {"exe", nullptr},     {"hint", services_.text("hint.claude.not_found")}};
  }
  try {
    ProcessOptions opt;
    opt.timeout_sec = 10;
    ProcessResult r = run_process({*exe, "--version"}, opt);
    if (r.timed_out) throw std::runtime_error("timed out after 10 seconds");
    Json version = nullptr;
    if (r.exit_code == 0) {
      std::string out = text::trim(text::sanitize_utf8(r.out));
      // A tool that says nothing about its version is not one we can talk to.
      if (out.empty()) throw std::runtime_error("no output from --version");
      version = out.substr(0, out.find_first_of("\r\n"));
    }
    bool in = _claude_logged_in();
    return {{"installed", true}, {"logged_in", in}, {"version", version}, {"model", current},
            {"exe", *exe},       {"hint", in ? std::string() : services_.text("hint.claude.not_logged_in")}};
  } catch (const std::exception& e) {
    return {{"installed", false}, {"logged_in", false}, {"version", nullptr}, {"model", current},
            {"exe", *exe},        {"hint", services_.text("hint.claude.version_fail", {{"err", e.what()}})}};
  }
}

bool Assistant::claude_reset_session() {
  std::shared_ptr<ProcessKill> proc;
  {
    std::lock_guard<std::mutex> lock(_claude_inflight_lock);
    ++_claude_gen;
    proc = std::move(_claude_inflight_proc);
    _claude_inflight_proc.reset();
  }
  // Killed outside the lock: the turn waiting on it takes the lock to clean up.
  if (proc) {
    std::string why;
    if (!proc->kill(&why)) diag::out("[claude] terminate inflight failed: " + why);
  }
  std::lock_guard<std::mutex> lock(_claude_inflight_lock);
  _claude_session_id.reset();
  return true;
}

Json Assistant::claude_get_models() const {
  Json builtin = Json::array();
  for (const auto& m : CLAUDE_BUILTIN_MODELS)
    builtin.push_back({{"id", m.id}, {"family", m.family}, {"version", m.version}, {"kind", m.kind}});
  const std::string current = model();
  return {{"current", current},
          {"default", CLAUDE_DEFAULT_MODEL},
          {"builtin", builtin},
          {"is_custom", !is_builtin(current)},
          {"effort_enabled", effort_enabled()}};
}

Json Assistant::set_claude_model(const Json& model_id) {
  std::string id = model_id.is_string() ? text::trim(model_id.get<std::string>()) : std::string();
  if (id.empty()) id = CLAUDE_DEFAULT_MODEL;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (id != _claude_model) {
      _claude_model = id;
      changed = true;
    }
  }
  if (changed) services_.set_setting("claude_model", id);
  return {{"ok", true}, {"model", id}, {"is_custom", !is_builtin(id)}};
}

Json Assistant::set_claude_effort(const Json& enabled) {
  const bool on = json::truthy(enabled);
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (on != _claude_effort_enabled) {
      _claude_effort_enabled = on;
      changed = true;
    }
  }
  if (changed) services_.set_setting("claude_effort_enabled", on);
  return {{"ok", true}, {"effort_enabled", on}};
}

Json Assistant::claude_toggle_session_flag(const std::string& tab_id, const std::string& flag) {
  if (std::find(_CLAUDE_TOGGLEABLE_FLAGS.begin(), _CLAUDE_TOGGLEABLE_FLAGS.end(), flag) == _CLAUDE_TOGGLEABLE_FLAGS.end())
    return {{"ok", false}, {"error", services_.text("err.unauthorized_flag", {{"flag", flag}})}};
  std::optional<TabView> tab = services_.tab(tab_id);
  if (!tab) return {{"ok", false}, {"error", services_.text("err.tab_not_found")}};
  const bool was = json::truthy(json::get(tab->session, flag));
  if (!services_.set_tab_session_value(tab_id, flag, !was))
    return {{"ok", false}, {"error", services_.text("err.tab_not_found")}};
  services_.notice(tab_id, services_.text("info.flag_toggled", {{"action", services_.text(was ? "flag.disabled" : "flag.enabled")},
                                                                 {"label", services_.text("label." + flag)}}));
  return {{"ok", true}, {"flag", flag}, {"value", !was}, {"sessions", services_.sessions_json()}};
}

bool Assistant::claude_inject(const std::string& tab_id, const std::string& command, bool append_newline) {
  if (command.empty()) return false;
  std::string text = command;
  if (append_newline && text.back() != '\n' && text.back() != '\r') text += '\n';
  return services_.send_input(tab_id, text);
}

namespace {
std::string text_arg(const Json& a, size_t i, const char* what) {
  if (a[i].is_null()) return "";
  if (!a[i].is_string()) throw BridgeError(std::string("argument '") + what + "' must be text");
  return a[i].get<std::string>();
}
}  // namespace

void Assistant::install(Bridge& b) {
  b.add("claude_status", 0, {}, [this](const Json&) { return claude_status(); });
  b.add("claude_reset_session", 0, {}, [this](const Json&) { return Json(claude_reset_session()); });
  b.add("claude_get_models", 0, {}, [this](const Json&) { return claude_get_models(); });
  b.add("set_claude_model", 1, {}, [this](const Json& a) { return set_claude_model(a[0]); });
  b.add("set_claude_effort", 1, {}, [this](const Json& a) { return set_claude_effort(a[0]); });
  b.add("claude_toggle_session_flag", 2, {}, [this](const Json& a) {
    return claude_toggle_session_flag(arg_text(a, 0, "tab_id"), arg_text(a, 1, "flag"));
  });
  b.add("claude_inject", 2, {Json(true)}, [this](const Json& a) {
    return Json(claude_inject(arg_text(a, 0, "tab_id"), text_arg(a, 1, "command"), json::truthy(a[2])));
  });
  b.add("claude_send", 1, {Json(""), Json(nullptr), Json(180), Json(false), Json(nullptr)}, [this](const Json& a) {
    Turn t;
    t.user_text = text_arg(a, 0, "user_text");
    t.terminal_text = text_arg(a, 1, "terminal_text");
    if (!a[2].is_null()) t.target_tab_id = arg_text(a, 2, "target_tab_id");
    if (!a[3].is_number() || a[3].get<double>() <= 0)
      throw BridgeError("argument 'timeout' must be a positive number of seconds");
    t.timeout = a[3];
    if (a[5].is_object()) {
      t.tab_texts.emplace();
      for (const auto& [id, v] : a[5].items())
        if (v.is_string()) (*t.tab_texts)[id] = v.get<std::string>();
    } else if (!a[5].is_null()) {
      throw BridgeError("argument 'tab_texts' must be a record of tab ids and texts");
    }
    return claude_send(t);
  });
}

}  // namespace morvane::assistant
