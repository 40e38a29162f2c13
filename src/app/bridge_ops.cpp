// The operations the page may call, by name, with their positional arguments.
#include "app/morvane_app.h"

namespace morvane {

void MorvaneApp::register_ops() {
  Bridge& b = bridge;
  auto tab_arg = [](const Json& a) { return arg_text(a, 0, "tab_id"); };

  b.add("get_initial_state", 0, {}, [this](const Json&) { return get_initial_state(); });
  b.add("get_runtime_state", 0, {}, [this](const Json&) { return get_runtime_state(); });
  // Hidden tabs take small pieces, so each moves on without waking its producer.
  auto max_arg = [](const Json& a) -> size_t {
    if (!a[1].is_number() || a[1].get<double>() < 0)
      throw BridgeError("argument 'max_chars' must be a number of characters");
    const double max = a[1].get<double>();
    return max >= 1e15 ? 0 : static_cast<size_t>(max);
  };
  b.add("drain_terminal", 1, {Json(0)}, [this, tab_arg, max_arg](const Json& a) {
    std::string id = tab_arg(a);
    return Json(drain_terminal(id, max_arg(a)));
  });
  b.add("drain_terminals", 1, {Json(0)}, [this, max_arg](const Json& a) { return drain_terminals(a[0], max_arg(a)); });
  // The visible tab's stream: the page keeps two of these under way and orders the pieces.
  b.add("drain_terminal_piece", 1, {Json(0), Json(0), Json(0)}, [this, tab_arg, max_arg](const Json& a) {
    std::string id = tab_arg(a);
    if (!a[2].is_number() || a[2].get<double>() < 0)
      throw BridgeError("argument 'wait_sec' must be a number of seconds");
    if (!a[3].is_number() || a[3].get<double>() < 0)
      throw BridgeError("argument 'min_chars' must be a number of characters");
    const size_t min = static_cast<size_t>(std::min(a[3].get<double>(), 1e9));
    return drain_terminal_piece(id, max_arg(a), a[2].get<double>(), min);
  });
  b.add("set_language", 1, {}, [this](const Json& a) { return set_language(a[0]); });

  b.add("save_session", 1, {}, [this](const Json& a) {
    if (!a[0].is_object()) throw BridgeError("argument 'sess' must be a record");
    return save_session(a[0]);
  });
  b.add("delete_session", 1, {}, [this](const Json& a) { return delete_session(arg_text(a, 0, "session_id")); });

  b.add("connect_session", 1, {}, [this](const Json& a) { return connect_session(arg_text(a, 0, "session_id")); });
  b.add("close_tab", 1, {}, [this, tab_arg](const Json& a) { return close_tab(tab_arg(a)); });
  b.add("send_input", 2, {}, [this, tab_arg](const Json& a) {
    std::string id = tab_arg(a);
    return Json(send_input(id, arg_text(a, 1, "data")));
  });
  b.add("resize_pty", 3, {}, [this, tab_arg](const Json& a) { return Json(resize_pty(tab_arg(a), a[1], a[2])); });
  b.add("set_tab_encoding", 2, {}, [this, tab_arg](const Json& a) {
    std::string id = tab_arg(a);
    return Json(set_tab_encoding(id, arg_text(a, 1, "encoding")));
  });
  b.add("get_tab_reading", 1, {}, [this, tab_arg](const Json& a) { return get_tab_reading(tab_arg(a)); });
  b.add("wait_terminal_output", 1, {Json(1.0)}, [this](const Json& a) {
    if (!a[1].is_number() || a[1].get<double>() < 0)
      throw BridgeError("argument 'timeout_sec' must be a number of seconds");
    return wait_terminal_output(a[0], a[1].get<double>());
  });
  b.add("toggle_tab_reading", 1, {}, [this, tab_arg](const Json& a) { return toggle_tab_reading(tab_arg(a)); });
}

}  // namespace morvane
