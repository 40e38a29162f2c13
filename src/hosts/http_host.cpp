#include "hosts/http_host.h"

#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "hosts/http_guard.h"
#include "hosts/page_config.h"
#include "platform/net.h"
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

// Every connection gets its own thread: the events stream holds one for its whole life
// and some bridge calls block for minutes, so a fixed pool would starve the rest.
class ThreadPerConnection final : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override {
    auto st = state_;
    {
      std::lock_guard<std::mutex> lock(st->mu);
      ++st->running;
    }
    std::thread([st, fn = std::move(fn)] {
      try {
        fn();
      } catch (...) {
      }
      std::lock_guard<std::mutex> lock(st->mu);
      --st->running;
      st->cv.notify_all();
    }).detach();
  }
  void shutdown() override {
    std::unique_lock<std::mutex> lock(state_->mu);
    state_->cv.wait_for(lock, std::chrono::seconds(3), [&] { return state_->running == 0; });
  }

 private:
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    size_t running = 0;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

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
  httplib::Server svr;
  std::thread server_thread;
  std::atomic<int> port{0};
  std::atomic<bool> listening{false};
  Bridge* bridge = nullptr;
  std::string page;

  std::mutex subs_mu;
  std::vector<std::shared_ptr<Subscriber>> subs;

  std::mutex stop_mu;
  bool stop_requested = false;

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

  void routes() {
    svr.new_task_queue = [] { return new ThreadPerConnection(); };
    svr.set_keep_alive_max_count(100000);
    // An idle connection holds a thread; quitting waits for those threads.
    svr.set_keep_alive_timeout(2);
    svr.set_payload_max_length(64u << 20);
    svr.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (allowed(req)) return httplib::Server::HandlerResponse::Unhandled;
      res.status = 403;
      return httplib::Server::HandlerResponse::Handled;
    });

    svr.Get("/", [this](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("X-Frame-Options", "DENY");
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:; "
                     "font-src data:; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
      res.set_content(page, "text/html; charset=utf-8");
    });

    svr.Post("/bridge", [this](const httplib::Request& req, httplib::Response& res) {
      Json msg;
      try {
        msg = json::parse(req.body);
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

    svr.Post("/queue", [this](const httplib::Request& req, httplib::Response& res) {
      Json msg;
      try {
        msg = json::parse(req.body);
      } catch (const std::exception& e) {
        return set_json(res, error_body(std::string("invalid JSON: ") + e.what()), 400);
      }
      const Json& q = json::get(msg, "queue");
      auto it = q.is_string() ? queues.find(q.get<std::string>()) : queues.end();
      if (it == queues.end()) return set_json(res, error_body("unknown queue: " + json::text_form(q)), 400);
      it->second->put_nowait(json::get(msg, "item"));
      Json ok = Json::object();
      ok["ok"] = true;
      set_json(res, ok);
    });

    svr.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
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
    if (!stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    platform::PollSet set;
    set.add(stop->fd(), platform::kReadable);
    if (set.wait(100) > 0) break;
  }
  impl_->listening = false;
  impl_->close_all_streams();
  impl_->svr.stop();
  if (impl_->server_thread.joinable()) impl_->server_thread.join();
}

void HttpHost::destroy() {
  std::lock_guard<std::mutex> lock(impl_->stop_mu);
  impl_->stop_requested = true;
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
  struct sigaction sa {};
  sa.sa_handler = [](int) {
    if (platform::WakePair* stop = g_stop.load()) stop->wake();
  };
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace morvane
