// Parameter constraints: site-symmetry equations keep atoms on their sites
// under random shifts, compress/uncompress are transposes, hydrogen placement
// gives ideal geometry, ADP riding, user equations, fixed commands and
// restrictions.
#include "refine/constr.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <random>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"
#include "refine/refcommands.hpp"
#include "support/refine_sim.hpp"

namespace tarn {
namespace {

constexpr double kPi = 3.14159265358979323846;

// One phase from cell, centring and generator lines; the model is cleared.
void SetPhase(const std::array<double, 6>& cell, const std::string& lattice,
              const std::vector<std::string>& gen) {
  testsim::SetPhase({.Cell = cell, .Lattice = lattice, .Ops = gen, .Scale = 1.});
}

AtomRec& AddAtom(const std::string& name, std::array<double, 3> x, int adpOrder = 2) {
  AtomRec a = DefaultAtom();
  a.Name = name;
  a.Shape.AdpOrder = adpOrder;
  a.Par.resize(AtomLayout(a.Shape).NPar);
  a.Par.Val[0] = 1.;
  for (int i = 0; i < 3; ++i) a.Par.Val[static_cast<size_t>(1 + i)] = x[static_cast<size_t>(i)];
  // A general tensor: the equations must bring it onto the site.
  if (adpOrder == 2) {
    const double b[6] = {0.011, 0.013, 0.017, 0.002, -0.001, 0.003};
    for (int i = 0; i < 6; ++i) a.Par.Val[static_cast<size_t>(4 + i)] = b[i];
  } else {
    a.Par.Val[4] = 0.02;
  }
  Struct.Model.Atom.push_back(a);
  return Struct.Model.Atom.back();
}

const std::vector<std::string> kFm3m = {"x y z", "-x -y z", "-x y -z",
                                        "z x y", "y x -z",  "-x -y -z"};
const std::vector<std::string> kP4mmm = {"x y z", "-y x z", "-x y z", "-x -y -z"};

// Values of atom a's position and tensor in the full vector.
Eigen::Vector3d PosOf(const RefParams& p, int a) {
  const int o = p.AtomBase[static_cast<size_t>(a)] + 1;
  return {p.Val[static_cast<size_t>(o)], p.Val[static_cast<size_t>(o + 1)],
          p.Val[static_cast<size_t>(o + 2)]};
}
Eigen::Matrix3d BetaOf(const RefParams& p, int a) {
  const int o = p.AtomBase[static_cast<size_t>(a)] + 4;
  auto v = [&](int i) { return p.Val[static_cast<size_t>(o + i)]; };
  Eigen::Matrix3d b;
  b << v(0), v(3), v(4), v(3), v(1), v(5), v(4), v(5), v(2);
  return b;
}

// Largest violation of site invariance of atom a over all operators (with
// centring) of the phase that map its position onto itself: position
// R x + t = x (mod 1) and tensor R beta R^T = beta.
double SiteViolation(const RefParams& p, int a, int& nSite) {
  const PhaseSymmetry& ps = Struct.Basic.Phase[0].Symmetry;
  const Eigen::Vector3d x = PosOf(p, a);
  const Eigen::Matrix3d b = BetaOf(p, a);
  double worst = 0.;
  nSite = 0;
  for (int i = 0; i < ps.NSymm; ++i)
    for (int c = 0; c < ps.NLattVec; ++c) {
      const SymmOp& o = ps.Op[static_cast<size_t>(i)];
      Eigen::Matrix3d r;
      for (int k = 0; k < 9; ++k) r(k / 3, k % 3) = o.RM[static_cast<size_t>(k)];
      Eigen::Vector3d y = r * x;
      for (int k = 0; k < 3; ++k)
        y[k] +=
            o.S6[static_cast<size_t>(k)] + ps.VT6[static_cast<size_t>(c)][static_cast<size_t>(k)];
      Eigen::Vector3d d = y - x;
      for (int k = 0; k < 3; ++k) d[k] -= std::round(d[k]);
      if (d.norm() > 1e-3) continue;  // not a site operator
      ++nSite;
      worst = std::max(worst, d.cwiseAbs().maxCoeff());
      worst = std::max(worst, (r * b * r.transpose() - b).cwiseAbs().maxCoeff());
    }
  return worst;
}

// Refined parameters of atom a: position and tensor counted separately.
std::pair<int, int> FreeCounts(const RefParams& p, int a) {
  const int o = p.AtomBase[static_cast<size_t>(a)];
  int nx = 0, nu = 0;
  for (int i = 1; i < 4; ++i) nx += p.Refines(o + i);
  for (int i = 4; i < 10; ++i) nu += p.Refines(o + i);
  return {nx, nu};
}

struct SiteCase {
  const char* Group;
  std::array<double, 3> X;
  int Order;  // site-symmetry order (with centring for F)
  int NFreeX, NFreeU;
};

TEST(Constr, SpecialPositionsStayOnTheirSitesUnderRandomShifts) {
  RefSettings ref;
  // Free coordinate and ADP counts of Wyckoff positions (Vol. A; ADP
  // restrictions by site symmetry, Peterse & Palm 1966): one of each kind of
  // site, the full tables are checked against the site equations themselves.
  const SiteCase cases[] = {
      {"Fm-3m", {0., 0., 0.}, 48, 0, 1},        // 4a m-3m
      {"Fm-3m", {0., 0.25, 0.25}, 8, 0, 3},     // 24d m.mm
      {"Fm-3m", {0.21, 0., 0.}, 8, 1, 2},       // 24e 4m.m
      {"Fm-3m", {0.13, 0.13, 0.13}, 6, 1, 2},   // 32f .3m
      {"Fm-3m", {0.11, 0.11, 0.31}, 2, 2, 4},   // 96k ..m
      {"P4/mmm", {0.5, 0.5, 0.5}, 16, 0, 2},    // 1d
      {"P4/mmm", {0., 0.5, 0.23}, 4, 1, 3},     // 4i 2mm.
      {"P4/mmm", {0.19, 0.37, 0.31}, 1, 3, 6},  // 16u general
  };
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-0.02, 0.02);
  for (const SiteCase& c : cases) {
    SCOPED_TRACE(std::string(c.Group) + " " + std::to_string(c.X[0]) + " " +
                 std::to_string(c.X[1]) + " " + std::to_string(c.X[2]));
    if (std::string(c.Group) == "Fm-3m")
      SetPhase({5.64, 5.64, 5.64, 90, 90, 90}, "F", kFm3m);
    else
      SetPhase({3.9, 3.9, 5.1, 90, 90, 90}, "P", kP4mmm);
    // Slightly off the site, as read from a file.
    AddAtom("A1", {c.X[0] + 2e-7, c.X[1] - 1e-7, c.X[2]});
    SetBasicM40(Struct.Model);
    RefParams p;
    ASSERT_EQ(RefPrelimConstr(p, ref), 0);
    int nSite = 0;
    EXPECT_LT(SiteViolation(p, 0, nSite), 1e-9);
    EXPECT_EQ(nSite, c.Order);
    const auto [nx, nu] = FreeCounts(p, 0);
    EXPECT_EQ(nx, c.NFreeX);
    EXPECT_EQ(nu, c.NFreeU);
    for (int trial = 0; trial < 3; ++trial) {
      std::vector<double> sc(static_cast<size_t>(p.NRef)), s(static_cast<size_t>(p.size()));
      for (double& v : sc) v = u(rng);
      refderuncompress(p, sc.data(), s.data());
      for (int i = 0; i < p.size(); ++i) p.Val[static_cast<size_t>(i)] += s[static_cast<size_t>(i)];
      const std::vector<double> before = p.Val;
      RefAppEq(p);  // the uncompressed shift already satisfies the equations
      for (int i = 0; i < p.size(); ++i)
        EXPECT_NEAR(p.Val[static_cast<size_t>(i)], before[static_cast<size_t>(i)], 1e-12);
      EXPECT_LT(SiteViolation(p, 0, nSite), 1e-9);
      EXPECT_EQ(nSite, c.Order);
    }
  }
}

TEST(Constr, CompressIsTheTransposeOfUncompress) {
  RefSettings ref;
  SetPhase({5.64, 5.64, 5.64, 90, 90, 90}, "F", kFm3m);
  AddAtom("Na1", {0., 0., 0.});
  AddAtom("Cl1", {0.5, 0.5, 0.5});
  AddAtom("O1", {0.13, 0.13, 0.13});
  AddAtom("O2", {0.11, 0.11, 0.31});
  AddAtom("H1", {0.2, 0.3, 0.4}, 1);
  SetBasicM40(Struct.Model);
  // A user equation chained onto a symmetry-dependent parameter.
  RefEquation e;
  e.Dep = {1., "x", "H1"};
  e.Terms = {{0.5, "y", "O2"}, {-1., "z", "O1"}};
  e.Const = 0.25;
  e.Text = "x[H1]=0.25+0.5*y[O2]-z[O1]";
  ref.Equation.push_back(e);
  RefParams p;
  ASSERT_EQ(RefPrelimConstr(p, ref), 0);
  ASSERT_GT(p.NRef, 3);
  EXPECT_LT(p.NRef, p.size());
  std::mt19937 rng(11);
  std::normal_distribution<double> g;
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<double> d(static_cast<size_t>(p.size())), dc(static_cast<size_t>(p.NRef)),
        s(static_cast<size_t>(p.NRef)), su(static_cast<size_t>(p.size()));
    for (double& v : d) v = g(rng);
    for (double& v : s) v = g(rng);
    RefDerCompress(p, d.data(), dc.data());
    refderuncompress(p, s.data(), su.data());
    double a = 0., b = 0.;
    for (int i = 0; i < p.NRef; ++i) a += dc[static_cast<size_t>(i)] * s[static_cast<size_t>(i)];
    for (int i = 0; i < p.size(); ++i) b += d[static_cast<size_t>(i)] * su[static_cast<size_t>(i)];
    EXPECT_NEAR(a, b, 1e-10 * (1. + std::fabs(a)));
  }
  // The chained equation folds through the symmetry of O1 (z = x = y).
  const int xh = RefParIndex(p, "x", "H1");
  const int xo1 = RefParIndex(p, "x", "O1");
  ASSERT_GE(p.DepOf[static_cast<size_t>(xh)], 0);
  EXPECT_TRUE(p.Refines(xo1) || p.DepOf[static_cast<size_t>(xo1)] < 0);
  p.Val[static_cast<size_t>(xo1)] += 0.01;
  RefAppEq(p);
  const double want = 0.25 + 0.5 * p.Val[static_cast<size_t>(RefParIndex(p, "y", "O2"))] -
                      p.Val[static_cast<size_t>(RefParIndex(p, "z", "O1"))];
  EXPECT_NEAR(p.Val[static_cast<size_t>(xh)], want, 1e-12);
}

TEST(Constr, LabelsAndOwners) {
  SetPhase({5, 5, 5, 90, 90, 90}, "P", {"x y z"});
  AddAtom("C1", {0.1, 0.2, 0.3});
  AddAtom("Na1", {0.4, 0.2, 0.3}, 1);
  SetBasicM40(Struct.Model);
  RefParams p;
  RefBuildParams(p);
  std::vector<std::string> labels;
  for (const auto& in : p.Info) labels.push_back(in.Label);
  auto has = [&](const std::string& l) {
    return std::find(labels.begin(), labels.end(), l) != labels.end();
  };
  for (const char* l :
       {"ai[C1]", "x[C1]", "z[C1]", "beta11[C1]", "beta23[C1]", "Uiso[Na1]", "sc1", "alpha"})
    EXPECT_TRUE(has(l)) << l;
  EXPECT_EQ(RefParIndex(p, "U11", "c1"), p.AtomBase[0] + 4);
  EXPECT_EQ(RefParIndex(p, "sc1", ""), p.DatBase[0][0]);
  EXPECT_EQ(RefParIndex(p, "U11", "Na1"), -1);
  SetKeys(p);
  EXPECT_EQ(p.Key[static_cast<size_t>(RefParIndex(p, "ai", "C1"))], 0);
  EXPECT_EQ(p.Key[static_cast<size_t>(RefParIndex(p, "y", "C1"))], 1);
  EXPECT_EQ(p.Key[static_cast<size_t>(RefParIndex(p, "sc1", ""))], 1);
  // An isotropic atom refines Uiso alone: the five unused ADP slots have no
  // derivative and would be singular.
  int adpKeys = 0;
  for (int i = 0; i < p.size(); ++i)
    if (p.Info[static_cast<size_t>(i)].Owner == 1 &&
        p.Info[static_cast<size_t>(i)].Kind == OwnAtom &&
        p.Info[static_cast<size_t>(i)].Block == BlkAdp)
      adpKeys += p.Key[static_cast<size_t>(i)];
  EXPECT_EQ(adpKeys, 1);
  // Values round-trip into the model.
  p.Val[static_cast<size_t>(RefParIndex(p, "x", "Na1"))] = 0.45;
  RefStoreParams(p);
  EXPECT_DOUBLE_EQ(Struct.Model.Atom[1].Par.Val[1], 0.45);
}

TEST(Constr, EquationsFixedCommandsAndTheirMessages) {
  RefSettings ref;
  SetPhase({5, 5, 5, 89.5, 90, 90}, "P", {"x y z"});
  AddAtom("C1", {0.1, 0.2, 0.3});
  AddAtom("C2", {0.3, 0.2, 0.1});
  AddAtom("O1", {0.5, 0.2, 0.1});
  SetBasicM40(Struct.Model);
  RefEquation alpha;
  alpha.Dep = {1., "alpha", ""};
  alpha.Const = 90.;
  alpha.Text = "alpha=90";
  RefEquation missing;
  missing.Dep = {1., "x", "C9"};
  missing.Terms = {{1., "x", "C1"}};
  missing.Text = "x[C9]=x[C1]";
  RefEquation phase;
  phase.Dep = {1., "b", "Ph2"};
  phase.Terms = {{1., "a", ""}};
  phase.Text = "b[Ph2]=a";
  RefEquation twice;  // second equation for the same dependent
  twice.Dep = {1., "alpha", ""};
  twice.Const = 80.;
  twice.Text = "alpha=80";
  ref.Equation = {alpha, missing, phase, twice};
  ref.Fixed = {{FixXyz, 0., {"C*"}}, {FixAll, 0., {"O1"}}, {FixValue, 0.5, {"ai[C2]"}}};
  RefParams p;
  ASSERT_EQ(RefPrelimConstr(p, ref), 0);
  const int ia = RefParIndex(p, "alpha", "");
  EXPECT_DOUBLE_EQ(p.Val[static_cast<size_t>(ia)], 90.);
  EXPECT_FALSE(p.Refines(ia));
  auto listed = [&](const std::string& s) {
    return std::find(p.Listing.begin(), p.Listing.end(), s) != p.Listing.end();
  };
  EXPECT_TRUE(listed(std::string(constrmsg::NotFulfilled) + "alpha=90"));
  EXPECT_TRUE(listed(std::string(constrmsg::Omitted)));
  EXPECT_TRUE(listed("Phase \"Ph2\" isn't defined."));
  EXPECT_TRUE(listed(std::string(constrmsg::Skipped)));
  for (const char* a : {"C1", "C2"}) {
    for (const char* x : {"x", "y", "z"}) EXPECT_FALSE(p.Refines(RefParIndex(p, x, a)));
    EXPECT_TRUE(p.Refines(RefParIndex(p, "U11", a)));
  }
  for (int i = p.AtomBase[2]; i < p.AtomBase[2] + 10; ++i) EXPECT_FALSE(p.Refines(i));
  EXPECT_DOUBLE_EQ(p.Val[static_cast<size_t>(RefParIndex(p, "ai", "C2"))], 0.5);
  EXPECT_EQ(p.NMatrix, static_cast<long long>(p.NRef) * (p.NRef + 1) / 2);
}

TEST(Constr, RestrictionsFollowTheFirstMember) {
  RefSettings ref;
  SetPhase({5, 5, 5, 90, 90, 90}, "P", {"x y z"});
  AddAtom("Fe1", {0.1, 0.2, 0.3}).Par.Val[0] = 0.6;
  AddAtom("Co1", {0.1, 0.2, 0.3}).Par.Val[0] = 0.4;
  AddAtom("Ni1", {0.7, 0.2, 0.3});
  SetBasicM40(Struct.Model);
  RefRestric r;
  r.Members = {"Fe1", "Co1"};
  ASSERT_EQ(RefRestricDecode(1, r.Occ, r.Group, r.Extra), 0);  // keep sum, group 1
  RefRestric bad;
  bad.Members = {"Fe1", "Mn9"};
  ref.Restric = {r, bad};
  RefParams p;
  ASSERT_EQ(RefPrelimConstr(p, ref), 0);
  p.Key[static_cast<size_t>(RefParIndex(p, "ai", "Fe1"))] = 1;
  RefSetMatrixLimits(p);
  std::vector<double> sc(static_cast<size_t>(p.NRef), 0.013), s(static_cast<size_t>(p.size()));
  refderuncompress(p, sc.data(), s.data());
  for (int i = 0; i < p.size(); ++i) p.Val[static_cast<size_t>(i)] += s[static_cast<size_t>(i)];
  for (int i = 1; i < 10; ++i)
    EXPECT_DOUBLE_EQ(p.Val[static_cast<size_t>(p.AtomBase[1] + i)],
                     p.Val[static_cast<size_t>(p.AtomBase[0] + i)]);
  EXPECT_NEAR(p.Val[static_cast<size_t>(p.AtomBase[0])] + p.Val[static_cast<size_t>(p.AtomBase[1])],
              1., 1e-12);
  EXPECT_NE(p.Val[static_cast<size_t>(p.AtomBase[0])], 0.6);
  auto listed = [&](const std::string& s) {
    return std::find(p.Listing.begin(), p.Listing.end(), s) != p.Listing.end();
  };
  EXPECT_TRUE(
      listed("Restriction of Fe1 Co1 ... coordinates, ADP and modulations of second and "
             "futher atoms will be generated from thefirst one"));
  EXPECT_TRUE(
      listed("Occupational restriction of Fe1 Co1... sum of occupations will be kept to 1"));
  EXPECT_TRUE(listed("Mn9 isn't on the file M40."));
  EXPECT_TRUE(listed(" The restriction will be skipped."));
}

// ---------------------------------------------------------------- hydrogens
// Cartesian <-> fractional with a of the cell along x (test's own matrix);
// distances and angles are measured through the metric tensor.
double Dist(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  Eigen::Matrix3d g;
  for (int k = 0; k < 9; ++k) g(k / 3, k % 3) = Struct.Basic.Phase[0].MetTens[k];
  const Eigen::Vector3d d = a - b;
  return std::sqrt(d.dot(g * d));
}
double Angle(const Eigen::Vector3d& a, const Eigen::Vector3d& x, const Eigen::Vector3d& b) {
  const double da = Dist(a, x), db = Dist(b, x), dab = Dist(a, b);
  return std::acos((da * da + db * db - dab * dab) / (2 * da * db)) * 180. / kPi;
}

struct HydroCase {
  int Sub;                                // KeepTetrahed, KeepTriang, KeepApical
  std::vector<Eigen::Vector3d> NeighDir;  // Cartesian unit bonds to the neighbours
  int NH;
  double Ideal;  // every bond angle at X (0: check only H-X-N equal)
};

TEST(Constr, HydrogenPlacementIdealAndRiding) {
  RefSettings ref;
  const double s3 = 1. / std::sqrt(3.);
  const Eigen::Vector3d t1(s3, s3, s3), t2(s3, -s3, -s3), t3(-s3, s3, -s3);
  const Eigen::Vector3d r1(1, 0, 0), r2(-0.5, std::sqrt(0.75), 0);
  const auto pyr = [](double phi) {
    return Eigen::Vector3d(std::cos(phi), std::sin(phi), -0.6).normalized();
  };
  const HydroCase cases[] = {
      {KeepTetrahed, {t1}, 3, 109.4712206},      // methyl
      {KeepTetrahed, {t1, t2}, 2, 109.4712206},  // methylene
      {KeepTetrahed, {t1, t2, t3}, 1, 109.4712206},
      {KeepTriang, {r1}, 2, 120.},  // =CH2
      {KeepTriang, {r1, r2}, 1, 120.},
      {KeepApical, {pyr(0.), pyr(2.1), pyr(4.2)}, 1, 0.},
  };
  for (const HydroCase& c : cases) {
    SCOPED_TRACE(c.Sub * 10 + static_cast<int>(c.NeighDir.size()));
    SetPhase({5.1, 6.3, 7.2, 81, 97, 104}, "P", {"x y z"});
    const Eigen::Matrix3d m = test::CellOrtho(Struct.Basic.Phase[0].Cell), mi = m.inverse();
    const Eigen::Vector3d xc(0.31, 0.42, 0.27);
    AddAtom("C1", {xc[0], xc[1], xc[2]});
    RefKeep k;
    k.Type = KeepHydro;
    k.Sub = c.Sub;
    k.Central = "C1";
    k.Value = 0.96;
    k.NNeigh = static_cast<int>(c.NeighDir.size());
    k.NH = c.NH;
    for (size_t i = 0; i < c.NeighDir.size(); ++i) {
      const Eigen::Vector3d x = xc + mi * (1.5 * c.NeighDir[i]);
      k.Neighbours.push_back("N" + std::to_string(i + 1));
      AddAtom(k.Neighbours.back(), {x[0], x[1], x[2]});
    }
    for (int i = 0; i < c.NH; ++i) {
      // Rough start positions, off the ideal ones.
      const Eigen::Vector3d x = xc + mi * Eigen::Vector3d(0.3 * i - 0.5, 0.7, 0.4 + 0.1 * i);
      k.Atoms.push_back("H" + std::to_string(i + 1));
      AddAtom(k.Atoms.back(), {x[0], x[1], x[2]}, 1);
    }
    ref.Keep = {k};
    SetBasicM40(Struct.Model);
    RefParams p;
    ASSERT_EQ(RefPrelimConstr(p, ref), 0);
    const int nn = static_cast<int>(c.NeighDir.size()), na = 1 + nn + c.NH;
    auto check = [&] {
      const Eigen::Vector3d x = PosOf(p, 0);
      std::vector<Eigen::Vector3d> bonded;
      for (int a = 1; a < na; ++a) bonded.push_back(PosOf(p, a));
      for (int h = 1 + nn; h < na; ++h) EXPECT_NEAR(Dist(PosOf(p, h), x), 0.96, 1e-9);
      if (c.Ideal > 0.) {
        for (size_t i = 0; i < bonded.size(); ++i)
          for (size_t j = i + 1; j < bonded.size(); ++j)
            EXPECT_NEAR(Angle(bonded[i], x, bonded[j]), c.Ideal, 0.01) << i << " " << j;
      } else {
        const Eigen::Vector3d h = PosOf(p, na - 1);
        for (int n = 2; n <= nn; ++n)
          EXPECT_NEAR(Angle(h, x, PosOf(p, n)), Angle(h, x, PosOf(p, 1)), 0.01);
      }
      if (c.Sub == KeepTriang) {  // all bonds in one plane
        Eigen::MatrixXd b(3, bonded.size());
        for (size_t i = 0; i < bonded.size(); ++i)
          b.col(static_cast<Eigen::Index>(i)) = m * (bonded[i] - x);
        EXPECT_LT(Eigen::JacobiSVD<Eigen::MatrixXd>(b).singularValues()[2], 1e-9);
      }
    };
    check();
    // The hydrogens are not refined; they follow a common translation of C1
    // and its neighbours, keeping the ideal geometry.
    for (int h = 1 + nn; h < na; ++h)
      EXPECT_FALSE(p.Refines(p.AtomBase[static_cast<size_t>(h)] + 1));
    const Eigen::Vector3d h0 = PosOf(p, na - 1);
    std::vector<double> sc(static_cast<size_t>(p.NRef), 0.), s(static_cast<size_t>(p.size()));
    for (int a = 0; a <= nn; ++a)
      for (int i = 1; i < 4; ++i)
        sc[static_cast<size_t>(
            p.Map[static_cast<size_t>(p.AtomBase[static_cast<size_t>(a)] + i)])] = 0.01 * i;
    refderuncompress(p, sc.data(), s.data());
    for (int i = 0; i < p.size(); ++i) p.Val[static_cast<size_t>(i)] += s[static_cast<size_t>(i)];
    RefAppEq(p);
    EXPECT_GT((PosOf(p, na - 1) - h0).norm(), 1e-3);
    check();
    // Any other movement of the neighbours keeps the X-H distance.
    const int n1 = p.AtomBase[1] + 2;
    p.Val[static_cast<size_t>(n1)] += 0.02;
    RefAppEq(p);
    for (int h = 1 + nn; h < na; ++h) EXPECT_NEAR(Dist(PosOf(p, h), PosOf(p, 0)), 0.96, 1e-9);
  }
}

TEST(Constr, AdpRidingOnUeqOfTheAnchor) {
  RefSettings ref;
  SetPhase({5.1, 6.3, 7.2, 81, 97, 104}, "P", {"x y z"});
  AtomRec& c1 = AddAtom("C1", {0.1, 0.2, 0.3});
  const double beta[6] = {0.011, 0.007, 0.005, 0.002, -0.001, 0.0015};
  for (int i = 0; i < 6; ++i) c1.Par.Val[static_cast<size_t>(4 + i)] = beta[i];
  AddAtom("H1", {0.2, 0.2, 0.3}, 1);
  AddAtom("H2", {0.2, 0.3, 0.3});
  RefKeep k;
  k.Type = KeepADP;
  k.Sub = KeepRiding;
  k.Central = "C1";
  k.Value = 1.2;
  k.Atoms = {"H1", "H2"};
  ref.Keep = {k};
  SetBasicM40(Struct.Model);
  RefParams p;
  ASSERT_EQ(RefPrelimConstr(p, ref), 0);
  // Ueq = trace(A U* A^T)/3 with U* = beta/(2 pi^2) and A the orthogonalisation.
  auto ueq = [&](const Eigen::Matrix3d& b) {
    const Eigen::Matrix3d a = test::CellOrtho(Struct.Basic.Phase[0].Cell);
    return (a * (b / (2 * kPi * kPi)) * a.transpose()).trace() / 3.;
  };
  const int uh1 = RefParIndex(p, "Uiso", "H1");
  EXPECT_NEAR(p.Val[static_cast<size_t>(uh1)], 1.2 * ueq(BetaOf(p, 0)), 1e-12);
  EXPECT_NEAR(ueq(BetaOf(p, 2)), 1.2 * ueq(BetaOf(p, 0)), 1e-12);  // isotropic tensor for H2
  EXPECT_FALSE(p.Refines(uh1));
  std::vector<double> sc(static_cast<size_t>(p.NRef), 0.001), s(static_cast<size_t>(p.size()));
  refderuncompress(p, sc.data(), s.data());
  for (int i = 0; i < p.size(); ++i) p.Val[static_cast<size_t>(i)] += s[static_cast<size_t>(i)];
  EXPECT_NEAR(p.Val[static_cast<size_t>(uh1)], 1.2 * ueq(BetaOf(p, 0)), 1e-12);
}

}  // namespace
}  // namespace tarn
