#pragma once
// Where PuTTY keeps its saved sessions on this platform, read as raw records.
#include <filesystem>

#include "util/json.h"

namespace morvane::putty {

// Every saved session of the current user as raw records, in the store's order; an empty
// sequence when PuTTY was never used or the store cannot be opened. A session that cannot
// be read is left out. Read on every call, nothing cached.
Json _read_putty_registry_sessions();

#ifndef _WIN32
// PuTTY's Unix store: $PUTTYDIR when set; otherwise ~/.putty, or $XDG_CONFIG_HOME/putty
// (~/.config/putty) when only that one exists. Sessions are in its "sessions" folder.
std::filesystem::path unix_store_dir();
// The session files of one "sessions" folder, in the order of their file names.
Json read_session_dir(const std::filesystem::path& sessions_dir);
#endif

}  // namespace morvane::putty
