// SUPDUP start-up words, %TD output translation and input escaping.
#include "telnet/supdup_protocol.h"

#include <algorithm>

#include "util/text.h"

namespace morvane::telnet {
namespace {

constexpr std::uint8_t kEscape = 034;
constexpr std::uint8_t TDMOV = 0200, TDMV1 = 0201, TDEOF = 0202, TDEOL = 0203, TDDLF = 0204,
                       TDCRL = 0207, TDNOP = 0210, TDBS = 0211, TDLF = 0212, TDCR = 0213,
                       TDORS = 0214, TDQOT = 0215, TDFS = 0216, TDMV0 = 0217, TDCLR = 0220,
                       TDBEL = 0221, TDILP = 0223, TDDLP = 0224, TDICP = 0225, TDDCP = 0226,
                       TDBOW = 0227, TDRST = 0230, TDGRF = 0231, TDRSU = 0232, TDRSD = 0233,
                       TDEDF = 0242, TDTSP = 0244;

// Argument bytes that follow each %TD command (0 for the rest).
int arg_count(std::uint8_t code) {
  switch (code) {
    case TDMOV: return 4;
    case TDMV1: case TDMV0: return 2;
    case TDQOT: case TDILP: case TDDLP: case TDICP: case TDDCP: return 1;
    case TDRSU: case TDRSD: return 2;
    case 0240: case TDEDF: case 0247: case 0252: case 0253: case 0254: return 2;  // local editing
    case 0250: case 0251: return 3;  // line saving
    default: return 0;
  }
}

// Codes 000-037 of the ITS (Knight keyboard / Lisp Machine) character set; 0177 is ∫.
const char* const kIts[32] = {"·", "↓", "α", "β", "∧", "¬", "ε", "π", "λ", "γ", "δ",
                              "↑", "±", "⊕", "∞", "∂", "⊂", "⊃", "∩", "∪", "∀", "∃",
                              "⊗", "↔", "←", "→", "≠", "◊", "≤", "≥", "≡", "∨"};
// Codes 000-037 of the WAITS (Stanford) character set.
const char* const kWaits[32] = {"·", "↓", "α", "β", "∧", "¬", "ε", "π", "λ", "γ", "δ",
                                "∫", "±", "⊕", "∞", "∂", "⊂", "⊃", "∩", "∪", "∀", "∃",
                                "⊗", "↔", "_", "→", "~", "≠", "≤", "≥", "≡", "∨"};

}  // namespace

SupdupProtocol::SupdupProtocol(SupdupOptions options)
    : options_(std::move(options)),
      rows_(std::max(1, options_.term_height)),
      cols_(std::max(2, options_.term_width)) {}

std::vector<std::uint64_t> SupdupProtocol::parameter_words() const {
  std::uint64_t ttyopt = TOERS | TOMVB | TOMVU | TOLWR | TOLID | TOCID | TPCBS | TPORS | TPRSC;
  if (options_.more_processing) ttyopt |= TOMOR;
  if (options_.scrolling) ttyopt |= TOROL;
  if (options_.charset != "ascii") ttyopt |= TOSAI | TOSA1;
  std::vector<std::uint64_t> words = {
      7,                                    // TCTYP: the SUPDUP virtual terminal
      ttyopt,                               // TTYOPT
      static_cast<std::uint64_t>(rows_),    // TCMXV
      static_cast<std::uint64_t>(cols_ - 1),  // TCMXH: one column is the continuation mark
      1,                                    // TTYROL: lines scrolled by a linefeed at the bottom
      0,                                    // TTYSMT: no graphics, no local editing
  };
  // Count word: minus the number of words that follow, in the left half.
  const std::uint64_t count = ((std::uint64_t{1} << 18) - words.size()) << 18;
  words.insert(words.begin(), count);
  return words;
}

void SupdupProtocol::put_word(std::string& out, std::uint64_t w) {
  for (int shift = 30; shift >= 0; shift -= 6) out += static_cast<char>((w >> shift) & 077);
}

std::uint64_t SupdupProtocol::read_word(std::string_view six) {
  std::uint64_t w = 0;
  for (std::size_t i = 0; i < 6 && i < six.size(); ++i) w = (w << 6) | (static_cast<std::uint8_t>(six[i]) & 077);
  return w;
}

void SupdupProtocol::start() {
  for (std::uint64_t w : parameter_words()) put_word(out_, w);
  out_ += "\300\302";
  for (char c : options_.location) out_ += (c >= 040 && c < 0177) ? c : '?';
  out_ += '\0';
}

void SupdupProtocol::logout() { out_ += "\300\301"; }

void SupdupProtocol::send(std::string_view data) {
  for (char ch : data) {
    const auto b = static_cast<std::uint8_t>(ch);
    if (b == kEscape) {
      out_ += static_cast<char>(kEscape);
      out_ += static_cast<char>(kEscape);
    } else if (b >= 0200) {
      out_ += static_cast<char>(kEscape);
      out_ += static_cast<char>(0101);
      out_ += static_cast<char>(b & 0177);
    } else {
      out_ += ch;
    }
  }
}

bool SupdupProtocol::resize(int rows, int cols) {
  rows_ = std::max(1, rows);
  cols_ = std::max(2, cols);
  y_ = std::min(y_, rows_ - 1);
  x_ = std::min(x_, cols_ - 1);
  return false;
}

void SupdupProtocol::receive(std::string_view bytes) {
  for (char ch : bytes) {
    const auto b = static_cast<std::uint8_t>(ch);
    switch (mode_) {
      case Mode::Greeting:
        if (b >= 0200) {
          mode_ = Mode::Display;
          command(b);
        } else {
          // The greeting is plain ASCII text, line ends included.
          data_ += ch;
          if (b == '\r') x_ = 0;
          else if (b == '\n') y_ = std::min(y_ + 1, rows_ - 1);
          else if (b >= 040) x_ = std::min(x_ + 1, cols_ - 1);
        }
        break;
      case Mode::Display:
        if (b >= 0200) command(b);
        else print(b);
        break;
      case Mode::Args:
        args_[have_++] = b;
        if (have_ == need_) finish(cmd_);
        break;
      case Mode::Graphics:
        // Graphics operations are not drawn (TTYSMT offers none); any %TD code ends them.
        if (b >= 0200) {
          mode_ = Mode::Display;
          command(b);
        }
        break;
    }
  }
}

void SupdupProtocol::command(std::uint8_t code) {
  const int n = arg_count(code);
  if (n == 0) {
    finish(code);
    return;
  }
  cmd_ = code;
  need_ = n;
  have_ = 0;
  mode_ = Mode::Args;
}

void SupdupProtocol::move_to(int row, int col) {
  y_ = std::clamp(row, 0, rows_ - 1);
  x_ = std::clamp(col, 0, cols_ - 1);
  data_ += "\x1b[" + std::to_string(y_ + 1) + ";" + std::to_string(x_ + 1) + "H";
}

void SupdupProtocol::scroll_region(int lines, int count, bool up) {
  if (lines <= 0 || count <= 0) return;
  const int top = y_;
  const int bottom = std::min(y_ + lines, rows_) - 1;
  data_ += "\x1b[" + std::to_string(top + 1) + ";" + std::to_string(bottom + 1) + "r";
  data_ += "\x1b[" + std::to_string(count) + (up ? "S" : "T");
  data_ += "\x1b[r";
  // Setting the region homes the cursor: put it back.
  move_to(y_, x_);
}

void SupdupProtocol::finish(std::uint8_t code) {
  mode_ = Mode::Display;
  auto n_arg = [&](int i) { return std::to_string(static_cast<int>(args_[i])); };
  switch (code) {
    case TDMOV: move_to(args_[2], args_[3]); break;
    case TDMV1:
    case TDMV0: move_to(args_[0], args_[1]); break;
    case TDEOF: data_ += "\x1b[J"; break;
    case TDEOL: data_ += "\x1b[K"; break;
    case TDDLF: data_ += "\x1b[X"; break;
    case TDCRL:
      data_ += "\x1b" "E\x1b[K";
      x_ = 0;
      y_ = std::min(y_ + 1, rows_ - 1);
      break;
    case TDBS:
      if (x_ > 0) {
        --x_;
        data_ += "\x1b[D";
      }
      break;
    case TDLF:
      data_ += "\x1b" "D";
      y_ = std::min(y_ + 1, rows_ - 1);
      break;
    case TDCR:
      data_ += "\x1b[G";
      x_ = 0;
      break;
    case TDORS:
      // No interrupts reach us, so every %TDORS is answered with where the cursor is.
      out_ += static_cast<char>(kEscape);
      out_ += static_cast<char>(020);
      out_ += static_cast<char>(y_);
      out_ += static_cast<char>(x_);
      break;
    case TDQOT:
      if (args_[0] < 0200) data_ += static_cast<char>(args_[0]);
      else text::append_utf8(data_, args_[0]);
      break;
    case TDFS:
      data_ += "\x1b[C";
      x_ = std::min(x_ + 1, cols_ - 1);
      break;
    case TDCLR:
      data_ += "\x1b[H\x1b[2J";
      x_ = y_ = 0;
      break;
    case TDBEL: data_ += '\a'; break;
    case TDILP: if (args_[0]) data_ += "\x1b[" + n_arg(0) + "L"; break;
    case TDDLP: if (args_[0]) data_ += "\x1b[" + n_arg(0) + "M"; break;
    case TDICP: if (args_[0]) data_ += "\x1b[" + n_arg(0) + "@"; break;
    case TDDCP: if (args_[0]) data_ += "\x1b[" + n_arg(0) + "P"; break;
    case TDBOW: data_ += "\x1b[7m"; break;
    case TDRST: data_ += "\x1b[m"; break;
    case TDGRF: mode_ = Mode::Graphics; break;
    case TDRSU: scroll_region(args_[0], args_[1], true); break;
    case TDRSD: scroll_region(args_[0], args_[1], false); break;
    case TDEDF:
      // Function code 037 escapes to a third byte with the real code.
      if (have_ == 2 && ((((args_[0] & 0177) << 7) | (args_[1] & 0177)) >> 9) == 037) {
        need_ = 3;
        mode_ = Mode::Args;
      }
      break;
    case TDTSP: print(' '); break;
    default: break;  // %TDNOP, %TDINI, motor control, local editing we did not offer
  }
}

void SupdupProtocol::print(std::uint8_t c) {
  const bool its = options_.charset == "its";
  const bool waits = options_.charset == "waits";
  if (c < 040) {
    if (its) data_ += kIts[c];
    else if (waits) data_ += kWaits[c];
    else text::append_utf8(data_, 0x2400 + c);  // a visible control picture
  } else if (c == 0177) {
    data_ += its ? "∫" : "␡";
  } else if (waits && c == 0136) {
    data_ += "↑";
  } else if (waits && c == 0137) {
    data_ += "←";
  } else if (waits && c == 0175) {
    data_ += "◊";
  } else if (waits && c == 0176) {
    data_ += "}";
  } else {
    data_ += static_cast<char>(c);
  }
  x_ = std::min(x_ + 1, cols_ - 1);
}

std::string SupdupProtocol::take_data() {
  std::string s;
  s.swap(data_);
  return s;
}

std::string SupdupProtocol::take_output() {
  std::string s;
  s.swap(out_);
  return s;
}

}  // namespace morvane::telnet
