// The ZMODEM frame layer: what the encoder writes the reader reads back in any chunking, every
// awkward byte is escaped, damage is reported instead of delivered, and limits hold.
#include <gtest/gtest.h>

#include <random>

#include "xfer/crc.h"
#include "xfer/zmodem_frame.h"

using namespace morvane::xfer;
using namespace morvane::xfer::zm;

namespace {

struct Items : FrameReader::Handler {
  std::vector<FrameReader::Kind> kinds;
  std::vector<Header> headers;
  std::vector<std::string> data;
  std::vector<uint8_t> ends;
  void on_item(const FrameReader::Item& it) override {
    kinds.push_back(it.kind);
    if (it.kind == FrameReader::Kind::Header) headers.push_back(it.header);
    if (it.kind == FrameReader::Kind::Data) {
      data.emplace_back(it.data);
      ends.push_back(it.end);
    }
  }
};

std::string all_bytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s + s;
}

}  // namespace

TEST(ZmodemCrc, known_check_values) {
  const uint8_t check[] = "123456789";
  EXPECT_EQ(crc16(0, check, 9), 0x31C3);
  EXPECT_EQ(crc32(check, 9), 0xCBF43926u);
}

TEST(ZmodemFrames, every_header_form_and_subpacket_round_trips_in_any_chunking) {
  for (bool escape : {false, true}) {
    Encoder enc;
    enc.escape_ctl = escape;
    std::string wire;
    enc.hex_header(wire, Header::flags(ZRINIT, CANFDX | CANFC32, 0, 0x18, 0x11));
    enc.bin_header(wire, Header::at(ZDATA, 0x1811130d), false);
    std::string payload = all_bytes();
    auto* p = reinterpret_cast<const uint8_t*>(payload.data());
    enc.subpacket(wire, p, payload.size(), ZCRCG, false);
    enc.subpacket(wire, p, 0, ZCRCQ, false);
    enc.subpacket(wire, p, 100, ZCRCE, false);
    enc.bin_header(wire, Header::at(ZDATA, 7), true);
    enc.subpacket(wire, p, payload.size(), ZCRCW, true);
    enc.bin_header(wire, Header::at(ZEOF, 512), true);
    if (escape) {
      // With escaping asked for, no control character travels bare except the hex line end
      // and the XON that follows a ZCRCW subpacket.
      std::string body = wire.substr(wire.find('\x8a') + 2);
      for (size_t i = 0; i < body.size(); ++i) {
        auto c = static_cast<uint8_t>(body[i]);
        if ((c & 0x60) == 0 && c != ZDLE) {
          ASSERT_TRUE(c == 0x11 && body[i + 1] == '*') << i;
        }
      }
    }
    for (size_t step : {size_t(1), size_t(3), size_t(7), wire.size()}) {
      FrameReader r;
      r.set_ctl_escaped(escape);
      Items it;
      for (size_t i = 0; i < wire.size(); i += step)
        r.feed(reinterpret_cast<const uint8_t*>(wire.data() + i), std::min(step, wire.size() - i), it);
      ASSERT_EQ(it.headers.size(), 4u) << step;
      EXPECT_EQ(it.headers[0].type, ZRINIT);
      EXPECT_EQ(it.headers[0].f0(), CANFDX | CANFC32);
      EXPECT_EQ(it.headers[0].b[0], 0x11);
      EXPECT_EQ(it.headers[1].pos(), 0x1811130du);
      EXPECT_EQ(it.headers[2].encoding, ZBIN32);
      EXPECT_EQ(it.headers[3].pos(), 512u);
      ASSERT_EQ(it.data.size(), 4u);
      EXPECT_EQ(it.data[0], payload);
      EXPECT_EQ(it.data[1], "");
      EXPECT_EQ(it.data[2], payload.substr(0, 100));
      EXPECT_EQ(it.data[3], payload);
      EXPECT_EQ(it.ends, (std::vector<uint8_t>{ZCRCG, ZCRCQ, ZCRCE, ZCRCW}));
    }
  }
}

TEST(ZmodemFrames, damaged_subpacket_is_reported_and_never_delivered) {
  Encoder enc;
  std::string wire;
  enc.bin_header(wire, Header::at(ZDATA, 0), true);
  std::string payload(1000, 'q');
  size_t data_at = wire.size();
  enc.subpacket(wire, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), ZCRCG, true);
  wire[data_at + 500] = 'r';
  FrameReader r;
  Items it;
  r.feed(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), it);
  ASSERT_EQ(it.kinds.size(), 2u);
  EXPECT_EQ(it.kinds[1], FrameReader::Kind::BadFrame);
  EXPECT_TRUE(it.data.empty());
}

TEST(ZmodemFrames, oversized_subpacket_and_bad_header_crc_are_rejected) {
  Encoder enc;
  std::string wire;
  enc.bin_header(wire, Header::at(ZDATA, 0), false);
  wire.append(kMaxSubpacket + 10, 'a');
  std::string hex;
  enc.hex_header(hex, Header::at(ZRPOS, 5));
  hex[6] = hex[6] == '1' ? '2' : '1';
  wire += hex;
  FrameReader r;
  Items it;
  r.feed(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), it);
  ASSERT_EQ(it.kinds.size(), 3u);
  EXPECT_EQ(it.kinds[1], FrameReader::Kind::BadFrame);
  EXPECT_EQ(it.kinds[2], FrameReader::Kind::BadFrame);
}

TEST(ZmodemFrames, cancel_sequence_is_recognised_mid_subpacket) {
  Encoder enc;
  std::string wire;
  enc.bin_header(wire, Header::at(ZDATA, 0), false);
  wire += "abc";
  wire += cancel_sequence();
  FrameReader r;
  Items it;
  r.feed(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), it);
  ASSERT_GE(it.kinds.size(), 2u);
  EXPECT_EQ(it.kinds[1], FrameReader::Kind::Cancel);
}
