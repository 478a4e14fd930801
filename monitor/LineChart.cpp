#include "monitor/LineChart.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tov {

namespace {

const QColor kFrameLine(0x80, 0x80, 0x80);
const QColor kGridLine(0xD0, 0xD0, 0xD0);
const QColor kSideWall(0xE4, 0xE4, 0xE4);

double Radians(int degrees) { return degrees * std::numbers::pi / 180.0; }

// Safeguard: exact axis labels. An axis label never shows a value its grid line does not have.
// The fewest decimals that write every multiple of step exactly (0.25 needs
// two; with one, 0.25 and 0.75 would read as 0.3 and 0.8).
int StepDecimals(double step) {
  constexpr int kMostDecimals = 10;
  for (int d = 0; d < kMostDecimals; ++d) {
    const double scaled = step * std::pow(10.0, d);
    if (std::abs(scaled - std::round(scaled)) < 1e-6 * std::max(1.0, scaled)) return d;
  }
  return kMostDecimals;
}

}  // namespace

QColor ToQColor(TColor color) {
  return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF), static_cast<int>((color >> 16) & 0xFF));
}

TLineChart::TLineChart(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::StyledPanel);
  setMinimumHeight(90);
}

void TLineChart::Clear() {
  points_.clear();
  update();
}

void TLineChart::Add(double value, std::string label, TColor color) {
  points_.push_back({value, std::move(label), color});
  update();
}

void TLineChart::SetBackWallColor(QColor color) {
  back_wall_ = color;
  update();
}

void TLineChart::SetView3D(bool on) {
  view3d_ = on;
  update();
}

void TLineChart::SetView3DLook(const TView3D& look) {
  look_ = look;
  update();
}

TLineChart::TAxis TLineChart::ScaleAxis(const std::vector<TPoint>& points) {
  double lo = 0;
  double hi = 0;
  bool any = false;
  for (const TPoint& p : points) {
    if (!std::isfinite(p.Value)) continue;
    lo = any ? std::min(lo, p.Value) : p.Value;
    hi = any ? std::max(hi, p.Value) : p.Value;
    any = true;
  }
  if (!any || hi - lo < 1e-9 || !std::isfinite(hi - lo)) {
    // A flat series sits on the bottom of a span of one.
    return {lo, lo + 1, 0.25};
  }
  const double raw = (hi - lo) / 4;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  double step = magnitude;
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    step = m * magnitude;
    if (step >= raw) break;
  }
  return {std::floor(lo / step) * step, std::ceil(hi / step) * step, step};
}

std::vector<double> TLineChart::AxisTicks(const TAxis& axis) {
  std::vector<double> ticks;
  if (!(axis.Step > 0) || !(axis.Max >= axis.Min)) return ticks;
  // Counted, not summed up, so no line drifts off its value.
  const auto steps = static_cast<int64_t>(std::llround((axis.Max - axis.Min) / axis.Step));
  for (int64_t i = 0; i <= std::min<int64_t>(steps, 1000); ++i) {
    ticks.push_back(axis.Min + static_cast<double>(i) * axis.Step);
  }
  return ticks;
}

std::vector<std::string> TLineChart::AxisLabels(const TAxis& axis) {
  const int decimals = StepDecimals(axis.Step);
  std::vector<std::string> labels;
  for (double v : AxisTicks(axis)) {
    if (std::abs(v) < axis.Step / 2) v = 0;  // no "-0"
    labels.push_back(QString::number(v, 'f', decimals).toStdString());
  }
  return labels;
}

void TLineChart::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing, view3d_);
  const QFontMetrics fm = painter.fontMetrics();
  const TAxis axis = ScaleAxis(points_);

  const std::vector<double> ticks = AxisTicks(axis);
  std::vector<QString> labels;
  for (const std::string& label : AxisLabels(axis)) labels.push_back(QString::fromStdString(label));
  int label_width = 0;
  for (const QString& label : labels) label_width = std::max(label_width, fm.horizontalAdvance(label));

  QRectF plot = QRectF(contentsRect()).adjusted(label_width + 8, fm.height() / 2.0 + 2, -6, -(fm.height() / 2.0 + 2));
  if (plot.width() < 4 || plot.height() < 4) return;

  // The back wall's offset from the front plane.
  double dx = 0;
  double dy = 0;
  if (view3d_) {
    const double depth = plot.width() * look_.DepthPercent / 100.0;
    if (look_.Orthogonal) {
      dx = depth * std::cos(Radians(look_.Angle));
      dy = -depth * std::sin(Radians(look_.Angle));
    } else {
      dx = depth * std::sin(Radians(360 - look_.Rotation));
      dy = -depth * std::sin(Radians(360 - look_.Elevation));
    }
  }
  const QRectF front(plot.left() + std::max(0.0, -dx), plot.top() + std::max(0.0, -dy),
                     plot.width() - std::abs(dx), plot.height() - std::abs(dy));
  const QPointF back_offset(dx, dy);
  const QRectF back = front.translated(back_offset);

  auto y_of = [&](double v) { return front.bottom() - (v - axis.Min) / (axis.Max - axis.Min) * front.height(); };
  const size_t n = points_.size();
  auto x_of = [&](size_t i) { return n < 2 ? front.left() : front.left() + front.width() * static_cast<double>(i) / (n - 1); };

  if (back_wall_.alpha() > 0) painter.fillRect(back, back_wall_);
  if (view3d_) {
    painter.setPen(kFrameLine);
    painter.setBrush(kSideWall);
    painter.drawPolygon(QPolygonF({front.bottomLeft(), front.bottomRight(), back.bottomRight(), back.bottomLeft()}));
    painter.drawPolygon(QPolygonF({front.topLeft(), front.bottomLeft(), back.bottomLeft(), back.topLeft()}));
  }
  for (size_t t = 0; t < ticks.size(); ++t) {
    const double y = y_of(ticks[t]);
    painter.setPen(kGridLine);
    painter.drawLine(QPointF(back.left(), y + dy), QPointF(back.right(), y + dy));
    if (view3d_) painter.drawLine(QPointF(front.left(), y), QPointF(back.left(), y + dy));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRectF(contentsRect().left(), y - fm.height() / 2.0, front.left() - contentsRect().left() - 4, fm.height()),
                     Qt::AlignRight | Qt::AlignVCenter, labels[t]);
  }
  painter.setPen(kFrameLine);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(back);
  painter.drawLine(front.topLeft(), front.bottomLeft());

  auto point = [&](size_t i) { return QPointF(x_of(i), y_of(points_[i].Value)); };
  // In three dimensions each segment is also the face of a ribbon from the
  // front to the back wall, edged along its back.
  if (view3d_) {
    auto on_floor = [&](size_t i) { return !(points_[i].Value > axis.Min); };
    for (size_t i = 1; i < n; ++i) {
      // Safeguard: no band without traffic. A stretch on the floor (no traffic) gets no
      // face, which would read as steady traffic.
      if (on_floor(i - 1) && on_floor(i)) continue;
      const QPointF a = point(i - 1);
      const QPointF b = point(i);
      const QColor color = ToQColor(points_[i].Color);
      painter.setPen(Qt::NoPen);
      painter.setBrush(color);
      painter.drawPolygon(QPolygonF({a, b, b + back_offset, a + back_offset}));
      painter.setPen(QPen(color.darker(160), 1));
      painter.drawLine(a + back_offset, b + back_offset);
    }
  }
  // The line itself, on the front plane over any faces, as crisp as flat.
  painter.setRenderHint(QPainter::Antialiasing, false);
  for (size_t i = 1; i < n; ++i) {
    painter.setPen(QPen(ToQColor(points_[i].Color), 1));
    painter.drawLine(point(i - 1), point(i));
  }
}

}  // namespace tov
