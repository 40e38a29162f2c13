#pragma once
// A tiny tmpfs for full-disk and read-only cases. Mounting needs privileges: without them
// the test is skipped, except under CI, where it must run.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace morvane::testing {

struct SmallDisk {
  std::filesystem::path dir;
  bool mounted = false;
  std::string why;

  // options as for mount -o, e.g. "size=64k" or "size=1m,nr_inodes=16".
  SmallDisk(const std::filesystem::path& where, const std::string& options) : dir(where) {
    std::filesystem::create_directories(dir);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0) mounted = true;
    else why = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
  }
  // Fills the space, or with inodes=true every free inode.
  void fill(bool inodes = false) {
    if (inodes) {
      for (int i = 0; i < 100000; ++i) {
        std::ofstream f(dir / ("filler-" + std::to_string(i)));
        if (!f) return;
      }
      ADD_FAILURE() << "the inodes never ran out";
      return;
    }
    std::ofstream f(dir / "filler", std::ios::binary);
    std::string block(4096, 'x');
    for (int i = 0; i < 100000 && f; ++i) f.write(block.data(), block.size()), f.flush();
  }
  bool remount_read_only() {
    return ::mount("tmpfs", dir.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
};

#define REQUIRE_MOUNTED(disk)                                                                   \
  do {                                                                                          \
    if (!(disk).mounted) {                                                                      \
      if (std::getenv("CI")) FAIL() << "cannot mount a tmpfs for this test: " << (disk).why;    \
      GTEST_SKIP() << "cannot mount a tmpfs (needs privileges): " << (disk).why;                \
    }                                                                                           \
  } while (0)

}  // namespace morvane::testing
