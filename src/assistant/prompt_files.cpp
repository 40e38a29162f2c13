// The prompt documents beside the program, the reply-language instruction and the combined
// rules file the tool is told to read.
#include <fstream>
#include <system_error>

#include "assistant/assistant.h"
#include "util/diag.h"
#include "util/text.h"

namespace morvane::assistant {

namespace {
const char* const kRulesHeader = "===== claude規範提示詞.md =====\n";
const char* const kIndexHeader = "===== 架構說明目錄.md =====\n";

std::string join(const std::vector<std::string>& parts, const std::string& sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += sep;
    out += parts[i];
  }
  return out;
}
}  // namespace

std::string Assistant::_read_text_safe(const fs::path& path) const {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return "";
  try {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot open the file");
    std::string body((std::istreambuf_iterator<char>(f)), {});
    if (f.bad()) throw std::runtime_error("read error");
    if (text::valid_utf8_prefix(body) != body.size())
      throw std::runtime_error("not valid UTF-8 at byte " + std::to_string(text::valid_utf8_prefix(body)));
    return body;
  } catch (const std::exception& e) {
    diag::out("[claude] read " + path.string() + " failed: " + e.what());
    return "";
  }
}

std::string Assistant::_lang_directive() const {
  const std::string code = services_.language();
  const auto& names = _LANG_NAME_FOR_AI();
  auto it = names.find(code);
  const std::string name = it != names.end() ? it->second : names.at("en");
  return "【回答語言】使用者目前的介面語系是 `" + code + "`。請**預設用 " + name +
         " 回覆**;這條規則**優先於 `claude規範提示詞.md` 與架構文件內任何其他關於語言的舊指示**。"
         "若使用者改用其他語言提問,或明確要求切換,就跟著切到使用者偏好的語言。技術名詞、shell 指令、"
         "protocol 名稱可保留英文。本指令僅針對你的回覆語言,不影響其他規範。";
}

std::optional<std::pair<fs::path, std::string>> Assistant::_write_claude_runtime_system_prompt() const {
  const std::string rules = _read_text_safe(_claude_arch_dir / RULES_FILE);
  const std::string index = _read_text_safe(_claude_arch_dir / INDEX_FILE);
  std::vector<std::string> sections;
  if (!rules.empty()) sections.push_back(kRulesHeader + rules);
  if (!index.empty()) sections.push_back(kIndexHeader + index);
  if (sections.empty()) return std::nullopt;
  const std::string body = join(sections, "\n\n");
  for (const fs::path& dir : {_claude_arch_dir, services_.data_dir()}) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) continue;
    // Rewritten before every turn, so edits of the two documents apply at once.
    std::ofstream f(dir / RUNTIME_PROMPT_FILE, std::ios::binary | std::ios::trunc);
    if (!f) continue;
    f << body;
    f.flush();
    if (!f) continue;
    return std::make_pair(dir, std::string(RUNTIME_PROMPT_FILE));
  }
  return std::nullopt;
}

std::string Assistant::_build_claude_system_prompt() const {
  const std::string rules = _read_text_safe(_claude_arch_dir / RULES_FILE);
  const std::string index = _read_text_safe(_claude_arch_dir / INDEX_FILE);
  std::vector<std::string> sections = {
      "你正在透過 Claude Code CLI 為 Morvane 的使用者提供協助。以下是你必須遵守的規範與專案架構索引；"
      "需要更細的內容時，可用 Read 工具讀取 " + _claude_arch_dir.string() + " 下的 詳細說明*.md 檔。",
      _lang_directive()};
  if (!rules.empty()) sections.push_back(kRulesHeader + rules);
  if (!index.empty()) sections.push_back(kIndexHeader + index);
  return join(sections, "\n\n");
}

}  // namespace morvane::assistant
