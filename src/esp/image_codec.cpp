// zlib and MD5 for flash images (see image_codec.h).
#include "esp/image_codec.h"

#include <openssl/evp.h>
#include <zlib.h>

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

std::string md5_hex(const uint8_t* data, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_Digest(data, size, digest, &len, EVP_md5(), nullptr)) throw std::runtime_error("MD5 failed");
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace morvane::esp
