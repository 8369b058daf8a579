// Distances, angles and torsions with their uncertainties: known values in
// simple cells, the degenerate cases, and the analytic derivatives against
// central differences in a triclinic cell.
#include "dist/dist_geom.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace tarn {
namespace {

const double kCubic[6] = {10, 10, 10, 90, 90, 90};
const double kTric[6] = {7.1, 8.3, 9.7, 78., 103., 111.};
const double kNoSu[6] = {};

DistPoint P(int atom, const Vec3& x) {
  DistPoint p;
  p.Atom = atom;
  p.X = x;
  return p;
}

// Uncertainty from a gradient with the same s.u. for every coordinate.
double Su(const DistGrad& g, double sx, const double* cellSu) {
  double s = 0.;
  for (const auto& [a, d] : g.Atom)
    for (double v : d) s += v * v * sx * sx;
  for (int k = 0; k < 6; ++k) s += std::pow(g.Cell[k] * cellSu[k], 2);
  return std::sqrt(s);
}

TEST(DistGeom, DistanceAndItsUncertaintyInACubicCell) {
  const double su[6] = {0.01, 0, 0, 0, 0, 0};
  const DistCell c = DistMakeCell(kCubic, su);
  const DistValue d = DistDistance(c, P(0, {0, 0, 0}), P(1, {0.1, 0, 0}));
  EXPECT_NEAR(d.Value, 1.0, 1e-12);
  // Coordinates: 2 x (a sigma_x)^2; cell: (d/a sigma_a)^2.
  EXPECT_NEAR(Su(d.Grad, 0.001, su), std::sqrt(2e-4 + 1e-6), 1e-9);
}

TEST(DistGeom, ImageOfTheSameAtomAddsItsDerivatives) {
  // x and its inverse -x: d = 2|x|a depends on x twice, so sigma = 2 a sigma_x.
  const DistCell c = DistMakeCell(kCubic, kNoSu);
  DistPoint img = P(0, {-0.1, 0, 0});
  img.R = {-1, 0, 0, 0, -1, 0, 0, 0, -1};
  const DistValue d = DistDistance(c, P(0, {0.1, 0, 0}), img);
  EXPECT_NEAR(d.Value, 2.0, 1e-12);
  ASSERT_EQ(d.Grad.Atom.size(), 1u);
  EXPECT_NEAR(Su(d.Grad, 0.001, kNoSu), 2 * 10 * 0.001, 1e-12);
}

TEST(DistGeom, KnownAnglesAndDegenerateCases) {
  const DistCell c = DistMakeCell(kCubic, kNoSu);
  struct Case {
    Vec3 u, v;
    double angle;
    bool degenerate;
  } cases[] = {
      {{0.1, 0, 0}, {0, 0.1, 0}, 90., false},
      {{0.1, 0.1, 0.1}, {0.1, -0.1, -0.1}, std::acos(-1. / 3.) / kDeg, false},  // 109.47
      {{0.1, 0, 0}, {-0.2, 0, 0}, 180., true},                                  // collinear
      {{0.1, 0, 0}, {0.3, 0, 0}, 0., true},
      {{0.1, 0, 0}, {0.000001, 0, 0}, 0., true},  // q < 0.0001
  };
  for (const auto& k : cases) {
    const DistAngResult r = DistAng(k.u, k.v, c);
    EXPECT_NEAR(r.Angle, k.angle, 1e-9);
    EXPECT_EQ(r.Degenerate, k.degenerate);
    if (k.degenerate) {
      EXPECT_EQ(r.DU, (Vec3{}));
      EXPECT_EQ(r.DCell, (std::array<double, 6>{}));
    }
  }
}

TEST(DistGeom, AngleDerivativesMatchCentralDifferences) {
  const DistCell c = DistMakeCell(kTric, kNoSu);
  const Vec3 u{0.13, -0.07, 0.05}, v{-0.04, 0.11, 0.09};
  const DistAngResult r = DistAng(u, v, c);
  const double h = 1e-6;
  for (int i = 0; i < 3; ++i) {
    Vec3 up = u, um = u, vp = v, vm = v;
    up[i] += h, um[i] -= h, vp[i] += h, vm[i] -= h;
    EXPECT_NEAR(r.DU[i], (DistAng(up, v, c).Angle - DistAng(um, v, c).Angle) / (2 * h), 1e-4);
    EXPECT_NEAR(r.DV[i], (DistAng(u, vp, c).Angle - DistAng(u, vm, c).Angle) / (2 * h), 1e-4);
  }
  for (int k = 0; k < 6; ++k) {
    double p[6], m[6];
    std::copy(kTric, kTric + 6, p);
    std::copy(kTric, kTric + 6, m);
    p[k] += h, m[k] -= h;
    const double num = (DistAng(u, v, DistMakeCell(p, kNoSu)).Angle -
                        DistAng(u, v, DistMakeCell(m, kNoSu)).Angle) /
                       (2 * h);
    EXPECT_NEAR(r.DCell[k], num, 1e-5) << "cell parameter " << k;
  }
}

TEST(DistGeom, TorsionSignFollowsHandednessAndDerivativesMatch) {
  const DistCell c = DistMakeCell(kTric, kNoSu);
  const Vec3 x1{0.10, 0.20, 0.30}, x2{0.22, 0.25, 0.33}, x3{0.30, 0.35, 0.31}, x4{0.33, 0.42, 0.40};
  const auto t = TorsionAngle(x1, x2, x3, x4, c);
  // The mirror image (z -> -z) has the opposite sign.
  auto m = [](Vec3 x) { return Vec3{x[0], x[1], -x[2]}; };
  const DistCell cm = DistMakeCell(kCubic, kNoSu);
  const auto a = TorsionAngle(x1, x2, x3, x4, cm), b = TorsionAngle(m(x1), m(x2), m(x3), m(x4), cm);
  EXPECT_GT(std::fabs(a.Angle), 1.);
  EXPECT_NEAR(a.Angle, -b.Angle, 1e-9);
  // Derivatives against central differences, coordinates and cell.
  const double h = 1e-6;
  std::array<Vec3, 4> x{x1, x2, x3, x4};
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 3; ++k) {
      auto p = x, q = x;
      p[i][k] += h, q[i][k] -= h;
      const double num = (TorsionAngle(p[0], p[1], p[2], p[3], c).Angle -
                          TorsionAngle(q[0], q[1], q[2], q[3], c).Angle) /
                         (2 * h);
      EXPECT_NEAR(t.D[i][k], num, 1e-4) << "atom " << i << " coordinate " << k;
    }
  for (int k = 0; k < 6; ++k) {
    double p[6], q[6];
    std::copy(kTric, kTric + 6, p);
    std::copy(kTric, kTric + 6, q);
    p[k] += h, q[k] -= h;
    const double num = (TorsionAngle(x1, x2, x3, x4, DistMakeCell(p, kNoSu)).Angle -
                        TorsionAngle(x1, x2, x3, x4, DistMakeCell(q, kNoSu)).Angle) /
                       (2 * h);
    EXPECT_NEAR(t.DCell[k], num, 1e-4) << "cell parameter " << k;
  }
}

TEST(DistGeom, TorsionOfKnownGeometries) {
  const DistCell c = DistMakeCell(kCubic, kNoSu);
  struct Case {
    Vec3 x4;
    double angle;
  } cases[] = {
      {{0.1, 0.1, 0.0}, 0.},     // cis
      {{0.1, -0.1, 0.0}, 180.},  // trans
      {{0.1, 0.0, 0.1}, 90.},    // clockwise seen along 2->3: det(b1, b2, b3) > 0
      {{0.1, 0.0, -0.1}, -90.},
  };
  for (const auto& k : cases)
    EXPECT_NEAR(TorsionAngle({0, 0.1, 0}, {0, 0, 0}, {0.1, 0, 0}, k.x4, c).Angle, k.angle, 1e-9);
}

TEST(DistGeom, SigmaCombinesInQuadrature) {
  const double der[] = {3., 4., 100.}, su[] = {1., 1., 1.};
  EXPECT_DOUBLE_EQ(sigma(der, su, 2), 5.);
}

}  // namespace
}  // namespace tarn
