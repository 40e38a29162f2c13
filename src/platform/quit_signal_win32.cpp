// Console control events stand for POSIX's quit signals. A blocked ReadFile on standard
// input (a pipe or the console) is ended with CancelSynchronousIo from the thread that
// interrupts it.
#include <windows.h>
#include <io.h>

#include <atomic>

#include "platform/quit_signal.h"

namespace morvane::platform {

namespace {
std::atomic<void (*)()> g_on_quit{nullptr};
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_in_read{false};
std::atomic<HANDLE> g_reader{nullptr};  // the thread in read_input, a real handle to it

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (auto fn = g_on_quit.load()) fn();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (auto fn = g_on_quit.load()) fn();
      // The process ends once this returns: leave the program its few seconds to quit in
      // order (it exits meanwhile on its own).
      Sleep(4000);
      return TRUE;
    default:
      return FALSE;
  }
}
}  // namespace

void on_quit_signal(void (*on_quit)()) noexcept {
  g_on_quit = on_quit;
  static std::atomic<bool> installed{false};
  if (!installed.exchange(true)) SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool prepare_input_interrupt() noexcept { return true; }

void interrupt_input() noexcept {
  g_interrupted = true;
  // The reader may be just about to enter ReadFile, where a cancel made now would miss it.
  for (int i = 0; i < 200 && g_in_read.load(); ++i) {
    if (HANDLE t = g_reader.load()) CancelSynchronousIo(t);
    Sleep(10);
  }
}

std::size_t read_input(int fd, char* buf, std::size_t len) noexcept {
  HANDLE in = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (in == INVALID_HANDLE_VALUE || in == nullptr) return 0;
  thread_local HANDLE self = [] {
    HANDLE h = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &h, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return h;
  }();
  g_reader = self;
  g_in_read = true;
  DWORD got = 0;
  BOOL ok = FALSE;
  if (!g_interrupted.load())
    ok = ReadFile(in, buf, static_cast<DWORD>(len > 0x40000000u ? 0x40000000u : len), &got, nullptr);
  g_in_read = false;
  // A failure is the end too: a broken pipe is how a writer's exit reads.
  if (!ok || g_interrupted.load()) return 0;
  return got;
}

}  // namespace morvane::platform
