#pragma once
// SLIP framing as the ESP ROM loader uses it: 0xC0 delimits frames, 0xDB 0xDC stands for
// 0xC0 and 0xDB 0xDD for 0xDB. The decoder takes bytes in any chunking, ignores everything
// outside frames (boot messages, console text) and never holds more than its frame limit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::esp {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kSlipEnd = 0xC0;
inline constexpr uint8_t kSlipEsc = 0xDB;
inline constexpr uint8_t kSlipEscEnd = 0xDC;
inline constexpr uint8_t kSlipEscEsc = 0xDD;

// One complete frame, delimiters included.
Bytes slip_encode(const uint8_t* data, size_t size);
inline Bytes slip_encode(const Bytes& payload) { return slip_encode(payload.data(), payload.size()); }

class SlipDecoder {
 public:
  explicit SlipDecoder(size_t max_frame = 2048) : max_frame_(max_frame) {}

  // Appends every frame completed by these bytes to `frames`. Oversized frames and frames
  // with a bad escape are dropped whole and counted, never truncated into something valid.
  void feed(const uint8_t* data, size_t size, std::vector<Bytes>& frames);
  void feed(std::string_view data, std::vector<Bytes>& frames) {
    feed(reinterpret_cast<const uint8_t*>(data.data()), data.size(), frames);
  }

  // Forgets a partial frame (after a reset the board starts over).
  void reset();

  size_t dropped_frames() const { return dropped_; }

 private:
  size_t max_frame_;
  Bytes buf_;
  bool in_frame_ = false;
  bool escape_ = false;
  bool bad_ = false;
  size_t dropped_ = 0;
};

}  // namespace morvane::esp
