// Uncertainties propagated through a synthetic covariance matrix.
#include "dist/dist_cov.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "dist/dist_fixture.hpp"

namespace tarn {
namespace {

TEST(DistCov, DistanceUncertaintyFollowsTheCorrelation) {
  // d = a (x2 - x1) = 1 A in a cubic cell of 10 A: var = 100 (v11 + v22 - 2 v12).
  auto s = test::MakeStructure(
      {10, 10, 10, 90, 90, 90}, {{"C", 0.77}},
      {{"C1", 1, {0, 0, 0}, {1e-3, 0, 0}}, {"C2", 1, {0.1, 0, 0}, {1e-3, 0, 0}}}, {"x y z"}, "P",
      {0.001, 0, 0, 0, 0, 0});
  for (double rho : {1., 0., -1.}) {
    auto cov = std::make_shared<CovMatrix>();
    cov->Names = {"C1 x", "C2 x"};
    cov->V.resize(2, 2);
    cov->V << 1e-6, rho * 1e-6, rho * 1e-6, 1e-6;
    DistCommands c;
    ASSERT_EQ(DistReadCommands("dist\ninddist C1 C2\nend dist\n", c, 0), 0);
    DistResults r;
    ASSERT_EQ(DistRun(s, c, DistTables{}, r, cov), 0);
    // The cell (not in the matrix) adds (d/a 0.001)^2 independently.
    const double expect = std::sqrt(100e-6 * (2 - 2 * rho) + 1e-8);
    EXPECT_NEAR(r.Distances[0].Su, expect, 1e-12) << rho;
    if (rho == 0.) {
      DistResults plain;
      ASSERT_EQ(DistRun(s, c, DistTables{}, plain), 0);
      EXPECT_NEAR(plain.Distances[0].Su, expect, 1e-12) << "a diagonal matrix is the plain rule";
    }
  }
}

}  // namespace
}  // namespace tarn
