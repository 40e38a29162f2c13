#pragma once
// Where the program keeps its data and finds its resources, and the search path for programs.
// These live in namespace morvane, where the application has always declared the first two.
#include <filesystem>
#include <string>
#include <vector>

namespace morvane {

// The platform's data directory: $XDG_DATA_HOME/halvren/Morvane (default
// ~/.local/share/halvren/Morvane) on POSIX, C:/halvren/Morvane on Windows.
std::filesystem::path default_data_dir();
// The folder of the running executable (resources are found beside it).
std::filesystem::path executable_dir();
// The user's home folder: $HOME, else the account's entry (POSIX); %USERPROFILE% (Windows).
// Empty when none is known.
std::filesystem::path home_dir();
// The full path of an executable program `name` in a folder of the search path, or "" when
// there is none. A name with a folder in it is checked as it is. POSIX: PATH (an empty entry is
// the current folder; without PATH, /usr/local/bin:/usr/bin:/bin). Windows: the system's
// search order (SearchPath).
std::string find_on_path(const std::string& name);
// The names a program called `name` may carry here: "puttygen.exe" is also "puttygen" on POSIX.
std::vector<std::string> program_name_variants(const std::string& name);
// Folders where the usual installers put well-known tools, looked at before the search path
// (PuTTY's folders under Program Files on Windows; none on POSIX).
std::vector<std::filesystem::path> installed_program_dirs();

}  // namespace morvane
