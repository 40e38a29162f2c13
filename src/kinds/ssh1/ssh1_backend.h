#pragma once
// The SSH-1 backend of a tab: one TCP socket driving the byte-in/byte-out client of src/ssh1.
// The thread in connect(), and after it the one reader in recv(), owns the socket's reads;
// send(), resize() and close() may come from any thread: they queue into the client under its
// lock, push what they can without blocking, and wake the owner for the rest.
//
// Ways the connection ends: the remote shell's exit status (the confirmation goes out, then
// recv() answers ""); the server disconnects or closes the socket; a protocol fault (bad CRC,
// bad packet); close() from any thread (SSH_MSG_DISCONNECT is sent when the socket takes it,
// and a blocked connect() or recv() returns at once).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/net.h"
#include "ssh1/client.h"

namespace morvane::kinds {

struct Ssh1BackendOptions {
  std::string host;
  long long port = 22;  // checked when the backend is made
  std::string username;
  std::string password;
  std::string term_type = "xterm";
  int rows = 24;
  int cols = 80;
  double timeout_sec = 15;     // the TCP connection and the whole set-up until the shell runs
  std::set<std::string> bugs;  // workarounds forced on
};

class Ssh1Backend {
 public:
  // Stores the parameters and makes the wake pair; no network I/O. Throws std::runtime_error
  // on parameters no connection can be made with (a port out of range).
  explicit Ssh1Backend(Ssh1BackendOptions opt);
  ~Ssh1Backend();
  Ssh1Backend(const Ssh1Backend&) = delete;
  Ssh1Backend& operator=(const Ssh1Backend&) = delete;

  // Connects, exchanges keys, signs in with the password and starts the shell, all within the
  // time limit. Throws std::runtime_error with the reason; after close() it throws at once.
  void connect();
  // Terminal bytes (stdout and stderr as they come); "" at the end of the stream or after close().
  std::string recv(size_t max_bytes);
  // Terminal input. Throws std::runtime_error when the shell is not running.
  void send(std::string_view bytes);
  // Window-change message to the server (once the shell runs with a terminal).
  void resize(int rows, int cols);
  // Orderly close; idempotent, any thread, also after a failed connect().
  void close() noexcept;
  bool is_closed() const noexcept { return closed_.load() || ended_.load(); }

  // What the server reported last, for diagnostics and tests.
  std::string end_reason() const;
  int cipher() const;

 private:
  // One wait on the socket and the wake pair, then the client's answers and events.
  void pump(int timeout_ms);
  void handle_events();
  // Pushes queued output without blocking; call with mu_ held.
  void flush_locked();

  const Ssh1BackendOptions opt_;
  platform::WakePair wake_;
  platform::Socket sock_;  // set once by the owner, under mu_
  mutable std::mutex mu_;  // client_, out_, end_reason_
  std::unique_ptr<ssh1::Client> client_;
  std::string out_;         // bytes for the socket not yet taken by it
  std::string in_;          // terminal bytes not yet handed out (owner only)
  std::string end_reason_;
  bool connected_ = false;  // owner only
  std::atomic<bool> closed_{false};
  std::atomic<bool> ended_{false};
};

}  // namespace morvane::kinds
