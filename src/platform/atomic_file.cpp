// Reading whole files: the same on every platform.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/atomic_file.h"

namespace morvane {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    int e = errno;
    throw std::runtime_error("[Errno " + std::to_string(e) + "] " + std::strerror(e) + ": '" + path.string() + "'");
  }
  std::ostringstream ss;
  ss << f.rdbuf();
  if (f.bad()) throw std::runtime_error("read error: '" + path.string() + "'");
  return ss.str();
}

}  // namespace morvane
