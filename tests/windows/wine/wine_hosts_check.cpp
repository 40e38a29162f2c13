// The stdio and browser hosts built for Windows and run under Wine: Winsock behind the
// browser host, standard input behind the stdio host, and a quit request ending each.
// Prints "ok -" / "not ok -" lines and exits with the number of failures.
//
// Usage: wine_hosts_check.exe stdio        the stdio host on this program's real standard
//                                          input and output (the caller feeds and reads it)
//        wine_hosts_check.exe stdio-quit   a quit request ends a read blocked on a pipe
//        wine_hosts_check.exe http         the browser host over Winsock
#include "tap_check.h"
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hosts/http_guard.h"
#include "hosts/http_host.h"
#include "hosts/stdio_host.h"
#include "platform/net.h"
#include "platform/quit_signal.h"

using namespace morvane;
using namespace std::chrono_literals;

namespace {

using wine_check::check;
using wine_check::failures;

// "ping" answers its argument back; "wait" blocks until released, so that a quit finds a
// call in flight.
Bridge test_bridge(std::shared_future<void> release) {
  Bridge b;
  b.add("ping", 0, {Json("pong")}, [](const Json& args) { return args[0]; });
  b.add("wait", 0, {}, [release](const Json&) {
    release.wait_for(30s);
    return Json("released");
  });
  return b;
}

// One request on a fresh connection; the whole answer, read until the server closes.
std::string http_exchange(int port, const std::string& request) {
  platform::Socket s = platform::connect_tcp("127.0.0.1", port, 5s);
  s.send_all(request);
  std::string answer;
  for (std::string part; !(part = s.recv(65536)).empty();) answer += part;
  return answer;
}

std::string get(int port, const std::string& target, const std::string& host_header) {
  return http_exchange(port, "GET " + target + " HTTP/1.1\r\nHost: " + host_header + "\r\nConnection: close\r\n\r\n");
}

int status_of(const std::string& answer) {
  if (answer.rfind("HTTP/1.1 ", 0) != 0 || answer.size() < 12) return 0;
  return std::atoi(answer.substr(9, 3).c_str());
}

std::string body_of(const std::string& answer) {
  auto at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "" : answer.substr(at + 4);
}

void check_http() {
  std::promise<void> never;
  Bridge bridge = test_bridge(never.get_future().share());
  std::ostringstream out;
  HttpHost host(0, out);
  WindowSpec spec;
  spec.html = "<html><head><title>t</title></head><body>the page</body></html>";
  host.create_window(spec, bridge, [] { return true; });
  int port = host.port();
  check(port > 0 && out.str() == host.url() + "\n", "listening on a free loopback port", out.str());
  check(host.token().size() == 64 && host.token().find_first_not_of("0123456789abcdef") == std::string::npos,
        "the token is 64 hexadecimal digits from the system's random source", host.token());
  check(http_guard::make_token() != http_guard::make_token(), "two tokens differ");

  std::thread loop([&] { host.run_loop(); });
  std::string authority = "127.0.0.1:" + std::to_string(port);
  std::string page = get(port, "/?token=" + host.token(), authority);
  check(status_of(page) == 200 && body_of(page).find("the page") != std::string::npos &&
            body_of(page).find(R"("host": "browser")") != std::string::npos,
        "GET / with the token serves the page with its configuration", page.substr(0, 200));
  check(status_of(get(port, "/", authority)) == 403, "GET / without the token is refused");
  check(status_of(get(port, "/?token=" + std::string(64, '0'), authority)) == 403, "a wrong token is refused");
  check(status_of(get(port, "/?token=" + host.token(), "rebound.example:" + std::to_string(port))) == 403,
        "a Host header that is not a loopback name is refused");

  std::string body = R"({"op":"ping","args":["över Winsock"]})";
  std::string call = http_exchange(port, "POST /bridge?token=" + host.token() + " HTTP/1.1\r\nHost: " + authority +
                                             "\r\nContent-Type: application/json\r\nContent-Length: " +
                                             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  std::string answer = body_of(call);
  while (!answer.empty() && answer.back() == '\n') answer.pop_back();
  check(status_of(call) == 200 && answer == R"({"ok": true, "result": "över Winsock"})", "POST /bridge answers the call",
        answer);

  // Idle connections up to the limit, then one more: it gets 503 from the refusal path,
  // which reads and shuts a socket the library owns.
  // Each sends half a request, so that the library waits for the rest instead of closing an
  // idle connection after its keep-alive time.
  std::this_thread::sleep_for(300ms);  // the connections above are let go
  std::vector<platform::Socket> idle;
  for (int i = 0; i < 64; ++i) {
    idle.push_back(platform::connect_tcp("127.0.0.1", port, 5s));
    idle.back().send_all("GET /?token=" + host.token() + " HTTP/1.1\r\n");
  }
  // No wait here: one thread accepts in order and counts each connection before it takes the
  // next, so the one below is counted after all 64, whenever that happens.
  auto t0 = std::chrono::steady_clock::now();
  std::string refused = http_exchange(port, "");
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // What the server did to the 64 meanwhile, for the record when this fails.
  platform::PollSet set;
  for (auto& s : idle) set.add(s.native(), platform::kReadable);
  set.wait(0);
  int closed = 0;
  for (size_t i = 0; i < set.size(); ++i) closed += set.ready(i) != 0;
  check(status_of(refused) == 503 && body_of(refused) == "too many connections",
        "past 64 open connections a new one gets 503",
        refused.substr(0, 60) + " (" + std::to_string(closed) + " of the 64 ended by the server; answer after " +
            std::to_string(took) + " s)");
  for (auto& s : idle) s.close();
  idle.clear();

  // A quit request (what Ctrl+C calls) ends the serving loop.
  HttpHost::prepare_signals();
  // Ctrl+C goes to the processes of a console; a program started without one makes its own.
  // A console of this program's own, which the event then goes to.
  FreeConsole();
  bool made = AllocConsole();
  DWORD made_error = made ? 0 : GetLastError();
  bool sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
  DWORD sent_error = sent ? 0 : GetLastError();
  if (!sent) sent = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0) != 0;
  auto ended = std::async(std::launch::async, [&] { loop.join(); });
  bool in_time = ended.wait_for(10s) == std::future_status::ready;
  if (!in_time) {
    // Leave no thread behind whatever happened above.
    host.destroy();
    ended.wait();
  }
  check(sent && in_time, "Ctrl+C ends the serving loop",
        sent ? "" : "no console to send it to (errors " + std::to_string(made_error) + ", " + std::to_string(sent_error) + ")");
  check(!host.exists(), "the host is gone after its loop");
}

// The stdio host on a pipe nobody writes to: the read is blocked when the quit comes.
void check_stdio_quit() {
  HANDLE rd = nullptr, wr = nullptr;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
  if (!CreatePipe(&rd, &wr, &sa, 0)) return check(false, "a pipe for the input");
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(rd), _O_RDONLY | _O_BINARY);
  std::promise<void> release;
  Bridge bridge = test_bridge(release.get_future().share());
  std::istringstream unused;
  std::ostringstream out;
  StdioHost host(unused, out);
  host.input_fd = fd;
  host.drain_timeout_sec = 0.5;
  host.create_window(WindowSpec{}, bridge, [] { return true; });
  StdioHost::prepare_signals();
  const char* lines = "{\"id\":1,\"op\":\"ping\",\"args\":[7]}\n{\"id\":2,\"op\":\"wait\"}\n";
  DWORD wrote = 0;
  WriteFile(wr, lines, static_cast<DWORD>(std::strlen(lines)), &wrote, nullptr);
  auto loop = std::async(std::launch::async, [&] { host.run_loop(); });
  // The ping answer means both lines were read and the host waits for more input.
  for (int i = 0; i < 500 && out.str().find("\"id\":1") == std::string::npos; ++i) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(200ms);
  platform::interrupt_input();
  bool ended = loop.wait_for(10s) == std::future_status::ready;
  check(ended, "a quit request ends a read blocked on a pipe");
  if (!ended) {
    CloseHandle(wr);  // the end of input then
    loop.wait();
  }
  release.set_value();
  bridge.wait_idle(5);
  std::string text = out.str();
  check(text.find(R"({"id": 1, "ok": true, "result": 7})") != std::string::npos, "the call before the quit is answered", text);
  check(text.find(R"({"id": 2, "ok": false, "error": "cancelled: the program is quitting"})") != std::string::npos,
        "the call in flight is cancelled", text);
  CloseHandle(wr);
}

// The real standard input: the caller's script checks what comes out.
int run_stdio() {
  std::promise<void> release;
  release.set_value();
  Bridge bridge = test_bridge(release.get_future().share());
  StdioHost host(std::cin, std::cout);
  host.input_fd = 0;
  host.create_window(WindowSpec{}, bridge, [] { return true; });
  host.run_loop();
  bridge.wait_idle(5);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cmd = argc > 1 ? argv[1] : "";
  try {
    if (cmd == "stdio") return run_stdio();
    if (cmd == "stdio-quit") check_stdio_quit();
    else if (cmd == "http") check_http();
    else {
      std::fprintf(stderr, "usage: wine_hosts_check.exe stdio|stdio-quit|http\n");
      return 2;
    }
  } catch (const std::exception& e) {
    check(false, std::string("unexpected failure: ") + e.what());
  }
  return failures;
}
