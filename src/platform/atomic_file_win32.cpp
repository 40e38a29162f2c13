// Atomic files on Windows: a temporary file beside the target, then MoveFileEx with write-through.
#include <windows.h>

#include <fstream>
#include <stdexcept>

#include "platform/atomic_file.h"
#include "util/uuid.h"

namespace morvane {

void write_file_atomic(const std::filesystem::path& path, const std::string& content, int mode) {
  std::filesystem::path tmp = path;
  tmp += ".tmp-" + uuid4_hex().substr(0, 8);
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + tmp.string());
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    f.flush();
    if (!f) {
      f.close();
      std::filesystem::remove(tmp);
      throw std::runtime_error("cannot write " + tmp.string());
    }
  }
  if (!MoveFileExW(tmp.wstring().c_str(), path.wstring().c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    std::filesystem::remove(tmp);
    throw std::runtime_error("cannot replace " + path.string());
  }
}

bool append_line(const std::filesystem::path& path, std::string line, int mode) {
  if (line.empty() || line.back() != '\n') line += '\n';
  {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (in && in.tellg() > 0) {
      in.seekg(-1, std::ios::end);
      char last = '\n';
      if (in.get(last) && last != '\n') line.insert(line.begin(), '\n');
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!out) return false;
  out.write(line.data(), static_cast<std::streamsize>(line.size()));
  out.flush();
  return static_cast<bool>(out);
}
}  // namespace morvane
