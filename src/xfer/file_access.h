#pragma once
// The engines' only way to files, so tests can use temporary folders and model a full disk.
// Received data goes to a ".part" name and gets its final name only when the file is whole;
// an existing file is never overwritten (a numbered name is chosen instead), and a name the
// peer sent never leaves the receive folder.
#include <cstdint>
#include <memory>
#include <string>

namespace morvane::xfer {

class FileSource {
 public:
  virtual ~FileSource() = default;
  virtual uint64_t size() const = 0;
  virtual int64_t mtime() const = 0;  // seconds since the epoch, 0 when unknown
  // Reads up to n bytes at offset; returns the count, or -1 with err set.
  virtual long read(uint64_t offset, uint8_t* buf, size_t n, std::string& err) = 0;
};

class FileSink {
 public:
  virtual ~FileSink() = default;
  virtual bool write(const uint8_t* p, size_t n, std::string& err) = 0;
  // Gives the file its final name; final_path receives it.
  virtual bool commit(std::string& final_path, std::string& err) = 0;
  // Removes the partial file. Called for a failed or cancelled file; safe after commit.
  virtual void discard() noexcept = 0;
};

class FileAccess {
 public:
  virtual ~FileAccess() = default;
  virtual std::unique_ptr<FileSource> open_read(const std::string& path, std::string& err) = 0;
  // name is already sanitised; dir is the receive folder.
  virtual std::unique_ptr<FileSink> create(const std::string& dir, const std::string& name,
                                           std::string& err) = 0;
};

// The local file system.
std::shared_ptr<FileAccess> local_files();

// A peer's file name made safe for the receive folder: the last path component only, no
// "." or "..", no control or reserved characters, no Windows device names, bounded length.
std::string sanitize_name(std::string_view peer_name);

// The last component of a local path, the name a sender announces.
std::string base_name(std::string_view path);

// The final path for name in dir that does not exist yet: "a.txt", "a (1).txt", ...
std::string unused_path(const std::string& dir, const std::string& name);

}  // namespace morvane::xfer
