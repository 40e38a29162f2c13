#pragma once
// The launcher's named queues and events, as thread-safe types.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "util/json.h"

namespace morvane {

class LauncherQueue {
 public:
  void put_nowait(Json item) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      items_.push_back(std::move(item));
    }
    cv_.notify_one();
  }
  // nullopt on time-out.
  std::optional<Json> get(double timeout_sec) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::duration<double>(timeout_sec), [&] { return !items_.empty(); }))
      return std::nullopt;
    Json v = std::move(items_.front());
    items_.pop_front();
    return v;
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mu_);
    return items_.size();
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Json> items_;
};

class LauncherEvent {
 public:
  explicit LauncherEvent(std::function<void()> on_set = {}) : on_set_(std::move(on_set)) {}
  void set() {
    bool first;
    {
      std::lock_guard<std::mutex> lock(mu_);
      first = !set_;
      set_ = true;
    }
    cv_.notify_all();
    if (on_set_) on_set_();
    (void)first;
  }
  bool is_set() const {
    std::lock_guard<std::mutex> lock(mu_);
    return set_;
  }
  bool wait(double timeout_sec) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::duration<double>(timeout_sec), [&] { return set_; });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
  std::function<void()> on_set_;
};

using QueueMap = std::map<std::string, std::shared_ptr<LauncherQueue>>;
using EventMap = std::map<std::string, std::shared_ptr<LauncherEvent>>;

}  // namespace morvane
