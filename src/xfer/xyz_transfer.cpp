// Engine selection and the serialised surface of a transfer (see xyz_transfer.h).
#include "xfer/xyz_transfer.h"

#include <algorithm>
#include <stdexcept>

#include "xfer/xymodem.h"
#include "xfer/zmodem.h"

namespace morvane::xfer {

bool XYZModemTransfer::known_protocol(std::string_view p) {
  XYMode m;
  return p == "zmodem" || XYMode::from_name(std::string(p), m);
}

XYZModemTransfer::XYZModemTransfer(Options o) : protocol(o.protocol), direction(o.direction) {
  if (direction != "send" && direction != "recv") throw std::invalid_argument("direction must be send or recv");
  if (!known_protocol(protocol)) throw std::invalid_argument("Unknown protocol " + protocol);
  EngineContext ctx;
  ctx.send_bytes = std::move(o.send_bytes);
  auto user_event = std::move(o.on_event);
  // "done" flips is_done() before the caller hears of it, so its handler sees a finished transfer.
  ctx.on_event = [this, user_event](const Event& e) {
    if (e.value("kind", "") == "done") done_ = true;
    if (user_event) user_event(e);
  };
  ctx.files = o.file_access ? o.file_access : local_files();
  ctx.paths = std::move(o.files);
  ctx.save_dir = std::move(o.save_dir);
  bool send = direction == "send";
  if (protocol == "zmodem") {
    if (send) engine_ = std::make_unique<ZmodemSender>(std::move(ctx));
    else engine_ = std::make_unique<ZmodemReceiver>(std::move(ctx), o.escape_ctl);
  } else {
    XYMode mode;
    XYMode::from_name(protocol, mode);
    // XMODEM carries no name: a received file is called after the caller's first name, if any.
    std::string name = !send && !ctx.paths.empty() ? sanitize_name(base_name(ctx.paths[0])) : "xmodem.bin";
    if (send) engine_ = std::make_unique<XYModemSender>(std::move(ctx), mode);
    else engine_ = std::make_unique<XYModemReceiver>(std::move(ctx), mode, name);
  }
}

XYZModemTransfer::~XYZModemTransfer() = default;

void XYZModemTransfer::start(uint64_t now_ms) {
  std::lock_guard lk(mu_);
  if (!engine_->done()) engine_->start(clock(now_ms));
}

uint64_t XYZModemTransfer::clock(uint64_t now_ms) {
  // Callers on two threads read their clocks before taking the lock: the later call may carry
  // the earlier time, and an engine's "now - last" would wrap into a false time-out.
  latest_ms_ = std::max(latest_ms_, now_ms);
  return latest_ms_;
}

void XYZModemTransfer::feed(std::string_view data, uint64_t now_ms) {
  std::lock_guard lk(mu_);
  if (!engine_->done()) engine_->feed(reinterpret_cast<const uint8_t*>(data.data()), data.size(), clock(now_ms));
}

void XYZModemTransfer::tick(uint64_t now_ms) {
  std::lock_guard lk(mu_);
  if (!engine_->done()) engine_->tick(clock(now_ms));
}

void XYZModemTransfer::cancel() {
  std::lock_guard lk(mu_);
  engine_->cancel("cancelled");
}

bool XYZModemTransfer::wants_tick() const {
  std::lock_guard lk(mu_);
  return engine_->streaming();
}

}  // namespace morvane::xfer
