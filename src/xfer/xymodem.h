#pragma once
// XMODEM (checksum, CRC, 1K) and YMODEM (batch with block 0, YMODEM-G streaming) engines.
// Time-outs follow the protocols' references: the receiver repeats its start character every
// 3 s, a block waits 10 s for its answer, ten repeats give up, a sender waits 60 s for a
// receiver to start. XMODEM has no file size, so an XMODEM file keeps the sender's padding.
#include <memory>

#include "xfer/engine.h"

namespace morvane::xfer {

struct XYMode {
  bool ymodem = false;   // batch, block 0 with name, size and time
  bool stream = false;   // YMODEM-G: no answer per block
  bool crc = true;       // CRC-16 (otherwise the 8-bit checksum)
  bool big = false;      // 1024-byte blocks when sending
  static bool from_name(const std::string& protocol, XYMode& out);
};

class XYModemReceiver final : public Engine {
 public:
  XYModemReceiver(EngineContext ctx, XYMode mode, std::string xmodem_name = "xmodem.bin")
      : Engine(std::move(ctx)), mode_(mode), xmodem_name_(std::move(xmodem_name)) {}
  void start(uint64_t now_ms) override;
  void feed(const uint8_t* p, size_t n, uint64_t now_ms) override;
  void tick(uint64_t now_ms) override;

 private:
  void process();
  bool block(uint8_t num, const uint8_t* data, size_t size);
  void eot();
  void send_start_char() { send(std::string(1, mode_.stream ? 'G' : mode_.crc ? 'C' : 0x15)); }

  XYMode mode_;
  std::string xmodem_name_;
  std::string buf_;
  uint8_t expected_ = 1;
  bool in_file_ = false;
  bool started_ = false;  // the sender has answered our start character
  uint64_t remaining_ = 0;
  bool size_known_ = false;
  uint64_t received_ = 0;
  uint64_t last_rx_ = 0;
  int retries_ = 0;
  int start_tries_ = 0;
};

class XYModemSender final : public Engine {
 public:
  XYModemSender(EngineContext ctx, XYMode mode) : Engine(std::move(ctx)), mode_(mode) {}
  void start(uint64_t now_ms) override;
  void feed(const uint8_t* p, size_t n, uint64_t now_ms) override;
  void tick(uint64_t now_ms) override;
  bool streaming() const override { return state_ == State::Streaming && !done_; }

 private:
  enum class State { WaitStart, WaitAck0, WaitData, WaitAck, Streaming, WaitEotAck };
  void on_byte(uint8_t c);
  // A receiver's start request ('C', NAK, 'G') is answered kAnswerDelayMs later, from tick().
  // lrzsz's rb and rx discard their tty's input right after writing the request; an answer that
  // arrives first (a local PTY is that fast) is lost, and both sides then wait out their
  // ten-second time-outs in step, for ever.
  void defer(uint8_t c);
  void answer_start(uint8_t c);
  bool open_next();
  void send_block0();
  bool make_block();  // builds block_ for the data at pos_; false at the end of the file
  void send_eot();
  void resend();

  XYMode mode_;
  State state_ = State::WaitStart;
  bool g_ = false;
  size_t next_index_ = 0;
  std::unique_ptr<FileSource> src_;
  bool batch_end_ = false;
  uint64_t pos_ = 0, block_len_ = 0;
  uint8_t blk_ = 1;
  std::string block_;
  uint64_t start_ = 0, last_rx_ = 0;
  int retries_ = 0;
  int cans_ = 0;
  int deferred_ = -1;  // a start request waiting for its answer
  uint64_t deferred_at_ = 0;

 public:
  static constexpr uint64_t kAnswerDelayMs = 50;
};

}  // namespace morvane::xfer
