// The class library's JPEG image: takes a bitmap's picture and compresses it
// with libjpeg. Every setting but the quality stays at its default: colour,
// 24 bits a pixel, baseline (not progressive).
#pragma once

#include <string>

#include "platform/Bitmap.h"
#include "platform/SysUtils.h"

namespace tov {

// Raised for a picture the encoder cannot take and for errors inside libjpeg.
TOV_DECLARE_EXCEPTION(EJPEG, Exception);

class TJPEGImage {
 public:
  // 1 to 100; 90 until set.
  void SetCompressionQuality(int quality) { quality_ = quality; }
  int CompressionQuality() const { return quality_; }
  // Takes a copy of the bitmap's picture.
  void Assign(const TBitmap& bitmap);
  // Encodes the picture taken last; raises EJPEG.
  void Compress();
  // The encoded image, written to the stream from its start.
  void SaveToStream(std::string& stream) const { stream = data_; }

 private:
  int quality_ = 90;
  BitmapPixels picture_;
  std::string data_;
};

}  // namespace tov
