// Contour lines of the map section: on the cone v = distance from the
// centre every segment end lies on the circle of the level, the segments
// close around it, and a saddle keeps its two branches apart.
#include <gtest/gtest.h>

#include <cmath>

#include "fourier/fou_plot.hpp"

namespace tarn {
namespace {

TEST(FouContour, ConeGivesTheCircleOfTheLevelAndSaddleKeepsItsBranches) {
  const int n = 21;
  std::vector<float> cone(n * n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) cone[static_cast<size_t>(j * n + i)] = static_cast<float>(std::hypot(i - 10, j - 10));
  const auto segs = FouContourSegments(cone, n, n, 5.);
  ASSERT_GT(segs.size(), 20u);
  double length = 0.;
  for (const auto& s : segs) {
    for (int e = 0; e < 2; ++e) EXPECT_NEAR(std::hypot(s[2 * e] - 10, s[2 * e + 1] - 10), 5., 0.1);
    length += std::hypot(s[2] - s[0], s[3] - s[1]);
  }
  EXPECT_NEAR(length, 2. * M_PI * 5., 0.5);
  // Saddle (corners 1, -1, 1, -1 round the cell, mean 0): level 0.5 cuts off
  // the two corners above it; a segment across the centre would join them.
  const std::vector<float> saddle = {1.f, -1.f, -1.f, 1.f};
  for (const auto& s : FouContourSegments(saddle, 2, 2, 0.5))
    EXPECT_GT(std::abs((s[0] + s[2]) / 2. - 0.5) + std::abs((s[1] + s[3]) / 2. - 0.5), 0.5);
  EXPECT_EQ(FouContourSegments(saddle, 2, 2, 0.5).size(), 2u);
}

// A break in a series is one blank line inside its block, never two (two
// would start the next series in gnuplot).
TEST(PlotScript, BreaksStayInsideTheirSeries) {
  PlotDesc d;
  d.Series.push_back({"a", {0., std::nan(""), std::nan(""), 1.}, {0., 0., 0., 1.}});
  d.Series.push_back({"b", {2.}, {2.}});
  const std::string t = PlotDataText(d);
  EXPECT_EQ(t, "# a\n0 0\n\n1 1\n\n\n# b\n2 2\n");
}

}  // namespace
}  // namespace tarn
