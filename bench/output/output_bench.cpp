// The output channel: received bytes decoded, translated, pushed, and drained by a second
// thread, as a reader thread and the page do; beside memcpy of the same bytes.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "app/morvane_app.h"
#include "common/ratio.h"
#include "util/encoding.h"

namespace fs = std::filesystem;
using namespace morvane;

namespace {

constexpr size_t kTotal = 64 << 20;
constexpr size_t kChunk = 4096;

// 80-column lines of mixed text in the given encoding.
std::string sample(const std::string& enc, bool multibyte) {
  std::string line = multibyte ? "連線 ok 伺服器 terminal output 測試資料 0123456789 " : "terminal output line 0123456789 abcdefghijklmnopqrstuvwxyz ";
  std::string text;
  while (text.size() < kTotal) text += line + "\r\n";
  std::string bytes = encoding::encode(text, enc);
  bytes.resize(kTotal);
  return bytes;
}

struct Channel {
  fs::path dir;
  std::unique_ptr<MorvaneApp> app;
  std::string tab;
  Channel(const std::string& enc, bool flags, bool detector = true) {
    char tmpl[] = "/tmp/morvane-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    app = std::make_unique<MorvaneApp>(QueueMap{}, EventMap{}, dir, dir);
    app->connect_delay_sec = 3600;
    if (!detector) app->transfers.sniffer_factory = nullptr;
    Json s = Json::object();
    s["protocol"] = "none";
    s["line_code_page"] = enc;
    s["lfhascr"] = flags;
    s["crhaslf"] = flags;
    tab = app->connect_session(app->save_session(s)["id"].get<std::string>())["tab_id"];
  }
  ~Channel() {
    app.reset();
    fs::remove_all(dir);
  }
};

void run_channel(benchmark::State& state, const std::string& enc, bool multibyte, bool flags, bool detector = true) {
  std::string bytes = sample(enc, multibyte);
  for (auto _ : state) {
    state.PauseTiming();
    auto owned = std::make_unique<Channel>(enc, flags, detector);
    Channel& ch = *owned;
    std::atomic<bool> done{false};
    state.ResumeTiming();
    std::thread drainer([&] {
      size_t got = 0;
      while (!done.load() || got == 0) {
        std::string s = ch.app->drain_terminal(ch.tab);
        got += s.size();
        benchmark::DoNotOptimize(s.data());
        if (s.empty()) {
          if (done.load()) break;
          std::this_thread::yield();
        }
      }
      for (std::string s; !(s = ch.app->drain_terminal(ch.tab)).empty();) benchmark::DoNotOptimize(s.data());
    });
    for (size_t off = 0; off < bytes.size(); off += kChunk) {
      std::string_view chunk(bytes.data() + off, std::min(kChunk, bytes.size() - off));
      std::string text = ch.app->_intercept_or_decode(ch.tab, chunk);
      ch.app->_push_to_term(ch.tab, text);
    }
    done = true;
    drainer.join();
    state.PauseTiming();
    owned.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["MBps"] = benchmark::Counter(static_cast<double>(bytes.size()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Memcpy(benchmark::State& state) {
  std::string src = sample("utf-8", false), dst(src.size(), '\0');
  for (auto _ : state) {
    for (size_t off = 0; off < src.size(); off += kChunk) std::memcpy(dst.data() + off, src.data() + off, std::min(kChunk, src.size() - off));
    benchmark::ClobberMemory();
  }
  state.counters["MBps"] = benchmark::Counter(static_cast<double>(src.size()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// The transfer-start detector alone, as the receive path calls it, on the same chunks: its time
// per byte over the channel's is the share of the terminal path it costs.
void BM_DetectorAlone(benchmark::State& state) {
  std::string bytes = sample("utf-8", false);
  Channel ch("utf-8", false);
  auto sniffer = ch.app->transfers.sniffer_factory(ch.tab);
  for (auto _ : state) {
    for (size_t off = 0; off < bytes.size(); off += kChunk) {
      auto r = sniffer->feed(std::string_view(bytes.data() + off, std::min(kChunk, bytes.size() - off)));
      benchmark::DoNotOptimize(r.passthrough);
    }
  }
  state.counters["MBps"] = benchmark::Counter(static_cast<double>(bytes.size()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Utf8LogFlagsOff(benchmark::State& s) { run_channel(s, "utf-8", false, false); }
void BM_Utf8LogNoDetector(benchmark::State& s) { run_channel(s, "utf-8", false, false, false); }
void BM_Utf8FlagsOff(benchmark::State& s) { run_channel(s, "utf-8", true, false); }
void BM_Utf8FlagsOn(benchmark::State& s) { run_channel(s, "utf-8", true, true); }
void BM_Big5FlagsOff(benchmark::State& s) { run_channel(s, "big5", true, false); }
void BM_Big5FlagsOn(benchmark::State& s) { run_channel(s, "big5", true, true); }

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_DetectorAlone)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Utf8LogFlagsOff)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Utf8LogNoDetector)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Utf8FlagsOff)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Utf8FlagsOn)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Big5FlagsOff)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Big5FlagsOn)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\nOutput channel against memcpy of the same bytes (MB/s of received bytes):\n");
  rep.ratio("utf-8 ASCII log, translation off", "BM_Utf8LogFlagsOff", "BM_Memcpy", "MBps", "500 MB/s absolute");
  rep.ratio("utf-8 CJK text, translation off", "BM_Utf8FlagsOff", "BM_Memcpy", "MBps", "500 MB/s absolute");
  rep.ratio("utf-8, translation on", "BM_Utf8FlagsOn", "BM_Memcpy", "MBps", "-");
  rep.ratio("big5, translation off", "BM_Big5FlagsOff", "BM_Memcpy", "MBps", "-");
  rep.ratio("big5, translation on", "BM_Big5FlagsOn", "BM_Memcpy", "MBps", "-");
  std::printf("\nThe transfer-start detector's cost on the terminal path:\n");
  rep.ratio("utf-8 ASCII log, with the detector", "BM_Utf8LogFlagsOff", "BM_Utf8LogNoDetector", "MBps", ">= 0.95, noisy");
  rep.ratio("detector time per byte / channel's", "BM_Utf8LogFlagsOff", "BM_DetectorAlone", "MBps", "<= 0.05");
  std::printf("absolute, translation off: utf-8 ASCII log %.0f MB/s, utf-8 CJK text %.0f MB/s (aim >= 500)\n",
              rep.get("BM_Utf8LogFlagsOff", "MBps"), rep.get("BM_Utf8FlagsOff", "MBps"));
  benchmark::Shutdown();
  return 0;
}
