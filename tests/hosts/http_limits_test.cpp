// The browser host against a hostile local process: a second program on its port, bodies
// that grow after the headers, requests that trickle, more connections than it serves, and
// descriptors a started shell must not inherit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <zlib.h>

#include <atomic>
#include <sstream>

#include "http_serve_fixture.h"

namespace morvane::testing {
namespace {

using HttpLimits = ServeFixture;

// A raw connection to the program, for what a well-behaved client would never send.
struct Raw {
  int fd = -1;
  explicit Raw(int port) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ~Raw() {
    if (fd >= 0) ::close(fd);
  }
  // false once the peer stopped reading or closed.
  bool send_all(const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
      ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // What arrives within ms (until the peer closes).
  std::string receive(int ms) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[65536];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  // True when the peer has closed the connection (reading gives end of stream or an error).
  bool peer_closed() {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char buf[4096];
    return ::recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0;
  }
};

std::string status_line(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

TEST_F(HttpLimits, a_second_program_cannot_share_a_taken_port_and_the_address_is_the_first_line) {
  start();
  EXPECT_EQ(proc.output.rfind("http://127.0.0.1:", 0), 0u) << proc.output;
  ServeProcess second;
  EXPECT_FALSE(second.start(dir / "data2", {"--port", std::to_string(proc.port)}));
  EXPECT_EQ(second.stop(SIGTERM), 1) << second.output;
  EXPECT_EQ(second.output.find("http://"), std::string::npos) << second.output;
  // The first one still has its page's requests to itself.
  EXPECT_EQ(result("get_runtime_state")["tabs"], Json::array());
}

TEST_F(HttpLimits, chunked_and_compressed_bodies_are_limited_like_plain_ones) {
  start();
  const std::string head = "POST " + path("/bridge") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  {
    Raw r(proc.port);
    ASSERT_GE(r.fd, 0);
    ASSERT_TRUE(r.send_all(head + "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"));
    std::string mb(1 << 20, ' ');
    char size_line[32];
    std::snprintf(size_line, sizeof size_line, "%zx\r\n", mb.size());
    // 200 MB offered; the program must answer and stop taking it at its limit.
    int sent = 0;
    std::string answer;
    for (; sent < 200 && answer.empty(); ++sent) {
      if (!r.send_all(size_line + mb + "\r\n")) break;
      pollfd p{r.fd, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) answer = r.receive(500);
    }
    if (answer.empty()) answer = r.receive(5000);
    EXPECT_LT(sent, 100);
    EXPECT_EQ(status_line(answer), "HTTP/1.1 413 Payload Too Large");
  }
  {
    // 100 MB of blanks inside a JSON string, a few hundred kB compressed.
    std::string plain = R"({"op": "get_runtime_state", "args": [], "pad": ")" + std::string(100u << 20, ' ') + "\"}";
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY), Z_OK);
    std::string gz(deflateBound(&z, plain.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(plain.data());
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(gz.data());
    z.avail_out = static_cast<uInt>(gz.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    gz.resize(z.total_out);
    deflateEnd(&z);
    Raw r(proc.port);
    ASSERT_TRUE(r.send_all(head + "Content-Type: application/json\r\nContent-Encoding: gzip\r\nContent-Length: " +
                           std::to_string(gz.size()) + "\r\n\r\n" + gz));
    EXPECT_EQ(status_line(r.receive(10000)), "HTTP/1.1 413 Payload Too Large");
  }
  // The program is still there and answers.
  EXPECT_EQ(result("get_runtime_state")["tabs"], Json::array());
}

TEST_F(HttpLimits, a_large_call_sent_as_a_form_is_read_as_json) {
  start();
  // What `curl -d @call.json` sends: the form content type.
  std::string body = R"({"op": "send_input", "args": ["nope", ")" + std::string(20000, 'x') + "\"]}";
  auto c = client();
  auto r = c.Post(path("/bridge").c_str(), body, "application/x-www-form-urlencoded");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200) << r->body;
  EXPECT_EQ(json::parse(r->body), Json::parse(R"({"ok": true, "result": false})"));
}

TEST_F(HttpLimits, requests_that_trickle_are_cut_at_the_deadline_and_connections_are_bounded) {
  start();
  std::vector<std::unique_ptr<Raw>> slow;
  for (int i = 0; i < 64; ++i) {
    slow.push_back(std::make_unique<Raw>(proc.port));
    // Not paced: the listener's backlog holds them all, so none waits for a SYN retry.
    ASSERT_TRUE(slow.back()->send_all("G"));
  }
  std::string refused;
  for (int i = 0; i < 10 && refused.rfind("HTTP/1.1 503", 0) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Raw extra(proc.port);
    ASSERT_TRUE(extra.send_all("GET " + path("/") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    refused = status_line(extra.receive(3000));
  }
  EXPECT_EQ(refused, "HTTP/1.1 503 Service Unavailable");
  // A byte every 2 s keeps each read alive, but not the request: all are cut within the
  // 10 s deadline (and a little slack for the watchdog).
  auto start_time = std::chrono::steady_clock::now();
  size_t open = slow.size();
  while (open > 0 && std::chrono::steady_clock::now() - start_time < std::chrono::seconds(16)) {
    open = 0;
    for (auto& r : slow) {
      if (r->fd < 0) continue;
      if (r->peer_closed()) {
        ::close(r->fd);
        r->fd = -1;
        continue;
      }
      ++open;
      r->send_all("E");
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  EXPECT_EQ(open, 0u) << "connections still held after 16 s";
  // Room again for a real page.
  EXPECT_EQ(result("get_runtime_state")["tabs"], Json::array());
}

TEST_F(HttpLimits, a_started_shell_holds_no_descriptor_of_the_program) {
  start();
  // A page listening on its event stream, so that its socket exists too.
  httplib::Client events("127.0.0.1", proc.port);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    events.set_read_timeout(30, 0);
    events.Get(path("/events").c_str(), [&](const char*, size_t) { return !stop.load(); });
  });
  fs::path listing = dir / "fds.txt";
  std::string tab = open_shell("ls -l /proc/$$/fd > " + listing.string() + "; echo listed; exec sleep 600");
  drain_until(tab, "listed");
  std::string text;
  for (int i = 0; i < 100 && text.find("\n") == std::string::npos; ++i) {
    std::ifstream f(listing);
    text.assign(std::istreambuf_iterator<char>(f), {});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::istringstream lines(text);
  int extra = 0;
  for (std::string line; std::getline(lines, line);) {
    auto arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    std::string fd = line.substr(0, arrow);
    fd = fd.substr(fd.rfind(' ') + 1);
    if (fd == "0" || fd == "1" || fd == "2") continue;
    // The shell's own copy of its terminal (dash keeps one as descriptor 10).
    std::string target = line.substr(arrow + 4);
    if (target.rfind("/dev/pts/", 0) == 0 || target == "/dev/tty") continue;
    ++extra;
    ADD_FAILURE() << "the shell inherited descriptor " << line.substr(arrow - fd.size());
  }
  EXPECT_EQ(extra, 0) << text;
  result("close_tab", Json::array({tab}));
  stop = true;
  events.stop();
  reader.join();
}

}  // namespace
}  // namespace morvane::testing
