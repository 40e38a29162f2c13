#pragma once
// The SSH-1 binary packet, byte-in/byte-out:
//   uint32 length (type + data + CRC), 1..8 bytes of padding (to a multiple of 8),
//   byte type, data, uint32 CRC-32 (SSH-1's uninverted form) over padding, type and data.
// Everything after the length is encrypted once a cipher is set. The reader takes bytes in
// any split, never reads past what it holds, and refuses a length over 256 KiB before it
// keeps anything of that size, so a hostile peer cannot make it allocate without bound.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ssh1/cipher.h"

namespace morvane::ssh1 {

// Largest length field accepted, as the protocol's own implementations cap it.
constexpr uint32_t kMaxPacketLength = 256 * 1024;

// Message types the client sends or understands.
enum MsgType : uint8_t {
  SSH_MSG_NONE = 0,
  SSH_MSG_DISCONNECT = 1,
  SSH_SMSG_PUBLIC_KEY = 2,
  SSH_CMSG_SESSION_KEY = 3,
  SSH_CMSG_USER = 4,
  SSH_CMSG_AUTH_PASSWORD = 9,
  SSH_CMSG_REQUEST_PTY = 10,
  SSH_CMSG_WINDOW_SIZE = 11,
  SSH_CMSG_EXEC_SHELL = 12,
  SSH_CMSG_EXEC_CMD = 13,
  SSH_SMSG_SUCCESS = 14,
  SSH_SMSG_FAILURE = 15,
  SSH_CMSG_STDIN_DATA = 16,
  SSH_SMSG_STDOUT_DATA = 17,
  SSH_SMSG_STDERR_DATA = 18,
  SSH_CMSG_EOF = 19,
  SSH_SMSG_EXITSTATUS = 20,
  SSH_MSG_IGNORE = 32,
  SSH_CMSG_EXIT_CONFIRMATION = 33,
  SSH_MSG_DEBUG = 36,
};

// A broken packet or message: the connection cannot go on after it.
struct ProtocolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Packet {
  uint8_t type = 0;
  std::string data;
};

// Fills a buffer with random bytes (padding, session key, camouflage).
using RandomFn = std::function<void(uint8_t*, size_t)>;
RandomFn default_random();

class PacketWriter {
 public:
  explicit PacketWriter(RandomFn random) : random_(std::move(random)) {}
  void set_cipher(std::unique_ptr<Cipher> c) { cipher_ = std::move(c); }
  bool encrypting() const { return cipher_ != nullptr; }
  // The whole packet on the wire. Padding is random once encrypting, zero before.
  std::string build(uint8_t type, std::string_view data);

 private:
  RandomFn random_;
  std::unique_ptr<Cipher> cipher_;
};

class PacketReader {
 public:
  void set_cipher(std::unique_ptr<Cipher> c) { cipher_ = std::move(c); }
  void feed(std::string_view bytes) { buf_.append(bytes); }
  // The next complete packet, or nothing until more bytes arrive. Throws ProtocolError on a
  // bad length or CRC; after that the reader stays failed.
  std::optional<Packet> next();
  size_t buffered() const { return buf_.size() - pos_; }

 private:
  std::unique_ptr<Cipher> cipher_;
  std::string buf_;
  size_t pos_ = 0;
  std::string failed_;
};

// Field writers and a bounds-checked field reader for message data.
void put_u32(std::string& out, uint32_t v);
void put_string(std::string& out, std::string_view s);
// Multiple-precision integer: uint16 bit count, then the big-endian magnitude bytes.
void put_mpint(std::string& out, std::string_view magnitude);

class FieldReader {
 public:
  explicit FieldReader(std::string_view data) : d_(data) {}
  FieldReader(std::string&&) = delete;  // it only views: a temporary would dangle
  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  std::string_view bytes(size_t n);
  std::string_view string();  // uint32 length + bytes
  std::string_view mpint();   // the magnitude bytes, leading zero bytes stripped
  bool at_end() const { return p_ == d_.size(); }

 private:
  std::string_view d_;
  size_t p_ = 0;
};

}  // namespace morvane::ssh1
