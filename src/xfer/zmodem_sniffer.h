#pragma once
// Spots the start of a ZMODEM download in a tab's received bytes: the sender's ZRQINIT hex
// header ("**", ZDLE, "B00", eight hex digits and a CRC that must check). Ordinary text passes
// at the cost of one memchr for ZDLE, which text never contains; a program that merely prints
// "rz" or "**" never fires it. A header split across chunks is recognised: the few bytes from
// a ZDLE that could begin one are held back until the next chunk decides. A receiver's ZRINIT
// (a remote rz waiting for files) is reported too, and left in the terminal's bytes.
#include <string>
#include <string_view>

namespace morvane::xfer {

class ZmodemSniffer {
 public:
  struct Result {
    bool started = false;
    bool receiver_waiting = false;  // a remote receiver announced itself in this chunk
    // Views into the chunk given or into the detector: valid while the chunk lives and until
    // the next feed() or reset().
    std::string_view terminal;  // bytes for the terminal, in order
    std::string_view transfer;  // from the recognised start onwards
    // How much of `transfer` is the ZRQINIT header itself (pads, ZDLE, 'B' and the hex digits).
    std::size_t header_len = 0;
  };
  ZmodemSniffer() = default;
  Result feed(std::string_view data);
  void reset() { held_.clear(); }

 private:
  std::string held_;  // a possible header start at the end of the last chunk
  std::string joined_;
};

}  // namespace morvane::xfer
