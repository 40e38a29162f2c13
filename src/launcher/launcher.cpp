// Ways the launcher ends: the child writes {"event": "end"}; the child exits (crash included);
// the child's pipes close. In every case it stops feeding, reaps the child and returns.
#include "launcher/launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "launcher/reachability.h"
#include "util/json.h"

extern char** environ;

namespace morvane::launcher {

namespace {

Json load_sessions(const std::filesystem::path& file) {
  try {
    std::ifstream in(file, std::ios::binary);
    if (!in) return Json::array();
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return json::get(json::parse(text), "sessions");
  } catch (...) {
    return Json::array();
  }
}

bool write_all(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::write(fd, s.data() + off, s.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// One launcher per data directory: the first holds launcher.lock and listens on
// launcher.sock; a later start finds the lock taken and asks the first to show its window.
class Instance {
 public:
  explicit Instance(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::string sock = (dir / "launcher.sock").string();
    if (sock.size() >= sizeof(sockaddr_un{}.sun_path)) return;  // no single-instance check possible
    addr_.sun_family = AF_UNIX;
    std::memcpy(addr_.sun_path, sock.c_str(), sock.size() + 1);
    lock_ = ::open((dir / "launcher.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ < 0) return;
    if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
      other_ = true;
      return;
    }
    ::unlink(addr_.sun_path);
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ >= 0 && (::bind(listen_, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_) != 0 || ::listen(listen_, 4) != 0)) {
      ::close(listen_);
      listen_ = -1;
    }
  }
  ~Instance() {
    if (listen_ >= 0) {
      ::close(listen_);
      ::unlink(addr_.sun_path);
    }
    if (lock_ >= 0) ::close(lock_);
  }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;
  // Another launcher runs for this data directory.
  bool other() const { return other_; }
  // Asks the running launcher to show its window; true when it took the request.
  bool ask_other_to_show() const {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // The connection itself is the request; the line only says what it is for.
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr_), sizeof addr_) == 0;
    if (ok) write_all(fd, "show\n");
    ::close(fd);
    return ok;
  }
  // Waits up to timeout_ms for a later start; true when one asked.
  bool wait_request(int timeout_ms) const {
    if (listen_ < 0) {
      ::poll(nullptr, 0, timeout_ms);
      return false;
    }
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return false;
    int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return false;
    ::close(c);
    return true;
  }

 private:
  sockaddr_un addr_{};
  int lock_ = -1;
  int listen_ = -1;
  bool other_ = false;
};

}  // namespace

int run(const Options& opt) {
  ::signal(SIGPIPE, SIG_IGN);
  Instance instance(opt.data_dir);
  if (instance.other()) {
    if (instance.ask_other_to_show()) return 0;
    std::fputs("morvane: another start is running for this data directory\n", stderr);
    return 1;
  }
  int to_child[2], from_child[2];
  if (::pipe2(to_child, O_CLOEXEC) != 0) return 1;
  if (::pipe2(from_child, O_CLOEXEC) != 0) return 1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, to_child[0], 0);
  posix_spawn_file_actions_adddup2(&fa, from_child[1], 1);
  std::vector<std::string> args{opt.program.string()};
  args.insert(args.end(), opt.child_args.begin(), opt.child_args.end());
  args.push_back("--data-dir");
  args.push_back(opt.data_dir.string());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, opt.program.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(to_child[0]);
  ::close(from_child[1]);
  if (rc != 0) {
    std::fprintf(stderr, "morvane: cannot start %s: %s\n", opt.program.c_str(), std::strerror(rc));
    ::close(to_child[1]);
    ::close(from_child[0]);
    return 1;
  }

  std::mutex mu;
  std::condition_variable cv;
  std::atomic<bool> done{false};
  std::mutex write_mu;  // the feed and the show requests share the child's input
  auto send = [&](const Json& msg) {
    std::lock_guard<std::mutex> lock(write_mu);
    return write_all(to_child[1], json::dump_line(msg, false) + "\n");
  };
  // The feed: right after start, then every interval, until the end.
  std::thread feeder([&] {
    std::unique_lock<std::mutex> lock(mu);
    while (!done) {
      lock.unlock();
      Json item = ping_results(load_sessions(opt.data_dir / "sessions.json"), opt.connect_timeout_sec);
      bool ok = send(Json{{"queue", "get_receipt"}, {"item", item}});
      lock.lock();
      if (!ok) break;
      cv.wait_for(lock, std::chrono::duration<double>(opt.interval_sec), [&] { return done.load(); });
    }
  });

  // A later start of the program shows this one's window instead of opening another.
  std::thread shower([&] {
    while (!done) {
      if (instance.wait_request(200) && !done) send(Json{{"show", true}});
    }
  });

  // The child's lines: the "end" event finishes; anything else (diagnostics) passes through.
  std::string buf;
  char chunk[4096];
  bool ended = false;
  while (!ended) {
    ssize_t n = ::read(from_child[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buf.append(chunk, static_cast<size_t>(n));
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      std::string line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      try {
        Json m = json::parse(line);
        if (json::get(m, "event") == Json("end")) ended = true;
        continue;
      } catch (...) {
      }
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
  }
  cv.notify_all();
  feeder.join();
  shower.join();
  ::close(to_child[1]);  // the child's queue reader sees the end of its input
  ::close(from_child[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace morvane::launcher
