// The whole program, end to end: `morvane --stdio` opens a serial tab on a socat PTY, echoes
// both ways, rides out the device vanishing and returning, and answers the reset and port-list
// operations, all through its JSON-line protocol.
#include "serialtab_fixture.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;

// Runs `morvane --stdio` with its standard error in a file.
class StdioProgram {
 public:
  StdioProgram(const fs::path& data_dir, const fs::path& err_file) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> argv = {MORVANE_BIN, "--stdio", "--data-dir", data_dir.string()};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int rc = ::posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) throw std::runtime_error("cannot start morvane");
    to_ = in[1];
    from_ = out[0];
    reader_ = std::thread([this] {
      std::string buf;
      char chunk[65536];
      for (;;) {
        ssize_t n = ::read(from_, chunk, sizeof chunk);
        if (n <= 0) break;
        buf.append(chunk, static_cast<size_t>(n));
        size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
          Json msg = json::parse(buf.substr(0, nl));
          buf.erase(0, nl + 1);
          std::lock_guard<std::mutex> lock(mu_);
          if (msg.contains("page")) pages_.push_back(msg["page"].get<std::string>());
          else if (msg.contains("id")) answers_.push_back(msg);
          cv_.notify_all();
        }
      }
      std::lock_guard<std::mutex> lock(mu_);
      ended_ = true;
      cv_.notify_all();
    });
  }
  ~StdioProgram() {
    if (to_ >= 0) ::close(to_);
    int st;
    auto end = std::chrono::steady_clock::now() + 20s;
    while (::waitpid(pid_, &st, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    reader_.join();
    ::close(from_);
  }

  Json call(const std::string& op, const std::vector<Json>& args = {}) {
    int id = ++next_id_;
    Json req = {{"id", id}, {"op", op}, {"args", Json::array()}};
    for (const auto& a : args) req["args"].push_back(a);
    std::string line = json::dump_line(req, false) + "\n";
    if (::write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) throw std::runtime_error("write");
    std::unique_lock<std::mutex> lock(mu_);
    Json found;
    cv_.wait_for(lock, 60s, [&] {
      for (auto& a : answers_)
        if (a["id"] == id) {
          found = a;
          return true;
        }
      return ended_;
    });
    if (found.is_null()) throw std::runtime_error("no answer to " + op);
    if (!found["ok"].get<bool>()) throw std::runtime_error("failed: " + json::text_form(found["error"]));
    return found["result"];
  }
  size_t page_count(const std::string& needle) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (auto& p : pages_) n += p.find(needle) != std::string::npos;
    return n;
  }
  bool page_has(const std::string& needle, double seconds = 20) {
    return AppFixture::eventually([&] { return page_count(needle) > 0; }, seconds);
  }
  std::string read_until(const std::string& tab, const std::string& needle, double seconds = 20) {
    std::string out;
    AppFixture::eventually(
        [&] {
          out += call("drain_terminal", {tab}).get<std::string>();
          return out.find(needle) != std::string::npos;
        },
        seconds);
    return out;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> pages_;
  std::vector<Json> answers_;
  bool ended_ = false;
  int next_id_ = 0;
};

TEST(SerialStdio, ASerialSessionLivesThroughUnpluggingAndAnswersTheResetButtons) {
  if (!socat_available()) GTEST_SKIP() << "socat is not installed";
  TempDir dir;
  Cable cable(dir.path, "usb");
  cable.plug();
  const fs::path err_file = dir.path / "stderr.txt";
  {
    StdioProgram prog(dir.path / "data", err_file);
    Json sess = {{"name", "esp32"}, {"protocol", "serial"}, {"host", cable.a}, {"port", 115200}};
    std::string sid = prog.call("save_session", {sess})["id"].get<std::string>();
    std::string tab = prog.call("connect_session", {sid})["tab_id"].get<std::string>();
    ASSERT_TRUE(prog.page_has("terminalConnected(\"" + tab + "\")"));
    EXPECT_EQ(prog.read_until(tab, "---\r\n"), "\r\n--- Connected to " + cable.a + " @ 115200 ---\r\n");

    EXPECT_TRUE(prog.call("send_input", {tab, "AT+GMR\r\n"}).get<bool>());
    EXPECT_EQ(cable.read(8), "AT+GMR\r\n");
    ASSERT_TRUE(cable.write("OK ✓\r\n"));
    EXPECT_EQ(prog.read_until(tab, "\r\n"), "OK ✓\r\n");

    // The buttons: a PTY has no modem lines, so the sequence fails in its worker and is
    // logged; the operation itself only says it was dispatched.
    EXPECT_TRUE(prog.call("hard_reset_esp", {tab}).get<bool>());
    EXPECT_TRUE(prog.call("enter_bootloader_esp", {tab}).get<bool>());
    EXPECT_FALSE(prog.call("hard_reset_esp", {"00000000"}).get<bool>());
    Json ports = prog.call("serial_list_ports");
    EXPECT_TRUE(ports.is_array());
    // The sequences run in workers: let both finish on the port before it goes away.
    for (int i = 0; i < 100; ++i) {
      std::string so_far = read_text(err_file);
      if (so_far.find("[esp_reset:hard_reset] modem ctrl failed") != std::string::npos &&
          so_far.find("[esp_reset:enter_bootloader] modem ctrl failed") != std::string::npos)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    cable.unplug();
    ASSERT_TRUE(prog.page_has("Serial port " + cable.a + " disconnected, waiting to reconnect..."));
    Json state = prog.call("get_runtime_state");
    EXPECT_FALSE(state["tabs"][0]["alive"].get<bool>());
    EXPECT_EQ(state["session_status"][sid], "offline");
    EXPECT_FALSE(prog.call("hard_reset_esp", {tab}).get<bool>());

    cable.plug();
    ASSERT_TRUE(prog.page_has("Reconnected to " + cable.a + " @ 115200"));
    ASSERT_TRUE(cable.write("rst:0x1 (POWERON)\r\n"));
    EXPECT_EQ(prog.read_until(tab, "\r\n"), "rst:0x1 (POWERON)\r\n");
    EXPECT_TRUE(prog.call("send_input", {tab, "again"}).get<bool>());
    EXPECT_EQ(cable.read(5), "again");
    EXPECT_TRUE(prog.call("get_runtime_state")["tabs"][0]["alive"].get<bool>());

    prog.call("close_tab", {tab});
  }
  std::string err = read_text(err_file);
  EXPECT_NE(err.find("[esp_reset:hard_reset] dispatching to worker thread\n"), std::string::npos) << err;
  EXPECT_NE(err.find("[esp_reset:hard_reset] modem ctrl failed: EscapeCommFunction err=25, DeviceIoControl err=25\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[esp_reset:enter_bootloader] modem ctrl failed: "), std::string::npos);
  EXPECT_NE(err.find("[esp_reset:hard_reset] tab 00000000 not found\n"), std::string::npos);
  EXPECT_NE(err.find("[esp_reset:hard_reset] ser=None open=None\n"), std::string::npos);
  EXPECT_NE(err.find("[serial] too many errors, will try to reopen\n"), std::string::npos);
  EXPECT_NE(err.find("[serial] reader loop ended (total "), std::string::npos);
}

}  // namespace
}  // namespace morvane::testing
