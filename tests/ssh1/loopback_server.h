#pragma once
// The test server on a real socket: listens on 127.0.0.1 at a free port and serves one
// connection with a Server on its own thread, within a deadline, passing the real shell's
// output on when the server runs one. Read server() only after
// join(); accepted() and peer_closed() may be asked at any time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "test_server.h"

namespace ssh1test {

inline int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class LoopbackServer {
 public:
  explicit LoopbackServer(ServerOptions so, int64_t budget_ms = 20000) : server_(std::move(so)) {
    lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lfd_, 1) != 0)
      throw std::runtime_error("cannot listen on 127.0.0.1");
    socklen_t len = sizeof a;
    getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, budget_ms] { run(now_ms() + budget_ms); });
  }
  ~LoopbackServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(lfd_);
  }
  int port() const { return port_; }
  // Waits for the connection to end; the server's record is safe to read afterwards.
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  Server& server() { return server_; }
  bool accepted() const { return accepted_.load(); }
  // The client closed its side of the connection.
  bool peer_closed() const { return peer_closed_.load(); }
  // Why the serving loop gave up ("" when the session ran its course). Read after join().
  std::string failure;

 private:
  void run(int64_t deadline) {
    pollfd p{lfd_, POLLIN, 0};
    while (!stop_ && poll(&p, 1, 50) == 0)
      if (now_ms() > deadline) {
        failure = "no connection within the deadline";
        return;
      }
    if (stop_) return;
    int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
    accepted_ = true;
    std::string pending = server_.take_output();
    char buf[4096];
    while (!stop_) {
      if (now_ms() > deadline) {
        failure = "session not finished within the deadline";
        break;
      }
      pending += server_.take_output();
      if (!pending.empty()) {
        ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
        if (n > 0) pending.erase(0, static_cast<size_t>(n));
      }
      if (server_.done() && pending.empty()) break;
      // The client's socket, and the real shell's terminal while one runs.
      pollfd q[2] = {{fd, POLLIN, 0}, {server_.shell_fd(), POLLIN, 0}};
      if (poll(q, q[1].fd >= 0 ? 2 : 1, 20) <= 0) continue;
      if (q[1].fd >= 0 && q[1].revents) server_.shell_readable();
      if (!q[0].revents) continue;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        peer_closed_ = true;
        break;
      }
      server_.receive(std::string_view(buf, static_cast<size_t>(n)));
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }

  Server server_;
  int lfd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> accepted_{false};
  std::atomic<bool> peer_closed_{false};
  std::thread thread_;
};

}  // namespace ssh1test
