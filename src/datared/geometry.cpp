// Four-circle geometry (Busing & Levy 1967).
#include "datared/geometry.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

#include "util/numbers.hpp"

namespace tarn {

namespace {

Eigen::Matrix3d Mat(const double* m) {
  Eigen::Matrix3d a;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a(i, j) = m[3 * i + j];
  return a;
}

// Metric tensor of a cell, G_ij = a_i . a_j.
Eigen::Matrix3d Metric(const double* cell) {
  const double a = cell[0], b = cell[1], c = cell[2];
  const double ca = std::cos(cell[3] * kDeg), cb = std::cos(cell[4] * kDeg),
               cg = std::cos(cell[5] * kDeg);
  Eigen::Matrix3d g;
  g << a * a, a * b * cg, a * c * cb, a * b * cg, b * b, b * c * ca, a * c * cb, b * c * ca, c * c;
  return g;
}

}  // namespace

int DRCellFromUB(const double* ub, double* cell) {
  const Eigen::Matrix3d m = Mat(ub);
  if (!(std::abs(m.determinant()) > kGeomMinDetUB)) return 1;
  // G* = (UB)^T (UB) = B^T B because U is orthogonal; G = (G*)^-1.
  const Eigen::Matrix3d g = (m.transpose() * m).inverse();
  for (int i = 0; i < 3; ++i) cell[i] = std::sqrt(g(i, i));
  cell[3] = std::acos(std::clamp(g(1, 2) / (cell[1] * cell[2]), -1., 1.)) / kDeg;
  cell[4] = std::acos(std::clamp(g(0, 2) / (cell[0] * cell[2]), -1., 1.)) / kDeg;
  cell[5] = std::acos(std::clamp(g(0, 1) / (cell[0] * cell[1]), -1., 1.)) / kDeg;
  return 0;
}

void DRBMatrix(const double* cell, double* b) {
  // B&L eq. 3 from the reciprocal metric: b_i = |a_i*|, beta_i reciprocal angles.
  const Eigen::Matrix3d gi = Metric(cell).inverse();
  const double b1 = std::sqrt(gi(0, 0)), b2 = std::sqrt(gi(1, 1)), b3 = std::sqrt(gi(2, 2));
  const double cb2 = gi(0, 2) / (b1 * b3), cb3 = gi(0, 1) / (b1 * b2);
  const double sb2 = std::sqrt(std::max(0., 1. - cb2 * cb2)),
               sb3 = std::sqrt(std::max(0., 1. - cb3 * cb3));
  const double ca1 = std::cos(cell[3] * kDeg);
  const double m[9] = {b1, b2 * cb3, b3 * cb2, 0., b2 * sb3, -b3 * sb2 * ca1, 0., 0., 1. / cell[2]};
  std::copy(m, m + 9, b);
}

int DRHKLToAngles(const double* ub, double lambda, const double* h, DiffAngles& a) {
  const Eigen::Vector3d hp = Mat(ub) * Eigen::Vector3d(h[0], h[1], h[2]);
  const double dstar = hp.norm();
  const double s = lambda * dstar / 2.;  // Bragg: sin(theta) = lambda/(2d)
  if (dstar <= 0. || !(lambda > 0.) || s > 1.) return 1;
  const double th = std::asin(s) / kDeg;
  a.TTh = 2. * th;
  a.Omega = th;  // bisecting position
  a.Chi = std::atan2(hp(2), std::hypot(hp(0), hp(1))) / kDeg;
  a.Phi = std::atan2(hp(1), hp(0)) / kDeg;
  return 0;
}

int DRAnglesToHKL(const double* ub, double lambda, const DiffAngles& a, double* h) {
  const Eigen::Matrix3d m = Mat(ub);
  if (!(std::abs(m.determinant()) > kGeomMinDetUB) || !(lambda > 0.)) return 1;
  const double th = a.TTh / 2. * kDeg, w = a.Omega * kDeg - th, c = a.Chi * kDeg, p = a.Phi * kDeg;
  const double dstar = 2. * std::sin(th) / lambda;
  const Eigen::Vector3d hp =
      dstar * Eigen::Vector3d(std::cos(w) * std::cos(c) * std::cos(p) - std::sin(w) * std::sin(p),
                              std::cos(w) * std::cos(c) * std::sin(p) + std::sin(w) * std::cos(p),
                              std::cos(w) * std::sin(c));
  const Eigen::Vector3d x = m.inverse() * hp;
  for (int i = 0; i < 3; ++i) h[i] = x(i);
  return 0;
}

int DRGetAnglesFromDircos(const double* dircos, const double* cell, double& tth) {
  // Cosines in the order (-s0.a*, s1.a*, -s0.b*, s1.b*, -s0.c*, s1.c*): with
  // the unit reciprocal axes e_i as the columns of E (Cartesian, from B),
  // E^T u = c gives the beam direction u.
  double b[9];
  DRBMatrix(cell, b);
  Eigen::Matrix3d e = Mat(b);
  for (int j = 0; j < 3; ++j) {
    const double n = e.col(j).norm();
    if (!(n > 0.)) return 1;
    e.col(j) /= n;
  }
  if (!(std::abs(e.determinant()) > 1e-6)) return 1;
  const Eigen::Matrix3d et = e.transpose().inverse();
  const Eigen::Vector3d u0 = et * Eigen::Vector3d(dircos[0], dircos[2], dircos[4]);
  const Eigen::Vector3d u1 = et * Eigen::Vector3d(dircos[1], dircos[3], dircos[5]);
  const double n0 = u0.norm(), n1 = u1.norm();
  if (!(n0 > 0.) || !(n1 > 0.)) return 1;
  // -s0 . s1 = -cos(2theta)
  tth = 180. - std::acos(std::clamp(u0.dot(u1) / (n0 * n1), -1., 1.)) / kDeg;
  return 0;
}

}  // namespace tarn
