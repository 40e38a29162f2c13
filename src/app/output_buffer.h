#pragma once
// A tab's output towards the page: translated text chunks that the page drains, bounded in
// characters (the oldest output goes first), with the line-end translation state kept across
// chunks. An append to an empty buffer wakes the waiters of the OutputSignal it reports to
// (they wait for some tab to have output; one that already had some woke nobody new).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace morvane {

// One signal for all tabs: "a tab that had no output has some now", for a page waiting on
// several tabs.
class OutputSignal {
 public:
  uint64_t generation() const {
    std::lock_guard<std::mutex> lock(mu_);
    return gen_;
  }
  void notify() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++gen_;
    }
    cv_.notify_all();
  }
  // Waits until the generation moves past `seen`, `stop()` holds or the deadline passes.
  template <class Clock, class Dur, class Stop>
  void wait(uint64_t seen, std::chrono::time_point<Clock, Dur> deadline, Stop stop) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_until(lock, deadline, [&] { return gen_ != seen || stop(); });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  uint64_t gen_ = 0;
};

class OutputBuffer {
 public:
  static constexpr size_t kDefaultLimit = 2000000;  // characters
  // Flow control: the reader of a connection that can wait stops above the high mark and goes
  // on once the consumer has taken the buffer below the low one. A few hundred kilobytes keep
  // a Ctrl-C in a flood quick (the page parses that much in about ten milliseconds) while one
  // drain still carries enough to keep xterm.js busy.
  static constexpr size_t kHighWater = 256 * 1024;
  static constexpr size_t kLowWater = 64 * 1024;

  void set_signal(OutputSignal* signal) { signal_ = signal; }
  void set_limit(size_t chars) { limit_ = chars; }

  // Line-end translation of received text: lfhascr turns a lone LF into CR LF, crhaslf turns
  // CR into CR LF. A CR at the end of one chunk and an LF at the start of the next are one line end.
  std::string translate(std::string_view text, bool lfhascr, bool crhaslf);
  // Appends a chunk; the newest chunk always stays, whatever its size.
  void push(std::string text);
  // What is buffered, oldest first, up to `max_chars` characters (never cutting one in two);
  // everything when it is 0. The rest stays for the next drain. With `at`, also where the
  // text lies in the stream, counted in characters drained before it and after it, so a
  // consumer with several drains under way can put the pieces back in order.
  struct Span {
    uint64_t from = 0, to = 0;
  };
  std::string drain(size_t max_chars = 0, Span* at = nullptr);
  bool empty() const;
  size_t chars() const;
  // Blocks while more than `high` characters wait, until the consumer takes them to `low` or
  // below or `stop()` holds (checked at least every `slice`). Answers whether it had to wait.
  template <class Stop>
  bool wait_for_room(size_t high, size_t low, Stop stop,
                     std::chrono::milliseconds slice = std::chrono::milliseconds(100)) {
    std::unique_lock<std::mutex> lock(mu_);
    if (total_ <= high) return false;
    ++paused_;
    while (total_ > low && !stop()) room_cv_.wait_for(lock, slice);
    return true;
  }
  // Waits while fewer than `want` characters wait here and output keeps coming: until there
  // are that many, none has come for `quiet`, `deadline` passes or `stop()` holds (looked at
  // at least every `quiet`). An empty buffer does not wait. Only the append that reaches `want`
  // wakes the waiter, not every append of a flood (thousands a second, each a wake-up that
  // took a processor from the page).
  template <class Stop>
  void gather(size_t want, std::chrono::steady_clock::duration quiet,
              std::chrono::steady_clock::time_point deadline, Stop stop) {
    std::unique_lock<std::mutex> lock(mu_);
    ++gatherers_;
    gather_want_ = std::min(gather_want_, want);
    while (total_ > 0 && total_ < want && !stop()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline || now - last_push_ >= quiet) break;
      gather_cv_.wait_until(lock, std::min(deadline, last_push_ + quiet));
    }
    if (--gatherers_ == 0) gather_want_ = SIZE_MAX;
  }
  // Wakes a waiting reader at once, so that it looks at its stop condition again.
  void wake_reader() { room_cv_.notify_all(); }
  // How many times a reader had to wait for room (a count for tests and diagnostics).
  uint64_t pauses() const {
    std::lock_guard<std::mutex> lock(mu_);
    return paused_;
  }

 private:
  std::mutex eol_mu_;
  bool eol_prev_cr_ = false;

  mutable std::mutex mu_;
  std::deque<std::string> chunks_;
  std::deque<size_t> chunk_chars_;
  size_t total_ = 0;
  uint64_t drained_ = 0;  // characters drained so far
  size_t limit_ = kDefaultLimit;
  uint64_t paused_ = 0;
  std::condition_variable room_cv_;
  std::condition_variable gather_cv_;
  int gatherers_ = 0;
  size_t gather_want_ = SIZE_MAX;  // the least any gatherer waits for
  std::chrono::steady_clock::time_point last_push_{};
  OutputSignal* signal_ = nullptr;
};

}  // namespace morvane
