// Lines a script sends to the stdio host: every line gets exactly one answer or none, and
// nothing crashes.
#include <cstdint>
#include <sstream>

#include "hosts/stdio_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static morvane::Bridge bridge = [] {
    morvane::Bridge b;
    b.add("echo", 0, {nullptr, nullptr}, [](const morvane::Json& a) { return a; });
    return b;
  }();
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream out;
  morvane::StdioHost host(in, out);
  host.drain_timeout_sec = 5;
  host.create_window({}, bridge, [] { return true; });
  host.run_loop();
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) morvane::Json::parse(line);  // every answer is JSON
  return 0;
}
