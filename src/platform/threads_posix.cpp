#include <pthread.h>

#include <cstring>
#include <memory>
#include <system_error>

#include "platform/threads.h"

namespace morvane::platform {

void set_thread_name(const char* name) noexcept {
  char buf[16] = {};
  std::strncpy(buf, name, sizeof buf - 1);
  pthread_setname_np(pthread_self(), buf);
}

namespace {
// noexcept: an exception leaving the thread's function ends the program, as from a std::thread.
void* thread_main(void* arg) noexcept {
  std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
  (*fn)();
  return nullptr;
}
}  // namespace

// The thread is created detached rather than detached once started: glibc's pthread_detach
// (2.36 here) marks the thread detached and then reads its descriptor, which a thread that
// ended in that moment has already given back with its stack. With a thread per call that
// crashed the stdio host under fuzzing, once in several million inputs.
void start_detached(std::function<void()> fn) {
  auto owned = std::make_unique<std::function<void()>>(std::move(fn));
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_attr_init");
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t id;
  const int rc = pthread_create(&id, &attr, thread_main, owned.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "cannot start a thread");
  owned.release();  // the thread owns it now
}

}  // namespace morvane::platform
