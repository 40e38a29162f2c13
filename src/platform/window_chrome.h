#pragma once
// Window chrome the application asks for without knowing which toolkit draws the window.
#include <functional>
#include <string>

namespace morvane::platform {

// Asks the top-level window titled exactly `title` for a dark title bar. Returns false when
// no such window was found or nothing could be asked; never throws.
bool apply_dark_titlebar(const std::string& title);

// Where the window belongs to a toolkit running in this process (GTK), its host says how to
// darken it; an empty function removes the handler. Without one, POSIX has nothing to ask.
using DarkTitlebarHandler = std::function<bool(const std::string& title)>;
void set_dark_titlebar_handler(DarkTitlebarHandler handler);

}  // namespace morvane::platform
