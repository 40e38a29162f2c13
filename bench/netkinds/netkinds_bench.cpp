// Telnet and raw TCP tabs, end to end: 200 MiB of terminal data from a loopback server of
// this program into drain_terminal, against a plain socket read loop on the same server's
// stream in the same run.
//
// The server speaks minimal Telnet in the Telnet runs: it offers SGA and ECHO (and BINARY in
// the binary run), refuses what the client offers, skips subnegotiations, and then writes the
// data with IAC doubled. Every fourth 64 KiB block of the data carries 0xFF bytes, so the
// unescaping path runs; the rest is printable ASCII in CR LF lines. The tabs decode Latin-1,
// where every byte is one character (0xFF is U+00FF), and the drainer compares every drained
// byte with what the server sent, so a lost, doubled or altered byte fails the run.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "app/morvane_app.h"
#include "common/bench_app.h"
#include "common/ratio.h"
#include "net_peer.h"

using namespace morvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint8_t IAC = 255, WILL = 251, WONT = 252, DO = 253, DONT = 254, SB = 250, SE = 240;
constexpr std::uint8_t kBinary = 0, kEcho = 1, kSga = 3;

constexpr size_t kBlock = 64 << 10;
constexpr size_t kCycle = 4 * kBlock;  // three plain blocks and one with 0xFF bytes
constexpr long long kBytes = 200LL << 20;
constexpr long long kCycles = kBytes / static_cast<long long>(kCycle);


enum class Mode { telnet_binary, telnet_nvt, raw };

bool is_telnet(Mode m) { return m != Mode::raw; }

const char* tab_encoding() {
  const char* e = std::getenv("NETBENCH_ENCODING");
  return e && *e ? e : "ISO-8859-1";
}

// One cycle of the data in its three forms: as written by the server on each kind of
// connection, and as the tab shows it (UTF-8 of the Latin-1 characters).
struct Data {
  std::string terminal, wire_telnet, shown;
  long long ff_per_cycle = 0;
  Data() {
    const bool utf8 = std::string(tab_encoding()) == "utf-8";
    for (size_t p = 0; p < kCycle; ++p) {
      const size_t col = p % 80, line = p / 80;
      char c;
      if (col == 78) c = '\r';
      else if (col == 79) c = '\n';
      else if (p >= 3 * kBlock && col % 13 == 5) c = '\xFF';
      else c = static_cast<char>(33 + (line + col) % 94);
      terminal += c;
      wire_telnet += c;
      if (c == '\xFF') {
        wire_telnet += c;
        shown += utf8 ? "\xEF\xBF\xBD" : "\xC3\xBF";
        ++ff_per_cycle;
      } else {
        shown += c;
      }
    }
  }
};

const Data& data() {
  static const Data d;
  return d;
}

// CPU seconds of the whole process (server thread included), beside the wall time: on a
// loaded machine the two tell waiting and working apart.
double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

bool send_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// The server's side of negotiation: what it offered stands; everything the client offers or
// asks beyond that is refused; subnegotiations are skipped.
class Negotiator {
 public:
  explicit Negotiator(std::string offered) : offered_(std::move(offered)) {}
  std::string answer(const char* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
      const auto c = static_cast<std::uint8_t>(p[i]);
      switch (state_) {
        case S::data: if (c == IAC) state_ = S::iac; break;
        case S::iac:
          state_ = c == WILL || c == WONT || c == DO || c == DONT ? S::verb : c == SB ? S::sb : S::data;
          verb_ = c;
          break;
        case S::verb:
          if (verb_ == WILL) out += {char(IAC), char(DONT), char(c)};
          if (verb_ == DO && offered_.find(char(c)) == std::string::npos) out += {char(IAC), char(WONT), char(c)};
          state_ = S::data;
          break;
        case S::sb: if (c == IAC) state_ = S::sb_iac; break;
        case S::sb_iac: state_ = c == SE ? S::data : S::sb; break;
      }
    }
    return out;
  }

 private:
  enum class S { data, iac, verb, sb, sb_iac } state_ = S::data;
  std::uint8_t verb_ = 0;
  std::string offered_;
};

// A loopback server for one mode: each connection gets the opening offers (Telnet), then
// kCycles cycles of data, then the end of the stream.
class Server {
 public:
  explicit Server(Mode mode) : mode_(mode) {
    thread_ = std::thread([this] {
      while (!stop_) {
        int fd = listener_.accept(100);
        if (fd < 0) continue;
        serve(fd);
        ::close(fd);
      }
    });
  }
  ~Server() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return listener_.port; }
  // What a connection carries on the wire when the client says nothing.
  long long wire_bytes() const {
    return static_cast<long long>(offers().size()) +
           kCycles * static_cast<long long>(is_telnet(mode_) ? data().wire_telnet.size() : data().terminal.size());
  }

 private:
  std::string offers() const {
    if (!is_telnet(mode_)) return {};
    std::string o = {char(IAC), char(WILL), char(kSga), char(IAC), char(WILL), char(kEcho)};
    if (mode_ == Mode::telnet_binary) o += {char(IAC), char(WILL), char(kBinary)};
    return o;
  }

  void serve(int fd) {
    const std::string& cycle = is_telnet(mode_) ? data().wire_telnet : data().terminal;
    std::string offered = mode_ == Mode::telnet_binary ? std::string{char(kSga), char(kEcho), char(kBinary)}
                                                       : std::string{char(kSga), char(kEcho)};
    Negotiator neg(offered);
    std::string pending = offers();
    char in[4096];
    for (long long i = 0; i < kCycles; ++i) {
      if (!pending.empty() && !send_all(fd, pending.data(), pending.size())) return;
      pending.clear();
      if (!send_all(fd, cycle.data(), cycle.size())) return;
      // Answers go between cycles: commands may come anywhere in the stream.
      for (;;) {
        ssize_t n = ::recv(fd, in, sizeof in, MSG_DONTWAIT);
        if (n <= 0) break;
        if (is_telnet(mode_)) pending += neg.answer(in, static_cast<size_t>(n));
      }
    }
    // Half-close and wait for the client's close, so that nothing unread here turns the end
    // into a reset that could cost the client the stream's tail.
    ::shutdown(fd, SHUT_WR);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline && !stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if (::recv(fd, in, sizeof in, 0) <= 0) break;
    }
  }

  Mode mode_;
  morvane::testing::Listener listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The peer: a plain blocking socket reading the stream in 64 KiB reads to its end, answering
// nothing. The rate counts the terminal data carried, as the tabs' does.
void plain_read(benchmark::State& state, Mode mode) {
  Server server(mode);
  double transfer = 0, cpu = 0;
  long long wire = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    const double c0 = cpu_seconds();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(server.port()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return state.SkipWithError("cannot connect");
    }
    static char buf[65536];
    long long got = 0;
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got += n;
    }
    ::close(fd);
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    cpu += cpu_seconds() - c0;
    state.SetIterationTime(t);
    transfer += t;
    wire += got;
    if (got != server.wire_bytes()) return state.SkipWithError("stream incomplete");
  }
  state.counters["MBps"] = static_cast<double>(kBytes) * static_cast<double>(state.iterations()) / 1e6 / transfer;
  state.counters["wire_MB"] = static_cast<double>(wire) / 1e6;
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
}

// Compares drained text with the data as the tab should show it, byte by byte.
class Checker {
 public:
  Checker() : total_(kCycles * static_cast<long long>(data().shown.size())) {}
  bool feed(const std::string& s) {
    const std::string& cyc = data().shown;
    size_t i = 0;
    while (i < s.size() && error_.empty()) {
      if (pos_ >= total_) {
        error_ = "more output than the server sent";
        break;
      }
      const size_t at = static_cast<size_t>(pos_ % static_cast<long long>(cyc.size()));
      const size_t n = std::min(s.size() - i, cyc.size() - at);
      if (std::memcmp(s.data() + i, cyc.data() + at, n) != 0) {
        size_t k = 0;
        while (s[i + k] == cyc[at + k]) ++k;
        error_ = "output differs at byte " + std::to_string(pos_ + static_cast<long long>(k));
      }
      i += n;
      pos_ += static_cast<long long>(n);
    }
    return error_.empty();
  }
  std::string result() const {
    if (!error_.empty()) return error_;
    if (pos_ != total_) return "output incomplete: " + std::to_string(pos_) + " of " + std::to_string(total_) + " bytes";
    return {};
  }
  long long drained() const { return pos_; }

 private:
  long long total_, pos_ = 0;
  std::string error_;
};

// Ours: a tab opened through the application, drained as the page would, continuously.
void tab_read(benchmark::State& state, Mode mode) {
  Server server(mode);
  double transfer = 0, cpu = 0;
  long long drained = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto owned = std::make_unique<bench::BenchApp>();
    MorvaneApp& app = *owned->app;
    Json s = {{"name", "bench"},
              {"protocol", is_telnet(mode) ? "telnet" : "raw"},
              {"host", "127.0.0.1"},
              {"port", server.port()},
              {"line_code_page", tab_encoding()}};
    std::string sid = app.save_session(s)["id"];
    state.ResumeTiming();
    auto t0 = Clock::now();
    const double c0 = cpu_seconds();
    const auto deadline = t0 + std::chrono::seconds(120);
    std::string tab = app.connect_session(sid)["tab_id"];
    Checker check;
    TabRef tab_ref = app.find_tab(tab);
    size_t most_held = 0;  // the most characters the tab's output held before a drain
    for (;;) {
      if (tab_ref) most_held = std::max(most_held, tab_ref->output.chars());
      std::string out = app.drain_terminal(tab);
      if (!out.empty()) {
        if (!check.feed(out)) break;
        continue;
      }
      TabRef t = app.find_tab(tab);
      if (!t || !t->alive() || Clock::now() > deadline) {
        // The reader pushes everything before the tab ends: one more drain takes the rest.
        check.feed(app.drain_terminal(tab));
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    cpu += cpu_seconds() - c0;
    state.SetIterationTime(t);
    transfer += t;
    drained += check.drained();
    state.PauseTiming();
    owned.reset();
    state.ResumeTiming();
    if (std::string err = check.result(); !err.empty()) {
      // Flow control should keep the buffer near its high mark; far past it means output was cut.
      if (most_held + kBlock >= OutputBuffer::kDefaultLimit) err += " (the output buffer reached its bound)";
      return state.SkipWithError(err.c_str());
    }
  }
  state.counters["MBps"] = static_cast<double>(kBytes) * static_cast<double>(state.iterations()) / 1e6 / transfer;
  state.counters["drained_MB"] = static_cast<double>(drained) / 1e6;
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.counters["ff_bytes"] = static_cast<double>(kCycles * data().ff_per_cycle * state.iterations());
}

void BM_PlainReadTelnet(benchmark::State& s) { plain_read(s, Mode::telnet_binary); }
void BM_TelnetTabBinary(benchmark::State& s) { tab_read(s, Mode::telnet_binary); }
void BM_TelnetTabNvt(benchmark::State& s) { tab_read(s, Mode::telnet_nvt); }
void BM_PlainReadRaw(benchmark::State& s) { plain_read(s, Mode::raw); }
void BM_RawTab(benchmark::State& s) { tab_read(s, Mode::raw); }

BENCHMARK(BM_PlainReadTelnet)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(BM_TelnetTabBinary)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(BM_TelnetTabNvt)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(BM_PlainReadRaw)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(BM_RawTab)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\n");
  rep.ratio("telnet tab (binary) vs plain read", "BM_TelnetTabBinary", "BM_PlainReadTelnet", "MBps", ">= 0.8");
  rep.ratio("telnet tab (NVT) vs plain read", "BM_TelnetTabNvt", "BM_PlainReadTelnet", "MBps", ">= 0.8");
  rep.ratio("raw tab vs plain read", "BM_RawTab", "BM_PlainReadRaw", "MBps", ">= 0.8");
  benchmark::Shutdown();
  return 0;
}
