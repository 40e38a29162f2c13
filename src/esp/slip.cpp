// SLIP codec for the ESP ROM loader's serial link (see slip.h for the rules).
#include "esp/slip.h"

namespace morvane::esp {

Bytes slip_encode(const uint8_t* data, size_t size) {
  Bytes out;
  out.reserve(size + size / 16 + 2);
  out.push_back(kSlipEnd);
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = data[i];
    if (b == kSlipEnd) {
      out.push_back(kSlipEsc);
      out.push_back(kSlipEscEnd);
    } else if (b == kSlipEsc) {
      out.push_back(kSlipEsc);
      out.push_back(kSlipEscEsc);
    } else {
      out.push_back(b);
    }
  }
  out.push_back(kSlipEnd);
  return out;
}

void SlipDecoder::reset() {
  buf_.clear();
  in_frame_ = false;
  escape_ = false;
  bad_ = false;
}

void SlipDecoder::feed(const uint8_t* data, size_t size, std::vector<Bytes>& frames) {
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = data[i];
    if (b == kSlipEnd) {
      // Every delimiter both ends a frame and may start the next: a lost opening byte costs
      // one frame, not the rest of the session.
      if (in_frame_) {
        if (bad_ || escape_) {
          ++dropped_;
        } else if (!buf_.empty()) {
          frames.push_back(std::move(buf_));
        }
      }
      buf_.clear();
      in_frame_ = true;
      escape_ = false;
      bad_ = false;
      continue;
    }
    if (!in_frame_ || bad_) continue;
    if (escape_) {
      escape_ = false;
      if (b == kSlipEscEnd) {
        b = kSlipEnd;
      } else if (b == kSlipEscEsc) {
        b = kSlipEsc;
      } else {
        bad_ = true;
        buf_.clear();
        continue;
      }
    } else if (b == kSlipEsc) {
      escape_ = true;
      continue;
    }
    if (buf_.size() >= max_frame_) {
      bad_ = true;
      buf_.clear();
      buf_.shrink_to_fit();
      continue;
    }
    buf_.push_back(b);
  }
}

}  // namespace morvane::esp
