// sessions.json and settings.json as a user or a crash might leave them: loading never
// crashes, and whatever loads can be saved and loaded again.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "app/morvane_app.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fs = std::filesystem;
  static fs::path dir = [] {
    char tmpl[] = "/tmp/morvane-fuzz-XXXXXX";
    return fs::path(mkdtemp(tmpl));
  }();
  std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* name : {"sessions.json", "settings.json"}) {
    std::ofstream(dir / name, std::ios::binary | std::ios::trunc) << text;
  }
  std::fflush(stdout);
  int saved = dup(1);
  FILE* null = std::freopen("/dev/null", "w", stdout);  // diagnostics of bad files
  {
    morvane::MorvaneApp app({}, {}, dir, dir);
    app.get_initial_state();
    app.save_session(morvane::Json::parse(R"({"name": "n"})"));
    app.set_language("zh-Hant");
    app._t("err.conn_fail", {{"err", text}});
  }
  std::fflush(stdout);
  if (null) dup2(saved, 1);
  close(saved);
  for (auto& e : fs::directory_iterator(dir)) fs::remove_all(e.path());
  return 0;
}
