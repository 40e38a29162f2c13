// The test server's own codec: zlib's CRC-32, and SSH-1's 3DES and Blowfish chained by hand
// over single-block DES and Blowfish calls, so no code is shared with the client.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "test_server.h"

#include <openssl/blowfish.h>
#include <openssl/bn.h>
#include <openssl/des.h>
#include <openssl/md5.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <zlib.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <mutex>
#include <stdexcept>

namespace ssh1test {
namespace {

// SSH-1 takes the CRC register from zero with no final inversion; zlib's standard CRC-32
// started from all ones is exactly the inverse of that.
uint32_t ssh1_crc(const char* p, size_t n) {
  return ~static_cast<uint32_t>(crc32(0xFFFFFFFFUL, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(n)));
}

struct Fault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One RSA key per size for the whole test run: generating keys is the slow part.
RSA* key_of(int bits) {
  static std::mutex mu;
  static std::map<int, std::unique_ptr<RSA, decltype(&RSA_free)>> keys;
  std::lock_guard<std::mutex> lock(mu);
  auto it = keys.find(bits);
  if (it == keys.end()) {
    std::unique_ptr<RSA, decltype(&RSA_free)> k(RSA_new(), RSA_free);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> e(BN_new(), BN_free);
    BN_set_word(e.get(), 65537);
    if (RSA_generate_key_ex(k.get(), bits, e.get(), nullptr) != 1) throw std::runtime_error("RSA key generation failed");
    it = keys.emplace(bits, std::move(k)).first;
  }
  return it->second.get();
}

std::string bn_bytes(const BIGNUM* b) {
  std::string s(static_cast<size_t>(BN_num_bytes(b)), '\0');
  BN_bn2bin(b, reinterpret_cast<unsigned char*>(s.data()));
  return s;
}

std::string bn_hex(const BIGNUM* b) {
  char* h = BN_bn2hex(b);
  std::string s(h);
  OPENSSL_free(h);
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  while (s.size() > 1 && s[0] == '0') s.erase(0, 1);
  return "0x" + s;
}

void u32(std::string& o, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) o.push_back(static_cast<char>(v >> s));
}
void str(std::string& o, std::string_view s) {
  u32(o, static_cast<uint32_t>(s.size()));
  o.append(s);
}
void mp(std::string& o, const BIGNUM* b) {
  int bits = BN_num_bits(b);
  o.push_back(static_cast<char>(bits >> 8));
  o.push_back(static_cast<char>(bits));
  o += bn_bytes(b);
}

struct In {
  std::string_view d;
  size_t p = 0;
  std::string_view take(size_t n) {
    if (n > d.size() - p) throw Fault("client message truncated");
    auto s = d.substr(p, n);
    p += n;
    return s;
  }
  uint32_t u32() {
    auto b = take(4);
    uint32_t v = 0;
    for (char c : b) v = (v << 8) | static_cast<uint8_t>(c);
    return v;
  }
  std::string_view str() { return take(u32()); }
  std::string mp() {
    auto b = take(2);
    size_t bits = (static_cast<uint8_t>(b[0]) << 8) | static_cast<uint8_t>(b[1]);
    std::string mag(take((bits + 7) / 8));
    // plink declares the modulus size here, not the number's own: only the bytes count.
    return mag;
  }
  void end() {
    if (p != d.size()) throw Fault("trailing bytes in a client message");
  }
};

struct Crypt {
  virtual ~Crypt() = default;
  virtual void enc(unsigned char* b) = 0;  // one 8-byte block
  virtual void dec(unsigned char* b) = 0;
};

// Inner CBC: three chains, each with its own IV.
struct Des3 : Crypt {
  DES_key_schedule k[3];
  unsigned char iv[3][8] = {};
  explicit Des3(const std::string& key) {
    for (int i = 0; i < 3; ++i) {
      DES_cblock c;
      std::memcpy(c, key.data() + 8 * i, 8);
      DES_set_key_unchecked(&c, &k[i]);
    }
  }
  void cbc_e(unsigned char* b, int i) {
    for (int j = 0; j < 8; ++j) b[j] ^= iv[i][j];
    DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(b), reinterpret_cast<DES_cblock*>(b), &k[i], DES_ENCRYPT);
    std::memcpy(iv[i], b, 8);
  }
  void cbc_d(unsigned char* b, int i) {
    unsigned char c[8];
    std::memcpy(c, b, 8);
    DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(b), reinterpret_cast<DES_cblock*>(b), &k[i], DES_DECRYPT);
    for (int j = 0; j < 8; ++j) b[j] ^= iv[i][j];
    std::memcpy(iv[i], c, 8);
  }
  void enc(unsigned char* b) override {
    cbc_e(b, 0);
    cbc_d(b, 1);
    cbc_e(b, 2);
  }
  void dec(unsigned char* b) override {
    cbc_d(b, 2);
    cbc_e(b, 1);
    cbc_d(b, 0);
  }
};

// Blowfish on words read little-endian: the byte order the first implementation used.
struct Bf : Crypt {
  BF_KEY k;
  BF_LONG iv[2] = {0, 0};
  explicit Bf(const std::string& key) { BF_set_key(&k, 32, reinterpret_cast<const unsigned char*>(key.data())); }
  static BF_LONG le(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<BF_LONG>(p[3]) << 24); }
  static void put(unsigned char* p, BF_LONG v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
  }
  void enc(unsigned char* b) override {
    BF_LONG w[2] = {le(b) ^ iv[0], le(b + 4) ^ iv[1]};
    BF_encrypt(w, &k);
    iv[0] = w[0];
    iv[1] = w[1];
    put(b, w[0]);
    put(b + 4, w[1]);
  }
  void dec(unsigned char* b) override {
    BF_LONG c[2] = {le(b), le(b + 4)};
    BF_LONG w[2] = {c[0], c[1]};
    BF_decrypt(w, &k);
    put(b, w[0] ^ iv[0]);
    put(b + 4, w[1] ^ iv[1]);
    iv[0] = c[0];
    iv[1] = c[1];
  }
};

std::unique_ptr<Crypt> crypt_for(int cipher, const std::string& key) {
  if (cipher == 3) return std::make_unique<Des3>(key);
  if (cipher == 6) return std::make_unique<Bf>(key);
  return nullptr;
}

}  // namespace

struct Server::Impl {
  Server& s;
  ServerOptions o;
  enum Phase { kVersion, kKey, kUser, kPassword, kPrep, kShell, kDone } phase = kVersion;
  std::string line, in, out, cookie;
  std::unique_ptr<Crypt> rx, tx;
  bool corrupt_next = false;
  std::string shell_line;

  int master = -1;  // the real shell's pseudo-terminal
  pid_t child = -1;

  Impl(Server& srv, ServerOptions opt) : s(srv), o(std::move(opt)) {}
  ~Impl() { end_shell(true); }

  // Closes the terminal and reaps the shell, killing it first when asked or when it does
  // not end within a few seconds. Returns the exit status (128 + signal when killed).
  uint32_t end_shell(bool kill_it) {
    if (master >= 0) ::close(master), master = -1;
    if (child <= 0) return 0;
    if (kill_it) ::kill(child, SIGKILL);
    int st = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(child, &st, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &st, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    child = -1;
    return WIFEXITED(st) ? static_cast<uint32_t>(WEXITSTATUS(st)) : 128u + static_cast<uint32_t>(WTERMSIG(st));
  }

  static winsize size_of(uint32_t rows, uint32_t cols) {
    winsize ws{};
    ws.ws_row = static_cast<unsigned short>(rows ? rows : 24);
    ws.ws_col = static_cast<unsigned short>(cols ? cols : 80);
    return ws;
  }

  // /bin/sh on a new pseudo-terminal of the size the client asked for, with its terminal
  // type in TERM and a small fixed environment so the session does not depend on the host's.
  void start_shell() {
    int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (m < 0 || ::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
      if (m >= 0) ::close(m);
      throw Fault("cannot open a pseudo-terminal");
    }
    winsize ws = size_of(s.seen_.rows, s.seen_.cols);
    ::ioctl(m, TIOCSWINSZ, &ws);
    // A fixed environment: the test's own may be changing on another thread (plink's HOME).
    std::vector<std::string> env_store = {"PATH=/usr/local/bin:/usr/bin:/bin", "PS1=$ ", "LANG=C.UTF-8", "HOME=/tmp"};
    if (!s.seen_.term.empty()) env_store.push_back("TERM=" + s.seen_.term);
    std::vector<char*> envp;
    for (auto& e : env_store) envp.push_back(e.data());
    envp.push_back(nullptr);
    char sh[] = "/bin/sh";
    char* argv[] = {sh, nullptr};
    // After fork only async-signal-safe calls: everything is prepared above.
    pid_t pid = ::fork();
    if (pid < 0) {
      ::close(m);
      throw Fault("cannot fork the shell");
    }
    if (pid == 0) {
      ::setsid();
      int slave = ::open(name, O_RDWR);
      if (slave < 0) ::_exit(127);
      ::ioctl(slave, TIOCSCTTY, 0);
      ::dup2(slave, 0);
      ::dup2(slave, 1);
      ::dup2(slave, 2);
      if (slave > 2) ::close(slave);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGWINCH}) ::signal(sig, SIG_DFL);
      ::execve(sh, argv, envp.data());
      ::_exit(127);
    }
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
    master = m;
    child = pid;
  }

  void shell_write(std::string_view d) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!d.empty() && master >= 0) {
      ssize_t n = ::write(master, d.data(), d.size());
      if (n > 0) {
        d.remove_prefix(static_cast<size_t>(n));
      } else if (n < 0 && errno == EAGAIN && std::chrono::steady_clock::now() < deadline) {
        pollfd p{master, POLLOUT, 0};
        ::poll(&p, 1, 20);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        throw Fault("the shell's terminal does not take input");
      }
    }
  }

  // Forwards what the shell wrote; once its terminal reports the end, the exit status.
  void shell_read() {
    if (master < 0) return;
    char buf[4096];
    for (;;) {
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) {
        send_data(17, std::string_view(buf, static_cast<size_t>(n)));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      break;  // EIO: every holder of the other side has closed it
    }
    std::string d;
    u32(d, end_shell(false));
    send(20, d);
    phase = kDone;
  }

  RSA* host() { return key_of(o.host_bits); }
  RSA* skey() { return key_of(o.server_bits); }

  void send(uint8_t type, std::string_view data) {
    uint32_t len = static_cast<uint32_t>(data.size()) + 5;
    size_t pad = 8 - len % 8;
    std::string body(pad, '\0');
    if (tx) RAND_bytes(reinterpret_cast<unsigned char*>(body.data()), static_cast<int>(pad));
    body.push_back(static_cast<char>(type));
    body.append(data);
    uint32_t c = ssh1_crc(body.data(), body.size());
    if (corrupt_next) c ^= 1, corrupt_next = false;
    u32(body, static_cast<uint32_t>(c));
    for (size_t i = 0; tx && i < body.size(); i += 8) tx->enc(reinterpret_cast<unsigned char*>(body.data() + i));
    u32(out, len);
    out += body;
  }

  void disconnect(const std::string& why) {
    std::string d;
    str(d, why);
    send(1, d);
    phase = kDone;
    s.done_ = true;
  }

  void start() {
    if (o.silent) return;
    out += o.pre_version_text + o.version + "\n";
  }

  void send_public_key() {
    cookie.assign(8, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(cookie.data()), 8);
    const BIGNUM *sn, *se, *hn, *he;
    RSA_get0_key(skey(), &sn, &se, nullptr);
    RSA_get0_key(host(), &hn, &he, nullptr);
    std::string d = cookie;
    u32(d, static_cast<uint32_t>(BN_num_bits(sn)));
    mp(d, se);
    mp(d, sn);
    u32(d, static_cast<uint32_t>(BN_num_bits(hn)));
    mp(d, he);
    mp(d, hn);
    u32(d, 0);
    u32(d, o.cipher_mask);
    u32(d, o.auth_mask);
    send(2, d);
    std::string sid_in = bn_bytes(hn) + bn_bytes(sn) + cookie;
    unsigned char sid[16];
    MD5(reinterpret_cast<const unsigned char*>(sid_in.data()), sid_in.size(), sid);
    s.seen_.session_id.assign(reinterpret_cast<char*>(sid), 16);
    phase = kKey;
  }

  std::string rsa_dec(RSA* k, const std::string& in_bytes) {
    std::string buf(static_cast<size_t>(RSA_size(k)), '\0');
    if (in_bytes.size() > buf.size()) throw Fault("session key block larger than the modulus");
    std::string padded(buf.size() - in_bytes.size(), '\0');
    padded += in_bytes;
    int n = RSA_private_decrypt(static_cast<int>(padded.size()), reinterpret_cast<const unsigned char*>(padded.data()),
                                reinterpret_cast<unsigned char*>(buf.data()), k, RSA_PKCS1_PADDING);
    if (n < 0) throw Fault("session key does not decrypt (PKCS#1 padding)");
    buf.resize(static_cast<size_t>(n));
    size_t z = buf.find_first_not_of('\0');
    return z == std::string::npos ? std::string() : buf.substr(z);
  }

  void on_session_key(In& f) {
    int cipher = static_cast<uint8_t>(f.take(1)[0]);
    if (cipher >= 32 || !((o.cipher_mask >> cipher) & 1)) throw Fault("client chose cipher " + std::to_string(cipher) + " not offered");
    if (f.take(8) != cookie) throw Fault("cookie does not match");
    std::string enc = f.mp();
    s.seen_.protocol_flags = f.u32();
    f.end();
    const BIGNUM *sn, *hn;
    RSA_get0_key(skey(), &sn, nullptr, nullptr);
    RSA_get0_key(host(), &hn, nullptr, nullptr);
    bool server_smaller = BN_cmp(sn, hn) < 0;
    RSA* outer = server_smaller ? host() : skey();
    RSA* inner = server_smaller ? skey() : host();
    std::string k = rsa_dec(inner, rsa_dec(outer, enc));
    if (k.size() > 32) throw Fault("session key longer than 32 bytes");
    std::string key(32 - k.size(), '\0');
    key += k;
    for (int i = 0; i < 16; ++i) key[i] = static_cast<char>(key[i] ^ s.seen_.session_id[i]);
    s.seen_.cipher = cipher;
    rx = crypt_for(cipher, key);
    tx = crypt_for(cipher, key);
    if (o.disconnect_after_key) {
      disconnect("Server going down for testing");
      return;
    }
    corrupt_next = o.bad_crc_after_key;
    send(14, {});
    phase = kUser;
  }

  void check_modes(std::string_view m) {
    size_t i = 0;
    while (true) {
      if (i >= m.size()) throw Fault("terminal modes not ended by TTY_OP_END");
      uint8_t op = static_cast<uint8_t>(m[i++]);
      if (op == 0) break;
      // 1-127 take a byte, 128-159 and the speeds (192, 193) a uint32; any other opcode
      // ends what can be parsed, and the rest is ignored.
      if (op >= 160 && op != 192 && op != 193) return;
      i += op < 128 ? 1 : 4;
    }
    if (i != m.size()) throw Fault("bytes after TTY_OP_END");
  }

  void shell_input(std::string_view d) {
    s.seen_.stdin_data.append(d);
    std::string echo;
    for (char c : d) {
      if (c == '\r' || c == '\n') {
        echo += "\r\n";
        std::string l = std::exchange(shell_line, {});
        if (l.rfind("exit", 0) == 0) {
          send_data(17, echo);
          echo.clear();
          std::string d2;
          u32(d2, static_cast<uint32_t>(std::atoi(l.c_str() + 4)));
          send(20, d2);
          phase = kDone;
          return;
        }
        if (l.rfind("err ", 0) == 0) {
          send_data(17, echo);
          echo.clear();
          send_data(18, l.substr(4) + "\r\n");
        }
      } else {
        echo += c;
        shell_line += c;
      }
    }
    send_data(17, echo);
  }

  void send_data(uint8_t type, std::string_view d) {
    if (d.empty()) return;
    std::string m;
    str(m, d);
    send(type, m);
  }

  void packet(uint8_t type, std::string_view data) {
    In f{data};
    if (type == 32) {  // SSH_MSG_IGNORE
      if (o.choke_on_ignore) {
        disconnect("protocol error: unexpected message 32");
        return;
      }
      f.str();
      f.end();
      ++s.seen_.ignores;
      return;
    }
    if (type == 1) {
      s.seen_.disconnect_reason = std::string(f.str());
      s.seen_.client_disconnected = true;
      phase = kDone;
      s.done_ = true;
      return;
    }
    if (type == 36) return;
    switch (phase) {
      case kKey:
        if (type != 3) throw Fault("expected the session key, got message " + std::to_string(type));
        on_session_key(f);
        return;
      case kUser:
        if (type != 4) throw Fault("expected the user name, got message " + std::to_string(type));
        s.seen_.user = std::string(f.str());
        f.end();
        if (!o.need_auth) {
          send(14, {});
          phase = kPrep;
          return;
        }
        send(15, {});
        phase = kPassword;
        return;
      case kPassword: {
        if (type != 9) throw Fault("expected a password, got message " + std::to_string(type));
        std::string pw(f.str());
        f.end();
        s.seen_.password_field = pw;
        s.seen_.ignores_before_password = s.seen_.ignores;
        std::string cmp = pw;
        if (!o.plain_password_only && o.choke_on_ignore) cmp = cmp.substr(0, cmp.find('\0'));
        bool ok = s.seen_.user == o.user && cmp == o.password;
        send(ok ? 14 : 15, {});
        if (ok) phase = kPrep;
        return;
      }
      case kPrep:
        if (type == 10) {
          s.seen_.term = std::string(f.str());
          s.seen_.rows = f.u32();
          s.seen_.cols = f.u32();
          s.seen_.xpix = f.u32();
          s.seen_.ypix = f.u32();
          s.seen_.tty_modes = std::string(f.take(data.size() - f.p));
          check_modes(s.seen_.tty_modes);
          send(o.refuse_pty ? 15 : 14, {});
          return;
        }
        if (type == 12) {
          f.end();
          s.seen_.shell = true;
          phase = kShell;
          send_data(17, o.login_banner);
          if (o.real_shell) start_shell();
          return;
        }
        if (type == 13) {
          s.seen_.command = std::string(f.str());
          f.end();
          phase = kShell;
          send_data(17, "ran: " + s.seen_.command + "\r\n");
          std::string d2;
          u32(d2, 0);
          send(20, d2);
          phase = kDone;
          return;
        }
        throw Fault("unexpected message " + std::to_string(type) + " before the shell");
      case kShell:
        if (type == 16) {
          auto d = f.str();
          f.end();
          if (o.real_shell) {
            s.seen_.stdin_data.append(d);
            shell_write(d);
          } else {
            shell_input(d);
          }
          return;
        }
        if (type == 11) {
          uint32_t r = f.u32(), c = f.u32();
          f.u32();
          f.u32();
          f.end();
          s.seen_.window_sizes.emplace_back(r, c);
          if (master >= 0) {
            winsize ws = size_of(r, c);
            ::ioctl(master, TIOCSWINSZ, &ws);  // the shell's foreground job gets SIGWINCH
          }
          return;
        }
        if (type == 19) {
          s.seen_.eof = true;
          if (master >= 0) {
            // End of input on a terminal: the end-of-file character, which ends the shell.
            shell_write("\x04");
            return;
          }
          std::string d2;
          u32(d2, 0);
          send(20, d2);
          phase = kDone;
          return;
        }
        throw Fault("unexpected message " + std::to_string(type) + " in the shell");
      case kDone:
        if (type == 33) {
          f.end();
          s.seen_.exit_confirmed = true;
          s.done_ = true;
          return;
        }
        if (type == 16 || type == 11 || type == 19) return;  // raced with the exit status
        throw Fault("unexpected message " + std::to_string(type) + " after the exit status");
      default:
        throw Fault("message before the version exchange");
    }
  }

  void receive(std::string_view bytes) {
    if (s.done_) return;
    try {
      while (phase == kVersion && !bytes.empty()) {
        char c = bytes.front();
        bytes.remove_prefix(1);
        if (c != '\n') {
          if (line.size() > 255) throw Fault("client version line too long");
          line += c;
          continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        s.seen_.client_version = line;
        if (line.rfind("SSH-1.5-", 0) != 0) throw Fault("client version \"" + line + "\" is not SSH-1.5");
        send_public_key();
      }
      in.append(bytes);
      while (!s.done_ && in.size() >= 4) {
        uint32_t len = 0;
        for (int i = 0; i < 4; ++i) len = (len << 8) | static_cast<uint8_t>(in[i]);
        if (len < 5 || len > 262144) throw Fault("client packet length " + std::to_string(len));
        size_t pad = 8 - len % 8;
        if (in.size() < 4 + pad + len) break;
        std::string body = in.substr(4, pad + len);
        in.erase(0, 4 + pad + len);
        for (size_t i = 0; rx && i < body.size(); i += 8) rx->dec(reinterpret_cast<unsigned char*>(body.data() + i));
        uint32_t want = 0;
        for (size_t i = body.size() - 4; i < body.size(); ++i) want = (want << 8) | static_cast<uint8_t>(body[i]);
        if (ssh1_crc(body.data(), body.size() - 4) != want)
          throw Fault("client packet CRC mismatch");
        packet(static_cast<uint8_t>(body[pad]), std::string_view(body).substr(pad + 1, len - 5));
      }
    } catch (const Fault& e) {
      s.error_ = e.what();
      disconnect(std::string("protocol error: ") + e.what());
    }
  }
};

Server::Server(ServerOptions opt) : impl_(std::make_unique<Impl>(*this, std::move(opt))) { impl_->start(); }
Server::~Server() = default;
void Server::receive(std::string_view bytes) { impl_->receive(bytes); }
std::string Server::take_output() { return std::exchange(impl_->out, {}); }
void Server::shell_output(std::string_view bytes) { impl_->send_data(17, bytes); }
int Server::shell_fd() const { return impl_->master; }
void Server::shell_readable() {
  try {
    impl_->shell_read();
  } catch (const Fault& e) {
    error_ = e.what();
  }
}
void Server::exit_with(uint32_t status) {
  std::string d;
  u32(d, status);
  impl_->send(20, d);
  impl_->phase = Impl::kDone;
}
std::string Server::host_key_putty_cache() const {
  const BIGNUM *n, *e;
  RSA_get0_key(key_of(impl_->o.host_bits), &n, &e, nullptr);
  return bn_hex(e) + "," + bn_hex(n);
}

}  // namespace ssh1test
