#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/atomic_file.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {
using morvane::testing::TempDir;

}  // namespace

TEST(AtomicFile, ReplacesContentAndLeavesNoTemporaryFile) {
  TempDir d;
  fs::path f = d.path / "settings.json";
  morvane::write_file_atomic(f, "one");
  morvane::write_file_atomic(f, "two");
  EXPECT_EQ(morvane::read_file(f), "two");
  int n = 0;
  for (auto& e : fs::directory_iterator(d.path)) n += e.is_regular_file();
  EXPECT_EQ(n, 1);
}

TEST(AtomicFile, AppliesTheRequestedMode) {
  TempDir d;
  fs::path f = d.path / "sessions.json";
  ::umask(022);
  morvane::write_file_atomic(f, "{}", 0600);
  struct stat st {};
  ASSERT_EQ(::stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(AtomicFile, FailureKeepsTheOldFile) {
  TempDir d;
  fs::path f = d.path / "settings.json";
  morvane::write_file_atomic(f, "old");
  // A directory in the way of the rename makes the save fail.
  fs::path blocked = d.path / "dir";
  fs::create_directories(blocked / "inner");
  EXPECT_THROW(morvane::write_file_atomic(blocked, "new"), std::runtime_error);
  EXPECT_THROW(morvane::write_file_atomic(d.path / "missing" / "x.json", "new"), std::runtime_error);
  EXPECT_EQ(morvane::read_file(f), "old");
  EXPECT_THROW(morvane::read_file(d.path / "absent"), std::runtime_error);
}


TEST(AtomicFile, AppendedLinesNeverJoinTheLastOne) {
  TempDir d;
  fs::path f = d.path / "known_hosts";
  ::umask(022);
  ASSERT_TRUE(morvane::append_line(f, "first"));  // created, with a line end added
  struct stat st {};
  ASSERT_EQ(::stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  { std::ofstream(f, std::ios::app) << "edited by hand"; }  // no line end
  ASSERT_TRUE(morvane::append_line(f, "second\n"));
  EXPECT_EQ(morvane::read_file(f), "first\nedited by hand\nsecond\n");
  EXPECT_FALSE(morvane::append_line(d.path / "missing" / "known_hosts", "x"));
}
