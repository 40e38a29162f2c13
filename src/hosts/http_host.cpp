#include "hosts/http_host.h"

#ifdef _WIN32
// The library's accept is this program's (see the end of this file): Winsock's own
// declaration comes first, then the library's calls are renamed.
#include <winsock2.h>
#include <ws2tcpip.h>
SOCKET morvane_http_accept(SOCKET listener, sockaddr* addr, int* len);
#define accept morvane_http_accept
// Header-only here: the library's listen backlog of 5 is this program's to set.
#define CPPHTTPLIB_LISTEN_BACKLOG SOMAXCONN
#include <httplib.h>
#undef accept
#else
#include <httplib.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "hosts/http_guard.h"
#include "hosts/page_config.h"
#include "platform/net.h"
#include "platform/quit_signal.h"
#include "platform/threads.h"
#include "util/json.h"

namespace morvane {

namespace {

// Woken by the SIGINT/SIGTERM handler, waited on by run_loop. Made once and never freed: a
// signal may arrive at any moment until the process ends.
std::atomic<platform::WakePair*> g_stop{nullptr};

// A page listening on /events: scripts wait here until its stream thread writes them.
struct Subscriber {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::string> scripts;
  size_t bytes = 0;
  bool closed = false;
};

// A page that stops reading (a frozen or suspended browser tab) must not make the
// program hold its scripts forever; past this it is dropped and reconnects.
constexpr size_t kSubscriberBacklog = 8u << 20;

// Limits for what a local process may make this host hold before the token is checked.
constexpr size_t kMaxBody = 64u << 20;          // any body, whatever its framing or encoding
constexpr size_t kMaxConnections = 64;          // open at once; the next one gets 503
constexpr auto kRequestDeadline = std::chrono::seconds(10);  // first byte to whole body
constexpr size_t kMaxQueued = 256;              // status items waiting for the poller

// The socket the listener thread accepted last (see accept below): the HTTP library hands
// the task queue only a closure, and the queue needs the socket to refuse or to time it out.
thread_local platform::NativeSocket t_accepted = platform::kNoSocket;
// The connection the current thread serves, as known to ConnectionGuard (0: none).
thread_local uint64_t t_connection = 0;

// Open connections and the deadline of the request each is reading. A watchdog shuts the
// socket of a request that trickles in past its deadline, which ends the library's read.
class ConnectionGuard {
 public:
  ~ConnectionGuard() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
  }

  // 0 when the limit is reached.
  uint64_t add(platform::NativeSocket fd) {
    uint64_t identity = platform::socket_identity(fd);
    if (identity == 0) return 0;
    std::lock_guard<std::mutex> lock(mu_);
    if (open_.size() >= kMaxConnections) return 0;
    if (!watchdog_.joinable() && !stop_) {
      try {
        watchdog_ = std::thread([this] { watch(); });
      } catch (const std::system_error&) {
        return 0;
      }
    }
    uint64_t id = ++next_;
    open_[id] = Conn{fd, identity, std::chrono::steady_clock::now() + kRequestDeadline, true};
    cv_.notify_all();
    return id;
  }
  void remove(uint64_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    open_.erase(id);
  }
  // The current request has been read whole: its handler may take as long as it needs.
  void request_read(uint64_t id) { set_reading(id, false); }
  // An answer went out: the next request on the connection gets a fresh deadline.
  void answered(uint64_t id) { set_reading(id, true); }
  // The client has gone: an answer would be written to nobody.
  bool gone(uint64_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = open_.find(id);
    if (it == open_.end() || platform::socket_identity(it->second.fd) != it->second.identity) return false;
    return platform::peer_closed(it->second.fd);
  }
  // Ends the connection now: the rest of a refused body is not worth reading.
  void cut(uint64_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = open_.find(id);
    if (it == open_.end()) return;
    shut(it->second);
  }

 private:
  struct Conn {
    platform::NativeSocket fd;
    uint64_t identity;  // the descriptor number may be reused once the library closes it
    std::chrono::steady_clock::time_point deadline;
    bool reading;
  };

  void set_reading(uint64_t id, bool reading) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = open_.find(id);
    if (it == open_.end()) return;
    it->second.reading = reading;
    it->second.deadline = std::chrono::steady_clock::now() + kRequestDeadline;
    if (reading) cv_.notify_all();
  }

  // Sleeps until the first deadline of a request being read; with none, until one starts.
  void watch() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
      auto next = std::chrono::steady_clock::time_point::max();
      for (auto& [id, c] : open_)
        if (c.reading) next = std::min(next, c.deadline);
      if (next == std::chrono::steady_clock::time_point::max()) cv_.wait(lock);
      else cv_.wait_until(lock, next);
      auto now = std::chrono::steady_clock::now();
      for (auto& [id, c] : open_)
        if (c.reading && c.deadline <= now) shut(c);
    }
  }

  static void shut(Conn& c) {
    if (platform::socket_identity(c.fd) == c.identity) {
      platform::Socket borrowed(c.fd);
      borrowed.shutdown();
      borrowed.release();
    }
    c.reading = false;
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::map<uint64_t, Conn> open_;
  uint64_t next_ = 0;
  bool stop_ = false;
  std::thread watchdog_;
};

// Answers 503 on a fresh socket and ends it; the library then finds it closed at once.
void refuse(platform::NativeSocket fd) {
  static constexpr std::string_view answer =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 20\r\n"
      "Connection: close\r\nRetry-After: 1\r\n\r\ntoo many connections";
  platform::refuse_connection(fd, answer);
}

// The task queue's enqueue returns nothing in older versions of the library and whether the
// task was taken in newer ones; this program's queue always takes it.
using EnqueueResult = decltype(std::declval<httplib::TaskQueue&>().enqueue(std::function<void()>()));

// Every connection gets its own thread: the events stream holds one for its whole life
// and some bridge calls block for minutes, so a fixed pool would starve the rest. The
// number of connections is bounded instead, and a thread that cannot be had is a 503.
class ThreadPerConnection final : public httplib::TaskQueue {
 public:
  explicit ThreadPerConnection(std::shared_ptr<ConnectionGuard> guard) : guard_(std::move(guard)) {}
  EnqueueResult enqueue(std::function<void()> fn) override {
    enqueue_one(std::move(fn));
    return EnqueueResult(true);
  }
  void shutdown() override {
    std::unique_lock<std::mutex> lock(state_->mu);
    state_->cv.wait_for(lock, std::chrono::seconds(3), [&] { return state_->running == 0; });
  }

 private:
  void enqueue_one(std::function<void()> fn) {
    platform::NativeSocket fd = t_accepted;
    t_accepted = platform::kNoSocket;
    bool known = fd != platform::kNoSocket;
    uint64_t conn = known ? guard_->add(fd) : 0;
    if (conn == 0 && known) {
      refuse(fd);
      run(fn);
      return;
    }
    auto st = state_;
    {
      std::lock_guard<std::mutex> lock(st->mu);
      ++st->running;
    }
    try {
      platform::start_detached([st, guard = guard_, conn, fn] {
        platform::set_thread_name("http-request");
        t_connection = conn;
        run(fn);
        guard->remove(conn);
        std::lock_guard<std::mutex> lock(st->mu);
        --st->running;
        st->cv.notify_all();
      });
    } catch (const std::system_error&) {
      {
        std::lock_guard<std::mutex> lock(st->mu);
        --st->running;
      }
      guard_->remove(conn);
      if (known) refuse(fd);
      run(fn);
    }
  }
  static void run(const std::function<void()>& fn) {
    try {
      fn();
    } catch (...) {
    }
  }
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    size_t running = 0;
  };
  std::shared_ptr<ConnectionGuard> guard_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The body of a POST, read through the library's streaming reader so that one limit holds
// for plain, chunked and compressed bodies alike. false when it was too large or broken.
bool read_body(const httplib::ContentReader& reader, std::string& body, bool& too_large) {
  too_large = false;
  bool ok = reader([&](const char* data, size_t n) {
    if (body.size() + n > kMaxBody) {
      too_large = true;
      return false;
    }
    body.append(data, n);
    return true;
  });
  return ok && !too_large;
}

void set_json(httplib::Response& res, const Json& body, int status = 200) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(json::dump_line(body, false), "application/json; charset=utf-8");
}

Json error_body(const std::string& text) {
  Json r = Json::object();
  r["ok"] = false;
  r["error"] = text;
  return r;
}

// "data:" lines for one script; a script is one line, but a line break must never end
// the event early.
std::string sse_event(const std::string& script) {
  std::string ev;
  size_t start = 0;
  while (true) {
    size_t nl = script.find('\n', start);
    ev += "data: ";
    ev.append(script, start, nl == std::string::npos ? std::string::npos : nl - start);
    ev += '\n';
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  ev += '\n';
  return ev;
}

}  // namespace

struct HttpHost::Impl {
  Impl(int p, std::ostream& o) : want_port(p), out(o), token(http_guard::make_token()) {
    queues["get_receipt"] = std::make_shared<LauncherQueue>();
  }

  int want_port;
  std::ostream& out;
  const std::string token;
  QueueMap queues;
  std::shared_ptr<ConnectionGuard> guard = std::make_shared<ConnectionGuard>();
  httplib::Server svr;
  std::thread server_thread;
  platform::NativeSocket listener = platform::kNoSocket;  // the socket bound last
  std::atomic<int> port{0};
  std::atomic<bool> listening{false};
  Bridge* bridge = nullptr;
  std::function<void()> before_stop;
  std::string page;

  std::mutex subs_mu;
  std::vector<std::shared_ptr<Subscriber>> subs;

  std::mutex stop_mu;
  bool stop_requested = false;
  // Wakes run_loop when destroy() asks it to end; without one it looks ten times a second.
  std::unique_ptr<platform::WakePair> stop_wake = [] {
    try {
      return std::make_unique<platform::WakePair>();
    } catch (const platform::NetError&) {
      return std::unique_ptr<platform::WakePair>();
    }
  }();

  bool allowed(const httplib::Request& req) const {
    if (!req.has_param("token") || !http_guard::same_token(req.get_param_value("token"), token)) return false;
    if (!req.has_header("Host") || !http_guard::is_loopback_authority(req.get_header_value("Host"))) return false;
    if (req.has_header("Origin") && !http_guard::is_loopback_origin(req.get_header_value("Origin"))) return false;
    return true;
  }

  void publish(const std::string& script) {
    std::lock_guard<std::mutex> lock(subs_mu);
    for (auto& s : subs) {
      {
        std::lock_guard<std::mutex> sl(s->mu);
        if (s->closed) continue;
        if (s->bytes + script.size() > kSubscriberBacklog) {
          s->closed = true;
        } else {
          s->scripts.push_back(script);
          s->bytes += script.size();
        }
      }
      s->cv.notify_all();
    }
  }

  void close_all_streams() {
    std::lock_guard<std::mutex> lock(subs_mu);
    for (auto& s : subs) {
      {
        std::lock_guard<std::mutex> sl(s->mu);
        s->closed = true;
      }
      s->cv.notify_all();
    }
  }

  void drop(const std::shared_ptr<Subscriber>& sub) {
    std::lock_guard<std::mutex> lock(subs_mu);
    for (auto it = subs.begin(); it != subs.end(); ++it) {
      if (*it == sub) {
        subs.erase(it);
        break;
      }
    }
  }

  // Reads a POST body within the limit; on failure the answer is already set.
  bool take_body(const httplib::ContentReader& reader, std::string& body, httplib::Response& res) {
    bool too_large = false;
    bool ok = read_body(reader, body, too_large);
    guard->request_read(t_connection);
    if (ok) return true;
    res.set_header("Connection", "close");
    if (too_large) set_json(res, error_body("the body is larger than " + std::to_string(kMaxBody >> 20) + " MB"), 413);
    else set_json(res, error_body("the body could not be read"), 400);
    return false;
  }

  void routes() {
    svr.new_task_queue = [g = guard] { return new ThreadPerConnection(g); };
    // The library's default also sets SO_REUSEPORT, which lets a second program listen on
    // a port this one holds and take some of its page's requests.
    svr.set_socket_options([this](socket_t sock) {
      listener = static_cast<platform::NativeSocket>(sock);
      platform::prepare_listener(listener);
    });
#ifndef _WIN32
    // The listener blocks in accept instead of looking ten times a second; stopping shuts the
    // listening socket down, which ends the accept. (On Windows the library always looks
    // with this interval, and zero would spin.)
    svr.set_idle_interval(0, 0);
#endif
    // Answers go out at once: with Nagle's algorithm a large answer's last piece waits for the
    // browser's delayed acknowledgement, about 40 ms per drained piece of terminal output.
    svr.set_tcp_nodelay(true);
#ifndef _WIN32
    // One request per connection. The library waits for a kept-alive connection's next
    // request by looking every 10 ms, which a quiet page would pay for all the time, and an
    // idle connection holds a thread that quitting waits for. A fresh loopback connection
    // costs far less than the piece of output it carries.
    svr.set_keep_alive_max_count(1);
#else
    // The Windows listener looks for connections ten times a second whatever is set here, so
    // connections stay as they were: kept alive for two seconds. The bound on connections is
    // checked under Wine with these settings only.
    svr.set_keep_alive_max_count(100000);
    svr.set_keep_alive_timeout(2);
#endif
    svr.set_payload_max_length(kMaxBody);
    svr.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (!allowed(req)) {
        res.status = 403;
        return httplib::Server::HandlerResponse::Handled;
      }
      // Bodies are JSON whatever their content type says; multipart framing is not.
      if (req.method == "POST" && req.is_multipart_form_data()) {
        set_json(res, error_body("the body must be JSON"), 415);
        return httplib::Server::HandlerResponse::Handled;
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
    // Called once an answer has been written.
    svr.set_logger([g = guard](const httplib::Request&, const httplib::Response& res) {
      if (res.get_header_value("Connection") == "close") g->cut(t_connection);
      else g->answered(t_connection);
    });

    svr.Get("/", [this](const httplib::Request&, httplib::Response& res) {
      guard->request_read(t_connection);
      res.set_header("Cache-Control", "no-store");
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("X-Frame-Options", "DENY");
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; script-src 'unsafe-inline'; worker-src blob:; style-src 'unsafe-inline'; img-src data:; "
                     "font-src data:; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
      res.set_content(page, "text/html; charset=utf-8");
    });

    svr.Post("/bridge", [this](const httplib::Request&, httplib::Response& res, const httplib::ContentReader& reader) {
      std::string body;
      if (!take_body(reader, body, res)) return;
      Json msg;
      try {
        msg = json::parse(body);
      } catch (const std::exception& e) {
        return set_json(res, error_body(std::string("invalid JSON: ") + e.what()), 400);
      }
      if (!msg.is_object()) return set_json(res, error_body("a request must be a JSON object"), 400);
      const Json& op = json::get(msg, "op");
      if (!op.is_string() || op.get<std::string>().empty()) return set_json(res, error_body("missing op"), 400);
      Json args = msg.contains("args") ? msg["args"] : Json::array();
      if (!args.is_array()) return set_json(res, error_body("args must be a list"), 400);
      try {
        Json r = Json::object();
        r["ok"] = true;
        r["result"] = bridge->call(op.get<std::string>(), args);
        set_json(res, r);
      } catch (const std::exception& e) {
        set_json(res, error_body(e.what()));
      }
    });

    // One tab's output as the raw UTF-8 text that drain_terminal would answer, without the
    // JSON around it, and its place in the tab's stream in X-Output-From and X-Output-To
    // (characters drained before and after it). With wait=SECONDS (at most 5) the answer is
    // held until the tab has output, and with min=CHARACTERS while the output grows, for a few
    // milliseconds at most, until there is that much. The page keeps such a request open for
    // the visible tab (more while it floods), so output is pushed to it as it arrives and a
    // quiet page runs no timers.
    svr.Get("/output", [this](const httplib::Request& req, httplib::Response& res) {
      guard->request_read(t_connection);
      res.set_header("Cache-Control", "no-store");
      if (!req.has_param("tab") || req.get_param_value("tab").empty())
        return set_json(res, error_body("missing tab"), 400);
      Json tab = req.get_param_value("tab");
      // An absent parameter is 0; one that is not a number of at least 0 is -1.
      auto number = [&req](const char* name) {
        if (!req.has_param(name)) return 0.0;
        try {
          const double v = std::stod(req.get_param_value(name));
          return v >= 0 ? v : -1.0;
        } catch (const std::exception&) {
          return -1.0;
        }
      };
      const double wait = number("wait");
      if (wait < 0) return set_json(res, error_body("wait must be a number of seconds"), 400);
      const double min = number("min");
      if (min < 0) return set_json(res, error_body("min must be a number of characters"), 400);
      try {
        if (wait > 0) {
          Json args = Json::array();
          args.push_back(Json::array({tab}));
          args.push_back(std::min(wait, 5.0));
          bridge->call("wait_terminal_output", args);
          // A page that was reloaded or closed during the wait leaves its request behind; what
          // it drained would be written to a closed socket and lost. It stays for the next page.
          if (guard->gone(t_connection)) {
            res.status = 204;
            return;
          }
        }
        Json piece = bridge->call("drain_terminal_piece", Json::array({tab, 0, 0, min}));
        res.status = 200;
        // Where the piece lies in the tab's stream: with several requests under way the page
        // writes the pieces in this order.
        res.set_header("X-Output-From", json::text_form(json::get(piece, "from")));
        res.set_header("X-Output-To", json::text_form(json::get(piece, "to")));
        std::string body;
        if (piece.is_object() && piece["text"].is_string()) body = std::move(piece["text"].get_ref<std::string&>());
        // Not a text/ type: the HTTP library would compress a text answer for the browser, which
        // costs far more time than sending it uncompressed over the loopback. The page reads it
        // as UTF-8 whatever the type says.
        res.set_content(std::move(body), "application/octet-stream");
      } catch (const std::exception& e) {
        set_json(res, error_body(e.what()));
      }
    });

    svr.Post("/queue", [this](const httplib::Request&, httplib::Response& res, const httplib::ContentReader& reader) {
      std::string body;
      if (!take_body(reader, body, res)) return;
      Json msg;
      try {
        msg = json::parse(body);
      } catch (const std::exception& e) {
        return set_json(res, error_body(std::string("invalid JSON: ") + e.what()), 400);
      }
      const Json& q = json::get(msg, "queue");
      auto it = q.is_string() ? queues.find(q.get<std::string>()) : queues.end();
      if (it == queues.end()) return set_json(res, error_body("unknown queue: " + json::text_form(q)), 400);
      if (it->second->size() >= kMaxQueued) return set_json(res, error_body("queue full: " + q.get<std::string>()), 503);
      it->second->put_nowait(json::get(msg, "item"));
      Json ok = Json::object();
      ok["ok"] = true;
      set_json(res, ok);
    });

    svr.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
      guard->request_read(t_connection);
      auto sub = std::make_shared<Subscriber>();
      {
        std::lock_guard<std::mutex> lock(subs_mu);
        subs.push_back(sub);
      }
      res.set_header("Cache-Control", "no-store");
      res.set_header("X-Accel-Buffering", "no");
      auto first = std::make_shared<bool>(true);
      // Not chunked: with two pages listening, ThreadSanitizer catches this library's
      // chunked writers of both connections racing on one buffer of its own. Without a
      // length the stream simply ends when the connection closes, all an event stream needs.
      res.set_content_provider(
          "text/event-stream",
          [sub, first](size_t, httplib::DataSink& sink) {
            if (*first) {
              *first = false;
              static const std::string hello = "retry: 1000\n: connected\n\n";
              return sink.write(hello.data(), hello.size());
            }
            std::deque<std::string> batch;
            {
              std::unique_lock<std::mutex> lock(sub->mu);
              // A comment every 15 s finds pages that went away without closing.
              sub->cv.wait_for(lock, std::chrono::seconds(15), [&] { return sub->closed || !sub->scripts.empty(); });
              if (sub->closed) {
                lock.unlock();
                sink.done();
                return true;
              }
              batch.swap(sub->scripts);
              sub->bytes = 0;
            }
            std::string text;
            if (batch.empty()) text = ": keep-alive\n\n";
            for (auto& s : batch) text += sse_event(s);
            return sink.write(text.data(), text.size());
          },
          [this, sub](bool) { drop(sub); });
    });
  }
};

HttpHost::HttpHost(int port, std::ostream& out) : impl_(std::make_shared<Impl>(port, out)) {}

HttpHost::~HttpHost() {
  impl_->close_all_streams();
  impl_->svr.stop();
  if (impl_->server_thread.joinable()) impl_->server_thread.join();
}

QueueMap HttpHost::queues() const { return impl_->queues; }

bool HttpHost::exists() { return impl_->listening.load(); }

void HttpHost::evaluate(const std::string& script) {
  try {
    impl_->publish(script);
  } catch (...) {
  }
}

void HttpHost::create_window(const WindowSpec& spec, Bridge& bridge, std::function<bool()>) {
  Impl& m = *impl_;
  m.bridge = &bridge;
  m.before_stop = spec.before_stop;
  m.page = inject_page_config(spec.html, "browser", bridge);
  m.routes();
  int port = 0;
  if (m.want_port > 0) {
    if (m.svr.bind_to_port("127.0.0.1", m.want_port)) port = m.want_port;
  } else {
    port = m.svr.bind_to_any_port("127.0.0.1");
  }
  if (port <= 0)
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(m.want_port) + " (is the port in use?)");
  m.port = port;
  // The library listens with a backlog of 5. A page opens several connections at once, and
  // past the backlog a connection waits a second or more for the system's retry.
  platform::widen_backlog(m.listener);
  m.server_thread = std::thread([impl = impl_] { impl->svr.listen_after_bind(); });
  // stop() does nothing to a server that has not begun listening: wait for it, so that a
  // quit right after start cannot leave the serving thread running.
  for (int i = 0; i < 5000 && !m.svr.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  m.listening = true;
  m.out << url() << std::endl;
}

void HttpHost::run_loop() {
  while (true) {
    {
      std::lock_guard<std::mutex> lock(impl_->stop_mu);
      if (impl_->stop_requested) break;
    }
    platform::WakePair* stop = g_stop.load();
    platform::PollSet set;
    const size_t signal = set.add(stop ? stop->fd() : platform::kNoSocket, platform::kReadable);
    set.add(impl_->stop_wake ? impl_->stop_wake->fd() : platform::kNoSocket, platform::kReadable);
    // Only a wait that both wakers can end may be without a limit.
    const int n = set.wait(stop && impl_->stop_wake ? -1 : 100);
    if (n > 0 && set.ready(signal)) break;
    if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  impl_->listening = false;
  // Held requests (a page's output) answer now; stopping waits for every request to end.
  if (impl_->before_stop) impl_->before_stop();
  impl_->close_all_streams();
  impl_->svr.stop();
  if (impl_->server_thread.joinable()) impl_->server_thread.join();
}

void HttpHost::destroy() {
  {
    std::lock_guard<std::mutex> lock(impl_->stop_mu);
    impl_->stop_requested = true;
  }
  if (impl_->stop_wake) impl_->stop_wake->wake();
}

int HttpHost::port() const { return impl_->port.load(); }
std::string HttpHost::token() const { return impl_->token; }
std::string HttpHost::url() const {
  return "http://127.0.0.1:" + std::to_string(port()) + "/?token=" + impl_->token;
}

void HttpHost::prepare_signals() {
  // A handler rather than a blocked mask: libraries start threads before main (the web
  // engine's collector does), and any thread may be the one a signal lands on.
  if (!g_stop.load()) {
    try {
      g_stop = new platform::WakePair();
    } catch (const platform::NetError&) {
      return;  // no socket pair: the signals keep their default action, ending the program
    }
  }
  platform::on_quit_signal([] {
    if (platform::WakePair* stop = g_stop.load()) stop->wake();
  });
}

}  // namespace morvane

// The HTTP library accepts without close-on-exec (a local shell would inherit every page's
// socket) and keeps the socket from its task queue. This program's accept makes the socket
// private to this process and tells the queue which socket the closure it gets next will serve.
#ifdef _WIN32
SOCKET morvane_http_accept(SOCKET listener, sockaddr* addr, int* len) {
  SOCKET s = ::accept(listener, addr, len);
  if (s != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  morvane::t_accepted = s == INVALID_SOCKET ? morvane::platform::kNoSocket : static_cast<morvane::platform::NativeSocket>(s);
  return s;
}
#else
extern "C" int accept(int fd, sockaddr* __restrict addr, socklen_t* __restrict len) {
  int s = ::accept4(fd, addr, len, SOCK_CLOEXEC);
  morvane::t_accepted = s;
  return s;
}
#endif
