#include "kinds/ssh1/ssh1_backend.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "util/diag.h"

namespace morvane::kinds {

namespace {

using platform::IoStatus;
using platform::NetError;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The thrown reason of a connect() that a close() cut short; the tab shows nothing for it.
struct Closed : std::runtime_error {
  Closed() : std::runtime_error("the connection was closed") {}
};

}  // namespace

Ssh1Backend::Ssh1Backend(Ssh1BackendOptions opt) : opt_(std::move(opt)) {
  if (opt_.port < 1 || opt_.port > 65535)
    throw std::runtime_error("port " + std::to_string(opt_.port) + " is out of range (1-65535)");
}

Ssh1Backend::~Ssh1Backend() { close(); }

void Ssh1Backend::connect() {
  const int64_t start = now_ms();
  const int64_t timeout_ms = std::max<int64_t>(1, std::llround(opt_.timeout_sec * 1000));
  const int64_t deadline = start + timeout_ms;
  auto stop_if_closed = [this] {
    if (closed_.load()) {
      close();  // a close() that came before the socket was stored could not shut it down
      throw Closed();
    }
  };
  stop_if_closed();
  {
    ssh1::ClientConfig cfg;
    cfg.username = opt_.username;
    cfg.password = opt_.password;
    cfg.term_type = opt_.term_type;
    cfg.rows = opt_.rows;
    cfg.cols = opt_.cols;
    cfg.bugs = ssh1::bug_modes_from_forced(opt_.bugs);
    cfg.timeout_ms = timeout_ms;
    std::lock_guard<std::mutex> lock(mu_);
    client_ = std::make_unique<ssh1::Client>(std::move(cfg), start);
  }

  // The TCP connection, every address within the one time limit, each wait also woken by close().
  const std::string context = "connecting to " + opt_.host + ":" + std::to_string(opt_.port);
  std::vector<platform::Address> addrs;
  try {
    addrs = platform::resolve(opt_.host, static_cast<int>(opt_.port));
  } catch (const NetError& e) {
    throw NetError(context, e.code(), e.reason());
  }
  platform::Socket sock;
  int last = 0;
  bool timed_out = false;
  for (const auto& a : addrs) {
    stop_if_closed();
    if (now_ms() >= deadline) {
      timed_out = true;
      break;
    }
    int err = 0;
    platform::Socket attempt = platform::connect_start(a, &err);
    if (!attempt) {
      last = err;
      continue;
    }
    bool decided = false;
    while (!decided && !closed_.load()) {
      int64_t left = deadline - now_ms();
      if (left <= 0) break;
      platform::PollSet ps;
      size_t si = ps.add(attempt.native(), platform::kWritable);
      size_t wi = ps.add(wake_.fd(), platform::kReadable);
      int n = ps.wait(static_cast<int>(std::min<int64_t>(left, 1000)));
      if (n < 0) decided = true;  // take_error() tells
      if (n > 0 && ps.ready(wi)) wake_.drain();
      if (n > 0 && ps.ready(si)) decided = true;
    }
    stop_if_closed();
    if (!decided) {
      timed_out = true;
      break;
    }
    err = attempt.take_error();
    if (err == 0) {
      sock = std::move(attempt);
      break;
    }
    last = err;
  }
  if (!sock) {
    if (timed_out || last == 0) throw NetError(context, 0, "timed out");
    throw NetError(context, last, platform::net_error_text(last));
  }
  sock.set_nodelay(true);
  {
    std::lock_guard<std::mutex> lock(mu_);
    sock_ = std::move(sock);
  }
  stop_if_closed();

  // Key exchange, password and shell; the client's own clock ends a silent server.
  while (!connected_) {
    stop_if_closed();
    if (ended_.load()) throw std::runtime_error(end_reason());
    pump(static_cast<int>(std::clamp<int64_t>(deadline - now_ms() + 1, 0, 250)));
  }
}

void Ssh1Backend::pump(int timeout_ms) {
  bool want_write;
  {
    std::lock_guard<std::mutex> lock(mu_);
    want_write = !out_.empty();
  }
  platform::PollSet ps;
  size_t si = ps.add(sock_.native(), platform::kReadable | (want_write ? platform::kWritable : 0));
  size_t wi = ps.add(wake_.fd(), platform::kReadable);
  int n = ps.wait(timeout_ms);
  if (closed_.load()) return;
  if (n > 0 && ps.ready(wi)) wake_.drain();
  short ready = n > 0 ? ps.ready(si) : 0;
  std::string got;
  bool eof = false;
  std::string broke;
  if (ready & (platform::kReadable | platform::kHangup | platform::kError | platform::kInvalid)) {
    char buf[16384];
    platform::IoResult r = sock_.recv_some(buf, sizeof buf);
    if (r.status == IoStatus::ok) {
      got.assign(buf, r.bytes);
    } else if (r.status == IoStatus::end) {
      eof = true;
    } else if (r.status == IoStatus::error) {
      eof = true;
      broke = "reading from the server: " + platform::net_error_text(r.error);
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  const int64_t now = now_ms();
  if (!got.empty()) client_->receive(got, now);
  if (eof) client_->eof(now);
  client_->tick(now);
  flush_locked();
  for (auto& e : client_->take_events()) {
    using Kind = ssh1::Event::Kind;
    switch (e.kind) {
      case Kind::Stdout:
      case Kind::Stderr:
        in_ += e.data;
        break;
      case Kind::Connected:
        connected_ = true;
        break;
      case Kind::PtyRefused:
        diag::out("[ssh1] " + e.data);
        break;
      case Kind::ExitStatus:
        break;  // Closed follows with the status in its reason
      case Kind::Closed:
      case Kind::Failed:
        // A broken socket says more than the client's "closed during set-up".
        end_reason_ = broke.empty() || e.kind == Kind::Closed ? e.data : broke;
        ended_ = true;
        break;
    }
  }
}

void Ssh1Backend::flush_locked() {
  if (client_) out_ += client_->take_output();
  while (!out_.empty() && sock_.valid()) {
    platform::IoResult r = sock_.send_some(out_.data(), out_.size());
    if (r.status == IoStatus::ok) {
      out_.erase(0, r.bytes);
      continue;
    }
    // A socket that cannot take bytes any more ends the session through the read side.
    if (r.status != IoStatus::would_block) out_.clear();
    break;
  }
}

std::string Ssh1Backend::recv(size_t max_bytes) {
  max_bytes = std::max<size_t>(max_bytes, 1);
  for (;;) {
    if (closed_.load()) return {};
    if (!in_.empty()) {
      std::string chunk = in_.substr(0, max_bytes);
      in_.erase(0, chunk.size());
      return chunk;
    }
    if (ended_.load() || !sock_.valid()) return {};
    pump(1000);
  }
}

void Ssh1Backend::send(std::string_view bytes) {
  bool pending;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_.load() || !client_ || !client_->send(bytes)) throw std::runtime_error("the SSH-1 session is not open");
    flush_locked();
    pending = !out_.empty();
  }
  if (pending) wake_.wake();  // the owner waits for room to send the rest
}

void Ssh1Backend::resize(int rows, int cols) {
  bool pending = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!client_) return;
    client_->resize(rows, cols);
    flush_locked();
    pending = !out_.empty();
  }
  if (pending) wake_.wake();
}

void Ssh1Backend::close() noexcept {
  closed_ = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (client_) {
      try {
        client_->close();
        flush_locked();  // the disconnect message, if the socket takes it now
      } catch (const std::exception&) {
      }
    }
    sock_.shutdown();
  }
  wake_.wake();
}

std::string Ssh1Backend::end_reason() const {
  std::lock_guard<std::mutex> lock(mu_);
  return end_reason_;
}

int Ssh1Backend::cipher() const {
  std::lock_guard<std::mutex> lock(mu_);
  return client_ ? client_->cipher() : 0;
}

}  // namespace morvane::kinds
