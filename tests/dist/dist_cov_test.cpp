// The covariance file: reading, its faults, and uncertainties propagated
// through a synthetic matrix.
#include "dist/dist_cov.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "dist/dist_fixture.hpp"

namespace tarn {
namespace {

const std::string kText =
    "# Tarnwork covariance 1\nnpar 3\npar 1 cell a\npar 2 atom C1 x\npar 3 atom C2 x\n"
    "matrix\n1e-06\n0 1e-06\n0 5e-07 1e-06\nend\n";

TEST(DistCov, ReadsAndWritesTheSameText) {
  DistCovariance c;
  ErrorRecord err;
  ASSERT_EQ(DistReadCovariance(kText, "s.cov", c, err), 0) << err.Text();
  EXPECT_EQ(c.Names, (std::vector<std::string>{"cell a", "C1 x", "C2 x"}));
  EXPECT_DOUBLE_EQ(c.V(1, 2), 5e-7);
  EXPECT_DOUBLE_EQ(c.V(2, 1), 5e-7);
  EXPECT_EQ(DistCovarianceText(c), kText);
}

TEST(DistCov, FaultsNameTheLine) {
  struct Case {
    std::string from, to;
    int line;
  } cases[] = {{"# Tarnwork covariance 1", "# covariance", 1},
               {"npar 3", "npar x", 2},
               {"par 2 atom C1 x", "par 2 atom C1 u", 4},
               {"par 3 atom", "par 4 atom", 5},
               {"0 5e-07 1e-06\n", "0 5e-07\n", 10},
               {"0 5e-07 1e-06", "0 5e-07 -1e-06", 9},
               {"\nend\n", "\n", 9}};
  for (const auto& k : cases) {
    std::string t = kText;
    t.replace(t.find(k.from), k.from.size(), k.to);
    DistCovariance c;
    c.Names = {"kept"};
    ErrorRecord err;
    EXPECT_EQ(DistReadCovariance(t, "s.cov", c, err), 1) << k.to;
    EXPECT_EQ(err.File, "s.cov");
    EXPECT_EQ(err.Line, k.line) << k.to;
    EXPECT_FALSE(err.Message.empty());
    EXPECT_EQ(c.Names, (std::vector<std::string>{"kept"})) << "unchanged on failure";
  }
}

TEST(DistCov, DistanceUncertaintyFollowsTheCorrelation) {
  // d = a (x2 - x1) = 1 A in a cubic cell of 10 A: var = 100 (v11 + v22 - 2 v12).
  auto s = test::MakeStructure(
      {10, 10, 10, 90, 90, 90}, {{"C", 0.77}},
      {{"C1", 1, {0, 0, 0}, {1e-3, 0, 0}}, {"C2", 1, {0.1, 0, 0}, {1e-3, 0, 0}}}, {"x y z"}, "P",
      {0.001, 0, 0, 0, 0, 0});
  for (double rho : {1., 0., -1.}) {
    auto cov = std::make_shared<DistCovariance>();
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
