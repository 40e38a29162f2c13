// Throughput of the driver's read loop (wait for readability, read 4096)
// against cat reading the same kind of socat PTY pair, in the same run.
// Each round makes a fresh pair, pushes the same bytes into the far end and
// times until the reader has taken them all: the driver loop counts them,
// cat's count is its read total in /proc/<pid>/io. Rounds alternate between
// the two readers so machine noise hits both.
//
// MORVANE_SERIAL_BENCH_MB sets the bytes per round (default 64 MiB).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "serial/win32_serial.h"
#include "socat_pair.h"

using morvane::serial::SerialError;
using morvane::serial::SerialParams;
using morvane::serial::Win32Serial;
using morvane::serial::testing::SocatPair;
using morvane::serial::testing::open_raw;
using Clock = std::chrono::steady_clock;

namespace {

std::size_t round_bytes() {
  const char* mb = std::getenv("MORVANE_SERIAL_BENCH_MB");
  long value = mb ? std::atol(mb) : 64;
  return static_cast<std::size_t>(std::max(1L, value)) << 20;
}

// Pushes `bytes` into the far end.
std::thread start_writer(const std::string& path, std::size_t bytes) {
  return std::thread([path, bytes] {
    int fd = open_raw(path);
    const std::string block(65536, 'a');
    std::size_t left = bytes;
    while (left > 0) {
      ssize_t n = ::write(fd, block.data(), std::min(left, block.size()));
      if (n > 0) {
        left -= static_cast<std::size_t>(n);
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

// Seconds for the driver to read everything.
double driver_round(std::size_t bytes, std::size_t& received) {
  SocatPair pair;
  SerialParams params;
  params.port = pair.a;
  params.baudrate = 921600;
  Win32Serial port(params);
  received = 0;
  const auto start = Clock::now();
  std::thread writer = start_writer(pair.b, bytes);
  const auto deadline = start + std::chrono::seconds(120);
  try {
    while (received < bytes && Clock::now() < deadline) {
      if (!port.wait_readable(100)) continue;
      received += port.read(4096).size();
    }
  } catch (const SerialError& e) {
    std::fprintf(stderr, "driver read failed: %s\n", e.what());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  return seconds;
}

// Bytes a process has read so far, by its kernel's count.
std::size_t bytes_read_by(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  std::size_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

// Seconds for `cat` to read everything.
double cat_round(std::size_t bytes) {
  SocatPair pair;
  std::vector<std::string> args = {"cat", pair.a};
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, "cat", &actions, nullptr, argv.data(), environ) != 0) return -1;
  posix_spawn_file_actions_destroy(&actions);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // cat starts and blocks in read
  const std::size_t before = bytes_read_by(pid);
  const auto start = Clock::now();
  std::thread writer = start_writer(pair.b, bytes);
  const auto deadline = start + std::chrono::seconds(120);
  while (bytes_read_by(pid) - before < bytes && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
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

void BM_PtyRead_DriverVersusCat(benchmark::State& state) {
  if (!SocatPair::available()) {
    state.SkipWithError("socat is not installed");
    return;
  }
  const std::size_t bytes = round_bytes();
  std::vector<double> driver_rates, cat_rates;
  for (auto _ : state) {
    for (int round = 0; round < 5; ++round) {
      const double cat_seconds = cat_round(bytes);
      if (cat_seconds <= 0) {
        state.SkipWithError("cat did not read everything");
        return;
      }
      std::size_t received = 0;
      const double driver_seconds = driver_round(bytes, received);
      if (received != bytes) {
        state.SkipWithError("the driver lost bytes");
        return;
      }
      cat_rates.push_back(bytes / cat_seconds / 1e6);
      driver_rates.push_back(bytes / driver_seconds / 1e6);
    }
  }
  const double driver = median(driver_rates), cat = median(cat_rates);
  state.counters["driver_MBps"] = driver;
  state.counters["cat_MBps"] = cat;
  state.counters["ratio"] = driver / cat;
  std::printf("PTY read, %zu MiB per round, median of %zu rounds: driver %.1f MB/s, cat %.1f MB/s, "
              "ratio driver/cat %.2f\n",
              bytes >> 20, driver_rates.size(), driver, cat, driver / cat);
}

}  // namespace

BENCHMARK(BM_PtyRead_DriverVersusCat)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
