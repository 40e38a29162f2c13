#pragma once
// The tab record: one open terminal bound to one connection.
//
// Many threads hold a tab (the page's calls, its connect worker and reader, workers of its
// kind), so it is shared by std::shared_ptr and outlives its place in the tab table. Fields
// that cross threads are atomics or guarded by the tab's own mutexes; no lock is held during I/O.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "app/output_buffer.h"
#include "app/session_store.h"
#include "core/connection.h"
#include "core/transfer_slot.h"
#include "util/encoding.h"

namespace morvane {

struct Tab {
  explicit Tab(std::string tab_id) : id(std::move(tab_id)) {}

  const std::string id;

  // --- guarded by mu ---------------------------------------------------------------------
  mutable std::mutex mu;
  SessionRef session;
  std::string display;
  std::string protocol;
  std::string encoding;
  std::shared_ptr<Connection> connection;
  std::shared_ptr<TransferSlot> xfer;

  std::shared_ptr<Connection> conn() const {
    std::lock_guard<std::mutex> lock(mu);
    return connection;
  }
  std::shared_ptr<TransferSlot> transfer() const {
    std::lock_guard<std::mutex> lock(mu);
    return xfer;
  }
  SessionRef session_ref() const {
    std::lock_guard<std::mutex> lock(mu);
    return session;
  }
  std::string encoding_name() const {
    std::lock_guard<std::mutex> lock(mu);
    return encoding;
  }

  // No connection could be made at all (no kind serves the protocol, or it failed to open).
  std::atomic<bool> failed{false};
  std::atomic<bool> reading{true};

  // Alive: still connecting, or connected as its connection says.
  bool alive() const {
    if (failed.load()) return false;
    auto c = conn();
    return c ? c->alive() : true;
  }

  // --- receive path (decoder is swapped by the page, used by the reader) ------------------
  std::mutex decoder_mu;
  std::unique_ptr<encoding::Decoder> decoder;
  std::unique_ptr<TransferSniffer> sniffer;  // used by the reader thread only

  OutputBuffer output;
};

using TabRef = std::shared_ptr<Tab>;

}  // namespace morvane
