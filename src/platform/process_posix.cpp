// Child processes on POSIX: posix_spawn in a process group of its own, pipes and poll.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "platform/process.h"

extern char** environ;

namespace morvane {

namespace {

struct Fd {
  int fd = -1;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

void make_pipe(int p[2]) {
  if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

}  // namespace

struct ProcessKillAccess {
  // Publishes the started child; a kill that came first ends it at once.
  static void started(ProcessKill* k, pid_t pid) {
    if (!k) return;
    std::lock_guard<std::mutex> lock(k->mu_);
    k->pid_ = pid;
    if (k->requested_) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
    }
  }
  // Reaps the child; the id is retired under the lock first so a late kill() cannot reach a
  // process that reused it. Returns false while a non-blocking wait finds it still running.
  static bool reap(ProcessKill* k, pid_t pid, int* status, bool block) {
    siginfo_t si{};
    for (;;) {
      si.si_pid = 0;
      int r = ::waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT | (block ? 0 : WNOHANG));
      if (r == 0 && si.si_pid == 0) return false;
      if (r == 0 || errno != EINTR) break;
    }
    if (k) {
      std::lock_guard<std::mutex> lock(k->mu_);
      k->finished_ = true;
    }
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    return true;
  }
};

bool ProcessKill::kill(std::string* why) {
  std::lock_guard<std::mutex> lock(mu_);
  requested_ = true;
  if (pid_ <= 0 || finished_) return true;
  const pid_t pid = static_cast<pid_t>(pid_);
  int rc = ::kill(-pid, SIGKILL);
  int e = errno;
  ::kill(pid, SIGKILL);
  if (rc != 0 && e != ESRCH) {
    if (why) *why = std::strerror(e);
    return false;
  }
  return true;
}

bool ProcessKill::requested() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requested_;
}

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& opts) {
  if (argv.empty()) throw std::runtime_error("empty command line");
  ProcessKill* killer = opts.kill.get();
  if (killer && killer->requested()) {
    ProcessResult res;
    res.killed = true;
    return res;
  }
  int out_p[2], err_p[2], in_p[2];
  make_pipe(out_p);
  Fd out_r{out_p[0]}, out_w{out_p[1]};
  make_pipe(err_p);
  Fd err_r{err_p[0]}, err_w{err_p[1]};
  make_pipe(in_p);
  Fd in_r{in_p[0]}, in_w{in_p[1]};

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (opts.input) posix_spawn_file_actions_adddup2(&fa, in_r.fd, 0);
  else posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_w.fd, 1);
  posix_spawn_file_actions_adddup2(&fa, err_w.fd, 2);
  if (!opts.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, opts.cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Own process group, so a time-out kills grandchildren too.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);

  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0].c_str(), &fa, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    throw std::runtime_error("[Errno " + std::to_string(rc) + "] " + std::strerror(rc) + ": '" + argv[0] + "'");
  }
  ProcessKillAccess::started(killer, pid);
  out_w.reset();
  err_w.reset();
  in_r.reset();

  ProcessResult res;
  std::string input = opts.input.value_or("");
  size_t in_done = 0;
  if (!opts.input) in_w.reset();
  else ::fcntl(in_w.fd, F_SETFL, O_NONBLOCK);

  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(opts.timeout_sec));
  char buf[16384];
  auto kill_group = [&] {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
  };
  while (out_r.fd >= 0 || err_r.fd >= 0) {
    if (in_w.fd >= 0 && in_done >= input.size()) in_w.reset();
    // A kill from another thread normally closes the pipes; this ends the wait when a
    // descendant that left the group still holds them.
    if (killer && !res.timed_out && killer->requested()) break;
    pollfd fds[3];
    int n = 0;
    if (out_r.fd >= 0) fds[n++] = {out_r.fd, POLLIN, 0};
    if (err_r.fd >= 0) fds[n++] = {err_r.fd, POLLIN, 0};
    if (in_w.fd >= 0) fds[n++] = {in_w.fd, POLLOUT, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left <= 0) {
      if (res.timed_out || opts.kill_grace_sec <= 0) {
        res.timed_out = true;
        break;
      }
      // Time is up: kill, then collect what is still in the pipes for a short grace.
      res.timed_out = true;
      kill_group();
      in_w.reset();
      deadline = clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(opts.kill_grace_sec));
      continue;
    }
    int pr = ::poll(fds, static_cast<nfds_t>(n), static_cast<int>(std::min<long long>(left, killer ? 100 : 1000)));
    if (pr < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == in_w.fd) {
        ssize_t w = ::write(in_w.fd, input.data() + in_done, input.size() - in_done);
        if (w > 0) in_done += static_cast<size_t>(w);
        else if (w < 0 && errno != EAGAIN && errno != EINTR) in_w.reset();
        continue;
      }
      ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
      if (r > 0) {
        (fds[i].fd == out_r.fd ? res.out : res.err).append(buf, static_cast<size_t>(r));
      } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (fds[i].fd == out_r.fd) out_r.reset();
        else err_r.reset();
      }
    }
  }
  in_w.reset();
  int status = 0;
  bool reaped = false;
  if (!res.timed_out) {
    // Output closed; the child may still be running (it closed its pipes): wait within the limit.
    for (;;) {
      if (ProcessKillAccess::reap(killer, pid, &status, false)) {
        reaped = true;
        break;
      }
      if (killer && killer->requested()) break;
      if (clock::now() >= deadline) {
        res.timed_out = true;
        break;
      }
      ::usleep(2000);
    }
  }
  if (!reaped) {
    kill_group();
    ProcessKillAccess::reap(killer, pid, &status, true);
  }
  if (killer && killer->requested() && !res.timed_out) res.killed = true;
  if (WIFEXITED(status)) res.exit_code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) res.exit_code = -WTERMSIG(status);
  return res;
}

}  // namespace morvane
