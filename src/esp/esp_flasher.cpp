// The flasher's state machine (see esp_flasher.h). One command is in flight at a time, as
// the ROM loader handles them one by one; a reply is matched by its opcode, so the extra
// SYNC replies the ROM sends and late replies to a resent command are passed over.
#include "esp/esp_flasher.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "esp/image_codec.h"
#include "util/diag.h"

namespace morvane::esp {

namespace {

std::string hex32(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%X", v);
  return b;
}

int64_t per_mb(int64_t ms_per_mb, uint64_t bytes, int64_t floor_ms) {
  int64_t t = static_cast<int64_t>((static_cast<double>(ms_per_mb) * static_cast<double>(bytes)) / (1 << 20));
  return std::max(t, floor_ms);
}

uint64_t sector_end(uint64_t offset, uint64_t size) {
  return (offset + size + kFlashSector - 1) / kFlashSector * kFlashSector;
}

// Images bigger than the largest flash any table chip has are refused before reading.
constexpr uintmax_t kMaxImage = 64u << 20;

}  // namespace

const char* stage_name(Stage s) {
  switch (s) {
    case Stage::Connecting: return "connecting";
    case Stage::Erasing: return "erasing";
    case Stage::Writing: return "writing";
    case Stage::Verifying: return "verifying";
  }
  return "";
}

FlasherOptions FlasherOptions::from_json(const Json& o) {
  FlasherOptions r;
  if (!o.is_object()) return r;
  auto text = [&](const char* k, std::string& dst) {
    auto it = o.find(k);
    if (it != o.end() && it->is_string()) dst = it->get<std::string>();
  };
  auto flag = [&](const char* k, bool& dst) {
    auto it = o.find(k);
    if (it != o.end() && !it->is_null()) dst = json::truthy(*it);
  };
  auto number = [&](const char* k, uint32_t& dst) {
    auto it = o.find(k);
    if (it == o.end()) return;
    auto v = json::as_int(*it);
    if (v && *v > 0 && *v <= 16000000) dst = static_cast<uint32_t>(*v);
  };
  text("chip", r.chip);
  text("interface", r.interface);
  text("flash_size", r.flash_size);
  flag("compress", r.compress);
  flag("auto_reset_after", r.auto_reset_after);
  number("baud", r.baud);
  number("flash_baud", r.flash_baud);
  if (r.chip.empty()) r.chip = "auto";
  if (r.interface.empty()) r.interface = "auto";
  return r;
}

std::optional<uint32_t> guess_offset_for(std::string_view file_name, std::string_view chip) {
  if (chip.empty() || chip == "auto") return guess_offset(file_name, nullptr);
  std::string key(chip);
  return guess_offset(file_name, &key);
}

EspFlasher::EspFlasher(FlasherConfig cfg) : protocol(cfg.mode), cfg_(std::move(cfg)) {}

bool EspFlasher::succeeded() const {
  std::lock_guard lk(mu_);
  return ok_;
}

std::string EspFlasher::reason() const {
  std::lock_guard lk(mu_);
  return reason_;
}

std::string EspFlasher::detected_chip() const {
  std::lock_guard lk(mu_);
  return chip_ ? chip_->key : std::string();
}

std::optional<int64_t> EspFlasher::next_deadline() const {
  std::lock_guard lk(mu_);
  if (done_) return std::nullopt;
  if (wake_at_) return wake_at_;
  if (pending_) return deadline_;
  return std::nullopt;
}

// Events wait in the outbox until the state lock is released, so a handler may call back
// in (cancel, is_done) and the owner's own locks never nest inside ours.
void EspFlasher::emit(Json ev) {
  if (cfg_.on_event) outbox_.push_back(std::move(ev));
}

EspFlasher::Entry::Entry(EspFlasher& f) : f_(f), lk_(f.mu_) {}

EspFlasher::Entry::~Entry() {
  lk_.unlock();
  f_.flush_events();
}

void EspFlasher::deliver_events() { flush_events(); }

void EspFlasher::flush_events() {
  std::lock_guard order(deliver_mu_);
  if (delivering_) return;  // a handler called back in: the loop below delivers the rest
  delivering_ = true;
  for (;;) {
    std::vector<Json> evs;
    {
      std::lock_guard lk(mu_);
      evs.swap(outbox_);
    }
    if (evs.empty()) break;
    for (const auto& e : evs) {
      try {
        cfg_.on_event(e);
      } catch (...) {
        // The page going away must not stop a flash half-way.
      }
    }
  }
  delivering_ = false;
}

void EspFlasher::progress(Stage stage, const Image* img, size_t index, uint64_t bytes, uint64_t total,
                          const std::string& message) {
  Json ev;
  ev["kind"] = "progress";
  ev["protocol"] = protocol;
  ev["stage"] = stage_name(stage);
  if (img) {
    ev["file"] = img->name;
    ev["index"] = index;
    ev["count"] = images_.size();
    ev["offset"] = img->file.offset;
  }
  ev["bytes"] = bytes;
  ev["total"] = total;
  if (chip_) ev["chip"] = chip_->key;
  if (!message.empty()) ev["message"] = message;
  emit(std::move(ev));
}

bool EspFlasher::load_images(std::string& error) {
  namespace fs = std::filesystem;
  for (const auto& f : cfg_.files) {
    Image img;
    img.file = f;
    img.name = fs::path(f.path).filename().string();
    std::error_code ec;
    auto size = fs::file_size(f.path, ec);
    if (ec || !fs::is_regular_file(f.path, ec)) {
      error = "Cannot read " + img.name + ": no such file";
      return false;
    }
    if (size == 0) {
      error = img.name + " is empty";
      return false;
    }
    if (size > kMaxImage) {
      error = img.name + " is larger than any flash";
      return false;
    }
    if (f.offset % kFlashSector != 0) {
      // The ROM erases whole 4 KB sectors: an unaligned image would wipe what lies before it.
      error = "Offset " + hex32(f.offset) + " of " + img.name + " is not a multiple of 0x1000";
      return false;
    }
    std::ifstream in(f.path, std::ios::binary);
    img.data.resize(size);
    if (!in.read(reinterpret_cast<char*>(img.data.data()), static_cast<std::streamsize>(size))) {
      error = "Cannot read " + img.name;
      return false;
    }
    img.md5 = md5_hex(img.data);
    images_.push_back(std::move(img));
  }
  // Each FLASH_BEGIN erases its sectors, so a later image sharing a sector with an earlier
  // one would destroy part of it after it was verified.
  std::vector<const Image*> order;
  for (auto& i : images_) order.push_back(&i);
  std::sort(order.begin(), order.end(), [](auto a, auto b) { return a->file.offset < b->file.offset; });
  for (size_t i = 1; i < order.size(); ++i) {
    if (sector_end(order[i - 1]->file.offset, order[i - 1]->data.size()) > order[i]->file.offset) {
      error = order[i - 1]->name + " and " + order[i]->name + " overlap in flash";
      return false;
    }
  }
  return true;
}

void EspFlasher::start(int64_t now_ms) {
  std::lock_guard lk(mu_);
  if (started_ || done_) return;
  started_ = true;
  now_ = now_ms;
  const auto& o = cfg_.options;
  if (cfg_.mode != "esp-flash" && cfg_.mode != "esp-erase-flash") return fail("Unknown mode " + cfg_.mode);
  if (o.chip != "auto" && !find_chip(o.chip)) return fail("Unknown chip " + o.chip);
  if (o.interface != "auto" && o.interface != "uart" && o.interface != "usb")
    return fail("Unknown interface " + o.interface);
  if (!o.flash_size.empty() && !parse_flash_size(o.flash_size))
    return fail("Unknown flash size " + o.flash_size);
  if (cfg_.mode == "esp-flash") {
    if (cfg_.files.empty()) return fail("No image to write");
    std::string error;
    if (!load_images(error)) return fail(error);
  }
  // The first reset runs on the owner's next tick, not on the caller's thread.
  wake_at_ = now_;
  wake_fn_ = [this] { connect_attempt(0); };
}

void EspFlasher::feed(const Bytes& data) {
  int64_t t;
  {
    std::lock_guard lk(mu_);
    t = now_;
  }
  feed(data.data(), data.size(), t);
}

void EspFlasher::feed(const uint8_t* data, size_t size, int64_t now_ms) {
  Entry entry(*this);
  if (done_) return;
  now_ = std::max(now_, now_ms);
  std::vector<Bytes> frames;
  decoder_.feed(data, size, frames);
  for (const auto& f : frames) {
    if (done_) break;
    handle_frame(f);
  }
}

void EspFlasher::tick(int64_t now_ms) {
  Entry entry(*this);
  if (done_ || !started_) return;
  now_ = std::max(now_, now_ms);
  if (wake_at_) {
    if (now_ < *wake_at_) return;
    wake_at_.reset();
    auto fn = std::move(wake_fn_);
    wake_fn_ = nullptr;
    if (fn) fn();
    return;
  }
  if (pending_ && now_ >= deadline_) on_timeout();
}

void EspFlasher::cancel() {
  std::lock_guard lk(mu_);
  if (done_) return;
  finish(false, "Cancelled");
}

EspFlasher::Pending* EspFlasher::send_command(Op op, const Bytes& payload, uint32_t checksum, int64_t timeout_ms,
                                              int retries, std::string what,
                                              std::function<void(const Response&)> on_ok) {
  // An event handler may have cancelled the run under our feet.
  if (done_) return nullptr;
  Pending p;
  p.op = op;
  p.frame = slip_encode(build_request(op, payload, checksum));
  p.timeout_ms = timeout_ms;
  p.retries_left = retries;
  p.what = std::move(what);
  p.on_ok = std::move(on_ok);
  pending_ = std::move(p);
  transmit();
  return &*pending_;
}

void EspFlasher::transmit() {
  deadline_ = now_ + pending_->timeout_ms;
  if (!cfg_.send_bytes) return;
  try {
    cfg_.send_bytes(pending_->frame);
  } catch (const std::exception& e) {
    // A write that failed looks like a lost frame: the time-out and retry handle it.
    diag::err(std::string("[esp_flash] write failed: ") + e.what());
  }
}

void EspFlasher::handle_frame(const Bytes& frame) {
  if (!pending_) return;
  auto r = parse_response(frame, status_len_);
  if (!r || r->op != pending_->op) return;
  if (!r->ok()) {
    if (pending_->on_error) {
      Pending p = std::move(*pending_);
      pending_.reset();
      p.on_error(*r);
      return;
    }
    if (pending_->retry_on_error) {
      if (pending_->retries_left > 0) {
        --pending_->retries_left;
        transmit();
        return;
      }
      if (pending_->on_exhausted) {
        Pending p = std::move(*pending_);
        pending_.reset();
        return p.on_exhausted();
      }
    }
    return fail(pending_->what + " failed: " + rom_error_text(r->error));
  }
  Pending p = std::move(*pending_);
  pending_.reset();
  p.on_ok(*r);
}

void EspFlasher::on_timeout() {
  if (pending_->retries_left > 0) {
    --pending_->retries_left;
    transmit();
    return;
  }
  Pending p = std::move(*pending_);
  pending_.reset();
  if (p.on_exhausted) return p.on_exhausted();
  fail("No answer from the board to " + p.what);
}

// --- connecting ---------------------------------------------------------------------------

void EspFlasher::run_reset(const char* key, const std::string& why) {
  auto it = cfg_.reset_funcs.find(key);
  if (it == cfg_.reset_funcs.end() || !it->second) {
    progress(Stage::Connecting, nullptr, 0, 0, 0,
             "Cannot " + why + ": the port cannot drive the reset lines. Hold BOOT and press RESET on the board.");
    return;
  }
  try {
    it->second();
  } catch (const std::exception& e) {
    diag::err(std::string("[esp_flash] ") + key + " failed: " + e.what());
    progress(Stage::Connecting, nullptr, 0, 0, 0,
             "Cannot " + why + " (" + e.what() + "). Hold BOOT and press RESET on the board.");
  } catch (...) {
    progress(Stage::Connecting, nullptr, 0, 0, 0, "Cannot " + why + ". Hold BOOT and press RESET on the board.");
  }
}

void EspFlasher::connect_attempt(int attempt) {
  const auto& t = cfg_.timings;
  if (attempt >= t.connect_attempts) {
    return fail("No answer from the ESP bootloader. Check the port, or hold BOOT and press RESET, then try again");
  }
  progress(Stage::Connecting, nullptr, 0, 0, 0, "Connecting (attempt " + std::to_string(attempt + 1) + ")");
  const std::string& iface = cfg_.options.interface;
  bool usb = iface == "usb" || (iface == "auto" && attempt % 2 == 1);
  run_reset(usb ? "enter_bootloader_usb" : "enter_bootloader_uart", "enter the bootloader");
  if (done_) return;  // cancelled from inside the reset action
  decoder_.reset();
  auto* sent = send_command(Op::Sync, sync_payload(), 0, t.sync_timeout_ms, t.syncs_per_attempt - 1, "SYNC",
               [this](const Response&) { detect_chip(); });
  if (!sent) return;
  // A SYNC the ROM could not read (its reply is an error) counts as a miss, not a failure.
  sent->retry_on_error = true;
  sent->on_exhausted = [this, attempt] { connect_attempt(attempt + 1); };
}

void EspFlasher::detect_chip() {
  const auto& t = cfg_.timings;
  send_command(Op::ReadReg, read_reg_payload(kChipDetectMagicReg), 0, t.command_timeout_ms, t.retries, "READ_REG",
               [this](const Response& r) {
                 if (const ChipInfo* c = chip_by_magic(r.value)) return chip_found(*c);
                 // Newer ROMs are told apart by the chip id of GET_SECURITY_INFO.
                 uint32_t magic = r.value;
                 const auto& t = cfg_.timings;
                 auto* sent = send_command(Op::GetSecurityInfo, {}, 0, t.command_timeout_ms, t.retries, "GET_SECURITY_INFO",
                              [this, magic](const Response& s) {
                                // flags, crypt count, key purposes, chip id, eco version, status
                                if (s.data.size() >= 20 + 2) {
                                  if (const ChipInfo* c = chip_by_id(get_u32(s.data.data() + 12)))
                                    return chip_found(*c);
                                }
                                fail("Unknown chip (detect value " + hex32(magic) + ")");
                              });
                 if (sent) sent->on_error = [this, magic](const Response&) {
                   fail("Unknown chip (detect value " + hex32(magic) + ")");
                 };
               });
}

void EspFlasher::chip_found(const ChipInfo& chip) {
  chip_ = &chip;
  status_len_ = chip.status_bytes;
  const auto& o = cfg_.options;
  if (o.chip != "auto" && o.chip != chip.key) {
    const ChipInfo* want = find_chip(o.chip);
    return fail("The board is an " + chip.name + ", not an " + (want ? want->name : o.chip));
  }
  flash_size_ = o.flash_size.empty() ? chip.default_flash_size : *parse_flash_size(o.flash_size);
  if (flash_size_ > chip.max_flash_size) return fail("Flash size " + o.flash_size + " is too large for " + chip.name);
  for (const auto& img : images_) {
    if (uint64_t(img.file.offset) + img.data.size() > flash_size_)
      return fail(img.name + " at " + hex32(img.file.offset) + " does not fit in " +
                  std::to_string(flash_size_ >> 20) + " MB of flash");
  }
  progress(Stage::Connecting, nullptr, 0, 0, 0, "Connected to " + chip.name);
  attach_and_configure();
}

void EspFlasher::attach_and_configure() {
  const auto& t = cfg_.timings;
  send_command(Op::SpiAttach, spi_attach_payload(), 0, t.command_timeout_ms, t.retries, "SPI_ATTACH",
               [this](const Response&) {
                 const auto& t = cfg_.timings;
                 send_command(Op::SpiSetParams, spi_set_params_payload(flash_size_), 0, t.command_timeout_ms,
                              t.retries, "SPI_SET_PARAMS", [this](const Response&) { change_baud(); });
               });
}

void EspFlasher::change_baud() {
  const auto& o = cfg_.options;
  if (!cfg_.set_baud || o.flash_baud == 0 || o.baud == 0 || o.flash_baud == o.baud) return after_setup();
  const auto& t = cfg_.timings;
  auto* sent = send_command(Op::ChangeBaudrate, change_baud_payload(o.flash_baud, 0), 0, t.command_timeout_ms, t.retries,
               "CHANGE_BAUDRATE", [this](const Response&) {
                 try {
                   cfg_.set_baud(cfg_.options.flash_baud);
                   baud_changed_ = true;
                 } catch (const std::exception& e) {
                   return fail(std::string("Cannot change the line rate: ") + e.what());
                 }
                 decoder_.reset();
                 // The ROM switches after its reply; give both ends a moment.
                 wake_at_ = now_ + cfg_.timings.baud_settle_ms;
                 wake_fn_ = [this] { after_setup(); };
               });
  // A ROM that refuses the rate is no reason to give up: write at the line's rate.
  if (sent) sent->on_error = [this](const Response&) { after_setup(); };
}

void EspFlasher::restore_baud() {
  if (!baud_changed_) return;
  baud_changed_ = false;
  try {
    cfg_.set_baud(cfg_.options.baud);
  } catch (const std::exception& e) {
    diag::err(std::string("[esp_flash] restoring the line rate failed: ") + e.what());
  }
}

void EspFlasher::after_setup() {
  if (cfg_.mode == "esp-erase-flash") return erase_all();
  begin_image(0);
}

// --- writing images -----------------------------------------------------------------------

void EspFlasher::begin_image(size_t index) {
  if (index >= images_.size()) return finish_images();
  Image& img = images_[index];
  const auto& t = cfg_.timings;
  last_percent_ = -1;
  progress(Stage::Erasing, &img, index, 0, img.data.size());
  uint32_t size = static_cast<uint32_t>(img.data.size());
  bool rom_word = chip_->rom_encrypt_word;
  if (cfg_.options.compress) {
    try {
      img.packed = deflate_image(img.data);
    } catch (const std::exception& e) {
      return fail(img.name + ": " + e.what());
    }
    used_deflate_ = true;
    uint32_t blocks = static_cast<uint32_t>((img.packed.size() + kRomWriteBlock - 1) / kRomWriteBlock);
    uint32_t erase = (size + kRomWriteBlock - 1) / kRomWriteBlock * kRomWriteBlock;
    send_command(Op::FlashDeflBegin, flash_begin_payload(erase, blocks, kRomWriteBlock, img.file.offset, rom_word), 0,
                 per_mb(t.erase_ms_per_mb, erase, t.command_timeout_ms), t.retries, "FLASH_DEFL_BEGIN",
                 [this, index](const Response&) { send_block(index, 0); });
  } else {
    used_raw_ = true;
    uint32_t blocks = (size + kRomWriteBlock - 1) / kRomWriteBlock;
    send_command(Op::FlashBegin, flash_begin_payload(size, blocks, kRomWriteBlock, img.file.offset, rom_word), 0,
                 per_mb(t.erase_ms_per_mb, size, t.command_timeout_ms), t.retries, "FLASH_BEGIN",
                 [this, index](const Response&) { send_block(index, 0); });
  }
}

void EspFlasher::send_block(size_t index, uint32_t seq) {
  Image& img = images_[index];
  const auto& t = cfg_.timings;
  bool packed = !img.packed.empty();
  const Bytes& src = packed ? img.packed : img.data;
  size_t blocks = (src.size() + kRomWriteBlock - 1) / kRomWriteBlock;
  uint64_t total = img.data.size();
  uint64_t done_bytes = std::min<uint64_t>(total, uint64_t(seq) * kRomWriteBlock * total / src.size());
  int percent = static_cast<int>(done_bytes * 100 / total);
  if (percent != last_percent_) {
    last_percent_ = percent;
    progress(Stage::Writing, &img, index, done_bytes, total);
  }
  if (seq >= blocks) return verify_image(index);

  size_t at = size_t(seq) * kRomWriteBlock;
  size_t n = std::min<size_t>(kRomWriteBlock, src.size() - at);
  Bytes block(src.begin() + static_cast<long>(at), src.begin() + static_cast<long>(at + n));
  if (!packed) block.resize(kRomWriteBlock, 0xFF);  // the ROM writes whole blocks
  Op op = packed ? Op::FlashDeflData : Op::FlashData;
  int64_t timeout = packed ? per_mb(t.write_ms_per_mb, kRomWriteBlock * 4, t.command_timeout_ms) : t.command_timeout_ms;
  auto* sent = send_command(op, flash_data_payload(block.data(), block.size(), seq), data_checksum(block.data(), block.size()),
               timeout, t.retries, std::string(op_name(op)) + " (block " + std::to_string(seq) + " of " + img.name + ")",
               [this, index, seq](const Response&) { send_block(index, seq + 1); });
  // A block the ROM found damaged on the line (checksum error) is sent again.
  if (sent) sent->retry_on_error = true;
}

void EspFlasher::verify_image(size_t index) {
  Image& img = images_[index];
  const auto& t = cfg_.timings;
  uint64_t total = img.data.size();
  progress(Stage::Verifying, &img, index, total, total);
  send_command(Op::SpiFlashMd5, md5_payload(img.file.offset, static_cast<uint32_t>(total)), 0,
               per_mb(t.md5_ms_per_mb, total, t.command_timeout_ms), t.retries, "SPI_FLASH_MD5",
               [this, index](const Response& r) {
                 Image& img = images_[index];
                 auto got = md5_from_response(r, status_len_);
                 if (!got) return fail("The board's MD5 answer for " + img.name + " is malformed");
                 if (*got != img.md5)
                   return fail("Verification of " + img.name + " at " + hex32(img.file.offset) +
                               " failed: flash MD5 " + *got + ", file MD5 " + img.md5);
                 img.packed.clear();
                 img.packed.shrink_to_fit();
                 begin_image(index + 1);
               });
}

void EspFlasher::finish_images() {
  const auto& t = cfg_.timings;
  // Leave the loader running (the line reset follows); a failed END does not undo images
  // that were already verified, so it only shows in a progress message.
  Op op = used_deflate_ ? Op::FlashDeflEnd : Op::FlashEnd;
  auto* sent = send_command(op, flash_end_payload(false), 0, t.command_timeout_ms, t.retries, op_name(op),
               [this](const Response&) { finish_ok(); });
  if (!sent) return;
  sent->on_error = [this, op](const Response& r) {
    progress(Stage::Verifying, nullptr, 0, 0, 0, std::string(op_name(op)) + " failed: " + rom_error_text(r.error));
    finish_ok();
  };
  sent->on_exhausted = [this] { finish_ok(); };
}

// --- erasing ------------------------------------------------------------------------------

void EspFlasher::erase_all() {
  const auto& t = cfg_.timings;
  progress(Stage::Erasing, nullptr, 0, 0, flash_size_);
  // A stub loader has ERASE_FLASH; the ROM loader answers it with an error or not at all.
  // One FLASH_BEGIN over the whole flash erases it on either.
  auto by_begin = [this] {
    const auto& t = cfg_.timings;
    send_command(Op::FlashBegin, flash_begin_payload(flash_size_, 0, kRomWriteBlock, 0, chip_->rom_encrypt_word), 0,
                 per_mb(t.erase_ms_per_mb, flash_size_, t.command_timeout_ms), t.retries, "FLASH_BEGIN",
                 [this](const Response&) {
                   used_raw_ = true;
                   verify_erase();
                 });
  };
  auto* sent = send_command(Op::EraseFlash, {}, 0, t.command_timeout_ms, 0, "ERASE_FLASH",
                            [this](const Response&) { verify_erase(); });
  if (!sent) return;
  sent->on_error = [by_begin](const Response&) { by_begin(); };
  sent->on_exhausted = by_begin;
}

void EspFlasher::verify_erase() {
  const auto& t = cfg_.timings;
  progress(Stage::Verifying, nullptr, 0, flash_size_, flash_size_);
  std::string want = md5_hex_fill(0xFF, flash_size_);
  send_command(Op::SpiFlashMd5, md5_payload(0, flash_size_), 0, per_mb(t.md5_ms_per_mb, flash_size_, t.command_timeout_ms),
               t.retries, "SPI_FLASH_MD5", [this, want](const Response& r) {
                 auto got = md5_from_response(r, status_len_);
                 if (!got) return fail("The board's MD5 answer is malformed");
                 if (*got != want) return fail("The flash is not blank after erasing");
                 if (used_raw_) return finish_images();
                 finish_ok();
               });
}

// --- the end ------------------------------------------------------------------------------

void EspFlasher::finish_ok() {
  restore_baud();
  if (cfg_.options.auto_reset_after) run_reset("hard_reset", "reset the board");
  if (!done_) finish(true, {});
}

void EspFlasher::fail(const std::string& reason) {
  diag::err("[esp_flash] " + reason);
  finish(false, reason);
}

void EspFlasher::finish(bool ok, const std::string& reason) {
  if (done_) return;
  pending_.reset();
  wake_at_.reset();
  wake_fn_ = nullptr;
  restore_baud();
  ok_ = ok;
  reason_ = reason;
  done_ = true;
  Json ev;
  ev["kind"] = "done";
  ev["protocol"] = protocol;
  ev["ok"] = ok;
  if (!ok) ev["reason"] = reason;
  if (chip_) ev["chip"] = chip_->key;
  emit(std::move(ev));
}

}  // namespace morvane::esp
