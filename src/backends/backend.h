#pragma once
// The handle of every connection kind a tab can hold.
//
// Contract shared by all kinds: recv() blocks until bytes arrive and returns "" at the end
// of the stream; send(), resize() and close() may be called from other threads while
// recv() is blocked, and close() wakes that recv() at once. close() is idempotent.
#include <string>
#include <string_view>

namespace morvane {

class Backend {
 public:
  virtual ~Backend() = default;
  // Establishes the connection; throws std::runtime_error with a readable reason.
  virtual void connect() {}
  virtual std::string recv(size_t max_bytes) = 0;
  // Throws std::runtime_error when the bytes cannot be written.
  virtual void send(std::string_view bytes) = 0;
  virtual void resize(int rows, int cols) {}
  virtual void close() = 0;
  virtual bool is_closed() const = 0;
};

}  // namespace morvane
