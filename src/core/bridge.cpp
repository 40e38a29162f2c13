#include "core/bridge.h"

#include <chrono>
#include <thread>

namespace morvane {

void Bridge::add(const std::string& name, size_t required, std::vector<Json> defaults, Fn fn) {
  ops_[name] = Op{required, std::move(defaults), std::move(fn)};
}

Json Bridge::call(const std::string& name, const Json& args) const {
  auto it = ops_.find(name);
  if (it == ops_.end()) throw BridgeError("unknown operation: " + name);
  const Op& op = it->second;
  Json filled = args.is_null() ? Json::array() : args;
  if (!filled.is_array()) throw BridgeError(name + ": args must be a list");
  size_t max = op.required + op.defaults.size();
  if (filled.size() < op.required)
    throw BridgeError(name + "() takes " + std::to_string(op.required) + " argument(s), " +
                      std::to_string(filled.size()) + " given");
  if (filled.size() > max)
    throw BridgeError(name + "() takes at most " + std::to_string(max) + " argument(s), " +
                      std::to_string(filled.size()) + " given");
  for (size_t i = filled.size(); i < max; ++i) filled.push_back(op.defaults[i - op.required]);
  struct InFlight {
    std::atomic<int>& n;
    explicit InFlight(std::atomic<int>& c) : n(c) { n.fetch_add(1); }
    ~InFlight() { n.fetch_sub(1); }
  } counted(in_flight_);
  try {
    return op.fn(filled);
  } catch (const BridgeError&) {
    throw;
  } catch (const std::exception& e) {
    throw BridgeError(name + ": " + e.what());
  }
}

bool Bridge::wait_idle(double seconds) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (in_flight_.load() > 0) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<std::string> Bridge::names() const {
  std::vector<std::string> out;
  for (auto& [k, v] : ops_) out.push_back(k);
  return out;
}

std::string arg_text(const Json& args, size_t i, const char* what) {
  const Json& v = args.at(i);
  if (!v.is_string()) throw BridgeError(std::string("argument '") + what + "' must be text");
  return v.get<std::string>();
}

bool arg_bool(const Json& args, size_t i, const char* what) {
  const Json& v = args.at(i);
  if (!v.is_boolean()) throw BridgeError(std::string("argument '") + what + "' must be a boolean");
  return v.get<bool>();
}

const Json& arg_any(const Json& args, size_t i) { return args.at(i); }

}  // namespace morvane
