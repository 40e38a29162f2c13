// SSH-1 tabs: the start routine and the connection around the tab's Ssh1Backend.
//
// Ways a tab's SSH-1 connection ends: no password (refused before any connection is made);
// the backend cannot be made or cannot connect, sign in or start the shell (the reason is
// shown and the backend closed); the remote shell exits or the server hangs up (read ends);
// the tab is closed (the backend is closed, which also cuts a connect in progress short).
#include "kinds/ssh1/ssh1_kind.h"

#include <mutex>

#include "kinds/ssh1/ssh1_backend.h"
#include "ssh/ssh_compat.h"

namespace morvane::kinds {

std::set<std::string> forced_ssh1_bugs(const Json& ssh_bugs) {
  using ssh_compat::SSHBugSpec;
  std::set<std::string> forced;
  if (!json::truthy(ssh_bugs)) return forced;
  const ssh_compat::Bugs modes = ssh_compat::bugs_from_record(ssh_bugs);
  for (const auto& name : SSHBugSpec::SSH1_BUGS())
    if (ssh_compat::bug_forced_on(modes, name)) forced.insert(name);
  return forced;
}

namespace {

// A session value as text; "" when it is missing or null.
std::string text_of(const Json& data, const char* key) {
  const Json& v = json::get(data, key);
  return v.is_null() ? std::string() : json::text_form(v);
}

class Ssh1Connection final : public Connection {
 public:
  Ssh1Connection(const Ssh1Kind& kind, const OpenRequest& req)
      : Connection(req.sink), svc_(req.services), data_(req.session), timeout_sec_(kind.timeout_sec) {}
  ~Ssh1Connection() override { close(); }

  // _start_ssh1_impl
  void start() override {
    const Json& data = data_;
    std::string host = text_of(data, "host");
    long long port = 22;
    if (auto n = json::as_int(json::get(data, "port")); n && *n != 0) port = *n;
    std::string user = text_of(data, "username");
    const Json& pw = json::get(data, "password");

    sink().notice(svc_.text("info.connecting_ssh1", {{"host", host}, {"port", port}}));
    if (!json::truthy(pw)) {
      fail_with(svc_.text("info.ssh1_password_required"));
      return;
    }

    Ssh1BackendOptions opt;
    opt.host = host;
    opt.port = port;
    opt.username = user;
    opt.password = json::text_form(pw);
    const Json& tv = json::get(data, "terminal_type");
    opt.term_type = json::truthy(tv) ? json::text_form(tv) : std::string("xterm");
    opt.rows = 24;
    opt.cols = 80;
    opt.timeout_sec = timeout_sec_;
    opt.bugs = forced_ssh1_bugs(json::get(data, "ssh_bugs"));

    // A backend that cannot even be made is reported like a failed connection, so the tab
    // never stays "connecting" with nothing behind it.
    std::shared_ptr<Ssh1Backend> backend;
    try {
      backend = std::make_shared<Ssh1Backend>(std::move(opt));
    } catch (const std::exception& e) {
      return fail(e.what());
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      backend_ = backend;
    }
    // Published before connecting, so a close() from now on cuts the connect short.
    if (closing()) return backend->close();
    try {
      backend->connect();
    } catch (const std::exception& e) {
      backend->close();
      if (closing()) return;  // the tab went: nobody to tell
      return fail(e.what());
    }
    // Closed while connecting: the late connection goes at once.
    if (!advance(ConnectionState::connected)) backend->close();
  }

  std::string read(size_t max_bytes) override {
    auto b = backend();
    return b ? b->recv(max_bytes) : std::string();
  }
  void write(std::string_view bytes) override {
    auto b = backend();
    if (!b) throw std::runtime_error("not connected");
    b->send(bytes);
  }
  bool resize(int rows, int cols) override {
    auto b = backend();
    if (!b) return false;
    b->resize(rows, cols);
    return true;
  }
  void close() noexcept override {
    if (!begin_close()) return;
    if (auto b = backend()) b->close();
    finish_close();
  }

 private:
  void fail(const std::string& err) {
    fail_with(svc_.text("err.ssh1_fail", {{"err", err}}));
  }
  std::shared_ptr<Ssh1Backend> backend() const {
    std::lock_guard<std::mutex> lock(mu_);
    return backend_;
  }

  KindServices& svc_;
  const Json data_;
  const double timeout_sec_;
  mutable std::mutex mu_;
  std::shared_ptr<Ssh1Backend> backend_;
};

}  // namespace

std::shared_ptr<Connection> Ssh1Kind::open(const OpenRequest& req) { return std::make_shared<Ssh1Connection>(*this, req); }

}  // namespace morvane::kinds
