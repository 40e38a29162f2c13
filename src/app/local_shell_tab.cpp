// A tab running a local shell in a pseudo-terminal.
#include "app/morvane_app.h"
#include "backends/local_shell.h"
#include "util/encoding.h"
#include "util/text.h"

namespace morvane {

void MorvaneApp::_start_conpty_impl(const std::string& tab_id, const SessionRef& sess, const TabRef& tab) {
  Json data = sess ? sess->snapshot() : Json::object();
  auto text_of = [&](const char* key) {
    const Json& v = json::get(data, key);
    return json::truthy(v) ? json::text_form(v) : std::string();
  };
  std::string shell = text_of("host");
  if (shell.empty()) shell = text_of("conpty_shell");
  if (shell.empty()) shell = "cmd";
  shell = text::lower_ascii(shell);
  std::string custom = text_of("conpty_custom_command");
  std::string cwd = text_of("conpty_cwd");
  std::string label = shell == "custom" && !custom.empty() ? custom : shell;

  _push_info(tab_id, _t("info.starting_local_shell", {{"label", label}}));
  std::shared_ptr<Backend> backend;
  try {
    LocalShellOptions opts;
    opts.shell = shell;
    opts.custom_command = shell == "custom" ? custom : std::string();
    opts.rows = 24;
    opts.cols = 80;
    opts.working_dir = cwd;
    backend = make_local_shell(opts);
    backend->connect();
  } catch (const std::exception& e) {
    _push_info(tab_id, _t("err.shell_start_fail", {{"err", e.what()}}), true);
    tab->alive = false;
    return;
  }
  if (!_store_handle(tab_id, tab, HandleKey::conpty, backend)) return;
  {
    // A local shell speaks UTF-8 whatever the tab's encoding says.
    std::lock_guard<std::mutex> lock(tab->decoder_mu);
    tab->decoder = encoding::make_decoder("utf-8");
  }
  _push_connected(tab_id);
  spawn_daemon([this, tab_id] { _socket_reader_loop(tab_id, HandleKey::conpty); });
}

}  // namespace morvane
