// SSH-2 tabs: private-key preparation, the start routine, port-forwarding rules and the
// key-file dialog.
//
// Ways a tab's SSH connection ends: the server closes the shell channel or the TCP connection
// breaks (read ends); the tab is closed (the client and every forward go, the temporary key
// file is removed); connecting fails (the reason is shown; the key file stays until the tab closes).
#include "kinds/ssh/ssh_kind.h"

#include <filesystem>

#include "ssh/ssh_client.h"
#include "ssh/ssh_compat.h"
#include "util/diag.h"
#include "platform/process.h"
#include "util/text.h"
#include "util/uuid.h"

namespace morvane::kinds {

namespace fs = std::filesystem;

namespace {

// The text of a session value, "" when it is missing or false-like.
std::string text_or_empty(const Json& data, const char* key) {
  const Json& v = json::get(data, key);
  return json::truthy(v) ? json::text_form(v) : std::string();
}

// The text as Python's repr() shows it, for the conversion failures users know.
std::string py_repr(const std::string& s) {
  char q = s.find('\'') != std::string::npos && s.find('"') == std::string::npos ? '"' : '\'';
  std::string out(1, q);
  for (char c : s) {
    if (c == '\\' || c == q) out += '\\';
    out += c;
  }
  return out + q;
}

std::string int_error(const std::string& field) { return "invalid literal for int() with base 10: " + py_repr(field); }

// A port field: decimal digits, surrounding blanks allowed; throws with the usual wording.
int port_field(const std::string& field) {
  auto n = text::parse_int(field);
  if (!n) throw std::runtime_error(int_error(field));
  if (*n < 0 || *n > 65535) throw std::runtime_error("port must be 0-65535.");
  return static_cast<int>(*n);
}

std::vector<std::string> split_colons(const std::string& s) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = s.find(':', start);
    parts.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

}  // namespace

std::pair<std::optional<std::string>, std::optional<std::string>> SshKind::_ensure_openssh_key(
    const std::string& key_path) {
  auto _t = [this](const std::string& key, const TextValues& v = {}) { return svc_->text(key, v); };
  const std::optional<std::string> puttygen_exe = svc_->bundled_program("puttygen.exe");
  std::error_code ec;
  if (key_path.empty() || !fs::is_regular_file(key_path, ec)) return {std::nullopt, _t("err.no_key_file")};
  if (text::lower_ascii(fs::path(key_path).extension().string()) != ".ppk") return {key_path, std::nullopt};
  if (!puttygen_exe || puttygen_exe->empty()) return {std::nullopt, _t("err.need_puttygen")};
  fs::path out = fs::temp_directory_path(ec) / ("morvane_" + uuid4_hex().substr(0, 10) + ".pem");
  std::vector<std::string> argv = {*puttygen_exe, key_path, "-O", "private-openssh", "-o", out.string()};
  try {
    ProcessOptions po;
    po.timeout_sec = puttygen_timeout_sec;
    ProcessResult r = run_process(argv, po);
    if (r.timed_out) {
      std::string cmd;
      for (const auto& a : argv) cmd += (cmd.empty() ? "" : " ") + a;
      fs::remove(out, ec);
      return {std::nullopt, _t("err.puttygen_exec_fail",
                               {{"err", "Command '" + cmd + "' timed out after " +
                                            json::text_form(Json(static_cast<long long>(puttygen_timeout_sec))) +
                                            " seconds"}})};
    }
    if (r.exit_code == 0 && fs::exists(out, ec)) return {out.string(), std::nullopt};
    // A half-written key must not outlive the failure.
    fs::remove(out, ec);
    return {std::nullopt, _t("err.puttygen_fail", {{"err", text::trim(text::sanitize_utf8(r.err))}})};
  } catch (const std::exception& e) {
    fs::remove(out, ec);
    return {std::nullopt, _t("err.puttygen_exec_fail", {{"err", e.what()}})};
  }
}

std::string SshKind::pick_private_key() {
  // "*" rather than "*.*": OpenSSH keys usually have no extension.
  const std::vector<FileFilter> filters = {{"All keys", {"*.ppk", "*.pem", "*.key"}},
                                           {"PuTTY Private Key", {"*.ppk"}},
                                           {"OpenSSH PEM", {"*.pem", "*.key"}},
                                           {"All Files", {"*"}}};
  return svc_->open_file(svc_->text("dialog.pick_key"), filters, 180.0).value_or("");
}

void SshKind::_setup_forward(ssh::SshClient& client, const Json& rule, const std::string& tab_id) {
  const Json& tv = json::get(rule, "type");
  const Json& sv = json::get(rule, "spec");
  std::string type = text::upper_ascii(tv.is_null() ? std::string() : json::text_form(tv));
  std::string spec = text::trim(sv.is_null() ? std::string() : json::text_form(sv));
  if (spec.empty()) return;
  try {
    if (type != "L" && type != "R") return;
    std::vector<std::string> f = split_colons(spec);
    if (f.size() != 3) return;
    int first = port_field(f[0]);
    std::string host = text::trim(f[1]);
    int target = port_field(f[2]);
    if (type == "L") client.open_local_forward(first, host, target);
    else client.request_remote_forward(first, host, target);
  } catch (const std::exception& e) {
    svc_->notice(tab_id, svc_->text("err.fwd_setup_fail", {{"type", type}, {"spec", spec}, {"err", e.what()}}));
  }
}

namespace {

class SshConnection final : public Connection {
 public:
  SshConnection(SshKind& kind, const OpenRequest& req)
      : Connection(req.sink), kind_(kind), svc_(req.services), tab_id_(req.tab_id), data_(req.session) {}
  ~SshConnection() override { close(); }

  // _start_ssh_impl: connects, authenticates, opens the shell with its forwards. The client is
  // used by this thread alone until it is published; a close() meanwhile is honoured after.
  void start() override {
    const Json& data = data_;
    auto fail = [&](const char* key, const std::string& err) {
      fail_with(svc_.text(key, {{"err", err}}));
    };
    const Json& hv = json::get(data, "host");
    std::string host = hv.is_null() ? std::string() : json::text_form(hv);
    const Json& pv = json::get(data, "port");
    long long port = 22;
    if (json::truthy(pv)) {
      auto n = json::as_int(pv);
      // A port that is no number is reported like any other failure to connect.
      if (!n) return fail("err.conn_fail", int_error(json::text_form(pv)));
      port = *n;
    }
    std::string user = text_or_empty(data, "username");
    std::string password = text_or_empty(data, "password");
    std::string private_key = text_or_empty(data, "private_key");

    sink().notice(svc_.text("info.connecting", {{"host", host}, {"port", port}}));

    std::string key_file;
    if (!private_key.empty()) {
      auto [path, err] = kind_._ensure_openssh_key(private_key);
      if (err) return fail("err.key_error", *err);
      key_file = *path;
      if (key_file != private_key) {
        std::lock_guard<std::mutex> lock(mu_);
        tmp_keyfile_ = key_file;
      }
      // Closed during the conversion: the file goes now, nobody else will look for it.
      if (closing()) return remove_keyfile();
    }

    ssh::ConnectOptions opts;
    opts.host = host;
    opts.port = port >= 1 && port <= 65535 ? static_cast<int>(port) : -1;
    opts.username = user;
    opts.password = password;
    opts.key_file = key_file;
    opts.timeout_sec = 15;
    opts.allow_agent = json::truthy(json::get(data, "agent_forwarding"));
    opts.look_for_keys = true;
    opts.compress = json::truthy(json::get(data, "compression"));
    opts.known_hosts_file = svc_.data_file("known_hosts").string();

    auto client = std::make_shared<ssh::SshClient>();
    try {
      if (opts.port < 0) throw ssh::ConnectError("port must be 0-65535.");
      opts.prefs = ssh_compat::_build_ssh_prefs(data);
      opts.bugs = json::get(data, "ssh_bugs");
      client->connect(opts);
    } catch (const ssh::AuthError& e) {
      client->close();
      return fail("err.auth_fail", e.what());
    } catch (const std::exception& e) {
      client->close();
      return fail("err.conn_fail", e.what());
    }
    client->save_host_keys();

    auto ka = json::as_int(json::get(data, "keepalive_sec"));
    int keepalive = ka && *ka > 0 ? static_cast<int>(std::min<long long>(*ka, 1 << 24)) : 30;
    const Json& tv = json::get(data, "terminal_type");
    std::string term = json::truthy(tv) ? json::text_form(tv) : std::string("xterm-256color");
    std::shared_ptr<ssh::SshChannel> channel;
    try {
      client->set_keepalive(keepalive);
      channel = client->open_shell_channel(term, 80, 24);
      const Json& rules = json::get(data, "port_forwards");
      if (rules.is_array())
        for (const auto& rule : rules) kind_._setup_forward(*client, rule, tab_id_);
      client->start_shell(*channel);
      client->start();
    } catch (const std::exception& e) {
      client->close();
      return fail("err.shell_fail", e.what());
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      client_ = client;
      channel_ = channel;
    }
    // Closed while connecting: the late connection goes at once.
    if (!advance(ConnectionState::connected)) client->close();
  }

  std::string read(size_t max_bytes) override {
    auto ch = channel();
    return ch ? ch->recv(max_bytes) : std::string();
  }
  void write(std::string_view bytes) override {
    auto ch = channel();
    if (!ch) throw std::runtime_error("not connected");
    ch->send(bytes);
  }
  bool resize(int rows, int cols) override {
    auto ch = channel();
    if (!ch) return false;
    ch->resize(rows, cols);
    return true;
  }
  void close() noexcept override {
    if (!begin_close()) return;
    std::shared_ptr<ssh::SshClient> client;
    std::shared_ptr<ssh::SshChannel> ch;
    {
      std::lock_guard<std::mutex> lock(mu_);
      client = client_;
      ch = channel_;
    }
    if (ch) ch->close();
    if (client) client->close();
    remove_keyfile();
    finish_close();
  }
  void session_changed(const Json& data) override {
    auto ka = json::as_int(json::get(data, "keepalive_sec"));
    std::lock_guard<std::mutex> lock(mu_);
    if (ka && *ka > 0 && client_) client_->set_keepalive(static_cast<int>(std::min<long long>(*ka, 1 << 24)));
  }

  std::string tmp_keyfile() const {
    std::lock_guard<std::mutex> lock(mu_);
    return tmp_keyfile_;
  }

 private:
  std::shared_ptr<ssh::SshChannel> channel() const {
    std::lock_guard<std::mutex> lock(mu_);
    return channel_;
  }
  void remove_keyfile() noexcept {
    std::string file = tmp_keyfile();
    if (file.empty()) return;
    std::error_code ec;
    if (fs::is_regular_file(file, ec)) fs::remove(file, ec);
  }

  SshKind& kind_;
  KindServices& svc_;
  const std::string tab_id_;
  const Json data_;
  mutable std::mutex mu_;
  std::shared_ptr<ssh::SshClient> client_;
  std::shared_ptr<ssh::SshChannel> channel_;
  std::string tmp_keyfile_;
};

}  // namespace

std::shared_ptr<Connection> SshKind::open(const OpenRequest& req) {
  return std::make_shared<SshConnection>(*this, req);
}

std::string ssh_tmp_keyfile(const std::shared_ptr<Connection>& conn) {
  auto* c = dynamic_cast<SshConnection*>(conn.get());
  return c ? c->tmp_keyfile() : std::string();
}

void SshKind::install(Bridge& bridge, KindServices& services) {
  svc_ = &services;
  bridge.add("pick_private_key", 0, {}, [this](const Json&) { return Json(pick_private_key()); });
}

}  // namespace morvane::kinds
