#include "platform/image_files.h"

#include <algorithm>
#include <array>

#include "util/base64.h"

namespace morvane::platform {

namespace {

uint32_t le32(std::string_view b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}
uint16_t le16(std::string_view b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

const std::array<uint32_t, 256>& crc_table() {
  static const std::array<uint32_t, 256> t = [] {
    std::array<uint32_t, 256> a{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      a[n] = c;
    }
    return a;
  }();
  return t;
}

uint32_t crc32(std::string_view data) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char ch : data) c = crc_table()[(c ^ ch) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void put_be32(std::string& out, uint32_t v) {
  out += static_cast<char>(v >> 24);
  out += static_cast<char>(v >> 16);
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v);
}

void put_chunk(std::string& out, const char* type, const std::string& data) {
  put_be32(out, static_cast<uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  out += body;
  put_be32(out, crc32(body));
}

}  // namespace

bool is_ico_image(std::string_view b) {
  if (b.size() < 6 + 16) return false;
  if (le16(b, 0) != 0 || le16(b, 2) != 1) return false;
  size_t count = le16(b, 4);
  if (count == 0 || b.size() < 6 + 16 * count) return false;
  uint32_t size = le32(b, 6 + 8);
  uint32_t offset = le32(b, 6 + 12);
  if (size < 8 || offset < 6 + 16 * count || offset > b.size() || size > b.size() - offset) return false;
  std::string_view img = b.substr(offset, size);
  static constexpr char kPng[] = "\x89PNG\r\n\x1a\n";
  if (img.substr(0, 8) == std::string_view(kPng, 8)) return true;
  // A bitmap image starts with its BITMAPINFOHEADER (40 bytes, width and height non-zero).
  return img.size() >= 40 && le32(img, 0) == 40 && le32(img, 4) != 0 && le32(img, 8) != 0;
}

std::string solid_png(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
  std::string raw;
  raw.reserve(static_cast<size_t>(height) * (1 + 3 * static_cast<size_t>(width)));
  for (int y = 0; y < height; ++y) {
    raw += '\0';  // filter type "none"
    for (int x = 0; x < width; ++x) {
      raw += static_cast<char>(r);
      raw += static_cast<char>(g);
      raw += static_cast<char>(b);
    }
  }
  // zlib stream of stored (uncompressed) deflate blocks: no compressor needed.
  std::string z = "\x78\x01";
  size_t pos = 0;
  do {
    size_t n = std::min<size_t>(raw.size() - pos, 65535);
    bool last = pos + n == raw.size();
    z += static_cast<char>(last ? 1 : 0);
    z += static_cast<char>(n & 0xFF);
    z += static_cast<char>(n >> 8);
    z += static_cast<char>(~n & 0xFF);
    z += static_cast<char>((~n >> 8) & 0xFF);
    z.append(raw, pos, n);
    pos += n;
  } while (pos < raw.size());
  uint32_t a = 1, s = 0;
  for (unsigned char ch : raw) {
    a = (a + ch) % 65521;
    s = (s + a) % 65521;
  }
  put_be32(z, s << 16 | a);

  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string ihdr;
  put_be32(ihdr, static_cast<uint32_t>(width));
  put_be32(ihdr, static_cast<uint32_t>(height));
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter set, no interlace
  put_chunk(png, "IHDR", ihdr);
  put_chunk(png, "IDAT", z);
  put_chunk(png, "IEND", "");
  return png;
}

std::string image_data_url(const std::string& file_name, std::string_view bytes) {
  auto dot = file_name.rfind('.');
  std::string type = dot == std::string::npos ? file_name : file_name.substr(dot + 1);
  for (char& c : type)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (type == "ico") type = "x-icon";
  return "data:image/" + type + ";base64," + base64::encode(bytes);
}

}  // namespace morvane::platform
