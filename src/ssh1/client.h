#pragma once
// The SSH-1 (protocol 1.5) client as a byte-in/byte-out state machine: the caller feeds it
// what the socket received, sends what take_output() returns, and reads data and events
// from take_events(). It never touches a socket, a thread or the clock: time comes in as
// `now` (milliseconds, any fixed origin) with receive() and tick().
//
// A reader thread drives it like this: construct with the clock; after connecting, loop
// { send take_output(); wait for bytes up to ~100 ms; receive(bytes, now) or eof(now);
// tick(now); handle take_events() } until finished(). Writes (send, resize, close) come
// from the same thread or under the caller's lock: the client itself is not thread-safe.
//
// Ways the connection ends (each leaves state() Closed or Failed, with a matching event):
//  - the server's exit status: SSH_CMSG_EXIT_CONFIRMATION is sent, then Closed;
//  - the server's SSH_MSG_DISCONNECT: Closed once the shell runs, Failed before;
//  - close() by the caller: SSH_MSG_DISCONNECT is sent, then Closed;
//  - end of stream (eof()): Closed once the shell runs, Failed before;
//  - a protocol fault (bad packet, key, version, refused password, unexpected message) or
//    the connect time-out running out before the shell starts: Failed with error().
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ssh1/packet.h"

namespace morvane::ssh1 {

// Workaround names, the same as the SSH compatibility layer's SSH-1 list, and their modes.
inline constexpr const char* kBugIgnore1 = "ignore1";    // server chokes on SSH_MSG_IGNORE
inline constexpr const char* kBugPlainPw1 = "plainpw1";  // server refuses padded passwords
inline constexpr const char* kBugModeAuto = "auto";
inline constexpr const char* kBugModeOff = "off";
inline constexpr const char* kBugModeOn = "on";
const std::vector<std::string>& known_bugs();
// Modes for a set of forced-on names (what the start routine hands over): each listed
// known name "on", every other known workaround "auto". Unknown names are left out.
std::map<std::string, std::string> bug_modes_from_forced(const std::set<std::string>& forced);

struct ClientConfig {
  std::string username;
  std::string password;
  std::string term_type = "xterm";
  int rows = 24;
  int cols = 80;
  // Preference order; the first one the server offers is used.
  std::vector<int> ciphers{kCipher3Des, kCipherBlowfish};
  // Workaround name to mode ("auto", "off", "on"); missing names are "auto".
  std::map<std::string, std::string> bugs;
  int64_t timeout_ms = 15000;  // from construction until the shell runs
  std::string version = "SSH-1.5-Morvane_0.1";
  RandomFn random;  // null: OpenSSL's generator
};

enum class State { Version, KeyExchange, Authenticating, Starting, Open, Closed, Failed };

struct Event {
  enum class Kind { Connected, Stdout, Stderr, ExitStatus, PtyRefused, Closed, Failed };
  Kind kind;
  std::string data;  // stdout/stderr bytes, the reason of Closed, the error of Failed
  uint32_t code = 0;  // ExitStatus
};

class Client {
 public:
  Client(ClientConfig cfg, int64_t now);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void receive(std::string_view bytes, int64_t now);
  void eof(int64_t now);  // the peer closed the stream
  void tick(int64_t now);
  std::string take_output();
  std::vector<Event> take_events();

  // Terminal input; false (nothing queued) unless the shell runs.
  bool send(std::string_view bytes);
  // Remembers the size; tells the server once the shell runs with a granted terminal.
  void resize(int rows, int cols);
  // Orderly close; callable any number of times, in any state.
  void close(std::string_view reason = "closed by user");

  State state() const { return state_; }
  bool finished() const { return state_ == State::Closed || state_ == State::Failed; }
  const std::string& error() const { return error_; }
  const std::string& server_version() const { return server_version_; }
  int cipher() const { return cipher_; }
  bool bug_ignore1() const { return ignore1_; }
  bool bug_plainpw1() const { return plainpw1_; }
  const std::string& session_id() const { return session_id_; }
  // The server's host key: "<bits> <md5 hex pairs>" over modulus then exponent bytes.
  const std::string& host_key_fingerprint() const { return host_fp_; }
  int64_t deadline() const { return deadline_; }

 private:
  void handle_version(int64_t now);
  void handle_packet(const Packet& p);
  void on_public_key(const Packet& p);
  void send_password();
  void start_pty();
  void send_packet(uint8_t type, std::string_view data);
  void fail(const std::string& why, bool tell_server);
  void finish(const std::string& reason);
  bool bug_on(const char* name, bool auto_value) const;

  ClientConfig cfg_;
  RandomFn random_;
  State state_ = State::Version;
  int64_t deadline_;
  std::string line_;  // version exchange: the line being read
  size_t pre_version_bytes_ = 0;
  PacketReader reader_;
  PacketWriter writer_;
  std::string out_;
  std::vector<Event> events_;
  std::string error_;
  std::string server_version_;
  std::string software_;
  std::string session_id_;
  std::string host_fp_;
  int cipher_ = kCipherNone;
  bool ignore1_ = false;
  bool plainpw1_ = false;
  bool pty_ = false;
  bool password_sent_ = false;
  uint8_t awaiting_ = 0;  // what the next SUCCESS/FAILURE answers
};

}  // namespace morvane::ssh1
