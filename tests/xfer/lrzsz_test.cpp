// Every protocol in both directions against the real lrzsz programs (sz/rz, sb/rb, sx/rx) over
// pipes: byte-exact files of several sizes, damaged lines, cancel from either side. Set
// MORVANE_XFER_RECORD=<folder> to record the sessions the replay tests use.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include <utime.h>

#include "peer.h"

namespace fs = std::filesystem;
using morvane::xfer::Event;
using morvane::xfer::XYZModemTransfer;
using namespace xfer_test;

namespace {

struct Outcome {
  PumpResult pump;
  std::vector<Event> events;
  Event done;
  int peer_exit = -1;
  std::string peer_stderr;
};

void save_recording(const std::string& name, const Recorder& rec) {
  const char* dir = std::getenv("MORVANE_XFER_RECORD");
  if (dir && *dir) write_file(fs::path(dir) / name, rec.bytes);
}

// Our engine receives what the lrzsz sender in src sends.
Outcome receive_from(const std::string& protocol, std::vector<std::string> argv, const fs::path& src,
                     const fs::path& dst, PumpOptions o = {}, bool escape_ctl = false) {
  Outcome out;
  std::string pending;
  Recorder rec;
  if (!o.recorder) o.recorder = &rec;
  XYZModemTransfer::Options opt;
  opt.protocol = protocol;
  opt.direction = "recv";
  opt.save_dir = dst.string();
  opt.escape_ctl = escape_ctl;
  opt.send_bytes = collect(pending, o.recorder, o.to_peer_fault);
  opt.on_event = [&](const Event& e) {
    out.events.push_back(e);
    if (e["kind"] == "done") out.done = e;
  };
  XYZModemTransfer t(opt);
  Peer peer(argv, src.string());
  out.pump = pump(peer, t, pending, o);
  out.peer_exit = peer.exited() ? peer.exit_code() : -1;
  out.peer_stderr = peer.stderr_text();
  return out;
}

// Our engine sends files to the lrzsz receiver running in dst.
Outcome send_to(const std::string& protocol, std::vector<std::string> argv, std::vector<std::string> files,
                const fs::path& dst, PumpOptions o = {}) {
  Outcome out;
  std::string pending;
  Recorder rec;
  if (!o.recorder) o.recorder = &rec;
  XYZModemTransfer::Options opt;
  opt.protocol = protocol;
  opt.direction = "send";
  opt.files = std::move(files);
  opt.send_bytes = collect(pending, o.recorder, o.to_peer_fault);
  opt.on_event = [&](const Event& e) {
    out.events.push_back(e);
    if (e["kind"] == "done") out.done = e;
  };
  XYZModemTransfer t(opt);
  Peer peer(argv, dst.string());
  out.pump = pump(peer, t, pending, o);
  out.peer_exit = peer.exited() ? peer.exit_code() : -1;
  out.peer_stderr = peer.stderr_text();
  return out;
}

void expect_ok(const Outcome& o) {
  ASSERT_TRUE(o.pump.finished) << o.pump.error;
  ASSERT_TRUE(o.done.is_object()) << "no done event";
  EXPECT_EQ(o.done["ok"], true) << o.done.dump() << " peer said: " << o.peer_stderr;
  EXPECT_EQ(o.peer_exit, 0) << o.peer_stderr;
}

void expect_no_partial_files(const fs::path& dir) {
  for (auto& e : fs::directory_iterator(dir))
    EXPECT_FALSE(e.path().extension() == ".part") << "left behind: " << e.path();
}

// Files with the awkward bytes: ZDLE, XON/XOFF with and without parity, CR, 0xFF, CAN runs.
std::string hostile_bytes(size_t n) {
  static const char pick[] = {0x18, 0x11, 0x13, (char)0x91, (char)0x93, 0x0d, (char)0x8d, (char)0xff, 0x10, '*', 0x7f, 0};
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = pick[(i * 7 + i / 13) % sizeof pick];
  return s;
}

// Random bytes with every third one an awkward byte.
std::string salted_bytes(size_t n, uint64_t seed) {
  std::string s = random_bytes(n, seed), awkward = hostile_bytes(n / 3 + 1);
  for (size_t i = 0; i < n; i += 3) s[i] = awkward[i / 3];
  return s;
}

std::string pad_to(std::string s, size_t block) {
  if (s.size() % block) s.append(block - s.size() % block, '\x1a');
  return s;
}

const std::vector<std::pair<std::string, std::string>>& sample_files() {
  static const std::vector<std::pair<std::string, std::string>> files = {
      {"empty.bin", ""},
      {"one.bin", "x"},
      {"k1024.bin", random_bytes(1024, 1)},
      {"k1025.bin", random_bytes(1025, 2)},
      {"hostile.bin", hostile_bytes(5000)},
      {"name with spaces ü.bin", random_bytes(3000, 3)},
      {"mb.bin", random_bytes(1 << 20, 4)},
  };
  return files;
}

}  // namespace

// ---------------------------------------------------------------- ZMODEM

TEST(ZmodemLrzsz, receives_every_size_and_awkward_byte_from_sz) {
  REQUIRE_PROGRAM("sz");
  TempDir src, dst;
  std::vector<std::string> argv = {"sz", "-b"};
  for (auto& [name, data] : sample_files()) {
    write_file(src.path / name, data);
    argv.push_back(name);
  }
  Recorder rec;
  PumpOptions o;
  auto out = receive_from("zmodem", argv, src.path, dst.path, o);
  expect_ok(out);
  for (auto& [name, data] : sample_files()) {
    ASSERT_TRUE(fs::exists(dst.path / name)) << name;
    EXPECT_TRUE(read_file(dst.path / name) == data) << name;
  }
  expect_no_partial_files(dst.path);
  bool progress = false;
  for (auto& e : out.events)
    if (e["kind"] == "progress" && e["file"] == "mb.bin" && e["done"] == (1 << 20) && e["total"] == (1 << 20))
      progress = true;
  EXPECT_TRUE(progress) << "no final progress event for mb.bin";
}

TEST(ZmodemLrzsz, receives_with_escaped_controls_and_8k_subpackets) {
  REQUIRE_PROGRAM("sz");
  TempDir src, dst;
  std::string data = hostile_bytes(20000) + random_bytes(50000, 9);
  write_file(src.path / "f.bin", data);
  // -e: sz escapes every control character; --start-8k: 8 KiB subpackets.
  auto out = receive_from("zmodem", {"sz", "-b", "-e", "--start-8k", "f.bin"}, src.path, dst.path, {}, true);
  expect_ok(out);
  EXPECT_TRUE(read_file(dst.path / "f.bin") == data);
}

TEST(ZmodemLrzsz, sends_every_size_and_awkward_byte_to_rz) {
  REQUIRE_PROGRAM("rz");
  TempDir src, dst;
  std::vector<std::string> paths;
  for (auto& [name, data] : sample_files()) {
    write_file(src.path / name, data);
    paths.push_back((src.path / name).string());
  }
  auto out = send_to("zmodem", {"rz", "-b", "-y"}, paths, dst.path);
  expect_ok(out);
  for (auto& [name, data] : sample_files()) {
    ASSERT_TRUE(fs::exists(dst.path / name)) << name;
    EXPECT_TRUE(read_file(dst.path / name) == data) << name;
  }
}

TEST(ZmodemLrzsz, sends_to_rz_that_asks_for_escaped_controls) {
  REQUIRE_PROGRAM("rz");
  TempDir src, dst;
  std::string data = hostile_bytes(30000);
  write_file(src.path / "f.bin", data);
  auto out = send_to("zmodem", {"rz", "-b", "-y", "-e"}, {(src.path / "f.bin").string()}, dst.path);
  expect_ok(out);
  EXPECT_TRUE(read_file(dst.path / "f.bin") == data);
}

TEST(ZmodemLrzsz, damaged_line_from_sz_recovers_with_zrpos) {
  REQUIRE_PROGRAM("sz");
  TempDir src, dst;
  std::string data = random_bytes(300000, 5);
  write_file(src.path / "f.bin", data);
  PumpOptions o;
  uint64_t seen = 0;
  int flips = 0;
  // Flip a byte every ~40 KB and drop a run of bytes once.
  bool dropped = false;
  o.to_engine_fault = [&](std::string& s) {
    for (size_t i = 0; i < s.size(); ++i, ++seen) {
      if (seen > 2000 && seen % 40000 == 0) {
        s[i] ^= 0x55;
        ++flips;
      }
    }
    if (!dropped && seen > 150000 && s.size() > 100) {
      s.erase(10, 50);
      dropped = true;
    }
  };
  auto out = receive_from("zmodem", {"sz", "-b", "f.bin"}, src.path, dst.path, o);
  expect_ok(out);
  EXPECT_GT(flips, 3);
  EXPECT_TRUE(read_file(dst.path / "f.bin") == data);
}

TEST(ZmodemLrzsz, damaged_line_to_rz_recovers_from_its_zrpos) {
  REQUIRE_PROGRAM("rz");
  // Random bytes with a flip now and then; then a file that is mostly escapes, flipped often
  // enough that rz is still skipping old data when it asks again, several times over.
  struct Case {
    std::string data;
    uint64_t every;
  };
  for (const Case& c : {Case{random_bytes(300000, 6), 50000}, Case{salted_bytes(3000000, 7), 100000}}) {
    SCOPED_TRACE(c.every);
    TempDir src, dst;
    write_file(src.path / "f.bin", c.data);
    uint64_t seen = 0;
    int flips = 0;
    PumpOptions o;
    o.to_peer_fault = [&](std::string& s) {
      for (size_t i = 0; i < s.size(); ++i, ++seen)
        if (seen > 5000 && seen % c.every == 0) {
          s[i] ^= 0x21;
          ++flips;
        }
    };
    auto out = send_to("zmodem", {"rz", "-b", "-y"}, {(src.path / "f.bin").string()}, dst.path, o);
    expect_ok(out);
    EXPECT_GT(flips, 3);
    EXPECT_TRUE(read_file(dst.path / "f.bin") == c.data);
  }
}

TEST(ZmodemLrzsz, our_cancel_stops_sz_and_leaves_no_partial_file) {
  REQUIRE_PROGRAM("sz");
  TempDir src, dst;
  write_file(src.path / "big.bin", random_bytes(4 << 20, 7));
  PumpOptions o;
  o.on_input = [](XYZModemTransfer& t, uint64_t in) {
    if (in > 200000 && !t.is_done()) t.cancel();
  };
  auto out = receive_from("zmodem", {"sz", "-b", "big.bin"}, src.path, dst.path, o);
  ASSERT_TRUE(out.pump.finished) << out.pump.error;
  EXPECT_EQ(out.done["ok"], false);
  EXPECT_EQ(out.done["reason"], "cancelled");
  EXPECT_NE(out.peer_exit, 0) << "sz should report the cancelled transfer";
  EXPECT_TRUE(fs::is_empty(dst.path)) << "a cancelled file must not stay behind";
}

TEST(ZmodemLrzsz, rz_interrupted_mid_file_ends_our_send_with_a_reason) {
  REQUIRE_PROGRAM("rz");
  TempDir src, dst;
  write_file(src.path / "big.bin", random_bytes(16 << 20, 8));
  std::string pending;
  Event done;
  XYZModemTransfer::Options opt;
  opt.protocol = "zmodem";
  opt.direction = "send";
  opt.files = {(src.path / "big.bin").string()};
  Peer* peer_ptr = nullptr;
  uint64_t sent = 0;
  // Interrupt rz (it answers SIGINT with the cancel sequence) once a megabyte went out.
  opt.send_bytes = collect(pending, nullptr, [&](std::string& s) {
    if (sent < (1u << 20) && sent + s.size() >= (1u << 20) && peer_ptr) kill(peer_ptr->pid, SIGINT);
    sent += s.size();
  });
  opt.on_event = [&](const Event& e) {
    if (e["kind"] == "done") done = e;
  };
  XYZModemTransfer t(opt);
  Peer peer({"rz", "-b", "-y"}, dst.path.string());
  peer_ptr = &peer;
  auto r = pump(peer, t, pending);
  ASSERT_TRUE(done.is_object()) << r.error;
  EXPECT_EQ(done["ok"], false);
  EXPECT_EQ(done["reason"], "the receiver cancelled the transfer") << r.error;
  EXPECT_LT(sent, 16u << 20);
}

// ---------------------------------------------------------------- YMODEM

TEST(YmodemLrzsz, receives_a_batch_from_sb_with_exact_sizes) {
  REQUIRE_PROGRAM("sb");
  TempDir src, dst;
  std::vector<std::pair<std::string, std::string>> files = {
      {"empty.bin", ""}, {"one.bin", "y"}, {"k1024.bin", random_bytes(1024, 11)},
      {"k1025.bin", random_bytes(1025, 12)}, {"hostile.bin", hostile_bytes(3000)}};
  std::vector<std::string> argv = {"sb", "-k"};
  for (auto& [n, d] : files) write_file(src.path / n, d), argv.push_back(n);
  auto out = receive_from("ymodem", argv, src.path, dst.path);
  expect_ok(out);
  for (auto& [n, d] : files) EXPECT_TRUE(read_file(dst.path / n) == d) << n;
  expect_no_partial_files(dst.path);
}

TEST(YmodemLrzsz, receives_ymodem_g_stream_from_sb) {
  REQUIRE_PROGRAM("sb");
  TempDir src, dst;
  std::string data = random_bytes(200000, 13);
  write_file(src.path / "g.bin", data);
  auto out = receive_from("ymodem-g", {"sb", "-k", "g.bin"}, src.path, dst.path);
  expect_ok(out);
  EXPECT_TRUE(read_file(dst.path / "g.bin") == data);
}

TEST(YmodemLrzsz, sends_a_batch_to_rb) {
  REQUIRE_PROGRAM("rb");
  TempDir src, dst;
  std::vector<std::pair<std::string, std::string>> files = {
      {"empty.bin", ""}, {"one.bin", "y"}, {"k1024.bin", random_bytes(1024, 14)},
      {"k129.bin", random_bytes(129, 15)}, {"mb.bin", random_bytes(1 << 20, 16)}};
  std::vector<std::string> paths;
  for (auto& [n, d] : files) write_file(src.path / n, d), paths.push_back((src.path / n).string());
  auto out = send_to("ymodem", {"rb", "-b", "-y"}, paths, dst.path);
  expect_ok(out);
  for (auto& [n, d] : files) EXPECT_TRUE(read_file(dst.path / n) == d) << n;
}

// ---------------------------------------------------------------- XMODEM

struct XCase {
  const char* protocol;
  std::vector<std::string> sender;  // file name appended
  size_t pad;
};

TEST(XmodemLrzsz, receives_from_sx_in_each_variant_with_the_padding_it_sends) {
  REQUIRE_PROGRAM("sx");
  for (const XCase& c : {XCase{"xmodem", {"sx"}, 128}, XCase{"xmodem-crc", {"sx"}, 128},
                         XCase{"xmodem-1k", {"sx", "-k"}, 128}}) {
    for (size_t size : {1u, 1024u, 3000u}) {
      SCOPED_TRACE(std::string(c.protocol) + " " + std::to_string(size));
      TempDir src, dst;
      std::string data = random_bytes(size, size);
      write_file(src.path / "x.bin", data);
      auto argv = c.sender;
      argv.push_back("x.bin");
      auto out = receive_from(c.protocol, argv, src.path, dst.path);
      expect_ok(out);
      EXPECT_TRUE(read_file(dst.path / "xmodem.bin") == pad_to(data, c.pad));
    }
  }
}

TEST(XmodemLrzsz, sends_to_rx_with_checksum_and_crc) {
  REQUIRE_PROGRAM("rx");
  for (const XCase& c : {XCase{"xmodem", {"rx", "-b"}, 128}, XCase{"xmodem-crc", {"rx", "-b", "-c"}, 128},
                         XCase{"xmodem-1k", {"rx", "-b", "-c"}, 128}}) {
    for (size_t size : {1u, 1024u, 5000u}) {
      SCOPED_TRACE(std::string(c.protocol) + " " + std::to_string(size));
      TempDir src, dst;
      std::string data = random_bytes(size, size + 1);
      write_file(src.path / "x.bin", data);
      auto argv = c.sender;
      argv.push_back("out.bin");
      auto out = send_to(c.protocol, argv, {(src.path / "x.bin").string()}, dst.path);
      expect_ok(out);
      EXPECT_TRUE(read_file(dst.path / "out.bin") == pad_to(data, c.pad));
    }
  }
}

// ---------------------------------------------------------------- recorded sessions

// One short session per protocol and direction; with MORVANE_XFER_RECORD set, each is saved for
// replay_test.cpp ("<protocol>-<direction>.rec").
TEST(RecordedSessions, short_session_of_each_protocol_both_ways_is_byte_exact) {
  REQUIRE_PROGRAM("sz");
  struct S {
    const char* protocol;
    std::vector<std::string> lrzsz_sender, lrzsz_receiver;
    const char* saved_as;
    size_t pad;
  };
  const std::vector<S> sessions = {
      {"zmodem", {"sz", "-b"}, {"rz", "-b", "-y"}, "session.bin", 0},
      {"ymodem", {"sb", "-k"}, {"rb", "-b", "-y"}, "session.bin", 0},
      {"ymodem-g", {"sb", "-k"}, {}, "session.bin", 0},
      {"xmodem", {"sx"}, {"rx", "-b"}, "xmodem.bin", 128},
      {"xmodem-crc", {"sx"}, {"rx", "-b", "-c"}, "xmodem.bin", 128},
      {"xmodem-1k", {"sx", "-k"}, {"rx", "-b", "-c"}, "xmodem.bin", 128},
  };
  const std::string content = random_bytes(3000, 42);
  for (const S& s : sessions) {
    SCOPED_TRACE(s.protocol);
    {
      TempDir src, dst;
      write_file(src.path / "session.bin", content);
      utimbuf t{1700000000, 1700000000};
      utime((src.path / "session.bin").c_str(), &t);
      Recorder rec;
      PumpOptions o;
      o.recorder = &rec;
      auto argv = s.lrzsz_sender;
      argv.push_back("session.bin");
      auto out = receive_from(s.protocol, argv, src.path, dst.path, o);
      expect_ok(out);
      EXPECT_TRUE(read_file(dst.path / s.saved_as) == (s.pad ? pad_to(content, s.pad) : content));
      save_recording(std::string(s.protocol) + "-recv.rec", rec);
    }
    if (s.lrzsz_receiver.empty()) continue;  // lrzsz has no YMODEM-G receiver
    {
      TempDir src, dst;
      write_file(src.path / "session.bin", content);
      utimbuf t{1700000000, 1700000000};
      utime((src.path / "session.bin").c_str(), &t);
      Recorder rec;
      PumpOptions o;
      o.recorder = &rec;
      auto argv = s.lrzsz_receiver;
      if (s.pad) argv.push_back("session.bin");
      auto out = send_to(s.protocol, argv, {(src.path / "session.bin").string()}, dst.path, o);
      expect_ok(out);
      EXPECT_TRUE(read_file(dst.path / "session.bin") == (s.pad ? pad_to(content, s.pad) : content));
      save_recording(std::string(s.protocol) + "-send.rec", rec);
    }
  }
}

// ---------------------------------------------------------------- skip and restart

TEST(ZmodemLrzsz, rz_skipping_an_existing_file_moves_on_to_the_next) {
  REQUIRE_PROGRAM("rz");
  TempDir src, dst;
  write_file(src.path / "keep.bin", "new content");
  write_file(src.path / "next.bin", random_bytes(5000, 21));
  write_file(dst.path / "keep.bin", "old content");
  // -p: rz protects existing files and answers ZSKIP.
  auto out = send_to("zmodem", {"rz", "-b", "-p"},
                     {(src.path / "keep.bin").string(), (src.path / "next.bin").string()}, dst.path);
  expect_ok(out);
  EXPECT_EQ(read_file(dst.path / "keep.bin"), "old content");
  EXPECT_TRUE(read_file(dst.path / "next.bin") == read_file(src.path / "next.bin"));
  bool skipped = false;
  for (auto& e : out.events) skipped |= e["kind"] == "skipped" && e["file"] == "keep.bin";
  EXPECT_TRUE(skipped);
}

TEST(ZmodemLrzsz, rz_resuming_a_partial_file_gets_the_rest_from_its_offset) {
  REQUIRE_PROGRAM("rz");
  TempDir src, dst;
  std::string data = random_bytes(200000, 22);
  write_file(src.path / "r.bin", data);
  write_file(dst.path / "r.bin", data.substr(0, 70000));
  uint64_t sent = 0;
  PumpOptions o;
  o.to_peer_fault = [&](std::string& s) { sent += s.size(); };
  auto out = send_to("zmodem", {"rz", "-b", "-r"}, {(src.path / "r.bin").string()}, dst.path, o);
  expect_ok(out);
  EXPECT_TRUE(read_file(dst.path / "r.bin") == data);
  EXPECT_LT(sent, 200000u) << "the first 70000 bytes should not travel again";
}

TEST(ZmodemLrzsz, file_we_cannot_create_is_skipped_and_reported) {
  REQUIRE_PROGRAM("sz");
  TempDir src, dst;
  write_file(src.path / "a.bin", "abc");
  write_file(dst.path / "not-a-folder", "x");
  auto out = receive_from("zmodem", {"sz", "-b", "a.bin"}, src.path, dst.path / "not-a-folder");
  ASSERT_TRUE(out.pump.finished) << out.pump.error;
  EXPECT_EQ(out.done["ok"], false);
  EXPECT_TRUE(out.done.value("reason", "").starts_with("cannot create a.bin")) << out.done.dump();
}

TEST(YmodemLrzsz, damaged_blocks_are_repeated_both_ways) {
  REQUIRE_PROGRAM("sb");
  std::string data = random_bytes(40000, 23);
  auto flipper = [](uint64_t& seen) {
    return [&seen](std::string& s) {
      for (size_t i = 0; i < s.size(); ++i, ++seen)
        if (seen > 3000 && seen % 9000 == 0) s[i] ^= 0x08;
    };
  };
  {
    TempDir src, dst;
    write_file(src.path / "d.bin", data);
    uint64_t seen = 0;
    PumpOptions o;
    o.to_engine_fault = flipper(seen);
    auto out = receive_from("ymodem", {"sb", "-k", "d.bin"}, src.path, dst.path, o);
    expect_ok(out);
    EXPECT_GT(seen, 40000u);
    EXPECT_TRUE(read_file(dst.path / "d.bin") == data);
  }
  {
    TempDir src, dst;
    write_file(src.path / "d.bin", data);
    uint64_t seen = 0;
    PumpOptions o;
    o.to_peer_fault = flipper(seen);
    auto out = send_to("ymodem", {"rb", "-b", "-y"}, {(src.path / "d.bin").string()}, dst.path, o);
    expect_ok(out);
    EXPECT_TRUE(read_file(dst.path / "d.bin") == data);
  }
}

TEST(ZmodemLrzsz, sz_killed_mid_file_ends_with_a_reason_and_no_file) {
  REQUIRE_PROGRAM("sz");
  TempDir src, dst;
  write_file(src.path / "big.bin", random_bytes(8 << 20, 24));
  std::string pending;
  Event done;
  XYZModemTransfer::Options opt;
  opt.protocol = "zmodem";
  opt.direction = "recv";
  opt.save_dir = dst.path.string();
  opt.send_bytes = collect(pending);
  opt.on_event = [&](const Event& e) {
    if (e["kind"] == "done") done = e;
  };
  XYZModemTransfer t(opt);
  Peer peer({"sz", "-b", "big.bin"}, src.path.string());
  PumpOptions o;
  o.on_input = [&](XYZModemTransfer&, uint64_t in) {
    if (in > 300000) kill(peer.pid, SIGKILL);
  };
  auto r = pump(peer, t, pending, o);
  ASSERT_FALSE(t.is_done()) << "the engine cannot know yet: " << r.error;
  // The line stays silent: the receiver repeats its ZRPOS and then gives up.
  uint64_t now = now_ms();
  for (int i = 0; i < 15 && !t.is_done(); ++i) t.tick(now += 10001);
  ASSERT_TRUE(t.is_done());
  EXPECT_EQ(done["ok"], false);
  EXPECT_EQ(done["reason"], "no answer from the sender");
  EXPECT_TRUE(fs::is_empty(dst.path)) << "no partial file may stay behind";
}
