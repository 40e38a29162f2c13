// SLIP framing and the ROM command layer on their own: frames as the ROM loader puts them on
// the line, decoding under any chunking, and rejection of what is not a response.
#include <gtest/gtest.h>

#include "esp/rom_protocol.h"
#include "esp/slip.h"

using namespace morvane::esp;

namespace {

std::vector<Bytes> decode_all(SlipDecoder& d, const Bytes& wire, size_t chunk) {
  std::vector<Bytes> frames;
  for (size_t at = 0; at < wire.size(); at += chunk)
    d.feed(wire.data() + at, std::min(chunk, wire.size() - at), frames);
  return frames;
}

}  // namespace

TEST(EspFraming, sync_request_has_the_rom_layout) {
  Bytes want{0xC0, 0x00, 0x08, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x07, 0x12, 0x20};
  want.insert(want.end(), 32, 0x55);
  want.push_back(0xC0);
  EXPECT_EQ(slip_encode(build_request(Op::Sync, sync_payload())), want);
}

TEST(EspFraming, data_block_escapes_delimiters_and_carries_the_xor_checksum) {
  Bytes block{0xC0, 0xDB, 0x01};
  uint32_t sum = data_checksum(block.data(), block.size());
  EXPECT_EQ(sum, 0xF5u);
  Bytes frame = slip_encode(build_request(Op::FlashData, flash_data_payload(block.data(), 3, 5), sum));
  Bytes want{0xC0, 0x00, 0x03, 0x13, 0x00, 0xF5, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,
             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xDB, 0xDC, 0xDB, 0xDD, 0x01, 0xC0};
  EXPECT_EQ(frame, want);
}

TEST(EspFraming, decoder_recovers_frames_from_any_chunking_amid_console_text) {
  Bytes a{0x01, 0xC0, 0xDB, 0x02};
  Bytes b(300, 0xDB);
  std::string text = "rst:0x1 (POWERON_RESET)\r\nwaiting for download\r\n";
  Bytes wire(text.begin(), text.end());
  for (const Bytes* p : {&a, &b}) {
    Bytes f = slip_encode(*p);
    wire.insert(wire.end(), f.begin(), f.end());
  }
  for (size_t chunk : {1, 2, 3, 7, 64, 4096}) {
    SlipDecoder d;
    auto frames = decode_all(d, wire, chunk);
    ASSERT_EQ(frames.size(), 2u) << "chunk " << chunk;
    EXPECT_EQ(frames[0], a);
    EXPECT_EQ(frames[1], b);
  }
}

TEST(EspFraming, decoder_drops_oversized_and_badly_escaped_frames_whole) {
  SlipDecoder d(16);
  Bytes wire{0xC0};
  wire.insert(wire.end(), 17, 0x11);  // one byte over the limit
  wire.insert(wire.end(), {0xC0, 0x22, 0xDB, 0x33, 0x44, 0xC0});  // escape of a plain byte
  wire.insert(wire.end(), {0x55, 0xDB, 0xC0});                      // escape cut by the end
  wire.insert(wire.end(), {0x66, 0xC0});
  auto frames = decode_all(d, wire, 1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], Bytes{0x66});
  EXPECT_EQ(d.dropped_frames(), 3u);
}

TEST(EspFraming, a_lost_opening_delimiter_costs_one_frame_only) {
  SlipDecoder d;
  Bytes wire{0x01, 0x02, 0xC0};  // tail of a frame whose start was lost
  Bytes f = slip_encode(Bytes{0x09});
  wire.insert(wire.end(), f.begin(), f.end());
  auto frames = decode_all(d, wire, 5);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], Bytes{0x09});
}

TEST(EspResponses, status_bytes_are_read_per_chip) {
  // ESP32 ROM: four status bytes; the later ROMs: two.
  Bytes esp32{0x01, 0x0A, 0x04, 0x00, 0x83, 0x1D, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00};
  auto r = parse_response(esp32, 4);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->op, Op::ReadReg);
  EXPECT_EQ(r->value, 0x00F01D83u);
  EXPECT_TRUE(r->ok());
  Bytes c3_fail{0x01, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x07};
  r = parse_response(c3_fail, 2);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->ok());
  EXPECT_EQ(r->error, 0x07);
  EXPECT_EQ(rom_error_text(r->error), "checksum error (0x07)");
  // Before the chip is known the data length decides.
  EXPECT_TRUE(parse_response(esp32, 0));
  EXPECT_FALSE(parse_response(c3_fail, 0)->ok());
  // The status follows a data part (SPI_FLASH_MD5).
  Bytes md5{0x01, 0x13, 0x24, 0x00, 0, 0, 0, 0};
  std::string hex = "0123456789ABCDEF0123456789abcdef";
  md5.insert(md5.end(), hex.begin(), hex.end());
  md5.insert(md5.end(), {0x00, 0x00, 0x00, 0x00});
  r = parse_response(md5, 4);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->ok());
  EXPECT_EQ(md5_from_response(*r, 4), "0123456789abcdef0123456789abcdef");
}

TEST(EspResponses, malformed_responses_are_rejected) {
  EXPECT_FALSE(parse_response(Bytes{}, 2));
  EXPECT_FALSE(parse_response(Bytes{0x00, 0x0A, 0x02, 0x00, 0, 0, 0, 0, 0, 0}, 2));  // a request
  EXPECT_FALSE(parse_response(Bytes{0x01, 0x0A, 0x05, 0x00, 0, 0, 0, 0, 0, 0}, 2));  // length lies
  EXPECT_FALSE(parse_response(Bytes{0x01, 0x0A, 0x02, 0x00, 0, 0, 0, 0, 0, 0}, 4));  // status cut short
  EXPECT_FALSE(parse_response(Bytes{0x01, 0x0A, 0x00, 0x00, 0, 0, 0, 0}, 0));
  Response r;
  r.data = Bytes(20, '0');
  r.data.insert(r.data.end(), {0, 0});
  EXPECT_FALSE(md5_from_response(r, 2));  // neither 32 hex digits nor 16 raw bytes
  r.data = Bytes(32, 'g');
  r.data.insert(r.data.end(), {0, 0});
  EXPECT_FALSE(md5_from_response(r, 2));
}
