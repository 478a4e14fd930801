// A picture as a bitmap handle carries it, and the class library's bitmap
// object that takes such a handle over.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace tov {

// 24-bit colour pixels, red, green and blue bytes, rows top to bottom without padding.
struct BitmapPixels {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// A bitmap handle: whoever holds it owns the picture.
using HBITMAP = std::unique_ptr<BitmapPixels>;

// Holds one picture at a time; handing it a new handle frees the one before.
class TBitmap {
 public:
  void SetHandle(HBITMAP handle) { handle_ = std::move(handle); }
  const BitmapPixels* Handle() const { return handle_.get(); }
  bool Empty() const { return !handle_ || handle_->width <= 0 || handle_->height <= 0; }
  int Width() const { return handle_ ? handle_->width : 0; }
  int Height() const { return handle_ ? handle_->height : 0; }

 private:
  HBITMAP handle_;
};

}  // namespace tov
