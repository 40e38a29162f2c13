#pragma once
// One engine in one tab's transfer slot. The reader feeds it; a pump thread of its own writes
// what the engine hands out, drives its clock (time-outs) and, for a sender, pulls the next
// burst once the previous one has been written. The engine never writes to the connection
// itself: a blocking write inside feed() would stall the reader that must drain the peer's
// answers, so outgoing bytes are queued and written by the pump, outside the engine's lock.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/transfer_slot.h"
#include "xfer/xyz_transfer.h"

namespace morvane::transfer {

class TabTransfer final : public TransferSlot, public std::enable_shared_from_this<TabTransfer> {
 public:
  // Writes what it can and answers how many bytes went out; the rest is offered again.
  using Writer = std::function<size_t(std::string_view)>;
  using EventSink = std::function<void(const xfer::Event&, const TransferSlot*)>;

  // options' send_bytes and on_event are replaced by the queue and `events`.
  // Throws std::invalid_argument for an unknown protocol or direction.
  TabTransfer(xfer::XYZModemTransfer::Options options, Writer write, EventSink events);

  // Begins the transfer; bytes fed before this are kept for it.
  void start();
  // The pump: returns when the transfer is done and its last bytes are written (or the line
  // takes none of them), or when stopping() turns true (the transfer is cancelled first).
  void pump(const std::function<bool()>& stopping);

  bool is_done() const override { return engine_->is_done(); }
  void feed(std::string_view bytes) override;
  void cancel() override;
  std::string protocol() const override { return engine_->protocol; }
  std::string direction() const override { return engine_->direction; }

 private:
  void enqueue(std::string_view bytes);
  void wake();

  Writer write_;
  EventSink events_;
  std::unique_ptr<xfer::XYZModemTransfer> engine_;

  std::mutex start_mu_;  // start() against an early feed()
  bool started_ = false;
  std::string early_;

  std::mutex out_mu_;
  std::condition_variable out_cv_;
  std::string out_;
  bool woken_ = false;
};

uint64_t now_ms();

}  // namespace morvane::transfer
