// Child processes on Windows: a hidden window, pipes, and a job object for the time limit.
#include <windows.h>

#include <chrono>
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
  ProcessKillAccess::started(killer, job);
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
  ProcessKillAccess::finished(killer);
  if (killer && killer->requested() && !res.timed_out) res.killed = true;
  WaitForMultipleObjects(2, th, TRUE, opts.kill_grace_sec > 0 ? static_cast<DWORD>(opts.kill_grace_sec * 1000) : 5000);
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

}  // namespace morvane
