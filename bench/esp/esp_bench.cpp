// Flashing speed over a serial line at its baud rate: a 4 MB firmware image written through
// a serial tab (the application's whole path: the tab's reader feeds the flasher, the flasher
// writes through the tab's connection) to the emulated ROM loader on the far end of a socat
// PTY pair, whose UART moves bytes no faster than the baud rate allows (8N1: baud/10 bytes
// a second each way). Once compressed, once raw. The peer is the same paced line carrying
// 4 MB of plain bytes in the same run: the line's real capacity, so the ratio says how much
// of it the flasher turns into flash contents (compression can push it above 1).
//
// MORVANE_ESP_BENCH_BAUD sets the emulated rate (default 921600, a usual flashing rate).
#include <poll.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>

#include "app/morvane_app.h"
#include "common/ratio.h"
#include "common/rom_board.h"
#include "esp/flash_bench.h"
#include "kinds/serial/esp_flash.h"
#include "kinds/serial/serial_kind.h"
#include "socat_pair.h"

namespace fs = std::filesystem;
using namespace morvane;
using namespace morvane::esp::test;
using morvane::serial::testing::SocatPair;
using morvane::serial::testing::open_raw;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kImage = 4u << 20;

uint32_t baud() {
  const char* b = std::getenv("MORVANE_ESP_BENCH_BAUD");
  long v = b ? std::atol(b) : 921600;
  return uint32_t(std::clamp(v, 9600L, 4000000L));
}

// A merged firmware image as a large application looks: Xtensa-like code (3-byte words drawn
// from a skewed vocabulary, as compilers reuse a few instruction forms and registers), string
// tables (log and error messages), initialised data with many zero words, and incompressible
// stretches (certificates, compressed assets, calibration tables), interleaved in sections of
// a few KB; no large erased (0xFF) gaps, which would flatter compression.
Bytes firmware_image(size_t size) {
  std::mt19937 r(2026);
  std::vector<uint32_t> vocab(4096);
  for (auto& w : vocab) w = r() & 0xFFFFFF;
  const char* words[] = {"wifi", "connect", "failed", "timeout", "error", "init", "task", "queue", "sensor",
                         "mqtt", "http", "GET", "handler", "buffer", "alloc", "ESP_LOG", "%d", "%s", "0x%08x",
                         "heap", "partition", "nvs", "event", "loop", "started", "stopped", "retry", "ok"};
  Bytes b;
  b.reserve(size);
  std::geometric_distribution<int> skew(0.004);
  while (b.size() < size) {
    const size_t section = 1024 + r() % 8192;
    const unsigned kind = r() % 100;
    for (size_t k = 0; k < section; ) {
      if (kind < 55) {  // code
        uint32_t w = vocab[std::min<int>(skew(r), 4095)];
        for (int i = 0; i < 3; ++i) b.push_back(uint8_t(w >> (8 * i)));
        k += 3;
      } else if (kind < 72) {  // strings
        std::string s = words[r() % std::size(words)];
        s += r() % 4 ? ' ' : '\0';
        b.insert(b.end(), s.begin(), s.end());
        k += s.size();
      } else if (kind < 85) {  // data: small integers and pointers, zero words
        uint32_t v = r() % 3 == 0 ? 0 : r() % 2 ? r() % 256 : 0x3FFB0000 | (r() & 0xFFFC);
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
        k += 4;
      } else {  // incompressible
        b.push_back(uint8_t(r()));
        k += 1;
      }
    }
  }
  b.resize(size);
  return b;
}

size_t deflated_size(const Bytes& b) {
  uLongf n = compressBound(uLong(b.size()));
  Bytes out(n);
  compress2(out.data(), &n, b.data(), uLong(b.size()), 9);
  return n;
}

// Records the flasher's events as the page gets them.
struct EventPage : Host {
  std::mutex mu;
  std::string done;  // the "done" call
  Clock::time_point first_writing{}, first_verifying{};
  bool exists() override { return true; }
  void evaluate(const std::string& s) override {
    if (s.find("xferOnEvent(") == std::string::npos) return;
    std::lock_guard lk(mu);
    if (s.find("\"kind\": \"done\"") != std::string::npos) done = s;
    if (first_writing == Clock::time_point{} && s.find("\"stage\": \"writing\"") != std::string::npos)
      first_writing = Clock::now();
    if (first_verifying == Clock::time_point{} && s.find("\"stage\": \"verifying\"") != std::string::npos)
      first_verifying = Clock::now();
  }
  void create_window(const WindowSpec&, Bridge&, std::function<bool()>) override {}
  void run_loop() override {}
};

// Plain bytes (none of them a frame delimiter, so the listening loader ignores them) into the
// paced line; seconds until the board took them all.
double raw_line_seconds(uint32_t rate_baud) {
  SocatPair pair;
  int far = open_raw(pair.b), near = open_raw(pair.a);
  double secs = -1;
  {
    RomBoard board(far, rom_chip("esp32"), rate_baud);
    board.boot_button();
    Bytes data(kImage);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i % 0xC0);
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration<double>(3.0 * kImage / (rate_baud / 10.0) + 30);
    size_t sent = 0;
    while (board.received < kImage && Clock::now() < deadline) {
      if (sent < data.size()) {
        ssize_t n = ::write(near, data.data() + sent, data.size() - sent);
        if (n > 0) sent += size_t(n);
      }
      // Keep the download banner from filling the near end.
      uint8_t sink[4096];
      while (::read(near, sink, sizeof sink) > 0) {
      }
      struct pollfd p{near, POLLOUT, 0};
      ::poll(&p, 1, 5);
    }
    if (board.received >= kImage) secs = std::chrono::duration<double>(Clock::now() - start).count();
  }
  ::close(near);
  ::close(far);
  return secs;
}

struct FlashRun {
  double seconds = -1, write_seconds = -1;
  bool verified = false;
  std::string failure;
};

FlashRun flash_round(const Bytes& image, bool compress, uint32_t rate_baud) {
  FlashRun out;
  SocatPair pair;
  int far = open_raw(pair.b);
  char tmpl[] = "/tmp/morvane-espbench-XXXXXX";
  fs::path dir = ::mkdtemp(tmpl);
  const fs::path file = dir / "merged-firmware.bin";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  {
    EventPage page;
    auto app = std::make_unique<MorvaneApp>(QueueMap{}, EventMap{}, dir, dir);
    app->set_window(&page);
    app->connect_delay_sec = 0;
    RomBoard board(far, rom_chip("esp32"), rate_baud);
    auto& flash = app->kinds.get<kinds::SerialKind>("serial")->esp_flash();
    // A PTY has no modem lines: the reset actions press the emulated board's buttons instead.
    flash.reset_funcs = [&board](const std::string&) {
      return esp::ResetFuncs{{"hard_reset", [&board] { board.reset_button(); }},
                             {"enter_bootloader_uart", [&board] { board.boot_button(); }},
                             {"enter_bootloader_usb", [] { throw std::runtime_error("not attached over USB"); }}};
    };
    Json s = {{"protocol", "serial"}, {"host", pair.a}, {"port", int(rate_baud)}};
    std::string tab = app->connect_session(app->save_session(s)["id"].get<std::string>())["tab_id"];
    const auto open_by = Clock::now() + std::chrono::seconds(10);
    while (!app->kinds.get<kinds::SerialKind>("serial")->_serial_port(tab) && Clock::now() < open_by)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    Json r = flash.esp_flash_start(tab, "esp-flash", Json::array({{{"path", file.string()}, {"offset", 0}}}),
                                   {{"chip", "esp32"}, {"interface", "uart"}, {"compress", compress}});
    if (r != Json{{"ok", true}}) {
      out.failure = r.dump();
    } else {
      const auto deadline = start + std::chrono::duration<double>(3.0 * kImage / (rate_baud / 10.0) + 60);
      std::string done;
      while (Clock::now() < deadline) {
        {
          std::lock_guard lk(page.mu);
          done = page.done;
        }
        if (!done.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      const auto end = Clock::now();
      if (done.empty()) {
        out.failure = "no end within the deadline";
      } else if (done.find("\"ok\": true") == std::string::npos) {
        out.failure = done;
      } else {
        out.seconds = std::chrono::duration<double>(end - start).count();
        std::lock_guard lk(page.mu);
        if (page.first_writing != Clock::time_point{} && page.first_verifying != Clock::time_point{})
          out.write_seconds = std::chrono::duration<double>(page.first_verifying - page.first_writing).count();
      }
    }
    out.verified = board.flash_holds(0, image);
    app->close_tab(tab);
    app.reset();
  }
  ::close(far);
  fs::remove_all(dir);
  return out;
}

const Bytes& image() {
  static const Bytes img = firmware_image(kImage);
  return img;
}

void BM_RawLine(benchmark::State& state) {
  for (auto _ : state) {
    const double s = raw_line_seconds(baud());
    if (s <= 0) return state.SkipWithError("the paced line did not carry the bytes in time");
    state.counters["kB_per_s"] = kImage / s / 1e3;
  }
}

void flash_bench(benchmark::State& state, bool compress) {
  for (auto _ : state) {
    FlashRun r = flash_round(image(), compress, baud());
    if (!r.failure.empty()) return state.SkipWithError(("flashing failed: " + r.failure).c_str());
    if (!r.verified) return state.SkipWithError("the emulated flash does not hold the image");
    state.counters["kB_per_s"] = kImage / r.seconds / 1e3;
    if (r.write_seconds > 0) state.counters["writing_kB_per_s"] = kImage / r.write_seconds / 1e3;
  }
}
void BM_FlashCompressed(benchmark::State& state) { flash_bench(state, true); }
void BM_FlashRaw(benchmark::State& state) { flash_bench(state, false); }

BENCHMARK(BM_RawLine)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FlashCompressed)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FlashRaw)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!SocatPair::available()) {
    std::fprintf(stderr, "esp_bench needs socat\n");
    return 1;
  }
  const uint32_t b = baud();
  std::printf("line: %u baud 8N1, nominal capacity %.1f kB/s; image %zu bytes, zlib level 9 makes it %zu (%.2f:1)\n", b,
              b / 10.0 / 1e3, kImage, deflated_size(image()), double(kImage) / double(deflated_size(image())));
  bench::RatioReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\n");
  rep.ratio("4 MB flashed compressed vs raw line", "BM_FlashCompressed", "BM_RawLine", "kB_per_s", "> 1");
  rep.ratio("4 MB flashed uncompressed vs raw line", "BM_FlashRaw", "BM_RawLine", "kB_per_s", "close to 1");
  const double raw = rep.get("BM_RawLine", "kB_per_s");
  std::printf("measured raw line %.1f kB/s = %.3f of the nominal baud/10\n", raw, raw / (b / 10.0 / 1e3));
  benchmark::Shutdown();
  return 0;
}
