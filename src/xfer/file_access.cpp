// Local files for the transfer engines, and the rules for names a peer sends.
#include "xfer/file_access.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace morvane::xfer {
namespace fs = std::filesystem;
namespace {

// Names are UTF-8 everywhere; Windows would read a plain string in the ANSI code page.
fs::path utf8_path(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

std::string os_error(int e) { return std::strerror(e); }

class LocalSource final : public FileSource {
 public:
  LocalSource(std::FILE* f, uint64_t size, int64_t mtime) : f_(f), size_(size), mtime_(mtime) {}
  ~LocalSource() override { std::fclose(f_); }
  uint64_t size() const override { return size_; }
  int64_t mtime() const override { return mtime_; }
  long read(uint64_t offset, uint8_t* buf, size_t n, std::string& err) override {
    if (offset != pos_ && fseeko(f_, static_cast<off_t>(offset), SEEK_SET) != 0) {
      err = os_error(errno);
      return -1;
    }
    size_t got = std::fread(buf, 1, n, f_);
    if (got < n && std::ferror(f_)) {
      err = os_error(errno);
      return -1;
    }
    pos_ = offset + got;
    return static_cast<long>(got);
  }

 private:
  std::FILE* f_;
  uint64_t size_;
  int64_t mtime_;
  uint64_t pos_ = 0;
};

class LocalSink final : public FileSink {
 public:
  LocalSink(std::FILE* f, std::string dir, std::string name, std::string part)
      : f_(f), dir_(std::move(dir)), name_(std::move(name)), part_(std::move(part)) {}
  ~LocalSink() override { discard(); }
  bool write(const uint8_t* p, size_t n, std::string& err) override {
    if (!f_) {
      err = "file is closed";
      return false;
    }
    if (std::fwrite(p, 1, n, f_) != n) {
      err = os_error(errno);
      return false;
    }
    return true;
  }
  bool commit(std::string& final_path, std::string& err) override {
    if (!f_) {
      err = "file is closed";
      return false;
    }
    int rc = std::fflush(f_);
    int e = errno;
    rc |= std::fclose(f_);
    if (rc != 0) e = e ? e : errno;
    f_ = nullptr;
    if (rc != 0) {
      err = os_error(e);
      return false;
    }
    final_path = unused_path(dir_, name_);
    std::error_code ec;
    fs::rename(part_, final_path, ec);
    if (ec) {
      err = ec.message();
      return false;
    }
    part_.clear();
    return true;
  }
  void discard() noexcept override {
    if (f_) std::fclose(f_);
    f_ = nullptr;
    if (!part_.empty()) {
      std::error_code ec;
      fs::remove(part_, ec);
      part_.clear();
    }
  }

 private:
  std::FILE* f_;
  std::string dir_, name_, part_;
};

class LocalFiles final : public FileAccess {
 public:
  std::unique_ptr<FileSource> open_read(const std::string& path, std::string& err) override {
    std::error_code ec;
    auto st = fs::status(path, ec);
    if (ec || !fs::is_regular_file(st)) {
      err = ec ? ec.message() : "not a regular file";
      return nullptr;
    }
    uint64_t size = fs::file_size(path, ec);
    if (ec) {
      err = ec.message();
      return nullptr;
    }
    int64_t mtime = 0;
    auto t = fs::last_write_time(path, ec);
    if (!ec) {
      auto sys = std::chrono::file_clock::to_sys(t);
      mtime = std::chrono::duration_cast<std::chrono::seconds>(sys.time_since_epoch()).count();
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
      err = os_error(errno);
      return nullptr;
    }
    return std::make_unique<LocalSource>(f, size, mtime);
  }

  std::unique_ptr<FileSink> create(const std::string& dir, const std::string& name,
                                   std::string& err) override {
    std::error_code ec;
    fs::create_directories(dir, ec);
    // "x" never opens an existing file, so two transfers cannot share a partial file.
    std::string part = unused_path(dir, name + ".part");
    std::FILE* f = std::fopen(part.c_str(), "wbx");
    if (!f) {
      err = os_error(errno);
      return nullptr;
    }
    return std::make_unique<LocalSink>(f, dir, name, part);
  }
};

bool is_device_name(std::string_view name) {
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (auto& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$")
    return true;
  return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
         base[3] >= '0' && base[3] <= '9';
}

}  // namespace

std::shared_ptr<FileAccess> local_files() { return std::make_shared<LocalFiles>(); }

std::string sanitize_name(std::string_view peer_name) {
  size_t cut = peer_name.find_last_of("/\\");
  std::string_view base = cut == std::string_view::npos ? peer_name : peer_name.substr(cut + 1);
  std::string out;
  for (char ch : base) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) continue;
    if (std::strchr(":*?\"<>|", ch)) out.push_back('_');
    else out.push_back(ch);
  }
  // Windows drops trailing dots and blanks, which would turn "a.txt." into another file.
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(out.begin());
  if (out.empty() || out == "." || out == "..") out = "received";
  if (is_device_name(out)) out = "_" + out;
  // Bound the length without cutting a UTF-8 sequence in two.
  constexpr size_t kMax = 200;
  if (out.size() > kMax) {
    size_t n = kMax;
    while (n > 0 && (static_cast<unsigned char>(out[n]) & 0xC0) == 0x80) --n;
    out.resize(n);
  }
  return out;
}

std::string base_name(std::string_view path) {
  size_t cut = path.find_last_of("/\\");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string unused_path(const std::string& dir, const std::string& name) {
  fs::path d(dir);
  fs::path first = d / utf8_path(name);
  std::error_code ec;
  if (!fs::exists(first, ec)) return first.string();
  std::string stem = name, ext;
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) {
    stem = name.substr(0, dot);
    ext = name.substr(dot);
  }
  for (int i = 1;; ++i) {
    fs::path p = d / utf8_path(stem + " (" + std::to_string(i) + ")" + ext);
    if (!fs::exists(p, ec)) return p.string();
  }
}

}  // namespace morvane::xfer
