#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/quit_signal.h"

namespace morvane::platform {

namespace {
std::atomic<void (*)()> g_on_quit{nullptr};
// Written by interrupt_input, watched by read_input.
int g_quit_pipe[2] = {-1, -1};
}  // namespace

void on_quit_signal(void (*on_quit)()) noexcept {
  g_on_quit = on_quit;
  struct sigaction sa {};
  sa.sa_handler = [](int) {
    int saved = errno;
    if (auto fn = g_on_quit.load()) fn();
    errno = saved;
  };
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool prepare_input_interrupt() noexcept {
  return g_quit_pipe[0] >= 0 || ::pipe2(g_quit_pipe, O_CLOEXEC | O_NONBLOCK) == 0;
}

void interrupt_input() noexcept {
  if (g_quit_pipe[1] < 0) return;
  char b = 1;
  [[maybe_unused]] ssize_t n = ::write(g_quit_pipe[1], &b, 1);
}

std::size_t read_input(int fd, char* buf, std::size_t len) noexcept {
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {g_quit_pipe[0], POLLIN, 0}};
    int n = ::poll(p, g_quit_pipe[0] >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (g_quit_pipe[0] >= 0 && (p[1].revents & POLLIN)) return 0;
    if (p[0].revents & POLLNVAL) return 0;
    if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t got = ::read(fd, buf, len);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }
}

}  // namespace morvane::platform
