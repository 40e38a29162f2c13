#pragma once
// Small image-file facts the desktop services need, without an image library.
#include <cstdint>
#include <string>
#include <string_view>

namespace morvane::platform {

// True when bytes are an icon file (.ico) whose first image lies inside the file and is a
// PNG or a device-independent bitmap: what an image loader would open.
bool is_ico_image(std::string_view bytes);

// A PNG file of a width x height square in one RGB colour (8-bit, no alpha).
std::string solid_png(int width, int height, uint8_t r, uint8_t g, uint8_t b);

// "data:image/TYPE;base64,...": TYPE is the file name's extension after the last dot in
// lower case, "ico" being "x-icon".
std::string image_data_url(const std::string& file_name, std::string_view bytes);

}  // namespace morvane::platform
