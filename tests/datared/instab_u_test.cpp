// The signed instability factor of a data block from the scatter of its
// equivalents, on groups simulated with a known instability.
#include "datared/instab_u.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "datared/average.hpp"
#include "model/m95m90.hpp"
#include "model/refl.hpp"
#include "model/structure.hpp"

namespace tarn {
namespace {

// ngroups groups of four measurements of intensities 100 .. 10000; the
// measurements scatter with variance s^2 + (g I)^2 around the true value while
// their listed sigma is sigScale * s, s = sqrt(I) (counting statistics).
// Returns the grouping of the measurements.
AveGrouping Simulate(int ngroups, double g, double sigScale) {
  std::mt19937 rng(12345);
  std::normal_distribution<double> z(0., 1.);
  Struct.Refl.RIAr.clear();
  Struct.Refl.RSAr.clear();
  Struct.Refl.ICullAr.clear();
  AveGrouping gr;
  gr.Start.push_back(0);
  for (int k = 0; k < ngroups; ++k) {
    const double i = 100. * std::pow(100., static_cast<double>(k) / ngroups);
    const double s = std::sqrt(i);
    for (int j = 0; j < 4; ++j) {
      gr.Order.push_back(static_cast<int>(Struct.Refl.RIAr.size()));
      Struct.Refl.RIAr.push_back(i + z(rng) * std::sqrt(s * s + g * g * i * i));
      Struct.Refl.RSAr.push_back(sigScale * s);
      Struct.Refl.ICullAr.push_back(kCullNone);
    }
    gr.Start.push_back(static_cast<int>(gr.Order.size()));
  }
  return gr;
}

TEST(InstabilityU, KnownInstabilityAndOverestimatedSigmas) {
  struct Case {
    double g, sigScale;
    double lo, hi;  // expected range of u
  };
  // u = g / 2 for the (2 u I)^2 term of sigma(I)^2; sigmas twice too large
  // and no instability give a negative u.
  const Case cases[] = {{0.06, 1., 0.026, 0.034}, {0.02, 1., 0.008, 0.012}, {0., 2., -1., -0.001}};
  for (const auto& c : cases) {
    const AveGrouping gr = Simulate(600, c.g, c.sigScale);
    double u = 0.;
    std::vector<std::string> lines;
    ASSERT_EQ(EM9InstabilityU(gr, u, lines), 0);
    EXPECT_GT(u, c.lo) << c.g;
    EXPECT_LT(u, c.hi) << c.g;
    ASSERT_EQ(lines.size(), 1u);
  }
}

TEST(InstabilityU, TooFewGroupsLeaveItUnsetAndTheHeaderKeepsOldFilesReadable) {
  const AveGrouping gr = Simulate(kInstabMinGroups - 1, 0.05, 1.);
  double u = 0.;
  std::vector<std::string> lines;
  EXPECT_EQ(EM9InstabilityU(gr, u, lines), 1);
  EXPECT_EQ(u, kUnsetReal);
  // Not estimated: not written; estimated: read back.
  std::vector<M90Block> b(1);
  EXPECT_EQ(M90HeaderText(b).find("instab"), std::string::npos);
  b[0].InstabU = -0.0125;
  EXPECT_NE(M90HeaderText(b).find("instab"), std::string::npos);
  const std::string file = testing::TempDir() + "instab_u_test.m90";
  std::vector<std::vector<M90Refl>> r(1, std::vector<M90Refl>(1));
  r[0][0].I = 10.;
  r[0][0].SigI = 1.;
  ASSERT_EQ(WriteM90File(file, b, r), 0);
  std::vector<M90Block> back;
  std::vector<std::vector<M90Refl>> rback;
  ASSERT_EQ(ReadM90File(file, back, rback), 0);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_DOUBLE_EQ(back[0].InstabU, -0.0125);
  std::remove(file.c_str());
}

}  // namespace
}  // namespace tarn
