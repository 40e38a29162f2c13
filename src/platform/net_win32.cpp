// Sockets on Windows: Winsock2 with WSAPoll. Sockets are made without handle inheritance, so
// a child process never holds one; Winsock is started once, on first use.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <mutex>

#include "platform/net.h"
#include "platform/net_native.h"

namespace morvane::platform {

namespace {

void ensure_winsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

SOCKET new_socket(int family) {
  ensure_winsock();
  return WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

}  // namespace

namespace native {

void close_socket(NativeSocket s) noexcept { ::closesocket(static_cast<SOCKET>(s)); }

void shutdown_both(NativeSocket s) noexcept {
  ::shutdown(static_cast<SOCKET>(s), SD_BOTH);
  // A blocking recv or accept in another thread is not woken by shutdown alone.
  CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

int last_error() noexcept { return WSAGetLastError(); }
bool would_block(int code) noexcept { return code == WSAEWOULDBLOCK; }
bool interrupted(int code) noexcept { return code == WSAEINTR; }
int closed_code() noexcept { return WSAENOTSOCK; }

}  // namespace native

std::string net_error_text(int code) {
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string out;
  if (n && buf) {
    while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L'.')) --n;
    int len = WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<size_t>(len));
    WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  }
  if (buf) LocalFree(buf);
  return out.empty() ? "[WinError " + std::to_string(code) + "]" : out;
}

// ---- the owned socket ------------------------------------------------------------------------

void Socket::set_nonblocking(bool on) {
  NativeSocket s = enter();
  if (s == kNoSocket) throw NetError("setting the socket mode", WSAENOTSOCK, net_error_text(WSAENOTSOCK));
  u_long v = on ? 1 : 0;
  int rc = ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &v);
  int err = WSAGetLastError();
  leave();
  if (rc != 0) throw NetError("setting the socket mode", err, net_error_text(err));
}

void Socket::set_nodelay(bool on) noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return;
  BOOL v = on ? TRUE : FALSE;
  setsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&v), sizeof v);
  leave();
}

IoResult Socket::recv_some(void* buf, size_t len) noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return {IoStatus::end, 0, 0};
  int want = static_cast<int>(len > (1u << 30) ? (1u << 30) : len);
  int n = ::recv(static_cast<SOCKET>(s), static_cast<char*>(buf), want, 0);
  int err = WSAGetLastError();
  leave();
  if (n > 0) return {IoStatus::ok, static_cast<size_t>(n), 0};
  if (n == 0) return {len == 0 ? IoStatus::ok : IoStatus::end, 0, 0};
  if (native::would_block(err)) return {IoStatus::would_block, 0, 0};
  if (closing_.load()) return {IoStatus::end, 0, 0};
  return {IoStatus::error, 0, err};
}

IoResult Socket::send_some(const void* buf, size_t len) noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return {IoStatus::error, 0, WSAENOTSOCK};
  int want = static_cast<int>(len > (1u << 30) ? (1u << 30) : len);
  int n = ::send(static_cast<SOCKET>(s), static_cast<const char*>(buf), want, 0);
  int err = WSAGetLastError();
  leave();
  if (n >= 0) return {IoStatus::ok, static_cast<size_t>(n), 0};
  if (native::would_block(err)) return {IoStatus::would_block, 0, 0};
  return {IoStatus::error, 0, err};
}

void Socket::shutdown_send() noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return;
  ::shutdown(static_cast<SOCKET>(s), SD_SEND);
  leave();
}

int Socket::take_error() noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return WSAENOTSOCK;
  int err = 0;
  int len = sizeof err;
  if (getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    err = WSAGetLastError();
  leave();
  return err;
}

// ---- addresses and connecting ------------------------------------------------------------------

namespace {

std::string numeric_host(const sockaddr* sa, int len) {
  char buf[NI_MAXHOST] = "";
  if (getnameinfo(sa, len, buf, sizeof buf, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return buf;
}

int port_of(const sockaddr* sa) {
  if (sa->sa_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(sa)->sin_port);
  if (sa->sa_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(sa)->sin6_port);
  return 0;
}

}  // namespace

std::string Address::host() const {
  return numeric_host(reinterpret_cast<const sockaddr*>(storage), static_cast<int>(length));
}
int Address::port() const { return port_of(reinterpret_cast<const sockaddr*>(storage)); }

std::vector<Address> resolve(const std::string& host, int port, bool ipv4_only) {
  ensure_winsock();
  addrinfo hints{};
  hints.ai_family = ipv4_only ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0 || !res) throw NetError("resolving " + host, rc, net_error_text(rc));
  std::vector<Address> out;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(Address::storage)) continue;
    Address a;
    std::memcpy(a.storage, ai->ai_addr, ai->ai_addrlen);
    a.length = static_cast<unsigned>(ai->ai_addrlen);
    out.push_back(a);
  }
  freeaddrinfo(res);
  return out;
}

Socket connect_start(const Address& to, int* error) noexcept {
  const auto* sa = reinterpret_cast<const sockaddr*>(to.storage);
  SOCKET raw = new_socket(sa->sa_family);
  if (raw == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return Socket();
  }
  Socket s(static_cast<NativeSocket>(raw));
  u_long one = 1;
  ioctlsocket(raw, FIONBIO, &one);
  if (::connect(raw, sa, static_cast<int>(to.length)) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
    *error = WSAGetLastError();
    return Socket();
  }
  return s;
}

// ---- the loopback listener -----------------------------------------------------------------------

int Listener::local_port() const noexcept {
  sockaddr_storage ss{};
  int len = sizeof ss;
  if (getsockname(static_cast<SOCKET>(sock_.native()), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  return port_of(reinterpret_cast<sockaddr*>(&ss));
}

Socket Listener::accept(Peer* peer, bool nonblocking) noexcept {
  NativeSocket l = sock_.enter();
  if (l == kNoSocket) return Socket();
  sockaddr_storage ss{};
  int len = sizeof ss;
  SOCKET raw = ::accept(static_cast<SOCKET>(l), reinterpret_cast<sockaddr*>(&ss), &len);
  sock_.leave();
  if (raw == INVALID_SOCKET) return Socket();
  SetHandleInformation(reinterpret_cast<HANDLE>(raw), HANDLE_FLAG_INHERIT, 0);
  // An accepted socket takes the listener's mode: set the one asked for.
  u_long v = nonblocking ? 1 : 0;
  ioctlsocket(raw, FIONBIO, &v);
  if (peer) {
    peer->host = numeric_host(reinterpret_cast<sockaddr*>(&ss), len);
    peer->port = port_of(reinterpret_cast<sockaddr*>(&ss));
  }
  return Socket(static_cast<NativeSocket>(raw));
}

Listener listen_loopback(int port, int backlog) {
  const std::string context = "listening on 127.0.0.1:" + std::to_string(port);
  if (port < 0 || port > 65535) throw NetError(context, WSAEINVAL, "port must be 0-65535");
  SOCKET raw = new_socket(AF_INET);
  if (raw == INVALID_SOCKET) throw NetError(context, WSAGetLastError(), net_error_text(WSAGetLastError()));
  Socket s(static_cast<NativeSocket>(raw));
  // Windows lets SO_REUSEADDR take a port another program listens on; refuse that instead.
  BOOL one = TRUE;
  setsockopt(raw, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<u_short>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(raw, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(raw, backlog) != 0) {
    int err = WSAGetLastError();
    throw NetError(context, err, net_error_text(err));
  }
  return Listener(std::move(s));
}

void prepare_listener(NativeSocket s) noexcept {
  // Windows lets SO_REUSEADDR take a port another program listens on; refuse that instead.
  BOOL one = TRUE;
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

void widen_backlog(NativeSocket s) noexcept {
  // Windows keeps a listening socket's first backlog; Wine, like Linux, takes the new one.
  ::listen(static_cast<SOCKET>(s), kListenBacklog);
}

std::uint64_t socket_identity(NativeSocket s) noexcept {
  // Handle values are reused like descriptors; the pair of ends names the connection.
  sockaddr_storage ends[2] = {};
  int len = sizeof ends[0];
  if (getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&ends[0]), &len) != 0) return 0;
  len = sizeof ends[1];
  getpeername(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&ends[1]), &len);
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char b : std::string_view(reinterpret_cast<const char*>(ends), sizeof ends)) h = (h ^ b) * 1099511628211ull;
  return h ? h : 1;
}

void refuse_connection(NativeSocket s, std::string_view answer) noexcept {
  SOCKET sock = static_cast<SOCKET>(s);
  char scratch[4096];
  // Only what has arrived: the socket may be blocking, and recv must not wait.
  for (int i = 0; i < 16; ++i) {
    u_long ready = 0;
    if (ioctlsocket(sock, FIONREAD, &ready) != 0 || ready == 0) break;
    if (::recv(sock, scratch, static_cast<int>(ready < sizeof scratch ? ready : sizeof scratch), 0) <= 0) break;
  }
  // A short answer fits the empty send buffer of a fresh connection.
  ::send(sock, answer.data(), static_cast<int>(answer.size()), 0);
  ::shutdown(sock, SD_BOTH);
}

bool peer_closed(NativeSocket s) noexcept {
  WSAPOLLFD p{static_cast<SOCKET>(s), POLLRDNORM, 0};
  if (WSAPoll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  // Readable, so the peek returns at once: the next request, or the end of the stream.
  char c;
  return (p.revents & POLLRDNORM) && ::recv(static_cast<SOCKET>(s), &c, 1, MSG_PEEK) == 0;
}

// ---- poll set and wake pair ------------------------------------------------------------------------

namespace {

short to_poll(short ev) {
  short out = 0;
  if (ev & kReadable) out |= POLLRDNORM;
  if (ev & kWritable) out |= POLLWRNORM;
  return out;
}

short from_poll(short ev) {
  short out = 0;
  if (ev & (POLLRDNORM | POLLRDBAND)) out |= kReadable;
  if (ev & POLLWRNORM) out |= kWritable;
  if (ev & POLLERR) out |= kError;
  // After the peer's shutdown WSAPoll reports POLLHUP without POLLRDNORM, while recv gives
  // the end of the stream: count it as readable, as poll does.
  if (ev & POLLHUP) out |= kHangup | kReadable;
  if (ev & POLLNVAL) out |= kInvalid;
  return out;
}

}  // namespace

int PollSet::wait(int timeout_ms) noexcept {
  thread_local std::vector<WSAPOLLFD> fds;
  thread_local std::vector<size_t> index;
  fds.clear();
  index.clear();
  for (size_t i = 0; i < entries_.size(); ++i) {
    entries_[i].got = 0;
    // WSAPoll fails on an invalid socket where poll skips a negative descriptor.
    if (entries_[i].s == kNoSocket) continue;
    WSAPOLLFD p{};
    p.fd = static_cast<SOCKET>(entries_[i].s);
    p.events = to_poll(entries_[i].want);
    fds.push_back(p);
    index.push_back(i);
  }
  if (fds.empty()) {
    Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
    return 0;
  }
  int n = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms < 0 ? -1 : timeout_ms);
  if (n < 0) return -1;
  for (size_t k = 0; k < fds.size(); ++k) entries_[index[k]].got = from_poll(fds[k].revents);
  return n;
}

WakePair::WakePair() {
  // A loopback TCP pair: the only kind of pair WSAPoll waits on.
  Listener l = listen_loopback(0, 1);
  Address to;
  auto* sin = reinterpret_cast<sockaddr_in*>(to.storage);
  sin->sin_family = AF_INET;
  sin->sin_port = htons(static_cast<u_short>(l.local_port()));
  sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.length = sizeof(sockaddr_in);
  int err = 0;
  Socket w = connect_start(to, &err);
  if (!w) throw NetError("creating a wake pair", err, net_error_text(err));
  PollSet set;
  set.add(w.native(), kWritable);
  set.wait(5000);
  if ((err = w.take_error()) != 0) throw NetError("creating a wake pair", err, net_error_text(err));
  sockaddr_in mine{};
  int len = sizeof mine;
  getsockname(static_cast<SOCKET>(w.native()), reinterpret_cast<sockaddr*>(&mine), &len);
  // Another local program could connect first: take only our own connection.
  for (int i = 0; i < 16; ++i) {
    Peer p;
    Socket r = l.accept(&p, true);
    if (!r) {
      PollSet ls;
      ls.add(l.native(), kReadable);
      if (ls.wait(5000) <= 0) break;
      continue;
    }
    if (p.port != ntohs(mine.sin_port)) continue;
    w.set_nodelay(true);
    read_ = std::move(r);
    write_ = std::move(w);
    return;
  }
  throw NetError("creating a wake pair", WSAETIMEDOUT, net_error_text(WSAETIMEDOUT));
}

}  // namespace morvane::platform
