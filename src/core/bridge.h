#pragma once
// The page bridge: operation name -> callable taking a JSON array of positional arguments.
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

  // required positional arguments, then optional ones with their defaults.
  void add(const std::string& name, size_t required, std::vector<Json> defaults, Fn fn);

  // Validates the argument count, fills defaults and calls. Any exception of the operation
  // becomes a BridgeError carrying its text.
  Json call(const std::string& name, const Json& args) const;

  bool has(const std::string& name) const { return ops_.count(name) != 0; }
  std::vector<std::string> names() const;

 private:
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
