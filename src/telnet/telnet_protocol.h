#pragma once
// The client side of Telnet (RFC 854/855) as a byte-in/byte-out machine: no socket, no
// thread, no clock of its own. The connection that drives it feeds what the server sent
// into receive(), writes take_output() to the socket, shows take_data() in the terminal
// and looks at take_events(); user input goes through send(), window changes through
// resize(), and tick(now) lets time-outs fire. Not thread-safe: the owner serialises calls.
//
// Options: negotiation follows the Q method of RFC 1143, so no sequence of server
// commands can make it loop. Supported here: BINARY, ECHO, SGA, TERMINAL-TYPE (RFC 1091),
// NAWS (RFC 1073), TERMINAL-SPEED (RFC 1079), NEW-ENVIRON (RFC 1572) and, for telnet
// serial sessions, COM-PORT-OPTION (RFC 2217). Everything else is refused.
//
// Memory: a subnegotiation is kept up to kMaxSubnegotiation bytes; the rest of a longer
// one is skipped until its IAC SE, so a hostile server cannot grow the buffer.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "telnet/session_options.h"

namespace morvane::telnet {

namespace cmd {
inline constexpr std::uint8_t SE = 240, NOP = 241, DM = 242, BRK = 243, IP = 244, AO = 245,
                              AYT = 246, EC = 247, EL = 248, GA = 249, SB = 250, WILL = 251,
                              WONT = 252, DO = 253, DONT = 254, IAC = 255;
}
namespace opt {
inline constexpr std::uint8_t kBinary = 0, kEcho = 1, kSga = 3, kTtype = 24, kNaws = 31, kTspeed = 32,
                              kNewEnviron = 39, kComPort = 44;
}
// RFC 2217 commands (client to server; the server answers with the same code + 100).
namespace com {
inline constexpr std::uint8_t SIGNATURE = 0, SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3,
                              SET_STOPSIZE = 4, SET_CONTROL = 5, NOTIFY_LINESTATE = 6,
                              NOTIFY_MODEMSTATE = 7, FLOWCONTROL_SUSPEND = 8,
                              FLOWCONTROL_RESUME = 9, SET_LINESTATE_MASK = 10,
                              SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12, SERVER = 100;
}

struct TelnetEvent {
  enum class Kind {
    ComPortAccepted,     // the server agreed to COM-PORT-OPTION; settings were sent
    ComPortRefused,      // the server will not do RFC 2217: the line settings are not applied
    ComPortAnswer,       // the server's answer to a setting: code (1..12) and value
    ComPortMismatch,     // the answer differs from what was asked: code, value, asked
    ComPortUnanswered,   // no answer (or no agreement) within the time-out
    LineState,           // NOTIFY-LINESTATE: value is the line-state mask
    ModemState,          // NOTIFY-MODEMSTATE: value is the modem-state mask
    FlowSuspend,         // the server asks us to stop sending data for now
    FlowResume,
    ServerSignature,     // text
    SubnegotiationTooLong,  // option: a subnegotiation past the bound was dropped
  };
  TelnetEvent(Kind k) : kind(k) {}  // NOLINT: events are built from their kind
  Kind kind;
  std::uint8_t code = 0;
  std::uint32_t value = 0;
  std::uint32_t asked = 0;
  std::string text;
};

class TelnetProtocol {
 public:
  static constexpr std::size_t kMaxSubnegotiation = 4096;

  explicit TelnetProtocol(TelnetOptions options);

  // The TCP connection is up: queue our opening offers (nothing when passive).
  void start(std::uint64_t now_ms);
  // Bytes from the server.
  void receive(std::string_view bytes, std::uint64_t now_ms = 0);
  // Terminal data from the user: IAC doubled; outside BINARY a CR not followed by LF in
  // the same call goes out as CR NUL (RFC 854).
  void send(std::string_view data);
  // New window size; reported at once when NAWS is on, and kept for when it comes on.
  void resize(int rows, int cols);
  // Fires the RFC 2217 answer time-out.
  void tick(std::uint64_t now_ms);
  // A Telnet command such as IAC BRK or IAC AYT.
  void send_command(std::uint8_t command);

  std::string take_data();
  std::string take_output();
  std::vector<TelnetEvent> take_events();
  bool has_output() const { return !out_.empty(); }

  bool local_enabled(std::uint8_t option) const { return us_[option] == Q::Yes; }
  bool remote_enabled(std::uint8_t option) const { return him_[option] == Q::Yes; }
  // RFC 2217 settings sent and not yet answered.
  std::size_t com_pending() const;
  const TelnetOptions& options() const { return options_; }

  // RFC 2217 encodings of the session's letters (exposed for tests and notices).
  static std::uint8_t parity_code(const std::string& letter);
  static std::uint8_t stop_code(const std::string& text);
  static std::vector<std::uint8_t> flow_codes(const std::string& letter);

 private:
  enum class Q : std::uint8_t { No, Yes, WantNo, WantYes };
  enum class State : std::uint8_t { Data, Iac, Will, Wont, Do, Dont, Sb, SbData, SbIac };

  bool accept_local(std::uint8_t option) const;
  bool accept_remote(std::uint8_t option) const;
  void ask_local(std::uint8_t option);   // we offer WILL
  void ask_remote(std::uint8_t option);  // we ask DO
  void got_will(std::uint8_t option);
  void got_wont(std::uint8_t option);
  void got_do(std::uint8_t option);
  void got_dont(std::uint8_t option);
  void local_on(std::uint8_t option);
  void put_command(std::uint8_t verb, std::uint8_t option);
  void put_sb(std::uint8_t option, std::string_view body);
  void handle_sb();
  void handle_environ(std::string_view body);
  void handle_com(std::string_view body);
  void send_naws();
  void send_com_settings();
  void com_sent(std::uint8_t code, std::uint32_t value);

  TelnetOptions options_;
  std::array<Q, 256> us_{}, him_{};
  std::array<bool, 256> usq_{}, himq_{};  // the RFC 1143 "opposite" queue bit
  State state_ = State::Data;
  bool cr_ = false;  // last data byte was CR (NUL after it is dropped outside BINARY)
  std::string sb_;
  bool sb_overflow_ = false;
  std::string data_, out_;
  std::vector<TelnetEvent> events_;
  int rows_, cols_;
  std::uint64_t now_ = 0;
  // RFC 2217: the settings awaiting an answer (code -> value asked), and the deadline.
  struct Pending {
    std::uint8_t code;
    std::uint32_t value;
  };
  std::vector<Pending> pending_;
  std::uint64_t com_deadline_ = 0;
  bool com_deadline_armed_ = false;
  bool com_answered_ = false;  // the server replied DO/DONT to our WILL COM-PORT-OPTION
};

}  // namespace morvane::telnet
