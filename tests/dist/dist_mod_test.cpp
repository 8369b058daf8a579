// Distances of a modulated structure over t against a direct evaluation of
// the modulated positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "dist/dist_fixture.hpp"
#include "model/m40_peaks.hpp"
#include "util/numbers.hpp"

namespace tarn {
namespace {

// Gives atom r one position wave, value v at index k (sin x y z, cos x y z).
void PosWave(AtomRec& r, int k, double v) {
  r.Shape.NWave[1] = 1;
  r.Par.resize(AtomLayout(r.Shape).NPar);
  r.Par.Val[static_cast<size_t>(AtomLayout(r.Shape).Off[BlkPosWave] + k)] = v;
}

TEST(DistMod, DistanceOverTMatchesDirectEvaluation) {
  // P-1(abg), q = (0.3, 0.1, 0.2): one position wave on each atom.
  const Vec3 q{0.3, 0.1, 0.2};
  auto s = test::MakeStructure({5, 6, 7, 90, 100, 90}, {{"C", 0.77}},
                               {{"C1", 1, {0.1, 0.2, 0.3}}, {"C2", 1, {0.08, 0.06, 0.07}}},
                               {"x1 x2 x3 x4", "-x1 -x2 -x3 -x4"}, "P", {}, {q});
  const double wave[2][6] = {{0.01, 0.02, 0., 0., 0., 0.015}, {0., 0.01, 0.02, 0.02, 0., 0.}};
  for (int i = 0; i < 2; ++i)
    for (int k = 0; k < 6; ++k) PosWave(s.Model.Atom[static_cast<size_t>(i)], k, wave[i][k]);
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

TEST(DistMod, NeighboursThroughTheModulationSawtoothAndBondValenceOverT) {
  // P1, a = 10, q = (0.3, 0, 0). Around Ti1 at the origin: O1 at 2.0 A with a
  // cosine wave along x; O2 at 2.35 A, beyond dmax 2.3 on average, brought
  // within by its wave along y; O3 a sawtooth along z, present for
  // t in [0.27, 0.77] only.
  auto s = test::MakeStructure({10, 10, 10, 90, 90, 90}, {{"Ti", 1.0}, {"O", 0.7}},
                               {{"Ti1", 1, {0, 0, 0}},
                                {"O1", 2, {0.2, 0, 0}},
                                {"O2", 2, {0, 0.235, 0}},
                                {"O3", 2, {0, 0, 0.2}}},
                               {"x1 x2 x3 x4"}, "P", {}, {Vec3{0.3, 0, 0}});
  PosWave(s.Model.Atom[1], 3, 0.02);  // cos along x
  PosWave(s.Model.Atom[2], 4, 0.02);  // cos along y
  {
    AtomRec& r = s.Model.Atom[3];
    r.Shape.Flag[1] = 1;
    const auto lay = AtomLayout(r.Shape);
    r.Par.resize(lay.NPar);
    const double saw[5] = {0, 0, 0.01, 0.52, 0.5};
    for (int k = 0; k < 5; ++k) r.Par.Val[static_cast<size_t>(lay.Off[BlkSaw] + k)] = saw[k];
  }
  DistCommands c;
  ASSERT_EQ(DistReadCommands(
                "dist\ndmax 2.3\nnooft 20\nttables 1\nbondval TI O 1.8 0.37\nend dist\n", c, 1),
            0);
  DistResults r;
  ASSERT_EQ(DistRun(s, c, DistTables{}, r), 0);
  ASSERT_TRUE(r.Mod.Unsupported.empty());
  const auto* co = test::CoordOf(r, "Ti1");
  ASSERT_NE(co, nullptr);
  // Distances from Ti1 at t, "exists" false outside the sawtooth's interval.
  auto direct = [](int atom, double t, bool& exists) {
    exists = true;
    if (atom == 1) return 10. * (0.2 + 0.02 * std::cos(kTwoPi * (0.06 + t)));
    if (atom == 2) return 10. * (0.235 + 0.02 * std::cos(kTwoPi * t));
    const double dx = t - 0.52;
    exists = std::fabs(dx) <= 0.25;
    return 10. * (0.2 + 2 * 0.01 * dx / 0.5);
  };
  ASSERT_EQ(co->Neigh.size(), 3u) << "O2 comes within the limits through its wave";
  std::vector<double> bvs(r.TGrid.size(), 0.);
  for (size_t k = 0; k < co->Neigh.size(); ++k) {
    const auto& cv = co->Curves[k];
    int counted = 0;
    for (size_t g = 0; g < r.TGrid.size(); ++g) {
      bool ex = true;
      const double d = direct(co->Neigh[k].Atom, r.TGrid[g][0], ex);
      const bool in = ex && d <= 2.3;
      EXPECT_EQ(cv.In[g] != 0, in) << k << " t " << r.TGrid[g][0];
      if (ex) {
        EXPECT_NEAR(cv.D[g], d, 1e-10);
      }
      if (in) bvs[g] += std::exp((1.8 - d) / 0.37);
      counted += in;
    }
    EXPECT_EQ(cv.N, counted);
    EXPECT_GT(counted, 0);
    // O2 leaves the limits, O3 its interval.
    EXPECT_TRUE(co->Neigh[k].Atom == 1 || counted < static_cast<int>(r.TGrid.size()));
  }
  ASSERT_EQ(r.BondValences.size(), 1u);
  double ave = 0.;
  for (double b : bvs) ave += b / static_cast<double>(bvs.size());
  EXPECT_NEAR(r.BondValences[0].Ave, ave, 1e-10);
  EXPECT_NEAR(r.BondValences[0].Max, *std::max_element(bvs.begin(), bvs.end()), 1e-10);
  bool table = false;
  for (const auto& l : r.Listing) table = table || l.find("function of t") != std::string::npos;
  EXPECT_TRUE(table);
}

TEST(DistMod, CompositePartsMoveAgainstEachOtherWithT) {
  // a = b = c = 5, q = (0, 0, 0.6); part 2 has c2* = q, q2 = c1* (c2 = c1/0.6).
  // A1 of part 1 at the origin, B1 of part 2 at (1/2, 1/2, 0) of its own
  // basis: at section t the images of B1 lie at z = 5 (n3 - t)/0.6 A.
  const double g = 0.6;
  auto s = test::MakeStructure({5, 5, 5, 90, 90, 90}, {{"A", 1.0}},
                               {{"A1", 1, {0, 0, 0}}, {"B1", 1, {0.5, 0.5, 0}}}, {"x1 x2 x3 x4"},
                               "P", {}, {Vec3{0, 0, g}});
  PhaseBasic& p = s.Basic.Phase[0];
  p.NComp = 2;
  p.WMatrix = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
               {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0}};
  s.Model.Atom[1].Part = 2;
  DistCommands c;
  ASSERT_EQ(DistReadCommands("dist\ndmax 4\nnooft 20\nend dist\n", c, 1), 0);
  DistResults r;
  ASSERT_EQ(DistRun(s, c, DistTables{}, r), 0);
  const auto* co = test::CoordOf(r, "A1");
  ASSERT_NE(co, nullptr);
  // Four images in the ab plane, each from the cells n3 = 0 and n3 = 1.
  ASSERT_EQ(co->Neigh.size(), 8u);
  int counted = 0;
  for (size_t k = 0; k < co->Neigh.size(); ++k) {
    const int n3 = co->Neigh[k].N[2];
    for (size_t i = 0; i < r.TGrid.size(); ++i) {
      const double z = 5. * (n3 - r.TGrid[i][0]) / g;
      const double d = std::sqrt(12.5 + z * z);
      EXPECT_NEAR(co->Curves[k].D[i], d, 1e-10);
      EXPECT_EQ(co->Curves[k].In[i] != 0, d <= 4.) << k << " " << i;
      counted += co->Curves[k].In[i];
    }
  }
  EXPECT_EQ(counted, 4 * (5 + 4));  // t = 0 ... 0.2 from n3 = 0, t = 0.8 ... 0.95 from n3 = 1
  // The part's own lattice: B1's images along c2 = 8.33 A stay out of reach.
  const auto* cb = test::CoordOf(r, "B1");
  ASSERT_NE(cb, nullptr);
  for (const auto& n : cb->Neigh) EXPECT_EQ(r.Phase.Atoms[static_cast<size_t>(n.Atom)].Name, "A1");

  // A hydrogen bond across the parts at the first t: donor O2 and H2 of
  // part 2 (z = 8.33 z2 A), acceptor O1 of part 1 at z = 1.8 A.
  auto h = test::MakeStructure({5, 5, 5, 90, 90, 90}, {{"O", 0.7}, {"H", 0.3}},
                               {{"O1", 1, {0.2, 0.2, 0.36}},
                                {"O2", 1, {0.2, 0.2, -0.12}},
                                {"H2", 2, {0.2, 0.2, 0}}},
                               {"x1 x2 x3 x4"}, "P", {}, {Vec3{0, 0, g}});
  h.Basic.Phase[0].NComp = 2;
  h.Basic.Phase[0].WMatrix = p.WMatrix;
  h.Model.Atom[1].Part = h.Model.Atom[2].Part = 2;
  DistResults rh;
  ASSERT_EQ(DistRun(h, c, DistTables{}, rh), 0);
  ASSERT_EQ(rh.HBonds.size(), 1u);
  EXPECT_NEAR(rh.HBonds[0].DA, 2.8, 1e-9);
  EXPECT_NEAR(rh.HBonds[0].Angle, 180., 1e-9);
}

TEST(DistMod, CentresLonePairsAndPeaksFollowTheModulation) {
  // P-1, a = 10, q = (0.3, 0, 0): C1 with a cosine wave along y, C2 1.5 A
  // along x of it, a peak 1 A along y of C1 with its own wave along x.
  const Vec3 q{0.3, 0, 0};
  auto s = test::MakeStructure({10, 10, 10, 90, 90, 90}, {{"C", 0.77}},
                               {{"C1", 1, {0.25, 0.25, 0.25}}, {"C2", 1, {0.4, 0.25, 0.25}}},
                               {"x1 x2 x3 x4", "-x1 -x2 -x3 -x4"}, "P", {}, {q});
  PosWave(s.Model.Atom[0], 4, 0.02);  // cos along y
  FouPeakLists peaks;
  peaks.Max.push_back({{0.25, 0.35, 0.25}, 1.5, 0., -1., "", "max1", {0, 0, 0, 0.01, 0, 0}});
  s.Model.Commands = FouJoinPeaks({}, peaks);
  DistCommands c;
  ASSERT_EQ(DistReadCommands(
                "dist\nnooft 20\ninclude 1\ncenter C1 C2\nlonepair C1 0.8\nend dist\n", c, 1),
            0);
  DistResults r;
  ASSERT_EQ(DistRun(s, c, DistTables{}, r), 0);
  auto c1 = [&](double t) {
    return Vec3{0.25, 0.25 + 0.02 * std::cos(kTwoPi * (0.075 + t)), 0.25};
  };
  const Vec3 c2{0.4, 0.25, 0.25};
  auto at = [&](const std::string& name, double t) -> Vec3 {
    const Vec3 a = c1(t);
    if (name == "Cen1") return {(a[0] + c2[0]) / 2, (a[1] + c2[1]) / 2, 0.25};
    if (name == "max1") return {0.25 + 0.01 * std::cos(kTwoPi * (0.075 + t)), 0.35, 0.25};
    const Vec3 d = DistDiff(a, c2);  // the lone pair: opposite the bond to C2
    const double l = std::hypot(d[0], d[1]);
    return {a[0] + 0.08 * d[0] / l, a[1] + 0.08 * d[1] / l, 0.25};
  };
  int inv = 0;
  while (r.Phase.Ops[static_cast<size_t>(inv)].R[0] > 0.) ++inv;
  for (int i = 2; i < static_cast<int>(r.Phase.Atoms.size()); ++i) {  // max1, Cen1, LpC1
    const std::string& name = r.Phase.Atoms[static_cast<size_t>(i)].Name;
    for (const auto& t : r.TGrid) {
      // Itself, and its image by the inversion and (1, 0, 0), whose own
      // section is t0 = -(t + q.n).
      Vec3 x{}, y{};
      ASSERT_TRUE(DistModPosition(r.Phase, r.Mod, i, 0, {0, 0, 0}, t.data(), x));
      ASSERT_TRUE(DistModPosition(r.Phase, r.Mod, i, inv, {1, 0, 0}, t.data(), y));
      const Vec3 e = at(name, t[0]), f = at(name, -(t[0] + 0.3));
      for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(x[k], e[k], 1e-12) << name << " t " << t[0];
        EXPECT_NEAR(y[k], (k == 0 ? 1. : 0.) - f[k], 1e-12) << name << " t " << t[0];
      }
    }
  }
}

}  // namespace
}  // namespace tarn
