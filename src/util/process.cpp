#include "util/process.h"
#include "util/win_text.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace morvane {

#ifndef _WIN32
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

#else  // _WIN32

namespace {
// Quoting of one argument the way the C runtime splits a command line.
std::wstring quote_arg(const std::wstring& a) {
  if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
  std::wstring q = L"\"";
  size_t bs = 0;
  for (wchar_t c : a) {
    if (c == L'\\') {
      ++bs;
      continue;
    }
    if (c == L'"') q.append(bs * 2 + 1, L'\\');
    else q.append(bs, L'\\');
    bs = 0;
    q += c;
  }
  q.append(bs * 2, L'\\');
  q += L'"';
  return q;
}
}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& opts) {
  if (argv.empty()) throw std::runtime_error("empty command line");
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out_r, out_w, err_r, err_w, in_r, in_w;
  CreatePipe(&out_r, &out_w, &sa, 0);
  CreatePipe(&err_r, &err_w, &sa, 0);
  CreatePipe(&in_r, &in_w, &sa, 0);
  SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_r, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(in_w, HANDLE_FLAG_INHERIT, 0);
  std::wstring cmd;
  for (auto& a : argv) {
    if (!cmd.empty()) cmd += L' ';
    cmd += quote_arg(widen(a));
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  si.hStdInput = in_r;
  si.hStdOutput = out_w;
  si.hStdError = err_w;
  PROCESS_INFORMATION pi{};
  std::wstring cwd = widen(opts.cwd);
  // A job object kills the whole tree on a time-out, as TerminateProcess alone would not.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION li{};
  li.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &li, sizeof li);
  BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                           cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
  CloseHandle(out_w);
  CloseHandle(err_w);
  CloseHandle(in_r);
  if (!ok) {
    DWORD e = GetLastError();
    CloseHandle(out_r);
    CloseHandle(err_r);
    CloseHandle(in_w);
    CloseHandle(job);
    throw std::runtime_error("[WinError " + std::to_string(e) + "] cannot start '" + argv[0] + "'");
  }
  AssignProcessToJobObject(job, pi.hProcess);
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  if (opts.input) {
    DWORD w = 0;
    WriteFile(in_w, opts.input->data(), static_cast<DWORD>(opts.input->size()), &w, nullptr);
  }
  CloseHandle(in_w);
  ProcessResult res;
  auto drain = [](HANDLE h, std::string* into) {
    char buf[8192];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) into->append(buf, n);
  };
  struct Ctx {
    HANDLE h;
    std::string* s;
    decltype(drain)* f;
  };
  Ctx c_out{out_r, &res.out, &drain}, c_err{err_r, &res.err, &drain};
  auto thunk = [](LPVOID p) -> DWORD {
    auto* c = static_cast<Ctx*>(p);
    (*c->f)(c->h, c->s);
    return 0;
  };
  HANDLE th[2] = {CreateThread(nullptr, 0, thunk, &c_out, 0, nullptr), CreateThread(nullptr, 0, thunk, &c_err, 0, nullptr)};
  DWORD wr = WaitForSingleObject(pi.hProcess, static_cast<DWORD>(opts.timeout_sec * 1000));
  if (wr == WAIT_TIMEOUT) {
    res.timed_out = true;
    TerminateJobObject(job, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);
  }
  WaitForMultipleObjects(2, th, TRUE, 5000);
  CloseHandle(th[0]);
  CloseHandle(th[1]);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  res.exit_code = static_cast<int>(code);
  CloseHandle(pi.hProcess);
  CloseHandle(out_r);
  CloseHandle(err_r);
  CloseHandle(job);
  return res;
}
#endif

}  // namespace morvane
