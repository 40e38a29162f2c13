#pragma once
// An emulated ESP ROM serial loader for tests: the other end of the line from the flasher.
// It answers only after the reset lines put it in download mode, speaks SLIP and the ROM's
// command set with the chip's status bytes, keeps a flash memory, inflates compressed data,
// computes a real MD5 of its flash and can be told to drop, corrupt or stall. Its framing and
// parsing are written independently of the library so a shared mistake cannot hide.
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace morvane::esp::test {

using Bytes = std::vector<uint8_t>;

struct RomChip {
  uint32_t magic = 0x00F01D83;
  int chip_id = -1;           // -1: GET_SECURITY_INFO is not a command of this ROM
  unsigned status_bytes = 4;
  bool begin_has_fifth_word = false;
};

class EmulatedRom {
 public:
  explicit EmulatedRom(RomChip chip, uint32_t flash_size = 4u << 20);
  ~EmulatedRom();

  // Line sequences of the serial port.
  void enter_download_mode();  // boot text, then the loader listens
  void hard_reset();           // runs the program: the loader is gone

  void receive(const uint8_t* data, size_t size);
  void receive(const Bytes& b) { receive(b.data(), b.size()); }
  Bytes take_output();

  Bytes flash;
  bool in_download = false;

  // Faults.
  int drop_responses = 0;        // the next n replies are lost
  int corrupt_responses = 0;     // the next n replies arrive damaged
  int damage_data_blocks = 0;    // the next n data blocks arrive with a bad checksum
  int stall_after_commands = -1; // after n more commands, silence
  bool garbage = false;          // answers every command with noise and broken frames
  bool has_erase_command = false;// a stub-like loader with ERASE_FLASH
  bool ignore_unknown = false;   // unknown commands get no answer at all
  bool refuse_baud = false;
  int reject_syncs = 0;           // the next n SYNCs are answered with an error

  // What happened.
  int syncs = 0;
  int hard_resets = 0;
  int data_blocks = 0;
  int duplicate_blocks = 0;
  int checksum_errors = 0;
  uint32_t baud = 0;
  uint32_t spi_flash_size = 0;
  bool attached = false;
  std::vector<uint8_t> ops;

 private:
  void command(const Bytes& pkt);
  void reply(uint8_t op, uint32_t value, const Bytes& body, uint8_t error);
  void erase(uint64_t offset, uint64_t size);
  bool write(uint64_t at, const uint8_t* p, size_t n);

  RomChip chip_;
  Bytes out_;
  Bytes frame_;
  bool in_frame_ = false;
  bool esc_ = false;
  std::mt19937 rng_{7};

  // The write session opened by FLASH_BEGIN / FLASH_DEFL_BEGIN.
  bool writing_ = false;
  bool deflate_ = false;
  uint32_t begin_offset_ = 0;
  uint32_t block_size_ = 0;
  uint32_t next_seq_ = 0;
  uint64_t write_at_ = 0;
  z_stream zs_{};
  bool zs_open_ = false;
};

}  // namespace morvane::esp::test
