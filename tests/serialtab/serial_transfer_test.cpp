// ZMODEM over a serial tab: lrzsz runs on the far end of a socat PTY pair, as it would on a
// board's console. A download that sz starts is taken automatically; a file sent to rz arrives
// whole. The line carries every byte value, so nothing may be lost or taken as flow control.
#include <spawn.h>

#include "serialtab_fixture.h"
#include "transfer_fixture.h"

namespace morvane::testing {
namespace {

using namespace morvane::xfertest;

// A program with its standard input and output on the far end of the cable.
class FarProgram {
 public:
  FarProgram(const std::string& device, const fs::path& cwd, const std::string& command) {
    std::string script = "cd '" + cwd.string() + "' && exec " + command + " <'" + device + "' >'" + device + "' 2>/dev/null";
    std::vector<std::string> args = {"sh", "-c", script};
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "sh", nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~FarProgram() {
    if (pid_ > 0 && !exited(0)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
    }
  }
  // Waits up to `seconds` for the program to end.
  bool exited(double seconds) {
    if (pid_ <= 0) return true;
    if (done_) return true;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
      if (::waitpid(pid_, &status_, WNOHANG) == pid_) return done_ = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    return false;
  }
  int exit_code() const { return done_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool done_ = false;
};

class SerialTransfer : public SerialTabFixture {
 protected:
  void SetUp() override {
    MORVANE_REQUIRE_PEER(socat_available(), "socat");
    MORVANE_REQUIRE_PEER(have_lrzsz(), "lrzsz (sz/rz)");
    SerialTabFixture::SetUp();
    cable = std::make_unique<Cable>(dir.path, "tty");
    cable->plug();
    work = dir.path / "work";
    fs::create_directories(work);
  }
  void TearDown() override {
    app.reset();
    cable.reset();
  }
  std::string open_port() {
    std::string tab = open_tab(serial_session(cable->a, {{"port", 921600}}));
    EXPECT_TRUE(page.wait_for(connected_script(tab)));
    drain_until(tab, "---\r\n");
    return tab;
  }
  Json done_event(const std::string& tab, double secs = 90) {
    Json found;
    eventually([&] {
      for (auto& e : events_of(page.all(), tab))
        if (e["kind"] == "done") found = e;
      return !found.is_null();
    }, secs);
    return found;
  }
  std::unique_ptr<Cable> cable;
  fs::path work;
};

TEST_F(SerialTransfer, ADownloadFromSzOnTheBoardIsTakenAutomatically) {
  // Several files: a big one full of the bytes a line could mangle, one of them alone, and none.
  std::string big = nasty_bytes((4u << 20) + 1, 21), one = "\x11";
  write_file(work / "big file.bin", big);
  write_file(work / "one", one);
  write_file(work / "empty", "");
  std::string tab = open_port();
  FarProgram sz(cable->b, work, "sz -b 'big file.bin' one empty");
  Json done = done_event(tab);
  ASSERT_EQ(done, Json({{"kind", "done"}, {"ok", true}})) << json::dump_line(Json(events_of(page.all(), tab)), true);
  EXPECT_EQ(page.count(info_script(tab, "info.zmodem_detected", {})), 1u);
  EXPECT_TRUE(page.wait_for(info_script(tab, "info.xfer_end_ok", {})));
  fs::path downloads = data() / "downloads";
  EXPECT_TRUE(read_file(downloads / "big file.bin") == big) << fs::file_size(downloads / "big file.bin");
  EXPECT_EQ(read_file(downloads / "one"), one);
  EXPECT_TRUE(fs::exists(downloads / "empty"));
  EXPECT_EQ(names_in(downloads).size(), 3u);
  EXPECT_TRUE(sz.exited(20));
  EXPECT_EQ(sz.exit_code(), 0);
  // The slot is empty again: what the board prints next is shown.
  ASSERT_TRUE(cable->write("board prompt> "));
  EXPECT_NE(drain_until(tab, "board prompt> ").find("board prompt> "), std::string::npos);
}

TEST_F(SerialTransfer, FilesSentToRzOnTheBoardArriveIdentically) {
  fs::path out = work / "out";
  fs::create_directories(out);
  std::string a = nasty_bytes((2u << 20) + 1023, 22), b = nasty_bytes(1024, 23);
  write_file(dir.path / "a ü.bin", a);
  write_file(dir.path / "b.bin", b);
  std::string tab = open_port();
  FarProgram rz(cable->b, out, "rz -b");
  Json r = app->bridge.call("xfer_start", Json::array({tab, "zmodem", "send", Json::array({(dir.path / "a ü.bin").string(),
                                                                                            (dir.path / "b.bin").string()})}));
  EXPECT_EQ(r, Json({{"ok", true}, {"save_dir", nullptr}}));
  // Halfway through the line stops taking data for longer than a write waits: what the port
  // did not take goes out afterwards, nothing in the middle of the stream is skipped.
  eventually([&] {
    for (auto& e : events_of(page.all(), tab))
      if (e["kind"] == "progress" && e.value("done", 0) > 300000) return true;
    return false;
  }, 60);
  cable->hold(std::chrono::milliseconds(2500));
  EXPECT_EQ(done_event(tab), Json({{"kind", "done"}, {"ok", true}}));
  EXPECT_TRUE(rz.exited(20));
  EXPECT_EQ(rz.exit_code(), 0);
  EXPECT_TRUE(read_file(out / "a ü.bin") == a);
  EXPECT_EQ(read_file(out / "b.bin"), b);
  ASSERT_TRUE(cable->write("back\r\n"));
  EXPECT_NE(drain_until(tab, "back\r\n").find("back\r\n"), std::string::npos);
}

}  // namespace
}  // namespace morvane::testing
