#include "monitor/LineChart.h"

namespace tov {

TLineChart::TLineChart(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::StyledPanel);
  setAutoFillBackground(true);
  QPalette p = palette();
  p.setColor(QPalette::Window, Qt::white);
  setPalette(p);
  setMinimumHeight(90);
}

void TLineChart::SetView3D(bool on) {
  view3d_ = on;
  update();
}

}  // namespace tov
