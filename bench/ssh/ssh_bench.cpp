// SSH-2 tabs against OpenSSH's own client on the same sshd, in the same run: output
// throughput to drain_terminal, time to the first shell output, and the cost of idle tabs.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/morvane_app.h"
#include "common/bench_app.h"
#include "common/ratio.h"
#include "sshd_fixture.h"

using namespace morvane;
using namespace morvane::sshtest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr long long kBytes = 200LL << 20;
// Long lines: a PTY's line discipline costs per newline, and that is not what we measure.
const std::string kCommand = "head -c " + std::to_string(kBytes) +
                             " /dev/zero | tr '\\0' a | fold -w 4000; echo; echo END-OF-$((6*7))-OUTPUT";

// One sshd and one authorized key for the whole run.
struct Peer {
  TempDir dir;
  std::unique_ptr<Sshd> sshd;
  fs::path key;
  Peer() {
    sshd = std::make_unique<Sshd>(dir.path / "sshd");
    key = dir.path / "id_bench";
    sshd->authorize(keygen(key));
    sshd->start();
  }
  std::vector<std::string> ssh_argv(const std::string& cmd = "") const {
    std::vector<std::string> a = {"ssh", "-tt", "-F", "/dev/null", "-o", "StrictHostKeyChecking=no",
                                  "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR", "-i", key.string(),
                                  "-p", std::to_string(sshd->port()), "root@127.0.0.1"};
    if (!cmd.empty()) a.push_back(cmd);
    return a;
  }
};

Peer& peer() {
  static Peer p;
  return p;
}

struct App {
  TempDir dir;
  bench::QuietPage page;
  std::unique_ptr<MorvaneApp> app;
  App() {
    app = std::make_unique<MorvaneApp>(QueueMap{}, EventMap{}, dir.path, dir.path);
    app->set_window(&page);
    app->connect_delay_sec = 0;
  }
  std::string open() {
    Json s = {{"protocol", "ssh"},
              {"host", "127.0.0.1"},
              {"port", peer().sshd->port()},
              {"username", "root"},
              {"private_key", peer().key.string()}};
    return app->connect_session(app->save_session(s)["id"])["tab_id"].get<std::string>();
  }
  bool wait_connected(const std::string& tab) {
    return eventually([&] { return morvane::bench::connected(app->find_tab(tab)); }, 30);
  }
};

double seconds_of(const std::vector<std::string>& argv) {
  auto t0 = Clock::now();
  run(argv);
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The peer: OpenSSH's client with a pseudo-terminal, output to /dev/null. Its own connect
// time (measured with `true`) is taken off, so both sides time the transfer alone.
void BM_OpenSshClient(benchmark::State& state) {
  std::vector<double> connect;
  for (int i = 0; i < 3; ++i) connect.push_back(seconds_of(peer().ssh_argv("true")));
  std::sort(connect.begin(), connect.end());
  double overhead = connect[1];
  double transfer = 0;
  for (auto _ : state) {
    double t = seconds_of(peer().ssh_argv(kCommand)) - overhead;
    state.SetIterationTime(t);
    transfer += t;
  }
  state.counters["MBps"] = static_cast<double>(kBytes) * static_cast<double>(state.iterations()) / 1e6 / transfer;
}

// Ours: the command typed into the tab's shell, every byte drained as the page would.
void BM_SshTab(benchmark::State& state) {
  App a;
  std::string tab = a.open();
  if (!a.wait_connected(tab)) return state.SkipWithError("no connection");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  a.app->drain_terminal(tab);
  long long total = 0;
  double transfer = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    a.app->send_input(Json(tab), Json(kCommand + "\r"));
    std::string tail;
    long long got = 0;
    for (;;) {
      std::string s = a.app->drain_terminal(tab);
      if (s.empty()) {
        if (!a.app->find_tab(tab)->alive()) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      got += static_cast<long long>(s.size());
      tail += s.substr(s.size() > 64 ? s.size() - 64 : 0);
      if (tail.size() > 128) tail.erase(0, tail.size() - 128);
      if (tail.find("END-OF-42-OUTPUT") != std::string::npos) break;
    }
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetIterationTime(t);
    transfer += t;
    total += got;
    if (got < kBytes) state.SkipWithError("output incomplete");
  }
  state.counters["MBps"] = static_cast<double>(kBytes) * static_cast<double>(state.iterations()) / 1e6 / transfer;
  state.counters["drained_MB"] = static_cast<double>(total) / 1e6;
}

// Time to the first byte of shell output.
void BM_OpenSshClientFirstOutput(benchmark::State& state) {
  std::vector<double> ms;
  for (auto _ : state) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return state.SkipWithError("pipe");
    auto argv = peer().ssh_argv();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::vector<char*> args;
    for (auto& s : argv) args.push_back(s.data());
    args.push_back(nullptr);
    pid_t pid;
    auto t0 = Clock::now();
    posix_spawnp(&pid, "ssh", &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    char c;
    if (::read(out[0], &c, 1) != 1) state.SkipWithError("no output");
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetIterationTime(t);
    ms.push_back(t * 1000);
    ::close(in[1]);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(out[0]);
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
}

void BM_SshTabFirstOutput(benchmark::State& state) {
  std::vector<double> ms;
  for (auto _ : state) {
    state.PauseTiming();
    auto a = std::make_unique<App>();
    state.ResumeTiming();
    auto t0 = Clock::now();
    std::string tab = a->open();
    while (a->app->drain_terminal(tab).empty() && Clock::now() - t0 < std::chrono::seconds(30))
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetIterationTime(t);
    ms.push_back(t * 1000);
    state.PauseTiming();
    a.reset();
    state.ResumeTiming();
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
}

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double rss_kb(pid_t pid = 0) {
  std::string status = read_proc_file(pid ? "/proc/" + std::to_string(pid) + "/status" : std::string("/proc/self/status"));
  size_t p = status.find("VmRSS:");
  return p == std::string::npos ? 0 : std::atof(status.c_str() + p + 6);
}

void BM_IdleSshTabs(benchmark::State& state) {
  for (auto _ : state) {
    App a;
    double rss0 = rss_kb();
    std::vector<std::string> tabs;
    for (int i = 0; i < 20; ++i) {
      tabs.push_back(a.open());
      a.wait_connected(tabs.back());
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (auto& t : tabs) a.app->drain_terminal(t);
    double c0 = cpu_seconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    state.counters["cpu_pct_of_core"] = 100.0 * (cpu_seconds() - c0) / wall;
    state.counters["rss_kb_per_tab"] = (rss_kb() - rss0) / 20;
  }
}

// For scale: what one idle OpenSSH client process holds.
void BM_IdleOpenSshClients(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<pid_t> pids;
    std::vector<int> keep;
    for (int i = 0; i < 20; ++i) {
      int in[2];
      if (::pipe(in) != 0) break;
      posix_spawn_file_actions_t fa;
      posix_spawn_file_actions_init(&fa);
      posix_spawn_file_actions_adddup2(&fa, in[0], 0);
      posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
      auto argv = peer().ssh_argv();
      std::vector<char*> args;
      for (auto& s : argv) args.push_back(s.data());
      args.push_back(nullptr);
      pid_t pid;
      posix_spawnp(&pid, "ssh", &fa, nullptr, args.data(), environ);
      posix_spawn_file_actions_destroy(&fa);
      ::close(in[0]);
      keep.push_back(in[1]);
      pids.push_back(pid);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double rss = 0;
    for (pid_t p : pids) rss += rss_kb(p);
    state.counters["rss_kb_per_client"] = rss / static_cast<double>(pids.size());
    for (pid_t p : pids) ::kill(p, SIGKILL);
    for (pid_t p : pids) ::waitpid(p, nullptr, 0);
    for (int fd : keep) ::close(fd);
  }
}

BENCHMARK(BM_OpenSshClient)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(BM_SshTab)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(BM_OpenSshClientFirstOutput)->Unit(benchmark::kMillisecond)->Iterations(9)->UseManualTime();
BENCHMARK(BM_SshTabFirstOutput)->Unit(benchmark::kMillisecond)->Iterations(9)->UseManualTime();
BENCHMARK(BM_IdleSshTabs)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_IdleOpenSshClients)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!Sshd::available()) {
    std::fprintf(stderr, "OpenSSH's sshd is not installed\n");
    return 1;
  }
  bench::RatioReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\n");
  rep.ratio("ssh tab throughput vs ssh -tt", "BM_SshTab", "BM_OpenSshClient", "MBps", ">= 0.7");
  rep.ratio("time to first shell output vs ssh -tt", "BM_SshTabFirstOutput", "BM_OpenSshClientFirstOutput",
            "median_ms", "<= 1.5");
  std::printf("idle: 20 ssh tabs use %.4f%% of one core, %.0f KiB resident per tab (an idle ssh client: %.0f KiB)\n",
              rep.get("BM_IdleSshTabs", "cpu_pct_of_core"), rep.get("BM_IdleSshTabs", "rss_kb_per_tab"),
              rep.get("BM_IdleOpenSshClients", "rss_kb_per_client"));
  peer().sshd->stop();
  benchmark::Shutdown();
  return 0;
}
