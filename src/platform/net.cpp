// What the sockets do the same way on every platform: the owned socket's life, the blocking
// helpers, connecting with a time limit and the wake pair's signalling.
#include "platform/net.h"

#include <algorithm>

#include "platform/net_native.h"

namespace morvane::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for events on one socket; negative timeout: no limit. Returns the events found, 0
// on a time-out, -1 on failure.
int wait_one(NativeSocket s, short events, int timeout_ms) {
  PollSet set;
  set.add(s, events);
  int n = set.wait(timeout_ms);
  return n > 0 ? set.ready(0) : n;
}

}  // namespace

NetError::NetError(const std::string& context, int code, const std::string& reason)
    : std::runtime_error(context + ": " + reason), code_(code), reason_(reason) {}

// ---- the owned socket ------------------------------------------------------------------------

Socket::~Socket() {
  // Nobody can be inside a call any more: release now.
  NativeSocket s = fd_.exchange(kNoSocket);
  if (s != kNoSocket) native::close_socket(s);
}

Socket::Socket(Socket&& other) noexcept
    : fd_(other.fd_.exchange(kNoSocket)), closing_(other.closing_.exchange(false)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    NativeSocket old = fd_.exchange(other.fd_.exchange(kNoSocket));
    closing_ = other.closing_.exchange(false);
    if (old != kNoSocket) native::close_socket(old);
  }
  return *this;
}

NativeSocket Socket::release() noexcept { return fd_.exchange(kNoSocket); }

NativeSocket Socket::enter() noexcept {
  users_.fetch_add(1);
  if (closing_.load()) {
    leave();
    return kNoSocket;
  }
  NativeSocket s = fd_.load();
  if (s == kNoSocket) leave();
  return s;
}

void Socket::leave() noexcept {
  if (users_.fetch_sub(1) == 1 && closing_.load()) release_if_idle();
}

void Socket::release_if_idle() noexcept {
  if (users_.load() != 0) return;
  NativeSocket s = fd_.exchange(kNoSocket);
  if (s != kNoSocket) native::close_socket(s);
}

void Socket::close() noexcept {
  if (closing_.exchange(true)) return;
  NativeSocket s = fd_.load();
  if (s == kNoSocket) return;
  native::shutdown_both(s);
  release_if_idle();  // otherwise the last call to leave releases it
}

void Socket::shutdown() noexcept {
  NativeSocket s = enter();
  if (s == kNoSocket) return;
  native::shutdown_both(s);
  leave();
}

std::string Socket::recv(size_t max_bytes) {
  std::string buf(std::max<size_t>(max_bytes, 1), '\0');
  for (;;) {
    IoResult r = recv_some(buf.data(), buf.size());
    if (r.status == IoStatus::ok) {
      buf.resize(r.bytes);
      return buf;
    }
    if (r.status == IoStatus::end) return {};
    if (r.status == IoStatus::error) {
      if (closing_.load()) return {};
      throw NetError("receiving", r.error, net_error_text(r.error));
    }
    NativeSocket s = enter();
    if (s == kNoSocket) return {};
    int ev = wait_one(s, kReadable, -1);
    leave();
    if (ev < 0) {
      int code = native::last_error();
      throw NetError("receiving", code, net_error_text(code));
    }
  }
}

void Socket::send_all(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    IoResult r = send_some(bytes.data() + done, bytes.size() - done);
    if (r.status == IoStatus::ok) {
      done += r.bytes;
      continue;
    }
    if (r.status != IoStatus::would_block) {
      int code = r.status == IoStatus::error ? r.error : native::closed_code();
      throw NetError("sending", code, net_error_text(code));
    }
    NativeSocket s = enter();
    if (s == kNoSocket) {
      int code = native::closed_code();
      throw NetError("sending", code, net_error_text(code));
    }
    int ev = wait_one(s, kWritable, -1);
    leave();
    if (ev < 0) {
      int code = native::last_error();
      throw NetError("sending", code, net_error_text(code));
    }
  }
}

// ---- connecting with a time limit ------------------------------------------------------------

Socket connect_tcp(const std::string& host, int port, std::chrono::milliseconds timeout) {
  const std::string context = "connecting to " + host + ":" + std::to_string(port);
  if (port < 1 || port > 65535) throw NetError(context, 0, "port must be 1-65535");
  std::vector<Address> addrs;
  try {
    addrs = resolve(host, port);
  } catch (const NetError& e) {
    throw NetError(context, e.code(), e.reason());
  }
  return connect_first(addrs, timeout, context);
}

Socket connect_first(const std::vector<Address>& addrs, std::chrono::milliseconds timeout,
                     const std::string& context) {
  if (addrs.empty()) throw NetError(context, 0, "no address to connect to");
  const auto deadline = Clock::now() + timeout;
  int last = 0;
  bool timed_out = false;
  for (const Address& a : addrs) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    int err = 0;
    Socket s = connect_start(a, &err);
    if (!s) {
      last = err;
      continue;
    }
    for (;;) {
      left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      int ev = wait_one(s.native(), kWritable, static_cast<int>(std::min<long long>(left, 1 << 30)));
      if (ev != 0) break;  // decided, or the wait failed: take_error tells
    }
    if (left <= 0) {
      timed_out = true;
      break;
    }
    err = s.take_error();
    if (err == 0) {
      s.set_nonblocking(false);
      return s;
    }
    last = err;
  }
  if (timed_out || last == 0) throw NetError(context, 0, "timed out");
  throw NetError(context, last, net_error_text(last));
}

// ---- poll set and wake pair --------------------------------------------------------------------

size_t PollSet::add(NativeSocket s, short events) {
  entries_.push_back(Entry{s, events, 0});
  return entries_.size() - 1;
}

void WakePair::wake() noexcept {
  if (pending_.exchange(true)) return;
  char b = 1;
  // A full buffer already wakes the reader: the byte is not needed then.
  write_.send_some(&b, 1);
}

void WakePair::drain() noexcept {
  char buf[64];
  while (read_.recv_some(buf, sizeof buf).status == IoStatus::ok) {
  }
  // After the bytes: a wake that comes in between finds the flag still set and sends nothing,
  // but its waker's change is seen by the caller, who looks after drain() returns.
  pending_.exchange(false);
}

void WakePair::close() noexcept {
  write_.close();
  read_.close();
}

}  // namespace morvane::platform
