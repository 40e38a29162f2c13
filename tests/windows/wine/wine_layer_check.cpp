// The Windows platform layer run under Wine: child processes, atomic files and paths, the
// PuTTY registry walk and the ConPTY shell. Each group prints "ok -" / "not ok -" lines and
// exits with the number of failures.
//
// Usage: wine_layer_check.exe process|files DIR|putty|conpty
// The program is also its own child: the "child-..." commands are what the checks start.
#include "tap_check.h"
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "backends/local_shell.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "putty/putty_store.h"

using namespace morvane;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using wine_check::check;
using wine_check::failures;

std::string self_path() {
  char buf[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return std::string(buf, n);
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Starts this program again as `child-sleep`, inheriting the job of the caller; returns its id.
DWORD start_sleeper(bool inherit_handles) {
  std::string cmd = "\"" + self_path() + "\" child-sleep";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, inherit_handles, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                      &pi))
    return 0;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return pi.dwProcessId;
}

// True when the process is gone within the deadline (or was never there to open).
bool process_gone(DWORD pid, DWORD ms) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return true;
  bool gone = WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
  CloseHandle(h);
  return gone;
}

DWORD parse_pid(const std::string& out) {
  auto at = out.find("pid=");
  return at == std::string::npos ? 0 : static_cast<DWORD>(std::strtoul(out.c_str() + at + 4, nullptr, 10));
}

// ---- the child side -------------------------------------------------------------------

int child(const std::string& cmd, int argc, char** argv) {
  if (cmd == "child-echo") {
    // Arguments one per line, the input upper-cased, a line on stderr, exit status 3.
    for (int i = 2; i < argc; ++i) std::printf("arg[%s]\n", argv[i]);
    std::string in((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    for (char& c : in) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::printf("in[%s]\n", in.c_str());
    std::fprintf(stderr, "to stderr\n");
    return 3;
  }
  if (cmd == "child-window") {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    GetStartupInfoW(&si);
    std::printf("show=%d flags=%d\n", si.wShowWindow, (si.dwFlags & STARTF_USESHOWWINDOW) ? 1 : 0);
    return 0;
  }
  if (cmd == "child-sleep") {
    Sleep(60000);
    return 0;
  }
  if (cmd == "child-tree") {
    // A grandchild in the same job, then a long sleep: only a tree kill ends both.
    std::printf("pid=%lu\n", static_cast<unsigned long>(start_sleeper(false)));
    std::fflush(stdout);
    Sleep(60000);
    return 0;
  }
  if (cmd == "child-leave-holder") {
    // Exits at once, leaving a grandchild that holds the output pipe open.
    std::printf("pid=%lu\n", static_cast<unsigned long>(start_sleeper(true)));
    std::fflush(stdout);
    return 0;
  }
  if (cmd == "child-flood") {
    // More than a pipe buffer on both streams, then the end.
    std::string line(1000, 'o');
    for (int i = 0; i < 300; ++i) {
      std::printf("%s\n", line.c_str());
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    return 0;
  }
  if (cmd == "child-console") {
    // What a console program does in a pseudo-console: talks to CONOUT$ and CONIN$.
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) return 2;
    DWORD n = 0;
    const char hello[] = "console says hello\r\n";
    WriteConsoleA(out, hello, sizeof hello - 1, &n, nullptr);
    char buf[128];
    DWORD got = 0;
    std::string line;
    while (line.find('\r') == std::string::npos && line.find('\n') == std::string::npos &&
           ReadConsoleA(in, buf, sizeof buf, &got, nullptr) && got > 0)
      line.append(buf, got);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    std::string answer = "got <" + line + ">\r\n";
    WriteConsoleA(out, answer.data(), static_cast<DWORD>(answer.size()), &n, nullptr);
    Sleep(300);
    return 0;
  }
  std::fprintf(stderr, "unknown command %s\n", cmd.c_str());
  return 2;
}

// ---- processes ------------------------------------------------------------------------

void check_processes() {
  const std::string self = self_path();
  {
    ProcessOptions o;
    o.input = "piped input";
    o.timeout_sec = 20;
    auto r = run_process({self, "child-echo", "two words", "quote\"inside", "trailing\\", ""}, o);
    check(r.exit_code == 3 && !r.timed_out && !r.killed, "exit status comes back",
          "code " + std::to_string(r.exit_code));
    check(r.out.find("arg[two words]") != std::string::npos && r.out.find("arg[quote\"inside]") != std::string::npos &&
              r.out.find("arg[trailing\\]") != std::string::npos && r.out.find("arg[]") != std::string::npos,
          "arguments with spaces, quotes, a trailing backslash and an empty one arrive whole", r.out);
    check(r.out.find("in[PIPED INPUT]") != std::string::npos, "input reaches the child and is closed after it");
    check(r.err.find("to stderr") != std::string::npos && r.out.find("to stderr") == std::string::npos,
          "stderr is captured apart from stdout", r.err);
  }
  {
    // 2^32 ms and a little: a limit that would wrap around to zero in a 32-bit wait.
    ProcessOptions o;
    o.timeout_sec = 4294967.3;
    auto r = run_process({self, "child-window"}, o);
    check(!r.timed_out && r.exit_code == 0, "a limit longer than 49 days does not wrap around");
  }
  {
    auto r = run_process({self, "child-window"});
    check(r.out.find("show=0 flags=1") != std::string::npos, "the child starts with a hidden window (SW_HIDE)", r.out);
  }
  {
    ProcessOptions o;
    o.timeout_sec = 20;
    auto r = run_process({self, "child-flood"}, o);
    check(r.out.size() == 300 * 1002 && r.err.size() == 300 * 1002 && !r.timed_out,
          "300 kB on each stream at once is read whole (text mode: CRLF)",
          std::to_string(r.out.size()) + "/" + std::to_string(r.err.size()));
  }
  {
    ProcessOptions o;
    o.timeout_sec = 1.0;
    auto start = Clock::now();
    auto r = run_process({self, "child-tree"}, o);
    double took = seconds_since(start);
    DWORD grandchild = parse_pid(r.out);
    check(r.timed_out && !r.killed, "the time limit ends a child that sleeps", "took " + std::to_string(took) + " s");
    check(took >= 0.9 && took < 15, "the time limit is kept", std::to_string(took) + " s");
    check(grandchild != 0, "output written before the time limit is kept", r.out);
    check(grandchild != 0 && process_gone(grandchild, 5000), "the grandchild dies with the tree (job object)");
  }
  {
    // A grandchild holding the pipes keeps the run going, as on POSIX, until the time limit ends the tree.
    ProcessOptions o;
    o.timeout_sec = 1.5;
    auto start = Clock::now();
    auto r = run_process({self, "child-leave-holder"}, o);
    double took = seconds_since(start);
    DWORD grandchild = parse_pid(r.out);
    check(r.timed_out && took < 15, "a grandchild holding the output is ended by the time limit",
          std::to_string(took) + " s");
    check(grandchild != 0 && process_gone(grandchild, 5000), "that grandchild is gone afterwards");
  }
  {
    auto kill = std::make_shared<ProcessKill>();
    ProcessOptions o;
    o.timeout_sec = 30;
    o.kill = kill;
    auto start = Clock::now();
    auto fut = std::async(std::launch::async, [&] { return run_process({self, "child-tree"}, o); });
    std::this_thread::sleep_for(700ms);
    std::string why;
    bool accepted = kill->kill(&why);
    bool returned = fut.wait_for(15s) == std::future_status::ready;
    check(accepted && returned, "a kill from another thread ends the run", why);
    if (returned) {
      auto r = fut.get();
      DWORD grandchild = parse_pid(r.out);
      check(r.killed && !r.timed_out && seconds_since(start) < 15, "the run says it was killed, not timed out");
      check(grandchild != 0 && process_gone(grandchild, 5000), "the kill ends the grandchild too");
    }
    auto again = std::make_shared<ProcessKill>();
    again->kill();
    ProcessOptions o2;
    o2.kill = again;
    auto r = run_process({self, "child-sleep"}, o2);
    check(r.killed && r.out.empty(), "a kill before the start starts nothing");
  }
  try {
    run_process({"no-such-program-here.exe"});
    check(false, "a missing program throws");
  } catch (const std::runtime_error& e) {
    check(std::string(e.what()).find("[WinError 2]") == 0 &&
              std::string(e.what()).find("no-such-program-here.exe") != std::string::npos,
          "a missing program throws with the system's code", e.what());
  }
}

// ---- files and paths --------------------------------------------------------------------

void check_files(const std::string& dir_arg) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(dir_arg) / "files";
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::path f = dir / "settings.json";
  write_file_atomic(f, "first");
  write_file_atomic(f, "second, longer");
  check(read_file(f) == "second, longer", "a replace leaves exactly the new content");
  std::string big(3 << 20, 'b');
  write_file_atomic(f, big);
  check(read_file(f) == big, "3 MiB replace");
  auto leftovers = [&] {
    int n = 0;
    for (auto& e : fs::directory_iterator(dir))
      if (e.path().filename().string().find(".tmp-") != std::string::npos) ++n;
    return n;
  };
  check(leftovers() == 0, "no temporary file is left behind");
  {
    // Another program holds the file without letting it be deleted or renamed over.
    HANDLE h = CreateFileW(f.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    bool threw = false;
    std::string what;
    try {
      write_file_atomic(f, "blocked");
    } catch (const std::runtime_error& e) {
      threw = true;
      what = e.what();
    }
    CloseHandle(h);
    check(threw && what.find("cannot replace") == 0, "a replace over a locked file fails with a reason", what);
    check(read_file(f) == big && leftovers() == 0, "the failed replace keeps the old file and cleans up");
  }
  try {
    write_file_atomic(dir / "no-such-folder" / "x.json", "x");
    check(false, "a write into a missing folder throws");
  } catch (const std::runtime_error& e) {
    check(true, "a write into a missing folder throws", e.what());
  }
  fs::path log = dir / "log.txt";
  {
    std::ofstream(log, std::ios::binary) << "no line end";
  }
  check(append_line(log, "second") && append_line(log, "third\n") &&
            read_file(log) == "no line end\nsecond\nthird\n",
        "append_line starts its line on a line of its own", read_file(log));
  try {
    read_file(dir / "missing.txt");
    check(false, "reading a missing file throws");
  } catch (const std::runtime_error& e) {
    check(true, "reading a missing file throws", e.what());
  }

  check(default_data_dir() == fs::path("C:/halvren/Morvane"), "the data directory is C:/halvren/Morvane",
        default_data_dir().string());
  check(fs::equivalent(executable_dir() / "wine_layer_check.exe", fs::path(self_path())),
        "executable_dir is this program's folder", executable_dir().string());
  check(!home_dir().empty(), "the home folder comes from USERPROFILE", home_dir().string());
  std::string cmd = find_on_path("cmd.exe");
  check(!cmd.empty() && fs::exists(cmd), "cmd.exe is found on the search path", cmd);
  check(find_on_path("no-such-program-here.exe").empty(), "a missing program is not found");
  fs::remove_all(dir);
}

// ---- ConPTY ------------------------------------------------------------------------------

// Reads until `want` appears, the shell ends or the deadline passes (then the shell is closed,
// which ends the blocked read).
std::string read_until(Backend& b, const std::string& want, std::chrono::milliseconds deadline,
                       std::string& seen) {
  auto fut = std::async(std::launch::async, [&] {
    for (;;) {
      std::string part = b.recv(4096);
      if (part.empty()) return false;
      seen += part;
      if (seen.find(want) != std::string::npos) return true;
    }
  });
  if (fut.wait_for(deadline) != std::future_status::ready) {
    b.close();
    fut.wait();
    return "timed out";
  }
  return fut.get() ? "found" : "ended";
}

void check_conpty() {
  LocalShellOptions o;
  o.shell = "custom";
  o.custom_command = "\"" + self_path() + "\" child-console";
  auto shell = make_local_shell(o);
  try {
    shell->connect();
  } catch (const std::exception& e) {
    // A system without pseudo-consoles must fail here with the call's name, not later.
    std::string what = e.what();
    check(what.find("CreatePseudoConsole") != std::string::npos, "ConPTY is missing and connect says so", what);
    return;
  }
  check(true, "connect creates the pseudo-console and starts the program");
  std::string seen;
  std::string how = read_until(*shell, "console says hello", 15s, seen);
  check(how == "found", "the program's console output arrives on the pipe", how + ", saw: " + seen);
  if (how == "found") {
    shell->send("ping\r");
    how = read_until(*shell, "got <ping>", 15s, seen);
    check(how == "found", "keys sent into the pipe reach the program's console input", how + ", saw: " + seen);
  }
  try {
    shell->resize(30, 100);
    check(true, "resize is accepted");
  } catch (const std::runtime_error& e) {
    // Wine answers ResizePseudoConsole with E_NOTIMPL; the failure must carry the call's name.
    check(std::string(e.what()).find("ResizePseudoConsole") == 0, "resize fails cleanly where unsupported", e.what());
  }
  auto start = Clock::now();
  auto closed = std::async(std::launch::async, [&] { shell->close(); });
  check(closed.wait_for(15s) == std::future_status::ready && shell->is_closed(), "close returns",
        std::to_string(seconds_since(start)) + " s");
  check(shell->recv(100).empty(), "recv after close is the end of the stream");
  try {
    shell->send("x");
    check(false, "send after close throws");
  } catch (const std::runtime_error&) {
    check(true, "send after close throws");
  }
  {
    // A program that writes to its standard handles rather than opening the console: Windows
    // shows its output through the pseudo-console; Wine 8 gives it the parent's handles instead
    // (its echo then lands in this program's own output).
    LocalShellOptions c;
    c.shell = "custom";
    c.custom_command = "cmd.exe /c echo standard-output-marker";
    auto cmd_shell = make_local_shell(c);
    try {
      cmd_shell->connect();
      std::string cmd_seen;
      std::string how_cmd = read_until(*cmd_shell, "standard-output-marker", 3s, cmd_seen);
      std::printf("info - cmd.exe /c echo through the pseudo-console: %s\n",
                  how_cmd == "found" ? "its output arrived" : "its output did not arrive");
      cmd_shell->close();
    } catch (const std::exception& e) {
      std::printf("info - cmd.exe in a pseudo-console did not start: %s\n", e.what());
    }
  }
  LocalShellOptions missing;
  missing.shell = "no-such-shell";
  try {
    make_local_shell(missing)->connect();
    check(false, "a missing shell is refused");
  } catch (const std::runtime_error& e) {
    check(std::string(e.what()) == "shell not found: no-such-shell", "a missing shell is refused", e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd.rfind("child-", 0) == 0) return child(cmd, argc, argv);
  try {
    if (cmd == "process") check_processes();
    else if (cmd == "files" && argc > 2) check_files(argv[2]);
    else if (cmd == "conpty") check_conpty();
    else if (cmd == "putty") {
      // The raw records as JSON, compared outside with what the POSIX store reader makes.
      std::printf("%s\n", putty::_read_putty_registry_sessions().dump().c_str());
      return 0;
    } else {
      std::fprintf(stderr, "usage: wine_layer_check.exe process|files DIR|putty|conpty\n");
      return 2;
    }
  } catch (const std::exception& e) {
    check(false, std::string("unexpected failure: ") + e.what());
  }
  return failures;
}
