#pragma once
// What may own a tab's incoming bytes for a while (a file transfer, a flashing session), and the
// detector that notices a transfer the remote side starts. The receive path feeds them; the
// components that make them live in their own folders.
#include <string>
#include <string_view>

namespace morvane {

// Whatever owns the tab's incoming bytes while it runs: a file transfer or a flashing session.
class TransferSlot {
 public:
  virtual ~TransferSlot() = default;
  virtual bool is_done() const = 0;
  virtual void feed(std::string_view bytes) = 0;
  virtual void cancel() = 0;
  // What the page's status query reports of it.
  virtual std::string protocol() const { return {}; }
  virtual std::string direction() const { return {}; }
};

// Watches received bytes for the start of a transfer towards this side.
class TransferSniffer {
 public:
  virtual ~TransferSniffer() = default;
  struct Result {
    bool started = false;
    bool receiver_waiting = false;  // a remote receiver (rz) waits for files: offer to send some
    // Every byte given is for the terminal, unchanged (the common case): `terminal` stays
    // empty rather than holding a copy.
    bool passthrough = false;
    std::string terminal;  // bytes that belong to the terminal
    std::string transfer;  // bytes for the new transfer, after the header that started it
  };
  virtual Result feed(std::string_view bytes) = 0;
  virtual void reset() = 0;
};

}  // namespace morvane
