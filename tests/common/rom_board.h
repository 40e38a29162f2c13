#pragma once
// An emulated ESP32 board on the far end of a serial line (a PTY end): the ROM loader of
// tests/esp behind a UART that moves bytes no faster than its baud rate allows, in each
// direction on its own, as 8N1 does (ten bit times a byte). Rate 0 moves them as fast as the
// PTY does. Out of download mode the board runs its "program": a console that echoes what it
// receives. Used by the flashing benchmark and the standalone board of the page tests.
#include <openssl/evp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "../esp/rom_emulator.h"

namespace morvane::esp::test {

// The time a line of `bytes_per_s` needs for each byte. While the sender keeps bytes waiting
// the line is busy and a late reader catches up on what crossed meanwhile; a byte sent after
// the line went quiet starts crossing when it is sent (`idle` marks that moment), so quiet
// time is never spent later.
class LinePacer {
 public:
  using Clock = std::chrono::steady_clock;
  explicit LinePacer(double bytes_per_s) : rate_(bytes_per_s) {}
  // How many bytes may have crossed by `now`; `used` says how many did.
  size_t budget(Clock::time_point now, size_t want) const {
    if (rate_ <= 0) return want;
    const double secs = std::chrono::duration<double>(now - free_at_).count();
    return std::min(want, size_t(std::max(0.0, secs * rate_)));
  }
  void used(size_t n) {
    if (rate_ > 0) free_at_ += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(n / rate_));
  }
  void idle(Clock::time_point now) { free_at_ = std::max(free_at_, now); }
  // When the next byte may cross.
  Clock::time_point next(Clock::time_point now) const {
    if (rate_ <= 0) return now;
    return std::max(now, free_at_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / rate_)));
  }

 private:
  double rate_;
  Clock::time_point free_at_ = Clock::now();
};

class RomBoard {
 public:
  using Clock = std::chrono::steady_clock;

  // `fd`: a raw, non-blocking descriptor of the line's far end; the board does not own it.
  RomBoard(int fd, RomChip chip, uint32_t baud, uint32_t flash_size = 4u << 20)
      : rom(chip, flash_size), fd_(fd), rx_(baud / 10.0), tx_(baud / 10.0) {
    thread_ = std::thread([this] { serve(); });
  }
  ~RomBoard() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // Holding BOOT while pressing EN: the loader listens.
  void boot_button() {
    std::lock_guard lk(mu);
    rom.enter_download_mode();
  }
  // Pressing EN alone: the program runs.
  void reset_button() {
    std::lock_guard lk(mu);
    rom.hard_reset();
  }
  // Text the program prints on its console.
  void say(const std::string& text) {
    std::lock_guard lk(mu);
    console_out_.append(text);
  }
  bool flash_holds(uint32_t offset, const Bytes& data) {
    std::lock_guard lk(mu);
    return offset + data.size() <= rom.flash.size() && std::equal(data.begin(), data.end(), rom.flash.begin() + offset);
  }
  // Lower-case hexadecimal MD5 of a region of the flash, empty when it lies outside.
  std::string md5(uint64_t offset, uint64_t size) {
    std::lock_guard lk(mu);
    if (offset + size > rom.flash.size()) return {};
    unsigned char md[16];
    unsigned int len = 0;
    EVP_Digest(rom.flash.data() + offset, size, md, &len, EVP_md5(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < len; ++i) {
      std::snprintf(two, sizeof two, "%02x", md[i]);
      hex += two;
    }
    return hex;
  }

  std::mutex mu;
  EmulatedRom rom;
  std::atomic<uint64_t> received{0};  // bytes the board took off the line
  std::atomic<int> reply_pause_ms{0};  // a slow board: a pause before each answer

 private:
  void serve() {
    uint8_t buf[4096];
    Bytes pending;  // waiting for the transmitter
    bool rx_dry = true;
    while (!stop_) {
      auto now = Clock::now();
      // What the line delivered by now. After the sender ran dry, the next bytes are only
      // starting to cross when they are first seen.
      if (rx_dry) rx_.idle(now);
      const size_t can = rx_.budget(now, sizeof buf);
      ssize_t n = can ? ::read(fd_, buf, can) : 0;
      if (n < 0) n = 0;
      rx_dry = can > 0 && size_t(n) < can;
      if (n > 0) {
        rx_.used(size_t(n));
        received += uint64_t(n);
        std::lock_guard lk(mu);
        rom.receive(buf, size_t(n));  // out of download mode this only follows the framing
        if (!rom.in_download) console_out_.append(reinterpret_cast<const char*>(buf), size_t(n));
      }
      bool fresh = false;
      {
        std::lock_guard lk(mu);
        Bytes out = rom.take_output();
        fresh = !out.empty();
        if (pending.empty()) tx_.idle(Clock::now());
        pending.insert(pending.end(), out.begin(), out.end());
        pending.insert(pending.end(), console_out_.begin(), console_out_.end());
        console_out_.clear();
      }
      if (int ms = reply_pause_ms.load(); fresh && ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      if (!pending.empty()) {
        const size_t go = tx_.budget(Clock::now(), pending.size());
        const ssize_t w = go ? ::write(fd_, pending.data(), go) : 0;
        if (w > 0) {
          tx_.used(size_t(w));
          pending.erase(pending.begin(), pending.begin() + w);
        }
      }
      // Wait until a byte may cross or the line has something to read.
      now = Clock::now();
      auto wake = now + std::chrono::milliseconds(5);
      if (!pending.empty()) wake = std::min(wake, tx_.next(now));
      const auto rx_at = rx_.next(now);
      if (rx_at > now) {
        // Time the line is busy is never lost, so a coarser wait only makes bigger reads.
        std::this_thread::sleep_until(std::min(wake, std::max(rx_at, now + std::chrono::milliseconds(1))));
      } else {
        struct pollfd p{fd_, POLLIN, 0};
        const int ms = int(std::chrono::ceil<std::chrono::milliseconds>(wake - now).count());
        // A hung-up line polls as readable at once; the sleep keeps that from spinning.
        if (::poll(&p, 1, std::max(ms, 0)) > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN))
          std::this_thread::sleep_until(wake);
      }
    }
  }

  int fd_;
  LinePacer rx_, tx_;
  std::string console_out_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace morvane::esp::test
