#include "platform/render/QPainterContainer.h"

#include <QPainterPath>
#include <QString>
#include <QStringList>
#include <algorithm>

namespace tov {

namespace {

constexpr int kDefaultFontSize = 16;
// Bounds for what a page may ask of the font engine: glyphs of absurd sizes
// cost time and memory far beyond what a thumbnail shows.
constexpr int kMinFontPixels = 1;
constexpr int kMaxFontPixels = 400;
constexpr size_t kMaxCachedWidths = 1 << 16;

QColor ToQColor(const litehtml::web_color& c) { return QColor(c.red, c.green, c.blue, c.alpha); }

QRect ToQRect(const litehtml::position& p) { return QRect(p.x, p.y, p.width, p.height); }

QPainter* PainterOf(litehtml::uint_ptr hdc) { return reinterpret_cast<QPainter*>(hdc); }

// "Arial, 'Helvetica Neue', sans-serif" as a family list and the style hint of
// its generic family, if it names one.
QStringList FamilyList(const char* face_name, QFont::StyleHint& hint) {
  QStringList families;
  hint = QFont::AnyStyle;
  for (QString part : QString::fromUtf8(face_name ? face_name : "").split(u',')) {
    part = part.trimmed();
    if (part.size() >= 2 && (part.front() == u'"' || part.front() == u'\'') && part.back() == part.front()) {
      part = part.mid(1, part.size() - 2).trimmed();
    }
    if (part.isEmpty()) continue;
    QString lower = part.toLower();
    if (hint == QFont::AnyStyle) {
      if (lower == u"serif") hint = QFont::Serif;
      if (lower == u"sans-serif") hint = QFont::SansSerif;
      if (lower == u"monospace") hint = QFont::Monospace;
      if (lower == u"cursive") hint = QFont::Cursive;
      if (lower == u"fantasy") hint = QFont::Fantasy;
    }
    families.append(part);
  }
  if (families.isEmpty()) families.append(QStringLiteral("serif"));
  return families;
}

}  // namespace

QPainterContainer::QPainterContainer(int view_width, int view_height)
    : view_width_(view_width), view_height_(view_height) {}

void QPainterContainer::BeginPaint(QPainter* painter) {
  painter_ = painter;
  clip_depth_ = 0;
}

void QPainterContainer::EndPaint() {
  while (clip_depth_ > 0) del_clip();
  painter_ = nullptr;
}

const QPainterContainer::Font* QPainterContainer::FontOf(litehtml::uint_ptr handle) const {
  auto it = fonts_.find(handle);
  return it == fonts_.end() ? nullptr : it->second.get();
}

litehtml::uint_ptr QPainterContainer::create_font(const litehtml::tchar_t* face_name, int size, int weight,
                                                  litehtml::font_style italic, unsigned int decoration,
                                                  litehtml::font_metrics* fm) {
  QFont::StyleHint hint;
  QFont qfont;
  qfont.setFamilies(FamilyList(face_name, hint));
  qfont.setStyleHint(hint);
  qfont.setPixelSize(std::clamp(size, kMinFontPixels, kMaxFontPixels));
  qfont.setWeight(static_cast<QFont::Weight>(std::clamp(weight, 100, 900)));
  qfont.setItalic(italic == litehtml::fontStyleItalic);
  qfont.setUnderline((decoration & litehtml::font_decoration_underline) != 0);
  qfont.setStrikeOut((decoration & litehtml::font_decoration_linethrough) != 0);
  qfont.setOverline((decoration & litehtml::font_decoration_overline) != 0);

  auto font = std::make_unique<Font>(qfont);
  if (fm) {
    fm->ascent = font->metrics.ascent();
    fm->descent = font->metrics.descent();
    fm->height = font->metrics.height();
    fm->x_height = font->metrics.xHeight();
    fm->draw_spaces = italic == litehtml::fontStyleItalic || decoration != 0;
  }
  auto handle = reinterpret_cast<litehtml::uint_ptr>(font.get());
  fonts_[handle] = std::move(font);
  return handle;
}

void QPainterContainer::delete_font(litehtml::uint_ptr font) { fonts_.erase(font); }

int QPainterContainer::text_width(const litehtml::tchar_t* text, litehtml::uint_ptr handle) {
  auto it = fonts_.find(handle);
  if (it == fonts_.end() || !text) return 0;
  Font& font = *it->second;
  std::string key(text);
  auto cached = font.widths.find(key);
  if (cached != font.widths.end()) return cached->second;
  int width = font.metrics.horizontalAdvance(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())));
  if (font.widths.size() >= kMaxCachedWidths) font.widths.clear();
  font.widths.emplace(std::move(key), width);
  return width;
}

void QPainterContainer::draw_text(litehtml::uint_ptr hdc, const litehtml::tchar_t* text, litehtml::uint_ptr handle,
                                  litehtml::web_color color, const litehtml::position& pos) {
  const Font* font = FontOf(handle);
  QPainter* p = PainterOf(hdc);
  if (!font || !p || !text) return;
  p->setFont(font->font);
  p->setPen(ToQColor(color));
  p->drawText(QPoint(pos.x, pos.bottom() - font->metrics.descent()), QString::fromUtf8(text));
}

int QPainterContainer::pt_to_px(int pt) const { return pt * 96 / 72; }

int QPainterContainer::get_default_font_size() const { return kDefaultFontSize; }

const litehtml::tchar_t* QPainterContainer::get_default_font_name() const { return "serif"; }

void QPainterContainer::draw_list_marker(litehtml::uint_ptr hdc, const litehtml::list_marker& marker) {
  QPainter* p = PainterOf(hdc);
  if (!p || !marker.image.empty()) return;  // marker images are not fetched
  QRect r = ToQRect(marker.pos);
  QColor color = ToQColor(marker.color);
  p->save();
  p->setRenderHint(QPainter::Antialiasing);
  switch (marker.marker_type) {
    case litehtml::list_style_type_circle:
      p->setPen(QPen(color, 1));
      p->setBrush(Qt::NoBrush);
      p->drawEllipse(r);
      break;
    case litehtml::list_style_type_disc:
      p->setPen(Qt::NoPen);
      p->setBrush(color);
      p->drawEllipse(r);
      break;
    case litehtml::list_style_type_square:
      p->fillRect(r, color);
      break;
    default:
      break;
  }
  p->restore();
}

void QPainterContainer::load_image(const litehtml::tchar_t*, const litehtml::tchar_t*, bool) {}

void QPainterContainer::get_image_size(const litehtml::tchar_t*, const litehtml::tchar_t*, litehtml::size& sz) {
  sz.width = 0;
  sz.height = 0;
}

void QPainterContainer::draw_background(litehtml::uint_ptr hdc, const litehtml::background_paint& bg) {
  QPainter* p = PainterOf(hdc);
  if (!p || bg.color.alpha == 0) return;  // background images are not fetched
  QColor color = ToQColor(bg.color);
  if (bg.is_root) {
    // The root's background covers the whole canvas, as in a browser window.
    p->fillRect(QRect(0, 0, view_width_, view_height_), color);
    return;
  }
  const litehtml::border_radiuses& r = bg.border_radius;
  int radius = std::max({r.top_left_x, r.top_right_x, r.bottom_left_x, r.bottom_right_x});
  if (radius <= 0) {
    p->fillRect(ToQRect(bg.clip_box), color);
    return;
  }
  p->save();
  p->setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(ToQRect(bg.clip_box), radius, radius);
  p->fillPath(path, color);
  p->restore();
}

void QPainterContainer::draw_borders(litehtml::uint_ptr hdc, const litehtml::borders& borders,
                                     const litehtml::position& pos, bool) {
  QPainter* p = PainterOf(hdc);
  if (!p) return;
  struct Side {
    const litehtml::border& border;
    QRect area;
    bool lit;  // top and left are the lit sides of an outset or ridge border
  };
  const Side sides[] = {
      {borders.top, QRect(pos.x, pos.y, pos.width, borders.top.width), true},
      {borders.bottom, QRect(pos.x, pos.bottom() - borders.bottom.width, pos.width, borders.bottom.width), false},
      {borders.left, QRect(pos.x, pos.y, borders.left.width, pos.height), true},
      {borders.right, QRect(pos.right() - borders.right.width, pos.y, borders.right.width, pos.height), false},
  };
  for (const Side& side : sides) {
    const litehtml::border& b = side.border;
    if (b.width <= 0 || b.style == litehtml::border_style_none || b.style == litehtml::border_style_hidden) continue;
    QColor color = ToQColor(b.color);
    switch (b.style) {
      case litehtml::border_style_inset:
      case litehtml::border_style_groove:
        color = side.lit ? color.darker(150) : color.lighter(130);
        break;
      case litehtml::border_style_outset:
      case litehtml::border_style_ridge:
        color = side.lit ? color.lighter(130) : color.darker(150);
        break;
      default:
        break;
    }
    if (b.style == litehtml::border_style_dotted || b.style == litehtml::border_style_dashed) {
      p->save();
      QPen pen(color, b.width, b.style == litehtml::border_style_dotted ? Qt::DotLine : Qt::DashLine);
      p->setPen(pen);
      QRectF a = side.area;
      bool horizontal = a.width() >= a.height();
      QPointF c = a.center();
      if (horizontal) {
        p->drawLine(QPointF(a.left(), c.y()), QPointF(a.right(), c.y()));
      } else {
        p->drawLine(QPointF(c.x(), a.top()), QPointF(c.x(), a.bottom()));
      }
      p->restore();
    } else {
      p->fillRect(side.area, color);
    }
  }
}

void QPainterContainer::set_caption(const litehtml::tchar_t*) {}
void QPainterContainer::set_base_url(const litehtml::tchar_t*) {}
void QPainterContainer::link(const std::shared_ptr<litehtml::document>&, const litehtml::element::ptr&) {}
void QPainterContainer::on_anchor_click(const litehtml::tchar_t*, const litehtml::element::ptr&) {}
void QPainterContainer::set_cursor(const litehtml::tchar_t*) {}

void QPainterContainer::transform_text(litehtml::tstring& text, litehtml::text_transform tt) {
  QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  switch (tt) {
    case litehtml::text_transform_uppercase:
      s = s.toUpper();
      break;
    case litehtml::text_transform_lowercase:
      s = s.toLower();
      break;
    case litehtml::text_transform_capitalize:
      if (!s.isEmpty()) s[0] = s[0].toUpper();
      break;
    default:
      return;
  }
  text = s.toStdString();
}

// Style sheets a page links or imports are not fetched.
void QPainterContainer::import_css(litehtml::tstring&, const litehtml::tstring&, litehtml::tstring&) {}

void QPainterContainer::set_clip(const litehtml::position& pos, const litehtml::border_radiuses&, bool valid_x,
                                 bool valid_y) {
  if (!painter_) return;
  QRect r = ToQRect(pos);
  if (!valid_x) {
    r.setLeft(0);
    r.setWidth(view_width_);
  }
  if (!valid_y) {
    r.setTop(0);
    r.setHeight(view_height_);
  }
  painter_->save();
  painter_->setClipRect(r, Qt::IntersectClip);
  ++clip_depth_;
}

void QPainterContainer::del_clip() {
  if (!painter_ || clip_depth_ == 0) return;
  painter_->restore();
  --clip_depth_;
}

void QPainterContainer::get_client_rect(litehtml::position& client) const {
  client = litehtml::position(0, 0, view_width_, view_height_);
}

std::shared_ptr<litehtml::element> QPainterContainer::create_element(const litehtml::tchar_t*,
                                                                     const litehtml::string_map&,
                                                                     const std::shared_ptr<litehtml::document>&) {
  return nullptr;
}

void QPainterContainer::get_media_features(litehtml::media_features& media) const {
  media.type = litehtml::media_type_screen;
  media.width = view_width_;
  media.height = view_height_;
  media.device_width = view_width_;
  media.device_height = view_height_;
  media.color = 8;
  media.color_index = 256;
  media.monochrome = 0;
  media.resolution = 96;
}

void QPainterContainer::get_language(litehtml::tstring& language, litehtml::tstring& culture) const {
  language = "en";
  culture.clear();
}

}  // namespace tov
