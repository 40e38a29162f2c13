#pragma once
// Network sockets for the connection kinds: an owned socket, connecting with a time limit, a
// loopback listener, a poll set and a wake pair. One interface; the build picks net_posix.cpp
// or net_win32.cpp (Winsock2, WSAPoll). Every socket made here is close-on-exec (POSIX) or not
// inheritable (Windows), and no call raises SIGPIPE.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::platform {

#ifdef _WIN32
using NativeSocket = std::uintptr_t;  // SOCKET
inline constexpr NativeSocket kNoSocket = ~NativeSocket(0);
#else
using NativeSocket = int;
inline constexpr NativeSocket kNoSocket = -1;
#endif

// A failed network call. what() is "<context>: <reason>", for example
// "connecting to host:22: Connection refused".
class NetError : public std::runtime_error {
 public:
  NetError(const std::string& context, int code, const std::string& reason);
  // errno, a Winsock error or a resolver (EAI_*) code; 0 for a time-out.
  int code() const noexcept { return code_; }
  // The system's text alone, without the context.
  const std::string& reason() const noexcept { return reason_; }

 private:
  int code_;
  std::string reason_;
};

// The system's text for an error code of the socket calls ("Connection refused").
std::string net_error_text(int code);

enum class IoStatus { ok, would_block, end, error };
struct IoResult {
  IoStatus status = IoStatus::ok;
  size_t bytes = 0;  // moved, when ok
  int error = 0;     // the system's code, when error
};

// An owned socket. Any thread may close() it while others are blocked in calls on it: close
// shuts the socket down, which wakes them, and the descriptor itself is released once the
// last such call has returned, so a number reused by the system is never read by mistake.
class Socket {
 public:
  Socket() noexcept = default;
  explicit Socket(NativeSocket s) noexcept : fd_(s) {}
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  NativeSocket native() const noexcept { return fd_.load(); }
  bool valid() const noexcept { return native() != kNoSocket && !closing_.load(); }
  explicit operator bool() const noexcept { return valid(); }
  // Gives up ownership without closing.
  NativeSocket release() noexcept;

  // Throws NetError.
  void set_nonblocking(bool on);
  void set_nodelay(bool on) noexcept;

  // One system call each; they never block on a non-blocking socket.
  IoResult recv_some(void* buf, size_t len) noexcept;
  IoResult send_some(const void* buf, size_t len) noexcept;
  // Waits until bytes arrive: "" at the end of the stream or after close(). Throws NetError.
  std::string recv(size_t max_bytes);
  // Writes every byte, waiting for room (a non-blocking socket too). Throws NetError, also
  // after close().
  void send_all(std::string_view bytes);
  // Ends this side's sending (the peer reads the end of the stream); receiving goes on.
  void shutdown_send() noexcept;
  // Shuts both directions down, waking blocked calls, but keeps the descriptor.
  void shutdown() noexcept;
  // The pending error of the socket (SO_ERROR): how a non-blocking connect ended, 0 = connected.
  int take_error() noexcept;

  // Shuts the socket down and releases it (see above). Idempotent, any thread.
  void close() noexcept;

 private:
  friend class Listener;
  NativeSocket enter() noexcept;  // the descriptor for one call, or kNoSocket once closing
  void leave() noexcept;
  void release_if_idle() noexcept;

  std::atomic<NativeSocket> fd_{kNoSocket};
  std::atomic<int> users_{0};
  std::atomic<bool> closing_{false};
};

// A resolved address of a stream socket (IPv4 or IPv6).
struct Address {
  alignas(8) unsigned char storage[128] = {};  // a sockaddr_storage
  unsigned length = 0;
  std::string host() const;  // numeric
  int port() const;
};

// The addresses of host:port in the resolver's order. Throws NetError
// ("resolving example.invalid: Name or service not known", code = the resolver's code).
std::vector<Address> resolve(const std::string& host, int port, bool ipv4_only = false);

// Begins a non-blocking connection. The socket becomes writable once the attempt is decided;
// then take_error() says how it ended. An immediate failure gives an invalid socket and *error.
Socket connect_start(const Address& to, int* error) noexcept;

// A connected, blocking socket to the first address of host that answers within the time
// limit (all addresses share it). Throws NetError: "connecting to host:22: Connection refused",
// "connecting to host:22: timed out".
Socket connect_tcp(const std::string& host, int port, std::chrono::milliseconds timeout);
// The same for addresses already resolved, tried in order; context begins the error text.
Socket connect_first(const std::vector<Address>& addrs, std::chrono::milliseconds timeout,
                     const std::string& context);

struct Peer {
  std::string host;  // numeric
  int port = 0;
};

// A listening socket on the loopback interface.
class Listener {
 public:
  Listener() = default;
  explicit Listener(Socket s) noexcept : sock_(std::move(s)) {}

  bool valid() const noexcept { return sock_.valid(); }
  NativeSocket native() const noexcept { return sock_.native(); }
  // The port the listener is bound to (the one the system chose for port 0); 0 on failure.
  int local_port() const noexcept;
  void set_nonblocking(bool on) { sock_.set_nonblocking(on); }
  // The next connection, waiting for it on a blocking listener. An invalid socket when none
  // waits (non-blocking), the client left before it was taken, or after close().
  Socket accept(Peer* peer = nullptr, bool nonblocking = false) noexcept;
  // Stops listening and wakes a blocked accept. Idempotent, any thread.
  void close() noexcept { sock_.close(); }

 private:
  Socket sock_;
};

// Listens on 127.0.0.1:port; port 0 takes a free port. Throws NetError
// ("listening on 127.0.0.1:8080: Address already in use").
inline constexpr int kListenBacklog = 128;
Listener listen_loopback(int port, int backlog = kListenBacklog);

// For a listening socket that another library makes: what listen_loopback sets (on POSIX the
// port is taken again after TIME_WAIT; on Windows no other program may share it) and no
// child process inherits it.
void prepare_listener(NativeSocket s) noexcept;
// Lets a listening socket that another library made hold as many waiting connections as
// listen_loopback's do. Past a short backlog, Linux drops a new connection's handshake and
// its first data, and the client only retries after a second or more.
void widen_backlog(NativeSocket s) noexcept;
// Tells an open socket from a later one that the system gives the same number; 0 when s is
// not an open socket.
std::uint64_t socket_identity(NativeSocket s) noexcept;
// Refuses a fresh connection with answer: reads what already came (so that closing does not
// reset the connection under the answer), sends answer, shuts both directions down. Never
// waits.
void refuse_connection(NativeSocket s, std::string_view answer) noexcept;
// The other end has reset the connection, or closed it with nothing of it left unread. Never
// waits; false when it cannot tell.
bool peer_closed(NativeSocket s) noexcept;

// Events of a poll set entry.
enum PollEvent : short {
  kReadable = 1,  // bytes, the end of the stream, or a connection to accept
  kWritable = 2,  // room to send, or a non-blocking connect decided
  kError = 4,     // results only
  kHangup = 8,    // results only
  kInvalid = 16,  // results only: not an open socket
};

// Sockets to wait on together (poll / WSAPoll).
class PollSet {
 public:
  void clear() noexcept { entries_.clear(); }
  // Returns the entry's index. A socket of kNoSocket is skipped by wait() on every platform.
  size_t add(NativeSocket s, short events);
  size_t size() const noexcept { return entries_.size(); }
  // Waits until an entry has events or timeout_ms passes (negative: no limit). Returns the
  // number of entries with events, 0 on a time-out or an interrupting signal, -1 on failure.
  int wait(int timeout_ms) noexcept;
  // The events the last wait() found for an entry (PollEvent bits).
  short ready(size_t index) const noexcept { return entries_[index].got; }

 private:
  struct Entry {
    NativeSocket s;
    short want;
    short got;
  };
  std::vector<Entry> entries_;
};

// Wakes a thread waiting in a poll set from any other thread: a connected pair of sockets
// (a socket pair on POSIX, a loopback TCP pair on Windows, so WSAPoll can wait on it too).
class WakePair {
 public:
  // Throws NetError.
  WakePair();
  WakePair(const WakePair&) = delete;
  WakePair& operator=(const WakePair&) = delete;

  // Makes fd() readable until drain(). Wakes in between cost nothing. Any thread; on POSIX
  // also safe inside a signal handler.
  void wake() noexcept;
  // Empties the pair. Call before looking at whatever the wakers changed.
  void drain() noexcept;
  // The end to put in a poll set (kReadable).
  NativeSocket fd() const noexcept { return read_.native(); }
  // Releases both sockets early; wakes after it do nothing. Any thread.
  void close() noexcept;

 private:
  Socket read_, write_;
  std::atomic<bool> pending_{false};
};

}  // namespace morvane::platform
