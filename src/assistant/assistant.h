#pragma once
// The assistant panel's native side: finding the Claude Code tool and telling the page whether
// it is installed and signed in, the model and effort choices, the prompt files, one turn of
// the conversation (the tool run once per question, resumed by its conversation id), and the
// two ways a proposal reaches a tab (typing a command, switching a display flag) - both only
// ever called by the page after the user pressed a button.
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "assistant/services.h"
#include "core/bridge.h"
#include "util/json.h"
#include "platform/process.h"

namespace morvane::assistant {

namespace fs = std::filesystem;

struct ModelInfo {
  const char* id;
  const char* family;
  const char* version;
  const char* kind;
};

inline constexpr const char* CLAUDE_DEFAULT_MODEL = "claude-opus-4-7";
inline constexpr std::array<ModelInfo, 6> CLAUDE_BUILTIN_MODELS = {{
    {"claude-opus-4-7", "opus", "4.7", "pinned"},
    {"claude-sonnet-4-6", "sonnet", "4.6", "pinned"},
    {"claude-haiku-4-5", "haiku", "4.5", "pinned"},
    {"opus", "opus", "latest", "alias"},
    {"sonnet", "sonnet", "latest", "alias"},
    {"haiku", "haiku", "latest", "alias"},
}};
// The only session keys a proposal may switch.
inline constexpr std::array<const char*, 2> _CLAUDE_TOGGLEABLE_FLAGS = {"lfhascr", "crhaslf"};
// UI language code -> the language named to the assistant.
const std::map<std::string, std::string>& _LANG_NAME_FOR_AI();

inline constexpr const char* RULES_FILE = "claude規範提示詞.md";
inline constexpr const char* INDEX_FILE = "架構說明目錄.md";
inline constexpr const char* RUNTIME_PROMPT_FILE = "_runtime_system_prompt.md";

// What one run of the tool said. A zero exit gives the result record for the page (and the
// conversation id, if any); any other exit gives the message to show.
struct ToolOutcome {
  bool exited_ok = false;
  std::string exit_message;
  std::optional<std::string> session_id;
  Json result;
};
// Reads the tool's exit code and output (any bytes: invalid UTF-8 is replaced).
ToolOutcome read_tool_output(int exit_code, std::string_view out, std::string_view err, const std::string& report_err_text);

class Assistant {
 public:
  explicit Assistant(AssistantServices& services);
  // A turn still running is cancelled: its tool and whatever that started are killed.
  ~Assistant();
  Assistant(const Assistant&) = delete;
  Assistant& operator=(const Assistant&) = delete;

  // Adds the page operations (claude_status, claude_send, ...).
  void install(Bridge& bridge);

  // ---- discovery and status ---------------------------------------------------------------
  // The tool's path; a failed search is repeated on the next call, a found path is kept.
  std::optional<std::string> _resolve_claude_exe();
  bool _claude_logged_in() const;
  Json claude_status();
  // Forgets the conversation and kills a running turn's process tree. Always true.
  bool claude_reset_session();
  Json claude_get_models() const;
  Json set_claude_model(const Json& model_id);
  Json set_claude_effort(const Json& enabled);
  Json claude_toggle_session_flag(const std::string& tab_id, const std::string& flag);
  bool claude_inject(const std::string& tab_id, const std::string& command, bool append_newline = true);

  // ---- prompt files ------------------------------------------------------------------------
  std::string _read_text_safe(const fs::path& path) const;
  std::string _lang_directive() const;
  // Writes rules + index to the architecture folder, else the data directory; returns the
  // folder written to and the file name, or nothing when there was nothing to write or
  // neither folder took it.
  std::optional<std::pair<fs::path, std::string>> _write_claude_runtime_system_prompt() const;
  std::string _build_claude_system_prompt() const;

  // ---- the conversation ------------------------------------------------------------------------
  struct Turn {
    std::string user_text;
    std::string terminal_text;
    std::optional<std::string> target_tab_id;
    Json timeout = 180;  // seconds, as the page gave it (shown in the time-out text)
    std::optional<std::map<std::string, std::string>> tab_texts;
  };
  // One turn: blocks until the tool answers, the time limit passes or a reset cancels it.
  Json claude_send(const Turn& turn);
  // The tool's standard input for a turn.
  std::string _build_prompt(const Turn& turn) const;
  // The argument vector of a turn.
  std::vector<std::string> _build_command(const std::string& exe, const std::string& system_addition,
                                          const std::optional<fs::path>& extra_dir,
                                          const std::optional<std::string>& session_id) const;

  // ---- state (read by tests) -------------------------------------------------------------------
  fs::path _claude_arch_dir;
  std::string model() const;
  bool effort_enabled() const;
  std::optional<std::string> session_id() const;

 private:
  Json run_turn(const Turn& turn, bool may_retry);
  std::string tab_block_settings(const TabView& tab, bool target) const;

  AssistantServices& services_;
  mutable std::mutex mu_;  // the exe cache, model and effort
  std::optional<std::string> _claude_exe;
  bool _claude_exe_resolved = false;
  std::string _claude_model;
  bool _claude_effort_enabled = true;

  mutable std::mutex _claude_inflight_lock;  // the in-flight process, the generation, the conversation id
  std::shared_ptr<ProcessKill> _claude_inflight_proc;
  uint64_t _claude_gen = 0;
  std::optional<std::string> _claude_session_id;
};

}  // namespace morvane::assistant
