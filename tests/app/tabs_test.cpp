#include <condition_variable>
#include <deque>
#include <future>

#include "app_fixture.h"

namespace morvane::testing {

// A connection whose received bytes the test scripts. Its resize follows the rules of the kind
// it stands in for: raw has no size, SUPDUP takes one but answers false, the others take it.
class FakeConnection : public Connection {
 public:
  FakeConnection(std::shared_ptr<ConnectionSink> sink, std::string protocol)
      : Connection(std::move(sink)), protocol(std::move(protocol)) {}
  void start() override { advance(ConnectionState::connected); }
  std::string read(size_t) override {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return closed || !incoming.empty(); });
    if (incoming.empty()) return {};
    std::string s = std::move(incoming.front());
    incoming.pop_front();
    return s;
  }
  void write(std::string_view b) override {
    std::lock_guard<std::mutex> lock(mu);
    if (fail_send) throw std::runtime_error("broken pipe");
    sent += b;
  }
  bool resize(int r, int c) override {
    if (protocol == "raw") return false;
    std::lock_guard<std::mutex> lock(mu);
    sizes.emplace_back(r, c);
    return protocol != "supdup";
  }
  void close() noexcept override {
    begin_close();
    std::lock_guard<std::mutex> lock(mu);
    closed = true;
    ++close_calls;
    cv.notify_all();
    finish_close();
  }
  bool is_closed() const {
    std::lock_guard<std::mutex> lock(mu);
    return closed;
  }
  void push(std::string s) {
    std::lock_guard<std::mutex> lock(mu);
    incoming.push_back(std::move(s));
    cv.notify_all();
  }
  // An empty chunk ends the stream.
  void end() { push(""); }

  const std::string protocol;
  mutable std::mutex mu;
  std::condition_variable cv;
  std::deque<std::string> incoming;
  std::string sent;
  std::vector<std::pair<int, int>> sizes;
  bool closed = false;
  bool fail_send = false;
  int close_calls = 0;
};
using FakeBackend = FakeConnection;

// Stands in for the network kinds; `on_open` may hold the worker or replace the connection.
struct FakeKind : Kind {
  std::vector<std::string> names;
  std::function<std::shared_ptr<Connection>(const OpenRequest&)> on_open;
  std::vector<std::string> protocols() const override { return names; }
  std::shared_ptr<Connection> open(const OpenRequest& req) override { return on_open(req); }
};

struct TabsTest : AppFixture {
  std::mutex mu;
  std::map<std::string, std::shared_ptr<FakeBackend>> backends;  // by tab id
  std::vector<std::string> started;                               // kinds, in order
  std::shared_ptr<FakeKind> fake_kind = std::make_shared<FakeKind>();

  void SetUp() override {
    make_app();
    app->connect_delay_sec = 0.0;
    fake_kind->names = {"raw", "supdup", "telnet", "ssh1"};
    fake_kind->on_open = [this](const OpenRequest& req) {
      auto b = std::make_shared<FakeBackend>(req.sink, req.protocol);
      std::lock_guard<std::mutex> lock(mu);
      backends[req.tab_id] = b;
      started.push_back(req.protocol);
      return b;
    };
    app->kinds.add(fake_kind);
  }
  std::string save(const std::string& json_text) { return app->save_session(Json::parse(json_text))["id"]; }
  std::string open(const std::string& sid) { return app->connect_session(sid)["tab_id"]; }
  bool has_connection(const std::string& tab) {
    TabRef t = app->find_tab(tab);
    auto c = t ? t->conn() : nullptr;
    return c && c->state() == ConnectionState::connected;
  }
  std::shared_ptr<FakeBackend> backend(const std::string& tab) {
    std::shared_ptr<FakeBackend> b;
    eventually([&] {
      std::lock_guard<std::mutex> lock(mu);
      auto it = backends.find(tab);
      if (it != backends.end()) b = it->second;
      return b && has_connection(tab);
    }, 2);
    if (!b) {
      std::lock_guard<std::mutex> lock(mu);
      auto it = backends.find(tab);
      if (it != backends.end()) b = it->second;
    }
    return b;
  }
  std::string drain_until(const std::string& tab, const std::string& needle) {
    std::string all;
    eventually([&] {
      all += app->drain_terminal(tab);
      return all.find(needle) != std::string::npos;
    });
    return all;
  }
};

TEST_F(TabsTest, UnknownSessionGivesANullTab) {
  EXPECT_EQ(app->connect_session("nope"), Json::parse(R"({"tab_id": null})"));
}

TEST_F(TabsTest, OpeningTwiceReturnsTheFirstTab) {
  std::string sid = save(R"({"name": "r", "protocol": "raw"})");
  std::string t1 = open(sid);
  backend(t1)->end();
  ASSERT_TRUE(eventually([&] { return !app->find_tab(t1)->alive(); }));
  Json r = app->connect_session(sid);
  EXPECT_EQ(r["tab_id"], t1);
  EXPECT_EQ(r["existing"], true);
  EXPECT_EQ(r["tabs"].size(), 1u);
  EXPECT_EQ(started.size(), 1u);
}

TEST_F(TabsTest, TitlesAndEncodingsFromTheSession) {
  app->connect_delay_sec = 60;
  std::string a = open(save(R"({"protocol": "raw", "host": "h", "port": 23, "line_code_page": "UTF-8"})"));
  std::string b = open(save(R"({"protocol": "raw"})"));
  Json tabs = app->get_runtime_state()["tabs"];
  EXPECT_EQ(tabs[0]["display"], "h:23");
  EXPECT_EQ(tabs[1]["display"], ":");
  EXPECT_EQ(app->find_tab(a)->encoding_name(), "utf-8");
  EXPECT_EQ(app->find_tab(b)->encoding_name(), "utf-8");
  EXPECT_EQ(tabs[1]["protocol"], "raw");
  EXPECT_TRUE(app->set_tab_encoding(a, "BIG5"));
  EXPECT_EQ(app->find_tab(a)->encoding_name(), "BIG5");
  EXPECT_FALSE(app->set_tab_encoding(a, "klingon"));
  EXPECT_EQ(app->find_tab(a)->encoding_name(), "BIG5");
  EXPECT_FALSE(app->set_tab_encoding("nope", "utf-8"));
}

TEST_F(TabsTest, InputIsEncodedWithTheTabEncodingAndRoutedToTheHandle) {
  std::string tab = open(save(R"({"protocol": "raw", "line_code_page": "big5"})"));
  auto b = backend(tab);
  ASSERT_TRUE(b);
  EXPECT_TRUE(app->send_input(tab, "連\r😀"));
  EXPECT_EQ(b->sent, "\xB3\x73\r?");
  b->fail_send = true;
  CaptureStdout cap;
  EXPECT_FALSE(app->send_input(tab, "x"));
  EXPECT_EQ(cap.take(), "[send_input] broken pipe\n");
  EXPECT_FALSE(app->send_input("nope", "x"));
}

TEST_F(TabsTest, InputAndResizeBeforeConnectingAreRefused) {
  app->connect_delay_sec = 60;
  std::string tab = open(save(R"({"protocol": "raw"})"));
  EXPECT_FALSE(app->send_input(tab, "x"));
  EXPECT_FALSE(app->resize_pty(tab, 24, 80));
}

TEST_F(TabsTest, ResizeClampsAndFollowsTheKindRules) {
  std::string t = open(save(R"({"protocol": "telnet"})"));
  std::shared_ptr<FakeBackend> b;
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(mu);
    return backends.count(t) && (b = backends[t]) && has_connection(t);
  }));
  EXPECT_TRUE(app->resize_pty(t, 1, 5));
  EXPECT_TRUE(app->resize_pty(t, "40", 100.7));
  EXPECT_EQ(b->sizes, (std::vector<std::pair<int, int>>{{2, 20}, {40, 100}}));
  CaptureStdout cap;
  EXPECT_FALSE(app->resize_pty(t, "abc", 80));
  EXPECT_EQ(cap.take().rfind("[resize_pty] ", 0), 0u);

  std::string s = open(save(R"({"protocol": "supdup"})"));
  ASSERT_TRUE(eventually([&] { return has_connection(s); }));
  EXPECT_FALSE(app->resize_pty(s, 30, 90));  // resized, but answers false
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(backends[s]->sizes.size(), 1u);
  }
  std::string r = open(save(R"({"protocol": "raw"})"));
  ASSERT_TRUE(backend(r));
  EXPECT_FALSE(app->resize_pty(r, 30, 90));
  EXPECT_TRUE(backends[r]->sizes.empty());
}

TEST_F(TabsTest, UnsupportedProtocolIsReportedInUpperCase) {
  std::string tab = open(save(R"({"protocol": "gopher"})"));
  ASSERT_TRUE(page.wait_for("GOPHER")) << ::testing::PrintToString(page.all());
  EXPECT_EQ(page.count("setTerminalInfo(\"" + tab +
                       "\", \"Protocol GOPHER is not supported yet; please use SSH or serial.\", true)"),
            1u);
  EXPECT_TRUE(eventually([&] { return !app->find_tab(tab)->alive(); }));
}

TEST_F(TabsTest, SshVersionOneAsANumberStartsSsh1) {
  std::string tab = open(save(R"({"protocol": "ssh", "ssh_version": 1})"));
  ASSERT_TRUE(eventually([&] { return has_connection(tab); }));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(started, std::vector<std::string>{"ssh1"});
}

TEST_F(TabsTest, ATabClosedBeforeTheDispatchPauseNeverConnects) {
  app->connect_delay_sec = 0.35;
  std::string tab = open(save(R"({"protocol": "raw"})"));
  app->close_tab(tab);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_TRUE(started.empty());
}

TEST_F(TabsTest, AHandleMadeAfterTheTabClosedIsClosedAtOnce) {
  struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
  };
  auto gate = std::make_shared<Gate>();
  std::shared_ptr<FakeConnection> late;
  bool late_started = false;
  // The kind takes its time to make the connection; the tab closes meanwhile.
  fake_kind->on_open = [&, gate](const OpenRequest& req) {
    std::unique_lock<std::mutex> lock(gate->mu);
    gate->cv.wait(lock, [&] { return gate->open; });
    struct Watched : FakeConnection {
      using FakeConnection::FakeConnection;
      bool* started = nullptr;
      void start() override { *started = true; }
    };
    auto c = std::make_shared<Watched>(req.sink, req.protocol);
    c->started = &late_started;
    late = c;
    return c;
  };
  std::string tab = open(save(R"({"protocol": "raw"})"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  app->close_tab(tab);
  {
    std::lock_guard<std::mutex> lock(gate->mu);
    gate->open = true;
  }
  gate->cv.notify_all();
  ASSERT_TRUE(eventually([&] { return app->live_threads() == 0; }));
  ASSERT_TRUE(late);
  EXPECT_TRUE(late->is_closed());
  EXPECT_FALSE(late_started);
}

TEST_F(TabsTest, ActiveTabAfterClosing) {
  app->connect_delay_sec = 60;
  std::string a = open(save(R"({"protocol": "raw", "name": "a"})"));
  std::string b = open(save(R"({"protocol": "raw", "name": "b"})"));
  std::string c = open(save(R"({"protocol": "raw", "name": "c"})"));
  EXPECT_EQ(app->tabs.active(), c);
  app->close_tab(a);  // not active: unchanged
  EXPECT_EQ(app->tabs.active(), c);
  Json r = app->close_tab(c);
  EXPECT_EQ(r["active_tab"], b);
  EXPECT_EQ(r["tabs"].size(), 1u);
  r = app->close_tab("unknown");
  EXPECT_EQ(r["tabs"].size(), 1u);
  r = app->close_tab(b);
  EXPECT_TRUE(r["active_tab"].is_null());
  EXPECT_EQ(app->get_tab_reading(b), Json::parse(R"({"reading": false})"));
  EXPECT_EQ(app->toggle_tab_reading(b), Json::parse(R"({"reading": false})"));
}

TEST_F(TabsTest, EndOfStreamEndsTheTabOnceAndClosesTheHandle) {
  std::string tab = open(save(R"({"protocol": "raw"})"));
  auto b = backend(tab);
  ASSERT_TRUE(b);
  b->push("hello ");
  b->push("world");
  b->end();
  ASSERT_TRUE(page.wait_for("Connection ended"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(page.count("Connection ended"), 1u);
  EXPECT_EQ(drain_until(tab, "world"), "hello world");
  EXPECT_FALSE(app->find_tab(tab)->alive());
  EXPECT_TRUE(b->is_closed());
  // The tab stays open until the user closes it.
  EXPECT_EQ(app->get_runtime_state()["tabs"][0]["alive"], false);
}

TEST_F(TabsTest, ClosingATabWakesItsReaderAndTheEndNoticeStillArrives) {
  std::string tab = open(save(R"({"protocol": "raw"})"));
  auto b = backend(tab);
  ASSERT_TRUE(b);
  b->push("ready");
  ASSERT_EQ(drain_until(tab, "ready"), "ready");  // the reader is blocked in recv now
  app->close_tab(tab);
  EXPECT_TRUE(b->is_closed());
  EXPECT_TRUE(page.wait_for("setTerminalInfo(\"" + tab + "\", \"\\u2500\\u2500\\u2500 Connection ended"));
  EXPECT_TRUE(app->wait_threads(5));
}

TEST_F(TabsTest, SplitCharactersAndInvalidBytesDecode) {
  std::string tab = open(save(R"({"protocol": "raw"})"));
  auto b = backend(tab);
  ASSERT_TRUE(b);
  b->push("a\xE9\x80");
  b->push("\xA3" "b\xFF" "c");
  EXPECT_EQ(drain_until(tab, "c"), "a連b\xEF\xBF\xBD" "c");
}

TEST_F(TabsTest, EditingAnOpenSessionUpdatesTheTabAndSaysWhatApplies) {
  std::string sid = save(R"({"name": "n", "protocol": "raw", "port": 22, "password": ""})");
  std::string tab = open(sid);
  ASSERT_TRUE(backend(tab));
  app->save_session(Json::parse(R"({"id": ")" + sid + R"(", "name": "renamed", "protocol": "raw", "port": 22})"));
  EXPECT_EQ(app->get_runtime_state()["tabs"][0]["display"], "renamed");
  EXPECT_EQ(page.count("Connection settings applied"), 1u);
  app->save_session(Json::parse(R"({"id": ")" + sid + R"(", "name": "renamed", "protocol": "raw", "port": "22"})"));
  EXPECT_EQ(page.count("Connection settings updated"), 1u);
  app->save_session(Json::parse(R"({"id": ")" + sid + R"(", "protocol": "raw", "port": "22", "line_code_page": "BIG5"})"));
  EXPECT_EQ(app->find_tab(tab)->encoding_name(), "big5");
  EXPECT_EQ(app->get_runtime_state()["tabs"][0]["display"], ":22");
  // The new encoding decodes from the next received byte on.
  backend(tab)->push("\xB3\x73");
  EXPECT_EQ(drain_until(tab, "連"), "連");
  CaptureStdout cap;
  app->save_session(Json::parse(R"({"id": ")" + sid + R"(", "protocol": "raw", "port": "22", "line_code_page": "nope"})"));
  EXPECT_EQ(cap.take().rfind("[apply_session] encoding lookup failed:", 0), 0u);
  EXPECT_EQ(app->find_tab(tab)->encoding_name(), "big5");
  // Deleting the session leaves the tab working.
  app->delete_session(sid);
  EXPECT_TRUE(app->send_input(tab, "still"));
}

TEST_F(TabsTest, AnUnknownSessionEncodingFallsBackToUtf8) {
  std::string tab = open(save(R"({"protocol": "raw", "line_code_page": "klingon"})"));
  auto b = backend(tab);
  ASSERT_TRUE(b);
  b->push("\xE9\x80\xA3");
  EXPECT_EQ(drain_until(tab, "連"), "連");
  EXPECT_TRUE(app->send_input(tab, "é"));
  EXPECT_EQ(b->sent, "é");
}

// The transfer seam: a detector that starts a transfer at "**\x18" and a slot that swallows.
struct FakeSlot : TransferSlot {
  mutable std::mutex mu;
  std::string got_;
  std::atomic<bool> done{false};
  bool is_done() const override { return done; }
  void feed(std::string_view b) override {
    std::lock_guard<std::mutex> lock(mu);
    got_ += b;
  }
  void cancel() override { done = true; }
  std::string got() const {
    std::lock_guard<std::mutex> lock(mu);
    return got_;
  }
};
struct FakeSniffer : TransferSniffer {
  Result feed(std::string_view b) override {
    Result r;
    auto at = b.find("**\x18");
    if (at == std::string_view::npos) {
      r.terminal = std::string(b);
      return r;
    }
    r.started = true;
    r.terminal = std::string(b.substr(0, at));
    r.transfer = std::string(b.substr(at));
    return r;
  }
  void reset() override {}
};

TEST_F(TabsTest, ADetectedTransferTakesTheRestOfTheChunkAndLaterBytes) {
  auto slot = std::make_shared<FakeSlot>();
  app->transfers.sniffer_factory = [](const std::string&) { return std::make_unique<FakeSniffer>(); };
  MorvaneApp* a = app.get();
  app->transfers.start_auto_receive = [a, slot](const std::string& id) {
    auto t = a->find_tab(id);
    std::lock_guard<std::mutex> lock(t->mu);
    t->xfer = slot;
  };
  std::string tab = open(save(R"({"protocol": "raw"})"));
  auto b = backend(tab);
  ASSERT_TRUE(b);
  b->push("before**\x18" "B00");
  b->push("more");
  ASSERT_TRUE(eventually([&] { return slot->got() == "**\x18" "B00more"; }));
  EXPECT_EQ(app->drain_terminal(tab), "before");
  EXPECT_EQ(page.count("ZMODEM detected"), 1u);
  slot->done = true;
  b->push("after");
  EXPECT_EQ(drain_until(tab, "after"), "after");
}

}  // namespace morvane::testing
