// SSH-1 ciphers on libcrypto's DES and Blowfish block functions. OpenSSL 3 keeps single DES
// and Blowfish out of its default provider, so the low-level (deprecated, still shipped)
// routines are used: they need no provider at run time.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "ssh1/cipher.h"

#include <openssl/blowfish.h>
#include <openssl/des.h>
#include <openssl/crypto.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace morvane::ssh1 {
namespace {

class TripleDes final : public Cipher {
 public:
  explicit TripleDes(std::string_view key) {
    for (int i = 0; i < 3; ++i) {
      DES_cblock k;
      std::memcpy(k, key.data() + 8 * i, 8);
      DES_set_key_unchecked(&k, &ks_[i]);
      std::memset(iv_[i], 0, 8);
    }
  }
  ~TripleDes() override { OPENSSL_cleanse(ks_, sizeof ks_); }
  void encrypt(uint8_t* d, size_t n) override {
    DES_ncbc_encrypt(d, d, static_cast<long>(n), &ks_[0], &iv_[0], DES_ENCRYPT);
    DES_ncbc_encrypt(d, d, static_cast<long>(n), &ks_[1], &iv_[1], DES_DECRYPT);
    DES_ncbc_encrypt(d, d, static_cast<long>(n), &ks_[2], &iv_[2], DES_ENCRYPT);
  }
  void decrypt(uint8_t* d, size_t n) override {
    DES_ncbc_encrypt(d, d, static_cast<long>(n), &ks_[2], &iv_[2], DES_DECRYPT);
    DES_ncbc_encrypt(d, d, static_cast<long>(n), &ks_[1], &iv_[1], DES_ENCRYPT);
    DES_ncbc_encrypt(d, d, static_cast<long>(n), &ks_[0], &iv_[0], DES_DECRYPT);
  }

 private:
  DES_key_schedule ks_[3];
  DES_cblock iv_[3];
};

void swap_words(uint8_t* d, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    std::swap(d[i], d[i + 3]);
    std::swap(d[i + 1], d[i + 2]);
  }
}

class Blowfish final : public Cipher {
 public:
  explicit Blowfish(std::string_view key) {
    BF_set_key(&ks_, static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(key.data()));
    std::memset(iv_, 0, sizeof iv_);
  }
  ~Blowfish() override { OPENSSL_cleanse(&ks_, sizeof ks_); }
  // The chaining state lives in the swapped order, so swapping around each call is exact.
  void encrypt(uint8_t* d, size_t n) override {
    swap_words(d, n);
    BF_cbc_encrypt(d, d, static_cast<long>(n), &ks_, iv_, BF_ENCRYPT);
    swap_words(d, n);
  }
  void decrypt(uint8_t* d, size_t n) override {
    swap_words(d, n);
    BF_cbc_encrypt(d, d, static_cast<long>(n), &ks_, iv_, BF_DECRYPT);
    swap_words(d, n);
  }

 private:
  BF_KEY ks_;
  unsigned char iv_[8];
};

}  // namespace

std::string cipher_name(int id) {
  switch (id) {
    case kCipherNone: return "none";
    case kCipher3Des: return "3des";
    case kCipherBlowfish: return "blowfish";
    default: return "";
  }
}

std::unique_ptr<Cipher> make_3des(std::string_view key) {
  if (key.size() != 24) throw std::invalid_argument("3DES key must be 24 bytes");
  return std::make_unique<TripleDes>(key);
}

std::unique_ptr<Cipher> make_blowfish(std::string_view key) {
  if (key.size() < 4 || key.size() > 56) throw std::invalid_argument("Blowfish key must be 4 to 56 bytes");
  return std::make_unique<Blowfish>(key);
}

std::unique_ptr<Cipher> make_cipher(int id, std::string_view key) {
  if (key.size() < 32) throw std::invalid_argument("SSH-1 session key must be 32 bytes");
  switch (id) {
    case kCipher3Des: return make_3des(key.substr(0, 24));
    case kCipherBlowfish: return make_blowfish(key.substr(0, 32));
    default: return nullptr;
  }
}

}  // namespace morvane::ssh1
