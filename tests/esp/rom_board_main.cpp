// esp_rom_board: the emulated ESP32 board as a program of its own, for tests that drive the
// whole application (the page in a browser). It serves the far end of a serial line and
// takes the hands of a person at the bench on standard input, one command a line, each
// answered with one line on standard output:
//
//   boot               hold BOOT and press EN: the ROM loader listens      -> ok
//   reset              press EN: the program (an echoing console) runs     -> ok
//   say TEXT           the program prints TEXT and CR LF                   -> ok
//   md5 OFFSET SIZE    MD5 of that flash region, decimal or 0x numbers     -> 32 hex digits
//   pause MS           a pause before every answer from now on             -> ok
//
// It ends at the end of its input.
#include <fcntl.h>
#include <termios.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "../common/rom_board.h"
#include "flash_bench.h"

using namespace morvane::esp::test;

int main(int argc, char** argv) {
  std::string line_path, chip = "esp32";
  uint32_t baud = 0, flash_size = 4u << 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--line") line_path = v;
    else if (k == "--chip") chip = v;
    else if (k == "--baud") baud = uint32_t(std::stoul(v));
    else if (k == "--flash-size") flash_size = uint32_t(std::stoul(v, nullptr, 0));
    else {
      std::cerr << "esp_rom_board: unknown option " << k << "\n";
      return 2;
    }
  }
  if (line_path.empty()) {
    std::cerr << "usage: esp_rom_board --line PTY [--chip KEY] [--baud N] [--flash-size BYTES]\n";
    return 2;
  }
  int fd = ::open(line_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::cerr << "esp_rom_board: cannot open " << line_path << "\n";
    return 1;
  }
  struct termios t;
  if (::tcgetattr(fd, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
  }
  RomChip rc;
  try {
    rc = rom_chip(chip);
  } catch (const std::exception& e) {
    std::cerr << "esp_rom_board: " << e.what() << "\n";
    return 2;
  }
  RomBoard board(fd, rc, baud, flash_size);
  std::cout << "ready" << std::endl;
  std::string cmd;
  while (std::getline(std::cin, cmd)) {
    std::istringstream in(cmd);
    std::string word;
    in >> word;
    if (word == "boot") {
      board.boot_button();
    } else if (word == "reset") {
      board.reset_button();
    } else if (word == "say") {
      std::string text = cmd.size() > 4 ? cmd.substr(4) : std::string();
      board.say(text + "\r\n");
    } else if (word == "md5") {
      std::string off, size;
      in >> off >> size;
      try {
        std::cout << board.md5(std::stoull(off, nullptr, 0), std::stoull(size, nullptr, 0)) << std::endl;
      } catch (const std::exception&) {
        std::cout << "error: md5 OFFSET SIZE" << std::endl;
      }
      continue;
    } else if (word == "pause") {
      int ms = 0;
      in >> ms;
      board.reply_pause_ms = ms;
    } else {
      std::cout << "error: unknown command " << word << std::endl;
      continue;
    }
    std::cout << "ok" << std::endl;
  }
  board.stop();
  ::close(fd);
  return 0;
}
