// The about box's picture: monitor/AboutPicture.jpg, compiled in.
#pragma once

#include <cstdint>
#include <span>

namespace tov {

std::span<const uint8_t> AboutPictureJpeg();

}  // namespace tov
