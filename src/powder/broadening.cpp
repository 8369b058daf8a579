// Anisotropic line broadening: axial factors, the quartic strain tensor of
// the Laue class, symmetrised spherical harmonics and reflection classes.
#include "powder/broadening.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>

namespace tarn {

namespace {

// Degree-4 homogeneous polynomials in h, k, l as dense coefficient cubes.
using Poly = std::array<std::array<std::array<double, 5>, 5>, 5>;

// Index of exponents (H, K, L) among the 15 quartic monomials.
int QuarticIndex(int h, int k, int l) {
  const auto& e = PwdQuarticExp();
  for (size_t i = 0; i < e.size(); ++i)
    if (e[i][0] == h && e[i][1] == k && e[i][2] == l) return static_cast<int>(i);
  return -1;
}

// The monomial h**e0 k**e1 l**e2 of the image h R, expanded in h, k, l.
std::array<double, 15> ImageOfMonomial(const std::array<int, 3>& e, const std::array<int, 9>& r) {
  Poly p{};
  p[0][0][0] = 1.;
  int deg = 0;
  for (int j = 0; j < 3; ++j)
    for (int t = 0; t < e[static_cast<size_t>(j)]; ++t) {
      // Multiply by the j-th component of h R: sum_i h_i R_ij.
      Poly q{};
      for (int a = 0; a <= deg; ++a)
        for (int b = 0; a + b <= deg; ++b) {
          const int c = deg - a - b;
          const double v = p[static_cast<size_t>(a)][static_cast<size_t>(b)][static_cast<size_t>(c)];
          if (v == 0.) continue;
          q[static_cast<size_t>(a + 1)][static_cast<size_t>(b)][static_cast<size_t>(c)] += v * r[static_cast<size_t>(j)];
          q[static_cast<size_t>(a)][static_cast<size_t>(b + 1)][static_cast<size_t>(c)] += v * r[static_cast<size_t>(3 + j)];
          q[static_cast<size_t>(a)][static_cast<size_t>(b)][static_cast<size_t>(c + 1)] += v * r[static_cast<size_t>(6 + j)];
        }
      p = q;
      ++deg;
    }
  std::array<double, 15> out{};
  for (int a = 0; a <= 4; ++a)
    for (int b = 0; a + b <= 4; ++b) out[static_cast<size_t>(QuarticIndex(a, b, 4 - a - b))] = p[static_cast<size_t>(a)][static_cast<size_t>(b)][static_cast<size_t>(4 - a - b)];
  return out;
}

double Monomial(const std::array<int, 3>& e, const double* x) {
  double v = 1.;
  for (int j = 0; j < 3; ++j)
    for (int t = 0; t < e[static_cast<size_t>(j)]; ++t) v *= x[j];
  return v;
}

// Reciprocal metric of a cell.
Eigen::Matrix3d RecMetric(const std::array<double, 6>& cell) {
  constexpr double r = std::numbers::pi / 180.;
  const double ca = std::cos(cell[3] * r), cb = std::cos(cell[4] * r), cg = std::cos(cell[5] * r);
  Eigen::Matrix3d g;
  g << cell[0] * cell[0], cell[0] * cell[1] * cg, cell[0] * cell[2] * cb,  //
      cell[0] * cell[1] * cg, cell[1] * cell[1], cell[1] * cell[2] * ca,   //
      cell[0] * cell[2] * cb, cell[1] * cell[2] * ca, cell[2] * cell[2];
  return g.inverse();
}

// Real spherical harmonics of orders 0 .. lmax at the unit vector u, mean
// square 1 over the sphere, at index l*l + l + m. Without the sin**m theta
// of the associated Legendre functions, which Re/Im (ux + i uy)**m carry.
void RealHarmonics(int lmax, const Eigen::Vector3d& u, double* y) {
  const double x = u.z();
  std::array<double, kPwdMaxShOrder + 1> cm{}, sm{};
  cm[0] = 1., sm[0] = 0.;
  for (int m = 1; m <= lmax; ++m) {
    cm[static_cast<size_t>(m)] = cm[static_cast<size_t>(m - 1)] * u.x() - sm[static_cast<size_t>(m - 1)] * u.y();
    sm[static_cast<size_t>(m)] = sm[static_cast<size_t>(m - 1)] * u.x() + cm[static_cast<size_t>(m - 1)] * u.y();
  }
  double qmm = 1.;  // Q_m^m = (2m - 1)!!
  for (int m = 0; m <= lmax; ++m) {
    if (m > 0) qmm *= 2. * m - 1.;
    double q2 = 0., q1 = qmm;
    for (int l = m; l <= lmax; ++l) {
      double q;
      if (l == m)
        q = qmm;
      else if (l == m + 1)
        q = x * (2. * m + 1.) * qmm;
      else
        q = ((2. * l - 1.) * x * q1 - (l + m - 1.) * q2) / (l - m);
      if (l > m) q2 = q1, q1 = q;
      // sqrt((2l + 1) (l - m)! / (l + m)!), times sqrt 2 for m > 0.
      double f = 2. * l + 1.;
      for (int t = l - m + 1; t <= l + m; ++t) f /= t;
      const double n = std::sqrt(f * (m > 0 ? 2. : 1.));
      y[l * l + l + m] = n * q * cm[static_cast<size_t>(m)];
      if (m > 0) y[l * l + l - m] = n * q * sm[static_cast<size_t>(m)];
    }
  }
}

// Average over the Laue class of the harmonics at the reciprocal vector h
// (real components allowed), b the Cartesian basis of the reciprocal lattice.
void SymHarmonics(const PwdBroadening& br, const Eigen::Matrix3d& b, const double* h, double* out) {
  const int lmax = br.ShOrder;
  const size_t n = static_cast<size_t>((lmax + 1) * (lmax + 1));
  std::fill(out, out + n, 0.);
  std::array<double, (kPwdMaxShOrder + 1) * (kPwdMaxShOrder + 1)> y{};
  for (const auto& r : br.Laue) {
    Eigen::Vector3d hr;
    for (int j = 0; j < 3; ++j) hr(j) = h[0] * r[static_cast<size_t>(j)] + h[1] * r[static_cast<size_t>(3 + j)] + h[2] * r[static_cast<size_t>(6 + j)];
    Eigen::Vector3d v = b * hr;
    const double nv = v.norm();
    if (nv <= 0.) continue;
    RealHarmonics(lmax, v / nv, y.data());
    for (size_t k = 0; k < n; ++k) out[k] += y[k];
  }
  for (size_t k = 0; k < n; ++k) out[k] /= static_cast<double>(std::max<size_t>(br.Laue.size(), 1));
}

// Upper-triangular Cartesian basis B of the reciprocal lattice (B^T B = G*).
Eigen::Matrix3d RecBasis(const std::array<double, 6>& cell) {
  const Eigen::Matrix3d l = RecMetric(cell).llt().matrixL();
  return l.transpose();
}

// Greedy choice of independent vectors: true when v is independent of the
// orthonormal rows kept so far (and then adds its normalised residual).
bool Independent(std::vector<std::vector<double>>& kept, std::vector<double> v) {
  double n0 = 0.;
  for (double x : v) n0 += x * x;
  if (n0 < 1e-20) return false;
  for (const auto& k : kept) {
    double d = 0.;
    for (size_t i = 0; i < v.size(); ++i) d += v[i] * k[i];
    for (size_t i = 0; i < v.size(); ++i) v[i] -= d * k[i];
  }
  double n = 0.;
  for (double x : v) n += x * x;
  if (n < 1e-12 * n0) return false;
  for (double& x : v) x /= std::sqrt(n);
  kept.push_back(std::move(v));
  return true;
}

}  // namespace

const std::array<std::array<int, 3>, 15>& PwdQuarticExp() {
  static const std::array<std::array<int, 3>, 15> e = {{{4, 0, 0}, {0, 4, 0}, {0, 0, 4}, {2, 2, 0}, {2, 0, 2},
                                                        {0, 2, 2}, {2, 1, 1}, {1, 2, 1}, {1, 1, 2}, {3, 1, 0},
                                                        {3, 0, 1}, {1, 3, 0}, {0, 3, 1}, {1, 0, 3}, {0, 1, 3}}};
  return e;
}

std::vector<std::array<int, 9>> PwdLaueOps(const PhaseSymmetry& s) {
  std::set<std::array<int, 9>> ops;
  for (int k = 0; k < s.NSymm; ++k) {
    std::array<int, 9> r{};
    for (size_t i = 0; i < 9; ++i) r[i] = static_cast<int>(std::lround(s.Op[static_cast<size_t>(k)].RM[i]));
    ops.insert(r);
    for (int& v : r) v = -v;
    ops.insert(r);
  }
  if (ops.empty()) {
    ops.insert({1, 0, 0, 0, 1, 0, 0, 0, 1});
    ops.insert({-1, 0, 0, 0, -1, 0, 0, 0, -1});
  }
  return {ops.begin(), ops.end()};
}

void PwdBroadSetup(PwdBroadening& b, const PhaseSymmetry& s, const std::array<double, 6>& cell) {
  b.Laue = PwdLaueOps(s);
  b.StrainForm.clear(), b.StrainExp.clear(), b.ShLM.clear();
  const auto& ex = PwdQuarticExp();
  std::vector<std::vector<double>> kept;
  for (size_t m = 0; m < ex.size(); ++m) {
    std::array<double, 15> p{};
    for (const auto& r : b.Laue) {
      const auto im = ImageOfMonomial(ex[m], r);
      for (size_t i = 0; i < 15; ++i) p[i] += im[i] / static_cast<double>(b.Laue.size());
    }
    if (!Independent(kept, std::vector<double>(p.begin(), p.end()))) continue;
    double lead = p[m];
    if (std::abs(lead) < 1e-9)
      for (double v : p) lead = std::abs(v) > std::abs(lead) ? v : lead;
    for (double& v : p) v = std::abs(v / lead) < 1e-12 ? 0. : v / lead;
    b.StrainForm.push_back(p);
    b.StrainExp.push_back(ex[m]);
  }
  // Harmonics: their Laue averages at fixed sample vectors, kept when independent.
  b.ShOrder = std::clamp(b.ShOrder / 2 * 2, 2, kPwdMaxShOrder);
  kept.clear();
  constexpr int kSamples = 160;
  std::vector<std::vector<double>> val(static_cast<size_t>((b.ShOrder + 1) * (b.ShOrder + 1)), std::vector<double>(kSamples));
  const Eigen::Matrix3d basis = RecBasis(cell);
  std::vector<double> out(val.size());
  for (int k = 0; k < kSamples; ++k) {
    // Points spread over the sphere (golden-angle spiral), slightly off the axes.
    const double z = 1. - (2. * k + 1.) / kSamples, rr = std::sqrt(1. - z * z), ph = 2.39996323 * k + 0.1;
    const double h[3] = {rr * std::cos(ph), rr * std::sin(ph), z};
    SymHarmonics(b, basis, h, out.data());
    for (size_t i = 0; i < val.size(); ++i) val[i][static_cast<size_t>(k)] = out[i];
  }
  for (int l = 2; l <= b.ShOrder; l += 2)
    for (int m = 0; m <= l; ++m)
      for (int sg : {1, -1}) {
        if (m == 0 && sg < 0) continue;
        if (Independent(kept, val[static_cast<size_t>(l * l + l + sg * m)])) b.ShLM.push_back({l, sg * m});
      }
  b.StrainPar.resize(b.Strain == PwdStrainTensor ? b.StrainForm.size() : 0, 0.);
  b.ShPar.resize(b.Size == PwdSizeHarmonics ? b.ShLM.size() : 0, 0.);
  b.HklPar.resize(2 * b.HklClass.size(), 0.);
}

int PwdBroadCount(const PwdBroadening& b) {
  return static_cast<int>(b.StrainPar.size() + b.ShPar.size() + b.HklPar.size());
}

double* PwdBroadRef(PwdBroadening& b, int k) {
  size_t i = static_cast<size_t>(k);
  if (i < b.StrainPar.size()) return &b.StrainPar[i];
  i -= b.StrainPar.size();
  if (i < b.ShPar.size()) return &b.ShPar[i];
  i -= b.ShPar.size();
  return i < b.HklPar.size() ? &b.HklPar[i] : nullptr;
}

std::string PwdBroadName(const PwdBroadening& b, int k) {
  size_t i = static_cast<size_t>(k);
  if (i < b.StrainPar.size()) {
    const auto& e = b.StrainExp[i];
    return fmt::format("S{}{}{}", e[0], e[1], e[2]);
  }
  i -= b.StrainPar.size();
  if (i < b.ShPar.size()) return fmt::format("K{},{}", b.ShLM[i][0], b.ShLM[i][1]);
  i -= b.ShPar.size();
  return fmt::format("hkl{}{}", i / 2 + 1, i % 2 == 0 ? "s" : "e");
}

void PwdBroadTermsOf(const PwdBroadening& b, const std::array<double, 6>& cell, const std::array<int, 3>& h,
                     PwdBroadTerms& t) {
  const size_t n = static_cast<size_t>(PwdBroadCount(b));
  t.A = t.B = 1., t.XAdd = t.YAdd = 0.;
  t.dX.assign(n, 0.), t.dY.assign(n, 0.);
  if (b.Strain == PwdStrainNone && b.Size == PwdSizeNone && b.HklClass.empty()) return;
  const Eigen::Matrix3d g = RecMetric(cell);
  const Eigen::Vector3d hv(h[0], h[1], h[2]);
  const double q = hv.dot(g * hv);  // 1/d**2
  if (q <= 0.) return;
  auto axial = [&](const std::array<double, 3>& dir) {
    const Eigen::Vector3d u(dir[0], dir[1], dir[2]);
    const double uu = u.dot(g * u);
    return uu > 0. ? std::abs(hv.dot(g * u)) / std::sqrt(q * uu) : 1.;
  };
  if (b.Size == PwdSizeAxial) t.A = axial(b.DirSize);
  if (b.Strain == PwdStrainAxial) t.B = axial(b.DirStrain);
  size_t at = 0;
  if (!b.StrainPar.empty()) {
    // 18000/pi centidegrees per radian, times 1e-3 = sqrt(1e-6) of the units of S.
    constexpr double kK = 18000. / std::numbers::pi * 1e-3;
    const double x[3] = {h[0] * std::sqrt(g(0, 0)), h[1] * std::sqrt(g(1, 1)), h[2] * std::sqrt(g(2, 2))};
    std::array<double, 15> mono{};
    const auto& ex = PwdQuarticExp();
    for (size_t i = 0; i < 15; ++i) mono[i] = Monomial(ex[i], x);
    std::vector<double> f(b.StrainPar.size());
    double sum = 0.;
    for (size_t k = 0; k < f.size(); ++k) {
      for (size_t i = 0; i < 15; ++i) f[k] += b.StrainForm[k][i] * mono[i];
      sum += b.StrainPar[k] * f[k];
    }
    const double d2 = 1. / q, root = std::sqrt(std::abs(sum));
    t.YAdd += kK * d2 * root;
    // d sqrt|sum| / dS_k = sign(sum) F_k / (2 sqrt|sum|), the root kept off 0.
    const double rd = std::max(root, 1e-4 * q), sg = sum < 0. ? -1. : 1.;
    for (size_t k = 0; k < f.size(); ++k) t.dY[at + k] = kK * d2 * sg * 0.5 * f[k] / rd;
    at += f.size();
  }
  if (!b.ShPar.empty()) {
    std::array<double, (kPwdMaxShOrder + 1) * (kPwdMaxShOrder + 1)> kv{};
    const double hd[3] = {static_cast<double>(h[0]), static_cast<double>(h[1]), static_cast<double>(h[2])};
    SymHarmonics(b, RecBasis(cell), hd, kv.data());
    for (size_t k = 0; k < b.ShPar.size(); ++k) {
      const double v = kv[static_cast<size_t>(b.ShLM[k][0] * b.ShLM[k][0] + b.ShLM[k][0] + b.ShLM[k][1])];
      t.XAdd += b.ShPar[k] * v;
      t.dX[at + k] = v;
    }
    at += b.ShPar.size();
  }
  for (size_t c = 0; c < b.HklClass.size(); ++c) {
    bool in = false;
    for (const auto& r : b.Laue) {
      const auto& k = b.HklClass[c];
      std::array<int, 3> im{};
      for (size_t j = 0; j < 3; ++j) im[j] = k[0] * r[j] + k[1] * r[3 + j] + k[2] * r[6 + j];
      in = in || im == h;
    }
    if (!in) continue;
    t.XAdd += b.HklPar[2 * c], t.YAdd += b.HklPar[2 * c + 1];
    t.dX[at + 2 * c] = 1., t.dY[at + 2 * c + 1] = 1.;
  }
}

}  // namespace tarn
