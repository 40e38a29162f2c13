// Atomic files on POSIX: a temporary file beside the target, fsync, rename, fsync of the folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/atomic_file.h"
#include "util/uuid.h"

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
}

bool append_line(const std::filesystem::path& path, std::string line, int mode) {
  if (line.empty() || line.back() != '\n') line += '\n';
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, mode);
  if (fd < 0) return false;
  char last = '\n';
  off_t size = ::lseek(fd, 0, SEEK_END);
  if (size > 0 && ::pread(fd, &last, 1, size - 1) == 1 && last != '\n') line.insert(line.begin(), '\n');
  bool ok = true;
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && ok;
}
}  // namespace morvane
