// Child processes on Windows: a hidden window, pipes, and a job object for the time limit.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "platform/process.h"
#include "util/win_text.h"

namespace morvane {

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

// Output collected by reader threads that may outlive the call that started them.
struct PipeState {
  std::mutex mu;
  std::condition_variable cv;
  int readers_left = 2;
  std::string out, err;

  // True when both readers reached the end of their pipe within ms milliseconds.
  bool wait_readers(DWORD ms) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return readers_left == 0; });
  }
};

struct ReaderArgs {
  std::shared_ptr<PipeState> state;
  HANDLE pipe;
  bool is_err;
};

void start_reader(const std::shared_ptr<PipeState>& state, HANDLE pipe, bool is_err) {
  auto* args = new ReaderArgs{state, pipe, is_err};
  auto body = [](LPVOID p) -> DWORD {
    std::unique_ptr<ReaderArgs> a(static_cast<ReaderArgs*>(p));
    char buf[8192];
    DWORD n = 0;
    while (ReadFile(a->pipe, buf, sizeof buf, &n, nullptr) && n > 0) {
      std::lock_guard<std::mutex> lock(a->state->mu);
      (a->is_err ? a->state->err : a->state->out).append(buf, n);
    }
    CloseHandle(a->pipe);
    std::lock_guard<std::mutex> lock(a->state->mu);
    --a->state->readers_left;
    a->state->cv.notify_all();
    return 0;
  };
  HANDLE t = CreateThread(nullptr, 0, body, args, 0, nullptr);
  if (t) {
    CloseHandle(t);
    return;
  }
  // No thread: the pipe is not read; count it as ended so the caller does not wait on it.
  CloseHandle(pipe);
  delete args;
  std::lock_guard<std::mutex> lock(state->mu);
  --state->readers_left;
}

struct WriterArgs {
  HANDLE pipe;
  std::string data;
};

// The input goes in on its own thread, so a child that never reads it cannot stall the time limit.
void start_writer(const std::shared_ptr<PipeState>&, HANDLE pipe, const std::string& data) {
  auto* args = new WriterArgs{pipe, data};
  auto body = [](LPVOID p) -> DWORD {
    std::unique_ptr<WriterArgs> a(static_cast<WriterArgs*>(p));
    size_t done = 0;
    while (done < a->data.size()) {
      DWORD n = 0;
      if (!WriteFile(a->pipe, a->data.data() + done, static_cast<DWORD>(a->data.size() - done), &n, nullptr)) break;
      done += n;
    }
    CloseHandle(a->pipe);
    return 0;
  };
  HANDLE t = CreateThread(nullptr, 0, body, args, 0, nullptr);
  if (t) {
    CloseHandle(t);
    return;
  }
  CloseHandle(pipe);
  delete args;
}
}  // namespace

struct ProcessKillAccess {
  static void started(ProcessKill* k, HANDLE job) {
    if (!k) return;
    std::lock_guard<std::mutex> lock(k->mu_);
    k->job_ = job;
    if (k->requested_) TerminateJobObject(job, 1);
  }
  static void finished(ProcessKill* k) {
    if (!k) return;
    std::lock_guard<std::mutex> lock(k->mu_);
    k->job_ = nullptr;
    k->finished_ = true;
  }
};

bool ProcessKill::kill(std::string* why) {
  std::lock_guard<std::mutex> lock(mu_);
  requested_ = true;
  if (!job_ || finished_) return true;
  if (!TerminateJobObject(static_cast<HANDLE>(job_), 1)) {
    if (why) *why = "[WinError " + std::to_string(GetLastError()) + "] TerminateJobObject";
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
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out_r = nullptr, out_w = nullptr, err_r = nullptr, err_w = nullptr, in_r = nullptr, in_w = nullptr;
  if (!CreatePipe(&out_r, &out_w, &sa, 0) || !CreatePipe(&err_r, &err_w, &sa, 0) || !CreatePipe(&in_r, &in_w, &sa, 0)) {
    DWORD e = GetLastError();
    for (HANDLE h : {out_r, out_w, err_r, err_w, in_r, in_w})
      if (h) CloseHandle(h);
    throw std::runtime_error("[WinError " + std::to_string(e) + "] CreatePipe");
  }
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
  ProcessKillAccess::started(killer, job);
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  // The readers and the writer own their state: a descendant outside the job could keep a pipe
  // open past our return, and its thread must then not write into a finished call.
  auto state = std::make_shared<PipeState>();
  start_reader(state, out_r, false);
  start_reader(state, err_r, true);
  if (opts.input) start_writer(state, in_w, *opts.input);
  else CloseHandle(in_w);

  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(opts.timeout_sec));
  auto ms_left = [&]() -> DWORD {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    // Long limits stay below INFINITE rather than wrapping around.
    return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, INFINITE - 1));
  };
  ProcessResult res;
  // As on POSIX, the run lasts until the output ends: a descendant still holding the pipes after
  // the child exited counts against the same limit.
  bool ended = WaitForSingleObject(pi.hProcess, ms_left()) == WAIT_OBJECT_0 && state->wait_readers(ms_left());
  if (!ended) {
    res.timed_out = !(killer && killer->requested());
    TerminateJobObject(job, 1);
    WaitForSingleObject(pi.hProcess, 5000);
    // What was already written is still collected; a zero grace only lets the readers see the break.
    state->wait_readers(opts.kill_grace_sec > 0 ? static_cast<DWORD>(opts.kill_grace_sec * 1000) : 200);
  }
  ProcessKillAccess::finished(killer);
  if (killer && killer->requested() && !res.timed_out) res.killed = true;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    res.out = state->out;
    res.err = state->err;
  }
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  res.exit_code = static_cast<int>(code);
  CloseHandle(pi.hProcess);
  CloseHandle(job);
  return res;
}

}  // namespace morvane
