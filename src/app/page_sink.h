#pragma once
// Every script the native side evaluates in the page, written in one place: the page functions
// and the exact form of their arguments are part of the page's contract.
#include <atomic>
#include <string>

#include "core/host.h"
#include "util/json.h"

namespace morvane {

class PageSink {
 public:
  void attach(Host* host) { host_.store(host); }
  Host* host() const { return host_.load(); }

  // setTerminalInfo(tab, message, is_error): a notice line in a tab.
  void terminal_info(const std::string& tab_id, const std::string& message, bool is_error);
  // terminalConnected(tab): the tab's connection is up.
  void terminal_connected(const std::string& tab_id);
  // xferOnEvent(tab, event): a file transfer's progress or end; the event keeps non-ASCII text.
  void xfer_event(const std::string& tab_id, const Json& event);
  // Any other page call; dropped while there is no page, never throws.
  void evaluate(const std::string& script);

 private:
  std::atomic<Host*> host_{nullptr};
};

}  // namespace morvane
