#include "launcher/reachability.h"

#include <fcntl.h>
#include <cerrno>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <vector>

#include "util/text.h"

namespace morvane::launcher {

int session_port(const Json& sess) {
  std::string proto = text::lower_ascii(json::get_str(sess, "protocol"));
  if (proto.empty()) proto = "ssh";
  if (proto == "serial" || proto == "conpty") return 0;
  if (json::get_str(sess, "host").empty()) return 0;
  auto n = json::as_int(json::get(sess, "port"));
  if (n && *n > 0 && *n < 65536) return static_cast<int>(*n);
  if (proto == "ssh") return 22;
  if (proto == "rlogin") return 513;
  if (proto == "supdup") return 95;
  return 23;  // telnet, telnet-serial, raw
}

bool tcp_reachable(const std::string& host, int port, double timeout_sec) {
  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::duration<double>(timeout_sec);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return false;
  bool ok = false;
  for (addrinfo* ai = res; ai && !ok; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc == 0) {
      ok = true;
    } else if (errno == EINPROGRESS) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      pollfd p{fd, POLLOUT, 0};
      if (left > 0 && ::poll(&p, 1, static_cast<int>(left)) == 1) {
        int err = 0;
        socklen_t len = sizeof err;
        ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
      }
    }
    ::close(fd);
  }
  ::freeaddrinfo(res);
  return ok;
}

Json ping_results(const Json& sessions, double timeout_sec) {
  struct Check {
    Json id;
    std::future<bool> online;
  };
  std::vector<Check> checks;
  if (sessions.is_array()) {
    for (const auto& s : sessions) {
      const Json& id = json::get(s, "id");
      int port = session_port(s);
      if (id.is_null() || port == 0) continue;
      checks.push_back({id, std::async(std::launch::async, tcp_reachable, json::get_str(s, "host"), port, timeout_sec)});
    }
  }
  Json results = Json::array();
  for (auto& c : checks) results.push_back(Json{{"id", c.id}, {"online", c.online.get()}});
  return Json{{"type", "ping_results"}, {"results", results}};
}

}  // namespace morvane::launcher
