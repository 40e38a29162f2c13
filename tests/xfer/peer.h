#pragma once
// A real lrzsz program on two pipes, and the loop that moves bytes between it and one of our
// engines with the clock the engines expect. Faults can be injected in either direction; a
// session can be recorded for the replay tests.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "xfer/xyz_transfer.h"
#include "../common/temp_dir.h"

namespace xfer_test {

// A write to a peer that has gone must fail, not end the test program.
inline const bool kSigpipeIgnored = (signal(SIGPIPE, SIG_IGN), true);

inline uint64_t now_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

inline bool have_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    if (access((p.substr(start, end - start) + "/" + name).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// Skip when lrzsz is missing, fail under CI.
#define REQUIRE_PROGRAM(name)                                                   \
  do {                                                                          \
    if (!xfer_test::have_program(name)) {                                       \
      if (std::getenv("CI")) FAIL() << name << " is not installed (lrzsz)";     \
      GTEST_SKIP() << name << " is not installed (lrzsz)";                      \
    }                                                                           \
  } while (0)

struct Peer {
  pid_t pid = -1;
  int to_child = -1, from_child = -1;
  int status = -1;
  std::string stderr_path;

  Peer(const std::vector<std::string>& argv, const std::string& cwd) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    stderr_path = cwd + "/.peer-stderr";
    pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      int e = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (e >= 0) dup2(e, 2);
      close(in[0]); close(in[1]); close(out[0]); close(out[1]);
      if (chdir(cwd.c_str()) != 0) _exit(126);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_child = in[1];
    from_child = out[0];
    fcntl(to_child, F_SETFL, O_NONBLOCK);
    fcntl(from_child, F_SETFL, O_NONBLOCK);
  }
  ~Peer() {
    close_input();
    if (from_child >= 0) close(from_child);
    if (pid > 0 && status < 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    std::error_code ec;
    std::filesystem::remove(stderr_path, ec);
  }
  void close_input() {
    if (to_child >= 0) close(to_child);
    to_child = -1;
  }
  bool exited() {
    if (status >= 0) return true;
    if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) return true;
    status = -1;
    return false;
  }
  int exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }
  std::string stderr_text() const {
    std::ifstream f(stderr_path);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
};

// Records both directions: 'P' (peer to us) and 'U' (us to peer) chunks with a 4-byte length.
struct Recorder {
  std::string bytes;
  void add(char dir, std::string_view d) {
    if (d.empty()) return;
    uint32_t n = static_cast<uint32_t>(d.size());
    bytes.push_back(dir);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(n >> (8 * i)));
    bytes.append(d);
  }
};

struct PumpOptions {
  uint64_t deadline_ms = 60000;
  std::function<void(std::string&)> to_engine_fault;
  std::function<void(std::string&)> to_peer_fault;
  std::function<void(morvane::xfer::XYZModemTransfer&, uint64_t bytes_in)> on_input;  // e.g. cancel
  Recorder* recorder = nullptr;
};

struct PumpResult {
  bool finished = false;  // engine done and peer exited before the deadline
  std::string error;
};

// The engine must have been built with send_bytes appending to `pending`.
inline PumpResult pump(Peer& peer, morvane::xfer::XYZModemTransfer& t, std::string& pending,
                       const PumpOptions& o = {}) {
  PumpResult r;
  uint64_t start = now_ms(), done_at = 0, bytes_in = 0;
  t.start(now_ms());
  std::string chunk(65536, '\0');
  bool peer_eof = false;
  while (true) {
    uint64_t now = now_ms();
    if (now - start > o.deadline_ms) {
      r.error = "deadline passed; engine done=" + std::to_string(t.is_done()) +
                " peer exited=" + std::to_string(peer.exited()) + "; peer said: " + peer.stderr_text();
      return r;
    }
    if (t.is_done() && pending.empty()) {
      if (!done_at) done_at = now;
      peer.close_input();
      if (peer.exited() && (peer_eof || now - done_at > 2000)) break;
      if (now - done_at > 10000) {
        r.error = "peer did not exit after the transfer ended; peer said: " + peer.stderr_text();
        return r;
      }
    }
    pollfd fds[2];
    int nf = 0;
    if (!peer_eof) fds[nf++] = {peer.from_child, POLLIN, 0};
    int wi = -1;
    if (!pending.empty() && peer.to_child >= 0) {
      wi = nf;
      fds[nf++] = {peer.to_child, POLLOUT, 0};
    }
    poll(fds, static_cast<nfds_t>(nf), 10);
    if (!peer_eof && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t n = read(peer.from_child, chunk.data(), chunk.size());
      if (n > 0) {
        std::string in(chunk.data(), static_cast<size_t>(n));
        if (o.recorder) o.recorder->add('P', in);
        if (o.to_engine_fault) o.to_engine_fault(in);
        bytes_in += in.size();
        t.feed(in, now_ms());
        if (o.on_input) o.on_input(t, bytes_in);
      } else if (n == 0) {
        peer_eof = true;
      }
    }
    if (wi >= 0 && (fds[wi].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(peer.to_child, pending.data(), pending.size());
      if (n > 0) pending.erase(0, static_cast<size_t>(n));
      else if (n < 0 && errno != EAGAIN) pending.clear();  // the peer is gone
    }
    if (pending.size() < 65536) t.tick(now_ms());
    if (peer_eof && !t.is_done() && peer.exited() && pending.empty()) {
      // The peer is gone: let the engine see time pass instead of waiting out its time-outs.
      r.error = "peer exited (" + std::to_string(peer.exit_code()) + ") before the engine finished; peer said: " +
                peer.stderr_text();
      return r;
    }
  }
  r.finished = true;
  return r;
}

// Wraps send_bytes so the pump (and a recorder) see every outgoing byte, with faults applied.
inline std::function<void(std::string_view)> collect(std::string& pending, Recorder* rec = nullptr,
                                                     std::function<void(std::string&)> fault = {}) {
  return [&pending, rec, fault](std::string_view d) {
    std::string s(d);
    if (rec) rec->add('U', s);
    if (fault) fault(s);
    pending += s;
  };
}

inline std::string random_bytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}
inline void write_file(const std::filesystem::path& p, std::string_view d) {
  std::ofstream f(p, std::ios::binary);
  f.write(d.data(), static_cast<std::streamsize>(d.size()));
}

using morvane::testing::TempDir;

}  // namespace xfer_test
