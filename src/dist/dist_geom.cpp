#include "dist/dist_geom.hpp"

#include <algorithm>
#include <cmath>

namespace tarn {

namespace {

constexpr double kAngleQMin = 0.0001;   // product of bond lengths below which an angle is 0
constexpr double kCosLimit = 0.999999;  // |cos| above which an angle is 0 or 180 degrees
constexpr double kCellStep = 1e-5;      // relative step of numerical cell derivatives

Vec3 MulT(const Mat3& r, const Vec3& d) {  // R^T d
  Vec3 o{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) o[i] += r[j * 3 + i] * d[j];
  return o;
}
Vec3 Mul(const Mat3& r, const Vec3& d) {
  Vec3 o{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) o[i] += r[i * 3 + j] * d[j];
  return o;
}
Vec3 Cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double Dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
Vec3 Scaled(const Vec3& a, double f) {
  return {a[0] * f, a[1] * f, a[2] * f};
}
Vec3 Sum(const Vec3& a, const Vec3& b) {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
double Det3(const Vec3& a, const Vec3& b, const Vec3& c) {
  return Dot(a, Cross(b, c));
}

// cos of the torsion angle from the scalar products through G, or nullopt-like
// flag when a pair of bonds is collinear (zero denominator).
double TorsionCos(const Mat3& g, const Vec3& b1, const Vec3& b2, const Vec3& b3, bool& ok) {
  const double d11 = DistDot(g, b1, b1), d22 = DistDot(g, b2, b2), d33 = DistDot(g, b3, b3);
  const double d12 = DistDot(g, b1, b2), d23 = DistDot(g, b2, b3), d13 = DistDot(g, b1, b3);
  const double den = (d11 * d22 - d12 * d12) * (d33 * d22 - d23 * d23);
  ok = den > 1e-20;
  return ok ? (d12 * d23 - d13 * d22) / std::sqrt(den) : 1.;
}

double TorsionFromCos(double c, double det) {
  const double t = std::acos(std::clamp(c, -1., 1.)) / kDeg;
  return det < 0. ? -t : t;
}

}  // namespace

Mat3 DistMetric(const std::array<double, 6>& c) {
  const double ca = std::cos(c[3] * kDeg), cb = std::cos(c[4] * kDeg), cg = std::cos(c[5] * kDeg);
  return {c[0] * c[0],      c[0] * c[1] * cg, c[0] * c[2] * cb, c[0] * c[1] * cg, c[1] * c[1],
          c[1] * c[2] * ca, c[0] * c[2] * cb, c[1] * c[2] * ca, c[2] * c[2]};
}

DistCell DistMakeCell(const double cell[6], const double su[6]) {
  DistCell d;
  for (int i = 0; i < 6; ++i) {
    d.Par[i] = cell[i];
    d.Su[i] = su[i];
  }
  d.G = DistMetric(d.Par);
  const double a = cell[0], b = cell[1], c = cell[2];
  const double ca = std::cos(cell[3] * kDeg), cb = std::cos(cell[4] * kDeg),
               cg = std::cos(cell[5] * kDeg);
  const double sa = std::sin(cell[3] * kDeg), sb = std::sin(cell[4] * kDeg),
               sg = std::sin(cell[5] * kDeg);
  auto set = [&](int k, int i, int j, double v) {
    d.DG[k][i * 3 + j] = v;
    d.DG[k][j * 3 + i] = v;
  };
  set(0, 0, 0, 2 * a), set(0, 0, 1, b * cg), set(0, 0, 2, c * cb);
  set(1, 1, 1, 2 * b), set(1, 0, 1, a * cg), set(1, 1, 2, c * ca);
  set(2, 2, 2, 2 * c), set(2, 0, 2, a * cb), set(2, 1, 2, b * ca);
  set(3, 1, 2, -b * c * sa * kDeg);
  set(4, 0, 2, -a * c * sb * kDeg);
  set(5, 0, 1, -a * b * sg * kDeg);
  const double vol =
      a * b * c * std::sqrt(std::max(0., 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg));
  d.Orth = {a, b * cg, c * cb, 0, b * sg, c * (ca - cb * cg) / sg, 0, 0, vol / (a * b * sg)};
  return d;
}

void DistGrad::Add(int atom, const Mat3& r, const Vec3& d) {
  const Vec3 v = MulT(r, d);
  for (auto& [a, g] : Atom)
    if (a == atom) {
      g = Sum(g, v);
      return;
    }
  Atom.emplace_back(atom, v);
}

void DistGrad::Scale(double f) {
  for (auto& [a, g] : Atom) g = Scaled(g, f);
  for (auto& c : Cell) c *= f;
}

void DistGrad::Merge(const DistGrad& o, double f) {
  static const Mat3 kI{1, 0, 0, 0, 1, 0, 0, 0, 1};
  for (const auto& [a, g] : o.Atom) Add(a, kI, Scaled(g, f));
  for (int k = 0; k < 6; ++k) Cell[k] += f * o.Cell[k];
}

double sigma(std::span<const double> der, std::span<const double> su, int n) {
  double s = 0.;
  for (int i = 0; i < n; ++i) s += (der[i] * su[i]) * (der[i] * su[i]);
  return std::sqrt(s);
}

Vec3 DistDiff(const Vec3& a, const Vec3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

double DistDot(const Mat3& g, const Vec3& u, const Vec3& v) {
  return Dot(u, Mul(g, v));
}

double DistLength(const Mat3& g, const Vec3& u) {
  return std::sqrt(std::max(0., DistDot(g, u, u)));
}

DistValue DistDistance(const DistCell& cell, const DistPoint& p, const DistPoint& q) {
  DistValue r;
  const Vec3 d = DistDiff(q.X, p.X);
  r.Value = DistLength(cell.G, d);
  if (r.Value <= 0.) return r;
  // dd/dDelta = G.Delta/d; dd/dG_ij = Delta_i Delta_j / (2d).
  const Vec3 gd = Scaled(Mul(cell.G, d), 1. / r.Value);
  r.Grad.Add(q.Atom, q.R, gd);
  r.Grad.Add(p.Atom, p.R, Scaled(gd, -1.));
  for (int k = 0; k < 6; ++k) r.Grad.Cell[k] = DistDot(cell.DG[k], d, d) / (2. * r.Value);
  return r;
}

DistAngResult DistAng(const Vec3& u, const Vec3& v, const DistCell& cell) {
  DistAngResult r;
  const double uu = DistDot(cell.G, u, u), vv = DistDot(cell.G, v, v);
  const double p = DistDot(cell.G, u, v), q = std::sqrt(std::max(0., uu * vv));
  if (q < kAngleQMin) {
    r.Degenerate = true;
    return r;
  }
  const double c = p / q;
  if (std::fabs(c) > kCosLimit) {
    r.Angle = c > 0. ? 0. : 180.;
    r.Degenerate = true;
    return r;
  }
  r.Angle = std::acos(c) / kDeg;
  // d cos/du = G.v/q - c G.u/(u.u); the angle's derivative is -1/sin of it.
  const double f = -1. / (std::sqrt(1. - c * c) * kDeg);
  const Vec3 gu = Mul(cell.G, u), gv = Mul(cell.G, v);
  for (int i = 0; i < 3; ++i) {
    r.DU[i] = f * (gv[i] / q - c * gu[i] / uu);
    r.DV[i] = f * (gu[i] / q - c * gv[i] / vv);
  }
  // d cos/dG_ij = u_i v_j / q - c/2 (u_i u_j/(u.u) + v_i v_j/(v.v)).
  for (int k = 0; k < 6; ++k)
    r.DCell[k] = f * (DistDot(cell.DG[k], u, v) / q -
                      0.5 * c * (DistDot(cell.DG[k], u, u) / uu + DistDot(cell.DG[k], v, v) / vv));
  return r;
}

DistValue DistAngle(const DistCell& cell, const DistPoint& b, const DistPoint& a,
                    const DistPoint& c) {
  DistValue r;
  const DistAngResult an = DistAng(DistDiff(b.X, a.X), DistDiff(c.X, a.X), cell);
  r.Value = an.Angle;
  if (an.Degenerate) return r;
  r.Grad.Add(b.Atom, b.R, an.DU);
  r.Grad.Add(c.Atom, c.R, an.DV);
  r.Grad.Add(a.Atom, a.R, Scaled(Sum(an.DU, an.DV), -1.));
  r.Grad.Cell = an.DCell;
  return r;
}

DistTorsionResult TorsionAngle(const Vec3& x1, const Vec3& x2, const Vec3& x3, const Vec3& x4,
                               const DistCell& cell) {
  DistTorsionResult r;
  const Vec3 b1 = DistDiff(x2, x1), b2 = DistDiff(x3, x2), b3 = DistDiff(x4, x3);
  bool ok = false;
  const double c = TorsionCos(cell.G, b1, b2, b3, ok);
  const double det = Det3(b1, b2, b3);
  if (!ok || std::fabs(c) > kCosLimit) {
    r.Angle = c > 0. ? 0. : 180.;
    r.Degenerate = true;
    return r;
  }
  r.Angle = TorsionFromCos(c, det);
  // Cartesian gradient (Blondel & Karplus, J. Comput. Chem. 17 (1996) 1132),
  // taken back to fractional coordinates by Orth^T.
  const Vec3 e1 = Mul(cell.Orth, b1), e2 = Mul(cell.Orth, b2), e3 = Mul(cell.Orth, b3);
  const Vec3 n1 = Cross(e1, e2), n2 = Cross(e2, e3);
  const double l2 = std::sqrt(Dot(e2, e2)), a1 = Dot(n1, n1), a2 = Dot(n2, n2);
  const Vec3 g1 = Scaled(n1, -l2 / a1), g4 = Scaled(n2, l2 / a2);
  const double p = Dot(e1, e2) / (l2 * l2), q = Dot(e3, e2) / (l2 * l2);
  // Translation and rotation invariance fix the inner atoms.
  const Vec3 g2 = Sum(Scaled(g1, -1. - p), Scaled(g4, q));
  const Vec3 g3 = Sum(Scaled(g1, p), Scaled(g4, -1. - q));
  const std::array<Vec3, 4> gc{g1, g2, g3, g4};
  for (int i = 0; i < 4; ++i) r.D[i] = Scaled(MulT(cell.Orth, gc[i]), 1. / kDeg);
  // Cell part by central differences: the torsion depends on the cell only
  // through G.
  for (int k = 0; k < 6; ++k) {
    const double h = kCellStep * std::max(1., std::fabs(cell.Par[k]));
    auto at = [&](double s) {
      auto par = cell.Par;
      par[k] += s;
      bool okk = false;
      return TorsionFromCos(TorsionCos(DistMetric(par), b1, b2, b3, okk), det);
    };
    double dv = at(h) - at(-h);
    if (dv > 180.) dv -= 360.;
    if (dv < -180.) dv += 360.;
    r.DCell[k] = dv / (2 * h);
  }
  return r;
}

DistValue DistTorsion(const DistCell& cell, const std::array<DistPoint, 4>& p) {
  DistValue r;
  const auto t = TorsionAngle(p[0].X, p[1].X, p[2].X, p[3].X, cell);
  r.Value = t.Angle;
  if (t.Degenerate) return r;
  for (int i = 0; i < 4; ++i) r.Grad.Add(p[i].Atom, p[i].R, t.D[i]);
  r.Grad.Cell = t.DCell;
  return r;
}

}  // namespace tarn
