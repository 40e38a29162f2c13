#pragma once
// Files replaced whole without a half-written state, appended line by line, read whole.
#include <filesystem>
#include <string>

namespace morvane {

// Replaces path with content by writing a temporary file beside it, flushing it to disk and
// renaming it over the old one, so a crash mid-save leaves either the old or the new file,
// never a half-written one. mode applies to the new file on POSIX (0600 for secrets).
// Throws std::runtime_error with the system's reason on any failure; the old file stays.
void write_file_atomic(const std::filesystem::path& path, const std::string& content, int mode = 0644);

// Appends one line (a line end is added when missing), starting it on a line of its own when
// the file does not end with one. A new file gets mode (POSIX). False when the file cannot be
// opened or written.
bool append_line(const std::filesystem::path& path, std::string line, int mode = 0600);

// Whole file as bytes; throws std::runtime_error with the reason when it cannot be read.
std::string read_file(const std::filesystem::path& path);

}  // namespace morvane
