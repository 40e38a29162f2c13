// The I/O owner of an SSH-2 connection: the only thread that touches the libssh session once
// the connection is up. One poll() waits on the session's socket, the wake pair, the local
// forwards' listeners and every relay socket; nothing in the loop blocks.
#include <algorithm>

#include "ssh/ssh_impl.h"

namespace morvane::ssh {
namespace {

using Clock = std::chrono::steady_clock;
using platform::IoStatus;
using platform::kReadable;
using platform::kWritable;

// Bytes read from one channel before the loop looks at the others again.
constexpr size_t kReadBudget = 512 * 1024;

// Only a channel that is open on both sides may be closed: a close naming a channel the
// server no longer (or never) had makes OpenSSH drop the whole connection. libssh keeps a
// freed channel until the server's own close arrives.
void close_and_free(ssh_channel ch) {
  if (!ch) return;
  if (ssh_channel_is_open(ch)) ssh_channel_close(ch);
  ssh_channel_free(ch);
}

}  // namespace

void Impl::watch(ssh_channel ch) {
  if (channel_cb_.size == 0) {
    channel_cb_.userdata = this;
    // Data is left in the channel's buffer (0 bytes taken); the pass reads it.
    channel_cb_.channel_data_function = [](ssh_session, ssh_channel, void*, uint32_t, int, void* self) {
      ++static_cast<Impl*>(self)->activity_;
      return 0;
    };
    channel_cb_.channel_eof_function = [](ssh_session, ssh_channel, void* self) { ++static_cast<Impl*>(self)->activity_; };
    channel_cb_.channel_close_function = [](ssh_session, ssh_channel, void* self) { ++static_cast<Impl*>(self)->activity_; };
    channel_cb_.channel_write_wontblock_function = [](ssh_session, ssh_channel, uint32_t, void* self) {
      ++static_cast<Impl*>(self)->activity_;
      return 0;
    };
    ssh_callbacks_init(&channel_cb_);
  }
  if (ch) ssh_add_channel_callbacks(ch, &channel_cb_);
}

void Impl::run() {
  ssh_set_blocking(session, 0);
  for (auto& sh : shells) watch(sh.ch);
  // The session in an event of its own lets the loop have libssh process whatever arrived
  // even when no channel is being read (all consumers full).
  event_ = ssh_event_new();
  if (event_) ssh_event_add_session(event_, session);
  last_send_ = Clock::now();
  bool busy = false;
  platform::PollSet fds;
  std::vector<Relay*> polled;

  while (!stop) {
    // ---- wait ----------------------------------------------------------------------------------
    fds.clear();
    polled.clear();
    fds.add(wake_.fd(), kReadable);
    short sev = kReadable;
    if (ssh_get_poll_flags(session) & SSH_WRITE_PENDING) sev |= kWritable;
    fds.add(static_cast<platform::NativeSocket>(ssh_get_fd(session)), sev);
    size_t first_listener = fds.size();
    for (auto& l : listeners) fds.add(l.listener.native(), kReadable);
    size_t first_relay = fds.size();
    for (auto& r : relays_) {
      short ev = 0;
      if (r->state == Relay::State::connecting_socket) ev = kWritable;
      if (r->state == Relay::State::open) {
        if (!r->sock_eof && r->to_chan.size() < kRelayCap) ev |= kReadable;
        if (!r->to_sock.empty()) ev |= kWritable;
      }
      fds.add(r->sock.native(), ev);
      polled.push_back(r.get());
    }
    int timeout = -1;
    int ka = keepalive_sec.load();
    if (ka > 0) {
      auto due = last_send_ + std::chrono::seconds(ka);
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
      timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(left + 1, 3600 * 1000)));
    }
    // A channel being opened learns of the server's answer from a packet no callback
    // reports (another channel's call may take it in): look again every 10 ms meanwhile.
    for (auto& r : relays_)
      if (r->state == Relay::State::opening_channel) timeout = timeout < 0 ? 10 : std::min(timeout, 10);
    if (busy) timeout = 0;
    if (fds.wait(timeout) < 0) break;
    if (fds.ready(0)) wake_.drain();
    if (stop) break;

    // ---- let libssh read and write the session's socket ------------------------------------------
    if (event_ && ssh_event_dopoll(event_, 0) == SSH_ERROR && !ssh_is_connected(session)) break;
    const unsigned long long seen = activity_;

    // ---- the shell channels -----------------------------------------------------------------------
    busy = false;
    for (auto& sh : shells) busy |= service_shell(sh);
    std::erase_if(shells, [](const ShellEntry& sh) { return sh.done; });

    // ---- forwards -----------------------------------------------------------------------------------
    for (size_t i = 0; i < listeners.size(); ++i)
      if (fds.ready(first_listener + i) & kReadable) accept_local(listeners[i]);
    for (size_t i = 0; i < polled.size(); ++i) service_relay(*polled[i], fds.ready(first_relay + i));
    // After the relays: a connection the server opened while they were served is taken now.
    if (!remote_targets.empty()) accept_remote();
    // Relays added this pass had no poll yet: give them one turn now.
    for (size_t i = polled.size(); i < relays_.size(); ++i) service_relay(*relays_[i], 0);
    std::erase_if(relays_, [](const std::unique_ptr<Relay>& r) { return r->done; });
    if (activity_ != seen) busy = true;

    // ---- keep-alive -------------------------------------------------------------------------------------
    ka = keepalive_sec.load();
    if (ka > 0 && Clock::now() - last_send_ >= std::chrono::seconds(ka)) send_keepalive();

    int status = ssh_get_status(session);
    if (!ssh_is_connected(session) || (status & (SSH_CLOSED | SSH_CLOSED_ERROR))) break;
  }
  teardown();
}

bool Impl::service_shell(ShellEntry& sh) {
  auto& p = *sh.pipe;
  bool close_now = false, resize = false;
  int cols = 0, rows = 0;
  size_t room = 0;
  {
    std::lock_guard<std::mutex> lock(p.mu);
    close_now = p.close_requested;
    if (p.resize_pending) {
      resize = true;
      cols = p.cols;
      rows = p.rows;
      p.resize_pending = false;
    }
    if (!p.out.empty() && sh.pending.size() < kOutboundCap) {
      sh.pending.append(p.out.data(), p.out.size());
      p.out.clear();
      p.cv.notify_all();  // senders waiting for room
    }
    room = p.in.size() < kInboundCap ? kInboundCap - p.in.size() : 0;
    if (room == 0) p.owner_wants_room = true;
  }
  if (close_now) {
    close_and_free(sh.ch);
    sh.ch = nullptr;
    sh.done = true;
    return false;
  }
  bool failed = false;
  if (resize && ssh_channel_change_pty_size(sh.ch, cols, rows) == SSH_ERROR) failed = true;
  while (!failed && !sh.pending.empty()) {
    int w = ssh_channel_write(sh.ch, sh.pending.data(),
                              static_cast<uint32_t>(std::min<size_t>(sh.pending.size(), 1 << 20)));
    if (w < 0) {
      failed = true;
      break;
    }
    if (w == 0) break;  // the server's window is full: its adjust wakes the poll
    sh.pending.consume(static_cast<size_t>(w));
    last_send_ = Clock::now();
  }

  // Received bytes, gathered in one piece per pass to keep the consumer's lock quiet;
  // stderr (empty under a pseudo-terminal) joins the terminal too.
  std::string got;
  bool ended[2] = {false, false}, more = false;
  char buf[65536];
  for (int stream = 0; stream < 2 && !failed; ++stream) {
    while (room > 0) {
      if (got.size() >= kReadBudget) {
        more = true;
        break;
      }
      uint32_t want = static_cast<uint32_t>(std::min(sizeof buf, room));
      int r = ssh_channel_read_nonblocking(sh.ch, buf, want, stream);
      if (r > 0) {
        got.append(buf, static_cast<size_t>(r));
        room -= static_cast<size_t>(r);
        continue;
      }
      if (r == SSH_EOF) ended[stream] = true;
      else if (r == SSH_ERROR) failed = true;
      break;
    }
  }
  bool eof = !failed && !more && ended[0] && (ended[1] || ssh_channel_poll(sh.ch, 1) <= 0);
  if (!got.empty() || eof || failed) {
    std::lock_guard<std::mutex> lock(p.mu);
    if (!got.empty()) p.in.append(got.data(), got.size());
    // Filled to the cap: what libssh already holds will not wake the poll (the socket stays
    // quiet while the server waits for window), so the consumer must wake us once it made room.
    if (room == 0) p.owner_wants_room = true;
    if (eof || failed) p.eof = p.broken = true;
    p.cv.notify_all();
  }
  if (failed || eof) {
    // The consumer still reads what is buffered; the channel itself is finished.
    close_and_free(sh.ch);
    sh.ch = nullptr;
    sh.done = true;
  }
  return more;
}

void Impl::accept_local(ForwardListener& l) {
  for (;;) {
    platform::Peer peer;
    platform::Socket sock = l.listener.accept(&peer, true);
    if (!sock) return;  // none waiting, or a client that left before we took it
    auto r = std::make_unique<Relay>();
    r->ch = ssh_channel_new(session);
    if (!r->ch) continue;  // the client's socket closes with it
    r->sock = std::move(sock);
    watch(r->ch);
    r->origin_host = peer.host.empty() ? "127.0.0.1" : peer.host;
    r->origin_port = peer.port;
    r->target_host = l.host;
    r->target_port = l.port;
    r->state = Relay::State::opening_channel;
    relays_.push_back(std::move(r));
  }
}

void Impl::accept_remote() {
  for (;;) {
    int dport = 0, oport = 0;
    char* origin = nullptr;
    ssh_channel ch = ssh_channel_open_forward_port(session, 0, &dport, &origin, &oport);
    if (origin) ssh_string_free_char(origin);
    if (!ch) return;
    auto it = remote_targets.find(dport);
    if (it == remote_targets.end()) {
      close_and_free(ch);
      continue;
    }
    int err = 0;
    platform::Socket sock = platform::connect_start(it->second, &err);
    if (!sock) {
      close_and_free(ch);  // the local target cannot be reached: the channel goes, silently
      continue;
    }
    auto r = std::make_unique<Relay>();
    r->sock = std::move(sock);
    r->ch = ch;
    watch(ch);
    // A refusal shows once the attempt is decided (writable, then its error).
    r->state = Relay::State::connecting_socket;
    relays_.push_back(std::move(r));
  }
}

void Impl::fail_relay(Relay& r) {
  if (r.ch) {
    close_and_free(r.ch);
    r.ch = nullptr;
  }
  r.sock.close();
  r.done = true;
}

void Impl::service_relay(Relay& r, short revents) {
  if (r.done) return;
  if (r.state == Relay::State::opening_channel) {
    int rc = ssh_channel_open_forward(r.ch, r.target_host.c_str(), r.target_port, r.origin_host.c_str(),
                                      r.origin_port);
    if (rc == SSH_AGAIN) return;
    if (rc != SSH_OK) return fail_relay(r);  // the server cannot reach the target: drop the client
    r.state = Relay::State::open;
  }
  if (r.state == Relay::State::connecting_socket) {
    if (!(revents & (kWritable | platform::kError | platform::kHangup))) return;
    if (r.sock.take_error() != 0) return fail_relay(r);
    r.state = Relay::State::open;
  }

  char buf[kRelayChunk];
  // socket -> channel
  while (!r.sock_eof && r.to_chan.size() < kRelayCap) {
    platform::IoResult got = r.sock.recv_some(buf, sizeof buf);
    if (got.status == IoStatus::ok) {
      r.to_chan.append(buf, got.bytes);
      continue;
    }
    if (got.status == IoStatus::end) r.sock_eof = true;
    else if (got.status == IoStatus::error) return fail_relay(r);
    break;
  }
  while (!r.to_chan.empty()) {
    int w = ssh_channel_write(r.ch, r.to_chan.data(), static_cast<uint32_t>(r.to_chan.size()));
    if (w < 0) return fail_relay(r);
    if (w == 0) break;
    r.to_chan.consume(static_cast<size_t>(w));
    last_send_ = Clock::now();
  }
  if (r.sock_eof && r.to_chan.empty() && !r.chan_eof_sent) {
    // Pass the end on and keep carrying the answer: the client may only have half-closed.
    ssh_channel_send_eof(r.ch);
    r.chan_eof_sent = true;
  }
  // channel -> socket
  while (!r.chan_eof && r.to_sock.size() < kRelayCap) {
    int n = ssh_channel_read_nonblocking(r.ch, buf, sizeof buf, 0);
    if (n > 0) {
      r.to_sock.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == SSH_EOF) r.chan_eof = true;
    else if (n == SSH_ERROR) return fail_relay(r);
    break;
  }
  if (!r.chan_eof && ssh_channel_is_closed(r.ch) && ssh_channel_poll(r.ch, 0) <= 0) r.chan_eof = true;
  while (!r.to_sock.empty()) {
    platform::IoResult put = r.sock.send_some(r.to_sock.data(), r.to_sock.size());
    if (put.status == IoStatus::ok && put.bytes > 0) {
      r.to_sock.consume(put.bytes);
      continue;
    }
    if (put.status == IoStatus::would_block) break;
    return fail_relay(r);  // the client is gone
  }
  if (r.chan_eof && r.to_sock.empty() && !r.sock_shut) {
    r.sock.shutdown_send();
    r.sock_shut = true;
  }
  bool finished = (r.chan_eof_sent && r.sock_shut) || (ssh_channel_is_closed(r.ch) && r.to_sock.empty());
  if (finished) fail_relay(r);
}

void Impl::send_keepalive() {
  // SSH_MSG_IGNORE is what servers expect and answer nothing to; the "ignore2" workaround
  // sends SSH_MSG_DEBUG, which every server must accept, for servers that choke on it.
  if (keepalive_as_debug) ssh_send_debug(session, "", 0);
  else ssh_send_ignore(session, "");
  last_send_ = Clock::now();
}

void Impl::teardown() {
  for (auto& sh : shells) {
    std::lock_guard<std::mutex> lock(sh.pipe->mu);
    sh.pipe->eof = sh.pipe->broken = true;
    sh.pipe->cv.notify_all();
  }
  shells.clear();  // the channels themselves go with the session
  relays_.clear();     // their sockets close with them
  listeners.clear();
  if (event_) {
    ssh_event_remove_session(event_, session);
    ssh_event_free(event_);
    event_ = nullptr;
  }
  ssh_disconnect(session);
  ssh_free(session);
  session = nullptr;
  finished = true;
  wake_.close();  // the connection's descriptors all go now, though the tab may keep it
}

}  // namespace morvane::ssh
