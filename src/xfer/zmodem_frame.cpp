// ZMODEM frame encoding and the byte-fed frame reader (see zmodem_frame.h).
#include "xfer/zmodem_frame.h"

#include "xfer/crc.h"

namespace morvane::xfer::zm {
namespace {

constexpr char kHex[] = "0123456789abcdef";

bool carries_data(uint8_t type) {
  return type == ZFILE || type == ZDATA || type == ZSINIT || type == ZCOMMAND;
}

// Bytes every sender escapes: ZDLE itself, DLE and the flow-control characters (with and
// without parity), and CR, which "@CR" sequences turn into a Telnet/rlogin escape.
struct EscapeTable {
  std::array<bool, 256> plain{}, ctl{};
  EscapeTable() {
    for (int c = 0; c < 256; ++c) {
      bool esc = c == ZDLE || c == 0x10 || c == 0x90 || c == 0x11 || c == 0x91 || c == 0x13 ||
                 c == 0x93 || c == 0x0d || c == 0x8d;
      plain[c] = esc;
      ctl[c] = esc || (c & 0x60) == 0;
    }
  }
};
const EscapeTable& escapes() {
  static const EscapeTable t;
  return t;
}

// Bytes that end a run of plain subpacket data: ZDLE, flow control noise, and with escaping
// asked for, any bare control character.
struct ReaderStops {
  std::array<bool, 256> plain{}, ctl{};
  ReaderStops() {
    for (int c = 0; c < 256; ++c) {
      plain[c] = c == ZDLE || (c & 0x7f) == 0x11 || (c & 0x7f) == 0x13;
      ctl[c] = plain[c] || (c & 0x60) == 0;
    }
  }
};
const ReaderStops& reader_stops() {
  static const ReaderStops t;
  return t;
}

int hex_value(uint8_t c) {
  c &= 0x7f;
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string_view cancel_sequence() {
  static const char seq[] = "\x18\x18\x18\x18\x18\x18\x18\x18\x18\x18\b\b\b\b\b\b\b\b\b\b";
  return {seq, sizeof(seq) - 1};
}

void Encoder::escape(std::string& out, const uint8_t* p, size_t n) const {
  const auto& t = escape_ctl ? escapes().ctl : escapes().plain;
  size_t i = 0;
  while (i < n) {
    size_t run = i;
    while (run < n && !t[p[run]]) ++run;
    out.append(reinterpret_cast<const char*>(p + i), run - i);
    if (run == n) break;
    out.push_back(static_cast<char>(ZDLE));
    out.push_back(static_cast<char>(p[run] ^ 0x40));
    i = run + 1;
  }
}

void Encoder::hex_header(std::string& out, const Header& h) const {
  uint8_t raw[5] = {h.type, h.b[0], h.b[1], h.b[2], h.b[3]};
  uint16_t crc = crc16(0, raw, 5);
  out += "**\x18" "B";
  auto put = [&](uint8_t v) {
    out.push_back(kHex[v >> 4]);
    out.push_back(kHex[v & 15]);
  };
  for (uint8_t v : raw) put(v);
  put(static_cast<uint8_t>(crc >> 8));
  put(static_cast<uint8_t>(crc));
  out += "\r\x8a";
  if (h.type != ZFIN && h.type != ZACK) out.push_back(0x11);
}

void Encoder::bin_header(std::string& out, const Header& h, bool crc32) const {
  uint8_t raw[9] = {h.type, h.b[0], h.b[1], h.b[2], h.b[3]};
  size_t n = 5;
  if (crc32) {
    uint32_t c = morvane::xfer::crc32(raw, 5);
    for (int i = 0; i < 4; ++i) raw[n++] = static_cast<uint8_t>(c >> (8 * i));
  } else {
    uint16_t c = crc16(0, raw, 5);
    raw[n++] = static_cast<uint8_t>(c >> 8);
    raw[n++] = static_cast<uint8_t>(c);
  }
  out.push_back(static_cast<char>(ZPAD));
  out.push_back(static_cast<char>(ZDLE));
  out.push_back(static_cast<char>(crc32 ? ZBIN32 : ZBIN));
  escape(out, raw, n);
}

void Encoder::subpacket(std::string& out, const uint8_t* p, size_t n, uint8_t end, bool crc32) const {
  escape(out, p, n);
  out.push_back(static_cast<char>(ZDLE));
  out.push_back(static_cast<char>(end));
  uint8_t tail[4];
  size_t tn = 0;
  if (crc32) {
    uint32_t c = ~crc32_update(crc32_update(0xFFFFFFFFu, p, n), &end, 1);
    for (int i = 0; i < 4; ++i) tail[tn++] = static_cast<uint8_t>(c >> (8 * i));
  } else {
    uint16_t c = crc16(crc16(0, p, n), &end, 1);
    tail[tn++] = static_cast<uint8_t>(c >> 8);
    tail[tn++] = static_cast<uint8_t>(c);
  }
  escape(out, tail, tn);
  if (end == ZCRCW) out.push_back(0x11);
}

void FrameReader::reset() {
  state_ = State::Seek;
  after_dle_ = false;
  cans_ = 0;
  data_.clear();
}

int FrameReader::unescape(uint8_t c) {
  bool flow = (c & 0x7f) == 0x11 || (c & 0x7f) == 0x13;
  if (!after_dle_) {
    if (c == ZDLE) {
      after_dle_ = true;
      return -1;
    }
    if (flow || (ctl_escaped_ && (c & 0x60) == 0)) return -1;
    return c;
  }
  if (c == ZDLE || flow || (ctl_escaped_ && (c & 0x60) == 0)) return -1;
  after_dle_ = false;
  if (c >= ZCRCE && c <= ZCRCW) return 0x100 | c;
  if (c == ZRUB0) return 0x7f;
  if (c == ZRUB1) return 0xff;
  if ((c & 0x60) == 0x40) return c ^ 0x40;
  return -2;
}

void FrameReader::bad(Handler& h) {
  state_ = State::Seek;
  after_dle_ = false;
  data_.clear();
  Item it{Kind::BadFrame, {}, {}, 0};
  h.on_item(it);
}

void FrameReader::got_header(Handler& h) {
  Header hd;
  hd.type = hbuf_[0];
  for (int i = 0; i < 4; ++i) hd.b[i] = hbuf_[1 + i];
  hd.encoding = enc_;
  bool ok;
  if (enc_ == ZBIN32) {
    uint32_t c = crc32(hbuf_.data(), 5);
    uint32_t got = hbuf_[5] | uint32_t(hbuf_[6]) << 8 | uint32_t(hbuf_[7]) << 16 | uint32_t(hbuf_[8]) << 24;
    ok = c == got;
  } else {
    ok = crc16(0, hbuf_.data(), 5) == (uint16_t(hbuf_[5]) << 8 | hbuf_[6]);
  }
  if (!ok) {
    bad(h);
    return;
  }
  data_crc32_ = enc_ == ZBIN32;
  data_.clear();
  garbage_ = 0;
  State next = carries_data(hd.type) ? State::Data : State::Seek;
  state_ = enc_ == ZHEX ? State::HexTail : next;
  hex_tail_ = 0;
  data_end_ = next == State::Data ? 1 : 0;  // remembered across the hex tail
  Item it{Kind::Header, hd, {}, 0};
  h.on_item(it);
}

void FrameReader::feed(const uint8_t* p, size_t n, Handler& h) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = p[i];
    if (c == ZDLE) {
      if (++cans_ >= 5) {
        cans_ = 0;
        reset();
        Item it{Kind::Cancel, {}, {}, 0};
        h.on_item(it);
        continue;
      }
    } else {
      cans_ = 0;
    }
    switch (state_) {
      case State::Seek:
        if (c == ZPAD || c == (ZPAD | 0x80)) state_ = State::Pad;
        else ++garbage_;
        break;
      case State::Pad:
        if (c == ZDLE) state_ = State::Dle;
        else if (c != ZPAD && c != (ZPAD | 0x80)) state_ = State::Seek;
        break;
      case State::Dle:
        if (c == ZDLE) break;  // counted as a possible cancel
        hlen_ = 0;
        after_dle_ = false;
        enc_ = static_cast<char>(c & 0x7f);
        if (enc_ == ZHEX) {
          state_ = State::Hex;
          hex_half_ = false;
        } else if (enc_ == ZBIN || enc_ == ZBIN32) {
          state_ = State::Bin;
          need_ = enc_ == ZBIN32 ? 9 : 7;
        } else {
          state_ = State::Seek;
        }
        break;
      case State::Hex: {
        int v = hex_value(c);
        if (v < 0) {
          bad(h);
          break;
        }
        if (!hex_half_) {
          hex_hi_ = static_cast<uint8_t>(v);
          hex_half_ = true;
        } else {
          hbuf_[hlen_++] = static_cast<uint8_t>(hex_hi_ << 4 | v);
          hex_half_ = false;
          if (hlen_ == 7) got_header(h);
        }
        break;
      }
      case State::HexTail: {
        bool data_next = data_end_ == 1;
        uint8_t low = c & 0x7f;
        if (hex_tail_ == 0 && low == '\r') {
          hex_tail_ = 1;
          break;
        }
        if (hex_tail_ == 1 && low == '\n') {
          hex_tail_ = 2;
          break;
        }
        state_ = data_next ? State::Data : State::Seek;
        --i;  // this byte belongs to what follows
        cans_ = c == ZDLE ? cans_ - 1 : cans_;
        break;
      }
      case State::Bin: {
        int v = unescape(c);
        if (v == -1) break;
        if (v < 0 || v > 0xff) {
          bad(h);
          break;
        }
        hbuf_[hlen_++] = static_cast<uint8_t>(v);
        if (hlen_ == need_) got_header(h);
        break;
      }
      case State::Data: {
        if (!after_dle_) {
          // Fast path: copy a run of bytes that need no decoding.
          const auto& stop = ctl_escaped_ ? reader_stops().ctl : reader_stops().plain;
          size_t run = i;
          while (run < n && !stop[p[run]]) ++run;
          if (run > i) {
            size_t room = kMaxSubpacket - data_.size();
            if (run - i > room) {
              // Too long for a subpacket: what follows the limit is looked at as noise.
              bad(h);
              i += room;
              break;
            }
            data_.append(reinterpret_cast<const char*>(p + i), run - i);
            i = run - 1;
            break;
          }
        }
        int v = unescape(c);
        if (v == -1) break;
        if (v == -2) {
          bad(h);
          break;
        }
        if (v & 0x100) {
          data_end_ = static_cast<uint8_t>(v & 0xff);
          state_ = State::DataCrc;
          need_ = data_crc32_ ? 4 : 2;
          crclen_ = 0;
          break;
        }
        data_.push_back(static_cast<char>(v));
        if (data_.size() > kMaxSubpacket) bad(h);
        break;
      }
      case State::DataCrc: {
        int v = unescape(c);
        if (v == -1) break;
        if (v < 0 || v > 0xff) {
          bad(h);
          break;
        }
        crcbuf_[crclen_++] = static_cast<uint8_t>(v);
        if (crclen_ < need_) break;
        auto* d = reinterpret_cast<const uint8_t*>(data_.data());
        bool ok;
        if (data_crc32_) {
          uint32_t cc = ~crc32_update(crc32_update(0xFFFFFFFFu, d, data_.size()), &data_end_, 1);
          ok = cc == (crcbuf_[0] | uint32_t(crcbuf_[1]) << 8 | uint32_t(crcbuf_[2]) << 16 | uint32_t(crcbuf_[3]) << 24);
        } else {
          ok = crc16(crc16(0, d, data_.size()), &data_end_, 1) == (uint16_t(crcbuf_[0]) << 8 | crcbuf_[1]);
        }
        if (!ok) {
          bad(h);
          break;
        }
        uint8_t end = data_end_;
        state_ = (end == ZCRCE || end == ZCRCW) ? State::Seek : State::Data;
        Item it{Kind::Data, {}, std::string_view(data_), end};
        h.on_item(it);
        data_.clear();
        break;
      }
    }
  }
}

}  // namespace morvane::xfer::zm
