// The flasher on a real serial line: a socat PTY pair with the emulated ROM loader on the
// far end, the kernel's own chunking, and time-outs measured on the steady clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "../serial/socat_pair.h"
#include "flash_bench.h"

using namespace morvane::esp;
using namespace morvane::esp::test;
using morvane::Json;
using morvane::serial::testing::SocatPair;
using morvane::serial::testing::open_raw;
using morvane::serial::testing::write_all;

namespace {

int64_t clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Line {
  SocatPair pair;
  int host = open_raw(pair.a);
  int board = open_raw(pair.b);
  EmulatedRom rom{rom_chip("esp32c3")};
  std::mutex rom_mu;
  std::atomic<bool> stop{false};
  std::thread board_thread{[this] { serve(); }};

  ~Line() {
    stop = true;
    board_thread.join();
    ::close(host);
    ::close(board);
  }

  void serve() {
    uint8_t buf[4096];
    while (!stop) {
      struct pollfd p{board, POLLIN, 0};
      Bytes out;
      if (::poll(&p, 1, 5) > 0) {
        ssize_t n = ::read(board, buf, sizeof buf);
        std::lock_guard lk(rom_mu);
        if (n > 0) rom.receive(buf, size_t(n));
      }
      {
        std::lock_guard lk(rom_mu);
        out = rom.take_output();
      }
      if (!out.empty()) write_all(board, std::string(out.begin(), out.end()));
    }
  }

  ResetFuncs resets() {
    return {{"hard_reset", [this] { std::lock_guard lk(rom_mu); rom.hard_reset(); }},
            {"enter_bootloader_uart", [this] { std::lock_guard lk(rom_mu); rom.enter_download_mode(); }},
            {"enter_bootloader_usb", [] { throw std::runtime_error("not attached over USB"); }}};
  }

  // Drives the flasher as the tab's reader would; false when it did not end in time.
  bool drive(EspFlasher& f, int64_t limit_ms) {
    int64_t end = clock_ms() + limit_ms;
    f.start(clock_ms());
    uint8_t buf[4096];
    while (!f.is_done() && clock_ms() < end) {
      struct pollfd p{host, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) {
        ssize_t n = ::read(host, buf, sizeof buf);
        if (n > 0) f.feed(buf, size_t(n), clock_ms());
      }
      f.tick(clock_ms());
    }
    f.deliver_events();
    return f.is_done();
  }
};

bool have_socat() {
  if (SocatPair::available()) return true;
  if (std::getenv("CI")) ADD_FAILURE() << "socat is missing";
  return false;
}

}  // namespace

TEST(EspFlashOverPty, writes_images_through_a_serial_line) {
  if (!have_socat()) GTEST_SKIP() << "socat not installed";
  Line line;
  FlashBench files;  // only for its temporary folder
  Bytes app = firmware_bytes(120 * 1024 + 3, 11), table = firmware_bytes(3072, 12);
  std::vector<Json> events;
  FlasherConfig cfg;
  cfg.mode = "esp-flash";
  cfg.files = {{files.write_file("app.bin", app), 0x10000}, {files.write_file("partitions.bin", table), 0x8000}};
  cfg.send_bytes = [&](const Bytes& b) {
    if (!write_all(line.host, std::string(b.begin(), b.end()))) throw std::runtime_error("line write failed");
  };
  cfg.reset_funcs = line.resets();
  cfg.on_event = [&](const Json& e) { events.push_back(e); };
  EspFlasher f(std::move(cfg));
  ASSERT_TRUE(line.drive(f, 60000)) << "flashing over the PTY did not end within 60 s";
  EXPECT_TRUE(f.succeeded()) << f.reason();
  std::lock_guard lk(line.rom_mu);
  EXPECT_TRUE(std::equal(app.begin(), app.end(), line.rom.flash.begin() + 0x10000));
  EXPECT_TRUE(std::equal(table.begin(), table.end(), line.rom.flash.begin() + 0x8000));
  EXPECT_EQ(line.rom.hard_resets, 1);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["kind"], "done");
}

TEST(EspFlashOverPty, a_loader_that_goes_silent_times_out_on_the_clock) {
  if (!have_socat()) GTEST_SKIP() << "socat not installed";
  Line line;
  FlashBench files;
  {
    std::lock_guard lk(line.rom_mu);
    line.rom.stall_after_commands = 8;
  }
  FlasherConfig cfg;
  cfg.mode = "esp-flash";
  cfg.files = {{files.write_file("app.bin", firmware_bytes(64 * 1024, 1)), 0x10000}};
  cfg.send_bytes = [&](const Bytes& b) { write_all(line.host, std::string(b.begin(), b.end())); };
  cfg.reset_funcs = line.resets();
  cfg.timings.command_timeout_ms = 300;
  cfg.timings.retries = 1;
  EspFlasher f(std::move(cfg));
  int64_t t0 = clock_ms();
  ASSERT_TRUE(line.drive(f, 20000)) << "no time-out within 20 s";
  EXPECT_FALSE(f.succeeded());
  EXPECT_NE(f.reason().find("No answer from the board to"), std::string::npos) << f.reason();
  EXPECT_GE(clock_ms() - t0, 600);  // two tries of 300 ms each
}
