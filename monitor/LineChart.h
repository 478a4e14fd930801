// A line chart of the main window with one series: points added in order
// along the horizontal axis, each with its value, label and colour. The
// vertical axis scales itself to the data; there is no title, no legend and
// no bottom axis. In three dimensions (View3D) it is drawn in an oblique view:
// the back wall set back by a depth, a floor and a left wall, and the series
// as a ribbon between the front and the back, except where it lies on the
// floor: there it is only its front edge.
#pragma once

#include <QColor>
#include <QFrame>

#include <cstdint>
#include <string>
#include <vector>

namespace tov {

// The class library's colour value: blue, green and red bytes from the high
// one down ($FF0000 is blue).
using TColor = uint32_t;
constexpr TColor clBlue = 0xFF0000;
QColor ToQColor(TColor color);

class TLineChart : public QFrame {
 public:
  struct TPoint {
    double Value = 0;
    std::string Label;
    TColor Color = 0;
  };
  // How the three-dimensional view looks, angles in degrees as chart
  // toolkits give them. An orthogonal view sets the back wall off at Angle
  // (up and to the right); the others take the offset from Elevation and
  // Rotation (360 each: straight on). Always a parallel projection, without
  // perspective.
  struct TView3D {
    bool Orthogonal = true;
    int Angle = 45;
    int Elevation = 345;
    int Rotation = 345;
    int DepthPercent = 15;  // of the plot's width
  };

  explicit TLineChart(QWidget* parent = nullptr);

  void Clear();
  void Add(double value, std::string label, TColor color);
  const std::vector<TPoint>& Points() const { return points_; }

  // Qt::transparent leaves the wall unfilled, so the parent shows through.
  void SetBackWallColor(QColor color);
  QColor BackWallColor() const { return back_wall_; }

  bool View3D() const { return view3d_; }
  void SetView3D(bool on);
  void SetView3DLook(const TView3D& look);
  const TView3D& View3DLook() const { return look_; }

  // The vertical axis for these values: its ends and the step between labels.
  struct TAxis {
    double Min = 0;
    double Max = 1;
    double Step = 0.25;
  };
  static TAxis ScaleAxis(const std::vector<TPoint>& points);
  // The axis's grid lines from Min to Max, one a step.
  static std::vector<double> AxisTicks(const TAxis& axis);
  // The labels of those grid lines: each shows its line's value exactly,
  // with the decimals the step needs and no more.
  static std::vector<std::string> AxisLabels(const TAxis& axis);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<TPoint> points_;
  QColor back_wall_ = Qt::white;
  bool view3d_ = false;
  TView3D look_;
};

}  // namespace tov
