// Local shell on a POSIX pseudo-terminal.
//
// Ways the connection ends: the shell and everything holding the PTY's other side exit
// (read gives EIO after the last output: end of stream); close() from any thread (wakes a
// blocked recv through the wake pair, hangs up the shell's process group, reaps it); a
// read or poll failure (reported as end of stream).
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "backends/local_shell.h"
#include "platform/net.h"
#include "platform/paths.h"

extern char** environ;

namespace morvane {
namespace {

std::runtime_error errno_error(const std::string& what) {
  return std::runtime_error(what + ": [Errno " + std::to_string(errno) + "] " + std::strerror(errno));
}

bool is_executable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string login_shell() {
  if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_shell && *pw->pw_shell && is_executable(pw->pw_shell))
    return pw->pw_shell;
  if (const char* s = std::getenv("SHELL"); s && *s && is_executable(s)) return s;
  return "/bin/sh";
}

}  // namespace

std::vector<std::string> resolve_shell_argv(const LocalShellOptions& opts) {
  const std::string& shell = opts.shell;
  if (shell == "custom") {
    if (opts.custom_command.find_first_not_of(" \t") == std::string::npos)
      throw std::runtime_error("the custom shell command is empty");
    // The user's command line, with the quoting and expansion they expect from a shell.
    return {"/bin/sh", "-c", opts.custom_command};
  }
  if (shell.empty() || shell == "cmd") return {login_shell()};
  // Windows names have an obvious counterpart here.
  std::string name = shell;
  if (name == "powershell" || name == "powershell.exe" || name == "pwsh.exe") name = "pwsh";
  if (name.size() > 4 && name.substr(name.size() - 4) == ".exe") name.resize(name.size() - 4);
  std::string path = find_on_path(name);
  if (path.empty()) throw std::runtime_error("shell not found: " + shell);
  return {path};
}

namespace {

class PosixLocalShell final : public Backend {
 public:
  explicit PosixLocalShell(LocalShellOptions opts) : opts_(std::move(opts)) {}
  ~PosixLocalShell() override { close(); }

  void connect() override {
    std::vector<std::string> argv = resolve_shell_argv(opts_);
    if (!opts_.working_dir.empty()) {
      struct stat st {};
      if (::stat(opts_.working_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw std::runtime_error("working directory not found: " + opts_.working_dir);
    }
    wake_.emplace();
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) throw errno_error("posix_openpt");
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
      auto e = errno_error("grantpt");
      ::close(master);
      throw e;
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
      auto e = errno_error("ptsname");
      ::close(master);
      throw e;
    }
    winsize ws{};
    ws.ws_row = static_cast<unsigned short>(opts_.rows);
    ws.ws_col = static_cast<unsigned short>(opts_.cols);
    ::ioctl(master, TIOCSWINSZ, &ws);

    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<std::string> env_store;
    for (char** e = environ; e && *e; ++e) {
      std::string kv = *e;
      if (kv.rfind("TERM=", 0) == 0 || kv.rfind("COLORTERM=", 0) == 0 || kv.rfind("COLUMNS=", 0) == 0 ||
          kv.rfind("LINES=", 0) == 0)
        continue;
      env_store.push_back(kv);
    }
    env_store.push_back("TERM=xterm-256color");
    env_store.push_back("COLORTERM=truecolor");
    std::vector<char*> envp;
    for (auto& s : env_store) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const char* cwd = opts_.working_dir.empty() ? nullptr : opts_.working_dir.c_str();

    pid_t pid = ::fork();
    if (pid < 0) {
      auto e = errno_error("fork");
      ::close(master);
      throw e;
    }
    if (pid == 0) {
      ::setsid();
      int slave = ::open(name, O_RDWR);
      if (slave < 0) ::_exit(127);
      ::ioctl(slave, TIOCSCTTY, 0);
      ::dup2(slave, 0);
      ::dup2(slave, 1);
      ::dup2(slave, 2);
      if (slave > 2) ::close(slave);
      // Whatever a library opened without close-on-exec stays out of the shell too.
      ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int s : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGTSTP, SIGTTIN, SIGTTOU, SIGWINCH})
        ::signal(s, SIG_DFL);
      if (cwd && ::chdir(cwd) != 0) ::_exit(127);
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    int flags = ::fcntl(master, F_GETFL);
    ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
    std::lock_guard<std::mutex> lock(mu_);
    master_ = master;
    pid_ = pid;
  }

  std::string recv(size_t max_bytes) override {
    Op op(*this);
    if (!op) return {};
    std::string buf(max_bytes, '\0');
    for (;;) {
      if (closed_) return {};
      pollfd fds[2] = {{master_, POLLIN, 0}, {wake_->fd(), POLLIN, 0}};
      int r = ::poll(fds, 2, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        return {};
      }
      if (fds[1].revents || closed_) return {};
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = ::read(master_, buf.data(), max_bytes);
        if (n > 0) {
          buf.resize(static_cast<size_t>(n));
          return buf;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        return {};  // EIO: the other side is gone and all output was read
      }
      if (fds[0].revents & POLLNVAL) return {};
    }
  }

  void send(std::string_view bytes) override {
    Op op(*this);
    if (!op) throw std::runtime_error("the shell has ended");
    size_t done = 0;
    while (done < bytes.size()) {
      if (closed_) throw std::runtime_error("the shell has ended");
      ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        // The shell is not reading: wait for room, but let close() interrupt the wait.
        pollfd fds[2] = {{master_, POLLOUT, 0}, {wake_->fd(), POLLIN, 0}};
        ::poll(fds, 2, 1000);
        continue;
      }
      throw errno_error("write");
    }
  }

  void resize(int rows, int cols) override {
    Op op(*this);
    if (!op) return;
    winsize ws{};
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    if (::ioctl(master_, TIOCSWINSZ, &ws) != 0) throw errno_error("resize");
  }

  void close() noexcept override {
    std::unique_lock<std::mutex> lock(mu_);
    if (closing_) {
      idle_.wait(lock, [&] { return released_; });
      return;
    }
    closing_ = true;
    closed_ = true;
    if (master_ < 0) {
      released_ = true;
      idle_.notify_all();
      return;
    }
    wake_->wake();  // never drained: every later poll returns at once
    // Wait for recv/send/resize in other threads to leave before the descriptors go.
    idle_.wait(lock, [&] { return busy_ == 0; });
    pid_t pid = pid_;
    ::close(master_);
    master_ = -1;
    wake_->close();
    lock.unlock();
    reap(pid);
    lock.lock();
    released_ = true;
    idle_.notify_all();
  }

  bool is_closed() const override { return closed_; }

 private:
  // Marks an I/O call in progress so close() keeps the descriptors until it returns.
  class Op {
   public:
    explicit Op(PosixLocalShell& s) : s_(s) {
      std::lock_guard<std::mutex> lock(s_.mu_);
      ok_ = !s_.closing_ && s_.master_ >= 0;
      if (ok_) ++s_.busy_;
    }
    ~Op() {
      if (!ok_) return;
      std::lock_guard<std::mutex> lock(s_.mu_);
      if (--s_.busy_ == 0) s_.idle_.notify_all();
    }
    explicit operator bool() const { return ok_; }

   private:
    PosixLocalShell& s_;
    bool ok_ = false;
  };

  // Hang up the shell's session, give it a moment to leave, then make sure it does.
  static void reap(pid_t pid) {
    if (pid <= 0) return;
    int status;
    if (::waitpid(pid, &status, WNOHANG) == pid) return;
    ::kill(-pid, SIGHUP);
    ::kill(pid, SIGHUP);
    for (int i = 0; i < 50; ++i) {
      pid_t w = ::waitpid(pid, &status, WNOHANG);
      if (w == pid || (w < 0 && errno == ECHILD)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }

  LocalShellOptions opts_;
  std::mutex mu_;
  std::condition_variable idle_;
  int busy_ = 0;
  bool closing_ = false;
  bool released_ = false;
  std::atomic<bool> closed_{false};
  int master_ = -1;
  std::optional<platform::WakePair> wake_;  // made with the PTY, released by close()
  pid_t pid_ = -1;
};

}  // namespace

std::unique_ptr<Backend> make_local_shell(const LocalShellOptions& opts) {
  return std::make_unique<PosixLocalShell>(opts);
}

}  // namespace morvane
