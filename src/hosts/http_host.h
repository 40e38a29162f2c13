#pragma once
// The browser host: the page and its bridge over HTTP on 127.0.0.1, for a real browser,
// scripts, and machines without a desktop (reached through an SSH tunnel).
//
//   GET  /?token=T                 the page
//   POST /bridge?token=T           {"op": NAME, "args": [...]} -> {"ok": true, "result": JSON}
//                                                               or {"ok": false, "error": TEXT}
//   GET  /events?token=T           server-sent events; each event's data is one page script
//   POST /queue?token=T            {"queue": "get_receipt", "item": JSON} feeds the launcher queue
// A request without the token, with a Host header that is not a loopback name, or with an
// Origin header that is not one, gets 403 and nothing else.
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "core/host.h"
#include "app/launcher.h"

namespace morvane {

class HttpHost final : public Host {
 public:
  // port 0 takes a free port. The page's address is written to `out` once listening.
  HttpHost(int port, std::ostream& out);
  ~HttpHost() override;

  // The launcher side: only the "get_receipt" queue, which POST /queue feeds.
  QueueMap queues() const;

  bool exists() override;
  // Sent to every connected page; a page that does not keep up is dropped (it reconnects).
  void evaluate(const std::string& script) override;
  // Binds and starts serving; throws when the port cannot be had.
  void create_window(const WindowSpec& spec, Bridge& bridge, std::function<bool()> on_closing) override;
  // Serves until SIGINT or SIGTERM arrives, or destroy() is called.
  void run_loop() override;
  void destroy() override;

  int port() const;
  std::string token() const;
  std::string url() const;

  // From now on SIGINT and SIGTERM end run_loop (and so quit in order) instead of killing
  // the process. SIGPIPE is ignored: a page may go away mid-answer.
  static void prepare_signals();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace morvane
