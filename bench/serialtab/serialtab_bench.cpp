// A serial tab end to end: bytes pushed into the far end of a socat PTY pair until the page's
// drain_terminal has them all, against `cat` reading the same kind of PTY pair in the same run;
// and the CPU that eight idle serial tabs cost while they poll their ports.
//
// Rounds alternate between the two readers so machine noise hits both; each round makes a
// fresh pair. MORVANE_SERIALTAB_BENCH_MB sets the bytes per round (default 32 MiB).
#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "app/morvane_app.h"
#include "kinds/serial/serial_kind.h"
#include "common/bench_app.h"
#include "common/ratio.h"
#include "socat_pair.h"

namespace fs = std::filesystem;
using namespace morvane;
using morvane::serial::testing::SocatPair;
using morvane::serial::testing::open_raw;
using Clock = std::chrono::steady_clock;

namespace {

size_t round_bytes() {
  const char* mb = std::getenv("MORVANE_SERIALTAB_BENCH_MB");
  long value = mb ? std::atol(mb) : 32;
  return static_cast<size_t>(std::max(1L, value)) << 20;
}

struct App : bench::BenchApp {
  // A serial tab on the port, once its port is open and the connected line is drained.
  std::string open_serial(const std::string& path) {
    Json s = {{"protocol", "serial"}, {"host", path}, {"port", 921600}};
    std::string tab = app->connect_session(app->save_session(s)["id"].get<std::string>())["tab_id"];
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!app->kinds.get<kinds::SerialKind>("serial")->_serial_port(tab) && Clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    app->drain_terminal(tab);
    return tab;
  }
};

// Pushes `bytes` of long text lines into the far end.
std::thread start_writer(const std::string& path, size_t bytes) {
  return std::thread([path, bytes] {
    int fd = open_raw(path);
    std::string block(65536, 'a');
    for (size_t i = 4095; i < block.size(); i += 4096) block[i] = '\n';
    size_t left = bytes;
    while (left > 0) {
      ssize_t n = ::write(fd, block.data(), std::min(left, block.size()));
      if (n > 0) {
        left -= static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        struct pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
      } else {
        break;
      }
    }
    ::close(fd);
  });
}

// Seconds until the page side has drained everything, polling as a page would.
double tab_round(size_t bytes, size_t& received) {
  SocatPair pair;
  App a;
  std::string tab = a.open_serial(pair.a);
  received = 0;
  const auto start = Clock::now();
  std::thread writer = start_writer(pair.b, bytes);
  const auto deadline = start + std::chrono::seconds(120);
  while (received < bytes && Clock::now() < deadline) {
    size_t got = a.app->drain_terminal(tab).size();
    received += got;
    if (got == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  return seconds;
}

size_t bytes_read_by(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  size_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

// Seconds for `cat` to read everything from the same kind of pair.
double cat_round(size_t bytes) {
  SocatPair pair;
  std::vector<std::string> args = {"cat", pair.a};
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, "cat", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // cat starts and blocks in read
  const size_t before = bytes_read_by(pid);
  const auto start = Clock::now();
  std::thread writer = start_writer(pair.b, bytes);
  const auto deadline = start + std::chrono::seconds(120);
  while (bytes_read_by(pid) - before < bytes && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const bool complete = bytes_read_by(pid) - before >= bytes;
  writer.join();
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return complete ? seconds : -1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Both readers in one benchmark, alternating; the counters carry both rates.
void BM_PtyToPage_SerialTabVersusCat(benchmark::State& state) {
  if (!SocatPair::available()) {
    state.SkipWithError("socat is not installed");
    return;
  }
  const size_t bytes = round_bytes();
  std::vector<double> tab_rates, cat_rates;
  for (auto _ : state) {
    for (int round = 0; round < 5; ++round) {
      const double cat_seconds = cat_round(bytes);
      if (cat_seconds <= 0) {
        state.SkipWithError("cat did not read everything");
        return;
      }
      size_t received = 0;
      const double tab_seconds = tab_round(bytes, received);
      if (received != bytes) {
        state.SkipWithError("the serial tab lost bytes");
        return;
      }
      cat_rates.push_back(bytes / cat_seconds / 1e6);
      tab_rates.push_back(bytes / tab_seconds / 1e6);
    }
  }
  state.counters["tab_MBps"] = median(tab_rates);
  state.counters["cat_MBps"] = median(cat_rates);
}

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_IdleSerialTabs(benchmark::State& state) {
  if (!SocatPair::available()) {
    state.SkipWithError("socat is not installed");
    return;
  }
  for (auto _ : state) {
    std::vector<std::unique_ptr<SocatPair>> pairs;
    App a;
    for (int i = 0; i < 8; ++i) {
      pairs.push_back(std::make_unique<SocatPair>());
      a.open_serial(pairs.back()->a);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double c0 = cpu_seconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    state.counters["cpu_pct_of_core"] = 100.0 * (cpu_seconds() - c0) / wall;
  }
}

BENCHMARK(BM_PtyToPage_SerialTabVersusCat)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_IdleSerialTabs)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\n");
  const double tab = rep.get("BM_PtyToPage", "tab_MBps"), cat = rep.get("BM_PtyToPage", "cat_MBps");
  std::printf("RATIO %-44s %10.3f  (serial tab %.4g MB/s / cat %.4g MB/s, median of 5 rounds of %zu MiB; aim >= 0.9)\n",
              "serial tab to drain_terminal vs cat, PTY", cat > 0 ? tab / cat : 0.0, tab, cat, round_bytes() >> 20);
  std::printf("idle: 8 serial tabs use %.3f%% of one core over 10 s (aim < 1%%)\n",
              rep.get("BM_IdleSerialTabs", "cpu_pct_of_core"));
  benchmark::Shutdown();
  return 0;
}
