// sessions.json and settings.json as a user or a crash might leave them: loading never
// crashes, and whatever loads can be saved and loaded again unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/session_store.h"
#include "app/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fs = std::filesystem;
  // In memory where there is a tmpfs: each save syncs its file, which on a disk costs more
  // than everything else the input does.
  static fs::path dir = [] {
    std::error_code ec;
    std::string tmpl = (fs::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp") + std::string("/morvane-fuzz-XXXXXX");
    if (!mkdtemp(tmpl.data())) abort();
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
    });
    return fs::path(tmpl);
  }();
  std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* name : {"sessions.json", "settings.json"}) {
    std::ofstream(dir / name, std::ios::binary | std::ios::trunc) << text;
  }
  std::fflush(stdout);
  int saved = dup(1);
  FILE* null = std::freopen("/dev/null", "w", stdout);  // diagnostics of bad files
  {
    morvane::Settings settings(dir / "settings.json");
    settings.load();
    settings.force_supported_language();
    settings.set_language(morvane::Json("zh-Hant"));
    settings.t("err.conn_fail", {{"err", text}});
    morvane::Settings again(dir / "settings.json");
    again.load();
    if (again.snapshot() != settings.snapshot()) abort();

    morvane::SessionStore store(dir / "sessions.json");
    store.load();
    store.list_json();
    store.save_session(morvane::Json::parse(R"({"name": "n"})"));
    morvane::SessionStore reread(dir / "sessions.json");
    reread.load();
    if (reread.list_json() != store.list_json()) abort();
  }
  std::fflush(stdout);
  if (null) dup2(saved, 1);
  close(saved);
  for (auto& e : fs::directory_iterator(dir)) fs::remove_all(e.path());
  return 0;
}
