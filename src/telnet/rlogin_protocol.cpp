// Rlogin handshake, acknowledgement and window-size messages.
#include "telnet/rlogin_protocol.h"

#include <algorithm>

namespace morvane::telnet {

RloginProtocol::RloginProtocol(RloginOptions options)
    : options_(std::move(options)), rows_(options_.term_height), cols_(options_.term_width) {}

void RloginProtocol::start(std::uint64_t now_ms) {
  const long long speed = first_speed(options_.term_speed, 38400);
  out_ += '\0';
  out_ += options_.local_username;
  out_ += '\0';
  out_ += options_.remote_username;
  out_ += '\0';
  out_ += options_.term_type + "/" + std::to_string(speed);
  out_ += '\0';
  state_ = State::AwaitingAck;
  deadline_ = now_ms + static_cast<std::uint64_t>(options_.timeout) * 1000;
}

void RloginProtocol::receive(std::string_view bytes) {
  if (bytes.empty()) return;
  if (state_ == State::AwaitingAck || state_ == State::TimedOut) {
    if (bytes[0] == '\0') {
      state_ = State::Ready;
      bytes.remove_prefix(1);
    } else {
      // rlogind answers a refused login with \1 and a message instead of the \0.
      state_ = State::Refused;
      if (bytes[0] == '\1') bytes.remove_prefix(1);
    }
  }
  if (state_ == State::Refused) refusal_.append(bytes.substr(0, 4096 - std::min<std::size_t>(refusal_.size(), 4096)));
  data_.append(bytes);
}

void RloginProtocol::urgent(std::uint8_t byte) {
  // One urgent byte may carry several requests as bits.
  if (byte & static_cast<std::uint8_t>(Control::WindowRequest)) {
    window_requested_ = true;
    send_window();
  }
  if (byte & static_cast<std::uint8_t>(Control::NoFlow)) local_flow_ = false;
  if (byte & static_cast<std::uint8_t>(Control::Flow)) local_flow_ = true;
  // Flush (0x02) discards output up to the mark; what reached us was already shown.
}

void RloginProtocol::send(std::string_view data) { out_.append(data); }

void RloginProtocol::resize(int rows, int cols) {
  rows_ = rows;
  cols_ = cols;
  if (window_requested_) send_window();
}

void RloginProtocol::send_window() {
  out_ += "\xff\xffss";
  auto put16 = [this](int v) {
    const auto u = static_cast<unsigned>(std::clamp(v, 0, 65535));
    out_ += static_cast<char>((u >> 8) & 0xFF);
    out_ += static_cast<char>(u & 0xFF);
  };
  put16(rows_);
  put16(cols_);
  put16(0);
  put16(0);
}

void RloginProtocol::tick(std::uint64_t now_ms) {
  if (state_ == State::AwaitingAck && now_ms >= deadline_) state_ = State::TimedOut;
}

std::string RloginProtocol::take_data() {
  std::string s;
  s.swap(data_);
  return s;
}

std::string RloginProtocol::take_output() {
  std::string s;
  s.swap(out_);
  return s;
}

}  // namespace morvane::telnet
