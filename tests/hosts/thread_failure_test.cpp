// Both hosts of the real program when no thread can be had: each call or connection that needs
// one gets an error answer, the program lives on, and it serves again once threads come back.
// Threads are taken away by a preloaded library while a flag file exists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "http_serve_fixture.h"
#include "stdio_program.h"

namespace morvane::testing {
namespace {

#if defined(MORVANE_SANITIZED)
constexpr bool kSanitized = true;  // the sanitizers' runtimes must be the first library loaded
#else
constexpr bool kSanitized = false;
#endif

struct NoThreads {
  fs::path flag;
  explicit NoThreads(const fs::path& dir) : flag(dir / "no-threads") {}
  std::vector<std::string> env() const {
    return {std::string("LD_PRELOAD=") + MORVANE_NO_THREADS_LIB, "MORVANE_NO_THREADS_WHILE=" + flag.string()};
  }
  void take() { std::ofstream(flag) << "1"; }
  void give_back() { fs::remove(flag); }
};

TEST_F(ServeFixture, NoThreadForAConnectionIsA503AndTheHostLivesOn) {
  if (kSanitized) GTEST_SKIP() << "needs the program without a sanitizer runtime";
  NoThreads nt(dir);
  for (const auto& kv : nt.env()) putenv(strdup(kv.c_str()));  // the child inherits them
  start();
  unsetenv("LD_PRELOAD");
  unsetenv("MORVANE_NO_THREADS_WHILE");
  ASSERT_TRUE(result("get_initial_state").is_object());
  nt.take();
  for (int i = 0; i < 5; ++i) {
    httplib::Client c("127.0.0.1", proc.port);
    c.set_read_timeout(10, 0);
    auto r = c.Get(path("/").c_str());
    ASSERT_TRUE(r) << "no answer at all, connection " << i;
    EXPECT_EQ(r->status, 503) << r->body;
  }
  nt.give_back();
  auto c = client();
  auto page = c.Get(path("/").c_str());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_TRUE(result("get_runtime_state").is_object());
}

TEST(StdioNoThreads, EachCallWithoutAThreadFailsWithAReasonAndLaterCallsWork) {
  if (kSanitized) GTEST_SKIP() << "needs the program without a sanitizer runtime";
  char tmpl[] = "/tmp/morvane-nothreads-XXXXXX";
  fs::path dir = mkdtemp(tmpl);
  NoThreads nt(dir);
  {
    StdioProgram prog(dir / "data", {.env = nt.env(), .err_file = dir / "stderr.txt"});
    ASSERT_TRUE(prog.call("get_runtime_state").is_object());
    nt.take();
    int refused = 0;
    for (int i = 0; i < 50; ++i) {
      try {
        prog.call("get_runtime_state");
      } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot start the call"), std::string::npos) << e.what();
        ++refused;
      }
    }
    EXPECT_EQ(refused, 50);
    nt.give_back();
    EXPECT_TRUE(prog.call("get_runtime_state").is_object());
    EXPECT_TRUE(prog.call("get_runtime_state").is_object());
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace morvane::testing
