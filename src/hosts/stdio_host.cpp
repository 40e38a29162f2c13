#include "hosts/stdio_host.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <system_error>

#include "platform/quit_signal.h"
#include "platform/threads.h"
#include "util/json.h"

namespace morvane {

namespace {
// A line longer than this is not a request anyone means; it is answered with an error and
// skipped rather than held whole in memory.
constexpr size_t kMaxLine = 64u << 20;

// Status items waiting for the poller; a feeder far ahead of it is told so.
constexpr size_t kMaxQueued = 256;

// Set by a quit signal (from its handler: a lock-free atomic store only).
std::atomic<bool> g_signalled{false};
}  // namespace

StdioHost::StdioHost(std::istream& in, std::ostream& out) : in_(in), sh_(std::make_shared<Shared>()) {
  sh_->out = &out;
  // std::cin flushes std::cout before each read unless untied: that flush would race the
  // answer threads' writes (and could write a line twice).
  in_.tie(nullptr);
  queues_["get_receipt"] = std::make_shared<LauncherQueue>();
  queues_["end"] = std::make_shared<LauncherQueue>();
  events_["end"] = std::make_shared<LauncherEvent>([sh = sh_] {
    Json ev = Json::object();
    ev["event"] = "end";
    sh->write_line(json::dump_line(ev, false));
  });
}

void StdioHost::Shared::write_line(const std::string& line) {
  std::lock_guard<std::mutex> lock(out_mu);
  *out << line << '\n';
  out->flush();
}

void StdioHost::evaluate(const std::string& script) {
  Json msg = Json::object();
  msg["page"] = script;
  sh_->write_line(json::dump_line(msg, false));
}

void StdioHost::create_window(const WindowSpec& spec, Bridge& bridge, std::function<bool()>) {
  bridge_ = &bridge;
  before_stop_ = spec.before_stop;
}

void StdioHost::Shared::answer(uint64_t seq, const Json& id, bool ok, const Json& payload) {
  {
    std::lock_guard<std::mutex> lock(calls_mu);
    // A call already answered at end of input stays answered.
    if (closed || running.erase(seq) == 0) return;
    Json msg = Json::object();
    msg["id"] = id;
    msg["ok"] = ok;
    msg[ok ? "result" : "error"] = payload;
    write_line(json::dump_line(msg, false));
  }
  calls_cv.notify_all();
}

void StdioHost::handle_line(const std::string& line) {
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;
  Json msg;
  try {
    msg = json::parse(line);
  } catch (const std::exception& e) {
    Json err = Json::object();
    err["id"] = nullptr;
    err["ok"] = false;
    err["error"] = std::string("invalid JSON: ") + e.what();
    sh_->write_line(json::dump_line(err, false));
    return;
  }
  Json id = msg.is_object() && msg.contains("id") ? msg["id"] : Json();
  auto fail = [&](const std::string& text) {
    Json err = Json::object();
    err["id"] = id;
    err["ok"] = false;
    err["error"] = text;
    sh_->write_line(json::dump_line(err, false));
  };
  if (!msg.is_object()) return fail("a request must be a JSON object");
  if (msg.contains("queue") && !msg.contains("op")) {
    const Json& q = msg["queue"];
    // Only the status feed is fed from outside; "end" is the program's word to the
    // launcher, and nobody here would ever take items out of it.
    auto it = q == Json("get_receipt") ? queues_.find("get_receipt") : queues_.end();
    if (it == queues_.end()) return fail("unknown queue: " + json::text_form(q));
    if (it->second->size() >= kMaxQueued) return fail("queue full: " + q.get<std::string>());
    it->second->put_nowait(json::get(msg, "item"));
    return;
  }
  const Json& op = json::get(msg, "op");
  if (!op.is_string() || op.get<std::string>().empty()) return fail("missing op");
  Json args = msg.contains("args") ? msg["args"] : Json::array();
  if (!args.is_array()) return fail("args must be a list");
  if (!bridge_) return fail("not ready");
  uint64_t seq;
  {
    std::lock_guard<std::mutex> lock(sh_->calls_mu);
    seq = sh_->next_seq++;
    sh_->running[seq] = id;
  }
  std::string name = op.get<std::string>();
  // Each call on its own thread: some block for minutes and must not stall the others.
  try {
    platform::start_detached([sh = sh_, bridge = bridge_, seq, id, name, args] {
      try {
        Json result = bridge->call(name, args);
        sh->answer(seq, id, true, result);
      } catch (const std::exception& e) {
        sh->answer(seq, id, false, e.what());
      }
    });
  } catch (const std::system_error& e) {
    // Out of threads: this call fails, the host and the calls already running go on.
    sh_->answer(seq, id, false, std::string("cannot start the call: ") + e.what());
  }
}

void StdioHost::read_fd_lines() {
  std::string buf;
  bool skipping = false;  // inside an over-long line, until its end
  char chunk[65536];
  for (;;) {
    size_t got = platform::read_input(input_fd, chunk, sizeof chunk);
    if (got == 0) break;
    size_t scan = buf.size();  // earlier bytes hold no line end
    buf.append(chunk, got);
    size_t from = 0;
    for (size_t nl; (nl = buf.find('\n', scan)) != std::string::npos; from = scan = nl + 1) {
      if (skipping) skipping = false;
      else handle_line(buf.substr(from, nl - from));
    }
    buf.erase(0, from);
    if (buf.size() > kMaxLine) {
      if (!skipping) {
        Json err = Json::object();
        err["id"] = nullptr;
        err["ok"] = false;
        err["error"] = "line too long";
        sh_->write_line(json::dump_line(err, false));
      }
      skipping = true;
      buf.clear();
    }
  }
  if (!buf.empty() && !skipping) handle_line(buf);
}

void StdioHost::prepare_signals() {
  if (!platform::prepare_input_interrupt()) return;
  platform::on_quit_signal([] {
    g_signalled = true;
    platform::interrupt_input();
  });
}

void StdioHost::run_loop() {
  if (input_fd >= 0) {
    read_fd_lines();
  } else {
    std::string line;
    while (std::getline(in_, line)) handle_line(line);
  }
  // At the end of input a script's waits still run their course (it may have asked for output
  // and closed its end at once); a quit signal ends them.
  if (g_signalled && before_stop_) before_stop_();
  std::unique_lock<std::mutex> lock(sh_->calls_mu);
  sh_->calls_cv.wait_for(lock, std::chrono::duration<double>(drain_timeout_sec), [&] { return sh_->running.empty(); });
  for (auto& [seq, id] : sh_->running) {
    Json err = Json::object();
    err["id"] = id;
    err["ok"] = false;
    err["error"] = "cancelled: the program is quitting";
    sh_->write_line(json::dump_line(err, false));
  }
  sh_->running.clear();
  sh_->closed = true;
}

}  // namespace morvane
