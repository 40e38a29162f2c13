// Line speed of a terminal device at any rate, standard or not (921600,
// 250000, ...). Kept apart from the termios code: Linux's termios2 lives in
// <asm/termbits.h>, which cannot share a translation unit with <termios.h>.
#pragma once

#include <cstdint>

namespace morvane::serial::detail {

// Sets input and output speed; returns 0 or an errno value.
int set_port_speed(int fd, std::uint32_t baud);
// Reads back the output speed the driver holds; returns 0 or an errno value.
int get_port_speed(int fd, std::uint32_t& baud);

}  // namespace morvane::serial::detail
