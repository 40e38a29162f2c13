// What the Claude Code tool prints: any bytes on either stream with any exit code give a
// well-formed result record (text fields valid UTF-8, an error only when not ok) and never
// a crash. The first byte picks the exit code, the second where standard error starts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "assistant/assistant.h"
#include "util/text.h"

namespace {
bool utf8(const std::string& s) { return morvane::text::valid_utf8_prefix(s) == s.size(); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int exit_code = static_cast<int8_t>(data[0]) % 4;
  std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  const size_t split = rest.empty() ? 0 : data[1] % (rest.size() + 1);
  using morvane::Json;
  morvane::assistant::ToolOutcome o =
      morvane::assistant::read_tool_output(exit_code, rest.substr(split), rest.substr(0, split), "claude reported an error");
  if (o.exited_ok != (exit_code == 0)) std::abort();
  if (!o.exited_ok) {
    if (o.exit_message.empty() || !utf8(o.exit_message)) std::abort();
    return 0;
  }
  const Json& r = o.result;
  if (!r.is_object() || !r["ok"].is_boolean() || !r["error"].is_string() || !r["reply"].is_string()) std::abort();
  if (!utf8(r["error"].get<std::string>()) || !utf8(r["reply"].get<std::string>())) std::abort();
  if (r["ok"].get<bool>() != r["error"].get<std::string>().empty()) std::abort();
  if (!r["ok"].get<bool>() && !r["reply"].get<std::string>().empty()) std::abort();
  if (o.session_id && (o.session_id->empty() || !utf8(*o.session_id))) std::abort();
  (void)r.dump();
  return 0;
}
