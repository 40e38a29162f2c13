#pragma once
// A MorvaneApp in a temporary data folder, shown on a page that is always there and
// ignores page calls: what the benchmarks that drive tabs through the application share.
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/morvane_app.h"

namespace morvane::bench {

struct QuietPage : Host {
  bool exists() override { return true; }
  void evaluate(const std::string&) override {}
  void create_window(const WindowSpec&, Bridge&, std::function<bool()>) override {}
  void run_loop() override {}
};

// Whether a tab's connection is up.
inline bool connected(const TabRef& tab) {
  auto c = tab ? tab->conn() : nullptr;
  return c && c->state() == ConnectionState::connected;
}

struct BenchApp {
  std::filesystem::path dir;
  QuietPage page;
  std::unique_ptr<MorvaneApp> app;
  BenchApp() {
    char tmpl[] = "/tmp/morvane-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    app = std::make_unique<MorvaneApp>(QueueMap{}, EventMap{}, dir, dir);
    app->set_window(&page);
    app->connect_delay_sec = 0;
  }
  ~BenchApp() {
    app.reset();
    std::filesystem::remove_all(dir);
  }
};

}  // namespace morvane::bench
