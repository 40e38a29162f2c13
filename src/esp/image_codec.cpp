// zlib and MD5 for flash images (see image_codec.h).
#include "esp/image_codec.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace morvane::esp {

Bytes deflate_image(const Bytes& image) {
  uLongf cap = compressBound(static_cast<uLong>(image.size()));
  Bytes out(cap);
  if (compress2(out.data(), &cap, image.data(), static_cast<uLong>(image.size()), 9) != Z_OK)
    throw std::runtime_error("compressing the image failed");
  out.resize(cap);
  return out;
}

namespace {

std::string to_hex(const unsigned char* digest, unsigned len) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace

std::string md5_hex(const uint8_t* data, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_Digest(data, size, digest, &len, EVP_md5(), nullptr)) throw std::runtime_error("MD5 failed");
  return to_hex(digest, len);
}

std::string md5_hex_fill(uint8_t byte, uint64_t size) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  Bytes chunk(64 * 1024, byte);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
  for (uint64_t left = size; ok && left > 0;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
    ok = EVP_DigestUpdate(ctx.get(), chunk.data(), n);
    left -= n;
  }
  if (!ok || !EVP_DigestFinal_ex(ctx.get(), digest, &len)) throw std::runtime_error("MD5 failed");
  return to_hex(digest, len);
}

}  // namespace morvane::esp
