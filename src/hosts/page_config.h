#pragma once
// What a host tells the page before its scripts run: which host shows it and which bridge
// operations exist, so the page offers only what the native side can do.
#include <string>

#include "core/bridge.h"

namespace morvane {

// A script setting window.__MORVANE__ = {"host": HOST, "ops": [...]}.
std::string page_config_script(const std::string& host_kind, const Bridge& bridge);

// The page text with that script placed at the start of its <head> (or of the text).
std::string inject_page_config(const std::string& html, const std::string& host_kind, const Bridge& bridge);

}  // namespace morvane
