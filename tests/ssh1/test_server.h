#pragma once
// A test-only SSH-1 (protocol 1.5) server, written from the protocol's published description
// with its own packet codec and ciphers (zlib's CRC-32, DES and Blowfish block functions
// chained by hand), so the client is checked against an independent reading of the
// protocol. It models a real server: RSA host key 1024 and server key 768 bits, 3DES and
// Blowfish, password authentication, a terminal request, a shell (a scripted echo, or /bin/sh
// in a pseudo-terminal of the requested type and size), and the exit status. It checks every field the client sends, records what it saw, and can be
// told to misbehave. Byte-in/byte-out like the client; a socket runner sits beside it.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ssh1test {

struct ServerOptions {
  std::string version = "SSH-1.5-TestSsh1_1.0";
  std::string pre_version_text;  // lines sent before the version line
  uint32_t cipher_mask = (1u << 3) | (1u << 6);
  uint32_t auth_mask = 1u << 3;
  int host_bits = 1024;
  int server_bits = 768;
  std::string user = "tester";
  std::string password = "s3cret pass";
  bool need_auth = true;
  // Old servers: SSH_MSG_IGNORE makes them hang up; the password is read as a C string.
  bool choke_on_ignore = false;
  // Servers that compare the whole password string, so padding after a NUL fails.
  bool plain_password_only = false;
  // Misbehaviour.
  bool bad_crc_after_key = false;      // the answer to the session key has a broken CRC
  bool disconnect_after_key = false;   // hangs up with SSH_MSG_DISCONNECT instead
  bool refuse_pty = false;
  bool silent = false;                 // sends nothing at all
  std::string login_banner;            // stdout data sent once the shell starts
  // The shell: /bin/sh in a pseudo-terminal (TERM and size as requested, window changes
  // resize it, its exit status ends the session) instead of the scripted echo.
  bool real_shell = false;
};

// What the server saw from the client.
struct Seen {
  std::string client_version;
  int cipher = -1;
  uint32_t protocol_flags = 0xFFFFFFFF;
  std::string user;
  std::string password_field;  // the whole string the client sent
  int ignores = 0;
  int ignores_before_password = 0;
  std::string term;
  uint32_t rows = 0, cols = 0, xpix = 1, ypix = 1;
  std::string tty_modes;
  std::vector<std::pair<uint32_t, uint32_t>> window_sizes;  // rows, cols
  bool shell = false;
  std::string command;  // SSH_CMSG_EXEC_CMD
  std::string stdin_data;
  bool eof = false;
  bool exit_confirmed = false;
  std::string disconnect_reason;
  bool client_disconnected = false;
  std::string session_id;
};

class Server {
 public:
  explicit Server(ServerOptions opt);
  ~Server();
  void receive(std::string_view bytes);
  std::string take_output();
  // The server is done and wants the transport closed.
  bool done() const { return done_; }
  const std::string& error() const { return error_; }
  const Seen& seen() const { return seen_; }
  // Sends stdout data from the shell (for tests that push output themselves).
  void shell_output(std::string_view bytes);
  void exit_with(uint32_t status);
  // The real shell's pseudo-terminal while the shell runs, else -1. When it is readable,
  // shell_readable() forwards the output, and the exit status once the shell has ended.
  int shell_fd() const;
  void shell_readable();
  // Hex of the host key for PuTTY's cache: "0x<e>,0x<n>".
  std::string host_key_putty_cache() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Seen seen_;
  bool done_ = false;
  std::string error_;
  friend struct Impl;
};

}  // namespace ssh1test
