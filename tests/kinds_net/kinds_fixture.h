#pragma once
// The TCP kinds through the application: a session saved and opened like the page does, the
// page's scripts recorded, the terminal drained; peers on 127.0.0.1 with deadlines.
#include <termios.h>

#include <filesystem>
#include <string>

#include "app_fixture.h"
#include "net_peer.h"
#include "peer.h"

namespace morvane::testing {

inline void fd_write(int fd, const std::string& s) {
  ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
}

struct NetKindTest : AppFixture {
  void SetUp() override {
    make_app();
    app->connect_delay_sec = 0.0;
  }
  std::string open(const Json& session) {
    std::string sid = app->save_session(session)["id"];
    return app->connect_session(sid)["tab_id"];
  }
  bool connected(const std::string& tab, double secs = 15) {
    return page.wait_for("terminalConnected(\"" + tab + "\")", secs);
  }
  std::string info(const std::string& tab, const std::string& text, bool error) {
    return "setTerminalInfo(\"" + tab + "\", " + Json(text).dump() + ", " + (error ? "true" : "false") + ")";
  }
  // Drains until needle shows up in what was drained since `all` was last cleared.
  bool expect_output(const std::string& tab, std::string& all, const std::string& needle, double secs = 15) {
    bool ok = eventually([&] {
      all += app->drain_terminal(tab);
      return all.find(needle) != std::string::npos;
    }, secs);
    EXPECT_TRUE(ok) << "missing " << Json(needle).dump() << " in: " << Json(all).dump();
    return ok;
  }
  bool alive(const std::string& tab) {
    auto t = app->find_tab(tab);
    return t && t->alive();
  }
  // The end of the connection: announced once, the tab no longer alive.
  void expect_ended_once(const std::string& tab) {
    ASSERT_TRUE(page.wait_for("Connection ended", 15));
    EXPECT_TRUE(eventually([&] { return !alive(tab); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(page.count("Connection ended"), 1u);
  }
};

}  // namespace morvane::testing
