// Request building and response parsing for the ESP ROM loader (layout in rom_protocol.h).
#include "esp/rom_protocol.h"

#include <cstdio>

namespace morvane::esp {

uint32_t data_checksum(const uint8_t* data, size_t size) {
  uint32_t c = kChecksumSeed;
  for (size_t i = 0; i < size; ++i) c ^= data[i];
  return c;
}

void put_u32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t get_u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

Bytes build_request(Op op, const Bytes& payload, uint32_t checksum) {
  Bytes out;
  out.reserve(8 + payload.size());
  out.push_back(0x00);
  out.push_back(static_cast<uint8_t>(op));
  out.push_back(static_cast<uint8_t>(payload.size()));
  out.push_back(static_cast<uint8_t>(payload.size() >> 8));
  put_u32(out, checksum);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes sync_payload() {
  Bytes p{0x07, 0x07, 0x12, 0x20};
  p.insert(p.end(), 32, 0x55);
  return p;
}

Bytes read_reg_payload(uint32_t addr) {
  Bytes p;
  put_u32(p, addr);
  return p;
}

Bytes flash_begin_payload(uint32_t erase_size, uint32_t blocks, uint32_t block_size, uint32_t offset,
                          bool rom_encrypt_word) {
  Bytes p;
  put_u32(p, erase_size);
  put_u32(p, blocks);
  put_u32(p, block_size);
  put_u32(p, offset);
  if (rom_encrypt_word) put_u32(p, 0);
  return p;
}

Bytes flash_data_payload(const uint8_t* block, size_t size, uint32_t seq) {
  Bytes p;
  p.reserve(16 + size);
  put_u32(p, static_cast<uint32_t>(size));
  put_u32(p, seq);
  put_u32(p, 0);
  put_u32(p, 0);
  p.insert(p.end(), block, block + size);
  return p;
}

Bytes flash_end_payload(bool reboot) {
  Bytes p;
  put_u32(p, reboot ? 0 : 1);  // the ROM's flag means "stay in the loader"
  return p;
}

Bytes spi_attach_payload() {
  // Default SPI pins, plus the word the ROM (not a stub) expects.
  Bytes p;
  put_u32(p, 0);
  put_u32(p, 0);
  return p;
}

Bytes spi_set_params_payload(uint32_t flash_size) {
  Bytes p;
  put_u32(p, 0);           // flash id
  put_u32(p, flash_size);  // total size
  put_u32(p, 64 * 1024);   // block size
  put_u32(p, 4 * 1024);    // sector size
  put_u32(p, 256);         // page size
  put_u32(p, 0xFFFF);      // status mask
  return p;
}

Bytes change_baud_payload(uint32_t new_baud, uint32_t old_baud) {
  Bytes p;
  put_u32(p, new_baud);
  put_u32(p, old_baud);
  return p;
}

Bytes md5_payload(uint32_t addr, uint32_t size) {
  Bytes p;
  put_u32(p, addr);
  put_u32(p, size);
  put_u32(p, 0);
  put_u32(p, 0);
  return p;
}

std::optional<Response> parse_response(const Bytes& frame, unsigned status_len) {
  if (frame.size() < 8 || frame[0] != 0x01) return std::nullopt;
  size_t len = size_t(frame[2]) | size_t(frame[3]) << 8;
  if (len != frame.size() - 8) return std::nullopt;
  Response r;
  r.op = static_cast<Op>(frame[1]);
  r.value = get_u32(frame.data() + 4);
  r.data.assign(frame.begin() + 8, frame.end());
  size_t n = status_len;
  if (n == 0) {
    // Chip not known yet: data parts are whole words, so the remainder tells the status size.
    if (len < 2) return std::nullopt;
    n = len <= 4 ? len : (len % 4 == 2 ? 2 : 4);
  }
  if (len < n || n < 2) return std::nullopt;
  r.status = r.data[len - n];
  r.error = r.data[len - n + 1];
  return r;
}

std::optional<std::string> md5_from_response(const Response& r, unsigned status_len) {
  size_t n = status_len ? status_len : 2;
  if (r.data.size() < n) return std::nullopt;
  size_t body = r.data.size() - n;
  static const char* hex = "0123456789abcdef";
  std::string out;
  if (body == 32) {
    for (size_t i = 0; i < 32; ++i) {
      char c = static_cast<char>(r.data[i]);
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
      out += c;
    }
    return out;
  }
  if (body == 16) {
    for (size_t i = 0; i < 16; ++i) {
      out += hex[r.data[i] >> 4];
      out += hex[r.data[i] & 15];
    }
    return out;
  }
  return std::nullopt;
}

std::string rom_error_text(uint8_t code) {
  const char* what = "unknown error";
  switch (code) {
    case 0x05: what = "message not understood"; break;
    case 0x06: what = "command failed"; break;
    case 0x07: what = "checksum error"; break;
    case 0x08: what = "flash write error"; break;
    case 0x09: what = "flash read error"; break;
    case 0x0A: what = "flash read length error"; break;
    case 0x0B: what = "deflate error"; break;
    default: break;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s (0x%02X)", what, code);
  return buf;
}

const char* op_name(Op op) {
  switch (op) {
    case Op::FlashBegin: return "FLASH_BEGIN";
    case Op::FlashData: return "FLASH_DATA";
    case Op::FlashEnd: return "FLASH_END";
    case Op::Sync: return "SYNC";
    case Op::WriteReg: return "WRITE_REG";
    case Op::ReadReg: return "READ_REG";
    case Op::SpiSetParams: return "SPI_SET_PARAMS";
    case Op::SpiAttach: return "SPI_ATTACH";
    case Op::ChangeBaudrate: return "CHANGE_BAUDRATE";
    case Op::FlashDeflBegin: return "FLASH_DEFL_BEGIN";
    case Op::FlashDeflData: return "FLASH_DEFL_DATA";
    case Op::FlashDeflEnd: return "FLASH_DEFL_END";
    case Op::SpiFlashMd5: return "SPI_FLASH_MD5";
    case Op::GetSecurityInfo: return "GET_SECURITY_INFO";
    case Op::EraseFlash: return "ERASE_FLASH";
  }
  return "command";
}

}  // namespace morvane::esp
