// The socket layer against the real loopback interface: time limits, refusals, the wake pair,
// the listener, closing from another thread, and close-on-exec.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace morvane::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs a call that blocks until something else happens, with a deadline: if the call has not
// returned by then, unblock() is run so the test fails with a message instead of hanging.
template <class F, class U>
auto returns_within(std::chrono::milliseconds deadline, F call, U unblock) {
  std::packaged_task<decltype(call())()> task(call);
  auto result = task.get_future();
  std::thread t(std::move(task));
  bool in_time = result.wait_for(deadline) == std::future_status::ready;
  if (!in_time) unblock();
  t.join();
  EXPECT_TRUE(in_time) << "the call was still blocked after " << deadline.count() << " ms";
  return result.get();
}

bool cloexec(NativeSocket s) {
  int flags = ::fcntl(s, F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC);
}

// A port nothing listens on: taken from the system, then released.
int closed_port() {
  Listener l = listen_loopback(0);
  int port = l.local_port();
  l.close();
  return port;
}

TEST(Connect, TimeLimitEndsAnAttemptThatIsNeverAnswered) {
  // A listener whose queue is full drops new handshakes: the connect is never answered.
  Listener full = listen_loopback(0, 0);
  const int port = full.local_port();
  std::vector<Socket> queued;
  bool timed_out = false;
  for (int i = 0; i < 8 && !timed_out; ++i) {
    auto start = Clock::now();
    try {
      queued.push_back(connect_tcp("127.0.0.1", port, 300ms));
    } catch (const NetError& e) {
      timed_out = true;
      EXPECT_STREQ(e.what(), ("connecting to 127.0.0.1:" + std::to_string(port) + ": timed out").c_str());
      EXPECT_EQ(e.code(), 0);
      EXPECT_GE(Clock::now() - start, 290ms) << "gave up before its time limit";
      EXPECT_LT(Clock::now() - start, 5s) << "overran its time limit";
    }
  }
  EXPECT_TRUE(timed_out) << "every connect to a full listener succeeded";
  EXPECT_FALSE(queued.empty()) << "not even the first connect was queued";
}

TEST(Connect, RefusalAndBadNamesCarryTheirContext) {
  const int port = closed_port();
  try {
    connect_tcp("127.0.0.1", port, 5s);
    ADD_FAILURE() << "connected to a closed port";
  } catch (const NetError& e) {
    EXPECT_STREQ(e.what(), ("connecting to 127.0.0.1:" + std::to_string(port) + ": Connection refused").c_str());
    EXPECT_EQ(e.code(), ECONNREFUSED);
    EXPECT_EQ(e.reason(), "Connection refused");
  }
  try {
    connect_tcp("no-such-host.invalid", 22, 5s);
    ADD_FAILURE() << "resolved a name under .invalid";
  } catch (const NetError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("connecting to no-such-host.invalid:22: ", 0), 0u) << e.what();
  }
  EXPECT_THROW(connect_tcp("127.0.0.1", 0, 1s), NetError);
  EXPECT_THROW(connect_tcp("127.0.0.1", 65536, 1s), NetError);
}

TEST(Connect, EveryAddressIsTriedInOrder) {
  // A name with several addresses, the first of them refused: the next one is taken.
  Listener l = listen_loopback(0);
  std::vector<Address> addrs = resolve("127.0.0.1", closed_port());
  std::vector<Address> good = resolve("localhost", l.local_port(), true);
  ASSERT_EQ(addrs.size(), 1u);
  ASSERT_FALSE(good.empty());
  EXPECT_EQ(good.front().host(), "127.0.0.1");
  EXPECT_EQ(good.front().port(), l.local_port());
  addrs.push_back(good.front());
  Socket s = connect_first(addrs, 5s, "connecting to both");
  ASSERT_TRUE(s);
  Peer peer;
  Socket server = l.accept(&peer);
  ASSERT_TRUE(server);
  EXPECT_EQ(peer.host, "127.0.0.1");
  // When every address refuses, the error is the last one's.
  addrs.pop_back();
  addrs.push_back(addrs.front());
  try {
    connect_first(addrs, 5s, "connecting to both");
    ADD_FAILURE() << "connected to closed ports";
  } catch (const NetError& e) {
    EXPECT_STREQ(e.what(), "connecting to both: Connection refused");
  }
}

TEST(WakePair, WakeEndsABlockedPollAndDrainRearmsIt) {
  WakePair pair;
  PollSet set;
  set.add(pair.fd(), kReadable);
  EXPECT_EQ(set.wait(0), 0) << "readable before any wake";

  std::thread waker([&] {
    std::this_thread::sleep_for(50ms);
    pair.wake();
  });
  int n = returns_within(5s, [&] { return set.wait(-1); }, [&] { pair.wake(); });
  waker.join();
  EXPECT_EQ(n, 1);
  EXPECT_TRUE(set.ready(0) & kReadable);

  // Many wakes are one; after drain() the pair is quiet, and the next wake counts again.
  for (int i = 0; i < 10000; ++i) pair.wake();
  pair.drain();
  EXPECT_EQ(set.wait(0), 0) << "still readable after drain";
  pair.wake();
  EXPECT_EQ(set.wait(0), 1) << "a wake after drain was lost";
  pair.drain();
  EXPECT_EQ(set.wait(0), 0);

  // Closed early (an owner that ended): its descriptors go and later wakes are harmless.
  pair.close();
  EXPECT_EQ(pair.fd(), kNoSocket);
  pair.wake();
  pair.drain();
}

TEST(WakePair, WakesFromManyThreadsAreNeverLost) {
  // Two threads change a counter and wake while the owner drains. A lost wake would leave the
  // owner asleep with a change it has not seen.
  WakePair pair;
  constexpr int kWakes = 8000;
  std::atomic<int> value{0};
  bool lost = false;
  std::thread owner([&] {
    PollSet set;
    set.add(pair.fd(), kReadable);
    int seen = 0;
    while (seen < 2 * kWakes) {
      int n = set.wait(2000);
      pair.drain();
      int now = value.load();
      if (n == 0 && now != seen) {
        lost = true;
        return;
      }
      seen = now;
    }
  });
  std::vector<std::thread> wakers;
  for (int t = 0; t < 2; ++t)
    wakers.emplace_back([&] {
      for (int i = 0; i < kWakes; ++i) {
        value.fetch_add(1);
        pair.wake();
        // Paced, so that wakes keep landing while the owner drains.
        if (i % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(10));
      }
    });
  for (auto& w : wakers) w.join();
  owner.join();  // it ends once it has seen every change, or 2 s after a wake was lost
  EXPECT_FALSE(lost) << "the owner slept through a change";
}

TEST(Listener, AcceptsOnLoopbackAndDataFlowsBothWays) {
  Listener l = listen_loopback(0);
  const int port = l.local_port();
  ASSERT_GT(port, 0);
  try {
    listen_loopback(port);
    ADD_FAILURE() << "two listeners on one port";
  } catch (const NetError& e) {
    EXPECT_STREQ(e.what(), ("listening on 127.0.0.1:" + std::to_string(port) + ": Address already in use").c_str());
  }

  Socket client = connect_tcp("127.0.0.1", port, 5s);
  Peer peer;
  Socket server = l.accept(&peer);
  ASSERT_TRUE(server);
  EXPECT_EQ(peer.host, "127.0.0.1");
  EXPECT_GT(peer.port, 0);
  // A peer that sent more and waits is still there; one that closed is gone.
  EXPECT_FALSE(peer_closed(server.native()));
  client.send_all("GET /");
  EXPECT_FALSE(peer_closed(server.native()));
  {
    Socket early = connect_tcp("127.0.0.1", port, 5s);
    Socket at_server = l.accept(nullptr);
    early.close();
    bool gone = false;
    for (int i = 0; i < 200 && !(gone = peer_closed(at_server.native())); ++i) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(gone);
  }
  EXPECT_EQ(server.recv(5), "GET /");

  // More than the kernel buffers hold, both ways at once: send_all must wait for room.
  std::string up(3 << 20, '\0'), down(3 << 20, '\0');
  for (size_t i = 0; i < up.size(); ++i) {
    up[i] = static_cast<char>(i * 7);
    down[i] = static_cast<char>(i * 13);
  }
  auto read_all = [](Socket& s) {
    std::string got;
    for (std::string part; !(part = s.recv(65536)).empty();) got += part;
    return got;
  };
  std::thread server_side([&] {
    server.send_all(down);
    server.shutdown_send();
  });
  std::future<std::string> at_server = std::async(std::launch::async, [&] { return read_all(server); });
  client.send_all(up);
  client.shutdown_send();
  std::string at_client = read_all(client);
  server_side.join();
  EXPECT_TRUE(at_client == down) << "client got " << at_client.size() << " bytes";
  EXPECT_TRUE(at_server.get() == up);
}

TEST(Socket, CloseFromAnotherThreadWakesBlockedCalls) {
  Listener l = listen_loopback(0);
  Socket client = connect_tcp("127.0.0.1", l.local_port(), 5s);
  Socket server = l.accept();
  ASSERT_TRUE(server);

  std::thread closer([&] {
    std::this_thread::sleep_for(50ms);
    server.close();
  });
  std::string got = returns_within(5s, [&] { return server.recv(100); }, [&] { client.close(); });
  closer.join();
  EXPECT_EQ(got, "");
  EXPECT_FALSE(server.valid());
  EXPECT_THROW(server.send_all("x"), NetError);
  server.close();  // again: nothing happens
  // The peer sees the end of the stream.
  EXPECT_EQ(returns_within(5s, [&] { return client.recv(100); }, [&] { client.close(); }), "");

  // A blocked accept is woken the same way.
  std::thread stopper([&] {
    std::this_thread::sleep_for(50ms);
    l.close();
  });
  bool accepted = returns_within(5s, [&] { return static_cast<bool>(l.accept()); },
                                 [&] { Socket poke = connect_tcp("127.0.0.1", l.local_port(), 1s); });
  stopper.join();
  EXPECT_FALSE(accepted);
}

TEST(Socket, NonBlockingCallsSayWhenTheyWouldWait) {
  Listener l = listen_loopback(0);
  l.set_nonblocking(true);
  EXPECT_FALSE(l.accept()) << "accepted with nobody waiting";
  Socket client = connect_tcp("127.0.0.1", l.local_port(), 5s);
  PollSet set;
  set.add(l.native(), kReadable);
  ASSERT_EQ(set.wait(5000), 1);
  Socket server = l.accept(nullptr, true);
  ASSERT_TRUE(server);
  char buf[16];
  EXPECT_EQ(server.recv_some(buf, sizeof buf).status, IoStatus::would_block);
  client.send_all("hi");
  set.clear();
  set.add(server.native(), kReadable);
  ASSERT_EQ(set.wait(5000), 1);
  IoResult r = server.recv_some(buf, sizeof buf);
  ASSERT_EQ(r.status, IoStatus::ok);
  EXPECT_EQ(std::string(buf, r.bytes), "hi");
  client.close();
  ASSERT_EQ(set.wait(5000), 1);
  EXPECT_EQ(server.recv_some(buf, sizeof buf).status, IoStatus::end);
  // A socket moved from is empty and closing it does nothing.
  Socket moved = std::move(server);
  EXPECT_FALSE(server.valid());
  server.close();
  EXPECT_TRUE(moved.valid());
}

TEST(Socket, EverySocketIsCloseOnExec) {
  Listener l = listen_loopback(0);
  EXPECT_TRUE(cloexec(l.native())) << "listener";
  Socket client = connect_tcp("127.0.0.1", l.local_port(), 5s);
  EXPECT_TRUE(cloexec(client.native())) << "connected socket";
  Socket server = l.accept();
  EXPECT_TRUE(cloexec(server.native())) << "accepted socket";
  l.set_nonblocking(true);
  Socket client2 = connect_tcp("127.0.0.1", l.local_port(), 5s);
  PollSet set;
  set.add(l.native(), kReadable);
  ASSERT_EQ(set.wait(5000), 1);
  Socket server2 = l.accept(nullptr, true);
  ASSERT_TRUE(server2);
  EXPECT_TRUE(cloexec(server2.native())) << "socket accepted without blocking";
  int err = 0;
  Socket started = connect_start(resolve("127.0.0.1", l.local_port()).front(), &err);
  ASSERT_TRUE(started) << err;
  EXPECT_TRUE(cloexec(started.native())) << "socket of connect_start";
  WakePair pair;
  EXPECT_TRUE(cloexec(pair.fd())) << "wake pair";
}

}  // namespace
}  // namespace morvane::platform
