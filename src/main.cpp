// morvane: the desktop window (no argument), the stdio host (--stdio) or the browser
// host (--serve [--port N]); --data-dir DIR replaces the platform's data directory.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "app/morvane_app.h"
#include "hosts/stdio_host.h"
#include "util/diag.h"

namespace {

const char* kUsage =
    "usage: morvane [--data-dir DIR] [--stdio | --serve [--port N]]\n"
    "  (no option)   the desktop window (not available in this build)\n"
    "  --stdio       JSON lines on standard input and output: {\"id\": 1, \"op\": \"get_runtime_state\", \"args\": []}\n"
    "  --serve       the page and its bridge over HTTP on 127.0.0.1 (not available in this build)\n"
    "  --data-dir    use DIR instead of the default data directory\n";

int usage(int code) {
  std::fputs(kUsage, code == 0 ? stdout : stderr);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode, data_dir;
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--stdio" || a == "--serve") {
      if (!mode.empty()) return usage(2);
      mode = a.substr(2);
    } else if (a == "--data-dir" && i + 1 < argc) {
      data_dir = argv[++i];
    } else if (a == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (a == "-h" || a == "--help") {
      return usage(0);
    } else {
      std::fprintf(stderr, "morvane: unknown argument %s\n", a.c_str());
      return usage(2);
    }
  }
  (void)port;
  namespace fs = std::filesystem;
  fs::path data = data_dir.empty() ? morvane::default_data_dir() : fs::absolute(data_dir);
  fs::path resources = morvane::executable_dir();

  if (mode == "stdio") {
    // Standard output belongs to the protocol.
    morvane::diag::route_out_to_stderr(true);
    std::ios::sync_with_stdio(false);
    morvane::StdioHost host(std::cin, std::cout);
    morvane::GUI(host.queues(), host.events(), host, data, resources);
    std::cout.flush();
    std::fflush(nullptr);
    // Background threads (readers, workers) never keep the process alive.
    _exit(0);
  }
  std::fputs("morvane: the desktop window and the browser host are not available in this build; use --stdio\n", stderr);
  return usage(2);
}
