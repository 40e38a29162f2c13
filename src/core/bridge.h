#pragma once
// The page bridge: operation name -> callable taking a JSON array of positional arguments.
#include <atomic>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/json.h"

namespace morvane {

// A failed call as the page sees it (a rejected promise, an error answer).
class BridgeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Bridge {
 public:
  using Fn = std::function<Json(const Json& args)>;

  Bridge() = default;
  // A copy has the same operations and none of the original's calls running.
  Bridge(const Bridge& o) : ops_(o.ops_) {}
  Bridge(Bridge&& o) noexcept : ops_(std::move(o.ops_)) {}
  Bridge& operator=(const Bridge& o) {
    ops_ = o.ops_;
    return *this;
  }
  Bridge& operator=(Bridge&& o) noexcept {
    ops_ = std::move(o.ops_);
    return *this;
  }

  // required positional arguments, then optional ones with their defaults.
  void add(const std::string& name, size_t required, std::vector<Json> defaults, Fn fn);

  // Validates the argument count, fills defaults and calls. Any exception of the operation
  // becomes a BridgeError carrying its text.
  Json call(const std::string& name, const Json& args) const;

  bool has(const std::string& name) const { return ops_.count(name) != 0; }
  std::vector<std::string> names() const;

  // Waits until no call is running or the time is up; true when none is. The owner of the
  // operations calls it before their objects go, since hosts run calls on threads of their own.
  bool wait_idle(double seconds) const;

 private:
  mutable std::atomic<int> in_flight_{0};
  struct Op {
    size_t required;
    std::vector<Json> defaults;
    Fn fn;
  };
  std::map<std::string, Op> ops_;
};

// Argument readers for operations: throw BridgeError naming the argument on a wrong type.
std::string arg_text(const Json& args, size_t i, const char* what);
bool arg_bool(const Json& args, size_t i, const char* what);
const Json& arg_any(const Json& args, size_t i);

}  // namespace morvane
