// Ways the launcher ends: the child writes {"event": "end"}; the child exits (crash included);
// the child's pipes close. In every case it stops feeding, reaps the child and returns.
#include "launcher/launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

}  // namespace

int run(const Options& opt) {
  ::signal(SIGPIPE, SIG_IGN);
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
  // The feed: right after start, then every interval, until the end.
  std::thread feeder([&] {
    std::unique_lock<std::mutex> lock(mu);
    while (!done) {
      lock.unlock();
      Json item = ping_results(load_sessions(opt.data_dir / "sessions.json"), opt.connect_timeout_sec);
      Json line = Json{{"queue", "get_receipt"}, {"item", item}};
      bool ok = write_all(to_child[1], json::dump_line(line, false) + "\n");
      lock.lock();
      if (!ok) break;
      cv.wait_for(lock, std::chrono::duration<double>(opt.interval_sec), [&] { return done.load(); });
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
  ::close(to_child[1]);  // the child's queue reader sees the end of its input
  ::close(from_child[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace morvane::launcher
