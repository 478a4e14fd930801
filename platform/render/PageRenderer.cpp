#include "platform/render/PageRenderer.h"

#include <QImage>
#include <QPainter>
#include <cstring>
#include <exception>
#include <string>

#include "platform/render/QPainterContainer.h"
#include "platform/render/UserAgentStyle.h"

namespace tov {

namespace {

constexpr int kViewHeight = kDesktopWidth;  // a square, like the picture
// Only the top of a page shows, and the engine's work grows with the page: it
// lays out this much first, and more only while the cut would be in view.
constexpr size_t kFirstCut = 16 * 1024;
constexpr size_t kCutGrowth = 4;

// The longest prefix of at most n bytes that ends on a character boundary.
std::string_view Prefix(std::string_view utf8, size_t n) {
  if (n >= utf8.size()) return utf8;
  while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
  return utf8.substr(0, n);
}

// Whether the end of the document (where a cut page stops) lies inside a table:
// the rest of the page may then hold cells beside what is in view, and it
// sets the column widths.
bool EndsInsideTable(const litehtml::document& doc) {
  litehtml::element::ptr el = const_cast<litehtml::document&>(doc).root();
  while (el && el->get_children_count() > 0) {
    el = el->get_child(static_cast<int>(el->get_children_count() - 1));
  }
  for (; el; el = el->parent()) {
    if (el->get_display() == litehtml::display_table_cell) return true;
  }
  return false;
}

}  // namespace

struct TPageRenderer::Impl {
  Impl() : canvas(kDesktopWidth, kViewHeight, QImage::Format_RGB32), container(kDesktopWidth, kViewHeight) {
    context.load_master_stylesheet(kUserAgentStyle);
  }
  litehtml::context context;
  QImage canvas;
  QPainterContainer container;
};

TPageRenderer::TPageRenderer() : impl_(std::make_unique<Impl>()) {}
TPageRenderer::~TPageRenderer() = default;

void TPageRenderer::WarmUp() {
  BitmapPixels ignored;
  Render("<p>Warm <b>up</b> <i>fonts</i> <tt>now</tt></p>", 1, 1, ignored);
}

bool TPageRenderer::Render(std::string_view utf8_page, int width, int height, BitmapPixels& out) {
  try {
    litehtml::document::ptr doc;
    for (size_t cut = kFirstCut;; cut *= kCutGrowth) {
      std::string text(Prefix(utf8_page, cut));  // the engine reads a zero-terminated text
      doc.reset();
      doc = litehtml::document::createFromUTF8(text.c_str(), &impl_->container, &impl_->context);
      if (!doc) return false;
      doc->render(kDesktopWidth);
      if (text.size() == utf8_page.size()) break;
      if (doc->height() >= kViewHeight && !EndsInsideTable(*doc)) break;
    }

    impl_->canvas.fill(Qt::white);
    {
      QPainter painter(&impl_->canvas);
      impl_->container.BeginPaint(&painter);
      litehtml::position clip(0, 0, kDesktopWidth, kViewHeight);
      doc->draw(reinterpret_cast<litehtml::uint_ptr>(&painter), 0, 0, &clip);
      impl_->container.EndPaint();
    }
    doc.reset();

    QImage picture = impl_->canvas.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                         .convertToFormat(QImage::Format_RGB888);
    out.width = picture.width();
    out.height = picture.height();
    size_t row = static_cast<size_t>(out.width) * 3;
    out.rgb.resize(row * static_cast<size_t>(out.height));
    for (int y = 0; y < out.height; ++y) {
      std::memcpy(out.rgb.data() + row * static_cast<size_t>(y), picture.constScanLine(y), row);
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace tov
