// SSH-1 client state machine: version exchange, the server's key packet, the doubly
// RSA-encrypted session key, password authentication with length camouflage, terminal and
// shell, then data until the exit status. RSA uses libcrypto's low-level calls, which keep
// PKCS#1 v1.5 encryption for keys of any size the old servers use.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "ssh1/client.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/md5.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <memory>

namespace morvane::ssh1 {
namespace {

constexpr size_t kMaxVersionLine = 255;
constexpr size_t kMaxPreVersionBytes = 16 * 1024;
constexpr uint32_t kAuthPassword = 3;  // bit in the supported-authentications mask
constexpr size_t kMaxDataChunk = 16 * 1024;

// Awaited answers.
enum : uint8_t { kAwaitNone, kAwaitKey, kAwaitUser, kAwaitPassword, kAwaitPty };

std::string rsa_encrypt(std::string_view in, std::string_view e, std::string_view n) {
  std::unique_ptr<RSA, decltype(&RSA_free)> rsa(RSA_new(), RSA_free);
  BIGNUM* bn_n = BN_bin2bn(reinterpret_cast<const unsigned char*>(n.data()), static_cast<int>(n.size()), nullptr);
  BIGNUM* bn_e = BN_bin2bn(reinterpret_cast<const unsigned char*>(e.data()), static_cast<int>(e.size()), nullptr);
  if (!rsa || !bn_n || !bn_e || RSA_set0_key(rsa.get(), bn_n, bn_e, nullptr) != 1) {
    BN_free(bn_n);
    BN_free(bn_e);
    throw ProtocolError("cannot load the server's RSA key");
  }
  // The integer's bytes without leading zeros, as the protocol's implementations pass it.
  while (!in.empty() && in.front() == '\0') in.remove_prefix(1);
  std::string out(static_cast<size_t>(RSA_size(rsa.get())), '\0');
  int len = RSA_public_encrypt(static_cast<int>(in.size()), reinterpret_cast<const unsigned char*>(in.data()),
                               reinterpret_cast<unsigned char*>(out.data()), rsa.get(), RSA_PKCS1_PADDING);
  if (len <= 0) throw ProtocolError("RSA encryption of the session key failed");
  out.resize(static_cast<size_t>(len));
  return out;
}

bool mag_less(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // same length: big-endian bytes compare as numbers
}

size_t bit_count(std::string_view mag) {
  if (mag.empty()) return 0;
  size_t bits = mag.size() * 8;
  for (uint8_t top = static_cast<uint8_t>(mag.front()); !(top & 0x80); top <<= 1) --bits;
  return bits;
}

std::string hex_pairs(const unsigned char* d, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? ":%02x" : "%02x", d[i]);
    s += b;
  }
  return s;
}

std::string printable(std::string_view s) {
  std::string r;
  for (char c : s.substr(0, 200)) r += (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) ? c : '?';
  return r;
}

}  // namespace

const std::vector<std::string>& known_bugs() {
  static const std::vector<std::string> names{kBugIgnore1, kBugPlainPw1};
  return names;
}

std::map<std::string, std::string> bug_modes_from_forced(const std::set<std::string>& forced) {
  std::map<std::string, std::string> modes;
  for (const auto& n : known_bugs()) modes[n] = forced.count(n) ? kBugModeOn : kBugModeAuto;
  return modes;
}

Client::Client(ClientConfig cfg, int64_t now)
    : cfg_(std::move(cfg)),
      random_(cfg_.random ? cfg_.random : default_random()),
      deadline_(now + cfg_.timeout_ms),
      writer_(random_) {}

Client::~Client() { OPENSSL_cleanse(cfg_.password.data(), cfg_.password.size()); }

std::string Client::take_output() { return std::exchange(out_, {}); }
std::vector<Event> Client::take_events() { return std::exchange(events_, {}); }

void Client::send_packet(uint8_t type, std::string_view data) { out_ += writer_.build(type, data); }

void Client::fail(const std::string& why, bool tell_server) {
  if (finished()) return;
  if (tell_server && state_ != State::Version) {
    std::string d;
    put_string(d, why);
    try {
      send_packet(SSH_MSG_DISCONNECT, d);
    } catch (const std::exception&) {
    }
  }
  state_ = State::Failed;
  error_ = why;
  events_.push_back({Event::Kind::Failed, why});
}

void Client::finish(const std::string& reason) {
  if (finished()) return;
  state_ = State::Closed;
  events_.push_back({Event::Kind::Closed, reason});
}

bool Client::bug_on(const char* name, bool auto_value) const {
  auto it = cfg_.bugs.find(name);
  if (it == cfg_.bugs.end() || it->second == kBugModeAuto) return auto_value;
  return it->second == kBugModeOn;
}

void Client::tick(int64_t now) {
  if (finished() || state_ == State::Open) return;
  if (now >= deadline_) {
    static const char* stage[] = {"the server's version", "the key exchange", "authentication", "the shell"};
    fail("timed out after " + std::to_string(cfg_.timeout_ms / 1000) + " s waiting for " +
             stage[static_cast<int>(state_)],
         true);
  }
}

void Client::eof(int64_t now) {
  if (finished()) return;
  if (state_ == State::Open)
    finish("connection closed by the server");
  else
    fail("the server closed the connection during " +
             std::string(state_ == State::Version ? "the version exchange" : "connection set-up"),
         false);
}

void Client::receive(std::string_view bytes, int64_t now) {
  if (finished()) return;
  if (state_ == State::Version) {
    // Byte by byte until the version line ends, so nothing after it is lost.
    size_t i = 0;
    while (state_ == State::Version && i < bytes.size()) {
      char c = bytes[i++];
      if (c != '\n') {
        if (line_.size() >= kMaxVersionLine && line_.rfind("SSH-", 0) == 0) {
          fail("the server's version line is too long", false);
          return;
        }
        if (++pre_version_bytes_ > kMaxPreVersionBytes) {
          fail("no SSH version line from the server", false);
          return;
        }
        if (line_.size() < kMaxVersionLine) line_ += c;
        continue;
      }
      handle_version(now);
    }
    if (finished()) return;
    bytes.remove_prefix(i);
  }
  reader_.feed(bytes);
  try {
    while (!finished()) {
      auto p = reader_.next();
      if (!p) break;
      handle_packet(*p);
    }
  } catch (const ProtocolError& e) {
    fail(e.what(), true);
  }
  if (!finished()) tick(now);
}

void Client::handle_version(int64_t now) {
  std::string line = std::exchange(line_, {});
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.rfind("SSH-", 0) != 0) return;  // text before the version line is allowed
  auto dash = line.find('-', 4);
  std::string proto = line.substr(4, dash == std::string::npos ? std::string::npos : dash - 4);
  server_version_ = line;
  software_ = dash == std::string::npos ? "" : line.substr(dash + 1);
  if (auto sp = software_.find(' '); sp != std::string::npos) software_.resize(sp);
  int major = 0, minor = 0;
  if (std::sscanf(proto.c_str(), "%d.%d", &major, &minor) != 2) {
    fail("unreadable server version \"" + printable(line) + "\"", false);
    return;
  }
  if (major != 1 || minor < 5) {
    fail(major >= 2 ? "the server speaks only SSH-2 (\"" + printable(line) + "\")"
                    : "the server's protocol " + proto + " is older than SSH-1.5",
         false);
    return;
  }
  // Versions known to choke on SSH_MSG_IGNORE, and those that also refuse padded passwords.
  static const char* const kNoIgnore[] = {"1.2.18", "1.2.19", "1.2.20", "1.2.21", "1.2.22",
                                          "Cisco-1.25", "OSU_1.4alpha3", "OSU_1.5alpha4"};
  static const char* const kPlainPw[] = {"Cisco-1.25", "OSU_1.4alpha3"};
  bool no_ignore = std::find(std::begin(kNoIgnore), std::end(kNoIgnore), software_) != std::end(kNoIgnore);
  bool plain = std::find(std::begin(kPlainPw), std::end(kPlainPw), software_) != std::end(kPlainPw);
  ignore1_ = bug_on(kBugIgnore1, no_ignore);
  plainpw1_ = bug_on(kBugPlainPw1, plain);
  out_ += cfg_.version + "\n";
  state_ = State::KeyExchange;
  awaiting_ = kAwaitKey;
}

void Client::handle_packet(const Packet& p) {
  if (p.type == SSH_MSG_IGNORE || p.type == SSH_MSG_DEBUG) return;
  if (p.type == SSH_MSG_DISCONNECT) {
    std::string reason;
    try {
      FieldReader f(p.data);
      reason = printable(f.string());
    } catch (const ProtocolError&) {
      reason = "(no reason given)";
    }
    if (state_ == State::Open)
      finish("the server disconnected: " + reason);
    else
      fail("the server disconnected: " + reason, false);
    return;
  }
  FieldReader f(p.data);
  if (state_ == State::Open) {
    switch (p.type) {
      case SSH_SMSG_STDOUT_DATA:
        events_.push_back({Event::Kind::Stdout, std::string(f.string())});
        return;
      case SSH_SMSG_STDERR_DATA:
        events_.push_back({Event::Kind::Stderr, std::string(f.string())});
        return;
      case SSH_SMSG_EXITSTATUS: {
        uint32_t code = f.u32();
        send_packet(SSH_CMSG_EXIT_CONFIRMATION, {});
        events_.push_back({Event::Kind::ExitStatus, {}, code});
        finish("the remote shell exited with status " + std::to_string(code));
        return;
      }
      default:
        return;  // forwarding and agent messages are never asked for; nothing to answer
    }
  }
  switch (awaiting_) {
    case kAwaitKey:
      if (p.type != SSH_SMSG_PUBLIC_KEY) break;
      on_public_key(p);
      return;
    case kAwaitUser:
    case kAwaitPassword:
    case kAwaitPty:
      if (p.type != SSH_SMSG_SUCCESS && p.type != SSH_SMSG_FAILURE) break;
      if (awaiting_ == kAwaitUser && p.type == SSH_SMSG_SUCCESS) {
        // Encryption is up: the first SUCCESS answers the session key, so send the user.
        if (state_ == State::KeyExchange) {
          state_ = State::Authenticating;
          std::string d;
          put_string(d, cfg_.username);
          send_packet(SSH_CMSG_USER, d);
          return;
        }
        start_pty();  // no authentication needed
        return;
      }
      if (awaiting_ == kAwaitUser) {
        if (state_ == State::KeyExchange) {
          fail("the server refused the session key", false);
          return;
        }
        send_password();
        return;
      }
      if (awaiting_ == kAwaitPassword) {
        if (p.type == SSH_SMSG_FAILURE) {
          fail("the server refused the password for \"" + printable(cfg_.username) + "\"", true);
          return;
        }
        start_pty();
        return;
      }
      // Terminal answer: without one the shell still runs, only resizes go unsent.
      pty_ = p.type == SSH_SMSG_SUCCESS;
      if (!pty_) events_.push_back({Event::Kind::PtyRefused, "the server refused the terminal request"});
      send_packet(SSH_CMSG_EXEC_SHELL, {});
      state_ = State::Open;
      awaiting_ = kAwaitNone;
      events_.push_back({Event::Kind::Connected, {}});
      return;
    default:
      break;
  }
  if (p.type == SSH_SMSG_STDOUT_DATA || p.type == SSH_SMSG_STDERR_DATA) {
    // Some servers print a banner before the shell starts: keep it.
    events_.push_back({p.type == SSH_SMSG_STDOUT_DATA ? Event::Kind::Stdout : Event::Kind::Stderr,
                       std::string(f.string())});
    return;
  }
  fail("unexpected message " + std::to_string(p.type) + " from the server", true);
}

void Client::on_public_key(const Packet& p) {
  FieldReader f(p.data);
  std::string cookie(f.bytes(8));
  f.u32();
  std::string se(f.mpint()), sn(f.mpint());
  f.u32();
  std::string he(f.mpint()), hn(f.mpint());
  f.u32();  // protocol flags: none of them is used
  uint32_t ciphers = f.u32();
  uint32_t auths = f.u32();
  if (se.empty() || sn.empty() || he.empty() || hn.empty()) throw ProtocolError("the server sent an empty RSA key");

  // Session id: MD5 over the host modulus, the server modulus and the cookie.
  std::string sid_in = hn + sn + cookie;
  unsigned char sid[16];
  MD5(reinterpret_cast<const unsigned char*>(sid_in.data()), sid_in.size(), sid);
  session_id_.assign(reinterpret_cast<const char*>(sid), 16);
  {
    std::string fp_in = hn + he;
    unsigned char fp[16];
    MD5(reinterpret_cast<const unsigned char*>(fp_in.data()), fp_in.size(), fp);
    host_fp_ = std::to_string(bit_count(hn)) + " " + hex_pairs(fp, 16);
  }

  cipher_ = kCipherNone;
  for (int c : cfg_.ciphers)
    if (c > 0 && c < 32 && (ciphers >> c) & 1 && !cipher_name(c).empty()) {
      cipher_ = c;
      break;
    }
  if (cipher_ == kCipherNone) {
    std::string mine;
    for (int c : cfg_.ciphers) mine += (mine.empty() ? "" : ", ") + cipher_name(c);
    fail("the server offers none of the ciphers " + mine, true);
    return;
  }
  if (!((auths >> kAuthPassword) & 1)) {
    fail("the server does not offer password authentication", true);
    return;
  }

  // The smaller key encrypts first; the larger must leave room for PKCS#1 padding around it.
  bool server_first = mag_less(sn, hn);
  const std::string& n1 = server_first ? sn : hn;
  const std::string& e1 = server_first ? se : he;
  const std::string& n2 = server_first ? hn : sn;
  const std::string& e2 = server_first ? he : se;
  if (n1.size() < 32 + 11 || n2.size() < n1.size() + 11) {
    fail("the server's RSA keys are unusable (" + std::to_string(bit_count(sn)) + "-bit server key, " +
             std::to_string(bit_count(hn)) + "-bit host key): the larger must exceed the smaller by 88 bits",
         true);
    return;
  }

  std::string key(32, '\0');
  random_(reinterpret_cast<uint8_t*>(key.data()), key.size());
  std::string mixed = key;
  for (int i = 0; i < 16; ++i) mixed[i] = static_cast<char>(mixed[i] ^ session_id_[i]);
  std::string enc = rsa_encrypt(rsa_encrypt(mixed, e1, n1), e2, n2);
  OPENSSL_cleanse(mixed.data(), mixed.size());

  std::string d;
  d.push_back(static_cast<char>(cipher_));
  d += cookie;
  put_mpint(d, enc);
  put_u32(d, 0);
  send_packet(SSH_CMSG_SESSION_KEY, d);
  writer_.set_cipher(make_cipher(cipher_, key));
  reader_.set_cipher(make_cipher(cipher_, key));
  OPENSSL_cleanse(key.data(), key.size());
  awaiting_ = kAwaitUser;
}

void Client::send_password() {
  if (cfg_.password.empty()) {
    fail("the server asks for a password and none is set", true);
    return;
  }
  const std::string& pw = cfg_.password;
  awaiting_ = kAwaitPassword;
  if (!ignore1_) {
    // The length field travels in clear: hide the password's length among SSH_MSG_IGNORE
    // packets of every length up to the next multiple of 64.
    size_t top = (pw.size() / 64 + 1) * 64;
    for (size_t len = 0; len < top; ++len) {
      std::string d;
      if (len == pw.size()) {
        put_string(d, pw);
        send_packet(SSH_CMSG_AUTH_PASSWORD, d);
      } else {
        std::string junk(len, '\0');
        random_(reinterpret_cast<uint8_t*>(junk.data()), len);
        put_string(d, junk);
        send_packet(SSH_MSG_IGNORE, d);
      }
      OPENSSL_cleanse(d.data(), d.size());
    }
    return;
  }
  std::string s = pw;
  if (!plainpw1_) {
    // No IGNORE possible: pad the password itself after a terminating NUL, which servers
    // that read it as a C string stop at.
    size_t total = (pw.size() / 64 + 1) * 64;
    s.push_back('\0');
    size_t old = s.size();
    s.resize(total);
    random_(reinterpret_cast<uint8_t*>(s.data() + old), total - old);
  }
  std::string d;
  put_string(d, s);
  send_packet(SSH_CMSG_AUTH_PASSWORD, d);
  OPENSSL_cleanse(d.data(), d.size());
  OPENSSL_cleanse(s.data(), s.size());
}

void Client::start_pty() {
  state_ = State::Starting;
  awaiting_ = kAwaitPty;
  std::string d;
  put_string(d, cfg_.term_type);
  put_u32(d, static_cast<uint32_t>(std::max(cfg_.rows, 0)));
  put_u32(d, static_cast<uint32_t>(std::max(cfg_.cols, 0)));
  put_u32(d, 0);
  put_u32(d, 0);
  d.push_back('\0');  // TTY_OP_END: the server's own terminal modes
  send_packet(SSH_CMSG_REQUEST_PTY, d);
}

bool Client::send(std::string_view bytes) {
  if (state_ != State::Open) return false;
  while (!bytes.empty()) {
    auto chunk = bytes.substr(0, kMaxDataChunk);
    std::string d;
    put_string(d, chunk);
    send_packet(SSH_CMSG_STDIN_DATA, d);
    bytes.remove_prefix(chunk.size());
  }
  return true;
}

void Client::resize(int rows, int cols) {
  cfg_.rows = rows;
  cfg_.cols = cols;
  if (state_ != State::Open || !pty_) return;
  std::string d;
  put_u32(d, static_cast<uint32_t>(std::max(rows, 0)));
  put_u32(d, static_cast<uint32_t>(std::max(cols, 0)));
  put_u32(d, 0);
  put_u32(d, 0);
  send_packet(SSH_CMSG_WINDOW_SIZE, d);
}

void Client::close(std::string_view reason) {
  if (finished()) return;
  if (state_ != State::Version) {
    std::string d;
    put_string(d, reason);
    send_packet(SSH_MSG_DISCONNECT, d);
  }
  finish(std::string(reason));
}

}  // namespace morvane::ssh1
