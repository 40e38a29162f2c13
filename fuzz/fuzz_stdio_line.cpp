// Lines a script sends to the stdio host: every line gets exactly one answer or none, and
// nothing crashes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "hosts/stdio_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static morvane::Bridge bridge = [] {
    morvane::Bridge b;
    b.add("echo", 0, {nullptr, nullptr}, [](const morvane::Json& a) { return a; });
    return b;
  }();
  const std::string input(reinterpret_cast<const char*>(data), size);
  // One of the two readers per input, by the input's length (so mutations reach both and the
  // corpus replays through both): the stream one (scripts, tests) and the descriptor one the
  // program uses. Running both on every input halved the rate for little the other missed.
  const bool from_fd = size % 2 == 1;
  std::istringstream in(from_fd ? std::string() : input);
  std::ostringstream out;
  morvane::StdioHost host(in, out);
  host.drain_timeout_sec = 5;
  int fd = -1;
  if (from_fd) {
    fd = ::memfd_create("stdio-input", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) abort();
    ::lseek(fd, 0, SEEK_SET);
    host.input_fd = fd;
  }
  host.create_window({}, bridge, [] { return true; });
  host.run_loop();
  if (fd >= 0) ::close(fd);
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) {
    [[maybe_unused]] const morvane::Json answer = morvane::Json::parse(line);  // every answer is JSON
  }
  return 0;
}
