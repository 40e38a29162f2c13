#include "util/atomic_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "util/uuid.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace morvane {

namespace {
std::runtime_error sys_error(const std::string& what, const std::filesystem::path& p) {
  return std::runtime_error("[Errno " + std::to_string(errno) + "] " + std::strerror(errno) + ": '" + p.string() +
                            "'" + (what.empty() ? "" : " (" + what + ")"));
}
}  // namespace

void write_file_atomic(const std::filesystem::path& path, const std::string& content, int mode) {
  std::filesystem::path tmp = path;
  tmp += ".tmp-" + uuid4_hex().substr(0, 8);
#ifdef _WIN32
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
#else
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) throw sys_error("", path);
  // The umask must not widen or narrow what the caller asked for.
  ::fchmod(fd, static_cast<mode_t>(mode));
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      auto e = sys_error("", path);
      ::close(fd);
      ::unlink(tmp.c_str());
      throw e;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) {
    auto e = sys_error("", path);
    ::close(fd);
    ::unlink(tmp.c_str());
    throw e;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    auto e = sys_error("", path);
    ::unlink(tmp.c_str());
    throw e;
  }
  // Make the rename itself durable.
  int dfd = ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
#endif
}

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
