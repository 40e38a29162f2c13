#pragma once
// EspFlasher: writes firmware images to an ESP32 board (or erases its flash) through the
// ROM's serial loader, as a state machine with no thread, socket or sleep of its own.
// The owner feeds received bytes in (`feed`), calls `tick(now_ms)` so time-outs can fire,
// and gets bytes to send through `send_bytes` and progress and the final "done" record
// through `on_event` (called with no lock of the flasher held, so a handler may call back
// in). Board resets are the named actions the serial tab hands over.
//
// Ways a run ends (each with exactly one "done" event): every image written and verified;
// the board never answered SYNC on any attempt; the ROM reported a chip the table does
// not know, or not the chip that was asked for; an image does not fit the flash or two
// images share a sector; a command kept failing or timing out after its retries; the
// flash's MD5 differs from the file's; an image file could not be read; `cancel`.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "esp/chip_table.h"
#include "esp/rom_protocol.h"
#include "esp/slip.h"
#include "util/json.h"

namespace morvane::esp {

struct FlashFile {
  std::string path;
  uint32_t offset = 0;
};

struct FlasherOptions {
  std::string chip = "auto";       // "auto" or a CHIP_TABLE key
  std::string interface = "auto";  // "auto" (tries both), "uart" or "usb"
  bool compress = true;
  bool auto_reset_after = true;
  std::string flash_size;          // "4MB" and the like; empty = the chip's default
  uint32_t baud = 0;               // the line's rate now, for CHANGE_BAUDRATE
  uint32_t flash_baud = 0;         // rate to write at; 0 keeps the line's rate

  // From the page's options record; unknown keys are ignored, values of the wrong type
  // keep the default.
  static FlasherOptions from_json(const Json& options);
};

// Time-outs and retries. The defaults follow the ROM's pace (erase and MD5 of a real chip
// take seconds per megabyte); tests shrink them.
struct FlasherTimings {
  int64_t sync_timeout_ms = 100;
  int syncs_per_attempt = 7;
  int connect_attempts = 4;
  int64_t command_timeout_ms = 3000;
  int retries = 3;                       // resends after the first try
  int64_t erase_ms_per_mb = 30000;
  int64_t md5_ms_per_mb = 8000;
  int64_t write_ms_per_mb = 40000;       // inflate-and-write time of one compressed block
  int64_t baud_settle_ms = 50;
};

using ResetFuncs = std::map<std::string, std::function<void()>>;

struct FlasherConfig {
  std::string mode;                  // "esp-flash" or "esp-erase-flash"
  std::vector<FlashFile> files;
  FlasherOptions options;
  std::function<void(const Bytes&)> send_bytes;
  ResetFuncs reset_funcs;            // "hard_reset", "enter_bootloader_uart", "enter_bootloader_usb"
  std::function<void(const Json&)> on_event;
  // Changes the host side of the line; without it the rate is never changed.
  std::function<void(uint32_t)> set_baud;
  FlasherTimings timings;
};

enum class Stage { Connecting, Erasing, Writing, Verifying };
const char* stage_name(Stage s);

class EspFlasher {
 public:
  explicit EspFlasher(FlasherConfig cfg);

  // Checks the request and reads the images; connecting begins at the next tick. A request
  // that cannot work is done at once (its "done" event goes out with the next call below).
  void start(int64_t now_ms);
  void feed(const uint8_t* data, size_t size, int64_t now_ms);
  void feed(const Bytes& data, int64_t now_ms) { feed(data.data(), data.size(), now_ms); }
  // Uses the time of the last tick.
  void feed(const Bytes& data);
  void tick(int64_t now_ms);
  // Stops at once: nothing more is sent, the line rate is put back, "done" with ok false.
  // Delivers no event itself, so it may be called under the caller's own locks; the "done"
  // event goes out with the owner's next feed, tick or deliver_events.
  void cancel();
  // Sends the events waiting in the outbox (start and cancel only queue theirs).
  void deliver_events();

  bool is_done() const { return done_.load(); }
  // When the next time-out falls due (for the owner's wait), nullopt when nothing waits.
  std::optional<int64_t> next_deadline() const;

  // What xfer_status reads.
  const std::string protocol;
  const std::string direction = "send";

  bool succeeded() const;
  std::string reason() const;
  std::string detected_chip() const;

 private:
  struct Image {
    FlashFile file;
    std::string name;
    Bytes data;
    Bytes packed;  // compressed form, or empty when written raw
    std::string md5;
  };
  struct Pending {
    Op op{};
    Bytes frame;  // SLIP-encoded, resent as it is
    int64_t timeout_ms = 0;
    int retries_left = 0;
    bool retry_on_error = false;
    std::string what;
    std::function<void(const Response&)> on_ok;
    std::function<void(const Response&)> on_error;  // replaces the failure when set
    std::function<void()> on_exhausted;               // replaces the failure when set
  };

  Pending* send_command(Op op, const Bytes& payload, uint32_t checksum, int64_t timeout_ms, int retries,
                    std::string what, std::function<void(const Response&)> on_ok);
  void transmit();
  void handle_frame(const Bytes& frame);
  void on_timeout();

  void connect_attempt(int attempt);
  void run_reset(const char* key, const std::string& why);
  void detect_chip();
  void chip_found(const ChipInfo& chip);
  void attach_and_configure();
  void change_baud();
  void after_setup();
  void begin_image(size_t index);
  void send_block(size_t index, uint32_t seq);
  void verify_image(size_t index);
  void finish_images();
  void erase_all();
  void verify_erase();
  void finish_ok();
  void fail(const std::string& reason);
  void finish(bool ok, const std::string& reason);
  void restore_baud();

  void emit(Json ev);
  void progress(Stage stage, const Image* img, size_t index, uint64_t bytes, uint64_t total,
                const std::string& message = {});
  bool load_images(std::string& error);

  // Holds the state lock for one public call and delivers its events after releasing it.
  class Entry {
   public:
    explicit Entry(EspFlasher& f);
    ~Entry();

   private:
    EspFlasher& f_;
    std::unique_lock<std::recursive_mutex> lk_;
  };
  void flush_events();

  FlasherConfig cfg_;
  mutable std::recursive_mutex mu_;
  std::recursive_mutex deliver_mu_;  // keeps events in order when two threads deliver
  bool delivering_ = false;
  std::vector<Json> outbox_;
  std::atomic<bool> done_{false};
  bool ok_ = false;
  std::string reason_;
  bool started_ = false;
  int64_t now_ = 0;
  SlipDecoder decoder_{1024};
  std::optional<Pending> pending_;
  int64_t deadline_ = 0;
  std::optional<int64_t> wake_at_;   // a pause (after a rate change)
  std::function<void()> wake_fn_;
  const ChipInfo* chip_ = nullptr;
  unsigned status_len_ = 0;
  uint32_t flash_size_ = 0;
  bool baud_changed_ = false;
  bool used_deflate_ = false;
  bool used_raw_ = false;
  std::vector<Image> images_;
  int last_percent_ = -1;
};

// guess_offset with the chip as the page gives it: "auto", empty or unknown means no chip.
std::optional<uint32_t> guess_offset_for(std::string_view file_name, std::string_view chip);

}  // namespace morvane::esp
