#pragma once
// The SSH-1 packet ciphers. 3DES is SSH-1's own inner-outer construction (three separate
// CBC chains, encrypt-decrypt-encrypt), not the EDE3-CBC of later protocols; Blowfish is
// CBC with each 32-bit word taken little-endian, as the original implementation did.
// One object per direction: each keeps its own chaining state.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace morvane::ssh1 {

// Cipher numbers of the protocol (bit positions of the server's supported-ciphers mask).
enum CipherId : int {
  kCipherNone = 0,
  kCipherDes = 2,
  kCipher3Des = 3,
  kCipherBlowfish = 6,
};

// "none", "3des", "blowfish"; "" for a cipher this client does not implement.
std::string cipher_name(int id);

class Cipher {
 public:
  virtual ~Cipher() = default;
  // In place; size is a multiple of 8 (the packet layer guarantees it).
  virtual void encrypt(uint8_t* data, size_t size) = 0;
  virtual void decrypt(uint8_t* data, size_t size) = 0;
};

// The cipher for `id` keyed from the 32-byte session key (3DES takes the first 24 bytes,
// Blowfish all 32), with zero IVs; null for an id this client does not implement.
std::unique_ptr<Cipher> make_cipher(int id, std::string_view session_key);
// The two constructions with keys of their own: 24 bytes for 3DES, 4 to 56 for Blowfish.
std::unique_ptr<Cipher> make_3des(std::string_view key);
std::unique_ptr<Cipher> make_blowfish(std::string_view key);

}  // namespace morvane::ssh1
