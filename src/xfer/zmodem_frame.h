#pragma once
// ZMODEM framing: header and data-subpacket encoding with ZDLE escaping, and a byte-fed
// reader that turns a peer's stream back into headers and checked subpackets. The reader
// never trusts the peer: subpackets are bounded, every header and subpacket is checked, and
// garbage between frames is skipped the way a line with noise needs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvane::xfer::zm {

// Frame types.
enum : uint8_t {
  ZRQINIT = 0, ZRINIT = 1, ZSINIT = 2, ZACK = 3, ZFILE = 4, ZSKIP = 5, ZNAK = 6, ZABORT = 7,
  ZFIN = 8, ZRPOS = 9, ZDATA = 10, ZEOF = 11, ZFERR = 12, ZCRC = 13, ZCHALLENGE = 14,
  ZCOMPL = 15, ZCAN = 16, ZFREECNT = 17, ZCOMMAND = 18, ZSTDERR = 19,
};
constexpr uint8_t ZPAD = '*', ZDLE = 0x18, ZBIN = 'A', ZHEX = 'B', ZBIN32 = 'C';
// Subpacket ends: E ends the frame, G goes on without an answer, Q asks for ZACK and goes on,
// W asks for ZACK and ends the frame.
constexpr uint8_t ZCRCE = 'h', ZCRCG = 'i', ZCRCQ = 'j', ZCRCW = 'k', ZRUB0 = 'l', ZRUB1 = 'm';
// ZRINIT capability flags (ZF0) and the ZSINIT flag asking for escaped control characters.
constexpr uint8_t CANFDX = 0x01, CANOVIO = 0x02, CANFC32 = 0x20, ESCCTL = 0x40, TESCCTL = 0x40;
// The largest subpacket accepted; lrzsz sends at most 8 KiB.
constexpr size_t kMaxSubpacket = 8192;

struct Header {
  uint8_t type = 0;
  std::array<uint8_t, 4> b{};  // ZP0..ZP3 == ZF3..ZF0
  char encoding = ZHEX;        // ZHEX, ZBIN or ZBIN32 as received
  uint32_t pos() const {
    return b[0] | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
  }
  uint8_t f0() const { return b[3]; }
  uint8_t f1() const { return b[2]; }
  static Header at(uint8_t type, uint32_t pos) {
    return Header{type, {uint8_t(pos), uint8_t(pos >> 8), uint8_t(pos >> 16), uint8_t(pos >> 24)}, ZHEX};
  }
  static Header flags(uint8_t type, uint8_t f0, uint8_t f1 = 0, uint8_t f2 = 0, uint8_t f3 = 0) {
    return Header{type, {f3, f2, f1, f0}, ZHEX};
  }
};

// Writes frames. escape_ctl escapes every control character, for links that eat them.
class Encoder {
 public:
  bool escape_ctl = false;
  void hex_header(std::string& out, const Header& h) const;
  void bin_header(std::string& out, const Header& h, bool crc32) const;
  void subpacket(std::string& out, const uint8_t* p, size_t n, uint8_t end, bool crc32) const;
  void escape(std::string& out, const uint8_t* p, size_t n) const;
};

// The cancel sequence lrzsz sends: ten CAN then ten backspaces to erase them on a terminal.
std::string_view cancel_sequence();

// Reads frames. Every complete item is reported to the handler; garbage is skipped.
class FrameReader {
 public:
  enum class Kind { Header, Data, BadFrame, Cancel };
  struct Item {
    Kind kind;
    Header header;          // Header
    std::string_view data;  // Data
    uint8_t end = 0;        // Data: ZCRCE/G/Q/W
  };
  struct Handler {
    virtual void on_item(const Item& item) = 0;
    virtual ~Handler() = default;
  };

  // The peer asked (ZSINIT) that control characters arrive escaped: unescaped ones are noise.
  void set_ctl_escaped(bool on) { ctl_escaped_ = on; }
  // Drop subpackets until the next header (after a ZRPOS, for example).
  void skip_to_header() { state_ = State::Seek; }
  bool in_data() const { return state_ == State::Data || state_ == State::DataCrc; }
  void feed(const uint8_t* p, size_t n, Handler& h);
  // Bytes skipped while looking for a header since the last good one: a receiver whose
  // ZRPOS or the sender's answer was lost sees only this grow.
  size_t garbage() const { return garbage_; }
  void clear_garbage() { garbage_ = 0; }
  void reset();

 private:
  enum class State { Seek, Pad, Dle, Hex, HexTail, Bin, Data, DataCrc };
  // Decodes one escaped byte; returns -1 when the byte is consumed without output,
  // 0x100 | c for a frame-end mark, -2 for a bad escape.
  int unescape(uint8_t c);
  void got_header(Handler& h);
  void bad(Handler& h);

  State state_ = State::Seek;
  bool ctl_escaped_ = false;
  bool after_dle_ = false;
  int cans_ = 0;
  char enc_ = ZHEX;
  bool data_crc32_ = false;
  uint8_t hex_hi_ = 0;
  bool hex_half_ = false;
  int hex_tail_ = 0;
  uint8_t data_end_ = 0;
  size_t need_ = 0;
  std::array<uint8_t, 16> hbuf_{};
  size_t hlen_ = 0;
  std::string data_;
  std::array<uint8_t, 4> crcbuf_{};
  size_t crclen_ = 0;
  size_t garbage_ = 0;
};

}  // namespace morvane::xfer::zm
