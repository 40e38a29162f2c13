#pragma once
// A temporary data directory, a recording page and helpers shared by the app tests.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "app/morvane_app.h"
#include "temp_dir.h"

namespace morvane::testing {

namespace fs = std::filesystem;

// Records every script the application evaluates in the page.
class RecordingHost : public Host {
 public:
  bool exists() override { return true; }
  void evaluate(const std::string& script) override {
    std::lock_guard<std::mutex> lock(mu);
    scripts.push_back(script);
  }
  void create_window(const WindowSpec& s, Bridge&, std::function<bool()> closing) override {
    spec = s;
    on_closing = std::move(closing);
  }
  void run_loop() override {}
  void hide() override { hidden = true; }
  bool start_tray(const TrayMenu& m) override {
    menu = m;
    return tray;
  }
  void stop_tray() override { tray_stopped = true; }

  std::vector<std::string> all() {
    std::lock_guard<std::mutex> lock(mu);
    return scripts;
  }
  size_t count(const std::string& needle) {
    size_t n = 0;
    for (auto& s : all()) n += s.find(needle) != std::string::npos;
    return n;
  }
  // Waits until a script containing needle has been evaluated.
  bool wait_for(const std::string& needle, double seconds = 10) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      if (count(needle)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::mutex mu;
  std::vector<std::string> scripts;
  WindowSpec spec;
  std::function<bool()> on_closing;
  TrayMenu menu;
  bool tray = true;
  bool hidden = false;
  bool tray_stopped = false;
};

inline void write_text(const fs::path& p, const std::string& s) {
  std::ofstream f(p, std::ios::binary);
  f << s;
}

inline std::string read_text(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Captures what the code under test writes to stdout (diagnostics).
class CaptureStdout {
 public:
  CaptureStdout() { ::testing::internal::CaptureStdout(); }
  std::string take() {
    if (done_) return out_;
    done_ = true;
    out_ = ::testing::internal::GetCapturedStdout();
    return out_;
  }
  ~CaptureStdout() { take(); }

 private:
  bool done_ = false;
  std::string out_;
};

struct AppFixture : ::testing::Test {
  TempDir dir;
  RecordingHost page;
  std::unique_ptr<MorvaneApp> app;

  fs::path data() const { return dir.path / "data"; }
  fs::path res() const { return dir.path / "res"; }

  void make_app(QueueMap q = {}, EventMap e = {}) {
    fs::create_directories(res() / "html");
    write_text(res() / "html" / "index.html", "<html></html>");
    app = std::make_unique<MorvaneApp>(std::move(q), std::move(e), data(), res());
    app->set_window(&page);
  }
  void TearDown() override { app.reset(); }

  // Waits until pred() holds, polling; false after the time limit.
  template <class F>
  static bool eventually(F pred, double seconds = 10) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
  }
};

}  // namespace morvane::testing
