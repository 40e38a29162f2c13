#pragma once
// The user side of SUPDUP (RFC 734, with the later additions of RFC 747 and the SUPDUP
// memo) as a byte-in/byte-out machine.
//
// Start-up: the terminal parameters go out as 36-bit words, each in six 6-bit bytes, most
// significant first: a count word (minus the number of words that follow, in the left
// half), TCTYP (7), TTYOPT, TCMXV (height), TCMXH (width - 1), TTYROL (1) and TTYSMT (0),
// then the location as 0300 0302 text 0. The server's greeting is ASCII up to %TDNOP.
//
// Output: codes below 0200 are printing characters (0-037 and 0177 only in the ITS and
// WAITS character sets, drawn here as the Unicode symbols of those sets); codes 0200 and
// up are %TD commands. Both are translated into UTF-8 text and the escape sequences
// xterm.js understands, so a SUPDUP tab decodes as UTF-8 whatever its encoding.
//
// Input: 034 is the escape byte and goes out doubled; any byte of 0200 and up would be a
// server command, so it goes out as the extended character 034 0101 (byte & 0177).
// Not thread-safe: the owner serialises calls.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "telnet/session_options.h"

namespace morvane::telnet {

// Bit n of a 36-bit word, counted from the sign bit as ITS does.
constexpr std::uint64_t supdup_bit(int n) { return std::uint64_t{1} << (35 - n); }

class SupdupProtocol {
 public:
  // TTYOPT bits.
  static constexpr std::uint64_t TOERS = supdup_bit(3), TOMVB = supdup_bit(5),
                                 TOSAI = supdup_bit(6), TOSA1 = supdup_bit(7),
                                 TOMVU = supdup_bit(9), TOMOR = supdup_bit(10),
                                 TOROL = supdup_bit(11), TOLWR = supdup_bit(13),
                                 TOLID = supdup_bit(16), TOCID = supdup_bit(17),
                                 TPCBS = supdup_bit(30), TPORS = supdup_bit(32),
                                 TPRSC = supdup_bit(33);

  explicit SupdupProtocol(SupdupOptions options);

  // Queues the terminal parameters and the location.
  void start();
  void receive(std::string_view bytes);
  void send(std::string_view data);
  // SUPDUP has no message for a size change: the new size only bounds our own cursor
  // bookkeeping. Returns false (not reported to the server).
  bool resize(int rows, int cols);
  // Asks the server to log out and close (0300 0301).
  void logout();

  std::string take_data();
  std::string take_output();
  bool greeting_done() const { return mode_ != Mode::Greeting; }
  int cursor_row() const { return y_; }
  int cursor_col() const { return x_; }

  // The words of the start-up, count word first (for tests and the test server).
  std::vector<std::uint64_t> parameter_words() const;
  static void put_word(std::string& out, std::uint64_t word);
  static std::uint64_t read_word(std::string_view six);

 private:
  enum class Mode : std::uint8_t { Greeting, Display, Args, Graphics };

  void command(std::uint8_t code);
  void finish(std::uint8_t code);
  void print(std::uint8_t c);
  void move_to(int row, int col);
  void scroll_region(int lines, int count, bool up);

  SupdupOptions options_;
  Mode mode_ = Mode::Greeting;
  std::uint8_t cmd_ = 0;
  std::uint8_t args_[4]{};
  int need_ = 0, have_ = 0;
  int rows_, cols_;
  int x_ = 0, y_ = 0;
  std::string data_, out_;
};

}  // namespace morvane::telnet
