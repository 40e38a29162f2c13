#include "app/page_sink.h"

#include "util/json.h"

namespace morvane {

void PageSink::evaluate(const std::string& script) {
  Host* w = host();
  // Host::evaluate never throws; exists() is false until the page can take calls.
  if (w && w->exists()) w->evaluate(script);
}

void PageSink::terminal_info(const std::string& tab_id, const std::string& message, bool is_error) {
  evaluate("setTerminalInfo(" + json::quote(tab_id, true) + ", " + json::quote(message, true) + ", " +
           (is_error ? "true" : "false") + ")");
}

void PageSink::terminal_connected(const std::string& tab_id) {
  evaluate("terminalConnected(" + json::quote(tab_id, true) + ")");
}

void PageSink::xfer_event(const std::string& tab_id, const Json& event) {
  evaluate("if(window.xferOnEvent) xferOnEvent(" + json::quote(tab_id, false) + ", " + json::dump_line(event, false) + ")");
}

}  // namespace morvane
