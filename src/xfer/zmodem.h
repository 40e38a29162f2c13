#pragma once
// ZMODEM receive and send engines over the frame layer. Time-outs follow lrzsz: 10 s without
// an answer repeats the last header, ten repeats give up. The receiver restarts a damaged
// stream with ZRPOS at the last good byte; the sender streams ZCRCG subpackets (or waits for
// ZACK every buffer-full when the receiver announced a buffer size) and resumes from any
// ZRPOS the receiver sends.
#include <memory>

#include "xfer/engine.h"
#include "xfer/zmodem_frame.h"

namespace morvane::xfer {

class ZmodemReceiver final : public Engine, private zm::FrameReader::Handler {
 public:
  explicit ZmodemReceiver(EngineContext ctx, bool escape_ctl = false)
      : Engine(std::move(ctx)), want_escape_(escape_ctl) {}
  void start(uint64_t now_ms) override;
  void feed(const uint8_t* p, size_t n, uint64_t now_ms) override;
  void tick(uint64_t now_ms) override;

 private:
  enum class State { Init, FileInfo, Sinit, Command, Receiving, Discard, Finishing };
  void on_item(const zm::FrameReader::Item& it) override;
  void on_header(const zm::Header& h);
  void send_hex(const zm::Header& h, bool remember = true);
  void send_rpos();
  void repeat_last();
  void start_file(std::string_view info);

  zm::FrameReader reader_;
  zm::Encoder enc_;
  State state_ = State::Init;
  bool want_escape_;
  uint32_t pos_ = 0;
  std::string last_header_;
  uint64_t last_rx_ = 0;
  int retries_ = 0;
  int oo_ = 0;
  int same_pos_errors_ = 0;
  std::string failed_;  // a file that could not be created; reported at the end
};

class ZmodemSender final : public Engine, private zm::FrameReader::Handler {
 public:
  explicit ZmodemSender(EngineContext ctx) : Engine(std::move(ctx)) {}
  void start(uint64_t now_ms) override;
  void feed(const uint8_t* p, size_t n, uint64_t now_ms) override;
  void tick(uint64_t now_ms) override;
  bool streaming() const override { return state_ == State::Sending && !window_full_ && !done_; }

  static constexpr size_t kBurst = 64 * 1024;
  static constexpr size_t kSubpacket = 1024;
  // At most this much unacknowledged data in flight, with a ZCRCQ every kAckEvery bytes: after
  // a damaged subpacket the receiver must find our new ZDATA header before it gives up on the
  // noise still in the pipe (lrzsz's rz tolerates only a few KiB per retry).
  static constexpr uint32_t kWindow = 32 * 1024;
  static constexpr uint32_t kAckEvery = 8 * 1024;

 private:
  enum class State { WaitInit, WaitPos, Sending, WaitAck, WaitEof, WaitFin };
  void on_item(const zm::FrameReader::Item& it) override;
  void next_file();
  void send_file_header();
  void send_header(const zm::Header& h);
  // Sends ZDATA for pos and streams from there; with `probe`, only one subpacket that asks
  // for an acknowledgement, then the stream once it comes.
  void resume_at(uint32_t pos, bool probe);
  void send_burst();

  zm::FrameReader reader_;
  zm::Encoder enc_;
  State state_ = State::WaitInit;
  bool crc32_ = false;
  uint32_t rxbuflen_ = 0;
  size_t next_index_ = 0;
  std::unique_ptr<FileSource> src_;
  uint32_t pos_ = 0;
  uint32_t since_ack_ = 0;
  uint32_t acked_ = 0;
  uint32_t since_q_ = 0;
  bool window_full_ = false;
  bool probe_ = false;
  uint32_t last_rpos_ = 0;
  int same_rpos_ = 0;
  std::string last_frame_;
  uint64_t last_rx_ = 0;
  int retries_ = 0;
  std::vector<uint8_t> buf_;
  std::string out_;
};

}  // namespace morvane::xfer
