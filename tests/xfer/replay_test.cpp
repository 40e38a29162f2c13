// Recorded lrzsz sessions (tests/xfer/data, made with MORVANE_XFER_RECORD) replayed into the
// engines without the peer: a receive must rebuild the same file from the recorded bytes, a
// send must produce exactly the bytes it produced against the real receiver.
#include <gtest/gtest.h>

#include <utime.h>

#include "peer.h"
#include "xfer/xymodem.h"

namespace fs = std::filesystem;
using namespace morvane::xfer;
using namespace xfer_test;

namespace {

struct Chunk {
  char dir;
  std::string bytes;
};

std::vector<Chunk> load(const std::string& name) {
  std::string raw = read_file(fs::path(XFER_TEST_DATA) / name);
  std::vector<Chunk> out;
  size_t i = 0;
  while (i + 5 <= raw.size()) {
    uint32_t n = 0;
    for (int k = 0; k < 4; ++k) n |= uint32_t(uint8_t(raw[i + 1 + k])) << (8 * k);
    if (i + 5 + n > raw.size()) break;
    out.push_back({raw[i], raw.substr(i + 5, n)});
    i += 5 + n;
  }
  return out;
}

// The content every recorded session carried (see record_sessions.sh).
std::string session_content() { return random_bytes(3000, 42); }

struct Replay {
  std::string sent;
  Event done;
  TempDir dir;
};

std::string recorded(const std::vector<Chunk>& chunks, char dir) {
  std::string all;
  for (auto& c : chunks)
    if (c.dir == dir) all += c.bytes;
  return all;
}

// Feeds the peer's side of a recording; our answers must be the recorded ones, byte for byte.
void replay(const std::string& protocol, const std::string& direction, const std::string& saved_as, size_t pad) {
  std::string file = protocol + "-" + direction + ".rec";
  auto chunks = load(file);
  ASSERT_FALSE(chunks.empty()) << file;
  Replay r;
  const std::string content = session_content();
  XYZModemTransfer::Options o;
  o.protocol = protocol;
  o.direction = direction;
  if (direction == "send") {
    write_file(r.dir.path / "session.bin", content);
    utimbuf t{1700000000, 1700000000};
    utime((r.dir.path / "session.bin").c_str(), &t);
    o.files = {(r.dir.path / "session.bin").string()};
  } else {
    o.save_dir = (r.dir.path / "in").string();
  }
  o.send_bytes = [&](std::string_view s) { r.sent += s; };
  o.on_event = [&](const Event& e) {
    if (e["kind"] == "done") r.done = e;
  };
  XYZModemTransfer t(o);
  t.start(0);
  uint64_t now = 0;
  for (auto& c : chunks) {
    if (c.dir != 'P') continue;
    t.feed(c.bytes, now += 1);
    while (t.wants_tick()) t.tick(now);
    // An XMODEM/YMODEM sender answers a start request a moment later.
    t.tick(now += XYModemSender::kAnswerDelayMs);
  }
  t.tick(now + 1500);  // a receiver's short wait for the sender's "OO"
  ASSERT_TRUE(t.is_done()) << file;
  EXPECT_EQ(r.done["ok"], true) << r.done.dump();
  EXPECT_TRUE(r.sent == recorded(chunks, 'U')) << file << ": our answers differ from the recorded session";
  if (direction == "recv") {
    std::string want = content;
    if (pad && want.size() % pad) want.append(pad - want.size() % pad, '\x1a');
    EXPECT_TRUE(read_file(r.dir.path / "in" / saved_as) == want) << file;
  }
}

}  // namespace

TEST(ReplayedSessions, zmodem_both_ways) {
  replay("zmodem", "recv", "session.bin", 0);
  replay("zmodem", "send", "", 0);
}

TEST(ReplayedSessions, ymodem_and_ymodem_g) {
  replay("ymodem", "recv", "session.bin", 0);
  replay("ymodem", "send", "", 0);
  replay("ymodem-g", "recv", "session.bin", 0);
}

TEST(ReplayedSessions, xmodem_checksum_crc_and_1k) {
  for (const char* p : {"xmodem", "xmodem-crc", "xmodem-1k"}) {
    replay(p, "recv", "xmodem.bin", 128);
    replay(p, "send", "", 0);
  }
}

TEST(ReplayedSessions, damaged_recording_fails_cleanly_instead_of_saving_a_wrong_file) {
  auto chunks = load("zmodem-recv.rec");
  ASSERT_FALSE(chunks.empty());
  TempDir d;
  Event done;
  XYZModemTransfer::Options o;
  o.protocol = "zmodem";
  o.direction = "recv";
  o.save_dir = d.path.string();
  o.send_bytes = [](std::string_view) {};
  o.on_event = [&](const Event& e) {
    if (e["kind"] == "done") done = e;
  };
  XYZModemTransfer t(o);
  t.start(0);
  uint64_t now = 0;
  size_t seen = 0;
  for (auto& c : chunks) {
    if (c.dir != 'P') continue;
    std::string b = c.bytes;
    for (auto& ch : b)
      if (++seen % 700 == 0) ch ^= 0x40;  // damage that a replay cannot repair
    t.feed(b, now += 1);
  }
  for (int i = 0; i < 12 && !t.is_done(); ++i) t.tick(now += 10001);
  ASSERT_TRUE(t.is_done());
  EXPECT_EQ(done["ok"], false);
  for (auto& e : std::filesystem::directory_iterator(d.path)) ADD_FAILURE() << "left behind: " << e.path();
}
