// The emulated ROM loader (see rom_emulator.h).
#include "rom_emulator.h"

#include <openssl/evp.h>

#include <cstring>

namespace morvane::esp::test {

namespace {

uint32_t u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

constexpr uint8_t kInvalid = 0x05, kFailed = 0x06, kBadCrc = 0x07, kWriteErr = 0x08, kInflateErr = 0x0B;

}  // namespace

EmulatedRom::EmulatedRom(RomChip chip, uint32_t flash_size) : chip_(chip) {
  // Not blank: an image that was never written shows up in the MD5.
  flash.resize(flash_size);
  for (size_t i = 0; i < flash.size(); ++i) flash[i] = uint8_t(i * 31 + 7);
}

EmulatedRom::~EmulatedRom() {
  if (zs_open_) inflateEnd(&zs_);
}

void EmulatedRom::enter_download_mode() {
  in_download = true;
  in_frame_ = false;
  frame_.clear();
  const char* banner =
      "ets Jun  8 2016 00:22:57\r\n\r\nrst:0x1 (POWERON_RESET),boot:0x3 (DOWNLOAD_BOOT(UART0/UART1/SDIO_REI_REO_V2))\r\n"
      "waiting for download\r\n";
  out_.insert(out_.end(), banner, banner + std::strlen(banner));
}

void EmulatedRom::hard_reset() {
  ++hard_resets;
  in_download = false;
  writing_ = false;
  baud = 0;
  const char* banner = "ets Jun  8 2016 00:22:57\r\n\r\nrst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n";
  out_.insert(out_.end(), banner, banner + std::strlen(banner));
}

Bytes EmulatedRom::take_output() {
  Bytes b;
  b.swap(out_);
  return b;
}

void EmulatedRom::receive(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    uint8_t c = data[i];
    if (c == 0xC0) {
      if (in_frame_ && !frame_.empty() && in_download) command(frame_);
      frame_.clear();
      in_frame_ = true;
      esc_ = false;
    } else if (!in_frame_) {
    } else if (esc_) {
      esc_ = false;
      frame_.push_back(c == 0xDC ? 0xC0 : c == 0xDD ? 0xDB : 0x00);
    } else if (c == 0xDB) {
      esc_ = true;
    } else {
      frame_.push_back(c);
    }
  }
}

void EmulatedRom::reply(uint8_t op, uint32_t value, const Bytes& body, uint8_t error) {
  if (drop_responses > 0) {
    --drop_responses;
    return;
  }
  Bytes pkt{0x01, op};
  Bytes data = body;
  data.push_back(error ? 1 : 0);
  data.push_back(error);
  for (unsigned i = 2; i < chip_.status_bytes; ++i) data.push_back(0);
  pkt.push_back(uint8_t(data.size()));
  pkt.push_back(uint8_t(data.size() >> 8));
  put32(pkt, value);
  pkt.insert(pkt.end(), data.begin(), data.end());
  if (corrupt_responses > 0) {
    --corrupt_responses;
    pkt[2] ^= 0x10;  // length field no longer matches the frame
  }
  out_.push_back(0xC0);
  for (uint8_t c : pkt) {
    if (c == 0xC0) {
      out_.push_back(0xDB);
      out_.push_back(0xDC);
    } else if (c == 0xDB) {
      out_.push_back(0xDB);
      out_.push_back(0xDD);
    } else {
      out_.push_back(c);
    }
  }
  out_.push_back(0xC0);
}

void EmulatedRom::erase(uint64_t offset, uint64_t size) {
  uint64_t from = offset / 4096 * 4096;
  uint64_t to = std::min<uint64_t>((offset + size + 4095) / 4096 * 4096, flash.size());
  for (uint64_t i = from; i < to; ++i) flash[i] = 0xFF;
}

bool EmulatedRom::write(uint64_t at, const uint8_t* p, size_t n) {
  if (at + n > flash.size()) return false;
  // NOR flash only clears bits: writing over unerased data corrupts it, as on the chip.
  for (size_t i = 0; i < n; ++i) flash[at + i] &= p[i];
  return true;
}

void EmulatedRom::command(const Bytes& pkt) {
  if (stall_after_commands == 0) return;
  if (stall_after_commands > 0) --stall_after_commands;
  if (pkt.size() < 8 || pkt[0] != 0x00) return;
  uint8_t op = pkt[1];
  size_t len = pkt[2] | pkt[3] << 8;
  if (len != pkt.size() - 8) return reply(op, 0, {}, kInvalid);
  uint32_t checksum = u32(&pkt[4]);
  const uint8_t* d = pkt.data() + 8;
  ops.push_back(op);
  if (garbage) {
    Bytes noise(1 + rng_() % 40);
    for (auto& b : noise) b = uint8_t(rng_());
    out_.insert(out_.end(), noise.begin(), noise.end());
    Bytes broken{0xC0, 0x01, op, 0x04, 0x00, 0xDB, 0x01, 0xC0, 0xC0, 0x01, op, 0xFF};
    out_.insert(out_.end(), broken.begin(), broken.end());
    return;
  }
  switch (op) {
    case 0x08: {  // SYNC
      static const uint8_t want[4] = {0x07, 0x07, 0x12, 0x20};
      if (len != 36 || std::memcmp(d, want, 4) != 0) return reply(op, 0, {}, kInvalid);
      for (size_t i = 4; i < 36; ++i)
        if (d[i] != 0x55) return reply(op, 0, {}, kInvalid);
      if (reject_syncs > 0) {
        --reject_syncs;
        return reply(op, 0, {}, kInvalid);
      }
      ++syncs;
      for (int i = 0; i < 8; ++i) reply(op, 0, {}, 0);  // the ROM answers a SYNC several times
      return;
    }
    case 0x0A:  // READ_REG
      if (len != 4) return reply(op, 0, {}, kInvalid);
      return reply(op, u32(d) == 0x40001000 ? chip_.magic : 0, {}, 0);
    case 0x14: {  // GET_SECURITY_INFO
      if (chip_.chip_id < 0) return reply(op, 0, {}, kInvalid);
      Bytes info;
      put32(info, 0);
      info.insert(info.end(), 8, 0);
      put32(info, uint32_t(chip_.chip_id));
      put32(info, 0);
      return reply(op, 0, info, 0);
    }
    case 0x0D:  // SPI_ATTACH
      if (len != 8) return reply(op, 0, {}, kInvalid);
      attached = true;
      return reply(op, 0, {}, 0);
    case 0x0B:  // SPI_SET_PARAMS
      if (len != 24) return reply(op, 0, {}, kInvalid);
      spi_flash_size = u32(d + 4);
      return reply(op, 0, {}, 0);
    case 0x0F:  // CHANGE_BAUDRATE
      if (len != 8 || refuse_baud) return reply(op, 0, {}, kFailed);
      reply(op, 0, {}, 0);
      baud = u32(d);
      return;
    case 0x02:    // FLASH_BEGIN
    case 0x10: {  // FLASH_DEFL_BEGIN
      size_t want = chip_.begin_has_fifth_word ? 20 : 16;
      if (len != want || !attached) return reply(op, 0, {}, kInvalid);
      uint32_t erase_size = u32(d), blocks = u32(d + 4), block = u32(d + 8), offset = u32(d + 12);
      if (uint64_t(offset) + erase_size > flash.size() || (blocks && block == 0)) return reply(op, 0, {}, kFailed);
      erase(offset, erase_size);
      writing_ = true;
      deflate_ = op == 0x10;
      begin_offset_ = offset;
      block_size_ = block;
      next_seq_ = 0;
      write_at_ = offset;
      if (zs_open_) inflateEnd(&zs_);
      zs_open_ = false;
      if (deflate_) {
        zs_ = z_stream{};
        inflateInit(&zs_);
        zs_open_ = true;
      }
      return reply(op, 0, {}, 0);
    }
    case 0x03:    // FLASH_DATA
    case 0x11: {  // FLASH_DEFL_DATA
      if (!writing_ || (op == 0x11) != deflate_ || len < 16) return reply(op, 0, {}, kInvalid);
      uint32_t size = u32(d), seq = u32(d + 4);
      if (size != len - 16) return reply(op, 0, {}, kInvalid);
      uint32_t sum = 0xEF;
      for (size_t i = 0; i < size; ++i) sum ^= d[16 + i];
      if (damage_data_blocks > 0) {
        --damage_data_blocks;
        sum ^= 0x5A;
      }
      if (sum != checksum) {
        ++checksum_errors;
        return reply(op, 0, {}, kBadCrc);
      }
      if (seq + 1 == next_seq_) {
        ++duplicate_blocks;  // our earlier reply was lost: the block is already written
        return reply(op, 0, {}, 0);
      }
      if (seq != next_seq_) return reply(op, 0, {}, kFailed);
      ++data_blocks;
      if (!deflate_) {
        if (!write(begin_offset_ + uint64_t(seq) * block_size_, d + 16, size)) return reply(op, 0, {}, kWriteErr);
      } else {
        zs_.next_in = const_cast<uint8_t*>(d + 16);
        zs_.avail_in = size;
        uint8_t buf[4096];
        while (zs_.avail_in > 0) {
          zs_.next_out = buf;
          zs_.avail_out = sizeof buf;
          int rc = inflate(&zs_, Z_NO_FLUSH);
          if (rc != Z_OK && rc != Z_STREAM_END) return reply(op, 0, {}, kInflateErr);
          size_t n = sizeof buf - zs_.avail_out;
          if (!write(write_at_, buf, n)) return reply(op, 0, {}, kWriteErr);
          write_at_ += n;
          if (rc == Z_STREAM_END) break;
        }
      }
      ++next_seq_;
      return reply(op, 0, {}, 0);
    }
    case 0x04:  // FLASH_END
    case 0x12:  // FLASH_DEFL_END
      writing_ = false;
      if (len != 4) return reply(op, 0, {}, kInvalid);
      reply(op, 0, {}, 0);
      if (u32(d) == 0) hard_reset();
      return;
    case 0x13: {  // SPI_FLASH_MD5
      if (len != 16) return reply(op, 0, {}, kInvalid);
      uint64_t addr = u32(d), size = u32(d + 4);
      if (addr + size > flash.size()) return reply(op, 0, {}, kFailed);
      unsigned char md[16];
      unsigned int mdlen = 0;
      EVP_Digest(flash.data() + addr, size, md, &mdlen, EVP_md5(), nullptr);
      Bytes hex;
      const char* digits = "0123456789abcdef";
      for (unsigned i = 0; i < mdlen; ++i) {
        hex.push_back(uint8_t(digits[md[i] >> 4]));
        hex.push_back(uint8_t(digits[md[i] & 15]));
      }
      return reply(op, 0, hex, 0);
    }
    case 0xD0:  // ERASE_FLASH: only a stub loader has it
      if (!has_erase_command && ignore_unknown) return;
      if (!has_erase_command) return reply(op, 0, {}, kInvalid);
      erase(0, flash.size());
      return reply(op, 0, {}, 0);
    default:
      return reply(op, 0, {}, kInvalid);
  }
}

}  // namespace morvane::esp::test
