// The pump between a transfer engine and a tab's line: a line that takes only part of what is
// written (a serial port held by flow control, a far end that reads slowly) must get the rest
// later, in order, or the receiver sees a damaged stream and asks for data again.
#include "transfer/tab_transfer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "temp_dir.h"
#include "transfer_fixture.h"

namespace morvane::transfer {
namespace {

using namespace morvane::xfertest;

using morvane::testing::TempDir;

// Hex headers of one type the receiver sent ("**" ZDLE 'B' then the type in hex).
size_t headers_of_type(const std::string& stream, const char* type_hex) {
  std::string needle = std::string("**\x18" "B") + type_hex;
  size_t count = 0;
  for (size_t at = stream.find(needle); at != std::string::npos; at = stream.find(needle, at + 1)) ++count;
  return count;
}

// Our ZMODEM sender and receiver joined back to back through two pumps. The sender's line
// takes `take(n)` of the n bytes offered on each write.
struct Pair {
  TempDir dir;
  std::shared_ptr<TabTransfer> sender, receiver;
  std::mutex mu;
  std::string receiver_said;
  std::atomic<bool> sender_ok{false}, receiver_ok{false}, stop{false};
  std::atomic<int> done{0};

  Pair(std::vector<std::string> files, std::function<size_t(size_t)> take) {
    fs::create_directories(dir.path / "in");
    auto on_done = [this](std::atomic<bool>& ok) {
      return [this, &ok](const xfer::Event& e, const TransferSlot*) {
        if (e.value("kind", "") != "done") return;
        ok = e.value("ok", false);
        ++done;
      };
    };
    xfer::XYZModemTransfer::Options s, r;
    s.protocol = r.protocol = "zmodem";
    s.direction = "send";
    s.files = std::move(files);
    r.direction = "recv";
    r.save_dir = (dir.path / "in").string();
    sender = std::make_shared<TabTransfer>(
        s,
        [this, take](std::string_view b) {
          size_t n = std::min(take(b.size()), b.size());
          if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a held line blocks a while
          receiver->feed(b.substr(0, n));
          return n;
        },
        on_done(sender_ok));
    receiver = std::make_shared<TabTransfer>(
        r,
        [this](std::string_view b) {
          {
            std::lock_guard<std::mutex> lock(mu);
            receiver_said.append(b);
          }
          sender->feed(b);
          return b.size();
        },
        on_done(receiver_ok));
  }
  // Runs both pumps until both ends finished (or a minute passed).
  void run() {
    receiver->start();
    sender->start();
    std::thread a([this] { sender->pump([this] { return stop.load(); }); });
    std::thread b([this] { receiver->pump([this] { return stop.load(); }); });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (done < 2 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    a.join();
    b.join();
  }
};

TEST(TabTransferPump, BytesTheLineDidNotTakeAreOfferedAgainInOrder) {
  TempDir src;
  std::string big = nasty_bytes((1u << 20) + 333, 5), small = nasty_bytes(100, 6);
  write_file(src.path / "big.bin", big);
  write_file(src.path / "small.bin", small);
  std::mt19937 rng(11);
  std::mutex rng_mu;
  // Most writes are cut short; one in five takes nothing at all.
  Pair p({(src.path / "big.bin").string(), (src.path / "small.bin").string()}, [&](size_t n) -> size_t {
    std::lock_guard<std::mutex> lock(rng_mu);
    unsigned r = rng() % 5;
    return r == 0 ? 0 : r == 1 ? n : rng() % (n + 1);
  });
  p.run();
  EXPECT_TRUE(p.sender_ok);
  EXPECT_TRUE(p.receiver_ok);
  EXPECT_TRUE(read_file(p.dir.path / "in" / "big.bin") == big);
  EXPECT_EQ(read_file(p.dir.path / "in" / "small.bin"), small);
  // One ZRPOS per file (its start) and no other: nothing was lost on the way.
  std::lock_guard<std::mutex> lock(p.mu);
  EXPECT_EQ(headers_of_type(p.receiver_said, "09"), 2u);
}

TEST(TabTransferPump, ACancelledTransferDoesNotWaitOnALineThatTakesNothing) {
  TempDir src;
  write_file(src.path / "f.bin", nasty_bytes(4u << 20, 8));
  // The line takes the first 100 kB, then nothing ever again.
  std::atomic<size_t> taken{0};
  Pair p({(src.path / "f.bin").string()}, [&](size_t n) -> size_t {
    size_t t = taken;
    size_t n_now = t >= 100000 ? 0 : std::min(n, 100000 - t);
    taken += n_now;
    return n_now;
  });
  p.receiver->start();
  p.sender->start();
  std::thread pump([&] { p.sender->pump([] { return false; }); });
  std::thread other([&] { p.receiver->pump([&] { return p.done >= 2; }); });
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (taken < 100000 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(taken, 100000u);
  p.sender->cancel();
  pump.join();  // returns although the cancel sequence itself never went out
  EXPECT_TRUE(p.sender->is_done());
  EXPECT_FALSE(p.sender_ok);
  p.receiver->cancel();
  other.join();
}

}  // namespace
}  // namespace morvane::transfer
