#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "app/output_buffer.h"
#include "app_fixture.h"
#include "util/text.h"

namespace morvane::testing {

struct OutputChannelTest : AppFixture {
  std::string tab;
  std::string sid;
  void SetUp() override {
    make_app();
    Json s = Json::object();
    s["name"] = "t";
    s["protocol"] = "none";
    sid = app->save_session(s)["id"];
    app->connect_delay_sec = 60;  // keep the tab connecting: these tests are about output
    tab = app->connect_session(sid)["tab_id"];
  }
  void set_flags(bool lfhascr, bool crhaslf) {
    Json s = app->sessions.find(sid)->snapshot();
    s["lfhascr"] = lfhascr;
    s["crhaslf"] = crhaslf;
    app->save_session(s);
  }
};

TEST_F(OutputChannelTest, PushAndDrain) {
  app->_push_to_term(tab, "");
  EXPECT_EQ(app->drain_terminal(tab), "");
  app->_push_to_term(tab, "a\r\n");
  app->_push_to_term(tab, "連b");
  EXPECT_EQ(app->drain_terminal(tab), "a\r\n連b");
  EXPECT_EQ(app->drain_terminal(tab), "");
  EXPECT_EQ(app->drain_terminal("nope"), "");
  app->_push_to_term("nope", "x");  // no tab: dropped silently
}

TEST_F(OutputChannelTest, BoundedDrainTakesWholeCharactersOldestFirst) {
  app->_push_to_term(tab, "ab連c");
  app->_push_to_term(tab, "def");
  EXPECT_EQ(app->drain_terminal(tab, 2), "ab");
  EXPECT_EQ(app->drain_terminal(tab, 1), "連");  // three bytes, one character
  EXPECT_EQ(app->bridge.call("drain_terminal", Json::array({tab, 3})), "cde");  // across chunks
  EXPECT_EQ(app->bridge.call("drain_terminal", Json::array({tab, 100})), "f");
  EXPECT_EQ(app->drain_terminal(tab, 5), "");
  for (const Json& bad : {Json(-1), Json("3"), Json(nullptr)}) {
    EXPECT_THROW(app->bridge.call("drain_terminal", Json::array({tab, bad})), BridgeError) << bad.dump();
    EXPECT_THROW(app->bridge.call("drain_terminals", Json::array({Json::array({tab}), bad})), BridgeError);
  }

  // Several tabs at once: each gets its own bound; quiet, unknown and non-text ids are left out.
  std::string other = app->connect_session(app->save_session(Json{{"name", "u"}, {"protocol", "none"}})["id"])["tab_id"];
  std::string quiet = app->connect_session(app->save_session(Json{{"name", "q"}, {"protocol", "none"}})["id"])["tab_id"];
  app->_push_to_term(tab, "連連連");
  app->_push_to_term(other, "xyz");
  const Json ids = Json::array({tab, other, quiet, "nope", 7});
  EXPECT_EQ(app->bridge.call("drain_terminals", Json::array({ids, 2})), (Json{{tab, "連連"}, {other, "xy"}}));
  EXPECT_EQ(app->bridge.call("drain_terminals", Json::array({ids})), (Json{{tab, "連"}, {other, "z"}}));
  EXPECT_EQ(app->bridge.call("drain_terminals", Json::array({ids})), Json::object());
  EXPECT_THROW(app->bridge.call("drain_terminals", Json::array({tab})), BridgeError);

  // A reader held above the high mark goes on only once drains take the buffer to the low mark.
  OutputBuffer buf;
  buf.push(std::string(6, 'x'));
  buf.push(std::string(6, 'y'));
  std::atomic<bool> resumed{false};
  std::thread reader([&] {
    buf.wait_for_room(10, 4, [] { return false; }, std::chrono::milliseconds(5));
    resumed = true;
  });
  for (int i = 0; i < 2000 && buf.pauses() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(buf.pauses(), 1u);
  EXPECT_EQ(buf.drain(3), "xxx");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(resumed.load());  // 9 characters still wait
  EXPECT_EQ(buf.drain(5), "xxxyy");
  reader.join();
  EXPECT_TRUE(resumed.load());
  EXPECT_EQ(buf.chars(), 4u);
  EXPECT_EQ(buf.drain(), "yyyy");
}

// A gatherer goes as soon as the append that reaches what it wants arrives, or once output has
// stopped coming for its quiet time; an empty buffer does not hold it at all.
TEST_F(OutputChannelTest, GatherEndsAtItsAmountOrWhenOutputStops) {
  using Clock = std::chrono::steady_clock;
  const auto never = [] { return false; };
  const auto far = [] { return Clock::now() + std::chrono::seconds(20); };
  OutputBuffer buf;
  auto t0 = Clock::now();
  buf.gather(10, std::chrono::seconds(20), far(), never);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));

  // A steady trickle, never quiet for the gatherer's 20 s: only reaching 50 ends its wait.
  std::atomic<bool> stop{false};
  buf.push("0123456789");
  std::thread producer([&] {
    while (!stop) {
      buf.push("ab");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  t0 = Clock::now();
  buf.gather(50, std::chrono::seconds(20), far(), never);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  EXPECT_GE(buf.chars(), 50u);
  stop = true;
  producer.join();

  // Output that stops: the gatherer goes after its quiet time with what there is.
  buf.drain();
  buf.push("tail");
  t0 = Clock::now();
  buf.gather(1000, std::chrono::milliseconds(30), far(), never);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(buf.drain(), "tail");
}

// Pieces carry their place in the tab's stream (characters, not bytes), whatever drained
// them, so that a consumer with several drains under way puts them back in order; many
// drains racing a producer lose and repeat nothing.
TEST_F(OutputChannelTest, PiecesCarryTheirPlaceInTheStream) {
  auto piece = [&](Json args) { return app->bridge.call("drain_terminal_piece", args); };
  EXPECT_EQ(piece(Json::array({tab})), (Json{{"from", 0}, {"to", 0}, {"text", ""}}));
  app->_push_to_term(tab, "ab連c");
  EXPECT_EQ(piece(Json::array({tab, 3})), (Json{{"from", 0}, {"to", 3}, {"text", "ab連"}}));
  EXPECT_EQ(app->drain_terminal(tab), "c");  // other drains move the place too
  app->_push_to_term(tab, "de");
  EXPECT_EQ(piece(Json::array({tab, 0, 0, 1000})), (Json{{"from", 4}, {"to", 6}, {"text", "de"}}));
  EXPECT_EQ(piece(Json::array({"nope", 0, 0.01})), (Json{{"from", 0}, {"to", 0}, {"text", ""}}));
  for (const Json& bad : {Json(-1), Json("1"), Json(nullptr)}) {
    EXPECT_THROW(piece(Json::array({tab, 0, bad})), BridgeError) << bad.dump();
    EXPECT_THROW(piece(Json::array({tab, 0, 0, bad})), BridgeError) << bad.dump();
  }

  // Four consumers that wait and gather, against a producer of numbered lines.
  std::string sent;
  std::mutex mu;
  std::vector<Json> pieces;
  std::atomic<bool> done{false};
  std::vector<std::thread> consumers;
  for (int c = 0; c < 4; ++c) {
    consumers.emplace_back([&, c] {
      while (true) {
        const bool last = done.load();
        Json p = piece(Json::array({tab, c == 0 ? 0 : 700, 0.02, c % 2 ? 4000 : 0}));
        if (!p["text"].get<std::string>().empty()) {
          std::lock_guard<std::mutex> lock(mu);
          pieces.push_back(std::move(p));
        } else if (last) {
          return;
        }
      }
    });
  }
  for (int i = 0; i < 3000; ++i) {
    std::string line = std::to_string(i) + (i % 7 ? " line\r\n" : " 連線\r\n");
    sent += line;
    app->_push_to_term(tab, line);
    if (i % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  done = true;
  for (auto& t : consumers) t.join();
  std::sort(pieces.begin(), pieces.end(), [](const Json& a, const Json& b) { return a["from"] < b["from"]; });
  std::string got;
  uint64_t at = 6;
  for (const Json& p : pieces) {
    ASSERT_EQ(p["from"].get<uint64_t>(), at);
    got += p["text"].get<std::string>();
    at = p["to"].get<uint64_t>();
  }
  EXPECT_EQ(got, sent);
  EXPECT_EQ(at, 6 + text::count_codepoints(sent));
}

TEST_F(OutputChannelTest, ReadingOffDiscardsInsteadOfQueueing) {
  EXPECT_EQ(app->toggle_tab_reading(tab)["reading"], false);
  app->_push_to_term(tab, "lost");
  EXPECT_EQ(app->toggle_tab_reading(tab)["reading"], true);
  app->_push_to_term(tab, "new");
  EXPECT_EQ(app->drain_terminal(tab), "new");
}

TEST_F(OutputChannelTest, BoundKeepsTheNewestChunkWhole) {
  std::string big(3000000, 'x');
  app->_push_to_term(tab, big);
  app->_push_to_term(tab, "0123456789");
  EXPECT_EQ(app->drain_terminal(tab), "0123456789");
  app->_push_to_term(tab, big);
  EXPECT_EQ(app->drain_terminal(tab).size(), 3000000u);
  std::string half(1500000, 'y');
  app->_push_to_term(tab, half);
  app->_push_to_term(tab, std::string(1500000, 'z'));
  EXPECT_EQ(app->drain_terminal(tab), std::string(1500000, 'z'));
}

TEST_F(OutputChannelTest, BoundCountsCharactersNotBytes) {
  // 1.2 million three-byte characters are 3.6 MB but only 1.2 million characters.
  std::string wide;
  for (int i = 0; i < 400000; ++i) wide += "連";
  app->_push_to_term(tab, wide);
  app->_push_to_term(tab, wide);
  app->_push_to_term(tab, wide);
  app->_push_to_term(tab, wide);
  app->_push_to_term(tab, wide);
  EXPECT_EQ(app->drain_terminal(tab).size(), 5 * wide.size());  // 2.0 million characters: all kept
  for (int i = 0; i < 6; ++i) app->_push_to_term(tab, wide);
  EXPECT_EQ(app->drain_terminal(tab).size(), 5 * wide.size());
}

TEST_F(OutputChannelTest, FlagsOffPassEverythingThrough) {
  app->_push_to_term(tab, "a\rb\nc\r\n");
  EXPECT_EQ(app->drain_terminal(tab), "a\rb\nc\r\n");
}

TEST_F(OutputChannelTest, LfHasCr) {
  set_flags(true, false);
  app->_push_to_term(tab, "a\nb");
  EXPECT_EQ(app->drain_terminal(tab), "a\r\nb");
  app->_push_to_term(tab, "a\r\nb");
  EXPECT_EQ(app->drain_terminal(tab), "a\r\nb");
  app->_push_to_term(tab, "x\r");
  app->_push_to_term(tab, "\ny");
  EXPECT_EQ(app->drain_terminal(tab), "x\r\ny");
}

TEST_F(OutputChannelTest, CrHasLf) {
  set_flags(false, true);
  app->_push_to_term(tab, "a\rb");
  EXPECT_EQ(app->drain_terminal(tab), "a\r\nb");
  app->_push_to_term(tab, "a\r\nb");
  EXPECT_EQ(app->drain_terminal(tab), "a\r\n\nb");
}

TEST_F(OutputChannelTest, BothFlags) {
  set_flags(true, true);
  app->_push_to_term(tab, "a\r\nb\nc");
  EXPECT_EQ(app->drain_terminal(tab), "a\r\n\r\nb\r\nc");
}

TEST_F(OutputChannelTest, PageCallsAreExactAndAsciiEscaped) {
  app->_push_info(tab, "連線 \"ok\"", true);
  app->_push_info(tab, "plain");
  app->_push_connected(tab);
  auto s = page.all();
  EXPECT_NE(std::find(s.begin(), s.end(), "setTerminalInfo(\"" + tab + "\", \"\\u9023\\u7dda \\\"ok\\\"\", true)"),
            s.end());
  EXPECT_NE(std::find(s.begin(), s.end(), "setTerminalInfo(\"" + tab + "\", \"plain\", false)"), s.end());
  EXPECT_NE(std::find(s.begin(), s.end(), "terminalConnected(\"" + tab + "\")"), s.end());
}

TEST_F(OutputChannelTest, NoWindowNoPageCalls) {
  const size_t before = page.all().size();
  app->set_window(nullptr);
  app->_push_info(tab, "said while detached");
  app->_push_connected(tab);
  app->set_window(&page);
  // Nothing was queued for later either: the page sees only what comes after it is back.
  app->_push_info(tab, "back");
  ASSERT_EQ(page.all().size(), before + 1);
  EXPECT_EQ(page.count("said while detached"), 0u);
  EXPECT_EQ(page.count("back"), 1u);
}

TEST_F(OutputChannelTest, StateQueries) {
  Json init = app->get_initial_state();
  EXPECT_EQ(init["sessions"].size(), 1u);
  EXPECT_EQ(init["sessions_file"], (data() / "sessions.json").generic_string());
  EXPECT_EQ(init["language"], "en");
  EXPECT_TRUE(init["puttygen_path"].is_string());
  Json rt = app->get_runtime_state();
  ASSERT_EQ(rt["tabs"].size(), 1u);
  EXPECT_EQ(rt["tabs"][0], Json::parse(R"({"id": ")" + tab + R"(", "display": "t", "protocol": "none", "alive": true, "connected": false, "session_id": ")" + sid + R"("})"));
  EXPECT_EQ(rt["active_tab"], tab);
  EXPECT_EQ(rt["session_status"], Json::object());
}

}  // namespace morvane::testing
