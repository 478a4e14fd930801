#include "platform/Graphics.h"

#include <array>

namespace tov {

namespace {

// Indexed by system colour index; values in TColor byte order (red lowest).
constexpr std::array<uint32_t, 31> kSystemColors = {
    0xC8C8C8,  //  0 scroll bar
    0x000000,  //  1 desktop
    0xD1B499,  //  2 active caption
    0xDBCDBF,  //  3 inactive caption
    0xF0F0F0,  //  4 menu
    0xFFFFFF,  //  5 window
    0x646464,  //  6 window frame
    0x000000,  //  7 menu text
    0x000000,  //  8 window text
    0x000000,  //  9 caption text
    0xB4B4B4,  // 10 active border
    0xFCF7F4,  // 11 inactive border
    0xABABAB,  // 12 application work space
    0xD77800,  // 13 highlight
    0xFFFFFF,  // 14 highlighted text
    0xF0F0F0,  // 15 button face
    0xA0A0A0,  // 16 button shadow
    0x6D6D6D,  // 17 grey text
    0x000000,  // 18 button text
    0x000000,  // 19 inactive caption text
    0xFFFFFF,  // 20 button highlight
    0x696969,  // 21 3-D dark shadow
    0xE3E3E3,  // 22 3-D light
    0x000000,  // 23 tool tip text
    0xE1FFFF,  // 24 tool tip background
    0x000000,  // 25 unused
    0xCC6600,  // 26 hot-tracked item
    0xEAD1B9,  // 27 active caption gradient
    0xF2E4D7,  // 28 inactive caption gradient
    0xD77800,  // 29 menu highlight
    0xF0F0F0,  // 30 menu bar
};

}  // namespace

uint32_t GetSysColor(int index) {
  if (index < 0 || index >= static_cast<int>(kSystemColors.size())) return 0;
  return kSystemColors[static_cast<size_t>(index)];
}

TColor ColorToRGB(TColor color) {
  if (color < 0) return static_cast<TColor>(GetSysColor(color & 0xFF));
  return color;
}

}  // namespace tov
