// Rigid-body rotations of molecule positions and the site-symmetry equations
// of positions on special positions, checked against the symmetry itself:
// after the equations every site operator maps the placed molecule and its
// TLS tensors onto themselves.
#include "symmetry/site_mol.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <numbers>
#include <random>

#include "symm_test_util.hpp"

namespace tarn {
namespace {

using M3 = Eigen::Matrix3d;
using V3 = Eigen::Vector3d;
constexpr double kDeg = std::numbers::pi / 180.;

M3 E(const Mat3& a) {
  M3 m;
  for (int i = 0; i < 9; ++i) m(i / 3, i % 3) = a[static_cast<size_t>(i)];
  return m;
}
Mat3 A(const M3& m) {
  Mat3 a{};
  for (int i = 0; i < 9; ++i) a[static_cast<size_t>(i)] = m(i / 3, i % 3);
  return a;
}
M3 AxisAngle(const V3& axis, double deg) {
  return Eigen::AngleAxisd(deg * kDeg, axis.normalized()).toRotationMatrix();
}

TEST(MolRotation, ConventionsOfBothTypes) {
  // Type 0: Rz(phi) Rx(chi) Rz(psi); type 1: Rz(psi) Ry(chi) Rx(phi), active.
  const V3 x = V3::UnitX(), y = V3::UnitY(), z = V3::UnitZ();
  struct Case {
    int Type;
    std::array<double, 3> Ang;
    M3 Want;
  };
  const Case cases[] = {
      {0, {90, 0, 0}, AxisAngle(z, 90)},
      {0, {0, 30, 0}, AxisAngle(x, 30)},
      {0, {20, 50, -70}, AxisAngle(z, 20) * AxisAngle(x, 50) * AxisAngle(z, -70)},
      {1, {40, 0, 0}, AxisAngle(x, 40)},
      {1, {0, 90, 0}, AxisAngle(y, 90)},
      {1, {20, 50, -70}, AxisAngle(z, -70) * AxisAngle(y, 50) * AxisAngle(x, 20)},
  };
  for (const Case& c : cases) {
    const M3 r = E(MolRotation(c.Type, c.Ang));
    EXPECT_LT((r - c.Want).norm(), 1e-12) << c.Type << " " << c.Ang[0];
  }
  // Active: phi = 90 about z carries the x axis onto y.
  EXPECT_LT((E(MolRotation(0, {90, 0, 0})) * x - y).norm(), 1e-12);
}

TEST(MolRotation, AnglesRoundTripAndDerivatives) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(-179., 179.);
  for (int type = 0; type < 2; ++type)
    for (int n = 0; n < 200; ++n) {
      std::array<double, 3> a = {u(gen), u(gen), u(gen)};
      a[1] = type == 0 ? std::fabs(a[1]) : a[1] / 2.;  // chi in (0,180) or (-90,90)
      std::array<Mat3, 3> dR;
      const Mat3 r = MolRotation(type, a, &dR);
      const std::array<double, 3> b = MolAngles(type, r);
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(b[k], a[k], 1e-8) << type << " " << n;
      // Derivatives per degree against central differences.
      for (int k = 0; k < 3; ++k) {
        std::array<double, 3> ap = a, am = a;
        ap[k] += 1e-4;
        am[k] -= 1e-4;
        const M3 num = (E(MolRotation(type, ap)) - E(MolRotation(type, am))) / 2e-4;
        EXPECT_LT((num - E(dR[k])).norm(), 1e-8);
      }
    }
  // Gimbal lock: the matrix (not the angles) comes back.
  for (int type = 0; type < 2; ++type) {
    const std::array<double, 3> a = {30., type == 0 ? 0. : 90., 25.};
    const Mat3 r = MolRotation(type, a);
    EXPECT_LT((E(MolRotation(type, MolAngles(type, r))) - E(r)).norm(), 1e-12);
  }
}

// ---------------------------------------------------------------- site equations
struct SiteCase {
  const char* Name;
  std::vector<std::string> Gen;
  std::array<double, 6> Cell;
  std::array<double, 3> Site;  // an exact special position
  int Order;                   // site operators expected
};

// Value of the equation's right side for the values v.
void ApplyEquations(const SpecEquations& eqs, std::array<double, MpNTls>& v) {
  for (int e = 0; e < eqs.NEq; ++e) {
    const SpecEquation& q = eqs.Eq[static_cast<size_t>(e)];
    double s = q.Const;
    for (size_t i = 0; i < q.Ind.size(); ++i) s += q.Coef[i] * v[static_cast<size_t>(q.Ind[i])];
    v[static_cast<size_t>(q.Dep)] = s;
  }
}

struct Mismatch {
  double Pos = 0.;  // largest distance of an image atom from the nearest atom, Angstrom
  double Tls = 0.;  // largest deviation of an image tensor component
};

// Places the molecule (model vectors r0 in Angstrom about the reference
// point) with the values v and measures how far each site operator is from
// mapping atoms and TLS tensors onto themselves.
Mismatch Measure(const std::vector<SiteOp>& ops, const M3& m, const V3& ref, int type,
                 const std::vector<V3>& r0, const std::array<double, MpNTls>& v) {
  const M3 r = E(MolRotation(type, {v[MpAng], v[MpAng + 1], v[MpAng + 2]}));
  const V3 c = ref + V3(v[MpTrans], v[MpTrans + 1], v[MpTrans + 2]);
  std::vector<V3> x;
  for (const V3& q : r0) x.push_back(c + m.inverse() * (r * q));
  auto sym = [](const double* p) {
    M3 s;
    s << p[0], p[3], p[4], p[3], p[1], p[5], p[4], p[5], p[2];
    return s;
  };
  const M3 t = sym(&v[MpT]), l = sym(&v[MpL]);
  M3 s;
  for (int i = 0; i < 9; ++i) s(i / 3, i % 3) = v[static_cast<size_t>(MpS + i)];
  Mismatch mm;
  for (const SiteOp& op : ops) {
    const M3 rf = E(op.RM);
    const V3 tr(op.T[0], op.T[1], op.T[2]);
    for (const V3& xi : x) {
      double best = 1e9;
      for (const V3& xj : x) {
        V3 d = rf * xi + tr - xj;
        for (int k = 0; k < 3; ++k) d(k) -= std::round(d(k));
        best = std::min(best, (m * d).norm());
      }
      mm.Pos = std::max(mm.Pos, best);
    }
    const M3 rc = E(MolCartOp(A(m), op.RM));
    const double det = rc.determinant();
    mm.Tls = std::max({mm.Tls, (rc * t * rc.transpose() - t).cwiseAbs().maxCoeff(),
                       (rc * l * rc.transpose() - l).cwiseAbs().maxCoeff(),
                       (det * rc * s * rc.transpose() - s).cwiseAbs().maxCoeff()});
  }
  return mm;
}

TEST(AtSpecMol, EquationsKeepThePlacedMoleculeOnItsSite) {
  const SiteCase cases[] = {
      {"2 along b, monoclinic", {"-x y -z", "-x -y -z"}, {7, 8, 9, 90, 104, 90}, {0, 0.31, 0}, 2},
      {"mirror, monoclinic", {"-x y -z", "-x -y -z"}, {7, 8, 9, 90, 104, 90}, {0.23, 0.5, 0.61}, 2},
      {"-1, triclinic", {"-x -y -z"}, {6, 7, 8, 80, 100, 110}, {0.5, 0, 0}, 2},
      {"4 along c", {"-y x z", "-x -y -z"}, {6, 6, 9, 90, 90, 90}, {0, 0, 0.27}, 4},
      {"4/m", {"-y x z", "-x -y -z"}, {6, 6, 9, 90, 90, 90}, {0.5, 0.5, 0}, 8},
      {"6 along c, hexagonal", {"x-y x z"}, {6, 6, 9, 90, 90, 120}, {0, 0, 0.4}, 6},
      {"3 along [111], cubic",
       {"-x -y z", "-x y -z", "z x y"},
       {9, 9, 9, 90, 90, 90},
       {0.2, 0.2, 0.2},
       3},
  };
  std::mt19937 gen(11);
  std::uniform_real_distribution<double> u(-1., 1.);
  for (const SiteCase& sc : cases)
    for (int type = 0; type < 2; ++type) {
      SCOPED_TRACE(std::string(sc.Name) + (type ? " xyz" : " zxz"));
      PhaseSymmetry ps = test::MakePhase(3, sc.Gen);
      ASSERT_EQ(CompleteSymm(ps), 0);
      const M3 m = test::CellOrtho(sc.Cell.data());
      SiteContext ctx;
      ctx.Symm = &ps;
      ctx.Metric = A(m.transpose() * m);
      const V3 site(sc.Site[0], sc.Site[1], sc.Site[2]);
      double xs[kMaxNDim] = {site(0), site(1), site(2)};
      std::vector<SiteOp> ops;
      ASSERT_EQ(SpecPos(xs, false, ps, ctx.Metric.data(), nullptr, ctx.Tol, &ops), sc.Order);
      // A molecule with the site symmetry: random points and their images
      // under the Cartesian site operators, seen from the rotated frame.
      const std::array<double, 3> a0 = {u(gen) * 170., 20. + 70. * (u(gen) + 1.), u(gen) * 170.};
      const M3 r0 = E(MolRotation(type, {a0[0], a0[1] / (type ? 2.5 : 1.), a0[2]}));
      std::array<double, 3> ang = MolAngles(type, A(r0));
      std::vector<V3> model;
      for (int i = 0; i < 3; ++i) {
        const V3 q(2. * u(gen), 2. * u(gen), 2. * u(gen));
        for (const SiteOp& op : ops)
          model.push_back(r0.transpose() * E(MolCartOp(A(m), op.RM)) * q);
      }
      // Reference point off the site by less than the tolerance.
      const V3 ref(0.1 * u(gen), 0.1 * u(gen), 0.1 * u(gen));
      const V3 off = 2e-4 * V3(u(gen), u(gen), u(gen)) / m.norm();
      SiteMolPos pos;
      pos.Name = "M1a";
      pos.RotType = type;
      pos.Tls = true;
      for (int k = 0; k < 3; ++k) {
        pos.Ref[k] = ref(k);
        pos.Trans[k] = site(k) + off(k) - ref(k);
        pos.Ang[k] = ang[k];
      }
      SpecEquations eqs;
      AtSpecMol({pos}, ctx, A(m), eqs);
      ASSERT_GT(eqs.NEq, 0);
      for (int e = 0; e < eqs.NEq; ++e) {
        EXPECT_TRUE(eqs.Eq[e].Molecule);
        EXPECT_EQ(eqs.Eq[e].Owner, "M1a");
      }
      // Random values, small angle steps (the rotation equations are
      // linearised at the current angles: second-order residue).
      std::array<double, MpNTls> v{};
      v[MpAi] = 1.;
      for (int k = 0; k < 3; ++k) {
        v[MpAng + k] = ang[k] + 0.01 * u(gen);
        v[MpTrans + k] = pos.Trans[k] + 0.002 * u(gen);
      }
      for (int k = MpT; k < MpNTls; ++k) v[k] = 0.01 * u(gen);
      const Mismatch before = Measure(ops, m, ref, type, model, v);
      ApplyEquations(eqs, v);
      const Mismatch after = Measure(ops, m, ref, type, model, v);
      EXPECT_GT(before.Pos, 1e-4);
      EXPECT_GT(before.Tls, 1e-4);
      EXPECT_LT(after.Pos, 1e-6);
      EXPECT_LT(after.Tls, 1e-12);
      // The names are those of the position's values.
      EXPECT_NE(eqs.Eq[0].Text().find("[M1a]"), std::string::npos);
    }
}

TEST(AtSpecMol, GeneralPositionGivesNoEquations) {
  PhaseSymmetry ps = test::MakePhase(3, {"-x y+1/2 -z"});
  ASSERT_EQ(CompleteSymm(ps), 0);
  SiteContext ctx;
  ctx.Symm = &ps;
  ctx.Metric = {49, 0, 0, 0, 64, 0, 0, 0, 81};
  SiteMolPos pos;
  pos.Name = "P1";
  pos.Trans = {0., 0.25, 0.};  // on the 2(1) axis, no site symmetry
  pos.Tls = true;
  SpecEquations eqs;
  AtSpecMol({pos}, ctx, {7, 0, 0, 0, 8, 0, 0, 0, 9}, eqs);
  EXPECT_EQ(eqs.NEq, 0);
}

}  // namespace
}  // namespace tarn
