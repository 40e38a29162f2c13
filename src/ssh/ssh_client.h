#pragma once
// An SSH-2 connection on libssh, as a tab holds it: the connection (`client`) and its
// interactive shell channel (`channel`).
//
// libssh sessions are not safe to use from two threads at once, so the session has one
// owner at a time. While connecting, that is the connecting thread (blocking calls:
// connect, authenticate, open the shell channel, set up forwards). start() then hands the
// session to the connection's I/O owner thread, which alone touches libssh from then on:
// other threads queue typing, resizing and closing and wake it through a wake pair; it moves
// the shell's bytes, sends keep-alives and relays every forwarded connection.
//
// Ways a connection ends: the server closes the shell channel (end of stream for recv);
// the TCP connection breaks or the server disconnects (recv ends, send throws); close()
// of the client from any thread (stops the owner, which disconnects and frees everything;
// listeners of local forwards stop listening with it).
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "backends/backend.h"
#include "util/json.h"

namespace morvane::ssh {

// The server refused every credential offered.
class AuthError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Anything else that stops a connection before it is up: unreachable host, time-out,
// negotiation failure, changed host key, broken connection.
class ConnectError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ConnectOptions {
  std::string host;
  int port = 22;
  std::string username;   // "" lets libssh use the local account's name
  std::string password;   // "" offers none
  std::string key_file;   // "" offers none
  int timeout_sec = 15;   // for the connection and for each step of authentication
  bool allow_agent = false;   // offer the keys of a running SSH agent (SSH_AUTH_SOCK)
  bool look_for_keys = true;  // offer the default key files of key_dir
  bool compress = false;
  std::string known_hosts_file;  // host keys remembered by this program ("" keeps none)
  std::string key_dir;           // folder of the default key files; "" is ~/.ssh
  // Algorithm preferences (category to names, ssh_compat::_build_ssh_prefs); null or {}
  // leaves libssh's own order.
  Json prefs;
  // Server-bug workarounds, the session's `ssh_bugs` record (name to mode); unknown names and
  // modes are left out with a diagnostic line.
  Json bugs;
};

struct Negotiated {
  std::string kex, cipher_in, cipher_out, hmac_in, hmac_out;
};

class Impl;
class SshChannel;

class SshClient final {
 public:
  SshClient();
  ~SshClient();
  SshClient(const SshClient&) = delete;
  SshClient& operator=(const SshClient&) = delete;

  // ---- connecting (one thread, before start) ---------------------------------------------
  // Connects, checks the host key against known_hosts_file and authenticates, applying the
  // options' algorithm preferences and workarounds. Throws AuthError or
  // ConnectError. An unknown host key is accepted and remembered by save_host_keys().
  void connect(const ConnectOptions& opts);
  // Writes a host key seen for the first time to the known-hosts file; failures are ignored.
  void save_host_keys();
  Negotiated negotiated() const;
  // Opens a session channel with a pseudo-terminal; throws std::runtime_error.
  std::shared_ptr<SshChannel> open_shell_channel(const std::string& term, int cols, int rows);
  void start_shell(SshChannel& channel);
  // Listens on 127.0.0.1:local_port; each accepted connection is tunnelled to host:port as
  // the server sees it. Throws std::runtime_error ("[Errno 98] Address already in use").
  void open_local_forward(int local_port, const std::string& host, int port);
  // Asks the server to listen on remote_port (all its addresses); each connection it
  // receives is tunnelled to host:port as this machine sees it. Throws std::runtime_error.
  void request_remote_forward(int remote_port, const std::string& host, int port);
  // Hands the session to its I/O owner thread.
  void start();

  // ---- any thread ---------------------------------------------------------------------------
  // Seconds between keep-alives while nothing else is sent; 0 or less sends none.
  void set_keepalive(int seconds);
  int keepalive() const;

  // Ends the connection with every channel and forward; waits for the owner thread.
  void close() noexcept;
  bool is_closed() const;

 private:
  std::shared_ptr<Impl> impl_;
  std::mutex close_mu_;  // close() may come from the reader and from the page at once
  std::thread owner_;
};

// The interactive shell channel of a connection.
class SshChannel final : public Backend {
 public:
  struct Pipe;
  SshChannel(std::shared_ptr<Impl> impl, std::shared_ptr<Pipe> pipe);
  ~SshChannel() override;

  // Blocks until output arrives; "" at the end of the stream or after close().
  std::string recv(size_t max_bytes) override;
  // Queues input for the owner; waits only while a large amount is still unsent.
  void send(std::string_view bytes) override;
  // Window change: width = cols, height = rows.
  void resize(int rows, int cols) override;
  void close() noexcept override;
  bool is_closed() const override;

  const std::shared_ptr<Pipe>& pipe() const { return pipe_; }

 private:
  std::shared_ptr<Impl> impl_;
  std::shared_ptr<Pipe> pipe_;
};

}  // namespace morvane::ssh
