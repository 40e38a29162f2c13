// One turn of the conversation: the prompt (question, the tab the user looks at, its recent
// text, the other tabs), the tool run once with a time limit, resume by conversation id, and
// a generation counter through which a reset wins over any late answer.
#include "assistant/assistant.h"
#include "util/text.h"

namespace morvane::assistant {

namespace {

std::string value_text(const Json& sess, const std::string& key) { return json::text_form(json::get(sess, key)); }

std::string truth_text(const Json& sess, const std::string& key) { return json::truthy(json::get(sess, key)) ? "True" : "False"; }

// A serial line setting, with the default taken only when the key is missing altogether.
std::string serial_value(const Json& sess, const std::string& key, const char* dflt) {
  return sess.is_object() && sess.contains(key) ? json::text_form(sess[key]) : dflt;
}

std::string protocol_of(const TabView& tab) {
  const Json& p = json::get(tab.session, "protocol");
  return p.is_string() ? p.get<std::string>() : tab.protocol;
}

// "serial: 8-N-1 flow=N" for the two serial protocols, else nothing.
std::string serial_line(const TabView& tab) {
  const std::string proto = protocol_of(tab);
  if (proto != "serial" && proto != "telnet-serial") return "";
  const Json& s = tab.session;
  return "serial: " + serial_value(s, "serial_bits", "8") + "-" + serial_value(s, "serial_parity", "N") + "-" +
         serial_value(s, "serial_stop", "1") + " flow=" + serial_value(s, "serial_flow", "N");
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) {
    if (l.empty()) continue;
    if (!out.empty()) out += '\n';
    out += l;
  }
  return out;
}

Json failed(const std::string& error) { return {{"ok", false}, {"error", error}, {"reply", ""}}; }

Json cancelled() { return {{"ok", false}, {"cancelled", true}, {"error", ""}, {"reply", ""}}; }

// A fallback field of the answer: the value's text when it is truthy.
std::optional<std::string> truthy_text(const Json& obj, const char* key) {
  const Json& v = json::get(obj, key);
  if (!json::truthy(v)) return std::nullopt;
  return json::text_form(v);
}

}  // namespace

std::string Assistant::_build_prompt(const Turn& turn) const {
  std::string prompt = turn.user_text;
  if (turn.target_tab_id) {
    if (std::optional<TabView> tab = services_.tab(*turn.target_tab_id)) {
      const Json& s = tab->session;
      const Json& tt = json::get(s, "terminal_type");
      prompt += "\n\n----- 當前 target 分頁設定（" + tab->protocol + " · " + tab->display + "） -----\n";
      prompt += join_lines({
          "protocol: " + value_text(s, "protocol"),
          "host: " + value_text(s, "host"),
          "port: " + value_text(s, "port"),
          "encoding: " + tab->encoding,
          "lfhascr (LF 後隱含 CR): " + truth_text(s, "lfhascr"),
          "crhaslf (CR 後隱含 LF): " + truth_text(s, "crhaslf"),
          "terminal_type: " + (json::truthy(tt) ? json::text_form(tt) : std::string("xterm-256color")),
          serial_line(*tab),
      });
      prompt += "\n-----";
    }
  }
  const std::string term = text::trim(turn.terminal_text);
  if (!term.empty())
    prompt += "\n\n----- 當前終端機輸出（最近幾行，供你參考；如使用者沒問終端機相關問題就忽略）-----\n" + term;

  std::vector<std::string> blocks;
  for (const auto& id : services_.tab_order()) {
    if (turn.target_tab_id && id == *turn.target_tab_id) continue;
    std::optional<TabView> tab = services_.tab(id);
    if (!tab) continue;
    const Json& s = tab->session;
    std::string block = join_lines({
        "tab_id: " + id,
        "display: " + tab->display,
        "protocol: " + value_text(s, "protocol"),
        "host: " + value_text(s, "host"),
        "port: " + value_text(s, "port"),
        "encoding: " + tab->encoding,
        std::string("alive: ") + (tab->alive ? "True" : "False"),
        "lfhascr: " + truth_text(s, "lfhascr"),
        "crhaslf: " + truth_text(s, "crhaslf"),
        serial_line(*tab),
    });
    if (turn.tab_texts) {
      auto it = turn.tab_texts->find(id);
      if (it != turn.tab_texts->end()) {
        std::string recent = text::trim(it->second);
        if (!recent.empty()) block += "\n--- 該分頁最近輸出 ---\n" + recent;
      }
    }
    blocks.push_back(std::move(block));
  }
  if (!blocks.empty()) {
    prompt += "\n\n----- 其他已開啟的分頁（僅顯示設定；要看內容請用 `read_tab <tab_id>` action 取得使用者同意） -----\n";
    for (size_t i = 0; i < blocks.size(); ++i) {
      if (i) prompt += "\n\n";
      prompt += blocks[i];
    }
    prompt += "\n-----";
  }
  return prompt;
}

std::vector<std::string> Assistant::_build_command(const std::string& exe, const std::string& system_addition,
                                                   const std::optional<fs::path>& extra_dir,
                                                   const std::optional<std::string>& session_id) const {
  std::vector<std::string> argv = {exe, "-p", "--model", model(), "--append-system-prompt", system_addition,
                                   "--add-dir", _claude_arch_dir.string()};
  if (effort_enabled()) argv.insert(argv.end(), {"--effort", "xhigh"});
  if (extra_dir) argv.insert(argv.end(), {"--add-dir", extra_dir->string()});
  argv.insert(argv.end(), {"--permission-mode", "bypassPermissions", "--output-format", "json"});
  if (session_id) argv.insert(argv.end(), {"--resume", *session_id});
  return argv;
}

Json Assistant::claude_send(const Turn& turn) { return run_turn(turn, true); }

Json Assistant::run_turn(const Turn& turn, bool first_try) {
  std::optional<std::string> exe = _resolve_claude_exe();
  if (!exe) return failed(services_.text("err.claude_not_found"));

  const std::string prompt = _build_prompt(turn);
  std::string addition;
  std::optional<fs::path> extra_dir;
  if (auto written = _write_claude_runtime_system_prompt()) {
    addition = "你正在透過 Claude Code CLI 為 Morvane 的使用者提供協助。\n" + _lang_directive() + "\n" +
               "你的完整運作規則與架構索引在 add-dir 內的 `" + written->second +
               "` 檔案 —— **第一輪回覆前必須先用 Read 工具讀完它**,並把其中所有規則當作 system prompt "
               "一樣強制遵守。但上一段「回答語言」指令的優先序**高於 add-dir 內 .md 檔關於語言的任何舊指示**"
               "(只針對回覆語言,其他規範不變)。同一 session 不必再讀(--resume 會保留上下文)。\n"
               "需要更細的內容時可額外讀取 " + _claude_arch_dir.string() + " 下的 詳細說明*.md / 系統說明_*.md 等。";
    if (written->first != _claude_arch_dir) extra_dir = written->first;
  } else {
    addition = _build_claude_system_prompt();
  }

  auto handle = std::make_shared<ProcessKill>();
  uint64_t my_gen;
  std::optional<std::string> resume;
  {
    std::lock_guard<std::mutex> lock(_claude_inflight_lock);
    my_gen = _claude_gen;
    // The repeated turn after an unknown conversation id starts a new one.
    if (first_try) resume = _claude_session_id;
    _claude_inflight_proc = handle;
  }
  const std::vector<std::string> argv = _build_command(*exe, addition, extra_dir, resume);

  ProcessResult r;
  const double timeout = turn.timeout.is_number() ? turn.timeout.get<double>() : 180.0;
  try {
    ProcessOptions opt;
    opt.input = prompt;
    opt.timeout_sec = timeout;
    opt.kill_grace_sec = 2.0;
    opt.kill = handle;
    r = run_process(argv, opt);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(_claude_inflight_lock);
    if (_claude_inflight_proc == handle) _claude_inflight_proc.reset();
    if (_claude_gen != my_gen) return cancelled();
    return failed(services_.text("err.claude_exec_fail", {{"err", e.what()}}));
  }
  {
    std::lock_guard<std::mutex> lock(_claude_inflight_lock);
    if (_claude_inflight_proc == handle) _claude_inflight_proc.reset();
    // A reset while the tool ran drops whatever it said, even a time-out.
    if (_claude_gen != my_gen) return cancelled();
  }
  if (r.timed_out) return failed(services_.text("err.claude_timeout", {{"n", turn.timeout}}));

  ToolOutcome got = read_tool_output(r.exit_code, r.out, r.err, services_.text("claude.report_err"));
  if (!got.exited_ok) {
    const std::string lower = text::lower_ascii(got.exit_message);
    if (resume && first_try && (lower.find("resume") != std::string::npos || lower.find("session") != std::string::npos)) {
      {
        std::lock_guard<std::mutex> lock(_claude_inflight_lock);
        if (_claude_gen == my_gen) _claude_session_id.reset();
      }
      Turn again = turn;
      again.tab_texts.reset();
      return run_turn(again, false);
    }
    return failed(got.exit_message);
  }
  if (got.session_id) {
    std::lock_guard<std::mutex> lock(_claude_inflight_lock);
    if (_claude_gen == my_gen) _claude_session_id = got.session_id;
  }
  return got.result;
}

ToolOutcome read_tool_output(int exit_code, std::string_view raw_out, std::string_view raw_err,
                             const std::string& report_err_text) {
  ToolOutcome o;
  const std::string out = text::sanitize_utf8(raw_out);
  if (exit_code != 0) {
    o.exit_message = text::trim(text::sanitize_utf8(raw_err));
    if (o.exit_message.empty()) o.exit_message = text::trim(out);
    if (o.exit_message.empty()) o.exit_message = "claude exit code " + std::to_string(exit_code);
    return o;
  }
  o.exited_ok = true;
  Json data;
  try {
    data = json::parse(out);
  } catch (const std::exception&) {
    o.result = {{"ok", true}, {"error", ""}, {"reply", text::trim(out)}};
    return o;
  }
  if (!data.is_object()) {
    o.result = {{"ok", true}, {"error", ""}, {"reply", json::text_form(data)}};
    return o;
  }
  const Json& sid = json::get(data, "session_id");
  if (sid.is_string() && !sid.get<std::string>().empty()) o.session_id = sid.get<std::string>();
  if (json::truthy(json::get(data, "is_error"))) {
    std::optional<std::string> why = truthy_text(data, "result");
    if (!why) why = truthy_text(data, "error");
    o.result = failed(why ? *why : report_err_text);
    return o;
  }
  std::optional<std::string> reply = truthy_text(data, "result");
  if (!reply) reply = truthy_text(data, "text");
  o.result = {{"ok", true}, {"error", ""}, {"reply", reply.value_or("")}};
  return o;
}

}  // namespace morvane::assistant
