#pragma once
// The application with the stand-in tool (fake_claude.sh) as "claude" on the search path, a
// home folder of its own, and the prompt documents in a resource folder.
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../app/app_fixture.h"

namespace morvane::testing {

inline std::vector<std::string> split_nul(const std::string& s) {
  std::vector<std::string> v;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] == '\0') {
      v.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  return v;
}

// Puts a variable back as it was when the test ends.
struct EnvGuard {
  std::string name;
  std::optional<std::string> old;
  EnvGuard(std::string n, const std::string& value) : name(std::move(n)) {
    if (const char* v = std::getenv(name.c_str())) old = v;
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  ~EnvGuard() {
    if (old) ::setenv(name.c_str(), old->c_str(), 1);
    else ::unsetenv(name.c_str());
  }
};

struct AssistantFixture : AppFixture {
  fs::path bin() const { return dir.path / "bin"; }
  fs::path home() const { return dir.path / "home"; }
  fs::path runs() const { return dir.path / "runs"; }
  fs::path arch() const { return res() / "architecture"; }
  std::vector<std::unique_ptr<EnvGuard>> env;

  void SetUp() override {
    fs::create_directories(bin());
    fs::create_directories(home());
    fs::create_directories(runs());
    fs::create_directories(arch());
    env.push_back(std::make_unique<EnvGuard>("HOME", home().string()));
    env.push_back(std::make_unique<EnvGuard>("USERPROFILE", ""));
    env.push_back(std::make_unique<EnvGuard>("NPM_CONFIG_PREFIX", ""));
    env.push_back(std::make_unique<EnvGuard>("FAKE_CLAUDE_DIR", runs().string()));
    env.push_back(std::make_unique<EnvGuard>("PATH", bin().string() + ":/usr/bin:/bin"));
  }
  void TearDown() override {
    AppFixture::TearDown();
    env.clear();
  }

  // The stand-in as an executable named `name` in folder `where`.
  fs::path install_tool(const fs::path& where, const std::string& name = "claude") {
    fs::create_directories(where);
    fs::path p = where / name;
    fs::copy_file(FAKE_CLAUDE_SCRIPT, p, fs::copy_options::overwrite_existing);
    fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    return p;
  }
  void mode(const std::string& m) { write_text(runs() / "mode", m); }
  size_t run_count() const {
    size_t n = 0;
    for (auto& e : fs::directory_iterator(runs())) {
      const std::string f = e.path().filename().string();
      n += f.rfind("run-", 0) == 0 && e.path().extension() == ".argv";
    }
    return n;
  }
  std::vector<std::string> argv_of(int run) { return split_nul(read_text(runs() / ("run-" + std::to_string(run) + ".argv"))); }
  std::string stdin_of(int run) { return read_text(runs() / ("run-" + std::to_string(run) + ".stdin")); }

  assistant::Assistant& ai() { return *app->assistant; }
  Json send(const std::string& text, Json terminal = "", Json target = nullptr, Json timeout = 30, Json tab_texts = nullptr) {
    return app->bridge.call("claude_send", Json::array({text, terminal, target, timeout, false, tab_texts}));
  }

  // A tab in the table without a connection (the prompt only reads its settings).
  std::string add_tab(const std::string& id, const std::string& session_json, const std::string& display,
                      const std::string& encoding = "utf-8", bool alive = true) {
    Json sess = Json::parse(session_json);
    auto rec = app->sessions.save_session(sess).record;
    auto tab = std::make_shared<Tab>(id);
    tab->session = rec;
    tab->display = display;
    tab->protocol = json::get_str(sess, "protocol");
    tab->encoding = encoding;
    tab->failed = !alive;
    app->tabs.add(tab);
    return id;
  }
};

}  // namespace morvane::testing
