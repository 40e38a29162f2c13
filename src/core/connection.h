#pragma once
// One connection per tab, whatever its kind: the core starts it, reads it on one reader
// path, writes the user's typing to it, resizes it and closes it.
//
// Life of a connection: created by its kind (no I/O), stored in its tab, then start() runs on
// the tab's connect worker and either reaches `connected` or ends `failed` (after telling the
// user why through the sink). The core then reads until read() answers "" (end of stream,
// close(), or a failure), and closes it. The state only moves forward:
//   connecting -> connected -> closing -> closed, or connecting -> failed -> closing -> closed.
// A kind that keeps trying by itself (serial ports that come back) does so inside read(),
// reporting through the sink; its state stays `connected`.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <stdexcept>
#include <string_view>

#include "util/json.h"

namespace morvane {

// A write that took only the first `written` bytes before giving up (a line held by flow
// control, a far end that stopped reading). Callers that must not lose bytes offer the rest
// again; others treat it as any failed write.
class ShortWrite : public std::runtime_error {
 public:
  ShortWrite(const std::string& text, size_t written) : std::runtime_error(text), written_(written) {}
  size_t written() const noexcept { return written_; }

 private:
  size_t written_;
};

enum class ConnectionState { connecting, connected, failed, closing, closed };
const char* connection_state_name(ConnectionState s);

// How a connection reaches the core: notices for the user and the moments its state moves.
// Called from the connection's own threads; implementations never throw.
class ConnectionSink {
 public:
  virtual ~ConnectionSink() = default;
  // A notice line in the tab (the page's setTerminalInfo).
  virtual void notice(const std::string& text, bool is_error = false) = 0;
  // Text of our own shown in the terminal like received output (already decoded).
  virtual void terminal_text(const std::string& text) = 0;
  // The connection reached `connected` (the page learns the tab is up) or another state.
  virtual void state_changed(ConnectionState state) = 0;
  // The byte stream starts afresh (a reopened port): decoding state is dropped.
  virtual void restart_decoding() = 0;
};

class Connection {
 public:
  explicit Connection(std::shared_ptr<ConnectionSink> sink) : sink_(std::move(sink)) {}
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects, blocking, on the tab's connect worker. Ends in `connected`, or in `failed` with
  // the reason already told through the sink; a close() meanwhile ends it quietly.
  virtual void start() = 0;
  // Blocks until bytes arrive; "" at the end of the stream, after close() or on a failure
  // (which the kind may report through the sink first). Called by the one reader thread.
  virtual std::string read(size_t max_bytes) = 0;
  // Sends the user's bytes; throws std::runtime_error with a readable reason (ShortWrite when
  // only a part went out).
  virtual void write(std::string_view bytes) = 0;
  // Tells the peer the terminal's size; false when this kind has no such notion.
  virtual bool resize(int rows, int cols) = 0;
  // Ends the connection from any thread and wakes a blocked read() at once. Idempotent.
  virtual void close() noexcept = 0;

  // Whether the tab shows as alive: by default, connecting or connected.
  virtual bool alive() const {
    auto s = state();
    return s == ConnectionState::connecting || s == ConnectionState::connected;
  }
  // Whether writing makes sense now (input before the connection is up is refused).
  virtual bool writable() const { return state() == ConnectionState::connected; }
  // Whether the reader may stop reading while the consumer is behind. A kind whose peer
  // cannot wait (a board on a serial line) answers false and keeps the output bound instead.
  virtual bool can_wait() const { return true; }
  // Whether the core announces the end of this connection's stream to the user.
  virtual bool announces_end() const { return true; }
  // The encoding the terminal text is decoded with; "" means the tab's own.
  virtual std::string decoding() const { return {}; }
  // A saved session's record changed while this tab is open (for live settings).
  virtual void session_changed(const Json& session) {}

  ConnectionState state() const { return state_.load(); }

 protected:
  // Moves the state forward and tells the sink; false (and nothing happens) when `to` is not
  // ahead of the current state.
  bool advance(ConnectionState to) noexcept;
  // Ends a connection that could not be made: the state moves first, so whoever reads the
  // reason already finds the tab down.
  void fail_with(const std::string& reason) {
    advance(ConnectionState::failed);
    sink_->notice(reason, true);
  }
  // The first caller of close() gets true and does the closing; later callers get false.
  bool begin_close() noexcept { return advance(ConnectionState::closing); }
  void finish_close() noexcept { advance(ConnectionState::closed); }
  bool closing() const {
    auto s = state();
    return s == ConnectionState::closing || s == ConnectionState::closed;
  }
  ConnectionSink& sink() { return *sink_; }

 private:
  std::shared_ptr<ConnectionSink> sink_;
  std::mutex state_mu_;
  std::atomic<ConnectionState> state_{ConnectionState::connecting};
};

}  // namespace morvane
