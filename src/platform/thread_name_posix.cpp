#include <pthread.h>

#include <cstring>

#include "platform/thread_name.h"

namespace morvane::platform {

void set_thread_name(const char* name) noexcept {
  char buf[16] = {};
  std::strncpy(buf, name, sizeof buf - 1);
  pthread_setname_np(pthread_self(), buf);
}

}  // namespace morvane::platform
