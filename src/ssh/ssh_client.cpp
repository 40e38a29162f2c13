// Connecting: options, host-key check, setup of the shell channel and the forwards, and the
// hand-over to the I/O owner. Everything here before start() runs on the connecting thread.
#include "ssh/ssh_client.h"

#include "platform/atomic_file.h"
#include "platform/net.h"
#include "platform/threads.h"
#include "ssh/ssh_auth.h"
#include "ssh/ssh_compat.h"
#include "ssh/ssh_impl.h"
#include "util/text.h"

namespace morvane::ssh {

std::string session_error(ssh_session s) {
  const char* e = s ? ssh_get_error(s) : nullptr;
  return e && *e ? std::string(e) : std::string("unknown libssh error");
}

std::string errno_text(int err) { return "[Errno " + std::to_string(err) + "] " + platform::net_error_text(err); }

// ---- Impl: life and wake-ups --------------------------------------------------------------------

Impl::Impl() = default;

Impl::~Impl() { release_unstarted(); }

// The pair lives as long as the Impl, which every waker holds: waking a finished owner is harmless.
void Impl::wake() { wake_.wake(); }

void Impl::release_unstarted() {
  for (auto& sh : shells) {
    std::lock_guard<std::mutex> lock(sh.pipe->mu);
    sh.pipe->eof = sh.pipe->broken = true;
    sh.pipe->cv.notify_all();
  }
  shells.clear();
  listeners.clear();
  if (session) {
    ssh_disconnect(session);
    ssh_free(session);
    session = nullptr;
  }
  finished = true;
  wake_.close();
}

// ---- SshClient ------------------------------------------------------------------------------------

namespace {

void set_option(ssh_session s, ssh_options_e opt, const void* value, const char* what) {
  if (ssh_options_set(s, opt, value) != SSH_OK)
    throw ConnectError(std::string("invalid ") + what + ": " + session_error(s));
}

std::string join(const Json& list) {
  std::string out;
  for (const auto& v : list) {
    if (!v.is_string()) continue;
    if (!out.empty()) out += ',';
    out += v.get<std::string>();
  }
  return out;
}

// libssh's own key exchange offer, used when a workaround must trim it.
const char* kDefaultKex =
    "curve25519-sha256,curve25519-sha256@libssh.org,ecdh-sha2-nistp256,ecdh-sha2-nistp384,ecdh-sha2-nistp521,"
    "diffie-hellman-group18-sha512,diffie-hellman-group16-sha512,diffie-hellman-group-exchange-sha256,"
    "diffie-hellman-group14-sha256";

std::string without_gex(const std::string& list) {
  std::string out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name.rfind("diffie-hellman-group-exchange-", 0) == 0) continue;
    if (!out.empty()) out += ',';
    out += name;
  }
  return out;
}

std::string rsa_sha1_only(const std::string& list) {
  std::string out;
  bool rsa = false;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    if (name == "rsa-sha2-256" || name == "rsa-sha2-512" || name == "ssh-rsa") {
      if (rsa) continue;
      rsa = true;
      name = "ssh-rsa";
    }
    if (!out.empty()) out += ',';
    out += name;
  }
  return out;
}

// Applies the connection's preference record and workarounds to a new session.
void apply_overrides(ssh_session s, Impl& impl, const Json& prefs, const ssh_compat::Bugs& bugs) {
  std::string kex, hostkeys, pubkeys;
  if (prefs.is_object()) {
    for (auto it = prefs.begin(); it != prefs.end(); ++it) {
      std::string names = join(it.value());
      if (names.empty()) continue;
      const std::string& cat = it.key();
      if (cat == "kex") {
        kex = names;
      } else if (cat == "ciphers") {
        set_option(s, SSH_OPTIONS_CIPHERS_C_S, names.c_str(), "cipher list");
        set_option(s, SSH_OPTIONS_CIPHERS_S_C, names.c_str(), "cipher list");
      } else if (cat == "macs") {
        set_option(s, SSH_OPTIONS_HMAC_C_S, names.c_str(), "MAC list");
        set_option(s, SSH_OPTIONS_HMAC_S_C, names.c_str(), "MAC list");
      } else if (cat == "keys") {
        hostkeys = names;
      } else if (cat == "pubkeys") {
        pubkeys = names;
      }
    }
  }
  if (ssh_compat::bug_forced_on(bugs, "oldgex2")) kex = without_gex(kex.empty() ? kDefaultKex : kex);
  if (ssh_compat::bug_forced_on(bugs, "rsa_sha2")) {
    hostkeys = rsa_sha1_only(hostkeys.empty() ? "ssh-ed25519,ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,"
                                                "ecdsa-sha2-nistp521,ssh-rsa"
                                              : hostkeys);
    pubkeys = rsa_sha1_only(pubkeys.empty() ? "ssh-ed25519,ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,"
                                              "ecdsa-sha2-nistp521,ssh-rsa"
                                            : pubkeys);
  }
  if (!kex.empty()) set_option(s, SSH_OPTIONS_KEY_EXCHANGE, kex.c_str(), "key exchange list");
  if (!hostkeys.empty()) set_option(s, SSH_OPTIONS_HOSTKEYS, hostkeys.c_str(), "host key list");
  if (!pubkeys.empty()) set_option(s, SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES, pubkeys.c_str(), "public key list");
  impl.keepalive_as_debug = ssh_compat::bug_forced_on(bugs, "ignore2");
}

std::string host_key_text(ssh_session s) {
  ssh_key key = nullptr;
  if (ssh_get_server_publickey(s, &key) != SSH_OK || !key) return "an unknown key";
  std::string out = ssh_key_type_to_char(ssh_key_type(key)) ? ssh_key_type_to_char(ssh_key_type(key)) : "key";
  unsigned char* hash = nullptr;
  size_t hlen = 0;
  if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hlen) == SSH_OK) {
    if (char* fp = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hlen)) {
      out += " ";
      out += fp;
      ssh_string_free_char(fp);
    }
    ssh_clean_pubkey_hash(&hash);
  }
  ssh_key_free(key);
  return out;
}

// Known hosts are appended to by every tab that meets a new host: one writer at a time.
std::mutex& known_hosts_mutex() {
  static std::mutex mu;
  return mu;
}

}  // namespace

SshClient::SshClient() : impl_(std::make_shared<Impl>()) {}

SshClient::~SshClient() { close(); }

void SshClient::connect(const ConnectOptions& o) {
  Impl& impl = *impl_;
  if (impl.session) throw ConnectError("already connected");
  if (o.port < 1 || o.port > 65535) throw ConnectError("port must be 1-65535, not " + std::to_string(o.port));
  ssh_session s = ssh_new();
  if (!s) throw ConnectError("libssh could not create a session");
  impl.session = s;
  bool no = false;
  set_option(s, SSH_OPTIONS_PROCESS_CONFIG, &no, "option");  // ~/.ssh/config is not ours to follow
  set_option(s, SSH_OPTIONS_HOST, o.host.c_str(), "host");
  unsigned int port = static_cast<unsigned int>(o.port);
  set_option(s, SSH_OPTIONS_PORT, &port, "port");
  if (!o.username.empty()) set_option(s, SSH_OPTIONS_USER, o.username.c_str(), "user name");
  long timeout = o.timeout_sec;
  set_option(s, SSH_OPTIONS_TIMEOUT, &timeout, "time limit");
  int nodelay = 1;  // keystrokes go out at once
  set_option(s, SSH_OPTIONS_NODELAY, &nodelay, "option");
  // Only this program's file counts, for reading and for writing.
  std::string kh = o.known_hosts_file.empty() ? std::string("/dev/null") : o.known_hosts_file;
  set_option(s, SSH_OPTIONS_KNOWNHOSTS, kh.c_str(), "known hosts file");
  set_option(s, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, kh.c_str(), "known hosts file");
  impl.known_hosts_file = o.known_hosts_file;
  if (o.compress) set_option(s, SSH_OPTIONS_COMPRESSION, "yes", "compression");
  apply_overrides(s, impl, o.prefs, ssh_compat::bugs_from_record(o.bugs));

  if (ssh_connect(s) != SSH_OK) throw ConnectError(session_error(s));

  switch (ssh_session_is_known_server(s)) {
    case SSH_KNOWN_HOSTS_OK:
      break;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
      throw ConnectError("host key mismatch for " + o.host + " port " + std::to_string(o.port) + ": the server shows " +
                         host_key_text(s) + ", but " + kh +
                         " holds a different key for it (remove that line if the server's key really changed)");
    default:
      // Unknown host, or no readable file: accept the key and remember it after authentication.
      impl.host_key_new = true;
      break;
  }
  authenticate(s, o);
}

void SshClient::save_host_keys() {
  Impl& impl = *impl_;
  if (!impl.session || !impl.host_key_new || impl.known_hosts_file.empty()) return;
  impl.host_key_new = false;
  std::lock_guard<std::mutex> lock(known_hosts_mutex());
  // Another tab may have written the same host meanwhile.
  if (ssh_session_is_known_server(impl.session) == SSH_KNOWN_HOSTS_OK) return;
  char* entry = nullptr;
  if (ssh_session_export_known_hosts_entry(impl.session, &entry) != SSH_OK || !entry) return;
  std::string line = entry;
  ssh_string_free_char(entry);
  // libssh writes its entries without a line end; appending must not join two lines.
  append_line(impl.known_hosts_file, line, 0600);
}

Negotiated SshClient::negotiated() const {
  Negotiated n;
  ssh_session s = impl_->session;
  if (!s || impl_->finished) return n;
  auto str = [](const char* p) { return p ? std::string(p) : std::string(); };
  n.kex = str(ssh_get_kex_algo(s));
  n.cipher_in = str(ssh_get_cipher_in(s));
  n.cipher_out = str(ssh_get_cipher_out(s));
  n.hmac_in = str(ssh_get_hmac_in(s));
  n.hmac_out = str(ssh_get_hmac_out(s));
  return n;
}

std::shared_ptr<SshChannel> SshClient::open_shell_channel(const std::string& term, int cols, int rows) {
  ssh_session s = impl_->session;
  if (!s) throw std::runtime_error("not connected");
  ssh_channel ch = ssh_channel_new(s);
  if (!ch) throw std::runtime_error(session_error(s));
  if (ssh_channel_open_session(ch) != SSH_OK) {
    std::string e = session_error(s);
    ssh_channel_free(ch);
    throw std::runtime_error(e);
  }
  if (ssh_channel_request_pty_size(ch, term.c_str(), cols, rows) != SSH_OK) {
    std::string e = session_error(s);
    ssh_channel_close(ch);
    ssh_channel_free(ch);
    throw std::runtime_error(e);
  }
  auto pipe = std::make_shared<SshChannel::Pipe>();
  pipe->cols = cols;
  pipe->rows = rows;
  impl_->shells.push_back(ShellEntry{ch, pipe, {}, false});
  return std::make_shared<SshChannel>(impl_, pipe);
}

void SshClient::start_shell(SshChannel& channel) {
  for (auto& sh : impl_->shells) {
    if (sh.pipe != channel.pipe()) continue;
    if (ssh_channel_request_shell(sh.ch) != SSH_OK) throw std::runtime_error(session_error(impl_->session));
    return;
  }
  throw std::runtime_error("the channel does not belong to this connection");
}

void SshClient::open_local_forward(int local_port, const std::string& host, int port) {
  if (local_port < 0 || local_port > 65535) throw std::runtime_error("port must be 0-65535.");
  platform::Listener listener;
  try {
    listener = platform::listen_loopback(local_port, 4096);
    listener.set_nonblocking(true);
  } catch (const platform::NetError& e) {
    // The notice shows the system's own words: "[Errno 98] Address already in use".
    throw std::runtime_error("[Errno " + std::to_string(e.code()) + "] " + e.reason());
  }
  impl_->listeners.push_back(ForwardListener{std::move(listener), host, port});
}

void SshClient::request_remote_forward(int remote_port, const std::string& host, int port) {
  ssh_session s = impl_->session;
  if (!s) throw std::runtime_error("not connected");
  if (remote_port < 0 || remote_port > 65535 || port < 0 || port > 65535)
    throw std::runtime_error("port must be 0-65535.");
  // The target is looked up once, here, so that no forwarded connection waits for a name
  // lookup on the connection's I/O owner.
  std::vector<platform::Address> found;
  try {
    found = platform::resolve(host, port, true);
  } catch (const platform::NetError& e) {
    // The notice shows the resolver's own words: "[Errno -2] Name or service not known".
    throw std::runtime_error("[Errno " + std::to_string(e.code()) + "] " + e.reason());
  }
  if (found.empty()) throw std::runtime_error("no address for " + host);
  const platform::Address& target = found.front();
  int bound = 0;
  if (ssh_channel_listen_forward(s, "", remote_port, &bound) != SSH_OK)
    throw std::runtime_error("TCP forwarding request denied (" + session_error(s) + ")");
  impl_->remote_targets[remote_port != 0 ? remote_port : bound] = target;
}

void SshClient::start() {
  if (!impl_->session) throw std::runtime_error("not connected");
  std::lock_guard<std::mutex> lock(close_mu_);
  if (owner_.joinable() || impl_->stop) return;
  auto impl = impl_;
  owner_ = std::thread([impl] {
    platform::set_thread_name("ssh-io");
    impl->run();
  });
}

void SshClient::set_keepalive(int seconds) {
  impl_->keepalive_sec = seconds > 0 ? seconds : 0;
  impl_->wake();
}

int SshClient::keepalive() const { return impl_->keepalive_sec.load(); }

void SshClient::close() noexcept {
  std::lock_guard<std::mutex> lock(close_mu_);
  impl_->stop = true;
  impl_->wake();
  if (owner_.joinable()) {
    if (owner_.get_id() == std::this_thread::get_id()) owner_.detach();
    else owner_.join();
  } else if (!impl_->finished) {
    impl_->release_unstarted();
  }
}

bool SshClient::is_closed() const { return impl_->stop || impl_->finished; }

// ---- SshChannel -------------------------------------------------------------------------------------

SshChannel::SshChannel(std::shared_ptr<Impl> impl, std::shared_ptr<Pipe> pipe)
    : impl_(std::move(impl)), pipe_(std::move(pipe)) {}

SshChannel::~SshChannel() = default;

std::string SshChannel::recv(size_t max_bytes) {
  std::unique_lock<std::mutex> lock(pipe_->mu);
  pipe_->cv.wait(lock, [&] { return !pipe_->in.empty() || pipe_->eof || pipe_->closed; });
  if (pipe_->closed || pipe_->in.empty()) return {};
  std::string out = pipe_->in.take(max_bytes);
  bool wake = pipe_->owner_wants_room && pipe_->in.size() <= kInboundResume;
  if (wake) pipe_->owner_wants_room = false;
  lock.unlock();
  if (wake) impl_->wake();
  return out;
}

void SshChannel::send(std::string_view bytes) {
  if (bytes.empty()) return;
  {
    std::unique_lock<std::mutex> lock(pipe_->mu);
    pipe_->cv.wait(lock, [&] { return pipe_->closed || pipe_->broken || pipe_->out.size() < kOutboundCap; });
    if (pipe_->closed || pipe_->broken) throw std::runtime_error("Socket is closed");
    pipe_->out.append(bytes.data(), bytes.size());
  }
  impl_->wake();
}

void SshChannel::resize(int rows, int cols) {
  {
    std::lock_guard<std::mutex> lock(pipe_->mu);
    if (pipe_->closed || pipe_->broken) throw std::runtime_error("Socket is closed");
    pipe_->resize_pending = true;
    pipe_->rows = rows;
    pipe_->cols = cols;
  }
  impl_->wake();
}

void SshChannel::close() noexcept {
  {
    std::lock_guard<std::mutex> lock(pipe_->mu);
    if (pipe_->closed) return;
    pipe_->closed = true;
    pipe_->close_requested = true;
    pipe_->cv.notify_all();
  }
  impl_->wake();
}

bool SshChannel::is_closed() const {
  std::lock_guard<std::mutex> lock(pipe_->mu);
  return pipe_->closed || (pipe_->eof && pipe_->in.empty());
}

}  // namespace morvane::ssh
