// Engine behaviour that needs no peer: time-outs driven by the clock given, and cancel.
#include <gtest/gtest.h>

#include "peer.h"
#include "xfer/xymodem.h"
#include "xfer/zmodem_frame.h"

using namespace morvane::xfer;
using namespace xfer_test;

namespace {
struct Session {
  std::string out;
  std::vector<Event> events;
  std::unique_ptr<XYZModemTransfer> t;
  TempDir dir;
  Session(const std::string& protocol, const std::string& direction) {
    XYZModemTransfer::Options o;
    o.protocol = protocol;
    o.direction = direction;
    o.save_dir = dir.path.string();
    write_file(dir.path / "f.bin", "data");
    o.files = {(dir.path / "f.bin").string()};
    o.send_bytes = [this](std::string_view s) { out += s; };
    o.on_event = [this](const Event& e) { events.push_back(e); };
    t = std::make_unique<XYZModemTransfer>(o);
  }
  const Event* done() const {
    for (auto& e : events)
      if (e["kind"] == "done") return &e;
    return nullptr;
  }
};
}  // namespace

TEST(TransferTimeouts, silent_peer_ends_each_engine_with_a_reason_after_its_retries) {
  for (const char* p : {"zmodem", "xmodem", "xmodem-crc", "ymodem", "ymodem-g"}) {
    for (const char* d : {"recv", "send"}) {
      SCOPED_TRACE(std::string(p) + " " + d);
      Session r(p, d);
      r.t->start(1000);
      uint64_t now = 1000;
      // A clock read on another thread before start() but delivered after it: no time passed.
      std::string said = r.out;
      r.t->tick(400);
      EXPECT_EQ(r.out, said);
      // Ten seconds of silence is not yet the end.
      r.t->tick(now += 9000);
      EXPECT_FALSE(r.t->is_done());
      for (int i = 0; i < 30 && !r.t->is_done(); ++i) r.t->tick(now += 10000);
      ASSERT_TRUE(r.t->is_done());
      ASSERT_NE(r.done(), nullptr);
      EXPECT_EQ((*r.done())["ok"], false);
      EXPECT_FALSE((*r.done()).value("reason", "").empty());
      EXPECT_TRUE(r.out.ends_with(std::string(zm::cancel_sequence())));
      EXPECT_FALSE(std::filesystem::exists(r.dir.path / "xmodem.bin.part"));
    }
  }
}

TEST(TransferTimeouts, zmodem_receiver_repeats_zrinit_while_waiting) {
  Session r("zmodem", "recv");
  r.t->start(0);
  std::string first = r.out;
  r.t->tick(10000);
  EXPECT_EQ(r.out, first + first);
}

TEST(TransferCancel, cancel_gives_one_done_event_and_later_calls_do_nothing) {
  Session r("zmodem", "recv");
  r.t->start(0);
  r.t->cancel();
  r.t->cancel();
  r.t->feed("**\x18" "B0000000000000000", 5);
  r.t->tick(100000);
  int dones = 0;
  for (auto& e : r.events) dones += e["kind"] == "done";
  EXPECT_EQ(dones, 1);
  EXPECT_EQ((*r.done())["reason"], "cancelled");
}

TEST(TransferSetup, unknown_protocol_or_direction_is_refused) {
  XYZModemTransfer::Options o;
  o.protocol = "ZMODEM";
  o.direction = "recv";
  EXPECT_THROW(XYZModemTransfer{o}, std::invalid_argument);
  o.protocol = "zmodem";
  o.direction = "both";
  EXPECT_THROW(XYZModemTransfer{o}, std::invalid_argument);
}

// Our sender into our receiver, for every protocol, YMODEM-G included (lrzsz has no YMODEM-G
// receiver): a batch with awkward sizes arrives whole, under the same names.
TEST(TransferLoopback, each_protocol_moves_a_batch_between_our_own_engines) {
  for (const char* p : {"zmodem", "ymodem", "ymodem-g", "xmodem", "xmodem-crc", "xmodem-1k"}) {
    SCOPED_TRACE(p);
    bool batch = std::string(p) == "zmodem" || std::string(p).starts_with("ymodem");
    TempDir src, dst;
    std::vector<std::string> names = batch ? std::vector<std::string>{"a.bin", "b.bin", "c.bin"}
                                           : std::vector<std::string>{"a.bin"};
    std::vector<std::string> paths;
    for (size_t i = 0; i < names.size(); ++i) {
      write_file(src.path / names[i], random_bytes(i == 0 ? 100000 : i == 1 ? 0 : 1025, i + 30));
      paths.push_back((src.path / names[i]).string());
    }
    std::string to_recv, to_send;
    Event sdone, rdone;
    XYZModemTransfer::Options so;
    so.protocol = p;
    so.direction = "send";
    so.files = paths;
    so.send_bytes = [&](std::string_view s) { to_recv += s; };
    so.on_event = [&](const Event& e) {
      if (e["kind"] == "done") sdone = e;
    };
    XYZModemTransfer::Options ro = so;
    ro.direction = "recv";
    ro.files = {};
    ro.save_dir = dst.path.string();
    ro.send_bytes = [&](std::string_view s) { to_send += s; };
    ro.on_event = [&](const Event& e) {
      if (e["kind"] == "done") rdone = e;
    };
    XYZModemTransfer sender(so), receiver(ro);
    uint64_t now = 0;
    receiver.start(now);
    sender.start(now);
    for (int round = 0; round < 100000 && !(sender.is_done() && receiver.is_done()); ++round) {
      now += 1;
      std::string a = std::move(to_recv), b = std::move(to_send);
      to_recv.clear();
      to_send.clear();
      if (!a.empty()) receiver.feed(a, now);
      if (!b.empty()) sender.feed(b, now);
      sender.tick(now);
      receiver.tick(now);
      if (a.empty() && b.empty() && !sender.wants_tick()) now += 500;
    }
    ASSERT_TRUE(sender.is_done() && receiver.is_done());
    EXPECT_EQ(sdone["ok"], true) << sdone.dump();
    EXPECT_EQ(rdone["ok"], true) << rdone.dump();
    for (size_t i = 0; i < names.size(); ++i) {
      std::string want = read_file(src.path / names[i]);
      std::string got = read_file(dst.path / (batch ? names[i] : std::string("xmodem.bin")));
      if (!batch && want.size() % 128) want.append(128 - want.size() % 128, '\x1a');
      EXPECT_TRUE(got == want) << names[i];
    }
  }
}

// rb and rx empty their tty's input right after asking for a block, so an answer must wait a
// moment; and a repeated request means the block was lost, so it goes out again.
TEST(XYModemSender, answers_a_start_request_after_a_pause_and_repeats_a_lost_block_0) {
  Session s("ymodem", "send");
  s.t->start(0);
  s.t->feed("C", 10);
  s.t->tick(10 + XYModemSender::kAnswerDelayMs - 1);
  EXPECT_EQ(s.out, "");
  s.t->tick(10 + XYModemSender::kAnswerDelayMs);
  ASSERT_EQ(s.out.size(), 133u);  // block 0 with the name and size
  EXPECT_EQ(s.out.substr(3, 8), std::string("f.bin\0" "4 ", 8));
  std::string block0 = s.out;
  // No ACK, a second 'C' eleven seconds later: block 0 again, once.
  s.t->feed("C", 11000);
  s.t->tick(11000 + XYModemSender::kAnswerDelayMs);
  s.t->tick(11000 + 2 * XYModemSender::kAnswerDelayMs);
  EXPECT_EQ(s.out, block0 + block0);
  // ACK and 'C' together: the first data block follows after the pause.
  s.t->feed("\x06" "C", 12000);
  EXPECT_EQ(s.out.size(), 266u);
  s.t->tick(12000 + XYModemSender::kAnswerDelayMs);
  ASSERT_EQ(s.out.size(), 266u + 133u);
  EXPECT_EQ(s.out.substr(266, 3), "\x01\x01\xfe");
  EXPECT_EQ(s.out.substr(269, 4), "data");
  EXPECT_FALSE(s.t->is_done());
}

namespace {
// A ZMODEM sender played by hand, frame by frame, with what the receiver answers decoded.
struct HandSender : zm::FrameReader::Handler {
  zm::Encoder enc;
  zm::FrameReader reader;
  std::vector<zm::Header> answers;
  Session& s;
  explicit HandSender(Session& session) : s(session) {}
  void on_item(const zm::FrameReader::Item& it) override {
    if (it.kind == zm::FrameReader::Kind::Header) answers.push_back(it.header);
  }
  // Feeds bytes and returns the header types the receiver wrote in answer.
  std::vector<uint8_t> give(const std::string& bytes, uint64_t now) {
    size_t before = s.out.size(), seen = answers.size();
    s.t->feed(bytes, now);
    reader.feed(reinterpret_cast<const uint8_t*>(s.out.data() + before), s.out.size() - before, *this);
    std::vector<uint8_t> types;
    for (size_t i = seen; i < answers.size(); ++i) types.push_back(answers[i].type);
    return types;
  }
  std::string file_header(const std::string& name, size_t size) {
    std::string out, info = name + std::string(1, '\0') + std::to_string(size) + " 0 100644";
    enc.bin_header(out, zm::Header::flags(zm::ZFILE, 1), true);
    enc.subpacket(out, reinterpret_cast<const uint8_t*>(info.data()), info.size(), zm::ZCRCW, true);
    return out;
  }
  std::string data(uint32_t pos, const std::string& bytes, uint8_t end = zm::ZCRCE) {
    std::string out;
    enc.bin_header(out, zm::Header::at(zm::ZDATA, pos), true);
    enc.subpacket(out, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), end, true);
    return out;
  }
  std::string header(uint8_t type, uint32_t pos = 0) {
    std::string out;
    enc.bin_header(out, zm::Header::at(type, pos), true);
    return out;
  }
};
using Types = std::vector<uint8_t>;
}  // namespace

// Frames that arrive late or twice on a real line (a repeat crossing our answer) never cost a
// file, and a file the sender gives up on is not reported as received.
TEST(ZmodemReceiver, late_and_repeated_frames_keep_every_file_and_report_what_was_lost) {
  Session r("zmodem", "recv");
  HandSender sz(r);
  r.t->start(0);
  EXPECT_EQ(sz.give(sz.file_header("one", 1), 10), Types{zm::ZRPOS});
  EXPECT_EQ(sz.give(sz.data(0, "\x18") + sz.header(zm::ZEOF, 1), 20), Types{zm::ZRINIT});
  EXPECT_EQ(read_file(r.dir.path / "one"), "\x18");
  // The same file's data and end again, after it was saved: no answer that could make the
  // sender skip the file it offers next.
  EXPECT_EQ(sz.give(sz.data(0, "\x18"), 30), Types{});
  EXPECT_EQ(sz.give(sz.header(zm::ZEOF, 1), 40), Types{zm::ZRINIT});

  // A file header sent again (our answer was lost) restarts that file.
  std::string two(3000, 'b');
  EXPECT_EQ(sz.give(sz.file_header("two", two.size()), 50), Types{zm::ZRPOS});
  EXPECT_EQ(sz.give(sz.file_header("two", two.size()), 70), Types{zm::ZRPOS});
  EXPECT_EQ(sz.answers.back().pos(), 0u);
  EXPECT_EQ(sz.give(sz.data(0, two.substr(0, 1000)), 80), Types{});
  // A ZNAK or a time-out in the middle of a file asks for the byte reached, not the start.
  EXPECT_EQ(sz.give(sz.header(zm::ZNAK), 90), Types{zm::ZRPOS});
  EXPECT_EQ(sz.answers.back().pos(), 1000u);
  r.t->tick(90 + 10000);
  ASSERT_EQ(sz.give("", 10100), Types{});
  EXPECT_TRUE(r.out.ends_with(std::string([&] {
    std::string h;
    sz.enc.hex_header(h, zm::Header::at(zm::ZRPOS, 1000));
    return h;
  }())));
  EXPECT_EQ(sz.give(sz.data(1000, two.substr(1000)) + sz.header(zm::ZEOF, 3000), 10200), Types{zm::ZRINIT});
  EXPECT_EQ(read_file(r.dir.path / "two"), two);

  // The sender moves on from a file it started: the next one is received, the batch is not ok.
  EXPECT_EQ(sz.give(sz.file_header("three", 5), 10300), Types{zm::ZRPOS});
  EXPECT_EQ(sz.give(sz.file_header("four", 4), 10400), Types{zm::ZRPOS});
  EXPECT_EQ(sz.give(sz.data(0, "four") + sz.header(zm::ZEOF, 4), 10500), Types{zm::ZRINIT});
  EXPECT_EQ(sz.give(sz.header(zm::ZFIN), 10600), Types{zm::ZFIN});
  r.t->feed("OO", 10700);
  ASSERT_NE(r.done(), nullptr);
  EXPECT_EQ((*r.done())["ok"], false);
  EXPECT_NE((*r.done()).value("reason", "").find("three"), std::string::npos) << (*r.done()).dump();
  EXPECT_EQ(read_file(r.dir.path / "four"), "four");
  EXPECT_FALSE(std::filesystem::exists(r.dir.path / "three"));
  EXPECT_FALSE(std::filesystem::exists(r.dir.path / "three.part"));
}
