// Lays out a page with litehtml at desktop width, paints the top square of it
// as a browser window would show it, and scales that to a small picture. The
// process must have its QGuiApplication, and the renderer is used on the
// thread that made it.
#pragma once

#include <memory>
#include <string_view>

#include "platform/Bitmap.h"

namespace tov {

constexpr int kDesktopWidth = 1024;

class TPageRenderer {
 public:
  TPageRenderer();
  ~TPageRenderer();
  TPageRenderer(const TPageRenderer&) = delete;
  TPageRenderer& operator=(const TPageRenderer&) = delete;

  // Loads the fonts once, so the first page costs no more than the others.
  void WarmUp();
  // utf8_page is UTF-8 without zero bytes. False when the layout engine gave
  // no document or failed on the page.
  bool Render(std::string_view utf8_page, int width, int height, BitmapPixels& out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tov
