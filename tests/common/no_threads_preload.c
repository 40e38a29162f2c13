// Loaded with LD_PRELOAD into the program under test: while the file named by
// MORVANE_NO_THREADS_WHILE exists, every new thread fails as it does when the process or the
// system is out of threads (EAGAIN). Lets a test take threads away from a running program.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  static create_fn real;
  if (!real) real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
  const char* flag = getenv("MORVANE_NO_THREADS_WHILE");
  if (flag && access(flag, F_OK) == 0) return EAGAIN;
  return real(thread, attr, start, arg);
}
