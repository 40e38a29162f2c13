#pragma once
// What the TCP kinds (Telnet, Telnet serial, raw, Rlogin, SUPDUP) share: a socket connected
// within the session's time limit, a reader that waits on it in slices (so protocol time-outs
// can fire) and may take TCP urgent bytes apart, one lock that keeps sends whole and in
// order, and a close() that wakes the reader at once from any thread.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/kind.h"
#include "platform/net.h"

namespace morvane::kinds {

class NetConnection : public Connection {
 public:
  explicit NetConnection(const OpenRequest& req);
  ~NetConnection() override;
  void close() noexcept override;

 protected:
  // What one wait on the socket brought.
  struct Received {
    std::string data;    // ordinary bytes
    std::string urgent;  // TCP urgent bytes (only when asked for)
    bool end = false;    // end of stream, closed, or a failure (already logged)
  };

  // Connects within timeout_sec. On failure shows the kind's failure notice (fail_key with
  // {err}) and moves to `failed`; false also when the tab was closed meanwhile.
  bool connect_socket(const std::string& host, int port, int timeout_sec, const std::string& fail_key,
                      bool reserved_source_port = false);
  // Shows the failure notice for an error after the socket was up, and moves to `failed`.
  void fail(const std::string& fail_key, const std::string& err);
  // Waits up to timeout_ms (negative: no limit) for bytes; an empty result without `end`
  // means the time ran out. Only the reader thread (or start()) calls it.
  Received receive(size_t max_bytes, int timeout_ms, bool want_urgent = false);
  // Sends whole, in the order callers took the lock. Throws std::runtime_error.
  void send_bytes(std::string_view bytes);
  // Serialises sending: hold it while taking a protocol's output and sending it.
  std::mutex& send_lock() { return send_mu_; }

  KindServices& services() { return svc_; }
  static std::uint64_t now_ms();

  const std::string tab_id_;
  KindServices& svc_;
  std::string label_;  // "[telnet]" etc. for diagnostic lines

 private:
  // connect_tcp, except that close() ends the wait at once (an empty socket then).
  platform::Socket connect_interruptible(const std::string& host, int port, std::chrono::milliseconds limit);

  std::mutex send_mu_;
  // The reader polls the descriptor itself (for urgent data), outside the socket's own
  // count of users: the descriptor is released only once that wait is over.
  std::mutex io_mu_;
  bool waiting_ = false;
  bool shut_ = false;
  platform::Socket sock_;
  std::unique_ptr<platform::WakePair> wake_;  // only while connecting
};

// A connection whose parameters could not even be read from the session: its start shows the
// kind's failure notice, as a failed connect would.
class FailedConnection final : public Connection {
 public:
  FailedConnection(const OpenRequest& req, std::string fail_key, std::string err);
  void start() override;
  std::string read(size_t) override { return {}; }
  void write(std::string_view) override { throw std::runtime_error("not connected"); }
  bool resize(int, int) override { return false; }
  void close() noexcept override {
    if (begin_close()) finish_close();
  }

 private:
  KindServices& svc_;
  std::string fail_key_, err_;
};

// Opens a connection of type C, or a FailedConnection when building it throws.
template <class C, class... Args>
std::shared_ptr<Connection> open_or_fail(const OpenRequest& req, const char* fail_key, Args&&... args) {
  try {
    return std::make_shared<C>(req, std::forward<Args>(args)...);
  } catch (const std::exception& e) {
    return std::make_shared<FailedConnection>(req, fail_key, e.what());
  }
}

// A socket to host:port from a source port below 1024 (some rlogind servers refuse any
// other), or an ordinary one when no such port can be bound (not root, all taken).
platform::Socket connect_from_reserved_port(const std::string& host, int port, std::chrono::milliseconds timeout);

}  // namespace morvane::kinds
