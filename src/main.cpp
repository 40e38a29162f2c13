// morvane: the launcher (no argument), which runs the desktop window (--desktop) in a child
// process; the stdio host (--stdio) or the browser host (--serve [--port N]); --data-dir DIR
// replaces the platform's data directory.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <iostream>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "app/morvane_app.h"
#include "hosts/http_host.h"
#include "hosts/stdio_host.h"
#include "platform/memory.h"
#include "util/diag.h"
#include "util/text.h"

#ifdef MORVANE_HAVE_DESKTOP
#include <memory>
#include <thread>

#include "hosts/desktop_host.h"
#include "platform/threads.h"
#ifndef _WIN32
#include "launcher/launcher.h"
#endif
#endif

namespace {

const char* kUsage =
    "usage: morvane [--data-dir DIR] [--stdio | --serve [--port N]]\n"
    "  (no option)   the launcher: the desktop window in a child process, fed with the\n"
    "                reachability of the saved sessions\n"
    "  --desktop     the desktop window on its own\n"
    "  --stdio       JSON lines on standard input and output: {\"id\": 1, \"op\": \"get_runtime_state\", \"args\": []}\n"
    "  --serve       the page and its bridge over HTTP on 127.0.0.1; prints the page's address\n"
    "  --port N      the port for --serve (default: a free one)\n"
    "  --data-dir    use DIR instead of the default data directory\n"
    "  --version     the program's version\n";

int usage(int code) {
  std::fputs(kUsage, code == 0 ? stdout : stderr);
  return code;
}

// Background threads (readers, workers) never keep the process alive.
[[noreturn]] void finish(int code) {
  std::cout.flush();
  std::fflush(nullptr);
  _exit(code);
}

#if defined(MORVANE_HAVE_DESKTOP) && !defined(_WIN32)
// The window's process runs WebKit's UI side, whose JavaScript engine only carries the page's
// bridge messages; its allocator's scavenger thread still woke ten times a second at rest and
// was half of the window's idle cost. WebKit reads its allocator choice ("Malloc=1": the C
// library's malloc) once, before main, so the window starts itself again with the variable
// set, and drops it at once: the page's own process (where xterm.js parses about a third
// slower without WebKit's allocator) and the tabs' programs start without it.
void window_heap(char** argv) {
  const char* kMark = "MORVANE_WINDOW_HEAP";
  if (const char* mark = std::getenv(kMark)) {
    if (std::strcmp(mark, "set") == 0) ::unsetenv("Malloc");
    ::unsetenv(kMark);
    return;
  }
  if (std::getenv("Malloc")) return;  // the user's own choice stands
  ::setenv("Malloc", "1", 1);
  ::setenv(kMark, "set", 1);
  // By its real path: started through /proc/self/exe the process would be named "exe".
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) ::execv(self.c_str(), argv);
  // Not started again: the window runs as it is, with the allocator it has.
  ::unsetenv("Malloc");
  ::unsetenv(kMark);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  morvane::platform::tune_allocator();
  std::string mode, data_dir;
  bool data_dir_given = false;
  [[maybe_unused]] bool launched = false;  // the desktop window as the launcher's child (Linux)
  int port = 0;
  bool port_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--launched") {
      launched = true;
    } else if (a == "--stdio" || a == "--serve" || a == "--desktop") {
      if (!mode.empty()) return usage(2);
      mode = a.substr(2);
    } else if (a == "--data-dir" && i + 1 < argc) {
      data_dir = argv[++i];
      data_dir_given = true;
    } else if (a == "--port" && i + 1 < argc) {
      auto n = morvane::text::parse_int(argv[++i]);
      if (!n || *n < 0 || *n > 65535) {
        std::fprintf(stderr, "morvane: --port needs a number from 0 to 65535, not %s\n", argv[i]);
        return usage(2);
      }
      port = static_cast<int>(*n);
      port_given = true;
    } else if (a == "-h" || a == "--help") {
      return usage(0);
    } else if (a == "--version") {
      std::printf("morvane %s\n", MORVANE_VERSION);
      return 0;
    } else {
      std::fprintf(stderr, "morvane: unknown argument %s\n", a.c_str());
      return usage(2);
    }
  }
  if (port_given && mode != "serve") {
    std::fputs("morvane: --port goes with --serve\n", stderr);
    return usage(2);
  }
  namespace fs = std::filesystem;
  if (data_dir_given && data_dir.empty()) {
    // Most likely an unset shell variable: the default folder would be a surprise.
    std::fputs("morvane: --data-dir is empty\n", stderr);
    return usage(2);
  }
  fs::path data = data_dir.empty() ? morvane::default_data_dir() : fs::absolute(data_dir);
  {
    std::error_code ec;
    fs::create_directories(data, ec);
    if (!ec && !fs::is_directory(data, ec)) ec = std::make_error_code(std::errc::not_a_directory);
    if (ec) {
      std::fprintf(stderr, "morvane: cannot create the data directory %s: %s\n", data.string().c_str(),
                   ec.message().c_str());
      return 1;
    }
  }
  fs::path resources = morvane::executable_dir();

  if (mode == "stdio") {
    // Standard output belongs to the protocol.
    morvane::diag::route_out_to_stderr(true);
    std::ios::sync_with_stdio(false);
    morvane::StdioHost host(std::cin, std::cout);
    host.input_fd = 0;
    // SIGINT and SIGTERM quit in order, as end of input does.
    morvane::StdioHost::prepare_signals();
    morvane::GUI(host.queues(), host.events(), host, data, resources);
    finish(0);
  }

  if (mode == "serve") {
    // A script reads the page's address from the first line: diagnostics go elsewhere.
    morvane::diag::route_out_to_stderr(true);
    // SIGINT and SIGTERM quit in order, as a closed window does.
    morvane::HttpHost::prepare_signals();
    morvane::HttpHost host(port, std::cout);
    // A direct run: no launcher events; the queue is there for POST /queue.
    morvane::GUI(host.queues(), {}, host, data, resources);
    finish(host.port() > 0 ? 0 : 1);
  }

#ifdef MORVANE_HAVE_DESKTOP
  // Windows has no launcher: there no option opens the window itself.
#ifndef _WIN32
  if (mode.empty()) {
    morvane::launcher::Options opt;
    opt.program = resources / "morvane";
    opt.data_dir = data;
    finish(morvane::launcher::run(opt));
  }
#endif
#ifndef _WIN32
  window_heap(argv);
#endif
  if (!morvane::DesktopHost::open_display()) {
    std::fputs("morvane: no desktop display could be opened (DISPLAY / WAYLAND_DISPLAY); "
               "run `morvane --serve` and open the address it prints in a browser\n",
               stderr);
    return 1;
  }
  morvane::QueueMap queues;
  morvane::EventMap events;
  morvane::DesktopHost host;
  if (launched) {
    // The launcher's queue arrives as JSON lines on standard input; the end event goes back
    // as a line on standard output, which is therefore kept free of diagnostics.
    morvane::diag::route_out_to_stderr(true);
    auto receipts = std::make_shared<morvane::LauncherQueue>();
    queues["get_receipt"] = receipts;
    events["end"] = std::make_shared<morvane::LauncherEvent>([] {
      std::fputs("{\"event\": \"end\"}\n", stdout);
      std::fflush(stdout);
    });
    morvane::platform::start_detached([receipts, &host] {
      std::string line;
      while (std::getline(std::cin, line)) {
        try {
          morvane::Json m = morvane::json::parse(line);
          if (morvane::json::get(m, "queue") == morvane::Json("get_receipt")) receipts->put_nowait(m["item"]);
          // A second start of the program: the running window comes to the front.
          if (morvane::json::truthy(morvane::json::get(m, "show"))) host.show();
        } catch (const std::exception& e) {
          std::fprintf(stderr, "[launcher] %s\n", e.what());
        }
      }
    });
  }
  morvane::GUI(queues, events, host, data, resources);
  finish(host.window_created() ? 0 : 1);
#else
  std::fputs("morvane: the desktop window is not in this build; use --serve (browser) or --stdio\n", stderr);
  return usage(2);
#endif
}
