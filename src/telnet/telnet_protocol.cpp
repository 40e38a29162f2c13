// Telnet client machine: the receive parser, RFC 1143 option negotiation, and the
// subnegotiations of the options we do (terminal type and speed, window size,
// environment, RFC 2217 serial port control).
#include "telnet/telnet_protocol.h"

#include <algorithm>
#include <cstring>

#include "util/text.h"

namespace morvane::telnet {
namespace {

constexpr std::uint8_t kIs = 0, kSend = 1;
constexpr std::uint8_t kEnvEsc = 2, kEnvUservar = 3;
constexpr const char* kSignature = "Morvane";

bool well_known_var(const std::string& name) {
  static const char* const names[] = {"USER", "JOB", "ACCT", "PRINTER", "SYSTEMTYPE", "DISPLAY"};
  for (const char* n : names)
    if (name == n) return true;
  return false;
}

void put_be(std::string& s, std::uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

TelnetProtocol::TelnetProtocol(TelnetOptions options)
    : options_(std::move(options)), rows_(options_.term_height), cols_(options_.term_width) {}

std::uint8_t TelnetProtocol::parity_code(const std::string& letter) {
  std::string l = text::upper_ascii(letter);
  if (l == "O") return 2;
  if (l == "E") return 3;
  if (l == "M") return 4;
  if (l == "S") return 5;
  return 1;  // "N" and anything unknown: no parity, as a local serial port would open
}

std::uint8_t TelnetProtocol::stop_code(const std::string& t) {
  std::string s = text::trim(t);
  if (s == "2") return 2;
  if (s == "1.5") return 3;
  return 1;
}

std::vector<std::uint8_t> TelnetProtocol::flow_codes(const std::string& letter) {
  std::string l = text::upper_ascii(text::trim(letter));
  if (l == "X") return {2};       // XON/XOFF
  if (l == "R") return {3};       // RTS/CTS hardware handshake
  if (l == "D") return {19, 18};  // DSR outbound, DTR inbound
  return {1};                     // none
}

void TelnetProtocol::start(std::uint64_t now_ms) {
  now_ = now_ms;
  if (options_.com_port_control) {
    com_deadline_ = now_ms + static_cast<std::uint64_t>(options_.timeout) * 1000;
    com_deadline_armed_ = true;
  }
  if (options_.passive) return;
  if (options_.com_port_control) {
    // A serial line carries any byte: ask for BINARY both ways.
    ask_local(opt::kComPort);
    ask_local(opt::kBinary);
    ask_remote(opt::kBinary);
  }
  ask_local(opt::kNaws);
  ask_local(opt::kTspeed);
  ask_local(opt::kTtype);
  ask_local(opt::kNewEnviron);
  ask_remote(opt::kEcho);
  ask_local(opt::kSga);
  ask_remote(opt::kSga);
}

bool TelnetProtocol::accept_local(std::uint8_t o) const {
  switch (o) {
    case opt::kBinary:
    case opt::kSga:
    case opt::kTtype:
    case opt::kNaws:
    case opt::kTspeed:
    case opt::kNewEnviron:
      return true;
    case opt::kComPort:
      return options_.com_port_control;
    default:
      return false;  // ECHO included: the terminal never echoes for the server
  }
}

bool TelnetProtocol::accept_remote(std::uint8_t o) const {
  return o == opt::kBinary || o == opt::kEcho || o == opt::kSga;
}

void TelnetProtocol::put_command(std::uint8_t verb, std::uint8_t option) {
  out_ += static_cast<char>(cmd::IAC);
  out_ += static_cast<char>(verb);
  out_ += static_cast<char>(option);
}

void TelnetProtocol::put_sb(std::uint8_t option, std::string_view body) {
  out_ += static_cast<char>(cmd::IAC);
  out_ += static_cast<char>(cmd::SB);
  out_ += static_cast<char>(option);
  for (char c : body) {
    out_ += c;
    if (static_cast<std::uint8_t>(c) == cmd::IAC) out_ += c;
  }
  out_ += static_cast<char>(cmd::IAC);
  out_ += static_cast<char>(cmd::SE);
}

// RFC 1143: asking for an option we want on.
void TelnetProtocol::ask_local(std::uint8_t o) {
  switch (us_[o]) {
    case Q::No:
      us_[o] = Q::WantYes;
      put_command(cmd::WILL, o);
      break;
    case Q::WantNo:
      usq_[o] = true;
      break;
    case Q::WantYes:
      usq_[o] = false;
      break;
    case Q::Yes:
      break;
  }
}

void TelnetProtocol::ask_remote(std::uint8_t o) {
  switch (him_[o]) {
    case Q::No:
      him_[o] = Q::WantYes;
      put_command(cmd::DO, o);
      break;
    case Q::WantNo:
      himq_[o] = true;
      break;
    case Q::WantYes:
      himq_[o] = false;
      break;
    case Q::Yes:
      break;
  }
}

void TelnetProtocol::got_will(std::uint8_t o) {
  switch (him_[o]) {
    case Q::No:
      if (accept_remote(o)) {
        him_[o] = Q::Yes;
        put_command(cmd::DO, o);
      } else {
        put_command(cmd::DONT, o);
      }
      break;
    case Q::Yes:
      break;
    case Q::WantNo:
      // DONT answered by WILL: the server keeps it on, or our queued re-enable holds.
      him_[o] = himq_[o] ? Q::Yes : Q::No;
      himq_[o] = false;
      break;
    case Q::WantYes:
      if (!himq_[o]) {
        him_[o] = Q::Yes;
      } else {
        him_[o] = Q::WantNo;
        himq_[o] = false;
        put_command(cmd::DONT, o);
      }
      break;
  }
}

void TelnetProtocol::got_wont(std::uint8_t o) {
  switch (him_[o]) {
    case Q::No:
      break;
    case Q::Yes:
      him_[o] = Q::No;
      put_command(cmd::DONT, o);
      break;
    case Q::WantNo:
      if (!himq_[o]) {
        him_[o] = Q::No;
      } else {
        him_[o] = Q::WantYes;
        himq_[o] = false;
        put_command(cmd::DO, o);
      }
      break;
    case Q::WantYes:
      him_[o] = Q::No;
      himq_[o] = false;
      break;
  }
}

void TelnetProtocol::got_do(std::uint8_t o) {
  switch (us_[o]) {
    case Q::No:
      if (accept_local(o)) {
        us_[o] = Q::Yes;
        put_command(cmd::WILL, o);
        local_on(o);
      } else {
        put_command(cmd::WONT, o);
      }
      break;
    case Q::Yes:
      break;
    case Q::WantNo:
      if (usq_[o]) {
        us_[o] = Q::Yes;
        usq_[o] = false;
        local_on(o);
      } else {
        us_[o] = Q::No;
      }
      break;
    case Q::WantYes:
      if (!usq_[o]) {
        us_[o] = Q::Yes;
        local_on(o);
      } else {
        us_[o] = Q::WantNo;
        usq_[o] = false;
        put_command(cmd::WONT, o);
      }
      break;
  }
}

void TelnetProtocol::got_dont(std::uint8_t o) {
  const Q before = us_[o];
  switch (us_[o]) {
    case Q::No:
      break;
    case Q::Yes:
      us_[o] = Q::No;
      put_command(cmd::WONT, o);
      break;
    case Q::WantNo:
      if (!usq_[o]) {
        us_[o] = Q::No;
      } else {
        us_[o] = Q::WantYes;
        usq_[o] = false;
        put_command(cmd::WILL, o);
      }
      break;
    case Q::WantYes:
      us_[o] = Q::No;
      usq_[o] = false;
      break;
  }
  if (o == opt::kComPort && options_.com_port_control && before != Q::No && us_[o] == Q::No) {
    com_answered_ = true;
    com_deadline_armed_ = false;
    pending_.clear();
    events_.push_back({TelnetEvent::Kind::ComPortRefused});
  }
}

void TelnetProtocol::local_on(std::uint8_t o) {
  if (o == opt::kNaws) send_naws();
  if (o == opt::kComPort && options_.com_port_control) {
    com_answered_ = true;
    send_com_settings();
    events_.push_back({TelnetEvent::Kind::ComPortAccepted});
  }
}

void TelnetProtocol::send_naws() {
  if (us_[opt::kNaws] != Q::Yes) return;
  std::string body;
  put_be(body, static_cast<std::uint32_t>(std::clamp(cols_, 0, 65535)), 2);
  put_be(body, static_cast<std::uint32_t>(std::clamp(rows_, 0, 65535)), 2);
  put_sb(opt::kNaws, body);
}

void TelnetProtocol::resize(int rows, int cols) {
  rows_ = rows;
  cols_ = cols;
  send_naws();
}

void TelnetProtocol::com_sent(std::uint8_t code, std::uint32_t value) {
  pending_.push_back({code, value});
}

void TelnetProtocol::send_com_settings() {
  const auto& o = options_;
  std::uint32_t baud = o.com_baud > 0 && o.com_baud <= 0xFFFFFFFFLL ? static_cast<std::uint32_t>(o.com_baud) : 9600;
  std::uint8_t bits = o.com_bits >= 5 && o.com_bits <= 8 ? static_cast<std::uint8_t>(o.com_bits) : 8;
  std::string b{static_cast<char>(com::SET_BAUDRATE)};
  put_be(b, baud, 4);
  put_sb(opt::kComPort, b);
  com_sent(com::SET_BAUDRATE, baud);
  auto one = [&](std::uint8_t code, std::uint8_t value) {
    const char body[2] = {static_cast<char>(code), static_cast<char>(value)};
    put_sb(opt::kComPort, std::string_view(body, 2));
    com_sent(code, value);
  };
  one(com::SET_DATASIZE, bits);
  one(com::SET_PARITY, parity_code(o.com_parity));
  one(com::SET_STOPSIZE, stop_code(o.com_stop));
  for (std::uint8_t f : flow_codes(o.com_flow)) one(com::SET_CONTROL, f);
  com_deadline_ = now_ + static_cast<std::uint64_t>(o.timeout) * 1000;
  com_deadline_armed_ = true;
}

std::size_t TelnetProtocol::com_pending() const { return pending_.size(); }

void TelnetProtocol::tick(std::uint64_t now_ms) {
  now_ = now_ms;
  if (!com_deadline_armed_ || now_ms < com_deadline_) return;
  com_deadline_armed_ = false;
  if (!com_answered_ || !pending_.empty()) {
    TelnetEvent e{TelnetEvent::Kind::ComPortUnanswered};
    e.value = static_cast<std::uint32_t>(pending_.size());
    events_.push_back(e);
  }
}

void TelnetProtocol::send_command(std::uint8_t command) {
  out_ += static_cast<char>(cmd::IAC);
  out_ += static_cast<char>(command);
}

void TelnetProtocol::send(std::string_view data) {
  const bool binary = us_[opt::kBinary] == Q::Yes;
  out_.reserve(out_.size() + data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    const char c = data[i];
    out_ += c;
    if (static_cast<std::uint8_t>(c) == cmd::IAC) {
      out_ += c;
    } else if (c == '\r' && !binary) {
      // CR LF stays a newline; any other CR is a bare carriage return, CR NUL.
      if (i + 1 < data.size() && data[i + 1] == '\n') {
        out_ += '\n';
        ++i;
      } else {
        out_ += '\0';
      }
    }
  }
}

void TelnetProtocol::receive(std::string_view in, std::uint64_t now_ms) {
  if (now_ms) now_ = now_ms;
  const auto* p = reinterpret_cast<const std::uint8_t*>(in.data());
  const std::size_t n = in.size();
  std::size_t i = 0;
  while (i < n) {
    if (state_ == State::Data) {
      // Copy the run up to the next IAC at once.
      const void* hit = std::memchr(p + i, cmd::IAC, n - i);
      const std::size_t end = hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p) : n;
      if (him_[opt::kBinary] == Q::Yes) {
        data_.append(in.data() + i, end - i);
        if (end > i) cr_ = false;
      } else {
        // Outside BINARY only a NUL right after CR is dropped: runs up to each NUL go in one piece.
        std::size_t k = i;
        while (k < end) {
          const void* nul = std::memchr(p + k, '\0', end - k);
          const std::size_t stop = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : end;
          if (stop > k) {
            data_.append(in.data() + k, stop - k);
            cr_ = p[stop - 1] == '\r';
          }
          if (stop == end) break;
          if (!cr_) data_ += '\0';
          cr_ = false;
          k = stop + 1;
        }
      }
      i = end;
      if (i < n) {
        state_ = State::Iac;
        ++i;
      }
      continue;
    }
    const std::uint8_t c = p[i++];
    switch (state_) {
      case State::Data:
        break;
      case State::Iac:
        state_ = State::Data;
        switch (c) {
          case cmd::IAC:
            data_ += static_cast<char>(0xFF);
            cr_ = false;
            break;
          case cmd::WILL: state_ = State::Will; break;
          case cmd::WONT: state_ = State::Wont; break;
          case cmd::DO: state_ = State::Do; break;
          case cmd::DONT: state_ = State::Dont; break;
          case cmd::SB: state_ = State::Sb; break;
          default: break;  // NOP, GA, DM, AYT, a stray SE...: nothing to do for a client
        }
        break;
      case State::Will: got_will(c); state_ = State::Data; break;
      case State::Wont: got_wont(c); state_ = State::Data; break;
      case State::Do: got_do(c); state_ = State::Data; break;
      case State::Dont: got_dont(c); state_ = State::Data; break;
      case State::Sb:
        sb_.assign(1, static_cast<char>(c));
        sb_overflow_ = false;
        state_ = State::SbData;
        break;
      case State::SbData:
        if (c == cmd::IAC) {
          state_ = State::SbIac;
        } else if (sb_.size() < kMaxSubnegotiation) {
          sb_ += static_cast<char>(c);
        } else {
          sb_overflow_ = true;
        }
        break;
      case State::SbIac:
        if (c == cmd::IAC) {
          if (sb_.size() < kMaxSubnegotiation) sb_ += static_cast<char>(c);
          else sb_overflow_ = true;
          state_ = State::SbData;
        } else {
          handle_sb();
          state_ = State::Data;
          if (c != cmd::SE) {
            // IAC and a command inside a subnegotiation: the server forgot IAC SE.
            // Take the subnegotiation as ended and the command as a command.
            --i;
            state_ = State::Iac;
          }
        }
        break;
    }
  }
}

void TelnetProtocol::handle_sb() {
  std::string sb;
  sb.swap(sb_);
  if (sb.empty()) return;
  const auto option = static_cast<std::uint8_t>(sb[0]);
  if (sb_overflow_) {
    sb_overflow_ = false;
    TelnetEvent e{TelnetEvent::Kind::SubnegotiationTooLong};
    e.code = option;
    events_.push_back(e);
    return;
  }
  std::string_view body = std::string_view(sb).substr(1);
  const bool send_req = !body.empty() && static_cast<std::uint8_t>(body[0]) == kSend;
  switch (option) {
    case opt::kTtype:
      if (send_req && us_[option] == Q::Yes) put_sb(option, std::string(1, '\0') + options_.term_type);
      break;
    case opt::kTspeed:
      if (send_req && us_[option] == Q::Yes) put_sb(option, std::string(1, '\0') + options_.term_speed);
      break;
    case opt::kNewEnviron:
      if (send_req && us_[option] == Q::Yes) handle_environ(body.substr(1));
      break;
    case opt::kComPort:
      if (options_.com_port_control && !body.empty()) handle_com(body);
      break;
    default:
      break;
  }
}

// RFC 1572 SEND: an empty list asks for everything; a bare VAR or USERVAR asks for every
// variable of that type; a named one that we do not have is answered without a VALUE.
void TelnetProtocol::handle_environ(std::string_view list) {
  const std::uint8_t var = options_.rfc_environ ? 0 : 1;
  const std::uint8_t value = options_.rfc_environ ? 1 : 0;
  struct Var {
    std::uint8_t type;
    std::string name, value;
  };
  std::vector<Var> vars;
  bool has_user = false;
  for (const auto& [n, v] : options_.environment) {
    vars.push_back({well_known_var(n) ? var : kEnvUservar, n, v});
    has_user = has_user || n == "USER";
  }
  if (!has_user && !options_.username.empty()) vars.insert(vars.begin(), {var, "USER", options_.username});

  struct Request {
    std::uint8_t type;
    std::string name;
  };
  std::vector<Request> requests;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const auto c = static_cast<std::uint8_t>(list[i]);
    if (c == var || c == kEnvUservar) {
      requests.push_back({c, {}});
    } else if (!requests.empty()) {
      if (c == kEnvEsc && i + 1 < list.size()) ++i;
      requests.back().name += list[i];
    }
  }

  auto put_escaped = [](std::string& s, const std::string& t) {
    for (char ch : t) {
      if (static_cast<std::uint8_t>(ch) <= kEnvUservar) s += static_cast<char>(kEnvEsc);
      s += ch;
    }
  };
  std::string body(1, static_cast<char>(kIs));
  auto put_var = [&](std::uint8_t type, const std::string& name, const std::string* v) {
    body += static_cast<char>(type);
    put_escaped(body, name);
    if (v) {
      body += static_cast<char>(value);
      put_escaped(body, *v);
    }
  };
  if (requests.empty()) {
    for (const auto& v : vars) put_var(v.type, v.name, &v.value);
  } else {
    for (const auto& r : requests) {
      if (r.name.empty()) {
        for (const auto& v : vars)
          if (v.type == r.type) put_var(v.type, v.name, &v.value);
        continue;
      }
      const Var* found = nullptr;
      for (const auto& v : vars)
        if (v.name == r.name) found = &v;
      put_var(r.type, r.name, found ? &found->value : nullptr);
    }
  }
  put_sb(opt::kNewEnviron, body);
}

void TelnetProtocol::handle_com(std::string_view body) {
  const auto code = static_cast<std::uint8_t>(body[0]);
  if (code < com::SERVER) return;  // client commands from a server make no sense
  const std::uint8_t c = code - com::SERVER;
  const std::string_view arg = body.substr(1);
  TelnetEvent e{TelnetEvent::Kind::ComPortAnswer};
  e.code = c;
  switch (c) {
    case com::SIGNATURE:
      if (arg.empty()) {
        put_sb(opt::kComPort, std::string(1, static_cast<char>(com::SIGNATURE)) + kSignature);
      } else {
        e.kind = TelnetEvent::Kind::ServerSignature;
        e.text.assign(arg);
        events_.push_back(e);
      }
      return;
    case com::NOTIFY_LINESTATE:
    case com::NOTIFY_MODEMSTATE:
      if (arg.empty()) return;
      e.kind = c == com::NOTIFY_LINESTATE ? TelnetEvent::Kind::LineState : TelnetEvent::Kind::ModemState;
      e.value = static_cast<std::uint8_t>(arg[0]);
      events_.push_back(e);
      return;
    case com::FLOWCONTROL_SUSPEND:
      events_.push_back({TelnetEvent::Kind::FlowSuspend});
      return;
    case com::FLOWCONTROL_RESUME:
      events_.push_back({TelnetEvent::Kind::FlowResume});
      return;
    default:
      break;
  }
  if (c == com::SET_BAUDRATE) {
    if (arg.size() < 4) return;
    for (int k = 0; k < 4; ++k) e.value = (e.value << 8) | static_cast<std::uint8_t>(arg[k]);
  } else if (!arg.empty()) {
    e.value = static_cast<std::uint8_t>(arg[0]);
  }
  auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.code == c; });
  if (it != pending_.end()) {
    if (it->value != e.value) {
      TelnetEvent m = e;
      m.kind = TelnetEvent::Kind::ComPortMismatch;
      m.asked = it->value;
      events_.push_back(m);
    }
    pending_.erase(it);
    if (pending_.empty()) com_deadline_armed_ = false;
  }
  events_.push_back(e);
}

std::string TelnetProtocol::take_data() {
  std::string s;
  s.swap(data_);
  return s;
}

std::string TelnetProtocol::take_output() {
  std::string s;
  s.swap(out_);
  return s;
}

std::vector<TelnetEvent> TelnetProtocol::take_events() {
  std::vector<TelnetEvent> v;
  v.swap(events_);
  return v;
}

}  // namespace morvane::telnet
