// A tab running a local shell in a pseudo-terminal.
//
// Ways the connection ends: the shell exits (read drains its last output, then ends); the tab
// is closed (the shell's process group is hung up and reaped); the pseudo-terminal fails.
#include "kinds/shell/shell_kind.h"

#include "backends/local_shell.h"
#include "util/text.h"

namespace morvane::kinds {

namespace {

class LocalShellConnection final : public Connection {
 public:
  LocalShellConnection(const OpenRequest& req) : Connection(req.sink), tab_id_(req.tab_id), svc_(req.services) {
    auto text_of = [&](const char* key) {
      const Json& v = json::get(req.session, key);
      return json::truthy(v) ? json::text_form(v) : std::string();
    };
    std::string shell = text_of("host");
    if (shell.empty()) shell = text_of("conpty_shell");
    if (shell.empty()) shell = "cmd";
    opts_.shell = text::lower_ascii(shell);
    std::string custom = text_of("conpty_custom_command");
    opts_.custom_command = opts_.shell == "custom" ? custom : std::string();
    opts_.working_dir = text_of("conpty_cwd");
    opts_.rows = 24;
    opts_.cols = 80;
    label_ = opts_.shell == "custom" && !custom.empty() ? custom : opts_.shell;
  }
  ~LocalShellConnection() override { close(); }

  // _start_conpty_impl
  void start() override {
    sink().notice(svc_.text("info.starting_local_shell", {{"label", label_}}));
    std::shared_ptr<Backend> pty;
    try {
      pty = make_local_shell(opts_);
      pty->connect();
    } catch (const std::exception& e) {
      fail_with(svc_.text("err.shell_start_fail", {{"err", e.what()}}));
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      pty_ = pty;
    }
    // Closed while starting: the shell goes at once.
    if (!advance(ConnectionState::connected)) pty->close();
  }
  std::string read(size_t max_bytes) override {
    auto p = pty();
    return p ? p->recv(max_bytes) : std::string();
  }
  void write(std::string_view bytes) override {
    auto p = pty();
    if (!p) throw std::runtime_error("the shell is not running");
    p->send(bytes);
  }
  bool resize(int rows, int cols) override {
    auto p = pty();
    if (!p) return false;
    p->resize(rows, cols);
    return true;
  }
  void close() noexcept override {
    if (!begin_close()) return;
    if (auto p = pty()) p->close();
    finish_close();
  }
  // A local shell speaks UTF-8 whatever the tab's encoding says.
  std::string decoding() const override { return "utf-8"; }

 private:
  std::shared_ptr<Backend> pty() const {
    std::lock_guard<std::mutex> lock(mu_);
    return pty_;
  }

  const std::string tab_id_;
  KindServices& svc_;
  LocalShellOptions opts_;
  std::string label_;
  mutable std::mutex mu_;
  std::shared_ptr<Backend> pty_;
};

class ShellKind final : public Kind {
 public:
  std::vector<std::string> protocols() const override { return {"conpty"}; }
  std::shared_ptr<Connection> open(const OpenRequest& req) override {
    return std::make_shared<LocalShellConnection>(req);
  }
};

}  // namespace

std::shared_ptr<Kind> make_shell_kind() { return std::make_shared<ShellKind>(); }

}  // namespace morvane::kinds
