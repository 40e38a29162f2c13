#pragma once
// The client side of Rlogin (RFC 1282) as a byte-in/byte-out machine. start() queues the
// handshake "\0local\0remote\0term/speed\0"; the server's first byte must be "\0", after
// which everything it sends is terminal data. Control requests arrive as TCP urgent data,
// which only the socket can tell apart: the owner reads the urgent byte and hands it to
// urgent(). 0x80 asks for window sizes, after which every resize() sends
// "\xff\xff" "ss" and rows, columns, x pixels, y pixels (16 bits each, network order).
// Not thread-safe: the owner serialises calls.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "telnet/session_options.h"

namespace morvane::telnet {

class RloginProtocol {
 public:
  enum class State { Idle, AwaitingAck, Ready, Refused, TimedOut };
  enum class Control : std::uint8_t { Flush = 0x02, NoFlow = 0x10, Flow = 0x20, WindowRequest = 0x80 };

  explicit RloginProtocol(RloginOptions options);

  void start(std::uint64_t now_ms);
  void receive(std::string_view bytes);
  // One byte of TCP urgent data from the server.
  void urgent(std::uint8_t byte);
  // User input, sent as it is (the protocol has no escaping).
  void send(std::string_view data);
  // Reports the size when the server has asked for it; kept otherwise.
  void resize(int rows, int cols);
  // The server did not acknowledge the handshake within the time-out.
  void tick(std::uint64_t now_ms);

  std::string take_data();
  std::string take_output();
  State state() const { return state_; }
  bool window_requested() const { return window_requested_; }
  // Whether the server asked the client to handle ^S/^Q itself (0x20) or not (0x10).
  bool local_flow() const { return local_flow_; }
  // The server's refusal text (what followed a non-zero first byte).
  const std::string& refusal() const { return refusal_; }
  const RloginOptions& options() const { return options_; }

 private:
  void send_window();

  RloginOptions options_;
  State state_ = State::Idle;
  bool window_requested_ = false;
  bool local_flow_ = true;
  int rows_, cols_;
  std::uint64_t deadline_ = 0;
  std::string data_, out_, refusal_;
};

}  // namespace morvane::telnet
