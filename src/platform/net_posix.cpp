// Sockets on POSIX: every descriptor is made with SOCK_CLOEXEC, sends use MSG_NOSIGNAL.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/net.h"
#include "platform/net_native.h"

namespace morvane::platform {

namespace native {

void close_socket(NativeSocket s) noexcept {
  // Linux releases the descriptor even when close reports EINTR: never retry.
  ::close(s);
}

void shutdown_both(NativeSocket s) noexcept {
  if (::shutdown(s, SHUT_RDWR) != 0 && errno == ENOTCONN) {
    // A listening or unconnected socket: shutting the reading side still wakes accept/poll.
    ::shutdown(s, SHUT_RD);
  }
}

int last_error() noexcept { return errno; }
bool would_block(int code) noexcept { return code == EAGAIN || code == EWOULDBLOCK; }
bool interrupted(int code) noexcept { return code == EINTR; }
int closed_code() noexcept { return EBADF; }

}  // namespace native

std::string net_error_text(int code) { return std::strerror(code); }

// ---- the owned socket ------------------------------------------------------------------------

void Socket::set_nonblocking(bool on) {
  NativeSocket s = enter();
  if (s == kNoSocket) throw NetError("setting the socket mode", EBADF, net_error_text(EBADF));
  int flags = ::fcntl(s, F_GETFL);
  int rc = flags < 0 ? -1 : ::fcntl(s, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
  int err = errno;
  leave();
  if (rc < 0) throw NetError("setting the socket mode", err, net_error_text(err));
}

void Socket::set_nodelay(bool on) noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return;
  int v = on ? 1 : 0;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
  leave();
}

IoResult Socket::recv_some(void* buf, size_t len) noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return {IoStatus::end, 0, 0};
  ssize_t n;
  do {
    n = ::recv(s, buf, len, 0);
  } while (n < 0 && errno == EINTR);
  int err = errno;
  leave();
  if (n > 0) return {IoStatus::ok, static_cast<size_t>(n), 0};
  if (n == 0) return {len == 0 ? IoStatus::ok : IoStatus::end, 0, 0};
  if (native::would_block(err)) return {IoStatus::would_block, 0, 0};
  // A socket shut down here reports the end of the stream, not a failure.
  if (closing_.load()) return {IoStatus::end, 0, 0};
  return {IoStatus::error, 0, err};
}

IoResult Socket::send_some(const void* buf, size_t len) noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return {IoStatus::error, 0, EBADF};
  ssize_t n;
  do {
    n = ::send(s, buf, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  int err = errno;
  leave();
  if (n >= 0) return {IoStatus::ok, static_cast<size_t>(n), 0};
  if (native::would_block(err)) return {IoStatus::would_block, 0, 0};
  return {IoStatus::error, 0, err};
}

void Socket::shutdown_send() noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return;
  ::shutdown(s, SHUT_WR);
  leave();
}

int Socket::take_error() noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return EBADF;
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  leave();
  return err;
}

// ---- addresses and connecting ------------------------------------------------------------------

namespace {

std::string numeric_host(const sockaddr* sa) {
  char buf[INET6_ADDRSTRLEN] = "";
  if (sa->sa_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, buf, sizeof buf);
  else if (sa->sa_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, buf, sizeof buf);
  return buf;
}

int port_of(const sockaddr* sa) {
  if (sa->sa_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(sa)->sin_port);
  if (sa->sa_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(sa)->sin6_port);
  return 0;
}

}  // namespace

std::string Address::host() const { return numeric_host(reinterpret_cast<const sockaddr*>(storage)); }
int Address::port() const { return port_of(reinterpret_cast<const sockaddr*>(storage)); }

std::vector<Address> resolve(const std::string& host, int port, bool ipv4_only) {
  addrinfo hints{};
  hints.ai_family = ipv4_only ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0 || !res) {
    std::string reason = rc == EAI_SYSTEM ? net_error_text(errno) : ::gai_strerror(rc);
    throw NetError("resolving " + host, rc, reason);
  }
  std::vector<Address> out;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(Address::storage)) continue;
    Address a;
    std::memcpy(a.storage, ai->ai_addr, ai->ai_addrlen);
    a.length = static_cast<unsigned>(ai->ai_addrlen);
    out.push_back(a);
  }
  ::freeaddrinfo(res);
  return out;
}

Socket connect_start(const Address& to, int* error) noexcept {
  const auto* sa = reinterpret_cast<const sockaddr*>(to.storage);
  Socket s(::socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (s.native() < 0) {
    *error = errno;
    return Socket();
  }
  if (::connect(s.native(), sa, static_cast<socklen_t>(to.length)) != 0 && errno != EINPROGRESS) {
    *error = errno;
    return Socket();
  }
  return s;
}

// ---- the loopback listener -----------------------------------------------------------------------

int Listener::local_port() const noexcept {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(sock_.native(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  return port_of(reinterpret_cast<sockaddr*>(&ss));
}

Socket Listener::accept(Peer* peer, bool nonblocking) noexcept {
  NativeSocket l = sock_.enter();
  if (l == kNoSocket) return Socket();
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int fd;
  do {
    fd = ::accept4(l, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0));
  } while (fd < 0 && errno == EINTR);
  sock_.leave();
  if (fd < 0) return Socket();
  if (peer) {
    peer->host = numeric_host(reinterpret_cast<sockaddr*>(&ss));
    peer->port = port_of(reinterpret_cast<sockaddr*>(&ss));
  }
  return Socket(fd);
}

Listener listen_loopback(int port, int backlog) {
  const std::string context = "listening on 127.0.0.1:" + std::to_string(port);
  if (port < 0 || port > 65535) throw NetError(context, EINVAL, "port must be 0-65535");
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.native() < 0) throw NetError(context, errno, net_error_text(errno));
  // A port left in TIME_WAIT by an earlier run can be taken again; a live listener cannot.
  int one = 1;
  ::setsockopt(s.native(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s.native(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s.native(), backlog) != 0)
    throw NetError(context, errno, net_error_text(errno));
  return Listener(std::move(s));
}

void prepare_listener(NativeSocket s) noexcept {
  int yes = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  ::fcntl(s, F_SETFD, FD_CLOEXEC);
}

void widen_backlog(NativeSocket s) noexcept {
  // listen() again on a listening socket only sets its backlog.
  ::listen(s, kListenBacklog);
}

std::uint64_t socket_identity(NativeSocket s) noexcept {
  struct stat st {};
  if (::fstat(s, &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_ino);
}

void refuse_connection(NativeSocket s, std::string_view answer) noexcept {
  char scratch[4096];
  for (int i = 0; i < 16 && ::recv(s, scratch, sizeof scratch, MSG_DONTWAIT) > 0; ++i) {
  }
  [[maybe_unused]] ssize_t n = ::send(s, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  ::shutdown(s, SHUT_RDWR);
}

bool peer_closed(NativeSocket s) noexcept {
  struct pollfd p{s, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  // Readable: the next request of a kept-alive connection, or the end of the stream.
  char c;
  return (p.revents & POLLIN) && ::recv(s, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// ---- poll set and wake pair ------------------------------------------------------------------------

namespace {

short to_poll(short ev) {
  short out = 0;
  if (ev & kReadable) out |= POLLIN;
  if (ev & kWritable) out |= POLLOUT;
  return out;
}

short from_poll(short ev) {
  short out = 0;
  if (ev & POLLIN) out |= kReadable;
  if (ev & POLLOUT) out |= kWritable;
  if (ev & POLLERR) out |= kError;
  if (ev & POLLHUP) out |= kHangup;
  if (ev & POLLNVAL) out |= kInvalid;
  return out;
}

}  // namespace

int PollSet::wait(int timeout_ms) noexcept {
  thread_local std::vector<pollfd> fds;
  fds.clear();
  for (const Entry& e : entries_) fds.push_back({e.s, to_poll(e.want), 0});
  int n = ::poll(fds.data(), fds.size(), timeout_ms < 0 ? -1 : timeout_ms);
  for (size_t i = 0; i < entries_.size(); ++i) entries_[i].got = n > 0 ? from_poll(fds[i].revents) : 0;
  if (n < 0) return errno == EINTR ? 0 : -1;
  return n;
}

WakePair::WakePair() {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv) != 0)
    throw NetError("creating a wake pair", errno, net_error_text(errno));
  read_ = Socket(sv[0]);
  write_ = Socket(sv[1]);
}

}  // namespace morvane::platform
