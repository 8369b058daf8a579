// Distances of a modulated structure over t against a direct evaluation of
// the modulated positions.
#include <gtest/gtest.h>

#include <cmath>

#include "dist/dist_fixture.hpp"
#include "util/numbers.hpp"

namespace tarn {
namespace {

TEST(DistMod, DistanceOverTMatchesDirectEvaluation) {
  // P-1(abg), q = (0.3, 0.1, 0.2): one position wave on each atom.
  const Vec3 q{0.3, 0.1, 0.2};
  auto s = test::MakeStructure({5, 6, 7, 90, 100, 90}, {{"C", 0.77}},
                               {{"C1", 1, {0.1, 0.2, 0.3}}, {"C2", 1, {0.08, 0.06, 0.07}}},
                               {"x1 x2 x3 x4", "-x1 -x2 -x3 -x4"}, "P", {}, {q});
  const double wave[2][6] = {{0.01, 0.02, 0., 0., 0., 0.015}, {0., 0.01, 0.02, 0.02, 0., 0.}};
  for (int i = 0; i < 2; ++i) {
    AtomRec& r = s.Model.Atom[static_cast<size_t>(i)];
    r.Shape.NWave[1] = 1;  // the wave block follows the static blocks
    const auto lay = AtomLayout(r.Shape);
    r.Par.resize(lay.NPar);
    for (int k = 0; k < 6; ++k) r.Par.Val[static_cast<size_t>(lay.Off[BlkPosWave] + k)] = wave[i][k];
  }
  DistCommands c;
  ASSERT_EQ(DistReadCommands("dist\ndmax 2.5\nnooft 40\nangles 1\nend dist\n", c, 1), 0);
  DistResults r;
  ASSERT_EQ(DistRun(s, c, DistTables{}, r), 0);
  ASSERT_EQ(r.TGrid.size(), 40u);

  // Modulated position of atom i under x -> sign x + n at section t: the
  // section of the image, sign x4 = q.xb' + t, fixes the argument.
  auto pos = [&](int i, double sign, const std::array<int, 3>& n, double t) {
    const auto& x = r.Phase.Atoms[static_cast<size_t>(i)].X;
    Vec3 xb{}, out{};
    for (int k = 0; k < 3; ++k) xb[k] = sign * x[k] + n[static_cast<size_t>(k)];
    const double x4 = sign * (q[0] * xb[0] + q[1] * xb[1] + q[2] * xb[2] + t);
    for (int k = 0; k < 3; ++k)
      out[k] = xb[k] + sign * (wave[i][k] * std::sin(kTwoPi * x4) +
                               wave[i][3 + k] * std::cos(kTwoPi * x4));
    return out;
  };
  int curves = 0, inverted = 0;
  for (const auto& co : r.Coord) {
    ASSERT_EQ(co.Curves.size(), co.Neigh.size());
    for (size_t k = 0; k < co.Neigh.size(); ++k) {
      const DistNeighbour& nb = co.Neigh[k];
      const auto& op = r.Phase.Ops[static_cast<size_t>(nb.Op)];
      const double sign = op.R[0];
      inverted += sign < 0.;
      std::array<int, 3> n = nb.N;
      for (int j = 0; j < 3; ++j) n[static_cast<size_t>(j)] += static_cast<int>(std::lround(op.T[j]));
      double ave = 0., lo = 1e9, hi = 0.;
      for (size_t g = 0; g < r.TGrid.size(); ++g) {
        const double t = r.TGrid[g][0];
        const Vec3 a = pos(co.Central, 1., {0, 0, 0}, t), b = pos(nb.Atom, sign, n, t);
        Vec3 d{};
        for (int j = 0; j < 3; ++j) d[j] = b[j] - a[j];
        double d2 = 0.;
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) d2 += d[i] * r.Phase.Cell.G[3 * i + j] * d[j];
        const double dist = std::sqrt(d2);
        EXPECT_NEAR(co.Curves[k].D[g], dist, 1e-10) << "t " << t;
        ave += dist / static_cast<double>(r.TGrid.size());
        lo = std::min(lo, dist);
        hi = std::max(hi, dist);
      }
      EXPECT_NEAR(co.Curves[k].Ave, ave, 1e-10);
      EXPECT_NEAR(co.Curves[k].Min, lo, 1e-12);
      EXPECT_NEAR(co.Curves[k].Max, hi, 1e-12);
      EXPECT_GT(hi - lo, 0.01) << "the wave moves the atoms";
      ++curves;
    }
  }
  EXPECT_GE(curves, 2);
  // An angle at t is the one of the three positions at t (law of cosines).
  int angles = 0;
  for (const auto& co : r.Coord)
    for (size_t k = 0; k < co.Angles.size(); ++k, ++angles) {
      const auto& B = co.Neigh[static_cast<size_t>(co.Angles[k].B)];
      const auto& C = co.Neigh[static_cast<size_t>(co.Angles[k].C)];
      const DistTCurve b = DistModDistance(r.Phase, r.Mod, co.Central, B, r.TGrid),
                       c = DistModDistance(r.Phase, r.Mod, co.Central, C, r.TGrid);
      for (size_t g = 0; g < r.TGrid.size(); ++g) {
        Vec3 xb{}, xc{};
        ASSERT_TRUE(DistModPosition(r.Phase, r.Mod, B.Atom, B.Op, B.N, r.TGrid[g].data(), xb));
        ASSERT_TRUE(DistModPosition(r.Phase, r.Mod, C.Atom, C.Op, C.N, r.TGrid[g].data(), xc));
        Vec3 d{};
        for (int j = 0; j < 3; ++j) d[j] = xc[j] - xb[j];
        double a2 = 0.;
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) a2 += d[i] * r.Phase.Cell.G[3 * i + j] * d[j];
        const double cosA = (b.D[g] * b.D[g] + c.D[g] * c.D[g] - a2) / (2 * b.D[g] * c.D[g]);
        EXPECT_NEAR(co.AngleCurves[k].D[g], std::acos(cosA) / kDeg, 1e-8);
      }
    }
  EXPECT_GE(angles, 1);
  EXPECT_GE(inverted, 1) << "a neighbour through the inversion";
  bool summary = false;
  for (const auto& l : r.Listing) summary = summary || l.find("Average : ") != std::string::npos;
  EXPECT_TRUE(summary);
}

}  // namespace
}  // namespace tarn
