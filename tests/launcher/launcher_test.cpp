// The launcher's reachability feed against a real listener that comes and goes, and the
// launcher's life with a child that reads the feed and reports the end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "launcher/launcher.h"
#include "launcher/reachability.h"

namespace morvane::launcher {
namespace {

namespace fs = std::filesystem;

// A loopback listener on a free port; closing it makes the port refuse connections.
struct Listener {
  int fd = -1;
  int port = 0;
  // On a free port, or again on the port of one closed before.
  explicit Listener(int on_port = 0) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // children must not keep it open
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(on_port));
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << "port " << on_port;
    EXPECT_EQ(::listen(fd, 8), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  ~Listener() { close(); }
};

TEST(Reachability, PortsFollowTheProtocolAndOnlyNetworkSessionsCount) {
  EXPECT_EQ(session_port(Json{{"host", "h"}}), 22);
  EXPECT_EQ(session_port(Json{{"host", "h"}, {"protocol", "telnet"}, {"port", 0}}), 23);
  EXPECT_EQ(session_port(Json{{"host", "h"}, {"protocol", "raw"}, {"port", ""}}), 23);
  EXPECT_EQ(session_port(Json{{"host", "h"}, {"protocol", "rlogin"}}), 513);
  EXPECT_EQ(session_port(Json{{"host", "h"}, {"protocol", "supdup"}}), 95);
  EXPECT_EQ(session_port(Json{{"host", "h"}, {"protocol", "SSH"}, {"port", "2222"}}), 2222);
  EXPECT_EQ(session_port(Json{{"host", "h"}, {"port", 70000}}), 22);
  EXPECT_EQ(session_port(Json{{"host", "/dev/ttyUSB0"}, {"protocol", "serial"}, {"port", 115200}}), 0);
  EXPECT_EQ(session_port(Json{{"protocol", "conpty"}}), 0);
  EXPECT_EQ(session_port(Json{{"protocol", "ssh"}, {"host", ""}}), 0);
}

TEST(Reachability, APeerThatComesAndGoesIsOnlineThenOffline) {
  auto l = std::make_unique<Listener>();
  Json sessions = Json::array({Json{{"id", "up"}, {"host", "127.0.0.1"}, {"port", l->port}},
                               Json{{"id", "serial"}, {"protocol", "serial"}, {"host", "/dev/ttyS0"}},
                               Json{{"id", "nohost"}, {"protocol", "telnet"}},
                               Json{{"host", "127.0.0.1"}, {"port", l->port}}});  // no id: not reported
  Json r = ping_results(sessions, 2.0);
  EXPECT_EQ(r, (Json{{"type", "ping_results"}, {"results", Json::array({Json{{"id", "up"}, {"online", true}}})}}));
  l->close();
  auto start = std::chrono::steady_clock::now();
  r = ping_results(sessions, 2.0);
  EXPECT_EQ(r["results"][0]["online"], false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_FALSE(tcp_reachable("no-such-host.invalid", 22, 1.0));
}

TEST(Launcher, FeedsTheChildAtStartAndEndsWithItsEndEvent) {
  char tmpl[] = "/tmp/morvane-launch-XXXXXX";
  fs::path dir = mkdtemp(tmpl);
  Listener l;
  std::ofstream(dir / "sessions.json") << Json{{"sessions", Json::array({Json{{"id", "a"}, {"host", "127.0.0.1"}, {"port", l.port}}})}}.dump();
  // The child: keeps the first feed line, reports the end, exits with a status of its own.
  fs::path child = dir / "child.sh";
  std::ofstream(child) << "#!/bin/sh\nread line\nprintf '%s\\n' \"$line\" > \"$4\"/fed\necho diagnostic line\n"
                          "echo '{\"event\": \"end\"}'\nexit 3\n";
  fs::permissions(child, fs::perms::owner_all);
  Options opt;
  opt.program = child;
  opt.data_dir = dir;
  opt.child_args = {"--desktop", "--launched"};
  opt.interval_sec = 30;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run(opt), 3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // no 30 s wait at the end
  std::ifstream in(dir / "fed");
  std::string line;
  std::getline(in, line);
  Json fed = json::parse(line);
  EXPECT_EQ(fed["queue"], "get_receipt");
  EXPECT_EQ(fed["item"], (Json{{"type", "ping_results"}, {"results", Json::array({Json{{"id", "a"}, {"online", true}}})}}));
  fs::remove_all(dir);
}

TEST(Launcher, ASecondStartShowsTheRunningWindowInstead) {
  char tmpl[] = "/tmp/morvane-launch-XXXXXX";
  fs::path dir = mkdtemp(tmpl);
  // The child: keeps the show request, whenever it comes among the feed lines, and ends.
  fs::path child = dir / "child.sh";
  std::ofstream(child) << "#!/bin/sh\nwhile read line; do case \"$line\" in *show*) "
                          "printf '%s\\n' \"$line\" > \"$4\"/next; break;; esac; done\n"
                          "echo '{\"event\": \"end\"}'\n";
  fs::permissions(child, fs::perms::owner_all);
  Options opt;
  opt.program = child;
  opt.data_dir = dir;
  int first_rc = -1;
  std::thread first([&] { first_rc = run(opt); });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::exists(dir / "launcher.sock") && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(dir / "launcher.sock")) << "the first launcher did not listen within 10 s";
  Options second = opt;
  second.program = "/nonexistent/never-started";  // a second window would fail to start
  EXPECT_EQ(run(second), 0);
  first.join();
  EXPECT_EQ(first_rc, 0);
  std::ifstream in(dir / "next");
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(json::parse(line), (Json{{"show", true}}));
  EXPECT_FALSE(fs::exists(dir / "launcher.sock"));  // the first cleaned up
  fs::remove_all(dir);
}

#ifdef MORVANE_PROGRAM
// The feed as the application reads it: the session reachable on its port shows "online",
// the one whose port refuses shows "offline" in the runtime state the page polls.
TEST(Launcher, TheApplicationTakesTheFeedIntoItsSessionStatus) {
  char tmpl[] = "/tmp/morvane-launch-XXXXXX";
  fs::path dir = mkdtemp(tmpl);
  Listener up, gone;
  int closed_port = gone.port;
  gone.close();
  std::ofstream(dir / "sessions.json")
      << Json{{"sessions", Json::array({Json{{"id", "up"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", up.port}},
                                        Json{{"id", "down"}, {"protocol", "telnet"}, {"host", "127.0.0.1"}, {"port", closed_port}}})}}
             .dump();
  // The child hands the first feed line to the program's stdio host, then asks it for the
  // runtime state, as the page does.
  fs::path child = dir / "child.sh";
  // It asks a few times, since a busy machine may take a while to start the program.
  std::ofstream(child) << "#!/bin/sh\nread feed\n{ printf '%s\\n' \"$feed\"; for i in 1 2 3 4 5 6 7 8 9 10; do sleep 0.5; "
                          "echo \"{\\\"id\\\": $i, \\\"op\\\": \\\"get_runtime_state\\\", \\\"args\\\": []}\"; done; sleep 1; } | "
                       << MORVANE_PROGRAM << " --stdio --data-dir \"$4\" > \"$4\"/answers 2>/dev/null\n"
                          "echo '{\"event\": \"end\"}'\n";
  fs::permissions(child, fs::perms::owner_all);
  Options opt;
  opt.program = child;
  opt.data_dir = dir;
  EXPECT_EQ(run(opt), 0);
  std::ifstream in(dir / "answers");
  Json state;
  for (std::string line; std::getline(in, line);) {
    Json m = json::parse(line);
    // The first answer that shows the feed, or else the last one.
    if (!json::get(m, "result").is_object()) continue;
    if (!state.is_object() || state["session_status"].empty()) state = m["result"];
  }
  ASSERT_TRUE(state.is_object()) << "no answer to get_runtime_state";
  EXPECT_EQ(state["session_status"], (Json{{"down", "offline"}, {"up", "online"}}));
  fs::remove_all(dir);
}

// The on-line dot over time: the launcher checks again every interval, and the status the
// program reports for a session follows its peer going away and coming back on the same port.
TEST(Launcher, TheStatusFollowsAPeerThatGoesAwayAndComesBack) {
  char tmpl[] = "/tmp/morvane-launch-XXXXXX";
  fs::path dir = mkdtemp(tmpl);
  auto peer = std::make_unique<Listener>();
  const int port = peer->port;
  std::ofstream(dir / "sessions.json")
      << Json{{"sessions", Json::array({Json{{"id", "p"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", port}}})}}.dump();
  // The child passes every feed line on to the program's stdio host while a loop asks it
  // for the runtime state five times a second, as the page polls; both stop at "stop".
  fs::path child = dir / "child.sh";
  std::ofstream(child) << "#!/bin/sh\n{ ( while [ ! -e \"$4\"/stop ]; do "
                          "echo '{\"id\": 0, \"op\": \"get_runtime_state\", \"args\": []}'; sleep 0.2; done ) &\n"
                          "  while [ ! -e \"$4\"/stop ] && read feed; do printf '%s\\n' \"$feed\"; done; wait; } | "
                       << MORVANE_PROGRAM << " --stdio --data-dir \"$4\" > \"$4\"/answers 2>/dev/null\n"
                          "echo '{\"event\": \"end\"}'\n";
  fs::permissions(child, fs::perms::owner_all);
  Options opt;
  opt.program = child;
  opt.data_dir = dir;
  opt.interval_sec = 0.3;
  opt.connect_timeout_sec = 1.0;
  int rc = -1;
  std::thread launcher([&] { rc = run(opt); });
  // The newest status the program reported for the session, awaited for up to 20 s.
  std::string last;
  auto reaches = [&](const std::string& want) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream in(dir / "answers");
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      size_t end = text.rfind('\n');
      text.resize(end == std::string::npos ? 0 : end + 1);  // whole lines only
      std::istringstream lines(text);
      for (std::string line; std::getline(lines, line);) {
        Json m = json::parse(line);
        const Json& status = json::get(json::get(m, "result"), "session_status");
        if (status.is_object() && status.contains("p")) last = status["p"].get<std::string>();
      }
      if (last == want) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  };
  EXPECT_TRUE(reaches("online")) << "with the peer listening the status is " << last;
  peer->close();
  EXPECT_TRUE(reaches("offline")) << "with the peer gone the status is " << last;
  peer = std::make_unique<Listener>(port);
  EXPECT_TRUE(reaches("online")) << "with the peer back the status is " << last;
  std::ofstream(dir / "stop");
  launcher.join();
  EXPECT_EQ(rc, 0);
  fs::remove_all(dir);
}
#endif

TEST(Launcher, AChildThatCannotStartEndsTheLauncher) {
  Options opt;
  opt.program = "/nonexistent/morvane";
  opt.data_dir = "/tmp";
  EXPECT_NE(run(opt), 0);
}

}  // namespace
}  // namespace morvane::launcher
