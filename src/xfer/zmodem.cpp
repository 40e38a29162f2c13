// ZMODEM receive and send engines (see zmodem.h).
#include "xfer/zmodem.h"

#include <filesystem>

#include "xfer/crc.h"

namespace morvane::xfer {
using namespace zm;

namespace {
constexpr uint64_t kTimeoutMs = 10000;
constexpr int kRetries = 10;
constexpr int kMaxSamePosition = 20;  // ZRPOS for the same byte before giving up
constexpr size_t kGarbageLimit = 32 * 1024;

// "name\0size mtime mode ..." from a ZFILE subpacket; size and mtime are optional.
bool parse_file_info(std::string_view info, std::string& name, uint64_t& size, bool& size_known) {
  size_t nul = info.find('\0');
  name = std::string(info.substr(0, nul));
  size = 0;
  size_known = false;
  if (name.empty()) return false;
  if (nul == std::string_view::npos) return true;
  std::string_view rest = info.substr(nul + 1);
  size_t i = 0;
  while (i < rest.size() && rest[i] == ' ') ++i;
  uint64_t v = 0;
  size_t digits = 0;
  while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && digits < 19) {
    v = v * 10 + static_cast<uint64_t>(rest[i] - '0');
    ++i;
    ++digits;
  }
  if (digits) {
    size = v;
    size_known = true;
  }
  return true;
}
}  // namespace

// ---------------------------------------------------------------- receiver

void ZmodemReceiver::send_hex(const Header& h, bool remember) {
  std::string out;
  enc_.hex_header(out, h);
  if (remember) last_header_ = out;
  send(out);
}

void ZmodemReceiver::start(uint64_t now_ms) {
  now_ = last_rx_ = now_ms;
  reader_.set_ctl_escaped(want_escape_);
  send_hex(Header::flags(ZRINIT, CANFDX | CANOVIO | CANFC32 | (want_escape_ ? ESCCTL : 0)));
}

void ZmodemReceiver::feed(const uint8_t* p, size_t n, uint64_t now_ms) {
  if (done_) return;
  now_ = now_ms;
  if (state_ == State::Finishing) {
    for (size_t i = 0; i < n && !done_; ++i)
      if (p[i] == 'O' && ++oo_ == 2) finish(failed_.empty(), failed_);
    if (done_) return;
  }
  reader_.feed(p, n, *this);
  // Only noise for a while: our ZRPOS or the sender's new ZDATA header was lost. Ask again
  // rather than wait out the time-out.
  if (!done_ && (state_ == State::Discard || state_ == State::Receiving) && reader_.garbage() > kGarbageLimit) {
    reader_.clear_garbage();
    if (++same_pos_errors_ > kMaxSamePosition) {
      cancel("too many errors on the line");
      return;
    }
    send_rpos();
  }
}

void ZmodemReceiver::tick(uint64_t now_ms) {
  if (done_) return;
  now_ = now_ms;
  if (state_ == State::Finishing) {
    // The sender's "OO" is a courtesy; do not wait long for it.
    if (now_ms - last_rx_ >= 1000) finish(failed_.empty(), failed_);
    return;
  }
  if (now_ms - last_rx_ < kTimeoutMs) return;
  last_rx_ = now_ms;
  if (++retries_ > kRetries) {
    cancel("no answer from the sender");
    return;
  }
  repeat_last();
}

// In the middle of a file the position asked for is the current one, not the one remembered
// from when the file began: a stale ZRPOS would make the sender start over.
void ZmodemReceiver::repeat_last() {
  if (state_ == State::Receiving || state_ == State::Discard) send_hex(Header::at(ZRPOS, pos_));
  else send(last_header_);
}

void ZmodemReceiver::send_rpos() {
  state_ = State::Discard;
  reader_.skip_to_header();
  send_hex(Header::at(ZRPOS, pos_));
}

void ZmodemReceiver::start_file(std::string_view info) {
  std::string name, reason;
  uint64_t size;
  bool size_known;
  bool named = parse_file_info(info, name, size, size_known);
  if (sink_) {
    // A header for another file while one is open: the sender gave that one up (the same
    // header again only restarts it). Its loss must not pass for success.
    if (!named || sanitize_name(name) != file_name_ || (size_known && size != file_total_))
      failed_ = "the sender moved on before " + file_name_ + " was complete";
    sink_->discard();
    sink_.reset();
  }
  if (!named || !open_sink(name, reason)) {
    if (reason.empty()) reason = "the sender offered a file without a name";
    failed_ = reason;
    state_ = State::Init;
    send_hex(Header::at(ZSKIP, 0), false);  // a repeat of the sender's ZRQINIT gets ZRINIT again
    return;
  }
  pos_ = 0;
  same_pos_errors_ = 0;
  begin_file(file_name_, size, size_known, now_);
  state_ = State::Receiving;
  send_hex(Header::at(ZRPOS, 0));
}

void ZmodemReceiver::on_header(const Header& h) {
  switch (h.type) {
    case ZRQINIT:
      if (state_ == State::Init) send(last_header_);
      break;
    case ZSINIT:
      state_ = State::Sinit;
      if (h.f0() & TESCCTL) {
        enc_.escape_ctl = true;
        reader_.set_ctl_escaped(true);
      }
      break;
    case ZFILE:
      state_ = State::FileInfo;
      break;
    case ZDATA:
      if (!sink_) {
        // No file is open, so this is a late repeat of data already settled (a file saved or
        // skipped). Answering ZSKIP would make the sender skip the file it offers next.
        reader_.skip_to_header();
      } else if (h.pos() == pos_) {
        state_ = State::Receiving;
      } else {
        send_rpos();
      }
      break;
    case ZEOF:
      if (!sink_) {
        state_ = State::Init;
        send_hex(Header::flags(ZRINIT, CANFDX | CANOVIO | CANFC32 | (want_escape_ ? ESCCTL : 0)));
      } else if (h.pos() == pos_) {
        if (!commit_sink()) return;
        state_ = State::Init;
        send_hex(Header::flags(ZRINIT, CANFDX | CANOVIO | CANFC32 | (want_escape_ ? ESCCTL : 0)));
      } else {
        send_rpos();
      }
      break;
    case ZFIN:
      if (sink_) {
        failed_ = "the sender ended before " + file_name_ + " was complete";
        sink_->discard();
        sink_.reset();
      }
      state_ = State::Finishing;
      send_hex(Header::at(ZFIN, 0));
      break;
    case ZFREECNT:
      send_hex(Header::at(ZACK, 0), false);
      break;
    case ZCOMMAND:
      state_ = State::Command;
      break;
    case ZNAK:
      repeat_last();
      break;
    case ZCAN:
    case ZABORT:
      finish(false, "the sender cancelled the transfer");
      break;
    default:
      break;
  }
}

void ZmodemReceiver::on_item(const FrameReader::Item& it) {
  if (done_) return;
  switch (it.kind) {
    case FrameReader::Kind::Cancel:
      finish(false, "the sender cancelled the transfer");
      return;
    case FrameReader::Kind::BadFrame:
      if (state_ == State::Receiving) {
        if (++same_pos_errors_ > kMaxSamePosition) {
          cancel("too many errors on the line");
          return;
        }
        send_rpos();
      } else if (state_ == State::FileInfo || state_ == State::Sinit) {
        send_hex(Header::at(ZNAK, 0), false);
      }
      return;
    case FrameReader::Kind::Header:
      last_rx_ = now_;
      retries_ = 0;
      on_header(it.header);
      return;
    case FrameReader::Kind::Data:
      last_rx_ = now_;
      retries_ = 0;
      break;
  }
  auto* d = reinterpret_cast<const uint8_t*>(it.data.data());
  switch (state_) {
    case State::FileInfo:
      start_file(it.data);
      break;
    case State::Sinit:
      state_ = State::Init;
      send_hex(Header::at(ZACK, 1), false);
      break;
    case State::Command:
      // Never run what a peer asks for: answer as a failed command.
      state_ = State::Init;
      send_hex(Header::at(ZCOMPL, 1), false);
      break;
    case State::Receiving:
      if (!write_sink(d, it.data.size())) return;
      pos_ += static_cast<uint32_t>(it.data.size());
      same_pos_errors_ = 0;
      advance(pos_, now_);
      if (it.end == ZCRCQ || it.end == ZCRCW) send_hex(Header::at(ZACK, pos_), false);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------- sender

void ZmodemSender::send_header(const Header& h) {
  std::string out;
  enc_.hex_header(out, h);
  last_frame_ = out;
  send(out);
}

void ZmodemSender::start(uint64_t now_ms) {
  now_ = last_rx_ = now_ms;
  std::string out = "rz\r";
  enc_.hex_header(out, Header::at(ZRQINIT, 0));
  last_frame_ = out.substr(3);
  send(out);
}

void ZmodemSender::feed(const uint8_t* p, size_t n, uint64_t now_ms) {
  if (done_) return;
  now_ = now_ms;
  reader_.feed(p, n, *this);
}

void ZmodemSender::tick(uint64_t now_ms) {
  if (done_) return;
  now_ = now_ms;
  if (state_ == State::Sending && !window_full_) {
    send_burst();
    return;
  }
  if (now_ms - last_rx_ < kTimeoutMs) return;
  last_rx_ = now_ms;
  if (++retries_ > kRetries) {
    cancel("no answer from the receiver");
    return;
  }
  if (state_ == State::WaitAck) resume_at(pos_, true);
  else if (state_ == State::Sending) resume_at(acked_, true);
  else send(last_frame_);
}

void ZmodemSender::next_file() {
  src_.reset();
  while (next_index_ < ctx_.paths.size()) {
    const std::string& path = ctx_.paths[next_index_++];
    std::string err;
    src_ = ctx_.files ? ctx_.files->open_read(path, err) : nullptr;
    if (!src_) {
      cancel("cannot read " + path + ": " + err);
      return;
    }
    if (src_->size() > 0xFFFFFFFFull) {
      cancel(path + " is larger than ZMODEM's 4 GiB limit");
      return;
    }
    file_name_ = base_name(path);
    send_file_header();
    return;
  }
  state_ = State::WaitFin;
  send_header(Header::at(ZFIN, 0));
}

void ZmodemSender::send_file_header() {
  std::string info = file_name_;
  info.push_back('\0');
  char meta[96];
  std::snprintf(meta, sizeof meta, "%llu %llo 100644 0 %zu", static_cast<unsigned long long>(src_->size()),
                static_cast<unsigned long long>(src_->mtime() > 0 ? src_->mtime() : 0),
                ctx_.paths.size() - next_index_ + 1);
  info += meta;
  info.push_back('\0');
  std::string out;
  enc_.bin_header(out, Header::flags(ZFILE, 1 /* ZCBIN: binary */), crc32_);
  enc_.subpacket(out, reinterpret_cast<const uint8_t*>(info.data()), info.size(), ZCRCW, crc32_);
  last_frame_ = out;
  state_ = State::WaitPos;
  same_rpos_ = 0;
  begin_file(file_name_, src_->size(), true, now_);
  send(out);
}

void ZmodemSender::resume_at(uint32_t pos, bool probe) {
  pos_ = pos;
  probe_ = probe;
  since_ack_ = 0;
  acked_ = pos;
  since_q_ = 0;
  window_full_ = false;
  std::string out;
  enc_.bin_header(out, Header::at(ZDATA, pos), crc32_);
  send(out);
  state_ = State::Sending;
  send_burst();
}

void ZmodemSender::send_burst() {
  if (!src_ || done_) return;
  out_.clear();
  buf_.resize(kSubpacket);
  size_t budget = kBurst;
  while (state_ == State::Sending && budget > 0) {
    if (pos_ - acked_ >= kWindow) {
      window_full_ = true;
      last_rx_ = now_;
      break;
    }
    std::string err;
    long n = src_->read(pos_, buf_.data(), kSubpacket, err);
    if (n < 0) {
      send(out_);
      cancel("reading " + file_name_ + ": " + err);
      return;
    }
    bool last = n == 0 || pos_ + static_cast<uint64_t>(n) >= src_->size();
    uint8_t end = last ? ZCRCE : ZCRCG;
    since_q_ += static_cast<uint32_t>(n);
    if (!last && since_q_ >= kAckEvery) {
      end = ZCRCQ;
      since_q_ = 0;
    }
    if (!last && (probe_ || (rxbuflen_ && since_ack_ + static_cast<uint32_t>(n) >= rxbuflen_))) {
      probe_ = false;
      end = ZCRCW;
      state_ = State::WaitAck;
      last_rx_ = now_;
    }
    enc_.subpacket(out_, buf_.data(), static_cast<size_t>(n), end, crc32_);
    pos_ += static_cast<uint32_t>(n);
    since_ack_ += static_cast<uint32_t>(n);
    budget -= std::min(budget, static_cast<size_t>(n) + 1);
    if (last) {
      std::string eof;
      enc_.bin_header(eof, Header::at(ZEOF, pos_), crc32_);
      out_ += eof;
      last_frame_ = eof;
      state_ = State::WaitEof;
      last_rx_ = now_;
    }
  }
  send(out_);
  advance(pos_, now_, state_ == State::WaitEof);
}

void ZmodemSender::on_item(const FrameReader::Item& it) {
  if (done_) return;
  if (it.kind == FrameReader::Kind::Cancel) {
    finish(false, "the receiver cancelled the transfer");
    return;
  }
  if (it.kind != FrameReader::Kind::Header) return;
  last_rx_ = now_;
  retries_ = 0;
  const Header& h = it.header;
  bool in_file = state_ == State::WaitPos || state_ == State::Sending || state_ == State::WaitAck ||
                 state_ == State::WaitEof;
  switch (h.type) {
    case ZRINIT:
      if (state_ == State::WaitInit) {
        crc32_ = h.f0() & CANFC32;
        enc_.escape_ctl = h.f0() & ESCCTL;
        rxbuflen_ = h.b[0] | uint32_t(h.b[1]) << 8;
        next_file();
      } else if (state_ == State::WaitEof) {
        next_file();
      } else if (state_ == State::WaitFin) {
        send(last_frame_);
      }
      break;
    case ZRPOS:
      if (!in_file) break;
      if (h.pos() > src_->size()) {
        cancel("the receiver asked for a position past the end of " + file_name_);
        return;
      }
      if (h.pos() == last_rpos_ && state_ != State::WaitPos && ++same_rpos_ > kMaxSamePosition) {
        cancel("too many errors on the line");
        return;
      }
      if (h.pos() != last_rpos_) same_rpos_ = 0;
      last_rpos_ = h.pos();
      // The first position of a file starts the stream; any later one follows an error, and
      // the receiver is still skipping what we sent before it. Streaming a whole window again
      // would be more noise for it, and its repeated ZRPOS for that noise would each restart
      // the stream mid-way: one subpacket first, the stream once it is acknowledged.
      resume_at(h.pos(), state_ != State::WaitPos);
      break;
    case ZACK:
      if (state_ == State::Sending && h.pos() > acked_ && h.pos() <= pos_) {
        acked_ = h.pos();
        if (window_full_) {
          window_full_ = false;
          send_burst();
        }
      } else if (state_ == State::WaitAck && h.pos() == pos_) {
        resume_at(pos_, false);  // a ZCRCW ended the frame: the receiver waits for a header
      }
      break;
    case ZSKIP:
      if (!in_file) break;
      {
        Event e{{"kind", "skipped"}, {"file", file_name_}};
        if (ctx_.on_event) ctx_.on_event(e);
      }
      next_file();
      break;
    case ZCRC:
      if (in_file) {
        // The receiver compares a file it already has: answer with this file's CRC-32.
        uint32_t reg = 0xFFFFFFFFu;
        std::vector<uint8_t> b(64 * 1024);
        std::string err;
        for (uint64_t off = 0;;) {
          long n = src_->read(off, b.data(), b.size(), err);
          if (n <= 0) break;
          reg = crc32_update(reg, b.data(), static_cast<size_t>(n));
          off += static_cast<uint64_t>(n);
        }
        std::string out;
        enc_.hex_header(out, Header::at(ZCRC, ~reg));
        send(out);
      }
      break;
    case ZFIN:
      if (state_ == State::WaitFin) {
        send("OO");
        finish(true);
      }
      break;
    case ZNAK:
      send(last_frame_);
      break;
    case ZFERR:
      finish(false, "the receiver could not write " + file_name_);
      break;
    case ZCAN:
    case ZABORT:
      finish(false, "the receiver cancelled the transfer");
      break;
    default:
      break;
  }
}

}  // namespace morvane::xfer
