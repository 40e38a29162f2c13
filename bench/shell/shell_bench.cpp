// A local shell tab, end to end: output throughput to drain_terminal against reading the
// same PTY output raw, keystroke echo latency against a bare PTY, and the cost of idle tabs.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/morvane_app.h"
#include "common/bench_app.h"
#include "common/ratio.h"

namespace fs = std::filesystem;
using namespace morvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr long long kBytes = 200LL << 20;
// Long lines: a PTY's line discipline costs per newline, and that is not what we measure.
const std::string kCommand =
    "head -c " + std::to_string(kBytes) + " /dev/zero | tr '\\0' a | fold -w 4000; echo; echo END-OF-$((6*7))-OUTPUT";

struct App : bench::BenchApp {
  std::string open_shell(const std::string& custom) {
    Json s = Json::object();
    s["protocol"] = "conpty";
    s["conpty_shell"] = "custom";
    s["conpty_custom_command"] = custom;
    std::string tab = app->connect_session(app->save_session(s)["id"].get<std::string>())["tab_id"];
    while (!morvane::bench::connected(app->find_tab(tab))) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return tab;
  }
};

// The peer: the same command on a bare PTY, read in 64 KiB reads.
void BM_BarePty(benchmark::State& state) {
  long long total = 0;
  for (auto _ : state) {
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c", kCommand.c_str(), (char*)nullptr);
      _exit(127);
    }
    char buf[65536];
    for (;;) {
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      total += n;
    }
    close(master);
    waitpid(pid, nullptr, 0);
  }
  state.counters["MBps"] = benchmark::Counter(static_cast<double>(total) / 1e6, benchmark::Counter::kIsRate);
}

void BM_ShellTab(benchmark::State& state) {
  long long total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto owned = std::make_unique<App>();
    App& a = *owned;
    state.ResumeTiming();
    std::string tab = a.open_shell(kCommand);
    std::string tail;
    for (;;) {
      std::string s = a.app->drain_terminal(tab);
      if (s.empty()) {
        if (!a.app->find_tab(tab)->alive()) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      total += static_cast<long long>(s.size());
      tail = (tail + s.substr(s.size() > 64 ? s.size() - 64 : 0));
      if (tail.size() > 128) tail.erase(0, tail.size() - 128);
    }
    if (tail.find("END-OF-42-OUTPUT") == std::string::npos) state.SkipWithError("output incomplete");
    state.PauseTiming();
    owned.reset();
    state.ResumeTiming();
  }
  state.counters["MBps"] = benchmark::Counter(static_cast<double>(total) / 1e6, benchmark::Counter::kIsRate);
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

constexpr int kKeys = 1000;

void BM_EchoBarePty(benchmark::State& state) {
  std::vector<double> us;
  for (auto _ : state) {
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c", "stty raw -echo; exec cat", (char*)nullptr);
      _exit(127);
    }
    usleep(200000);
    char buf[256];
    while (true) {  // swallow start-up noise
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) break;
      if (read(master, buf, sizeof buf) <= 0) break;
    }
    for (int i = 0; i < kKeys; ++i) {
      char c = static_cast<char>('a' + i % 26);
      auto t0 = Clock::now();
      if (write(master, &c, 1) != 1) break;
      pollfd p{master, POLLIN, 0};
      poll(&p, 1, 1000);
      if (read(master, buf, sizeof buf) <= 0) break;
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    kill(pid, SIGKILL);
    close(master);
    waitpid(pid, nullptr, 0);
  }
  state.counters["median_us"] = percentile(us, 0.5);
  state.counters["p99_us"] = percentile(us, 0.99);
}

void BM_EchoShellTab(benchmark::State& state) {
  std::vector<double> us;
  for (auto _ : state) {
    App a;
    std::string tab = a.open_shell("stty raw -echo; exec cat");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    a.app->drain_terminal(tab);
    for (int i = 0; i < kKeys; ++i) {
      std::string c(1, static_cast<char>('a' + i % 26));
      auto t0 = Clock::now();
      a.app->send_input(tab, c);
      // The page polls; here the poll is as tight as it can be, to measure the native path.
      std::string got;
      while (got.empty() && Clock::now() - t0 < std::chrono::seconds(1)) {
        got = a.app->drain_terminal(tab);
        if (got.empty()) std::this_thread::yield();
      }
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
  }
  state.counters["median_us"] = percentile(us, 0.5);
  state.counters["p99_us"] = percentile(us, 0.99);
}

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_IdleTabs(benchmark::State& state) {
  for (auto _ : state) {
    App a;
    for (int i = 0; i < 20; ++i) a.open_shell("exec sleep 60");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double c0 = cpu_seconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    state.counters["cpu_pct_of_core"] = 100.0 * (cpu_seconds() - c0) / wall;
  }
}

BENCHMARK(BM_BarePty)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_ShellTab)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_EchoBarePty)->Iterations(1)->UseRealTime();
BENCHMARK(BM_EchoShellTab)->Iterations(1)->UseRealTime();
BENCHMARK(BM_IdleTabs)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\n");
  rep.ratio("shell tab throughput vs bare PTY", "BM_ShellTab", "BM_BarePty", "MBps", ">= 0.8");
  rep.ratio("echo latency median, tab vs bare PTY", "BM_EchoShellTab", "BM_EchoBarePty", "median_us", "-");
  rep.ratio("echo latency p99, tab vs bare PTY", "BM_EchoShellTab", "BM_EchoBarePty", "p99_us", "-");
  std::printf("idle: 20 shell tabs use %.4f%% of one core (aim < 1%%)\n", rep.get("BM_IdleTabs", "cpu_pct_of_core"));
  benchmark::Shutdown();
  return 0;
}
