// Site symmetry and special-position constraints, checked against the
// symmetry operators themselves: the site operators are found here
// independently from the group table, the constrained parameters must be
// invariant under each of them, and the free-parameter counts must equal the
// published Wyckoff and ADP site-symmetry counts.
#include "symmetry/site.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <numbers>
#include <random>

#include "support/report_script.hpp"
#include "symm_test_util.hpp"

namespace tarn {
namespace {

using test::MakePhase;
using test::SpaceGroups;

// Real metric tensor of a cell (Angstrom, degrees).
Mat3 MetricOf(double a, double b, double c, double al, double be, double ga) {
  const double d = std::numbers::pi / 180.;
  const double ca = std::cos(al * d), cb = std::cos(be * d), cg = std::cos(ga * d);
  return {a * a,      a * b * cg, a * c * cb, a * b * cg, b * b,
          b * c * ca, a * c * cb, b * c * ca, c * c};
}

// Complete phase of a table group (generators closed into the group).
PhaseSymmetry TableGroup(int number) {
  for (const auto& g : SpaceGroups()) {
    if (g.Number != number) continue;
    PhaseSymmetry ps = MakePhase(3, g.Gen, g.Centr);
    EXPECT_EQ(CompleteSymm(ps), 0);
    EXPECT_EQ(ps.NSymm, static_cast<int>(g.Ops.size())) << g.Symbol;
    return ps;
  }
  ADD_FAILURE() << "group " << number << " not in the table";
  return CrlPrimitivePhase(3);
}

struct FoundOp {
  Mat3 R;
  Eigen::Vector3d T;  // R.w + T = w exactly
  Mat3 RMag;
};

// Site operators of the exact point w, found straight from the group.
std::vector<FoundOp> SiteOpsOf(const PhaseSymmetry& ps, const std::array<double, 3>& w) {
  std::vector<FoundOp> out;
  for (int j = 0; j < ps.NSymm; ++j)
    for (int c = 0; c < ps.NLattVec; ++c) {
      const auto& r = ps.Op[j].RM;
      Eigen::Vector3d t;
      bool on = true;
      for (int i = 0; i < 3; ++i) {
        double y = ps.Op[j].S6[i] + ps.VT6[c][i];
        for (int k = 0; k < 3; ++k) y += r[i * 3 + k] * w[k];
        const double n = std::round(y - w[i]);
        on = on && std::fabs(y - w[i] - n) < 1e-9;
        t[i] = ps.Op[j].S6[i] + ps.VT6[c][i] - n;
      }
      if (on) out.push_back({r, t, ps.Op[j].RMag});
    }
  return out;
}

Eigen::Matrix3d E3(const Mat3& m) {
  Eigen::Matrix3d e;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) e(i, j) = m[i * 3 + j];
  return e;
}

// Values of a block: random independent parameters around centre (0 when
// empty), dependent ones from the equations.
std::vector<double> Constrained(const SpecEquations& eqs, int kind, int n, std::mt19937& rng,
                                std::vector<double> centre = {}) {
  centre.resize(static_cast<size_t>(n), 0.);
  return test::Constrained(eqs, kind, centre, rng);
}

// The site equations of the atoms in ps with the metric g.
SpecEquations Equations(const PhaseSymmetry& ps, const Mat3& g, const std::vector<SiteAtom>& atoms,
                        int rc = 0) {
  SiteContext ctx;
  ctx.Symm = &ps;
  ctx.Metric = g;
  SpecEquations eqs;
  EXPECT_EQ(AtSpec(atoms, ctx, eqs), rc);
  return eqs;
}
SiteAtom AtomAt(const char* name, std::array<double, 3> x, bool magnetic = false) {
  SiteAtom at;
  at.Name = name;
  at.X = x;
  at.Magnetic = magnetic;
  return at;
}

using test::NumEq;

// Full symmetric tensor of order 3 from its 10 components.
double T3(const std::vector<double>& c, int i, int j, int k) {
  int a[3] = {i, j, k};
  std::sort(a, a + 3);
  const auto tuples = TensorIndexTuples(3);
  for (size_t q = 0; q < tuples.size(); ++q)
    if (tuples[q][0] == a[0] && tuples[q][1] == a[1] && tuples[q][2] == a[2]) return c[q];
  return 0.;
}

// ------------------------------------------------------------ Wyckoff sites
struct WyckoffCase {
  int Group;
  const char* Label;
  std::array<double, 3> W;  // a point of the site (free coordinates generic)
  int SiteOrder;            // site operators including centring
  int FreeXyz;              // free coordinates (International Tables)
  int FreeU;                // free ADP components (site-symmetry class)
  int FreeC = -1;           // free third-order components, -1: not checked
  int FreeD = -1;           // free fourth-order components
};

Mat3 CellFor(int group) {
  if (group >= 195) return MetricOf(10, 10, 10, 90, 90, 90);
  if (group >= 143) return MetricOf(5, 5, 12, 90, 90, 120);
  if (group >= 75) return MetricOf(5, 5, 7, 90, 90, 90);
  if (group >= 3) return MetricOf(5, 6, 7, 90, 100, 90);
  return MetricOf(5, 6, 7, 80, 100, 110);
}

// Every Wyckoff position of Fm-3m, P4/mmm, P6_3/mmc, R-3m (hexagonal axes)
// and P2_1/c (International Tables Vol. A), a few of Pm-3m and P-1; free ADP
// counts from the site-symmetry classes (cubic 1, uniaxial 2, orthorhombic 3,
// monoclinic 4, triclinic 6).
const WyckoffCase kCases[] = {
    // Fm-3m
    {225, "4a m-3m", {0, 0, 0}, 48, 0, 1, 0, 2},
    {225, "4b m-3m", {0.5, 0.5, 0.5}, 48, 0, 1, 0, 2},
    {225, "8c -43m", {0.25, 0.25, 0.25}, 24, 0, 1, 1, 2},
    {225, "24d m.mm", {0, 0.25, 0.25}, 8, 0, 3},
    {225, "24e 4m.m", {0.23, 0, 0}, 8, 1, 2},
    {225, "32f .3m", {0.11, 0.11, 0.11}, 6, 1, 2},
    {225, "48g 2.mm", {0.13, 0.25, 0.25}, 4, 1, 3},
    {225, "48h m.m2", {0, 0.17, 0.17}, 4, 1, 3},
    {225, "48i m.m2", {0.5, 0.17, 0.17}, 4, 1, 3},
    {225, "96j m..", {0, 0.17, 0.31}, 2, 2, 4},
    {225, "96k ..m", {0.12, 0.12, 0.31}, 2, 2, 4},
    {225, "192l 1", {0.12, 0.21, 0.33}, 1, 3, 6, 10, 15},
    // Pm-3m
    {221, "1a m-3m", {0, 0, 0}, 48, 0, 1},
    {221, "3c 4/mmm", {0, 0.5, 0.5}, 16, 0, 2},
    {221, "6e 4mm", {0.21, 0, 0}, 8, 1, 2},
    {221, "8g 3m", {0.19, 0.19, 0.19}, 6, 1, 2},
    {221, "12h mm2", {0.21, 0.5, 0}, 4, 1, 3},
    {221, "24m m", {0.13, 0.13, 0.29}, 2, 2, 4},
    // P4/mmm
    {123, "1a 4/mmm", {0, 0, 0}, 16, 0, 2, 0},
    {123, "1b 4/mmm", {0, 0, 0.5}, 16, 0, 2, 0},
    {123, "1c 4/mmm", {0.5, 0.5, 0}, 16, 0, 2, 0},
    {123, "1d 4/mmm", {0.5, 0.5, 0.5}, 16, 0, 2, 0},
    {123, "2e mmm.", {0, 0.5, 0.5}, 8, 0, 3},
    {123, "2f mmm.", {0, 0.5, 0}, 8, 0, 3},
    {123, "2g 4mm", {0, 0, 0.27}, 8, 1, 2},
    {123, "2h 4mm", {0.5, 0.5, 0.27}, 8, 1, 2},
    {123, "4i 2mm.", {0, 0.5, 0.27}, 4, 1, 3},
    {123, "4j m.2m", {0.18, 0.18, 0}, 4, 1, 3},
    {123, "4k m.2m", {0.18, 0.18, 0.5}, 4, 1, 3},
    {123, "4l m2m.", {0.18, 0, 0}, 4, 1, 3},
    {123, "4m m2m.", {0.18, 0, 0.5}, 4, 1, 3},
    {123, "4n m2m.", {0.18, 0.5, 0}, 4, 1, 3},
    {123, "4o m2m.", {0.18, 0.5, 0.5}, 4, 1, 3},
    {123, "8p m..", {0.18, 0.33, 0}, 2, 2, 4},
    {123, "8q m..", {0.18, 0.33, 0.5}, 2, 2, 4},
    {123, "8r ..m", {0.18, 0.18, 0.33}, 2, 2, 4},
    {123, "8s .m.", {0.18, 0, 0.33}, 2, 2, 4},
    {123, "8t .m.", {0.18, 0.5, 0.33}, 2, 2, 4},
    {123, "16u 1", {0.11, 0.27, 0.38}, 1, 3, 6},
    // P6_3/mmc
    {194, "2a -3m.", {0, 0, 0}, 12, 0, 2, 0},
    {194, "2b -6m2", {0, 0, 0.25}, 12, 0, 2},
    {194, "2c -6m2", {1. / 3, 2. / 3, 0.25}, 12, 0, 2},
    {194, "2d -6m2", {1. / 3, 2. / 3, 0.75}, 12, 0, 2},
    {194, "4e 3m.", {0, 0, 0.07}, 6, 1, 2},
    {194, "4f 3m.", {1. / 3, 2. / 3, 0.07}, 6, 1, 2},
    {194, "6g .2/m.", {0.5, 0, 0}, 4, 0, 4},
    {194, "6h mm2", {0.17, 0.34, 0.25}, 4, 1, 3},
    {194, "12i .2.", {0.17, 0, 0}, 2, 1, 4},
    {194, "12j m..", {0.17, 0.41, 0.25}, 2, 2, 4},
    {194, "12k .m.", {0.17, 0.34, 0.06}, 2, 2, 4},
    {194, "24l 1", {0.11, 0.27, 0.38}, 1, 3, 6},
    // R-3m, hexagonal axes
    {166, "3a -3m", {0, 0, 0}, 12, 0, 2},
    {166, "3b -3m", {0, 0, 0.5}, 12, 0, 2},
    {166, "6c 3m", {0, 0, 0.37}, 6, 1, 2},
    {166, "9d .2/m", {0.5, 0, 0.5}, 4, 0, 4},
    {166, "9e .2/m", {0.5, 0, 0}, 4, 0, 4},
    {166, "18f .2", {0.29, 0, 0}, 2, 1, 4},
    {166, "18g .2", {0.29, 0, 0.5}, 2, 1, 4},
    {166, "18h .m", {0.21, 0.79, 0.12}, 2, 2, 4},
    {166, "36i 1", {0.11, 0.27, 0.38}, 1, 3, 6},
    // P2_1/c and P-1
    {14, "2a -1", {0, 0, 0}, 2, 0, 6, 0, 15},
    {14, "2b -1", {0.5, 0, 0}, 2, 0, 6},
    {14, "2c -1", {0, 0, 0.5}, 2, 0, 6},
    {14, "2d -1", {0.5, 0, 0.5}, 2, 0, 6},
    {14, "4e 1", {0.1, 0.2, 0.3}, 1, 3, 6},
    {2, "1a -1", {0, 0, 0}, 2, 0, 6},
};

class WyckoffTest : public ::testing::TestWithParam<WyckoffCase> {};

TEST_P(WyckoffTest, ConstraintsMatchSiteSymmetry) {
  if (SpaceGroups().empty()) GTEST_SKIP() << "space-group table missing";
  const WyckoffCase& wc = GetParam();
  SCOPED_TRACE(wc.Label);
  const PhaseSymmetry ps = TableGroup(wc.Group);
  const Mat3 g = CellFor(wc.Group);
  const auto found = SiteOpsOf(ps, wc.W);
  ASSERT_EQ(static_cast<int>(found.size()), wc.SiteOrder);

  // A point 0.003 Angstrom off the site is recognised and moved onto it.
  double x[6] = {wc.W[0] + 0.0002, wc.W[1] - 0.0003, wc.W[2] + 0.0001, 0, 0, 0};
  std::vector<SiteOp> ops;
  EXPECT_EQ(SpecPos(x, false, ps, g.data(), nullptr, kSpecPosTolAtom, &ops), wc.SiteOrder);
  for (const auto& f : found) {
    const Eigen::Vector3d p(x[0], x[1], x[2]);
    const Eigen::Vector3d d = E3(f.R) * p + f.T - p;
    EXPECT_LT(d.cwiseAbs().maxCoeff(), 1e-12) << "moved point is not on the site";
  }
  const std::vector<Mat3> pg = SpecPg(ops);

  SiteAtom at = AtomAt("A1", {x[0], x[1], x[2]});
  at.AdpOrder = 4;
  const SpecEquations eqs = Equations(ps, g, {at});

  EXPECT_EQ(3 - NumEq(eqs, SpPos), wc.FreeXyz);
  EXPECT_EQ(6 - NumEq(eqs, SpAdp), wc.FreeU);
  if (wc.FreeC >= 0) {
    EXPECT_EQ(10 - NumEq(eqs, SpAnh3), wc.FreeC);
  }
  if (wc.FreeD >= 0) {
    EXPECT_EQ(15 - NumEq(eqs, SpAnh4), wc.FreeD);
  }
  EXPECT_EQ(NumEq(eqs, SpOcc), 0);

  // Second count: trace of the averaging projector (1/|G|) sum S(g) over the
  // site point group is the dimension of the invariant subspace.
  struct Blk {
    int Kind, N;
  };
  for (const Blk b : {Blk{SpPos, 3}, Blk{SpAdp, 6}, Blk{SpAnh3, 10}, Blk{SpAnh4, 15}}) {
    double tr = 0.;
    for (const Mat3& r : pg) {
      std::vector<double> s;
      if (b.Kind == SpPos) s.assign(r.begin(), r.end());
      if (b.Kind == SpAdp) {
        const auto sb = srotb(r);
        s.assign(sb.begin(), sb.end());
      }
      if (b.Kind >= SpAnh3) s = SRotC(r, b.Kind == SpAnh3 ? 3 : 4);
      for (int i = 0; i < b.N; ++i) tr += s[i * b.N + i];
    }
    EXPECT_NEAR(tr / static_cast<double>(pg.size()), b.N - NumEq(eqs, b.Kind), 1e-9)
        << SiteParName(b.Kind, 0);
  }

  // Random parameter sets obeying the equations are invariant under every
  // site operator of the group table.
  std::mt19937 rng(wc.Group * 1000 + wc.SiteOrder);
  for (int trial = 0; trial < 3; ++trial) {
    const auto pos = Constrained(eqs, SpPos, 3, rng, {x[0], x[1], x[2]});
    const auto u = Constrained(eqs, SpAdp, 6, rng);
    const auto c3 = Constrained(eqs, SpAnh3, 10, rng);
    const auto d4 = Constrained(eqs, SpAnh4, 15, rng);
    Eigen::Matrix3d beta;
    beta << u[0], u[3], u[4], u[3], u[1], u[5], u[4], u[5], u[2];
    for (const auto& f : found) {
      const Eigen::Matrix3d r = E3(f.R);
      const Eigen::Vector3d p(pos[0], pos[1], pos[2]);
      Eigen::Vector3d d = r * p + f.T - p;
      for (int i = 0; i < 3; ++i) d[i] -= std::round(d[i]);
      EXPECT_LT(d.cwiseAbs().maxCoeff(), 1e-9) << "position";
      EXPECT_LT((r * beta * r.transpose() - beta).cwiseAbs().maxCoeff(), 1e-9) << "ADP";
      // Third order written out: C'_ijk = R_ia R_jb R_kc C_abc.
      double worst = 0.;
      const auto tuples = TensorIndexTuples(3);
      for (size_t q = 0; q < tuples.size(); ++q) {
        double s = 0.;
        for (int a = 0; a < 3; ++a)
          for (int b = 0; b < 3; ++b)
            for (int c = 0; c < 3; ++c)
              s += r(tuples[q][0], a) * r(tuples[q][1], b) * r(tuples[q][2], c) * T3(c3, a, b, c);
        worst = std::max(worst, std::fabs(s - c3[q]));
      }
      EXPECT_LT(worst, 1e-9) << "third-order tensor";
      const auto s4 = SRotC(f.R, 4);
      for (int i = 0; i < 15; ++i) {
        double s = 0.;
        for (int k = 0; k < 15; ++k) s += s4[i * 15 + k] * d4[k];
        EXPECT_NEAR(s, d4[i], 1e-9) << "fourth-order tensor";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Groups, WyckoffTest, ::testing::ValuesIn(kCases));

// ------------------------------------------------------------ named constraints
// Equations named as the user sees them: on the four-fold axis of P4/mmm, the
// body diagonal of Pm-3m and the mirror x,2x,z of P6_3/mmc (y = 2x).
TEST(SiteConstraints, NamedEquationsOfSpecialPositions) {
  if (SpaceGroups().empty()) GTEST_SKIP() << "space-group table missing";
  struct Row {
    int Group;
    const char* Name;
    std::array<double, 3> X;
    std::vector<std::string> Want;
  };
  const Row rows[] = {
      {123,
       "Fe1",
       {0.5, 0.5, 0.2},
       {"x[Fe1]=0.5", "y[Fe1]=0.5", "U22[Fe1]=U11[Fe1]", "U12[Fe1]=0", "U13[Fe1]=0", "U23[Fe1]=0"}},
      {221,
       "O1",
       {0.3, 0.3, 0.3},
       {"y[O1]=x[O1]", "z[O1]=x[O1]", "U22[O1]=U11[O1]", "U33[O1]=U11[O1]", "U13[O1]=U12[O1]",
        "U23[O1]=U12[O1]"}},
  };
  for (const Row& r : rows) {
    const SpecEquations eqs =
        Equations(TableGroup(r.Group), CellFor(r.Group), {AtomAt(r.Name, r.X)});
    std::vector<std::string> text;
    for (int e = 0; e < eqs.NEq; ++e)
      if (eqs.Eq[e].Kind == SpPos || eqs.Eq[e].Kind == SpAdp) text.push_back(eqs.Eq[e].Text());
    for (const auto& w : r.Want)
      EXPECT_NE(std::find(text.begin(), text.end(), w), text.end()) << w << " in " << r.Group;
    EXPECT_EQ(text.size(), r.Want.size()) << r.Group;
  }
  // On the mirror of P6_3/mmc: either y = 2x or x = y/2.
  const SpecEquations eqs =
      Equations(TableGroup(194), CellFor(194), {AtomAt("C1", {0.17, 0.34, 0.06})});
  ASSERT_EQ(NumEq(eqs, SpPos), 1);
  const SpecEquation& e = eqs.Eq[0];
  ASSERT_EQ(e.Coef.size(), 1u);
  EXPECT_TRUE((e.Dep == 1 && e.Ind[0] == 0 && std::fabs(e.Coef[0] - 2.) < 1e-12) ||
              (e.Dep == 0 && e.Ind[0] == 1 && std::fabs(e.Coef[0] - 0.5) < 1e-12))
      << e.Text();
}

// ------------------------------------------------------------ special positions
TEST(SpecPosTest, PointsNearAndFarFromTheInversionCentre) {
  const PhaseSymmetry ps = MakePhase(3, {"-x -y -z"});
  const Mat3 g = MetricOf(10, 10, 10, 90, 90, 90);
  struct Row {
    std::array<double, 3> In;
    int Count;
    std::array<double, 3> Out;
  };
  const Row rows[] = {
      {{0.0003, -0.0002, 0.0001}, 2, {0, 0, 0}},    // 0.004 A off: moved exactly
      {{0.5004, 0.9999, 0.0}, 2, {0.5, 1.0, 0.0}},  // centre at 1/2,0,0 (cell 1,0,0)
      {{0.01, 0.0, 0.0}, 1, {0.01, 0.0, 0.0}},      // 0.2 A off: general, unchanged
      {{0.25, 0.13, 0.77}, 1, {0.25, 0.13, 0.77}},  // general position
  };
  for (const Row& r : rows) {
    double x[3] = {r.In[0], r.In[1], r.In[2]};
    EXPECT_EQ(SpecPos(x, false, ps, g.data(), nullptr, kSpecPosTolAtom), r.Count);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(x[i], r.Out[i], 1e-12);
  }
}

TEST(SpecPosTest, PureTimeInversionHalvesTheCount) {
  // Grey group -1.1': group completion refuses two operators with the same
  // rotation and translation, so the list is given whole.
  const PhaseSymmetry ps = MakePhase(3, {"-x -y -z m", "x y z -m", "-x -y -z -m"}, {}, true);
  const Mat3 g = MetricOf(5, 5, 5, 90, 90, 90);
  double x[3] = {0.2, 0.3, 0.4};
  EXPECT_EQ(SpecPos(x, false, ps, g.data(), nullptr, kSpecPosTolAtom), 1);
  double o[3] = {0, 0, 0};
  EXPECT_EQ(SpecPos(o, false, ps, g.data(), nullptr, kSpecPosTolAtom), 2);
}

TEST(SpecPosTest, InternalCoordinatesMustMatchWhenAsked) {
  // Inversion in superspace: (-x1,-x2,-x3,-x4). The point (0,0,0,x4) is on
  // the centre in 3 dimensions, in superspace only for x4 = 0 or 1/2.
  const PhaseSymmetry ps = MakePhase(4, {"-x1 -x2 -x3 -x4"});
  const Mat3 g = MetricOf(5, 5, 5, 90, 90, 90);
  double a[4] = {0, 0, 0, 0.3}, b[4] = {0, 0, 0, 0.3}, c[4] = {0, 0, 0, 1.5};
  EXPECT_EQ(SpecPos(a, false, ps, g.data(), nullptr, kSpecPosTolAtom), 2);
  EXPECT_EQ(SpecPos(b, true, ps, g.data(), nullptr, kSpecPosTolAtom), 1);
  EXPECT_EQ(SpecPos(c, true, ps, g.data(), nullptr, kSpecPosTolAtom), 2);
  EXPECT_DOUBLE_EQ(c[3], 0.5);  // internal coordinate reduced into [0,1)
}

// ------------------------------------------------------------ site orders
TEST(SpecAtTest, OrdersAndDuplicateMarks) {
  if (SpaceGroups().empty()) GTEST_SKIP() << "space-group table missing";
  const PhaseSymmetry pm1 = MakePhase(3, {"-x -y -z"});
  std::vector<SiteOrder> so;
  SpecAt(pm1, {{0, 0, 0}, {0.1, 0.2, 0.3}}, {}, {}, so);
  ASSERT_EQ(so.size(), 2u);
  EXPECT_DOUBLE_EQ(so[0].Order, 2.);
  EXPECT_EQ(so[0].Mark, (std::vector<int>{1, -1}));
  EXPECT_DOUBLE_EQ(so[1].Order, 1.);
  EXPECT_EQ(so[1].Mark, (std::vector<int>{1, 2}));

  // Fm-3m: site order times the number of distinct copies (modulo centring)
  // equals the number of coset representatives.
  const PhaseSymmetry fm = TableGroup(225);
  const std::vector<std::array<double, 3>> pos = {
      {0, 0, 0}, {0.25, 0.25, 0.25}, {0, 0.25, 0.25}, {0.11, 0.11, 0.11}, {0.12, 0.21, 0.33}};
  const double order[] = {48, 24, 8, 6, 1};
  SpecAt(fm, pos, {}, {}, so);
  for (size_t a = 0; a < pos.size(); ++a) {
    EXPECT_DOUBLE_EQ(so[a].Order, order[a]);
    int distinct = 0;
    for (int j = 0; j < fm.NSymm; ++j) {
      if (so[a].Mark[j] > 0) {
        EXPECT_EQ(so[a].Mark[j], j + 1);
        ++distinct;
      } else {
        EXPECT_GT(so[a].Mark[so[a].Mark[j] * -1 - 1], 0) << "a mark points at a duplicate";
      }
    }
    EXPECT_DOUBLE_EQ(distinct * so[a].Order, fm.NSymm);
  }
}

TEST(SpecAtTest, CompositeCentringVanishingInSubsystemMultipliesOrder) {
  // Centring (0,0,0,1/2) has no real-space part: in a composite phase every
  // atom of the subsystem coincides with its centred copy.
  const PhaseSymmetry ps = MakePhase(4, {"-x1 -x2 -x3 -x4"}, {{0, 0, 0, 0.5}});
  const std::vector<double> id = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  const std::vector<double> sw = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0};
  std::vector<SiteOrder> so;
  SpecAt(ps, {{0.1, 0.2, 0.3}, {0.1, 0.2, 0.3}}, {0, 1}, {id, sw}, so);
  EXPECT_DOUBLE_EQ(so[0].Order, 2.);  // centring without real-space part
  EXPECT_DOUBLE_EQ(so[1].Order, 1.);  // in the swapped basis it moves x3 by 1/2
}

// ------------------------------------------------------------ point groups
TEST(PointGroupTest, GeneratorsCloseToPublishedOrders) {
  const Mat3 four = {0, -1, 0, 1, 0, 0, 0, 0, 1}, inv = {-1, 0, 0, 0, -1, 0, 0, 0, -1},
             mx = {-1, 0, 0, 0, 1, 0, 0, 0, 1}, three = {0, 0, 1, 1, 0, 0, 0, 1, 0},
             six = {1, -1, 0, 1, 0, 0, 0, 0, 1};
  struct Row {
    std::vector<Mat3> Gen;
    size_t Order;
  };
  const Row rows[] = {{{}, 1},
                      {{inv}, 2},
                      {{four}, 4},
                      {{four, inv}, 8},
                      {{four, mx}, 8},
                      {{four, mx, inv}, 16},
                      {{three, four, inv}, 48},
                      {{six, inv}, 12}};
  for (const Row& r : rows) EXPECT_EQ(GenPg(r.Gen).size(), r.Order);
}

TEST(PointGroupTest, AtSymFindsTheNamedAtom) {
  if (SpaceGroups().empty()) GTEST_SKIP() << "space-group table missing";
  const PhaseSymmetry ps = TableGroup(225);
  SiteContext ctx;
  ctx.Symm = &ps;
  ctx.Metric = CellFor(225);
  std::vector<SiteAtom> atoms(2);
  atoms[0].Name = "Na1";
  atoms[0].X = {0, 0, 0};
  atoms[1].Name = "Cl1";
  atoms[1].X = {0.5, 0.5, 0.5};
  const SiteInfo a = AtSym("cl1", atoms, ctx);
  EXPECT_EQ(a.Atom, 1);
  EXPECT_EQ(a.Count, 48);
  EXPECT_EQ(a.PointGroup.size(), 48u);
  const SiteInfo b = atsymspec("U11[Na1]", atoms, ctx);
  EXPECT_EQ(b.Atom, 0);
  EXPECT_EQ(b.Count, 48);
  EXPECT_EQ(atsymspec("x[K9]", atoms, ctx).Atom, -1);
}

// ------------------------------------------------------------ tensors
TEST(SRotCTest, OrderTwoIsSrotbInAnotherComponentOrder) {
  // Lexicographic order 11,12,13,22,23,33 against srotb's 11,22,33,12,13,23.
  const int perm[6] = {0, 3, 4, 1, 5, 2};  // lexicographic index -> srotb index
  const Mat3 r = {0, -1, 0, 1, -1, 0, 0, 0, 1};
  const auto a = SRotC(r, 2);
  const auto b = srotb(r);
  for (int p = 0; p < 6; ++p)
    for (int q = 0; q < 6; ++q) EXPECT_DOUBLE_EQ(a[p * 6 + q], b[perm[p] * 6 + perm[q]]);
}

TEST(SRotCTest, IsARepresentationForOrdersThreeToSix) {
  const Mat3 r1 = {0, -1, 0, 1, -1, 0, 0, 0, 1};  // 3-fold, hexagonal axes
  const Mat3 r2 = {0, 1, 0, 1, 0, 0, 0, 0, -1};   // 2-fold along [110]
  Mat3 r12{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r12[i * 3 + j] += r1[i * 3 + k] * r2[k * 3 + j];
  for (int n = 3; n <= 6; ++n) {
    const int m = (n + 1) * (n + 2) / 2;
    EXPECT_EQ(static_cast<int>(TensorIndexTuples(n).size()), m);
    const auto a = SRotC(r1, n), b = SRotC(r2, n), ab = SRotC(r12, n);
    ASSERT_EQ(static_cast<int>(ab.size()), m * m);
    for (int i = 0; i < m; ++i)
      for (int j = 0; j < m; ++j) {
        double s = 0.;
        for (int k = 0; k < m; ++k) s += a[i * m + k] * b[k * m + j];
        EXPECT_NEAR(s, ab[i * m + j], 1e-12) << "order " << n;
      }
  }
  EXPECT_EQ(SiteParName(SpAnh3, 1), "C112");
  EXPECT_EQ(SiteParName(SpAnh6, 27), "F333333");
}

// ------------------------------------------------------------ magnetic moments
TEST(SiteConstraints, MagneticMomentsFollowTimeInversion) {
  struct Row {
    std::vector<std::string> Ops;
    int Free;
  };
  const Row rows[] = {
      {{"-x -y -z m"}, 3},   // -1: axial vector unchanged
      {{"-x -y -z -m"}, 0},  // -1': moment must vanish
      {{"-y x z m"}, 1},     // 4 along z: moment along z
      {{"x y -z m"}, 1},     // mirror: moment normal to it
      {{"x y -z -m"}, 2},    // primed mirror: moment in its plane
      {{"-y x z -m"}, 0},    // 4': no invariant axial vector
  };
  const Mat3 g = MetricOf(5, 5, 5, 90, 90, 90);
  for (const Row& r : rows) {
    const PhaseSymmetry ps = MakePhase(3, r.Ops, {}, true);
    PhaseSymmetry full = ps;
    ASSERT_EQ(CompleteSymm(full), 0);
    const SpecEquations eqs = Equations(full, g, {AtomAt("Mn1", {}, true)});
    EXPECT_EQ(3 - NumEq(eqs, SpMag), r.Free) << r.Ops[0];
    std::mt19937 rng(7);
    const auto m = Constrained(eqs, SpMag, 3, rng);
    for (int j = 0; j < full.NSymm; ++j) {
      const Eigen::Vector3d v(m[0], m[1], m[2]);
      EXPECT_LT((E3(full.Op[j].RMag) * v - v).cwiseAbs().maxCoeff(), 1e-12) << r.Ops[0];
    }
  }
}

TEST(SiteConstraints, MagneticMomentsOnSpecialPositionsOfMagneticGroups) {
  // P4/mm'm' (mirrors normal to [100] and [110] primed) and P2_1/c with the
  // inversion primed. A moment is normal to an unprimed mirror and in the
  // plane of a primed one, along an unprimed axis, and zero on -1'.
  struct Row {
    std::vector<std::string> Gen;
    std::array<double, 3> W;
    int SiteOrder;
    int Free;
  };
  const std::vector<std::string> p4mmm = {"-y x z m", "-x -y -z m", "-x y z -m"};
  const std::vector<std::string> p21c = {"-x -y -z -m", "-x y+1/2 -z+1/2 m"};
  const Row rows[] = {
      {p4mmm, {0, 0, 0}, 16, 1},         {p4mmm, {0, 0, 0.27}, 8, 1},
      {p4mmm, {0, 0.5, 0.27}, 4, 1},     {p4mmm, {0.18, 0, 0}, 4, 1},
      {p4mmm, {0.18, 0.18, 0}, 4, 1},    {p4mmm, {0.18, 0.33, 0}, 2, 1},
      {p4mmm, {0.18, 0.18, 0.33}, 2, 2}, {p4mmm, {0.18, 0, 0.33}, 2, 2},
      {p4mmm, {0.11, 0.27, 0.38}, 1, 3}, {p21c, {0, 0, 0}, 2, 0},
      {p21c, {0.5, 0, 0.5}, 2, 0},       {p21c, {0.1, 0.2, 0.3}, 1, 3},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Gen.size() == 3 ? "P4/mm'm'" : "P2_1/c'");
    SCOPED_TRACE(r.W[0] * 1000 + r.W[1] * 100 + r.W[2]);
    PhaseSymmetry ps = MakePhase(3, r.Gen, {}, true);
    ASSERT_EQ(CompleteSymm(ps), 0);
    const auto found = SiteOpsOf(ps, r.W);
    ASSERT_EQ(static_cast<int>(found.size()), r.SiteOrder);
    const SpecEquations eqs =
        Equations(ps, MetricOf(5, 5, 7, 90, 90, 90), {AtomAt("Mn1", r.W, true)});
    EXPECT_EQ(3 - NumEq(eqs, SpMag), r.Free);
    std::mt19937 rng(17);
    const auto m = Constrained(eqs, SpMag, 3, rng);
    const Eigen::Vector3d v(m[0], m[1], m[2]);
    for (const auto& f : found) EXPECT_LT((E3(f.RMag) * v - v).cwiseAbs().maxCoeff(), 1e-12);
  }
}

// ------------------------------------------------------------ modulation waves
// u(x4) = sum_w s_w sin(2 pi k_w x4) + c_w cos(2 pi k_w x4) for one vector q.
Eigen::Vector3d Wave(const std::vector<double>& p, int nw, double x4) {
  Eigen::Vector3d u = Eigen::Vector3d::Zero();
  for (int w = 0; w < nw; ++w) {
    const double a = 2. * std::numbers::pi * (w + 1) * x4;
    for (int i = 0; i < 3; ++i) u[i] += p[6 * w + i] * std::sin(a) + p[6 * w + 3 + i] * std::cos(a);
  }
  return u;
}

TEST(SiteConstraints, MirrorFixesSineOrCosineByInternalTranslation) {
  struct Row {
    const char* Op;
    std::vector<int> FixedWave1;  // fixed components of wave 1 (0-2 sine, 3-5 cosine)
  };
  const Row rows[] = {
      {"x1 x2 -x3 -x4", {0, 1, 5}},      // mirror, x4 -> -x4
      {"x1 x2 -x3 -x4+1/2", {2, 3, 4}},  // the same with internal translation 1/2
      {"x1 x2 -x3 x4", {2, 5}},          // mirror keeping x4
      {"x1 x2 -x3 x4+1/2", {0, 1, 3, 4}},
  };
  const Mat3 g = MetricOf(5, 5, 5, 90, 90, 90);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Op);
    PhaseSymmetry ps = MakePhase(4, {r.Op});
    SiteAtom at = AtomAt("Sr1", {0.1, 0.2, 0.});
    at.NWave[SpPos] = 2;
    const SpecEquations eqs = Equations(ps, g, {at});
    std::vector<int> fixed;
    for (int e = 0; e < eqs.NEq; ++e)
      if (eqs.Eq[e].Kind == SpPosWave && eqs.Eq[e].Dep < 6) {
        EXPECT_TRUE(eqs.Eq[e].Coef.empty()) << eqs.Eq[e].Text();
        fixed.push_back(eqs.Eq[e].Dep);
      }
    std::sort(fixed.begin(), fixed.end());
    EXPECT_EQ(fixed, r.FixedWave1);

    // Invariance of the modulation function itself: R u(x4) = u(eps x4 + delta).
    std::mt19937 rng(3);
    const auto p = Constrained(eqs, SpPosWave, 12, rng);
    const SymmOp& op = ps.Op[1];
    const double eps = op.RM6[15];
    const double delta = op.S6[3];  // M = 0 here
    for (double x4 : {0.0, 0.13, 0.41, 0.77}) {
      const Eigen::Vector3d lhs = E3(op.RM) * Wave(p, 2, x4);
      const Eigen::Vector3d rhs = Wave(p, 2, eps * x4 + delta);
      EXPECT_LT((lhs - rhs).cwiseAbs().maxCoeff(), 1e-9) << "x4 = " << x4;
    }
  }
}

TEST(SiteConstraints, UnclosedWaveSetIsReported) {
  // The operator exchanges the two modulation vectors: wave (1,0) maps onto
  // (0,1), which the atom must carry too.
  PhaseSymmetry ps = MakePhase(5, {"x2 x1 x3 x5 x4"});
  SiteContext ctx;
  ctx.Symm = &ps;
  ctx.Metric = MetricOf(5, 5, 7, 90, 90, 90);
  ctx.Kw = {{1, 0, 0}};
  SiteAtom at;
  at.Name = "Ba1";
  at.X = {0.1, 0.1, 0.3};
  at.NWave[SpOcc] = 1;
  SpecEquations eqs;
  {
    test::ReportScript shown;
    EXPECT_EQ(AtSpec({at}, ctx, eqs), 1);
    ASSERT_EQ(shown.Of("error").size(), 1u);
    EXPECT_EQ(shown.Log[0].Header, "The set of modulation waves isn't closed.");
    EXPECT_EQ(shown.Log[0].Lines, std::vector<std::string>{"Select another set and try again."});
  }

  // With both waves the set is closed: the two occupancy waves are equal.
  ctx.Kw = {{1, 0, 0}, {0, 1, 0}};
  at.NWave[SpOcc] = 2;
  eqs = SpecEquations{};
  ASSERT_EQ(AtSpec({at}, ctx, eqs), 0);
  EXPECT_EQ(NumEq(eqs, SpOccWave), 2);
}

}  // namespace
}  // namespace tarn
