// The stdio protocol, driven in-process with a bridge of test operations.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "hosts/stdio_host.h"

namespace morvane {
namespace {

std::vector<Json> lines_of(const std::string& out) {
  std::vector<Json> v;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) v.push_back(Json::parse(line));
  return v;
}

// A one-shot gate on a mutex and condition variable (std::future's futex wait is invisible
// to ThreadSanitizer).
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  void release() {
    std::lock_guard<std::mutex> lock(mu);
    open = true;
    cv.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return open; });
  }
};

struct HostRun {
  std::string out;
  std::vector<Json> lines;
};

// Feeds input to a host whose bridge has the given operations; returns what it wrote.
HostRun run_host(const std::string& input, Bridge& bridge, double drain = 5.0) {
  std::istringstream in(input);
  std::ostringstream out;
  StdioHost host(in, out);
  host.drain_timeout_sec = drain;
  host.create_window({}, bridge, [] { return true; });
  host.run_loop();
  HostRun r;
  r.out = out.str();
  r.lines = lines_of(r.out);
  return r;
}

TEST(StdioHost, AnswersCarryTheIdAndResultOrError) {
  Bridge b;
  b.add("echo", 1, {"dflt"}, [](const Json& a) { return a; });
  b.add("boom", 0, {}, [](const Json&) -> Json { throw std::runtime_error("it broke"); });
  HostRun r = run_host(
      "{\"id\": 1, \"op\": \"echo\", \"args\": [\"x\"]}\n"
      "{\"id\": \"two\", \"op\": \"echo\", \"args\": [1, 2]}\n"
      "{\"id\": [3], \"op\": \"boom\"}\n"
      "{\"id\": 4, \"op\": \"missing\", \"args\": []}\n"
      "{\"id\": 5, \"op\": \"echo\", \"args\": []}\n",
      b);
  ASSERT_EQ(r.lines.size(), 5u) << r.out;
  std::map<std::string, Json> by_id;
  for (auto& l : r.lines) by_id[l["id"].dump()] = l;
  EXPECT_EQ(by_id["1"], Json::parse(R"({"id": 1, "ok": true, "result": ["x", "dflt"]})"));
  EXPECT_EQ(by_id["\"two\""], Json::parse(R"({"id": "two", "ok": true, "result": [1, 2]})"));
  EXPECT_EQ(by_id["[3]"]["ok"], false);
  EXPECT_EQ(by_id["[3]"]["error"], "boom: it broke");
  EXPECT_EQ(by_id["4"]["error"], "unknown operation: missing");
  EXPECT_EQ(by_id["5"]["ok"], false);
}

TEST(StdioHost, BadLinesGetErrorAnswersAndTheHostKeepsGoing) {
  Bridge b;
  b.add("ping", 0, {}, [](const Json&) { return Json("pong"); });
  HostRun r = run_host(
      "this is not json\n"
      "[1, 2]\n"
      "{\"id\": 7}\n"
      "{\"id\": 8, \"op\": 5}\n"
      "{\"id\": 9, \"op\": \"ping\", \"args\": {\"a\": 1}}\n"
      "\n"
      "{\"id\": 10, \"op\": \"ping\"}\n",
      b);
  ASSERT_EQ(r.lines.size(), 6u) << r.out;
  EXPECT_TRUE(r.lines[0]["id"].is_null());
  EXPECT_EQ(r.lines[0]["ok"], false);
  EXPECT_TRUE(r.lines[1]["id"].is_null());
  EXPECT_EQ(r.lines[2], Json::parse(R"({"id": 7, "ok": false, "error": "missing op"})"));
  EXPECT_EQ(r.lines[3]["id"], 8);
  EXPECT_EQ(r.lines[4]["id"], 9);
  EXPECT_EQ(r.lines[5], Json::parse(R"({"id": 10, "ok": true, "result": "pong"})"));
}

TEST(StdioHost, DeeplyNestedLinesAreRefusedAndTheHostKeepsGoing) {
  Bridge b;
  b.add("echo", 0, {nullptr}, [](const Json& a) { return a; });
  const std::string open(100000, '['), close(100000, ']');
  HostRun r = run_host("{\"id\": " + open + close + ", \"op\": \"echo\"}\n" +
                           "{\"id\": 1, \"op\": \"echo\", \"args\": [" + open + close + "]}\n" +
                           "{\"queue\": \"get_receipt\", \"item\": " + open + close + "}\n" +
                           "{\"id\": 2, \"op\": \"echo\", \"args\": [[[1]]]}\n",
                       b);
  ASSERT_EQ(r.lines.size(), 4u) << r.out.substr(0, 2000);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(r.lines[i]["ok"], false);
    EXPECT_NE(r.lines[i]["error"].get<std::string>().find("nested deeper"), std::string::npos) << r.lines[i];
  }
  EXPECT_EQ(r.lines[3], Json::parse(R"({"id": 2, "ok": true, "result": [[[1]]]})"));
}

TEST(StdioHost, ASlowCallDoesNotStallTheOthers) {
  Bridge b;
  auto gate = std::make_shared<Gate>();
  b.add("slow", 0, {}, [gate](const Json&) {
    gate->wait();  // answers only once "fast" has run, so both must run at once
    return Json("slow done");
  });
  b.add("fast", 0, {}, [gate](const Json&) {
    gate->release();
    return Json("fast done");
  });
  HostRun r = run_host("{\"id\": 1, \"op\": \"slow\"}\n{\"id\": 2, \"op\": \"fast\"}\n", b);
  ASSERT_EQ(r.lines.size(), 2u) << r.out;
  std::set<std::string> answers;
  for (auto& l : r.lines) answers.insert(l.dump());
  EXPECT_EQ(answers, (std::set<std::string>{Json::parse(R"({"id": 1, "ok": true, "result": "slow done"})").dump(),
                                            Json::parse(R"({"id": 2, "ok": true, "result": "fast done"})").dump()}));
}

TEST(StdioHost, EndOfInputAnswersCallsStillRunningWithAnError) {
  // Outlives the test: the stuck call still runs inside it after the host has gone.
  // Both live until the program ends: the stuck call never returns.
  static Bridge& b = *new Bridge;
  static Gate* stuck = new Gate;
  b.add("stuck", 0, {}, [](const Json&) {
    stuck->wait();
    return Json("late");
  });
  auto t0 = std::chrono::steady_clock::now();
  HostRun r = run_host("{\"id\": 1, \"op\": \"stuck\"}\n", b, 0.3);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  ASSERT_EQ(r.lines.size(), 1u) << r.out;
  EXPECT_EQ(r.lines[0]["id"], 1);
  EXPECT_EQ(r.lines[0]["ok"], false);
  // The stuck call stays blocked until the test program ends; its answer is never written.
}

TEST(StdioHost, QueueLinesFeedTheLauncherQueuesAndPageCallsAreLines) {
  std::istringstream in(
      "{\"queue\": \"get_receipt\", \"item\": {\"type\": \"ping_results\", \"results\": []}}\n"
      "{\"queue\": \"nope\", \"item\": 1}\n");
  std::ostringstream out;
  StdioHost host(in, out);
  Bridge b;
  host.create_window({}, b, [] { return true; });
  host.evaluate("setTerminalInfo(\"ab\", \"\\u9023\", false)");
  host.run_loop();
  host.events()["end"]->set();
  auto q = host.queues()["get_receipt"];
  ASSERT_EQ(q->size(), 1u);
  EXPECT_EQ((*q->get(0))["type"], "ping_results");
  auto lines = lines_of(out.str());
  ASSERT_EQ(lines.size(), 3u) << out.str();
  EXPECT_EQ(lines[0]["page"], "setTerminalInfo(\"ab\", \"\\u9023\", false)");
  EXPECT_EQ(lines[1]["ok"], false);
  EXPECT_EQ(lines[2], Json::parse(R"({"event": "end"})"));
  EXPECT_TRUE(host.queues().count("end"));
}

TEST(StdioHost, QueuesAreBoundedAndOnlyTheStatusFeedIsFed) {
  std::string input = "{\"queue\": \"end\", \"item\": \"x\"}\n";
  for (int i = 0; i < 300; ++i) input += "{\"queue\": \"get_receipt\", \"item\": " + std::to_string(i) + "}\n";
  std::istringstream in(input);
  std::ostringstream out;
  StdioHost host(in, out);
  Bridge b;
  host.create_window({}, b, [] { return true; });
  host.run_loop();
  EXPECT_EQ(host.queues()["end"]->size(), 0u);
  EXPECT_EQ(host.queues()["get_receipt"]->size(), 256u);
  auto lines = lines_of(out.str());
  ASSERT_EQ(lines.size(), 1u + 44u);
  EXPECT_EQ(lines[0]["error"], "unknown queue: end");
  EXPECT_EQ(lines[1]["error"], "queue full: get_receipt");
}

}  // namespace
}  // namespace morvane
