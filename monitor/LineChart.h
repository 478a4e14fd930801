// A line chart of the main window. It holds its place in the layout and
// whether it is drawn in three dimensions; the drawing of its series comes
// with the window's tick.
#pragma once

#include <QFrame>

namespace tov {

class TLineChart : public QFrame {
 public:
  explicit TLineChart(QWidget* parent = nullptr);

  bool View3D() const { return view3d_; }
  void SetView3D(bool on);

 private:
  bool view3d_ = false;
};

}  // namespace tov
