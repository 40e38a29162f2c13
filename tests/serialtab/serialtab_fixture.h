#pragma once
// Serial tabs against real PTY pairs made by socat, and against the driver's recording fake.
//
// A Cable is a socat PTY pair on fixed link paths in the test's own folder: stopping socat
// "unplugs" it (both ends hang up and the links vanish), starting it again on the same paths
// plugs it back under the same name.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <condition_variable>

#include "app_fixture.h"
#include "kinds/serial/serial_kind.h"
#include "serial/comm_api_fake.h"
#include "serial/win32_serial.h"
#include "util/text.h"

extern char** environ;

namespace morvane::testing {

inline bool socat_available() { return std::system("command -v socat >/dev/null 2>&1") == 0; }

class Cable {
 public:
  Cable(fs::path dir, const std::string& name)
      : a((dir / (name + "A")).string()), b((dir / (name + "B")).string()), log_((dir / (name + ".log")).string()) {}
  ~Cable() { unplug(); }

  void plug() {
    if (pid_ > 0) return;
    std::vector<std::string> args = {"socat", "-b", "65536", "PTY,link=" + a + ",raw,echo=0",
                                     "PTY,link=" + b + ",raw,echo=0"};
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int rc = posix_spawnp(&pid_, "socat", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start socat");
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(fs::exists(a) && fs::exists(b))) {
      if (std::chrono::steady_clock::now() > end) throw std::runtime_error("socat made no PTY pair");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    far();  // the board's side is there as long as the cable is
  }
  // Stops socat: the device under an open port goes away, like a pulled USB adapter.
  void unplug() {
    close_far();
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    std::error_code ec;
    fs::remove(a, ec);
    fs::remove(b, ec);
  }

  // The cable carries nothing for a while, like a line held by a far end that stopped reading.
  void hold(std::chrono::milliseconds how_long) {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGSTOP);
    std::this_thread::sleep_for(how_long);
    ::kill(pid_, SIGCONT);
  }

  // The far end of the cable (the board's side), raw and non-blocking.
  int far() {
    if (far_ >= 0) return far_;
    far_ = ::open(b.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (far_ < 0) throw std::runtime_error("cannot open " + b);
    struct termios t;
    ::tcgetattr(far_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(far_, TCSANOW, &t);
    return far_;
  }
  void close_far() {
    if (far_ >= 0) ::close(far_);
    far_ = -1;
  }
  bool write(const std::string& data) {
    int fd = far();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (std::chrono::steady_clock::now() > end) return false;
      struct pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 50);
    }
    return true;
  }
  // Reads until count bytes arrived or the time limit passed.
  std::string read(size_t count, double seconds = 20) {
    int fd = far();
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::string out;
    char buf[65536];
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
      struct pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<size_t>(n));
      else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
    return out;
  }

  const std::string a, b;

 private:
  std::string log_;
  pid_t pid_ = -1;
  int far_ = -1;
};

// Captures what the code under test writes to stderr (the serial diagnostics).
class StderrCapture {
 public:
  StderrCapture() { ::testing::internal::CaptureStderr(); }
  std::string take() {
    if (!done_) {
      done_ = true;
      out_ = ::testing::internal::GetCapturedStderr();
    }
    return out_;
  }
  ~StderrCapture() { take(); }

 private:
  bool done_ = false;
  std::string out_;
};

// An application with a recording page and quick connects, plus serial helpers.
struct SerialTabFixture : AppFixture {
  void SetUp() override {
    make_app();
    app->connect_delay_sec = 0;
  }

  Json serial_session(const std::string& host, Json extra = Json::object()) {
    Json s = {{"name", "board"}, {"protocol", "serial"}, {"host", host}, {"port", 115200}};
    for (auto& [k, v] : extra.items()) s[k] = v;
    return s;
  }
  std::string open_tab(const Json& sess) {
    std::string sid = app->save_session(sess)["id"].get<std::string>();
    return app->connect_session(sid)["tab_id"].get<std::string>();
  }
  std::string connected_script(const std::string& tab) { return "terminalConnected(" + json::quote(tab, true) + ")"; }
  std::string info_script(const std::string& tab, const std::string& key, const TextValues& v, bool error = false) {
    return "setTerminalInfo(" + json::quote(tab, true) + ", " + json::quote(app->_t(key, v), true) + ", " +
           (error ? "true" : "false") + ")";
  }
  std::string connected_line(const std::string& com, long long baud) {
    return app->_t("info.serial_connected", {{"com", com}, {"baud", baud}});
  }
  // Drains the tab until the collected text contains needle (or the time limit passes).
  std::string drain_until(const std::string& tab, const std::string& needle, double seconds = 20) {
    std::string got;
    eventually(
        [&] {
          got += app->drain_terminal(tab);
          return got.find(needle) != std::string::npos;
        },
        seconds);
    return got;
  }
  std::string drain_size(const std::string& tab, size_t size, double seconds = 30) {
    std::string got;
    eventually(
        [&] {
          got += app->drain_terminal(tab);
          return got.size() >= size;
        },
        seconds);
    return got;
  }
  std::shared_ptr<kinds::SerialKind> serial_kind() { return app->kinds.get<kinds::SerialKind>("serial"); }
  std::shared_ptr<serial::Win32Serial> port(const std::string& tab) { return serial_kind()->_serial_port(tab); }
};

}  // namespace morvane::testing
