// XMODEM and YMODEM engines (see xymodem.h).
#include "xfer/xymodem.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "xfer/crc.h"

namespace morvane::xfer {
namespace {
constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, CPMEOF = 0x1A;
constexpr uint64_t kStartRepeatMs = 3000, kBlockTimeoutMs = 10000, kSenderWaitMs = 60000;
constexpr int kRetries = 10;

std::string one(uint8_t c) { return std::string(1, static_cast<char>(c)); }
}  // namespace

bool XYMode::from_name(const std::string& p, XYMode& m) {
  m = XYMode{};
  if (p == "xmodem") m.crc = false;
  else if (p == "xmodem-crc") {}
  else if (p == "xmodem-1k") m.big = true;
  else if (p == "ymodem") m.ymodem = m.big = true;
  else if (p == "ymodem-g") m.ymodem = m.big = m.stream = true;
  else return false;
  return true;
}

// ---------------------------------------------------------------- receiver

void XYModemReceiver::start(uint64_t now_ms) {
  now_ = last_rx_ = now_ms;
  expected_ = mode_.ymodem ? 0 : 1;
  if (!mode_.ymodem) {
    std::string reason;
    if (!open_sink(xmodem_name_, reason)) {
      cancel(reason);
      return;
    }
    in_file_ = true;
    begin_file(file_name_, 0, false, now_ms);
  }
  ++start_tries_;
  send_start_char();
}

void XYModemReceiver::feed(const uint8_t* p, size_t n, uint64_t now_ms) {
  if (done_) return;
  now_ = now_ms;
  buf_.append(reinterpret_cast<const char*>(p), n);
  process();
}

void XYModemReceiver::tick(uint64_t now_ms) {
  if (done_) return;
  now_ = now_ms;
  uint64_t limit = started_ ? kBlockTimeoutMs : kStartRepeatMs;
  if (now_ms - last_rx_ < limit) return;
  last_rx_ = now_ms;
  buf_.clear();
  if (!started_) {
    // XMODEM-CRC senders that know only checksums never answer 'C': fall back after three.
    if (mode_.crc && !mode_.ymodem && !mode_.big && start_tries_ == 3) mode_.crc = false;
    if (++start_tries_ > kRetries) {
      cancel("the sender did not start");
      return;
    }
    send_start_char();
    return;
  }
  if (++retries_ > kRetries) {
    cancel("no answer from the sender");
    return;
  }
  if (mode_.stream) {
    cancel("the sender stopped in the middle of a YMODEM-G file");
    return;
  }
  send(one(NAK));
}

void XYModemReceiver::process() {
  size_t i = 0;
  while (i < buf_.size() && !done_) {
    auto c = static_cast<uint8_t>(buf_[i]);
    if (c == SOH || c == STX) {
      size_t bs = c == SOH ? 128 : 1024;
      size_t need = 3 + bs + (mode_.crc ? 2 : 1);
      if (buf_.size() - i < need) break;
      auto* b = reinterpret_cast<const uint8_t*>(buf_.data() + i);
      bool ok = static_cast<uint8_t>(b[1] ^ b[2]) == 0xFF;
      if (ok && mode_.crc) {
        ok = crc16(0, b + 3, bs) == (uint16_t(b[3 + bs]) << 8 | b[4 + bs]);
      } else if (ok) {
        uint8_t sum = 0;
        for (size_t k = 0; k < bs; ++k) sum = static_cast<uint8_t>(sum + b[3 + k]);
        ok = sum == b[3 + bs];
      }
      last_rx_ = now_;
      started_ = true;
      if (!ok) {
        if (mode_.stream) {
          cancel("a block arrived damaged; YMODEM-G cannot repeat it");
          return;
        }
        // Drop what we have; the sender repeats the block after our NAK.
        i = buf_.size();
        if (++retries_ > kRetries) {
          cancel("too many damaged blocks");
          return;
        }
        send(one(NAK));
        break;
      }
      retries_ = 0;
      if (!block(b[1], b + 3, bs)) return;
      i += need;
    } else if (c == EOT) {
      last_rx_ = now_;
      ++i;
      eot();
    } else if (c == CAN) {
      if (i + 1 >= buf_.size()) break;
      if (static_cast<uint8_t>(buf_[i + 1]) == CAN) {
        finish(false, "the sender cancelled the transfer");
        return;
      }
      ++i;
    } else {
      ++i;  // noise between blocks
    }
  }
  if (!done_) buf_.erase(0, i);
}

bool XYModemReceiver::block(uint8_t num, const uint8_t* data, size_t size) {
  if (mode_.ymodem && !in_file_) {
    if (num != 0) {
      // A repeated last data block after our ACK was lost; acknowledge it again.
      if (!mode_.stream) send(one(ACK));
      return true;
    }
    std::string_view info(reinterpret_cast<const char*>(data), size);
    std::string name(info.substr(0, info.find('\0')));
    if (name.empty()) {
      send(one(ACK));
      finish(true);
      return false;
    }
    std::string reason;
    if (!open_sink(name, reason)) {
      cancel(reason);
      return false;
    }
    size_t nul = info.find('\0');
    uint64_t v = 0;
    size_t k = nul + 1, digits = 0;
    while (k < info.size() && info[k] >= '0' && info[k] <= '9' && digits < 19) v = v * 10 + uint64_t(info[k++] - '0'), ++digits;
    size_known_ = digits > 0;
    remaining_ = v;
    received_ = 0;
    in_file_ = true;
    expected_ = 1;
    begin_file(file_name_, v, size_known_, now_);
    send(one(ACK));
    send_start_char();
    return true;
  }
  if (num == expected_) {
    size_t take = size;
    if (mode_.ymodem && size_known_) take = static_cast<size_t>(std::min<uint64_t>(size, remaining_));
    if (!write_sink(data, take)) return false;
    remaining_ -= std::min<uint64_t>(remaining_, take);
    received_ += take;
    expected_ = static_cast<uint8_t>(expected_ + 1);
    advance(received_, now_);
    if (!mode_.stream) send(one(ACK));
    return true;
  }
  if (num == static_cast<uint8_t>(expected_ - 1)) {
    if (!mode_.stream) send(one(ACK));  // our ACK was lost: the sender repeated the block
    return true;
  }
  cancel("blocks arrived out of order");
  return false;
}

void XYModemReceiver::eot() {
  if (!in_file_) {
    send(one(ACK));
    return;
  }
  if (!commit_sink()) return;
  in_file_ = false;
  send(one(ACK));
  if (!mode_.ymodem) {
    finish(true);
    return;
  }
  expected_ = 0;
  send_start_char();
}

// ---------------------------------------------------------------- sender

void XYModemSender::start(uint64_t now_ms) {
  now_ = start_ = last_rx_ = now_ms;
  if (!mode_.ymodem && !open_next()) return;
}

bool XYModemSender::open_next() {
  src_.reset();
  if (next_index_ >= ctx_.paths.size()) return false;
  const std::string& path = ctx_.paths[next_index_++];
  std::string err;
  src_ = ctx_.files ? ctx_.files->open_read(path, err) : nullptr;
  if (!src_) {
    cancel("cannot read " + path + ": " + err);
    return false;
  }
  file_name_ = base_name(path);
  pos_ = 0;
  blk_ = 1;
  begin_file(file_name_, src_->size(), true, now_);
  return true;
}

void XYModemSender::feed(const uint8_t* p, size_t n, uint64_t now_ms) {
  now_ = now_ms;
  for (size_t i = 0; i < n && !done_; ++i) on_byte(p[i]);
}

void XYModemSender::send_block0() {
  std::string info;
  if (src_) {
    info = file_name_;
    info.push_back('\0');
    char meta[64];
    std::snprintf(meta, sizeof meta, "%llu %llo 100644", static_cast<unsigned long long>(src_->size()),
                  static_cast<unsigned long long>(std::max<int64_t>(src_->mtime(), 0)));
    info += meta;
  }
  size_t bs = info.size() + 1 <= 128 ? 128 : 1024;
  info.resize(bs, '\0');
  block_.assign(1, static_cast<char>(bs == 128 ? SOH : STX));
  block_ += static_cast<char>(0);
  block_ += static_cast<char>(0xFF);
  block_ += info;
  uint16_t c = crc16(0, reinterpret_cast<const uint8_t*>(info.data()), bs);
  block_ += static_cast<char>(c >> 8);
  block_ += static_cast<char>(c);
  state_ = State::WaitAck0;
  send(block_);
}

bool XYModemSender::make_block() {
  if (!src_) return false;
  uint64_t left = src_->size() > pos_ ? src_->size() - pos_ : 0;
  if (left == 0) return false;
  // The tail goes in 128-byte blocks, as lrzsz does, so XMODEM-1K pads at most 127 bytes.
  size_t bs = mode_.big && left >= 1024 ? 1024 : 128;
  std::string data(bs, static_cast<char>(CPMEOF));
  std::string err;
  long n = src_->read(pos_, reinterpret_cast<uint8_t*>(data.data()), std::min<uint64_t>(bs, left), err);
  if (n <= 0) {
    if (n < 0) cancel("reading " + file_name_ + ": " + err);
    return false;
  }
  block_len_ = static_cast<uint64_t>(n);
  block_.assign(1, static_cast<char>(bs == 128 ? SOH : STX));
  block_ += static_cast<char>(blk_);
  block_ += static_cast<char>(~blk_);
  block_ += data;
  auto* d = reinterpret_cast<const uint8_t*>(data.data());
  if (mode_.crc) {
    uint16_t c = crc16(0, d, bs);
    block_ += static_cast<char>(c >> 8);
    block_ += static_cast<char>(c);
  } else {
    uint8_t sum = 0;
    for (size_t k = 0; k < bs; ++k) sum = static_cast<uint8_t>(sum + d[k]);
    block_ += static_cast<char>(sum);
  }
  return true;
}

void XYModemSender::send_eot() {
  state_ = State::WaitEotAck;
  block_.assign(1, static_cast<char>(EOT));
  send(block_);
}

void XYModemSender::resend() {
  if (++retries_ > kRetries) {
    cancel("too many repeats");
    return;
  }
  send(block_);
}

void XYModemSender::defer(uint8_t c) {
  if (deferred_ < 0) deferred_at_ = now_;
  deferred_ = c;
}

void XYModemSender::answer_start(uint8_t c) {
  if (state_ == State::WaitAck0 || state_ == State::WaitAck) {
    // The receiver asks again: block 0 or the first block was lost.
    resend();
    return;
  }
  if (state_ == State::WaitStart) {
    mode_.crc = c != NAK;
    g_ = c == 'G' && mode_.stream;
    retries_ = 0;
    if (mode_.ymodem) {
      batch_end_ = !open_next();
      if (done_) return;
      send_block0();
      return;
    }
  }
  if (!src_) return;
  if (g_) {
    state_ = State::Streaming;
    tick(now_);
    return;
  }
  state_ = State::WaitAck;
  if (make_block()) send(block_);
  else if (!done_) send_eot();
}

void XYModemSender::on_byte(uint8_t c) {
  if (c == CAN) {
    if (++cans_ >= 2) finish(false, "the receiver cancelled the transfer");
    return;
  }
  cans_ = 0;
  last_rx_ = now_;
  switch (state_) {
    case State::WaitStart:
    case State::WaitData:
      if (c != 'C' && c != NAK && c != 'G') return;
      defer(c);
      return;
    case State::WaitAck0:
      if (c == ACK) {
        retries_ = 0;
        if (batch_end_) {
          finish(true);
          return;
        }
        state_ = State::WaitData;
      } else if (c == NAK) {
        resend();
      } else if (c == 'C') {
        defer(c);
      } else if (c == 'G' && g_ && !batch_end_) {
        state_ = State::Streaming;
        tick(now_);
      }
      return;
    case State::WaitAck:
      if (c == ACK) {
        retries_ = 0;
        pos_ += block_len_;
        blk_ = static_cast<uint8_t>(blk_ + 1);
        advance(pos_, now_);
        if (make_block()) send(block_);
        else if (!done_) send_eot();
      } else if (c == NAK) {
        resend();
      } else if (c == 'C' && blk_ == 1 && pos_ == 0) {
        // A 'C' asks again only for the first block; later it is a stale start request, and
        // answering it would make the receiver acknowledge a block twice.
        defer(c);
      }
      return;
    case State::Streaming:
      return;
    case State::WaitEotAck:
      if (c == ACK && src_) {
        retries_ = 0;
        advance(src_->size(), now_, true);
        file_saved(file_name_);
        if (!mode_.ymodem) {
          finish(true);
          return;
        }
        src_.reset();
        state_ = State::WaitStart;
      } else if (c == NAK) {
        resend();
      }
      return;
  }
}

void XYModemSender::tick(uint64_t now_ms) {
  if (done_) return;
  now_ = now_ms;
  if (deferred_ >= 0) {
    if (now_ms - deferred_at_ < kAnswerDelayMs) return;
    auto c = static_cast<uint8_t>(deferred_);
    deferred_ = -1;
    last_rx_ = now_ms;
    answer_start(c);
    return;
  }
  if (state_ == State::Streaming) {
    std::string out;
    while (out.size() < 64 * 1024) {
      if (!make_block()) {
        if (done_) return;
        send(out);
        send_eot();
        return;
      }
      out += block_;
      pos_ += block_len_;
      blk_ = static_cast<uint8_t>(blk_ + 1);
    }
    send(out);
    advance(pos_, now_);
    return;
  }
  if (state_ == State::WaitStart) {
    if (now_ms - start_ >= kSenderWaitMs && now_ms - last_rx_ >= kSenderWaitMs)
      cancel("the receiver did not start");
    return;
  }
  if (now_ms - last_rx_ < kBlockTimeoutMs) return;
  last_rx_ = now_ms;
  if (state_ == State::WaitData) {
    if (++retries_ > kRetries) cancel("the receiver did not ask for data");
    return;
  }
  resend();
}

}  // namespace morvane::xfer
