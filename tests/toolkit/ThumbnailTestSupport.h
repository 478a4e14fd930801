// What the thumbnail tests need to look into a JPEG and to write work files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Bitmap.h"

namespace tov::test {

// Decodes a JPEG with libjpeg; an empty picture when it is not one.
BitmapPixels DecodeJpeg(const uint8_t* data, size_t size);

// What the JPEG's markers say about how it was encoded.
struct JpegLayout {
  bool baseline = false;     // SOF0, not progressive
  int components = 0;
  int precision = 0;         // bits a sample
  int width = 0;
  int height = 0;
  int first_luma_quant = 0;  // the first entry of quantisation table 0
};
JpegLayout ReadJpegLayout(const uint8_t* data, size_t size);

// Share of the pixels for which pred(r, g, b) holds, in a rectangle.
template <typename Pred>
double ShareOf(const BitmapPixels& p, int x0, int y0, int x1, int y1, Pred pred) {
  int hits = 0, all = 0;
  for (int y = y0; y < y1 && y < p.height; ++y) {
    for (int x = x0; x < x1 && x < p.width; ++x) {
      const uint8_t* px = &p.rgb[(static_cast<size_t>(y) * p.width + x) * 3];
      hits += pred(px[0], px[1], px[2]) ? 1 : 0;
      ++all;
    }
  }
  return all ? static_cast<double>(hits) / all : 0.0;
}

// The work file as a download thread writes it: the BASE line, then the page.
void WriteWorkFile(const std::string& path, const std::string& page);


}  // namespace tov::test
