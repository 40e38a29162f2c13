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

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& opts) {
  if (argv.empty()) throw std::runtime_error("empty command line");
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
  while (out_r.fd >= 0 || err_r.fd >= 0) {
    if (in_w.fd >= 0 && in_done >= input.size()) in_w.reset();
    pollfd fds[3];
    int n = 0;
    if (out_r.fd >= 0) fds[n++] = {out_r.fd, POLLIN, 0};
    if (err_r.fd >= 0) fds[n++] = {err_r.fd, POLLIN, 0};
    if (in_w.fd >= 0) fds[n++] = {in_w.fd, POLLOUT, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left <= 0) {
      res.timed_out = true;
      break;
    }
    int pr = ::poll(fds, static_cast<nfds_t>(n), static_cast<int>(std::min<long long>(left, 1000)));
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
  if (!res.timed_out) {
    // Output closed; the child may still be running (it closed its pipes): wait within the limit.
    for (;;) {
      pid_t w = ::waitpid(pid, &status, WNOHANG);
      if (w == pid) break;
      if (w < 0 && errno != EINTR) break;
      if (clock::now() >= deadline) {
        res.timed_out = true;
        break;
      }
      ::usleep(2000);
    }
  }
  if (res.timed_out) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (WIFEXITED(status)) res.exit_code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) res.exit_code = -WTERMSIG(status);
  return res;
}

}  // namespace morvane
