#pragma once
// Inside an SSH-2 connection: the state its I/O owner thread keeps, and what it shares with
// the tab's threads. Not part of the module's interface.
#include <libssh/libssh.h>
#include <libssh/callbacks.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net.h"
#include "ssh/ssh_client.h"

namespace morvane::ssh {

// Bytes waiting to be taken from the front.
class ByteQueue {
 public:
  size_t size() const { return buf_.size() - head_; }
  bool empty() const { return size() == 0; }
  const char* data() const { return buf_.data() + head_; }
  void append(const char* p, size_t n) { buf_.append(p, n); }
  void consume(size_t n) {
    head_ += n;
    if (head_ == buf_.size()) {
      buf_.clear();
      head_ = 0;
    } else if (head_ > 65536 && head_ * 2 > buf_.size()) {
      buf_.erase(0, head_);
      head_ = 0;
    }
  }
  std::string take(size_t max) {
    size_t n = std::min(max, size());
    std::string out(data(), n);
    consume(n);
    return out;
  }
  void clear() {
    buf_.clear();
    head_ = 0;
  }

 private:
  std::string buf_;
  size_t head_ = 0;
};

// What the shell channel shares between its owner and the tab's threads.
struct SshChannel::Pipe {
  std::mutex mu;
  std::condition_variable cv;  // recv waits for data; send waits for room
  ByteQueue in;                // received, waiting for recv()
  ByteQueue out;               // from send(), waiting for the owner
  bool resize_pending = false;
  int cols = 80, rows = 24;
  bool eof = false;              // nothing more will arrive (recv drains what is left)
  bool broken = false;           // the channel or the connection is gone: input fails
  bool closed = false;           // close() was called here
  bool close_requested = false;  // close() was called: the owner closes the libssh channel
  bool owner_wants_room = false; // the owner stopped reading until recv() makes room
};

// Limits that keep a slow consumer from growing memory: past them the owner stops reading
// and the SSH window makes the server wait.
inline constexpr size_t kInboundCap = 1 << 20;
inline constexpr size_t kInboundResume = kInboundCap / 2;
inline constexpr size_t kOutboundCap = 1 << 20;
inline constexpr size_t kRelayCap = 256 * 1024;
inline constexpr size_t kRelayChunk = 4096;  // bytes per receive on a relay

struct ShellEntry {
  ssh_channel ch = nullptr;
  std::shared_ptr<SshChannel::Pipe> pipe;
  ByteQueue pending;  // taken from the pipe, not yet accepted by libssh
  bool done = false;
};

// One forwarded TCP connection: a socket on this machine and a channel of the connection.
struct Relay {
  enum class State { opening_channel, connecting_socket, open };
  State state = State::open;
  platform::Socket sock;
  ssh_channel ch = nullptr;
  // Local forwards open their channel while the accepted client waits.
  std::string target_host, origin_host;
  int target_port = 0, origin_port = 0;
  ByteQueue to_chan, to_sock;
  bool sock_eof = false, chan_eof_sent = false;
  bool chan_eof = false, sock_shut = false;
  bool done = false;
};

// A local forward: connections accepted here are tunnelled to host:port.
struct ForwardListener {
  platform::Listener listener;
  std::string host;
  int port = 0;
};

class Impl {
 public:
  Impl();
  ~Impl();

  // ---- set while connecting; read-only for the owner afterwards -------------------------------
  ssh_session session = nullptr;
  std::string known_hosts_file;
  bool host_key_new = false;
  bool keepalive_as_debug = false;  // workaround "ignore2"
  std::vector<ForwardListener> listeners;
  std::map<int, platform::Address> remote_targets;  // server port -> local target
  std::vector<ShellEntry> shells;

  std::atomic<int> keepalive_sec{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};  // the owner has ended and freed the session

  // Wakes the owner from its poll; safe from any thread, also after the owner ended.
  void wake();
  // The owner thread's body.
  void run();
  // Frees what a connection that never started holds (the connecting thread's failure paths).
  void release_unstarted();

 private:
  bool service_shell(ShellEntry& sh);
  void accept_local(ForwardListener& l);
  void accept_remote();
  void service_relay(Relay& r, short revents);
  void fail_relay(Relay& r);
  void send_keepalive();
  void teardown();

  // Packets for a channel are taken in by whichever libssh call reads the socket, often a
  // call made for another channel. Callbacks on every channel count such arrivals (data,
  // end, close, a grown window), so that a pass in which they happened runs once more
  // instead of sleeping on a socket that has nothing further to say.
  void watch(ssh_channel ch);
  unsigned long long activity_ = 0;
  ssh_channel_callbacks_struct channel_cb_{};

  platform::WakePair wake_;

  ssh_event event_ = nullptr;
  std::vector<std::unique_ptr<Relay>> relays_;
  std::chrono::steady_clock::time_point last_send_;
};

std::string session_error(ssh_session s);
// "[Errno N] text" for an error code of the socket calls.
std::string errno_text(int err);

}  // namespace morvane::ssh
