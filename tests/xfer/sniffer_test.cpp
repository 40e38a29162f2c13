// The ZMODEM detector on the receive path: fires on a real ZRQINIT wherever it falls in the
// chunks, splits the chunk exactly at the frame, and stays silent for text that merely looks
// like it.
#include <gtest/gtest.h>

#include "xfer/zmodem_frame.h"
#include "xfer/zmodem_sniffer.h"

using morvane::xfer::ZmodemSniffer;

namespace {

std::string zrqinit() {
  std::string s;
  morvane::xfer::zm::Encoder().hex_header(s, morvane::xfer::zm::Header::at(morvane::xfer::zm::ZRQINIT, 0));
  return s;
}

struct Collected {
  bool started = false;
  int waiting = 0;  // chunks that reported a waiting receiver
  std::string terminal, transfer;
  std::string after_header;  // what the receiver is handed: the header itself is answered by its start
};

// Feeds the chunks and gathers the output; after a start, later chunks count as transfer bytes
// (the receive path hands them to the transfer without asking the detector).
Collected run(ZmodemSniffer& z, const std::vector<std::string>& chunks) {
  Collected c;
  for (auto& ch : chunks) {
    if (c.started) {
      c.transfer += ch;
      c.after_header += ch;
      continue;
    }
    auto r = z.feed(ch);
    c.terminal += r.terminal;
    c.transfer += r.transfer;
    if (r.started) c.after_header = std::string(r.transfer.substr(r.header_len));
    c.started = r.started;
    c.waiting += r.receiver_waiting;
  }
  return c;
}

}  // namespace

TEST(ZmodemSniffer, sz_start_behind_text_splits_the_chunk_at_the_frame) {
  ZmodemSniffer z;
  std::string frame = zrqinit();
  auto c = run(z, {"$ sz file\r\nrz\r" + frame + "rest"});
  EXPECT_TRUE(c.started);
  EXPECT_EQ(c.terminal, "$ sz file\r\nrz\r");
  EXPECT_EQ(c.transfer, frame + "rest");
}

TEST(ZmodemSniffer, header_split_at_every_position_is_recognised_and_no_byte_is_lost) {
  std::string text = "before *", frame = zrqinit(), after = "\x18" "AZZ";
  std::string all = text + frame + after;
  for (size_t cut = 1; cut < all.size(); ++cut) {
    for (size_t cut2 = cut; cut2 < all.size(); cut2 += 5) {
      ZmodemSniffer z;
      auto c = run(z, {all.substr(0, cut), all.substr(cut, cut2 - cut), all.substr(cut2)});
      ASSERT_TRUE(c.started) << cut << "," << cut2;
      // Pads before the ZDLE may already have been shown when the cut fell right after them.
      EXPECT_EQ(c.terminal + c.transfer, all) << cut << "," << cut2;
      EXPECT_TRUE(c.transfer.ends_with(frame.substr(2) + after)) << cut;
      // The header's trailer (CR, LF, XON) is noise to the receiver; nothing after it is lost.
      EXPECT_EQ(c.after_header, "\r\x8a\x11" + after) << cut << "," << cut2;
      EXPECT_TRUE(c.terminal.starts_with(text)) << cut;
    }
  }
}

TEST(ZmodemSniffer, text_that_only_looks_like_a_start_passes_through_unchanged) {
  std::string frame = zrqinit();
  std::string bad_crc = frame;
  bad_crc[16] = bad_crc[16] == '0' ? '1' : '0';
  std::string zrinit = frame;
  zrinit[5] = '1';  // a receiver's ZRINIT is not a download
  for (std::string text : {std::string("rz\r\n** B00 ** rz sz\r\n"), std::string("****\x18\x18\x18"),
                           std::string("\x18" "B0"), bad_crc, zrinit, std::string("**\x18" "B0000000000000z")}) {
    ZmodemSniffer z;
    auto c = run(z, {text, "tail"});
    EXPECT_FALSE(c.started) << text;
    EXPECT_EQ(c.terminal, text + "tail");
    EXPECT_TRUE(c.transfer.empty());
  }
}

TEST(ZmodemSniffer, a_waiting_receiver_is_reported_once_per_header_and_its_bytes_stay_on_screen) {
  using namespace morvane::xfer::zm;
  std::string zrinit;
  Encoder().hex_header(zrinit, Header::flags(ZRINIT, CANFDX | CANOVIO | CANFC32));
  std::string all = "rz waiting to receive." + zrinit + "\x11";
  for (size_t cut = 1; cut < all.size(); ++cut) {
    ZmodemSniffer z;
    auto c = run(z, {all.substr(0, cut), all.substr(cut), "$ "});
    EXPECT_FALSE(c.started) << cut;
    EXPECT_EQ(c.waiting, 1) << cut;
    EXPECT_EQ(c.terminal, all + "$ ") << cut;
  }
  // Its repeats are each reported (the application decides how often to offer); a damaged one
  // is not.
  ZmodemSniffer z;
  std::string damaged = zrinit;
  damaged[12] = damaged[12] == '0' ? '1' : '0';
  EXPECT_EQ(run(z, {zrinit + zrinit, damaged}).waiting, 1);
  EXPECT_EQ(run(z, {zrinit}).waiting, 1);
}

TEST(ZmodemSniffer, plain_chunk_is_returned_as_the_same_bytes_without_copying) {
  ZmodemSniffer z;
  std::string chunk(4096, 'a');
  auto r = z.feed(chunk);
  EXPECT_FALSE(r.started);
  EXPECT_EQ(r.terminal.data(), chunk.data());
  EXPECT_EQ(r.terminal.size(), chunk.size());
}

TEST(ZmodemSniffer, reset_forgets_a_held_partial_header) {
  ZmodemSniffer z;
  std::string frame = zrqinit();
  std::string first = "x" + frame.substr(0, 6), second = frame.substr(6);
  auto r = z.feed(first);
  EXPECT_EQ(r.terminal, "x");
  z.reset();
  auto r2 = z.feed(second);
  EXPECT_FALSE(r2.started);
  EXPECT_EQ(r2.terminal, second);
}
