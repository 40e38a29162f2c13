#pragma once
// Wires an EspFlasher to the emulated ROM loader on a simulated line: bytes cross in
// uneven chunks, time is a clock the bench moves, and the reset actions drive the emulator
// the way the serial port's line sequences drive a board.
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "esp/esp_flasher.h"
#include "rom_emulator.h"

namespace morvane::esp::test {

// What each chip's ROM does, written down apart from the chip table so that a wrong entry
// there shows up as a failed flash here.
inline RomChip rom_chip(const std::string& key) {
  if (key == "esp32") return {0x00F01D83, -1, 4, false};
  if (key == "esp32s2") return {0x000007C6, 2, 2, true};
  if (key == "esp32s3") return {0x00000009, 9, 2, true};
  if (key == "esp32c2") return {0x6F51306F, 12, 2, true};
  if (key == "esp32c3") return {0x1B31506F, 5, 2, true};
  if (key == "esp32c6") return {0x2CE0806F, 13, 2, true};
  if (key == "esp32h2") return {0xD7B73E80, 16, 2, true};
  throw std::invalid_argument("no ROM for " + key);
}

class FlashBench {
 public:
  explicit FlashBench(RomChip chip = rom_chip("esp32"), uint32_t flash_size = 4u << 20)
      : rom(chip, flash_size) {
    dir = std::filesystem::temp_directory_path() /
          ("morvane_esp_" + std::to_string(::getpid()) + "_" + std::to_string(counter()++));
    std::filesystem::create_directories(dir);
  }
  ~FlashBench() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  std::string write_file(const std::string& name, const Bytes& data) {
    auto p = dir / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                             static_cast<std::streamsize>(data.size()));
    return p.string();
  }

  // The board's reaction to each line sequence; `lines_fail` makes every action throw as a
  // port without modem control does.
  bool lines_fail = false;
  bool usb_only = false;  // a chip attached through its own USB serial/JTAG port
  int uart_resets = 0, usb_resets = 0, hard_resets = 0;

  ResetFuncs reset_funcs() {
    auto guard = [this] {
      if (lines_fail) throw std::runtime_error("modem ctrl failed: EscapeCommFunction err=1");
    };
    return {
        {"hard_reset", [this, guard] { ++hard_resets; guard(); rom.hard_reset(); }},
        {"enter_bootloader_uart", [this, guard] { ++uart_resets; guard(); if (!usb_only) rom.enter_download_mode(); }},
        {"enter_bootloader_usb", [this, guard] { ++usb_resets; guard(); if (usb_only) rom.enter_download_mode(); }},
    };
  }

  void make(const std::string& mode, std::vector<FlashFile> files, FlasherOptions options = {}) {
    FlasherConfig cfg;
    cfg.mode = mode;
    cfg.files = std::move(files);
    cfg.options = std::move(options);
    cfg.send_bytes = [this](const Bytes& b) {
      sent_after_done += flasher && flasher->is_done() ? b.size() : 0;
      to_rom.insert(to_rom.end(), b.begin(), b.end());
    };
    cfg.reset_funcs = reset_funcs();
    cfg.on_event = [this](const Json& ev) {
      events.push_back(ev);
      if (on_event) on_event(ev);
    };
    cfg.set_baud = [this](uint32_t b) { bauds.push_back(b); };
    cfg.timings = timings;
    flasher = std::make_unique<EspFlasher>(std::move(cfg));
  }

  // Runs until "done" or until the bench clock passes `limit_ms`; false when it did not end.
  bool run(int64_t limit_ms = 30LL * 60 * 1000) {
    flasher->start(now);
    while (!flasher->is_done() && now < limit_ms) {
      bool moved = false;
      if (!to_rom.empty()) {
        size_t n = std::min(to_rom.size(), size_t(1 + rng() % 700));
        Bytes chunk(to_rom.begin(), to_rom.begin() + static_cast<long>(n));
        to_rom.erase(to_rom.begin(), to_rom.begin() + static_cast<long>(n));
        rom.receive(chunk);
        moved = true;
      }
      Bytes out = rom.take_output();
      for (size_t at = 0; at < out.size();) {
        size_t n = std::min(out.size() - at, size_t(1 + rng() % 64));
        flasher->feed(out.data() + at, n, now);
        at += n;
        moved = true;
      }
      if (!moved) {
        auto d = flasher->next_deadline();
        now = d ? std::max(now + 1, *d) : now + 10;
      }
      flasher->tick(now);
    }
    flasher->deliver_events();  // a request refused at start is done before any tick
    return flasher->is_done();
  }

  const Json* done_event() const {
    for (const auto& e : events)
      if (e["kind"] == "done") return &e;
    return nullptr;
  }
  int done_count() const {
    int n = 0;
    for (const auto& e : events) n += e["kind"] == "done";
    return n;
  }
  std::string reason() const {
    const Json* d = done_event();
    return d && d->contains("reason") ? (*d)["reason"].get<std::string>() : std::string();
  }
  bool has_message(const std::string& part) const {
    for (const auto& e : events)
      if (e.contains("message") && e["message"].get<std::string>().find(part) != std::string::npos) return true;
    return false;
  }

  EmulatedRom rom;
  std::unique_ptr<EspFlasher> flasher;
  FlasherTimings timings;
  std::vector<Json> events;
  std::function<void(const Json&)> on_event;
  std::vector<uint32_t> bauds;
  Bytes to_rom;
  size_t sent_after_done = 0;
  int64_t now = 1000;
  std::mt19937 rng{42};
  std::filesystem::path dir;

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
};

// Firmware-like bytes: runs of repeated words and stretches of noise, so compression helps
// but does not make the image trivial.
inline Bytes firmware_bytes(size_t size, uint32_t seed) {
  std::mt19937 r(seed);
  Bytes b(size);
  for (size_t i = 0; i < size;) {
    size_t run = std::min(size - i, size_t(16 + r() % 400));
    bool noise = r() % 3 == 0;
    uint8_t fill = uint8_t(r());
    for (size_t k = 0; k < run; ++k) b[i + k] = noise ? uint8_t(r()) : uint8_t(fill + (k % 4));
    i += run;
  }
  return b;
}

}  // namespace morvane::esp::test
