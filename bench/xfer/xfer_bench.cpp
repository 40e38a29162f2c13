// ZMODEM throughput beside lrzsz, measured in the same run with the same 64 MiB file:
//   - our sender into rz against sz into rz, over plain pipes;
//   - sz into our receiver against sz into rz, over plain pipes;
//   - an automatic download in a local-shell tab running sz, against sz on a bare PTY with rz
//     reading the PTY's master.
// Plain pipes rather than socat: a relay process in the middle costs both sides the same copy
// and only adds noise on a busy machine. Our side runs the way a tab runs it: a reader thread
// that feeds received bytes in reads of 4096 bytes, and the transfer's pump writing.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "app/morvane_app.h"
#include "common/bench_app.h"
#include "common/ratio.h"
#include "transfer/tab_transfer.h"

namespace fs = std::filesystem;
using namespace morvane;

namespace {

constexpr size_t kFileBytes = 64u << 20;

struct Files {
  fs::path root, src, file;
  Files() {
    char tmpl[] = "/tmp/morvane-xfer-bench-XXXXXX";
    root = mkdtemp(tmpl);
    src = root / "src";
    fs::create_directories(src);
    file = src / "payload.bin";
    std::mt19937_64 rng(42);
    std::string data(kFileBytes, '\0');
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
      uint64_t v = rng();
      std::memcpy(data.data() + i, &v, 8);
    }
    std::ofstream(file, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  ~Files() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  // A fresh, empty receive folder.
  fs::path dst() const {
    fs::path d = root / "dst";
    std::error_code ec;
    fs::remove_all(d, ec);
    fs::create_directories(d);
    return d;
  }
  bool arrived(const fs::path& dir) const {
    std::error_code ec;
    return fs::file_size(dir / "payload.bin", ec) == kFileBytes;
  }
};

Files& files() {
  static Files f;
  return f;
}

// Starts argv in cwd with the given stdin and stdout; stderr is dropped.
pid_t spawn(const std::vector<std::string>& argv, const fs::path& cwd, int in, int out) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::string dir = cwd.string();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (chdir(dir.c_str()) != 0) _exit(126);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int wait_exit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool write_all(int fd, std::string_view b) {
  while (!b.empty()) {
    ssize_t n = write(fd, b.data(), b.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    b.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// One of our transfers against a peer on two descriptors, driven as in a tab.
bool run_ours(xfer::XYZModemTransfer::Options o, int from_peer, int to_peer) {
  std::atomic<int> ok{-1};
  auto t = std::make_shared<transfer::TabTransfer>(
      std::move(o),
      [to_peer](std::string_view b) {
        write_all(to_peer, b);
        return b.size();
      },
      [&ok](const xfer::Event& e, const TransferSlot*) {
        if (e.value("kind", "") == "done") ok = e.value("ok", false) ? 1 : 0;
      });
  t->start();
  std::thread reader([&] {
    char buf[4096];
    for (;;) {
      ssize_t n = read(from_peer, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (!t->is_done()) t->feed(std::string_view(buf, static_cast<size_t>(n)));
    }
  });
  t->pump([] { return false; });
  close(to_peer);
  reader.join();
  return ok == 1;
}

void report(benchmark::State& state, size_t bytes) {
  state.counters["MBps"] = benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsRate);
}

// ---- over pipes

void BM_SzIntoRz(benchmark::State& state) {
  Files& f = files();
  size_t total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::path dst = f.dst();
    state.ResumeTiming();
    int a[2], b[2];  // a: sz -> rz, b: rz -> sz
    if (pipe(a) || pipe(b)) return state.SkipWithError("pipe");
    pid_t sz = spawn({"sz", "-b", f.file.filename().string()}, f.src, b[0], a[1]);
    pid_t rz = spawn({"rz", "-b"}, dst, a[0], b[1]);
    for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
    int e1 = wait_exit(sz), e2 = wait_exit(rz);
    if (e1 || e2 || !f.arrived(dst)) return state.SkipWithError("sz into rz failed");
    total += kFileBytes;
  }
  report(state, total);
}

void BM_OurSenderIntoRz(benchmark::State& state) {
  Files& f = files();
  size_t total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::path dst = f.dst();
    state.ResumeTiming();
    int a[2], b[2];  // a: us -> rz, b: rz -> us
    if (pipe(a) || pipe(b)) return state.SkipWithError("pipe");
    pid_t rz = spawn({"rz", "-b"}, dst, a[0], b[1]);
    close(a[0]);
    close(b[1]);
    xfer::XYZModemTransfer::Options o;
    o.protocol = "zmodem";
    o.direction = "send";
    o.files = {f.file.string()};
    bool ok = run_ours(std::move(o), b[0], a[1]);
    close(b[0]);
    int e = wait_exit(rz);
    if (!ok || e || !f.arrived(dst)) return state.SkipWithError("our sender into rz failed");
    total += kFileBytes;
  }
  report(state, total);
}

void BM_SzIntoOurReceiver(benchmark::State& state) {
  Files& f = files();
  size_t total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::path dst = f.dst();
    state.ResumeTiming();
    int a[2], b[2];  // a: sz -> us, b: us -> sz
    if (pipe(a) || pipe(b)) return state.SkipWithError("pipe");
    pid_t sz = spawn({"sz", "-b", f.file.filename().string()}, f.src, b[0], a[1]);
    close(a[1]);
    close(b[0]);
    xfer::XYZModemTransfer::Options o;
    o.protocol = "zmodem";
    o.direction = "recv";
    o.save_dir = dst.string();
    bool ok = run_ours(std::move(o), a[0], b[1]);
    close(a[0]);
    int e = wait_exit(sz);
    if (!ok || e || !f.arrived(dst)) return state.SkipWithError("sz into our receiver failed");
    total += kFileBytes;
  }
  report(state, total);
}

// ---- across a PTY

// The peer of the tab: sz on a PTY's slave as in a shell, rz on its master.
void BM_SzOnPtyIntoRz(benchmark::State& state) {
  Files& f = files();
  size_t total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::path dst = f.dst();
    state.ResumeTiming();
    int master = -1;
    std::string name = f.file.filename().string();
    pid_t sz = forkpty(&master, nullptr, nullptr, nullptr);
    if (sz == 0) {
      if (chdir(f.src.c_str()) != 0) _exit(126);
      execlp("sz", "sz", "-b", name.c_str(), (char*)nullptr);
      _exit(127);
    }
    pid_t rz = spawn({"rz", "-b"}, dst, master, master);
    int e2 = wait_exit(rz);
    close(master);
    wait_exit(sz);
    if (e2 || !f.arrived(dst)) return state.SkipWithError("sz on a PTY into rz failed");
    total += kFileBytes;
  }
  report(state, total);
}

// Counts the "done" events the page would receive.
struct DonePage : bench::QuietPage {
  std::atomic<int> ok{0}, failed{0};
  void evaluate(const std::string& s) override {
    if (s.find("xferOnEvent") == std::string::npos || s.find("\"kind\": \"done\"") == std::string::npos) return;
    (s.find("\"ok\": true") != std::string::npos ? ok : failed)++;
  }
};

void BM_AutoDownloadInShellTab(benchmark::State& state) {
  Files& f = files();
  size_t total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto owned = std::make_unique<bench::BenchApp>();
    bench::BenchApp& a = *owned;
    DonePage page;
    a.app->set_window(&page);
    Json s = Json::object();
    s["protocol"] = "conpty";
    s["conpty_shell"] = "custom";
    s["conpty_custom_command"] = "cd '" + f.src.string() + "' && exec sz -b payload.bin";
    std::string sid = a.app->save_session(s)["id"].get<std::string>();
    state.ResumeTiming();
    std::string tab = a.app->connect_session(sid)["tab_id"].get<std::string>();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (page.ok + page.failed == 0 && std::chrono::steady_clock::now() < end) {
      a.app->drain_terminal(tab);  // as the page does
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    state.PauseTiming();
    bool ok = page.ok == 1 && f.arrived(a.dir / "downloads");
    a.app->set_window(&a.page);
    owned.reset();
    state.ResumeTiming();
    if (!ok) return state.SkipWithError("automatic download failed");
    total += kFileBytes;
  }
  report(state, total);
}

BENCHMARK(BM_SzIntoRz)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_OurSenderIntoRz)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SzIntoOurReceiver)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SzOnPtyIntoRz)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_AutoDownloadInShellTab)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\n");
  rep.ratio("our ZMODEM sender vs sz, into rz (pipes)", "BM_OurSenderIntoRz", "BM_SzIntoRz", "MBps", ">= 1.0");
  rep.ratio("our ZMODEM receiver vs rz, from sz (pipes)", "BM_SzIntoOurReceiver", "BM_SzIntoRz", "MBps", ">= 1.0");
  rep.ratio("auto download in a shell tab vs rz on a PTY", "BM_AutoDownloadInShellTab", "BM_SzOnPtyIntoRz", "MBps",
            ">= 1.0");
  benchmark::Shutdown();
  return 0;
}
