// Local shell in a Windows pseudo-console (ConPTY).
//
// Ways the connection ends: the shell exits (the output pipe breaks after the last output:
// end of stream); close() from any thread (closes the pseudo-console, which breaks a blocked
// ReadFile, then ends the process tree through its job object); a pipe failure.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/local_shell.h"
#include "platform/paths.h"
#include "util/win_text.h"

namespace morvane {
namespace {

std::runtime_error win_error(const std::string& what, DWORD code = GetLastError()) {
  return std::runtime_error(what + ": [WinError " + std::to_string(code) + "]");
}

}  // namespace

std::vector<std::string> resolve_shell_argv(const LocalShellOptions& opts) {
  const std::string& shell = opts.shell;
  if (shell == "custom") {
    if (opts.custom_command.find_first_not_of(" \t") == std::string::npos)
      throw std::runtime_error("the custom shell command is empty");
    return {opts.custom_command};  // a whole command line, passed to CreateProcess as it is
  }
  std::string exe = shell.empty() ? std::string("cmd") : shell;
  if (exe == "powershell") exe = "powershell.exe";
  else if (exe == "pwsh") exe = "pwsh.exe";
  else if (exe == "wsl") exe = "wsl.exe";
  else if (exe == "bash") exe = "bash.exe";
  else if (exe == "cmd") exe = "cmd.exe";
  if (exe.find('.') == std::string::npos) exe += ".exe";
  std::string path = find_on_path(exe);
  if (path.empty()) throw std::runtime_error("shell not found: " + shell);
  return {"\"" + path + "\""};
}

namespace {

class ConPtyShell final : public Backend {
 public:
  explicit ConPtyShell(LocalShellOptions opts) : opts_(std::move(opts)) {}
  ~ConPtyShell() override { close(); }

  void connect() override {
    std::string cmdline = resolve_shell_argv(opts_).front();
    HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
    if (!CreatePipe(&in_read, &in_write, nullptr, 0)) throw win_error("CreatePipe");
    if (!CreatePipe(&out_read, &out_write, nullptr, 0)) {
      CloseHandle(in_read);
      CloseHandle(in_write);
      throw win_error("CreatePipe");
    }
    COORD size{static_cast<SHORT>(opts_.cols), static_cast<SHORT>(opts_.rows)};
    HPCON pc = nullptr;
    HRESULT hr = CreatePseudoConsole(size, in_read, out_write, 0, &pc);
    // The pseudo-console holds its own duplicates of these ends.
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (FAILED(hr)) {
      CloseHandle(in_write);
      CloseHandle(out_read);
      throw win_error("CreatePseudoConsole", static_cast<DWORD>(hr));
    }
    SIZE_T attr_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
    std::vector<unsigned char> attr_buf(attr_size);
    auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_buf.data());
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    if (!InitializeProcThreadAttributeList(attrs, 1, 0, &attr_size) ||
        !UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, pc, sizeof pc, nullptr, nullptr)) {
      auto e = win_error("UpdateProcThreadAttribute");
      ClosePseudoConsole(pc);
      CloseHandle(in_write);
      CloseHandle(out_read);
      throw e;
    }
    si.lpAttributeList = attrs;
    std::wstring cmd = widen(cmdline);
    std::wstring cwd = widen(opts_.working_dir);
    if (!cwd.empty()) {
      DWORD a = GetFileAttributesW(cwd.c_str());
      if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteProcThreadAttributeList(attrs);
        ClosePseudoConsole(pc);
        CloseHandle(in_write);
        CloseHandle(out_read);
        throw std::runtime_error("working directory not found: " + opts_.working_dir);
      }
    }
    // A job object ends the whole tree when the tab closes.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION li{};
    li.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &li, sizeof li);
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE,
                             EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, nullptr,
                             cwd.empty() ? nullptr : cwd.c_str(), &si.StartupInfo, &pi);
    DWORD err = GetLastError();
    DeleteProcThreadAttributeList(attrs);
    if (!ok) {
      ClosePseudoConsole(pc);
      CloseHandle(in_write);
      CloseHandle(out_read);
      CloseHandle(job);
      throw win_error("CreateProcess", err);
    }
    AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    std::lock_guard<std::mutex> lock(mu_);
    pc_ = pc;
    in_ = in_write;
    out_ = out_read;
    proc_ = pi.hProcess;
    job_ = job;
  }

  std::string recv(size_t max_bytes) override {
    HANDLE out;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_ || !out_) return {};
      out = out_;
      ++busy_;
    }
    std::string buf(max_bytes, '\0');
    DWORD n = 0;
    BOOL ok = ReadFile(out, buf.data(), static_cast<DWORD>(max_bytes), &n, nullptr);
    release();
    if (!ok || n == 0) return {};
    buf.resize(n);
    return buf;
  }

  void send(std::string_view bytes) override {
    HANDLE in;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_ || !in_) throw std::runtime_error("the shell has ended");
      in = in_;
      ++busy_;
    }
    size_t done = 0;
    bool failed = false;
    while (done < bytes.size()) {
      DWORD n = 0;
      if (!WriteFile(in, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr)) {
        failed = true;
        break;
      }
      done += n;
    }
    release();
    if (failed) throw win_error("WriteFile");
  }

  void resize(int rows, int cols) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_ || !pc_) return;
    HRESULT hr = ResizePseudoConsole(pc_, COORD{static_cast<SHORT>(cols), static_cast<SHORT>(rows)});
    if (FAILED(hr)) throw win_error("ResizePseudoConsole", static_cast<DWORD>(hr));
  }

  void close() noexcept override {
    HPCON pc;
    HANDLE in, proc, job;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_) return;
      closed_ = true;
      pc = pc_;
      in = in_;
      proc = proc_;
      job = job_;
      pc_ = nullptr;
      in_ = proc_ = job_ = nullptr;
    }
    // Closing the pseudo-console breaks the output pipe, which ends a blocked ReadFile.
    if (pc) ClosePseudoConsole(pc);
    if (in) CloseHandle(in);
    if (job) {
      TerminateJobObject(job, 1);
      CloseHandle(job);
    }
    if (proc) {
      WaitForSingleObject(proc, 2000);
      CloseHandle(proc);
    }
    std::unique_lock<std::mutex> lock(mu_);
    idle_.wait(lock, [&] { return busy_ == 0; });
    if (out_) CloseHandle(out_);
    out_ = nullptr;
  }

  bool is_closed() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return closed_;
  }

 private:
  void release() {
    std::lock_guard<std::mutex> lock(mu_);
    if (--busy_ == 0) idle_.notify_all();
  }

  LocalShellOptions opts_;
  mutable std::mutex mu_;
  std::condition_variable idle_;
  int busy_ = 0;
  bool closed_ = false;
  HPCON pc_ = nullptr;
  HANDLE in_ = nullptr, out_ = nullptr, proc_ = nullptr, job_ = nullptr;
};

}  // namespace

std::unique_ptr<Backend> make_local_shell(const LocalShellOptions& opts) { return std::make_unique<ConPtyShell>(opts); }

}  // namespace morvane
