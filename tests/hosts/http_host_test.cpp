// The browser host's protocol, end to end against the real program: who gets in, what the
// bridge answers, what the event stream carries, and how the program quits.
#include <sys/socket.h>
#include <netinet/in.h>

#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "hosts/http_guard.h"
#include "http_serve_fixture.h"
#include "net_peer.h"
#include "util/text.h"

namespace morvane::testing {
namespace {

using http_guard::is_loopback_authority;
using http_guard::is_loopback_origin;

TEST(HttpGuard, loopback_names_with_or_without_a_port_are_accepted) {
  for (const char* ok : {"127.0.0.1", "127.0.0.1:8080", "localhost", "LocalHost:1", "[::1]", "[::1]:65535"})
    EXPECT_TRUE(is_loopback_authority(ok)) << ok;
  for (const char* bad : {"", "evil.com", "127.0.0.1.evil.com", "localhost.evil.com:80", "127.0.0.2", "[::2]:80",
                          "localhost:", "localhost:80x", "[::1", "[::1]x", "127.0.0.1:123456", "0.0.0.0"})
    EXPECT_FALSE(is_loopback_authority(bad)) << bad;
}

TEST(HttpGuard, origins_must_name_a_loopback_host) {
  for (const char* ok : {"http://127.0.0.1:5000", "http://localhost", "https://[::1]:1", "HTTP://LOCALHOST:3"})
    EXPECT_TRUE(is_loopback_origin(ok)) << ok;
  for (const char* bad : {"null", "http://evil.com", "file://", "http://localhost.evil.com", "ftp://localhost", "http://"})
    EXPECT_FALSE(is_loopback_origin(bad)) << bad;
}

TEST(HttpGuard, tokens_compare_whole_and_are_fresh) {
  EXPECT_TRUE(http_guard::same_token("abc", "abc"));
  EXPECT_FALSE(http_guard::same_token("abc", "abd"));
  EXPECT_FALSE(http_guard::same_token("abc", "abcd"));
  EXPECT_FALSE(http_guard::same_token("", "a"));
  std::string a = http_guard::make_token(), b = http_guard::make_token();
  EXPECT_EQ(a.size(), 64u);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
}

using HttpServe = ServeFixture;

TEST_F(HttpServe, requests_without_the_token_or_from_foreign_names_get_403_and_nothing_else) {
  start();
  auto c = client();
  auto page = c.Get(path("/").c_str());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);

  std::string wrong = proc.token;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  const std::string body = R"({"op": "save_session", "args": [{"name": "intruder"}]})";
  for (const std::string& p : {std::string("/"), std::string("/?token="), "/?token=" + wrong, "/?token=" + proc.token + "0"}) {
    auto r = c.Get(p.c_str());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << p;
    EXPECT_TRUE(r->body.empty()) << p;
  }
  for (const std::string& p : {std::string("/bridge"), "/bridge?token=" + wrong}) {
    auto r = c.Post(p.c_str(), body, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
  }
  // A page of another site that learnt the token still cannot call (DNS rebinding, CSRF).
  auto evil_host = client("evil.example:" + std::to_string(proc.port)).Post(path("/bridge").c_str(), body, "application/json");
  ASSERT_TRUE(evil_host);
  EXPECT_EQ(evil_host->status, 403);
  auto evil_origin = c.Post(path("/bridge").c_str(), {{"Origin", "http://evil.example"}}, body, "application/json");
  ASSERT_TRUE(evil_origin);
  EXPECT_EQ(evil_origin->status, 403);
  auto null_origin = c.Post(path("/queue").c_str(), {{"Origin", "null"}}, R"({"queue": "get_receipt", "item": 1})",
                            "application/json");
  ASSERT_TRUE(null_origin);
  EXPECT_EQ(null_origin->status, 403);
  // None of that reached the sessions.
  EXPECT_TRUE(result("get_initial_state")["sessions"].empty());

  // Loopback names on any port pass (an SSH tunnel forwards another port).
  for (std::string host : {"localhost:9999", "[::1]:22", "127.0.0.1"}) {
    auto r = client(host).Get(path("/").c_str());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << host;
  }
  auto ok_origin = c.Post(path("/bridge").c_str(), {{"Origin", "http://localhost:4000"}},
                          R"({"op": "get_runtime_state", "args": []})", "application/json");
  ASSERT_TRUE(ok_origin);
  EXPECT_EQ(ok_origin->status, 200);
}

TEST_F(HttpServe, the_page_is_served_with_its_host_and_operations) {
  start();
  auto r = client().Get(path("/").c_str());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(r->get_header_value("Content-Security-Policy").find("connect-src 'self'"), std::string::npos);
  EXPECT_EQ(r->get_header_value("Referrer-Policy"), "no-referrer");
  auto at = r->body.find("window.__MORVANE__ = ");
  ASSERT_NE(at, std::string::npos);
  std::string cfg_text = r->body.substr(at + 21, r->body.find(";</script>", at) - at - 21);
  Json cfg = json::parse(cfg_text);
  EXPECT_EQ(cfg["host"], "browser");
  std::vector<std::string> ops = cfg["ops"].get<std::vector<std::string>>();
  for (const char* op : {"drain_terminal", "send_input", "get_images", "read_clipboard", "set_language"})
    EXPECT_NE(std::find(ops.begin(), ops.end(), op), ops.end()) << op;
  // The bundle is self-contained: nothing is fetched from elsewhere.
  EXPECT_EQ(r->body.find("<script src"), std::string::npos);
  EXPECT_EQ(r->body.find("<link rel=\"stylesheet\""), std::string::npos);
}

TEST_F(HttpServe, the_bridge_answers_results_and_errors_as_the_stdio_host_does) {
  start();
  Json st = bridge("get_runtime_state");
  EXPECT_EQ(st["ok"], true);
  EXPECT_TRUE(st["result"]["tabs"].is_array());
  EXPECT_FALSE(st.contains("id"));

  Json unknown = bridge("no_such_operation");
  EXPECT_EQ(unknown["ok"], false);
  EXPECT_NE(unknown["error"].get<std::string>().find("unknown operation"), std::string::npos);

  Json few = bridge("send_input", Json::array({"12345678"}));
  EXPECT_EQ(few["ok"], false);
  EXPECT_NE(few["error"].get<std::string>().find("argument"), std::string::npos);

  // An empty URL opens nothing and a browser-hosted page has no native clipboard.
  EXPECT_EQ(result("open_url", Json::array({""})), false);
  EXPECT_EQ(result("read_clipboard"), "");

  Json zh = result("set_language", Json::array({"zh-Hant"}));
  EXPECT_EQ(zh["language"], "zh-Hant");
  EXPECT_EQ(result("get_initial_state")["language"], "zh-Hant");

  auto c = client();
  for (const char* bad : {"not json", "[1, 2]", R"({"args": []})", R"({"op": "get_runtime_state", "args": 5})"}) {
    auto r = c.Post(path("/bridge").c_str(), bad, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << bad;
    EXPECT_EQ(json::parse(r->body)["ok"], false) << bad;
  }
}

TEST_F(HttpServe, a_fixed_port_is_used_and_a_taken_one_fails_clearly) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  ASSERT_EQ(listen(s, 1), 0);

  ServeProcess taken;
  EXPECT_FALSE(taken.start(dir / "data", {"--port", std::to_string(port)}));
  EXPECT_EQ(taken.stop(SIGTERM), 1);
  close(s);

  start({"--port", std::to_string(port)});
  EXPECT_EQ(proc.port, port);
  EXPECT_EQ(proc.url, "http://127.0.0.1:" + std::to_string(port) + "/?token=" + proc.token);
}

// Reads one events stream on a thread; the stream ends when the program quits.
struct EventReader {
  std::mutex mu;
  std::string text;
  std::thread th;
  explicit EventReader(int port, const std::string& token) {
    th = std::thread([this, port, token] {
      httplib::Client c("127.0.0.1", port);
      c.set_read_timeout(60, 0);
      c.Get(("/events?token=" + token).c_str(), [this](const char* d, size_t n) {
        std::lock_guard<std::mutex> lock(mu);
        text.append(d, n);
        return true;
      });
    });
  }
  bool wait_for(const std::string& needle, double seconds = 15) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      {
        std::lock_guard<std::mutex> lock(mu);
        if (text.find(needle) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  std::string seen() {
    std::lock_guard<std::mutex> lock(mu);
    return text;
  }
  ~EventReader() {
    if (th.joinable()) th.join();
  }
};

TEST_F(HttpServe, every_connected_page_gets_the_page_calls_and_a_shell_works_through_the_bridge) {
  start();
  auto a = std::make_unique<EventReader>(proc.port, proc.token);
  auto b = std::make_unique<EventReader>(proc.port, proc.token);
  ASSERT_TRUE(a->wait_for(": connected"));
  ASSERT_TRUE(b->wait_for(": connected"));

  std::string tab = open_shell("PS1='$ ' exec /bin/sh");
  std::string connected = "data: terminalConnected(\"" + tab + "\")\n\n";
  EXPECT_TRUE(a->wait_for(connected)) << a->seen();
  EXPECT_TRUE(b->wait_for(connected)) << b->seen();
  EXPECT_TRUE(a->wait_for("data: setTerminalInfo(\"" + tab + "\", \"Starting local shell")) << a->seen();

  EXPECT_EQ(result("send_input", Json::array({tab, "echo $((6*7))\r"})), true);
  EXPECT_NE(drain_until(tab, "42\r\n").find("42\r\n"), std::string::npos);

  // Quotes, backslashes, control characters and non-ASCII text survive the trip as JSON.
  result("send_input", Json::array({tab, R"(printf 'q"b\\s\001\303\251\360\237\230\200\n')" "\r"}));
  std::string special = std::string("q\"b\\s\x01") + "\xc3\xa9\xf0\x9f\x98\x80\r\n";
  EXPECT_NE(drain_until(tab, special).find(special), std::string::npos);

  EXPECT_EQ(result("resize_pty", Json::array({tab, 31, 97})), true);
  result("send_input", Json::array({tab, "stty size\r"}));
  EXPECT_NE(drain_until(tab, "31 97").find("31 97"), std::string::npos);

  // Output goes to whichever page drains first: the second drain finds nothing new.
  result("send_input", Json::array({tab, "echo once\r"}));
  drain_until(tab, "once\r\n$ ");  // the prompt comes last
  EXPECT_EQ(result("drain_terminal", Json::array({tab})), "");

  EXPECT_EQ(proc.stop(), 0) << proc.output;
  a.reset();
  b.reset();
}

// GET /output: the same text as drain_terminal, raw and uncompressed, held until there is some.
TEST_F(HttpServe, the_output_stream_answers_raw_text_once_there_is_some) {
  start();
  std::string tab = open_shell("PS1='$ ' exec /bin/sh");
  ASSERT_NE(drain_until(tab, "$ ").find("$ "), std::string::npos);
  auto get = [&](const std::string& query) {
    auto c = client();
    return c.Get((path("/output") + query).c_str(), {{"Accept-Encoding", "gzip, deflate, br"}});
  };

  auto r = client().Get(("/output?tab=" + tab).c_str());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 403);
  for (const char* bad : {"", "&tab=", "&tab=x&wait=soon", "&tab=x&wait=-1", "&tab=x&min=lots"}) {
    r = get(bad);
    ASSERT_TRUE(r) << bad;
    EXPECT_EQ(r->status, 400) << bad << r->body;
  }
  r = get("&tab=" + tab + "&wait=0");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "");
  r = get("&tab=no-such-tab&wait=0");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "");

  // A held request answers with the output typed after it was made.
  std::optional<httplib::Result> held;
  std::thread waiter([&] { held.emplace(get("&tab=" + tab + "&wait=5")); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  result("send_input", Json::array({tab, R"(printf 'q"b\\s\001\303\251\360\237\230\200\n')" "\r"}));
  waiter.join();
  ASSERT_TRUE(held && *held);
  const httplib::Response& first = held->value();
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.get_header_value("Content-Encoding"), "");
  EXPECT_FALSE(first.body.empty());
  // Its place in the tab's stream, in characters: the next piece starts where it ends.
  const uint64_t from = std::stoull(first.get_header_value("X-Output-From"));
  const uint64_t to = std::stoull(first.get_header_value("X-Output-To"));
  EXPECT_EQ(to - from, text::count_codepoints(first.body));
  std::string seen = first.body;
  uint64_t at = to;
  const std::string special = std::string("q\"b\\s\x01") + "\xc3\xa9\xf0\x9f\x98\x80\r\n";
  for (int i = 0; i < 50 && seen.find(special) == std::string::npos; ++i) {
    auto more = get("&tab=" + tab + "&wait=1&min=100");
    ASSERT_TRUE(more);
    EXPECT_EQ(std::stoull(more->get_header_value("X-Output-From")), at);
    at = std::stoull(more->get_header_value("X-Output-To"));
    seen += more->body;
  }
  EXPECT_NE(seen.find(special), std::string::npos) << seen;
  // Drained once: the bridge finds nothing of it.
  drain_until(tab, "$ ", 1);
  EXPECT_EQ(result("drain_terminal", Json::array({tab})), "");

  // A page reloaded while its request is held leaves the request behind on a closed socket:
  // the output that wakes it stays for the next request instead of going to nobody.
  {
    Tcp left(proc.port, std::chrono::seconds(5));
    left.write("GET " + path("/output") + "&tab=" + tab + "&wait=5 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  result("send_input", Json::array({tab, "printf 'left-%s\\n' behind\r"}));
  std::string next;
  for (int i = 0; i < 50 && next.find("left-behind") == std::string::npos; ++i) {
    auto more = get("&tab=" + tab + "&wait=1");
    ASSERT_TRUE(more);
    next += more->body;
  }
  // The shell's echo of the typed line is the first output after the request was left.
  EXPECT_NE(next.find("printf 'left-%s\\n' behind"), std::string::npos) << next;
  EXPECT_NE(next.find("left-behind"), std::string::npos) << next;
}

TEST_F(HttpServe, the_queue_feeds_session_status_and_rejects_unknown_queues) {
  start();
  auto c = client();
  auto r = c.Post(path("/queue").c_str(),
                  R"({"queue": "get_receipt", "item": {"type": "ping_results", "results": [{"id": "s1", "online": 1}, {"id": "s2", "online": 0}]}})",
                  "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(json::parse(r->body)["ok"], true);
  Json status;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    status = result("get_runtime_state")["session_status"];
    if (status.size() == 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(status["s1"], "online");
  EXPECT_EQ(status["s2"], "offline");

  auto bad = c.Post(path("/queue").c_str(), R"({"queue": "end", "item": null})", "application/json");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  EXPECT_NE(json::parse(bad->body)["error"].get<std::string>().find("unknown queue"), std::string::npos);
}

TEST_F(HttpServe, sigterm_and_sigint_quit_in_order_closing_every_tab) {
  for (int sig : {SIGTERM, SIGINT}) {
    start();
    fs::path pidfile = dir / ("pid-" + std::to_string(sig));
    // A program that ignores hang-ups survives its terminal going away: only closing the
    // tab ends it.
    std::string tab = open_shell("trap '' HUP; echo $$ > " + pidfile.string() + "; exec sleep 600");
    pid_t child = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end && child == 0) {
      std::ifstream f(pidfile);
      f >> child;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GT(child, 0);
    // A page's request held for the tab's output answers at once, and the quit does not wait
    // for it (it took the five-second wait or the three seconds given to requests under way).
    std::string output = path("/output") + "&tab=" + tab;
    ASSERT_TRUE(client().Get(output.c_str()));  // what the tab printed so far
    auto held = std::async(std::launch::async, [&] {
      auto r = client().Get((output + "&wait=5").c_str());
      return r ? r->status : -1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(held.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "the request was not held";
    auto quit_at = std::chrono::steady_clock::now();
    EXPECT_EQ(proc.stop(sig), 0) << proc.output;
    EXPECT_LT(std::chrono::steady_clock::now() - quit_at, std::chrono::milliseconds(2500)) << "the quit waited";
    EXPECT_EQ(held.get(), 200);
    auto gone = [&] {
      if (kill(child, 0) != 0) return true;
      std::ifstream st("/proc/" + std::to_string(child) + "/stat");
      std::string pid, comm, state;
      st >> pid >> comm >> state;
      return state == "Z";
    };
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!gone() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(gone()) << "the tab's program outlived the quit";
    if (!gone()) kill(child, SIGKILL);
  }
}

}  // namespace
}  // namespace morvane::testing
