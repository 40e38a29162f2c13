// Shared engine steps: progress and "done" events, and the receive side's file handling.
#include "xfer/engine.h"

#include "xfer/zmodem_frame.h"

namespace morvane::xfer {

void Engine::cancel(std::string reason) {
  if (done_) return;
  send(zm::cancel_sequence());
  finish(false, reason);
}

void Engine::finish(bool ok, const std::string& reason) {
  if (done_) return;
  done_ = true;
  if (sink_) {
    sink_->discard();
    sink_.reset();
  }
  Event e{{"kind", "done"}, {"ok", ok}};
  if (!ok) e["reason"] = reason;
  if (ctx_.on_event) ctx_.on_event(e);
}

void Engine::begin_file(const std::string& name, uint64_t total, bool total_known, uint64_t now) {
  file_name_ = name;
  file_total_ = total;
  total_known_ = total_known;
  file_done_ = 0;
  file_start_ = now;
  last_progress_ = 0;
  advance(0, now, true);
}

void Engine::advance(uint64_t done_bytes, uint64_t now, bool force) {
  file_done_ = done_bytes;
  if (!force && now - last_progress_ < kProgressEveryMs) return;
  last_progress_ = now;
  double secs = static_cast<double>(now - file_start_) / 1000.0;
  double rate = secs > 0 ? static_cast<double>(done_bytes) / secs : 0.0;
  Event e{{"kind", "progress"}, {"file", file_name_}, {"done", done_bytes}};
  if (total_known_) e["total"] = file_total_;
  else e["total"] = nullptr;
  e["rate"] = static_cast<uint64_t>(rate);
  if (ctx_.on_event) ctx_.on_event(e);
}

void Engine::file_saved(const std::string& path) {
  Event e{{"kind", "file"}, {"file", file_name_}, {"path", path}, {"size", file_done_}};
  if (ctx_.on_event) ctx_.on_event(e);
}

bool Engine::open_sink(std::string_view peer_name, std::string& reason) {
  std::string name = sanitize_name(peer_name);
  std::string err;
  sink_ = ctx_.files ? ctx_.files->create(ctx_.save_dir, name, err) : nullptr;
  if (!sink_) {
    reason = "cannot create " + name + " in " + ctx_.save_dir + ": " + err;
    return false;
  }
  file_name_ = name;
  return true;
}

bool Engine::write_sink(const uint8_t* p, size_t n) {
  std::string err;
  if (!sink_ || n == 0) return true;
  if (!sink_->write(p, n, err)) {
    cancel("writing " + file_name_ + ": " + err);
    return false;
  }
  return true;
}

bool Engine::commit_sink() {
  if (!sink_) return true;
  std::string path, err;
  if (!sink_->commit(path, err)) {
    cancel("saving " + file_name_ + ": " + err);
    return false;
  }
  sink_.reset();
  advance(file_done_, now_, true);
  file_saved(path);
  return true;
}

}  // namespace morvane::xfer
