#pragma once
#include <map>
#include <string>

namespace morvane {
// Language code -> text key -> text (PY_I18N).
using TextTable = std::map<std::string, std::map<std::string, std::string>>;
const TextTable& py_i18n();
}  // namespace morvane
