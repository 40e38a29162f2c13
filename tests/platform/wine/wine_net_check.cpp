// The Windows socket layer (Winsock, WSAPoll) run under Wine: the same behaviours the POSIX
// tests check, printed as "ok -" / "not ok -" lines; the exit status counts the failures.
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

using namespace morvane::platform;
using namespace std::chrono_literals;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s - %s\n", ok ? "ok" : "not ok", what.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

// True when f returned within the deadline; otherwise unblock() runs and false is returned.
template <class F, class U>
bool within(std::chrono::milliseconds deadline, F f, U unblock) {
  auto fut = std::async(std::launch::async, f);
  if (fut.wait_for(deadline) == std::future_status::ready) return true;
  unblock();
  fut.wait();
  return false;
}

}  // namespace

int main() {
  try {
    WakePair pair;
    PollSet set;
    set.add(pair.fd(), kReadable);
    check(set.wait(0) == 0, "a new wake pair is quiet");
    std::thread waker([&] {
      std::this_thread::sleep_for(50ms);
      pair.wake();
    });
    int n = -1;
    bool woke = within(5s, [&] { n = set.wait(-1); }, [&] { pair.wake(); });
    waker.join();
    check(woke && n == 1, "wake() ends a blocked WSAPoll");
    pair.drain();
    check(set.wait(0) == 0, "drain() empties the pair");
    pair.wake();
    check(set.wait(0) == 1, "a wake after drain() counts again");

    Listener l = listen_loopback(0);
    int port = l.local_port();
    check(port > 0, "listen_loopback(0) takes a free port");
    Socket client = connect_tcp("127.0.0.1", port, 5s);
    Peer peer;
    Socket server = l.accept(&peer);
    check(server.valid() && peer.host == "127.0.0.1" && peer.port > 0, "accept gives the client's address");
    check(!peer_closed(server.native()), "a connected peer is not taken for gone");
    {
      Socket early = connect_tcp("127.0.0.1", port, 5s);
      Socket at_server = l.accept(nullptr);
      early.close();
      bool gone = false;
      for (int i = 0; i < 200 && !(gone = peer_closed(at_server.native())); ++i) std::this_thread::sleep_for(5ms);
      check(gone, "a peer that closed is gone");
    }
    std::string big(1 << 20, 'x');
    std::thread sender([&] {
      server.send_all(big);
      server.shutdown_send();
    });
    std::string got;
    for (std::string part; !(part = client.recv(65536)).empty();) got += part;
    sender.join();
    check(got == big, "1 MiB arrives whole, then the end of the stream");

    std::thread closer([&] {
      std::this_thread::sleep_for(50ms);
      client.close();
    });
    std::string after;
    bool returned = within(5s, [&] { after = client.recv(10); }, [&] { server.close(); });
    closer.join();
    check(returned && after.empty(), "close() from another thread wakes a blocked recv");

    try {
      listen_loopback(port);
      check(false, "a second listener on a taken port is refused");
    } catch (const NetError& e) {
      check(std::string(e.what()).rfind("listening on 127.0.0.1:" + std::to_string(port) + ": ", 0) == 0,
            std::string("a second listener on a taken port is refused: ") + e.what());
    }
    l.close();
    try {
      connect_tcp("127.0.0.1", port, 5s);
      check(false, "connecting to a closed port is refused");
    } catch (const NetError& e) {
      check(std::string(e.what()).rfind("connecting to 127.0.0.1:" + std::to_string(port) + ": ", 0) == 0 &&
                e.code() != 0,
            std::string("connecting to a closed port is refused: ") + e.what());
    }

    // A listener whose queue is full drops new handshakes: the connect is never answered and
    // only the time limit ends it.
    Listener full = listen_loopback(0, 0);
    const int full_port = full.local_port();
    std::vector<Socket> queued;
    std::string timeout_text;
    double took = 0;
    for (int i = 0; i < 8 && timeout_text.empty(); ++i) {
      auto start = std::chrono::steady_clock::now();
      try {
        queued.push_back(connect_tcp("127.0.0.1", full_port, 300ms));
      } catch (const NetError& e) {
        timeout_text = e.what();
        took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      }
    }
    check(timeout_text == "connecting to 127.0.0.1:" + std::to_string(full_port) + ": timed out",
          "a connect that is never answered ends at its time limit: " + timeout_text);
    check(took >= 0.29 && took < 5, "the connect time limit is kept: " + std::to_string(took) + " s");
  } catch (const std::exception& e) {
    check(false, std::string("unexpected failure: ") + e.what());
  }
  return failures;
}
