// The class library's small graphics records, as far as settings that are
// stored and read back need them: colours, and the attributes of a font, a pen
// and a brush. Nothing here draws; the window layers map these onto their own
// painting objects.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Bitmap.h"

namespace tov {

// A colour: red in the lowest byte, green in the next, blue in the third; the
// top byte 0 for a plain colour. Negative values name system colours, whose
// RGB value ColorToRGB gives.
using TColor = int32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clWhite = 0xFFFFFF;

// System colours: the system colour index in the low byte.
inline constexpr TColor SystemColor(int index) { return static_cast<TColor>(0xFF000000u | static_cast<uint32_t>(index)); }
inline constexpr TColor clWindow = SystemColor(5);
inline constexpr TColor clWindowText = SystemColor(8);
inline constexpr TColor clHighlight = SystemColor(13);
inline constexpr TColor clBtnFace = SystemColor(15);

// The RGB value of system colour index (0 to 30); 0 for any other index. Linux
// has no system colour scheme this layer could ask, so the values are those of
// a fixed light scheme.
uint32_t GetSysColor(int index);
// A system colour as its RGB value; any other colour unchanged.
TColor ColorToRGB(TColor color);

// Raster operations of a pen; pmCopy draws the pen's colour.
enum TPenMode : uint8_t {
  pmBlack, pmWhite, pmNop, pmNot, pmCopy, pmNotCopy, pmMergePenNot, pmMaskPenNot,
  pmMergeNotPen, pmMaskNotPen, pmMerge, pmNotMerge, pmMask, pmNotMask, pmXor, pmNotXor,
};
inline constexpr int PenModeCount = pmNotXor + 1;

enum TPenStyle : uint8_t {
  psSolid, psDash, psDot, psDashDot, psDashDotDot, psClear, psInsideFrame, psUserStyle, psAlternate,
};
inline constexpr int PenStyleCount = psAlternate + 1;

enum TBrushStyle : uint8_t {
  bsSolid, bsClear, bsHorizontal, bsVertical, bsFDiagonal, bsBDiagonal, bsCross, bsDiagCross,
};
inline constexpr int BrushStyleCount = bsDiagCross + 1;

enum TFontStyle : uint8_t { fsBold, fsItalic, fsUnderline, fsStrikeOut };

// A set of font styles.
class TFontStyles {
 public:
  bool Contains(TFontStyle style) const { return (bits_ & Bit(style)) != 0; }
  void Include(TFontStyle style) { bits_ = static_cast<uint8_t>(bits_ | Bit(style)); }
  void Exclude(TFontStyle style) { bits_ = static_cast<uint8_t>(bits_ & ~Bit(style)); }
  void Clear() { bits_ = 0; }
  bool Empty() const { return bits_ == 0; }
  bool operator==(const TFontStyles&) const = default;

 private:
  static uint8_t Bit(TFontStyle style) { return static_cast<uint8_t>(1u << style); }
  uint8_t bits_ = 0;
};

struct TFont {
  std::string Name = "Arial";
  TColor Color = clBlack;
  int32_t Size = 14;  // points
  TFontStyles Style;
};

struct TPen {
  TColor Color = clBlack;
  TPenMode Mode = pmCopy;
  TPenStyle Style = psSolid;
  int32_t Width = 1;
};

struct TBrush {
  TColor Color = clWhite;
  TBrushStyle Style = bsSolid;
  // A pattern picture that replaces the colour; not owned, null for none.
  const TBitmap* Bitmap = nullptr;
};

}  // namespace tov
