// The socket half of the TCP kinds; see net_connection.h.
#include "kinds/netkinds/net_connection.h"

#ifndef _WIN32
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "util/diag.h"

namespace morvane::kinds {

using namespace std::chrono;

NetConnection::NetConnection(const OpenRequest& req)
    : Connection(req.sink), tab_id_(req.tab_id), svc_(req.services) {}

NetConnection::~NetConnection() { NetConnection::close(); }

std::uint64_t NetConnection::now_ms() {
  return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void NetConnection::close() noexcept {
  if (!begin_close()) return;
  {
    std::lock_guard<std::mutex> lock(io_mu_);
    shut_ = true;
    // Shutting down wakes the reader's wait and any blocked send; the descriptor goes now
    // unless the reader is still looking at it, in which case it releases it on its way out.
    sock_.shutdown();
    if (!waiting_) sock_.close();
    if (wake_) wake_->wake();
  }
  finish_close();
}

bool NetConnection::connect_socket(const std::string& host, int port, int timeout_sec, const std::string& fail_key,
                                   bool reserved_source_port) {
  // The resolver's words for an empty name ("Name or service not known") would not say what is wrong.
  if (host.empty()) {
    if (!closing()) fail(fail_key, "no host name given");
    return false;
  }
  platform::Socket s;
  try {
    const milliseconds limit = seconds(timeout_sec > 0 ? timeout_sec : 15);
    s = reserved_source_port ? connect_from_reserved_port(host, port, limit) : connect_interruptible(host, port, limit);
    if (!s.valid()) return false;  // closed while connecting
    s.set_nonblocking(true);
    s.set_nodelay(true);
  } catch (const std::exception& e) {
    if (!closing()) fail(fail_key, e.what());
    return false;
  }
  std::lock_guard<std::mutex> lock(io_mu_);
  if (shut_) return false;  // the tab closed while we connected; `s` goes with this scope
  sock_ = std::move(s);
  return true;
}

platform::Socket NetConnection::connect_interruptible(const std::string& host, int port, milliseconds limit) {
  const auto deadline = steady_clock::now() + limit;
  const std::string context = "connecting to " + host + ":" + std::to_string(port);
  if (port < 1 || port > 65535) throw platform::NetError(context, 0, "port must be 1-65535");
  std::vector<platform::Address> addrs;
  try {
    addrs = platform::resolve(host, port);
  } catch (const platform::NetError& e) {
    throw platform::NetError(context, e.code(), e.reason());
  }
  platform::WakePair* wake;
  {
    std::lock_guard<std::mutex> lock(io_mu_);
    if (shut_) return {};
    wake_ = std::make_unique<platform::WakePair>();
    wake = wake_.get();
  }
  // The wake pair goes as soon as the attempt is decided, so an ended tab holds no descriptors.
  struct Release {
    NetConnection* self;
    ~Release() {
      std::lock_guard<std::mutex> lock(self->io_mu_);
      self->wake_.reset();
    }
  } release{this};
  int last = 0;
  bool timed_out = false;
  for (const auto& a : addrs) {
    int err = 0;
    platform::Socket s = platform::connect_start(a, &err);
    if (!s.valid()) {
      last = err;
      continue;
    }
    platform::PollSet set;
    set.add(s.native(), platform::kWritable);
    set.add(wake->fd(), platform::kReadable);
    for (;;) {
      const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      if (left <= 0) {
        timed_out = true;
        break;
      }
      const int n = set.wait(static_cast<int>(std::min<long long>(left, 1 << 30)));
      if (n > 0 && set.ready(1) != 0) return {};  // the tab closed
      if (n != 0) break;  // decided, or the wait failed: take_error tells
    }
    if (timed_out) break;
    err = s.take_error();
    if (err == 0) {
      s.set_nonblocking(false);
      return s;
    }
    last = err;
  }
  if (timed_out || last == 0) throw platform::NetError(context, 0, "timed out");
  throw platform::NetError(context, last, platform::net_error_text(last));
}

void NetConnection::fail(const std::string& fail_key, const std::string& err) {
  fail_with(svc_.text(fail_key, {{"err", err}}));
}

NetConnection::Received NetConnection::receive(size_t max_bytes, int timeout_ms, bool want_urgent) {
  Received r;
  platform::NativeSocket fd;
  {
    std::lock_guard<std::mutex> lock(io_mu_);
    if (shut_ || !sock_.valid()) {
      r.end = true;
      return r;
    }
    waiting_ = true;
    fd = sock_.native();
  }
  std::string err;
#ifdef _WIN32
  (void)want_urgent;
  platform::PollSet set;
  set.add(fd, platform::kReadable);
  int n = set.wait(timeout_ms);
  if (n < 0) {
    err = "waiting for data failed";
  } else if (n > 0) {
    r.data.resize(max_bytes);
    platform::IoResult io = sock_.recv_some(r.data.data(), r.data.size());
    r.data.resize(io.status == platform::IoStatus::ok ? io.bytes : 0);
    if (io.status == platform::IoStatus::end) r.end = true;
    if (io.status == platform::IoStatus::error) err = platform::net_error_text(io.error);
  }
#else
  pollfd p{fd, static_cast<short>(POLLIN | (want_urgent ? POLLPRI : 0)), 0};
  int n = ::poll(&p, 1, timeout_ms);
  if (n < 0 && errno != EINTR) {
    err = platform::net_error_text(errno);
  } else if (n > 0) {
    if (p.revents & POLLPRI) {
      // The urgent byte is out of the stream (SO_OOBINLINE is off), so it is read apart.
      char u;
      if (::recv(fd, &u, 1, MSG_OOB) == 1) r.urgent.push_back(u);
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      r.data.resize(max_bytes);
      ssize_t got = ::recv(fd, r.data.data(), r.data.size(), MSG_DONTWAIT);
      r.data.resize(got > 0 ? static_cast<size_t>(got) : 0);
      if (got == 0) r.end = true;
      // EINVAL: stopped at the urgent mark before the urgent byte was taken; next round.
      if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != EINVAL)
        err = platform::net_error_text(errno);
    }
  }
#endif
  {
    std::lock_guard<std::mutex> lock(io_mu_);
    waiting_ = false;
    if (shut_) {
      sock_.close();
      if (r.data.empty()) r.end = true;
      err.clear();  // a close, not a failure
    }
  }
  if (!err.empty()) {
    diag::out(label_ + " receive failed: " + err);
    r.end = true;
  }
  return r;
}

void NetConnection::send_bytes(std::string_view bytes) {
  if (bytes.empty()) return;
  try {
    sock_.send_all(bytes);
  } catch (const platform::NetError& e) {
    throw std::runtime_error(e.what());
  }
}

FailedConnection::FailedConnection(const OpenRequest& req, std::string fail_key, std::string err)
    : Connection(req.sink), svc_(req.services), fail_key_(std::move(fail_key)), err_(std::move(err)) {}

void FailedConnection::start() {
  fail_with(svc_.text(fail_key_, {{"err", err_}}));
}

platform::Socket connect_from_reserved_port(const std::string& host, int port, milliseconds timeout) {
#ifdef _WIN32
  return platform::connect_tcp(host, port, timeout);
#else
  const auto deadline = steady_clock::now() + timeout;
  const std::string context = "connecting to " + host + ":" + std::to_string(port);
  std::vector<platform::Address> addrs;
  try {
    addrs = platform::resolve(host, port);
  } catch (const platform::NetError& e) {
    throw platform::NetError(context, e.code(), e.reason());  // worded as the other kinds' failures
  }
  int last_error = 0;
  bool bound_any = false;
  for (const auto& a : addrs) {
    const auto* sa = reinterpret_cast<const sockaddr*>(a.storage);
    // Ports in use or in TIME_WAIT towards this peer are skipped; a few tries are enough.
    for (int src = 1023, tries = 0; src >= 512 && tries < 64; --src) {
      int fd = ::socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) throw platform::NetError(context, errno, platform::net_error_text(errno));
      sockaddr_storage local{};
      socklen_t len;
      if (sa->sa_family == AF_INET6) {
        auto* l6 = reinterpret_cast<sockaddr_in6*>(&local);
        l6->sin6_family = AF_INET6;
        l6->sin6_addr = in6addr_any;
        l6->sin6_port = htons(static_cast<std::uint16_t>(src));
        len = sizeof(sockaddr_in6);
      } else {
        auto* l4 = reinterpret_cast<sockaddr_in*>(&local);
        l4->sin_family = AF_INET;
        l4->sin_addr.s_addr = htonl(INADDR_ANY);
        l4->sin_port = htons(static_cast<std::uint16_t>(src));
        len = sizeof(sockaddr_in);
      }
      if (::bind(fd, reinterpret_cast<sockaddr*>(&local), len) != 0) {
        int e = errno;
        ::close(fd);
        if (e == EADDRINUSE) continue;
        break;  // EACCES: not allowed to bind low ports; take an ordinary one below
      }
      bound_any = true;
      ++tries;
      platform::Socket s(fd);
      int rc = ::connect(fd, sa, a.length);
      if (rc != 0 && errno != EINPROGRESS) {
        last_error = errno;
        if (last_error == EADDRNOTAVAIL || last_error == EADDRINUSE) continue;
        break;  // refused and the like: the next address
      }
      if (rc != 0) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        platform::PollSet set;
        set.add(fd, platform::kWritable);
        if (left <= 0 || set.wait(static_cast<int>(left)) <= 0) throw platform::NetError(context, 0, "timed out");
        last_error = s.take_error();
        if (last_error == EADDRNOTAVAIL || last_error == EADDRINUSE) continue;
        if (last_error != 0) break;
      }
      s.set_nonblocking(false);
      return s;
    }
  }
  if (bound_any && last_error != 0) throw platform::NetError(context, last_error, platform::net_error_text(last_error));
  auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
  if (left.count() <= 0) throw platform::NetError(context, 0, "timed out");
  return platform::connect_tcp(host, port, left);
#endif
}

}  // namespace morvane::kinds
