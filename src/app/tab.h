#pragma once
// The tab record: one open terminal bound to one connection.
//
// Many threads hold a tab (the page's calls, its connect worker, its reader), so it is shared
// by std::shared_ptr and outlives its place in the tab table. Fields that cross threads are
// atomics or guarded by the tab's own mutexes; no lock is held during I/O.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/session_store.h"
#include "backends/backend.h"
#include "util/encoding.h"

namespace morvane {

// Handle keys in the order input is routed (channel first) and handles are closed.
enum class HandleKey { channel, client, serial, telnet, raw, ssh1, rlogin, supdup, conpty };
inline constexpr HandleKey kAllHandleKeys[] = {HandleKey::channel, HandleKey::client, HandleKey::serial,
                                               HandleKey::telnet,  HandleKey::raw,    HandleKey::ssh1,
                                               HandleKey::rlogin,  HandleKey::supdup, HandleKey::conpty};
const char* handle_key_name(HandleKey k);
std::optional<HandleKey> handle_key_from_name(const std::string& name);

// Whatever owns the tab's incoming bytes while it runs: a file transfer or a flashing session.
class TransferSlot {
 public:
  virtual ~TransferSlot() = default;
  virtual bool is_done() const = 0;
  virtual void feed(std::string_view bytes) = 0;
  virtual void cancel() = 0;
};

// Watches received bytes for the start of a transfer towards this side.
class TransferSniffer {
 public:
  virtual ~TransferSniffer() = default;
  struct Result {
    bool started = false;
    std::string terminal;  // bytes that belong to the terminal
    std::string transfer;  // bytes that belong to the new transfer
  };
  virtual Result feed(std::string_view bytes) = 0;
  virtual void reset() = 0;
};

struct Tab {
  explicit Tab(std::string tab_id) : id(std::move(tab_id)) {}

  const std::string id;

  // --- guarded by mu ---------------------------------------------------------------------
  mutable std::mutex mu;
  SessionRef session;
  std::string display;
  std::string protocol;
  std::string encoding;
  std::string tmp_keyfile;
  std::shared_ptr<Backend> handles[std::size(kAllHandleKeys)];
  std::shared_ptr<TransferSlot> xfer;

  std::shared_ptr<Backend> handle(HandleKey k) const {
    std::lock_guard<std::mutex> lock(mu);
    return handles[static_cast<size_t>(k)];
  }
  void set_handle(HandleKey k, std::shared_ptr<Backend> h) {
    std::lock_guard<std::mutex> lock(mu);
    handles[static_cast<size_t>(k)] = std::move(h);
  }
  SessionRef session_ref() const {
    std::lock_guard<std::mutex> lock(mu);
    return session;
  }
  std::string encoding_name() const {
    std::lock_guard<std::mutex> lock(mu);
    return encoding;
  }

  std::atomic<bool> alive{true};
  std::atomic<bool> reading{true};

  // --- receive path (decoder is swapped by the page, used by the reader) ------------------
  std::mutex decoder_mu;
  std::unique_ptr<encoding::Decoder> decoder;
  std::unique_ptr<TransferSniffer> sniffer;  // used by the reader thread only

  // --- output buffer -------------------------------------------------------------------------
  std::mutex eol_mu;  // translation state, kept across chunks
  bool eol_prev_cr = false;
  std::mutex buf_mu;
  std::deque<std::string> buffer;
  std::deque<size_t> buffer_chars;  // code points of each chunk
  size_t buffer_total = 0;
  bool buffer_created = false;
};

using TabRef = std::shared_ptr<Tab>;

}  // namespace morvane
