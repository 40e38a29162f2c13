#pragma once
// A fresh folder under /tmp for one test, removed with everything in it afterwards.
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace morvane::testing {

struct TempDir {
  std::filesystem::path path;
  explicit TempDir(const std::string& prefix = "morvane-test") {
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    path = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

}  // namespace morvane::testing
