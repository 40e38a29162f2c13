#include <windows.h>

#include <thread>

#include "platform/threads.h"
#include "util/win_text.h"

namespace morvane::platform {

void set_thread_name(const char* name) noexcept {
  // SetThreadDescription exists from Windows 10 1607 on; older systems simply go without.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (!set) return;
  try {
    set(GetCurrentThread(), widen(name).c_str());
  } catch (const std::bad_alloc&) {
    // A name is not worth failing for.
  }
}

// Detaching closes the thread's handle, which the thread outlives without harm.
void start_detached(std::function<void()> fn) { std::thread(std::move(fn)).detach(); }

}  // namespace morvane::platform
