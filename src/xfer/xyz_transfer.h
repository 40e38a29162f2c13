#pragma once
// One file transfer in a tab: picks the engine for a protocol name and a direction and gives
// the caller a small, thread-safe surface. The caller (a tab's reader thread) feeds received
// bytes and calls tick() with its clock; outgoing bytes leave through send_bytes, progress and
// the final "done" event through on_event. Nothing here sleeps, owns a thread or a socket.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "xfer/engine.h"

namespace morvane::xfer {

class XYZModemTransfer {
 public:
  struct Options {
    std::string protocol;   // "xmodem", "xmodem-crc", "xmodem-1k", "ymodem", "ymodem-g", "zmodem"
    std::string direction;  // "send" or "recv"
    std::function<void(std::string_view)> send_bytes;
    std::function<void(const Event&)> on_event;
    std::vector<std::string> files;  // for "send"; for an XMODEM "recv", the first names the file
    std::string save_dir;            // for "recv"
    std::shared_ptr<FileAccess> file_access;  // the local disk when empty
    bool escape_ctl = false;  // ZMODEM receive: ask the sender to escape all control characters
  };

  // Events and outgoing bytes are delivered from inside start/feed/tick/cancel, on the calling
  // thread. A handler may call back into the transfer but must not destroy it: whoever keeps
  // the transfer in a slot should hold it by shared_ptr and release it after the call returns.
  static bool known_protocol(std::string_view protocol);
  // Throws std::invalid_argument for an unknown protocol or direction.
  explicit XYZModemTransfer(Options options);
  ~XYZModemTransfer();

  const std::string protocol;
  const std::string direction;

  void start(uint64_t now_ms);
  void feed(std::string_view data, uint64_t now_ms);
  void tick(uint64_t now_ms);
  // Stops the transfer: the peer gets the cancel sequence, then one "done" event with ok false.
  void cancel();
  bool is_done() const { return done_.load(); }
  // A sender with more data to stream right now: call tick() again once its output drained.
  bool wants_tick() const;

 private:
  uint64_t clock(uint64_t now_ms);  // never earlier than a time already given; under mu_

  mutable std::recursive_mutex mu_;
  std::unique_ptr<Engine> engine_;
  uint64_t latest_ms_ = 0;
  std::atomic<bool> done_{false};
};

}  // namespace morvane::xfer
