// The main window's line chart: what its axis labels say.
#include "monitor/LineChart.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace tov {
namespace {

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

}  // namespace
}  // namespace tov
