#include "transfer/tab_transfer.h"

#include <algorithm>
#include <chrono>

namespace morvane::transfer {

namespace {
// Time-outs of the protocols are seconds; a tenth of that is precise enough and cheap.
constexpr auto kIdleTick = std::chrono::milliseconds(50);
}  // namespace

uint64_t now_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TabTransfer::TabTransfer(xfer::XYZModemTransfer::Options options, Writer write, EventSink events)
    : write_(std::move(write)), events_(std::move(events)) {
  options.send_bytes = [this](std::string_view b) { enqueue(b); };
  options.on_event = [this](const xfer::Event& e) {
    if (events_) events_(e, this);
    if (e.value("kind", "") == "done") wake();
  };
  engine_ = std::make_unique<xfer::XYZModemTransfer>(std::move(options));
}

void TabTransfer::start() {
  std::lock_guard<std::mutex> lock(start_mu_);
  engine_->start(now_ms());
  started_ = true;
  if (!early_.empty()) {
    engine_->feed(early_, now_ms());
    early_.clear();
  }
  wake();
}

void TabTransfer::feed(std::string_view bytes) {
  {
    std::lock_guard<std::mutex> lock(start_mu_);
    if (!started_) {
      early_.append(bytes);
      return;
    }
  }
  engine_->feed(bytes, now_ms());
  wake();
}

void TabTransfer::cancel() {
  engine_->cancel();
  wake();
}

void TabTransfer::enqueue(std::string_view bytes) {
  std::lock_guard<std::mutex> lock(out_mu_);
  out_.append(bytes);
  woken_ = true;
  out_cv_.notify_one();
}

void TabTransfer::wake() {
  std::lock_guard<std::mutex> lock(out_mu_);
  woken_ = true;
  out_cv_.notify_one();
}

void TabTransfer::pump(const std::function<bool()>& stopping) {
  auto self = shared_from_this();  // the slot may drop us while we run
  // What the line has not taken yet. A byte skipped in the middle of a stream costs the
  // receiver an error and a resend from far back, so the rest is offered again, in order.
  std::string pending;
  for (;;) {
    // Asked without out_mu_: the engine's lock is taken before out_mu_ everywhere else.
    bool more = !engine_->is_done() && engine_->wants_tick();
    {
      std::unique_lock<std::mutex> lock(out_mu_);
      if (pending.empty() && out_.empty() && !woken_ && !more)
        out_cv_.wait_for(lock, kIdleTick, [&] { return woken_ || !out_.empty(); });
      woken_ = false;
      if (pending.empty()) pending.swap(out_);  // the usual case: no copy of a whole burst
      else {
        pending += out_;
        out_.clear();
      }
    }
    if (!pending.empty()) {
      size_t n = std::min(write_(pending), pending.size());
      pending.erase(0, n);
      if (pending.empty()) continue;  // a sender's next burst waits until this one is out
      // The line is held: the engine's clock still runs (its time-outs end a transfer whose
      // receiver is gone), and a finished transfer does not wait on a line that takes nothing.
      if (engine_->is_done() && n == 0) return;
      if (stopping()) engine_->cancel();
      engine_->tick(now_ms());
      continue;
    }
    if (engine_->is_done()) {
      std::lock_guard<std::mutex> lock(out_mu_);
      if (out_.empty()) return;
      continue;
    }
    if (stopping()) {
      engine_->cancel();
      continue;
    }
    engine_->tick(now_ms());
  }
}

}  // namespace morvane::transfer
