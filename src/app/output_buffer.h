#pragma once
// A tab's output towards the page: translated text chunks that the page drains, bounded in
// characters (the oldest output goes first), with the line-end translation state kept across
// chunks. Every append wakes the waiters of the OutputSignal it reports to.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace morvane {

// One signal for all tabs: "some tab has new output", for a page waiting on several tabs.
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

  void set_signal(OutputSignal* signal) { signal_ = signal; }
  void set_limit(size_t chars) { limit_ = chars; }

  // Line-end translation of received text: lfhascr turns a lone LF into CR LF, crhaslf turns
  // CR into CR LF. A CR at the end of one chunk and an LF at the start of the next are one line end.
  std::string translate(std::string_view text, bool lfhascr, bool crhaslf);
  // Appends a chunk; the newest chunk always stays, whatever its size.
  void push(std::string text);
  // Everything buffered, oldest first; the buffer is empty afterwards.
  std::string drain();
  bool empty() const;
  size_t chars() const;

 private:
  std::mutex eol_mu_;
  bool eol_prev_cr_ = false;

  mutable std::mutex mu_;
  std::deque<std::string> chunks_;
  std::deque<size_t> chunk_chars_;
  size_t total_ = 0;
  size_t limit_ = kDefaultLimit;
  OutputSignal* signal_ = nullptr;
};

}  // namespace morvane
