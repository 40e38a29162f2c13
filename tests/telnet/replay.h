// Replays a recorded byte session through a fresh protocol object: after every recorded
// action the protocol must send exactly the bytes it sent to the real peer and produce
// exactly the terminal data it produced then.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peer.h"

namespace morvane::telnet::testing {

inline std::string data_path(const std::string& name) { return std::string(TELNET_DATA_DIR) + "/" + name; }

// apply(step) performs one action (B, S, U, I, R, T); returns the screen it produced.
template <class Proto, class Apply>
std::string replay(Proto& p, const std::vector<Step>& steps, Apply&& apply) {
  std::string want_out, want_data, got_out, got_data, screen;
  std::size_t action = 0;
  auto check = [&] {
    EXPECT_EQ(hex(got_out), hex(want_out)) << "bytes sent after action " << action;
    EXPECT_EQ(got_data, want_data) << "terminal data after action " << action;
    got_out.clear(), want_out.clear(), got_data.clear(), want_data.clear();
  };
  for (const auto& s : steps) {
    if (s.tag == 'C') {
      want_out += s.bytes;
    } else if (s.tag == 'D') {
      want_data += s.bytes;
    } else {
      check();
      ++action;
      apply(s);
      got_out += p.take_output();
      std::string d = p.take_data();
      got_data += d;
      screen += d;
    }
  }
  check();
  return screen;
}

inline std::pair<int, int> parse_size(const std::string& s) {
  auto sp = s.find(' ');
  return {std::stoi(s.substr(0, sp)), std::stoi(s.substr(sp + 1))};
}

}  // namespace morvane::telnet::testing
