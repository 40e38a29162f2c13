#pragma once
// The stdio host: JSON lines on standard input and output, for scripting and tests.
//
//   in:  {"id": ANY, "op": NAME, "args": [...]}      -> {"id": SAME, "ok": true, "result": JSON}
//                                                       or {"id": SAME, "ok": false, "error": TEXT}
//   in:  {"queue": "get_receipt", "item": JSON}      -> the item goes into that launcher queue
//   out: {"page": SCRIPT}                             every script evaluated in the page
//   out: {"event": "end"}                             when the launcher's "end" event is set
// Calls start in input order and run concurrently; end of input means the user quit, and so
// do SIGINT and SIGTERM once prepare_signals() has run.
#include <condition_variable>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>

#include "core/host.h"
#include "app/launcher.h"

namespace morvane {

class StdioHost final : public Host {
 public:
  StdioHost(std::istream& in, std::ostream& out);

  // The launcher side of this host: the "get_receipt" and "end" queues and the "end" event.
  QueueMap queues() const { return queues_; }
  EventMap events() const { return events_; }

  bool exists() override { return true; }
  void evaluate(const std::string& script) override;
  void create_window(const WindowSpec& spec, Bridge& bridge, std::function<bool()> on_closing) override;
  void run_loop() override;

  // How long end of input waits for calls still running.
  double drain_timeout_sec = 5.0;

  // Read input from this descriptor instead of the stream given (main passes standard
  // input), so that a quit signal can end the read.
  int input_fd = -1;

  // From now on SIGINT and SIGTERM end run_loop as end of input does (calls in flight are
  // answered, the launcher gets its "end") instead of killing the process.
  static void prepare_signals();

 private:
  // What call threads share with the host; a call that finishes after the host stopped
  // finds it closed and writes nothing.
  struct Shared {
    std::ostream* out;
    std::mutex out_mu;
    std::mutex calls_mu;
    std::condition_variable calls_cv;
    uint64_t next_seq = 0;
    std::map<uint64_t, Json> running;  // call sequence -> its id, until answered
    bool closed = false;
    void write_line(const std::string& line);
    void answer(uint64_t seq, const Json& id, bool ok, const Json& payload);
  };

  void handle_line(const std::string& line);
  // Lines from input_fd until end of input or a quit signal.
  void read_fd_lines();

  std::istream& in_;
  std::shared_ptr<Shared> sh_;
  Bridge* bridge_ = nullptr;
  std::function<void()> before_stop_;
  QueueMap queues_;
  EventMap events_;
};

}  // namespace morvane
