// SSH-1 packet framing and message fields. Lengths are checked before any bytes are kept or
// copied for them; a broken packet fails the reader for good, since the stream cannot be
// resynchronised after it.
#include "ssh1/packet.h"

#include <openssl/rand.h>

#include "ssh1/crc32.h"
#include "ssh1/deattack.h"

namespace morvane::ssh1 {
namespace {

uint32_t get_u32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

RandomFn default_random() {
  return [](uint8_t* p, size_t n) {
    if (n && RAND_bytes(p, static_cast<int>(n)) != 1) throw std::runtime_error("no random bytes available");
  };
}

void put_u32(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v >> 24));
  out.push_back(static_cast<char>(v >> 16));
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

void put_string(std::string& out, std::string_view s) {
  put_u32(out, static_cast<uint32_t>(s.size()));
  out.append(s);
}

void put_mpint(std::string& out, std::string_view mag) {
  while (!mag.empty() && mag.front() == '\0') mag.remove_prefix(1);
  uint32_t bits = static_cast<uint32_t>(mag.size()) * 8;
  if (!mag.empty())
    for (uint8_t top = static_cast<uint8_t>(mag.front()); !(top & 0x80); top <<= 1) --bits;
  out.push_back(static_cast<char>(bits >> 8));
  out.push_back(static_cast<char>(bits));
  out.append(mag);
}

std::string PacketWriter::build(uint8_t type, std::string_view data) {
  if (data.size() > kMaxPacketLength - 5) throw ProtocolError("packet too large to send");
  uint32_t len = static_cast<uint32_t>(data.size()) + 5;
  size_t pad = 8 - (len % 8);
  std::string out;
  out.reserve(4 + pad + len);
  put_u32(out, len);
  out.append(pad, '\0');
  if (cipher_) random_(reinterpret_cast<uint8_t*>(out.data() + 4), pad);
  out.push_back(static_cast<char>(type));
  out.append(data);
  auto* body = reinterpret_cast<uint8_t*>(out.data() + 4);
  put_u32(out, ssh1_crc32(body, pad + 1 + data.size()));
  body = reinterpret_cast<uint8_t*>(out.data() + 4);
  if (cipher_) cipher_->encrypt(body, out.size() - 4);
  return out;
}

std::optional<Packet> PacketReader::next() {
  if (!failed_.empty()) throw ProtocolError(failed_);
  if (buffered() < 4) return std::nullopt;
  const auto* p = reinterpret_cast<const uint8_t*>(buf_.data() + pos_);
  uint32_t len = get_u32(p);
  if (len < 5 || len > kMaxPacketLength) {
    failed_ = "bad packet length " + std::to_string(len);
    throw ProtocolError(failed_);
  }
  size_t pad = 8 - (len % 8);
  size_t body = pad + len;
  if (buffered() < 4 + body) return std::nullopt;
  std::string block(buf_, pos_ + 4, body);
  pos_ += 4 + body;
  if (pos_ > 64 * 1024 || pos_ == buf_.size()) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  auto* b = reinterpret_cast<uint8_t*>(block.data());
  // Checked on the cipher text, before decryption can be steered by repeated blocks.
  if (cipher_ && crc_compensation_attack(b, body)) {
    failed_ = "CRC-32 compensation attack detected (repeated cipher blocks)";
    throw ProtocolError(failed_);
  }
  if (cipher_) cipher_->decrypt(b, body);
  uint32_t want = get_u32(b + body - 4);
  if (ssh1_crc32(b, body - 4) != want) {
    failed_ = "packet CRC mismatch (corrupted data or wrong key)";
    throw ProtocolError(failed_);
  }
  Packet pk;
  pk.type = b[pad];
  pk.data.assign(block, pad + 1, len - 5);
  return pk;
}

uint8_t FieldReader::u8() { return static_cast<uint8_t>(bytes(1)[0]); }

uint16_t FieldReader::u16() {
  auto b = bytes(2);
  return static_cast<uint16_t>((uint8_t(b[0]) << 8) | uint8_t(b[1]));
}

uint32_t FieldReader::u32() { return get_u32(reinterpret_cast<const uint8_t*>(bytes(4).data())); }

std::string_view FieldReader::bytes(size_t n) {
  if (n > d_.size() - p_) throw ProtocolError("message truncated");
  auto s = d_.substr(p_, n);
  p_ += n;
  return s;
}

std::string_view FieldReader::string() { return bytes(u32()); }

std::string_view FieldReader::mpint() {
  size_t bits = u16();
  auto mag = bytes((bits + 7) / 8);
  while (!mag.empty() && mag.front() == '\0') mag.remove_prefix(1);
  return mag;
}

}  // namespace morvane::ssh1
