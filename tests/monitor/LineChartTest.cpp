// The main window's line chart: what its axis labels say and what its
// three-dimensional drawing shows, painted on Qt's offscreen platform.
#include "monitor/LineChart.h"

#include <gtest/gtest.h>

#include <QImage>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/GuiApplication.h"

namespace tov {
namespace {

char kName[] = "line_chart_tests";
char* kArgv[] = {kName, nullptr};

using Labels = std::vector<std::string>;

std::vector<TLineChart::TPoint> Series(const std::vector<double>& values) {
  std::vector<TLineChart::TPoint> points;
  for (double v : values) points.push_back({v, "", clBlue});
  return points;
}

TEST(LineChartAxis, LabelsShowTheirGridLinesExactly) {
  struct Case {
    TLineChart::TAxis axis;
    Labels labels;
  };
  const Case cases[] = {
      // An empty or all-zero chart.
      {{0, 1, 0.25}, {"0.00", "0.25", "0.50", "0.75", "1.00"}},
      {{5, 6, 0.25}, {"5.00", "5.25", "5.50", "5.75", "6.00"}},
      {{0, 10, 2}, {"0", "2", "4", "6", "8", "10"}},
      {{0, 0.5, 0.1}, {"0.0", "0.1", "0.2", "0.3", "0.4", "0.5"}},
      {{-0.1, 0.1, 0.05}, {"-0.10", "-0.05", "0.00", "0.05", "0.10"}},
      {{0, 3000000, 1000000}, {"0", "1000000", "2000000", "3000000"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TLineChart::AxisLabels(c.axis), c.labels) << c.axis.Min << " " << c.axis.Max << " " << c.axis.Step;
  }
}

TEST(LineChartAxis, EveryScaledAxisLabelReadsBackAsItsLine) {
  const std::vector<std::vector<double>> series = {
      {},           {0, 0, 0},     {7},        {0, 1},          {0, 3},           {0, 7, 2},
      {1, 2, 3, 4}, {0, 0.3, 0.1}, {12, 13.5}, {0, 999, 1000}, {0, 12345, 77}, {0.001, 0.0042},
  };
  for (const std::vector<double>& values : series) {
    const TLineChart::TAxis axis = TLineChart::ScaleAxis(Series(values));
    const std::vector<double> ticks = TLineChart::AxisTicks(axis);
    const Labels labels = TLineChart::AxisLabels(axis);
    ASSERT_EQ(labels.size(), ticks.size());
    ASSERT_GE(ticks.size(), 2u);
    EXPECT_DOUBLE_EQ(ticks.front(), axis.Min);
    EXPECT_NEAR(ticks.back(), axis.Max, axis.Step * 1e-9);
    for (size_t i = 0; i < ticks.size(); ++i) {
      EXPECT_NEAR(std::strtod(labels[i].c_str(), nullptr), ticks[i], axis.Step * 1e-6) << labels[i];
    }
  }
}

class LineChartPaint : public ::testing::Test {
 protected:
  LineChartPaint() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app_ = std::make_unique<TApplication>(argc_, kArgv);
    chart_ = std::make_unique<TLineChart>();
    chart_->resize(240, 150);
    // The bandwidth chart's look: straight on, seen from above.
    TLineChart::TView3D look;
    look.Orthogonal = false;
    look.Elevation = 315;
    look.Rotation = 360;
    chart_->SetView3DLook(look);
    chart_->SetView3D(true);
  }
  ~LineChartPaint() override {
    chart_.reset();
    app_.reset();
  }

  // The series' pixels in the chart as painted: clearly blue ones.
  int BluePixels(const std::vector<double>& values) {
    chart_->Clear();
    for (double v : values) chart_->Add(v, "", clBlue);
    const QImage image = chart_->grab().toImage();
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, y);
        n += c.blue() > c.red() + 80 && c.blue() > c.green() + 80;
      }
    }
    return n;
  }

  int argc_ = 1;
  std::unique_ptr<TApplication> app_;
  std::unique_ptr<TLineChart> chart_;
};

TEST_F(LineChartPaint, NoTrafficIsALineOnTheFloorNotABand) {
  const int width = chart_->width();
  const int idle = BluePixels(std::vector<double>(300, 0));
  // One line along the front of the floor: at most two rows of pixels wide.
  EXPECT_GT(idle, width / 2);
  EXPECT_LT(idle, 2 * width);

  // Steady traffic is still the ribbon, which stands out well above a line.
  std::vector<double> busy(300, 0);
  for (size_t i = 150; i < busy.size(); ++i) busy[i] = 10;
  EXPECT_GT(BluePixels(busy), idle + 4 * width / 2);
}

}  // namespace
}  // namespace tov
