// The layout engine's drawing side over QPainter: fonts and text measuring with
// Qt's fonts, text, backgrounds, borders and list markers painted onto the
// painter that draw() is handed. Nothing is fetched: images, style sheets and
// frames a page refers to are left out. Lives in the render helper only, on its
// main thread (Qt's fonts want the GUI thread).
#pragma once

#include <litehtml/litehtml.h>

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <memory>
#include <string>
#include <unordered_map>

namespace tov {

class QPainterContainer : public litehtml::document_container {
 public:
  QPainterContainer(int view_width, int view_height);

  // The painter that set_clip and del_clip act on while a document draws.
  void BeginPaint(QPainter* painter);
  void EndPaint();

  litehtml::uint_ptr create_font(const litehtml::tchar_t* face_name, int size, int weight,
                                 litehtml::font_style italic, unsigned int decoration,
                                 litehtml::font_metrics* fm) override;
  void delete_font(litehtml::uint_ptr font) override;
  int text_width(const litehtml::tchar_t* text, litehtml::uint_ptr font) override;
  void draw_text(litehtml::uint_ptr hdc, const litehtml::tchar_t* text, litehtml::uint_ptr font,
                 litehtml::web_color color, const litehtml::position& pos) override;
  int pt_to_px(int pt) const override;
  int get_default_font_size() const override;
  const litehtml::tchar_t* get_default_font_name() const override;
  void draw_list_marker(litehtml::uint_ptr hdc, const litehtml::list_marker& marker) override;
  void load_image(const litehtml::tchar_t* src, const litehtml::tchar_t* baseurl, bool redraw_on_ready) override;
  void get_image_size(const litehtml::tchar_t* src, const litehtml::tchar_t* baseurl, litehtml::size& sz) override;
  void draw_background(litehtml::uint_ptr hdc, const litehtml::background_paint& bg) override;
  void draw_borders(litehtml::uint_ptr hdc, const litehtml::borders& borders,
                    const litehtml::position& draw_pos, bool root) override;
  void set_caption(const litehtml::tchar_t* caption) override;
  void set_base_url(const litehtml::tchar_t* base_url) override;
  void link(const std::shared_ptr<litehtml::document>& doc, const litehtml::element::ptr& el) override;
  void on_anchor_click(const litehtml::tchar_t* url, const litehtml::element::ptr& el) override;
  void set_cursor(const litehtml::tchar_t* cursor) override;
  void transform_text(litehtml::tstring& text, litehtml::text_transform tt) override;
  void import_css(litehtml::tstring& text, const litehtml::tstring& url, litehtml::tstring& baseurl) override;
  void set_clip(const litehtml::position& pos, const litehtml::border_radiuses& bdr_radius, bool valid_x,
                bool valid_y) override;
  void del_clip() override;
  void get_client_rect(litehtml::position& client) const override;
  std::shared_ptr<litehtml::element> create_element(const litehtml::tchar_t* tag_name,
                                                    const litehtml::string_map& attributes,
                                                    const std::shared_ptr<litehtml::document>& doc) override;
  void get_media_features(litehtml::media_features& media) const override;
  void get_language(litehtml::tstring& language, litehtml::tstring& culture) const override;

  // Fonts a document holds now (each is freed with its document).
  size_t FontCount() const { return fonts_.size(); }

 private:
  struct Font {
    explicit Font(const QFont& f) : font(f), metrics(f) {}
    QFont font;
    QFontMetrics metrics;
    std::unordered_map<std::string, int> widths;  // words repeat; measuring is the layout's main cost
  };

  const Font* FontOf(litehtml::uint_ptr handle) const;

  int view_width_;
  int view_height_;
  QPainter* painter_ = nullptr;
  int clip_depth_ = 0;
  std::unordered_map<litehtml::uint_ptr, std::unique_ptr<Font>> fonts_;
};

}  // namespace tov
