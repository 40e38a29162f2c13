// SSH-2 tabs: private-key preparation, the start routine, port-forwarding rules and the
// key-file dialog.
#include <filesystem>

#include "app/modules.h"
#include "app/morvane_app.h"
#include "ssh/ssh_client.h"
#include "ssh/ssh_compat.h"
#include "util/diag.h"
#include "util/encoding.h"
#include "platform/process.h"
#include "util/text.h"
#include "util/uuid.h"

namespace morvane {

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

Json MorvaneApp::_build_ssh_prefs(const Json& sess) { return ssh_compat::_build_ssh_prefs(sess); }

std::pair<std::optional<std::string>, std::optional<std::string>> MorvaneApp::_ensure_openssh_key(
    const std::string& key_path) {
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

std::string MorvaneApp::pick_private_key() {
  Host* w = window();
  if (!w) return "";
  // "*" rather than "*.*": OpenSSH keys usually have no extension.
  const std::vector<FileFilter> filters = {{"All keys", {"*.ppk", "*.pem", "*.key"}},
                                           {"PuTTY Private Key", {"*.ppk"}},
                                           {"OpenSSH PEM", {"*.pem", "*.key"}},
                                           {"All Files", {"*"}}};
  try {
    return w->open_file_dialog(_t("dialog.pick_key"), filters, 180.0).value_or("");
  } catch (...) {
    return "";
  }
}

void MorvaneApp::_setup_forward(Backend& transport, const Json& rule, const std::string& tab_id) {
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
    auto* client = dynamic_cast<ssh::SshClient*>(&transport);
    if (!client) throw std::runtime_error("not an SSH-2 connection");
    if (type == "L") client->open_local_forward(first, host, target);
    else client->request_remote_forward(first, host, target);
  } catch (const std::exception& e) {
    _push_info(tab_id, _t("err.fwd_setup_fail", {{"type", type}, {"spec", spec}, {"err", e.what()}}));
  }
}

void MorvaneApp::_start_ssh_impl(const std::string& tab_id, const SessionRef& sess, const TabRef& tab) {
  Json data = sess ? sess->snapshot() : Json::object();
  auto fail = [&](const char* key, const std::string& err) {
    _push_info(tab_id, _t(key, {{"err", err}}), true);
    tab->alive = false;
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

  _push_info(tab_id, _t("info.connecting", {{"host", host}, {"port", port}}));

  std::string key_file;
  if (!private_key.empty()) {
    auto [path, err] = _ensure_openssh_key(private_key);
    if (err) return fail("err.key_error", *err);
    key_file = *path;
    {
      std::lock_guard<std::mutex> lock(tab->mu);
      tab->tmp_keyfile = key_file != private_key ? key_file : std::string();
    }
    // Closed during the conversion: the tab's close may have looked for the file too early.
    if (find_tab(tab_id) != tab) {
      std::error_code ec;
      if (key_file != private_key) fs::remove(key_file, ec);
      return;
    }
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
  opts.known_hosts_file = HOST_KEYS_FILE.string();

  auto client = std::make_shared<ssh::SshClient>();
  try {
    if (opts.port < 0) throw ssh::ConnectError("port must be 0-65535.");
    opts.prefs = _build_ssh_prefs(data);
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
      for (const auto& rule : rules) _setup_forward(*client, rule, tab_id);
    client->start_shell(*channel);
    client->start();
  } catch (const std::exception& e) {
    client->close();
    return fail("err.shell_fail", e.what());
  }

  if (!_store_handle(tab_id, tab, HandleKey::client, client)) return;
  if (!_store_handle(tab_id, tab, HandleKey::channel, channel)) {
    client->close();
    return;
  }
  std::string enc = tab->encoding_name();
  std::unique_ptr<encoding::Decoder> dec;
  try {
    dec = encoding::make_decoder(enc.empty() ? "utf-8" : enc);
  } catch (const std::exception&) {
    dec = encoding::make_decoder("utf-8");  // an unknown name must not lose the connection
  }
  {
    std::lock_guard<std::mutex> lock(tab->decoder_mu);
    tab->decoder = std::move(dec);
  }
  _push_connected(tab_id);
  spawn_daemon([this, tab_id] { _reader_loop(tab_id); });
}

void install_ssh(MorvaneApp& app) {
  app.register_start_routine("ssh", [&app](const std::string& id, const SessionRef& s, const TabRef& t) {
    app._start_ssh_impl(id, s, t);
  });
  app.bridge.add("pick_private_key", 0, {}, [&app](const Json&) { return Json(app.pick_private_key()); });
  app.on_keepalive_change = [](Tab& tab, int seconds) {
    std::shared_ptr<Backend> h = tab.handle(HandleKey::client);
    if (auto* client = dynamic_cast<ssh::SshClient*>(h.get())) client->set_keepalive(seconds);
  };
}

}  // namespace morvane
