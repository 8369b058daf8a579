// Elementary operations on symmetry operators: comparison, normalisation,
// products, inverses, centring representatives, tensor maps and element
// symbols.
#include <fmt/format.h>

#include <cmath>
#include <numeric>
#include <utility>

#include "symmetry/symm.hpp"

namespace tarn {

bool eqrv(const double* a, const double* b, int n, double tol) {
  for (int i = 0; i < n; ++i)
    if (!(std::fabs(a[i] - b[i]) < tol)) return false;
  return true;
}

void od0do1(double* v, int n) {
  for (int i = 0; i < n; ++i) {
    double y = v[i] - std::trunc(v[i]);
    if (y < 0.) y += 1.;
    if (!(y >= kTolOd0do1 && y <= 1. - kTolOd0do1)) y = 0.;  // also catches NaN
    v[i] = y;
  }
}

void MultSymmOp(const double* r1, const double* t1, const double* r2, const double* t2, int n,
                double* r, double* t) {
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      double s = 0.;
      for (int k = 0; k < n; ++k) s += r1[i * n + k] * r2[k * n + j];
      r[i * n + j] = s;
    }
    double s = t1[i];
    for (int k = 0; k < n; ++k) s += r1[i * n + k] * t2[k];
    t[i] = s;
  }
}

int InvSymmOp(const double* r, const double* t, int n, double* ri, double* ti) {
  // Gauss-Jordan elimination with partial pivoting on [R | I].
  double a[kMaxNDim][2 * kMaxNDim];
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      a[i][j] = r[i * n + j];
      a[i][n + j] = i == j ? 1. : 0.;
    }
  for (int c = 0; c < n; ++c) {
    int p = c;
    for (int i = c + 1; i < n; ++i)
      if (std::fabs(a[i][c]) > std::fabs(a[p][c])) p = i;
    if (!(std::fabs(a[p][c]) > 1e-10)) return 1;
    if (p != c)
      for (int j = 0; j < 2 * n; ++j) std::swap(a[p][j], a[c][j]);
    const double d = a[c][c];
    for (int j = 0; j < 2 * n; ++j) a[c][j] /= d;
    for (int i = 0; i < n; ++i) {
      if (i == c || a[i][c] == 0.) continue;
      const double f = a[i][c];
      for (int j = 0; j < 2 * n; ++j) a[i][j] -= f * a[c][j];
    }
  }
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double v = a[i][n + j];
      const double rv = std::round(v);
      if (std::fabs(v - rv) < 1e-9) v = rv;  // unimodular matrices stay exact
      ri[i * n + j] = v == 0. ? 0. : v;
    }
  for (int i = 0; i < n; ++i) {
    double s = 0.;
    for (int k = 0; k < n; ++k) s -= ri[i * n + k] * t[k];
    ti[i] = s == 0. ? 0. : s;
  }
  return 0;
}

Mat3 MatBlock3(const double* rm6, int n) {
  Mat3 m{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i * 3 + j] = rm6[i * n + j];
  return m;
}

namespace {
double Det3(const Mat3& m) {
  return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
         m[2] * (m[3] * m[7] - m[4] * m[6]);
}
}  // namespace

Mat3 CrlMakeRMag(const Mat3& rm, double zmag) {
  // Axial vectors: m' = det(R) * ZMag * R.m
  double d = Det3(rm);
  if (zmag < 0.) d = -d;
  Mat3 out = rm;
  if (d <= 0.)
    for (double& x : out) x = -x;
  for (double& x : out)
    if (x == 0.) x = 0.;  // no negative zeros
  return out;
}

void CrlNormCentr(double* t, int n, const std::vector<Vec6>& vt6, int nLattVec) {
  Vec6 best{};
  bool have = false;
  for (int c = 0; c < std::max(nLattVec, 1); ++c) {
    Vec6 cand{};
    for (int i = 0; i < n; ++i) cand[i] = t[i] + (c < nLattVec ? vt6[c][i] : 0.);
    od0do1(cand.data(), n);
    bool smaller = !have;
    if (have) {
      for (int i = 0; i < n; ++i) {
        if (std::fabs(cand[i] - best[i]) < kTolModCentr) continue;
        smaller = cand[i] < best[i];
        break;
      }
    }
    if (smaller) {
      best = cand;
      have = true;
    }
  }
  for (int i = 0; i < n; ++i) t[i] = best[i];
}

bool CrlEqModCentr(const double* t1, const double* t2, int n, const std::vector<Vec6>& vt6,
                   int nLattVec, double tol) {
  for (int c = 0; c < std::max(nLattVec, 1); ++c) {
    bool eq = true;
    for (int i = 0; i < n && eq; ++i) {
      double d = t1[i] - t2[i] - (c < nLattVec ? vt6[c][i] : 0.);
      d -= std::round(d);
      eq = std::fabs(d) < tol;
    }
    if (eq) return true;
  }
  return false;
}

int indext(int i, int j) {
  static constexpr int kIdx[3][3] = {{0, 3, 4}, {3, 1, 5}, {4, 5, 2}};
  return kIdx[i][j];
}

std::array<double, 36> srotb(const Mat3& rm) {
  // beta'_ij = sum_kl R_ik R_jl beta_kl; off-diagonal pairs (k,l) and (l,k)
  // are one component.
  static constexpr int kPair[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  std::array<double, 36> s{};
  for (int p = 0; p < 6; ++p) {
    const int i = kPair[p][0], j = kPair[p][1];
    for (int q = 0; q < 6; ++q) {
      const int k = kPair[q][0], l = kPair[q][1];
      double v = rm[i * 3 + k] * rm[j * 3 + l];
      if (k != l) v += rm[i * 3 + l] * rm[j * 3 + k];
      s[p * 6 + q] = v == 0. ? 0. : v;
    }
  }
  return s;
}

// ------------------------------------------------------------- element symbols
namespace {

// Intrinsic (screw or glide) part of (R,t): (1/N) sum_{k<N} R^k t, N the
// order of R; returns false when R has no order up to 24.
bool Intrinsic(const double* r, const double* t, int n, int& order, double* w) {
  Mat6 p{}, q{};
  for (int i = 0; i < n; ++i) p[i * n + i] = 1.;
  Vec6 sum{};
  order = 0;
  for (int k = 1; k <= 24; ++k) {
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) sum[i] += p[i * n + j] * t[j];
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        double s = 0.;
        for (int m = 0; m < n; ++m) s += p[i * n + m] * r[m * n + j];
        q[i * n + j] = s;
      }
    p = q;
    bool ident = true;
    for (int i = 0; i < n && ident; ++i)
      for (int j = 0; j < n && ident; ++j)
        ident = std::fabs(p[i * n + j] - (i == j ? 1. : 0.)) < kTolComplete;
    if (ident) {
      order = k;
      break;
    }
  }
  if (order == 0) return false;
  for (int i = 0; i < n; ++i) w[i] = sum[i] / order;
  return true;
}

double Frac01(double x) {
  double y = x - std::floor(x);
  if (y > 1. - kTolCodeSymm) y = 0.;
  return y < kTolCodeSymm ? 0. : y;
}

bool Near(double a, double b) {
  return std::fabs(a - b) < kTolCodeSymm;
}

// Glide letter of an intrinsic glide vector g.
std::string GlideLetter(const double* g) {
  int halves = 0, quarters = 0, other = 0, axis = -1;
  for (int i = 0; i < 3; ++i) {
    const double y = Frac01(g[i]);
    if (y == 0.) continue;
    if (Near(y, 0.5)) {
      ++halves;
      axis = i;
    } else if (Near(y, 0.25) || Near(y, 0.75)) {
      ++quarters;
    } else {
      ++other;
    }
  }
  if (other > 0) return "g";
  if (quarters > 0) return "d";
  if (halves == 0) return "m";
  if (halves == 1) return std::string(1, "abc"[axis]);
  return "n";
}

std::string InternalLetter(double x) {
  const double y = Frac01(x);
  if (y == 0.) return "0";
  if (Near(y, 0.5)) return "s";
  if (Near(y, 1. / 3.) || Near(y, 2. / 3.)) return "t";
  if (Near(y, 0.25) || Near(y, 0.75)) return "q";
  if (Near(y, 1. / 6.) || Near(y, 5. / 6.)) return "h";
  return "?";
}

std::string SmbOp3(const double* r, const double* t, const std::vector<Vec6>* vt6, int nLattVec) {
  Mat3 rm;
  for (int i = 0; i < 9; ++i) rm[i] = r[i];
  const double det = Det3(rm);
  if (!(std::fabs(std::fabs(det) - 1.) < kTolComplete)) return "?";
  const int sgn = det > 0. ? 1 : -1;
  Mat3 rp;  // proper part
  for (int i = 0; i < 9; ++i) rp[i] = sgn * rm[i];
  const double tr = rp[0] + rp[4] + rp[8];
  int n = 0;
  if (Near(tr, 3.))
    n = 1;
  else if (Near(tr, -1.))
    n = 2;
  else if (Near(tr, 0.))
    n = 3;
  else if (Near(tr, 1.))
    n = 4;
  else if (Near(tr, 2.))
    n = 6;
  else
    return "?";
  int order = 0;
  double w[kMaxNDim] = {};
  if (!Intrinsic(rm.data(), t, 3, order, w)) return "?";
  if (n == 1) {
    if (sgn < 0) return "-1";
    return (Frac01(w[0]) == 0. && Frac01(w[1]) == 0. && Frac01(w[2]) == 0.) ? "1" : "t";
  }
  // Rotation axis u: a non-zero column of sum_{k<n} Rp^k, made primitive
  // with its first non-zero component positive.
  Mat3 p{}, acc{};
  for (int i = 0; i < 3; ++i) p[i * 3 + i] = 1.;
  for (int k = 0; k < n; ++k) {
    for (int i = 0; i < 9; ++i) acc[i] += p[i];
    Mat3 q{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        for (int m = 0; m < 3; ++m) q[i * 3 + j] += p[i * 3 + m] * rp[m * 3 + j];
    p = q;
  }
  int col = 0;
  double best = -1.;
  for (int j = 0; j < 3; ++j) {
    const double len = std::fabs(acc[j]) + std::fabs(acc[3 + j]) + std::fabs(acc[6 + j]);
    if (len > best) {
      best = len;
      col = j;
    }
  }
  long long u[3];
  for (int i = 0; i < 3; ++i) u[i] = std::llround(acc[i * 3 + col]);
  long long g = std::gcd(std::gcd(std::llabs(u[0]), std::llabs(u[1])), std::llabs(u[2]));
  if (g == 0) return "?";
  for (long long& x : u) x /= g;
  for (int i = 0; i < 3; ++i) {
    if (u[i] == 0) continue;
    if (u[i] < 0)
      for (long long& x : u) x = -x;
    break;
  }
  if (n == 2 && sgn < 0) {  // mirror or glide plane
    std::string own = GlideLetter(w);
    if (vt6 && (own == "a" || own == "b" || own == "c")) {
      for (int c = 1; c < nLattVec; ++c) {
        double tc[3], wc[kMaxNDim] = {};
        for (int i = 0; i < 3; ++i) tc[i] = t[i] + (*vt6)[c][i];
        int oc = 0;
        if (!Intrinsic(rm.data(), tc, 3, oc, wc)) continue;
        const std::string other = GlideLetter(wc);
        if ((other == "a" || other == "b" || other == "c") && other != own) return "e";
      }
    }
    return own;
  }
  // Sense of rotation: sign of det[u, x, Rp.x] for x not along u.
  std::string sense;
  if (n >= 3) {
    double bestDet = 0.;
    for (int j = 0; j < 3; ++j) {  // the basis vector least parallel to u
      const Mat3 m = {static_cast<double>(u[0]), j == 0 ? 1. : 0., rp[0 * 3 + j],
                      static_cast<double>(u[1]), j == 1 ? 1. : 0., rp[1 * 3 + j],
                      static_cast<double>(u[2]), j == 2 ? 1. : 0., rp[2 * 3 + j]};
      const double d = Det3(m);
      if (std::fabs(d) > std::fabs(bestDet)) bestDet = d;
    }
    sense = bestDet > 0. ? "+" : "-";
  }
  if (sgn < 0) return fmt::format("-{}{}", n, sense);
  // Screw component: w = s.u, index k = n.s modulo n, counted in the positive
  // sense of rotation.
  const double uu = static_cast<double>(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
  const double s = (w[0] * u[0] + w[1] * u[1] + w[2] * u[2]) / uu;
  const double ns = n * s;
  long long k = std::llround(ns);
  if (std::fabs(ns - static_cast<double>(k)) > 0.01) return fmt::format("{}?", n);
  k = ((k % n) + n) % n;
  if (k != 0 && sense == "-") k = n - k;
  if (k != 0) return fmt::format("{}{}", n, k);
  return fmt::format("{}{}", n, sense);
}

}  // namespace

std::string SmbOp(const double* rm6, const double* s6, int ndim, const std::vector<Vec6>* vt6,
                  int nLattVec) {
  const Mat3 r = MatBlock3(rm6, ndim);
  std::string out = SmbOp3(r.data(), s6, vt6, nLattVec);
  if (ndim > 3) {
    int order = 0;
    double w[kMaxNDim] = {};
    out += "(";
    if (Intrinsic(rm6, s6, ndim, order, w)) {
      for (int i = 3; i < ndim; ++i) out += InternalLetter(w[i]);
    } else {
      out += std::string(ndim - 3, '?');
    }
    out += ")";
  }
  return out;
}

}  // namespace tarn
