// Keep geom groups keep their geometry under random refined shifts; s.u. of
// dependent parameters by full propagation; electroneutrality over a
// synthetic list of population parameters.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <random>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"
#include "refine/constr.hpp"
#include "refine/refcommands.hpp"
#include "support/refine_sim.hpp"

namespace tarn {
namespace {

constexpr double kPi = 3.14159265358979323846;

void SetPhase(const std::array<double, 6>& cell, const std::vector<std::string>& gen) {
  testsim::SetPhase({.Cell = cell, .Ops = gen, .Scale = 1.});
}

void AddAtom(const std::string& name, const Eigen::Vector3d& x, int posWaves = 0) {
  testsim::AddIsoAtom(name, 1, {x[0], x[1], x[2]}, 0.02, posWaves);
}

void Keep(RefSettings& ref, int sub, const std::vector<std::string>& atoms) {
  RefKeep k;
  k.Type = KeepGeom;
  k.Sub = sub;
  k.Atoms = atoms;
  ref.Keep.push_back(k);
}

Eigen::Matrix3d Ortho() {
  return test::CellOrtho(Struct.Basic.Phase[0].Cell);
}

// Cartesian position of atom a.
Eigen::Vector3d Cart(const RefParams& p, int a) {
  const int o = p.AtomBase[static_cast<size_t>(a)] + 1;
  return Ortho() * Eigen::Vector3d(p.Val[static_cast<size_t>(o)], p.Val[static_cast<size_t>(o + 1)],
                                   p.Val[static_cast<size_t>(o + 2)]);
}

// All distances and all angles of the first n atoms.
std::vector<double> Geometry(const RefParams& p, int n) {
  std::vector<double> g;
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j) {
      g.push_back((Cart(p, i) - Cart(p, j)).norm());
      for (int k = 0; k < n; ++k) {
        if (k == i || k == j) continue;
        const Eigen::Vector3d u = Cart(p, i) - Cart(p, k), v = Cart(p, j) - Cart(p, k);
        g.push_back(std::acos(u.dot(v) / (u.norm() * v.norm())) * 180. / kPi);
      }
    }
  return g;
}

// Smallest singular value of the centred Cartesian positions: 0 for a plane.
double OffPlane(const RefParams& p, int n) {
  Eigen::MatrixXd x(3, n);
  for (int i = 0; i < n; ++i) x.col(i) = Cart(p, i);
  x.colwise() -= x.rowwise().mean();
  return Eigen::JacobiSVD<Eigen::MatrixXd>(x).singularValues()[2];
}

// A least-squares step: random refined shifts expanded and applied, then the
// equations and the re-idealisation.
void RandomStep(RefParams& p, std::mt19937& rng, double size) {
  std::uniform_real_distribution<double> u(-size, size);
  std::vector<double> sc(static_cast<size_t>(p.NRef)), s(static_cast<size_t>(p.size()));
  for (double& v : sc) v = u(rng);
  refderuncompress(p, sc.data(), s.data());
  for (int i = 0; i < p.size(); ++i) p.Val[static_cast<size_t>(i)] += s[static_cast<size_t>(i)];
  const std::vector<double> refined = [&] {
    std::vector<double> r;
    for (int i : p.Refined) r.push_back(p.Val[static_cast<size_t>(i)]);
    return r;
  }();
  RefAppEq(p);
  // The values the least squares gave to refined parameters are kept.
  for (int k = 0; k < p.NRef; ++k)
    EXPECT_DOUBLE_EQ(p.Val[static_cast<size_t>(p.Refined[static_cast<size_t>(k)])],
                     refined[static_cast<size_t>(k)]);
}

int RefinedPositions(const RefParams& p, int n) {
  int c = 0;
  for (int a = 0; a < n; ++a)
    for (int i = 1; i < 4; ++i) c += p.Refines(p.AtomBase[static_cast<size_t>(a)] + i);
  return c;
}

// A non-planar five-atom group (Cartesian, Angstrom) in a triclinic cell.
const std::vector<Eigen::Vector3d> kBody = {
    {0, 0, 0}, {1.52, 0, 0}, {2.1, 1.4, 0}, {-0.5, 0.7, 1.2}, {1.0, -0.9, -1.1}};

TEST(ConstrRigid, RigidGroupsKeepDistancesAndAngles) {
  for (int sub : {KeepRigid, KeepRigidMod}) {
    SCOPED_TRACE(sub);
    RefSettings ref;
    SetPhase({7.1, 8.3, 9.2, 81, 97, 104}, {"x y z"});
    const Eigen::Matrix3d mi = Ortho().inverse();
    const int nw = sub == KeepRigidMod ? 2 : 0;
    std::vector<std::string> names;
    for (size_t i = 0; i < kBody.size(); ++i) {
      names.push_back("C" + std::to_string(i + 1));
      AddAtom(names.back(), Eigen::Vector3d(0.3, 0.4, 0.2) + mi * kBody[i], nw);
    }
    AddAtom("O9", {0.7, 0.1, 0.6}, nw);  // outside the group
    Keep(ref, sub, names);
    SetBasicM40(Struct.Model);
    RefParams p;
    ASSERT_EQ(RefPrelimConstr(p, ref), 0);
    const int n = static_cast<int>(kBody.size());
    EXPECT_EQ(RefinedPositions(p, n), 6);
    const std::vector<double> g0 = Geometry(p, n);
    std::mt19937 rng(5);
    for (int trial = 0; trial < 5; ++trial) {
      RandomStep(p, rng, 0.02);
      const std::vector<double> g = Geometry(p, n);
      for (size_t i = 0; i < g.size(); ++i) EXPECT_NEAR(g[i], g0[i], 1e-9) << i;
    }
    EXPECT_GT((Cart(p, 0) - (Ortho() * (Eigen::Vector3d(0.3, 0.4, 0.2) + mi * kBody[0]))).norm(),
              0.05);
    if (sub != KeepRigidMod) continue;
    // Each wave amplitude (sine, cosine) is an infinitesimal rigid motion:
    // (U_i - U_j).(X_i - X_j) = 0 for every pair, and it has six freedoms.
    int nfree = 0;
    for (int i = 0; i < p.size(); ++i)
      nfree += p.Refines(i) && p.Info[static_cast<size_t>(i)].Block == BlkPosWave &&
               p.Info[static_cast<size_t>(i)].Owner < n;
    EXPECT_EQ(nfree, 6 * 2 * nw);
    for (int slot = 0; slot < 2 * nw; ++slot) {
      std::vector<Eigen::Vector3d> u;
      for (int a = 0; a < n; ++a) {
        const int o = p.AtomBase[static_cast<size_t>(a)] +
                      AtomLayout(Struct.Model.Atom[0].Shape).Off[BlkPosWave] + 3 * slot;
        u.push_back(Ortho() * Eigen::Vector3d(p.Val[static_cast<size_t>(o)],
                                              p.Val[static_cast<size_t>(o + 1)],
                                              p.Val[static_cast<size_t>(o + 2)]));
      }
      for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
          EXPECT_NEAR((u[i] - u[j]).dot(Cart(p, i) - Cart(p, j)), 0., 1e-10);
      EXPECT_GT(u[1].norm(), 1e-3);
    }
  }
}

TEST(ConstrRigid, PlaneGroupStaysPlanar) {
  RefSettings ref;
  SetPhase({7.1, 8.3, 9.2, 81, 97, 104}, {"x y z"});
  const Eigen::Matrix3d mi = Ortho().inverse();
  // A ring in a tilted plane; the atoms start up to 0.01 A off it.
  const Eigen::Vector3d e1 = Eigen::Vector3d(1, 0.3, 0.2).normalized();
  const Eigen::Vector3d e2 = e1.cross(Eigen::Vector3d(0.1, 0.2, 1.)).normalized();
  const Eigen::Vector3d nrm = e1.cross(e2);
  std::vector<std::string> names;
  for (int i = 0; i < 6; ++i) {
    const double a = i * kPi / 3.;
    const Eigen::Vector3d c =
        1.4 * (std::cos(a) * e1 + std::sin(a) * e2) + 0.01 * ((i % 3) - 1.) * nrm;
    names.push_back("C" + std::to_string(i + 1));
    AddAtom(names.back(), Eigen::Vector3d(0.4, 0.3, 0.5) + mi * c);
  }
  Keep(ref, KeepPlane, names);
  SetBasicM40(Struct.Model);
  RefParams p;
  ASSERT_EQ(RefPrelimConstr(p, ref), 0);
  EXPECT_EQ(RefinedPositions(p, 6), 18 - 3);
  EXPECT_LT(OffPlane(p, 6), 1e-12);
  std::mt19937 rng(9);
  for (int trial = 0; trial < 5; ++trial) {
    const Eigen::Vector3d before = Cart(p, 4);
    RandomStep(p, rng, 0.01);
    EXPECT_LT(OffPlane(p, 6), 1e-12);
    EXPECT_GT((Cart(p, 4) - before).norm(), 1e-3);  // members move within the plane
  }
}

// ---------------------------------------------------------------- s.u.
TEST(ConstrSu, DependentParametersPropagateTheFullCovariance) {
  struct Case {
    const char* Name;
    std::vector<std::string> Gen;
    std::array<double, 6> Cell;
    Eigen::Vector3d X;
    double Factor;  // s.u.(y) / s.u.(x)
  };
  const Case cases[] = {
      // 4j of P4/mmm: (x, x, 0)
      {"x=y",
       {"x y z", "-y x z", "-x y z", "-x -y -z"},
       {4, 4, 6, 90, 90, 90},
       {0.19, 0.19, 0.},
       1.},
      // 6l of P6/mmm as (2x, x, 0): x = 2y, y dependent
      {"x=2y",
       {"x y z", "-y x-y z", "-x -y z", "x x-y z", "x y -z"},
       {5, 5, 6, 90, 90, 120},
       {0.34, 0.17, 0.},
       0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    SetPhase(c.Cell, c.Gen);
    AddAtom("M1", c.X);
    AddAtom("O1", {0.1, 0.2, 0.3});
    SetBasicM40(Struct.Model);
    // A user equation with two refined terms: its variance needs the
    // covariance between them.
    RefEquation e;
    e.Dep = {1., "Uiso", "O1"};
    e.Terms = {{1., "Uiso", "M1"}, {-2., "x", "M1"}};
    e.Text = "Uiso[O1]=Uiso[M1]-2*x[M1]";
    RefSettings ref;
    ref.Equation = {e};
    RefParams p;
    ASSERT_EQ(RefPrelimConstr(p, ref), 0);
    const int x = RefParIndex(p, "x", "M1"), y = RefParIndex(p, "y", "M1"),
              z = RefParIndex(p, "z", "M1"), u = RefParIndex(p, "Uiso", "M1"),
              uo = RefParIndex(p, "Uiso", "O1");
    ASSERT_TRUE(p.Refines(x) && p.Refines(u));
    ASSERT_FALSE(p.Refines(y) || p.Refines(z) || p.Refines(uo));
    // Covariance: unit matrix * 1e-6, var(x) = 4e-6, var(U) = 9e-6, cov(x, U) = 5e-6.
    std::vector<double> cov(static_cast<size_t>(p.NMatrix), 0.);
    auto at = [&](int i, int j) -> double& {
      if (j > i) std::swap(i, j);
      return cov[static_cast<size_t>(i * (i + 1) / 2 + j)];
    };
    for (int i = 0; i < p.NRef; ++i) at(i, i) = 1e-6;
    const int mx = p.Map[static_cast<size_t>(x)], mu = p.Map[static_cast<size_t>(u)];
    at(mx, mx) = 4e-6;
    at(mu, mu) = 9e-6;
    at(mx, mu) = 5e-6;
    p.Sig[static_cast<size_t>(z)] = 0.5;  // stale value from the file
    RefSetSu(p, cov.data());
    EXPECT_NEAR(p.Sig[static_cast<size_t>(x)], 0.002, 1e-15);
    EXPECT_NEAR(p.Sig[static_cast<size_t>(y)], c.Factor * 0.002, 1e-15);
    EXPECT_EQ(p.Sig[static_cast<size_t>(z)], 0.);  // fixed by symmetry
    // var = 9 + 4*4 - 2*2*5 = 5 (1e-6); the diagonal alone would give 25.
    EXPECT_NEAR(p.Sig[static_cast<size_t>(uo)], std::sqrt(5e-6), 1e-15);
  }
}

// ---------------------------------------------------------------- electroneutrality
TEST(ConstrPopv, ElectroneutralityAsEquationRestraintAndRenormalisation) {
  SetPhase({5, 6, 7, 90, 90, 90}, {"x y z"});
  for (int i = 0; i < 3; ++i) AddAtom("A" + std::to_string(i + 1), {0.1 * i, 0.2, 0.3});
  SetBasicM40(Struct.Model);
  // Stand-ins for valence populations: the occupancies, with multiplicities.
  const std::vector<double> w = {2., 1., 4.};
  auto sum = [&](const RefParams& p) {
    double s = 0.;
    for (int i = 0; i < 3; ++i)
      s += w[static_cast<size_t>(i)] *
           p.Val[static_cast<size_t>(p.AtomBase[static_cast<size_t>(i)])];
    return s;
  };
  auto prepare = [&](RefParams& p, int mode, bool renorm) {
    RefBuildParams(p);
    SetKeys(p);
    std::vector<int> pars;
    const double start[3] = {1.2, 0.9, 1.1};  // weighted sum 7.7
    for (int i = 0; i < 3; ++i) {
      pars.push_back(p.AtomBase[static_cast<size_t>(i)]);
      p.Key[static_cast<size_t>(pars.back())] = 1;
      p.Val[static_cast<size_t>(pars.back())] = start[i];
    }
    RefPopv(p, pars, w, 7., mode, renorm);
    RefSetMatrixLimits(p);
  };
  {
    RefParams p;
    RefBuildParams(p);
    RefPopv(p, {}, {}, 7., PopvEquation, true);
    EXPECT_EQ(p.PopvMode, PopvOff);
    EXPECT_TRUE(p.Listing.empty());
  }
  {
    RefParams p;
    prepare(p, PopvEquation, false);
    EXPECT_EQ(p.Listing.front(), "The sum of valence electrons will be fixed to 7");
    EXPECT_NEAR(sum(p), 7., 1e-12);  // the start values were made to fulfil it
    std::mt19937 rng(1);
    RandomStep(p, rng, 0.05);
    EXPECT_NEAR(sum(p), 7., 1e-12);
  }
  {
    RefParams p;
    prepare(p, PopvRestrain, true);
    EXPECT_NEAR(sum(p), 7.7, 1e-12);  // a restraint changes nothing at the start
    // Normal equations with a unit diagonal and no data gradient: the
    // restraint alone moves the populations towards the sum.
    std::vector<double> am(static_cast<size_t>(p.NMatrix), 0.), ps(static_cast<size_t>(p.NRef), 0.);
    for (int i = 0; i < p.NRef; ++i) am[static_cast<size_t>(i * (i + 1) / 2 + i)] = 1.;
    refpopvsuma(p, am.data(), ps.data());
    Eigen::MatrixXd a(p.NRef, p.NRef);
    for (int i = 0; i < p.NRef; ++i)
      for (int j = 0; j <= i; ++j) a(i, j) = a(j, i) = am[static_cast<size_t>(i * (i + 1) / 2 + j)];
    const Eigen::VectorXd s = a.ldlt().solve(Eigen::Map<Eigen::VectorXd>(ps.data(), p.NRef));
    for (int k = 0; k < p.NRef; ++k)
      p.Val[static_cast<size_t>(p.Refined[static_cast<size_t>(k)])] += s[k];
    EXPECT_NEAR(sum(p), 7., 1e-2);
    EXPECT_GT(std::fabs(sum(p) - 7.), 1e-6);
    refpopvrenorm(p);
    EXPECT_NEAR(sum(p), 7., 1e-12);
  }
}

}  // namespace
}  // namespace tarn
