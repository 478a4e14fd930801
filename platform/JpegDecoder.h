// JPEG pictures decoded with libjpeg into 24-bit pixels. No Qt: the windows
// turn the pixels into their own images.
#pragma once

#include <cstdint>
#include <span>

#include "platform/Bitmap.h"

namespace tov {

// The picture in bytes, as red, green and blue; an empty picture (width and
// height 0) when bytes hold no whole JPEG that libjpeg can read, or one larger
// than kMaxJpegPixels. Grey pictures come out as RGB too.
BitmapPixels DecodeJpeg(std::span<const uint8_t> bytes);

constexpr uint64_t kMaxJpegPixels = 64ull * 1024 * 1024;

}  // namespace tov
