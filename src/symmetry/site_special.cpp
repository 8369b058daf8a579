// Site-symmetry constraints of the special modulation functions: the crenel
// and sawtooth functions, and waves over the orthogonal function sets on an
// interval (harmonics orthogonalised to the interval, Legendre polynomials,
// x-harmonics).
//
// These functions run along the first internal coordinate x4 only (with d
// modulation vectors they are constant along x5 and x6). A site operator maps
// the internal coordinates as xb4 -> eps.xb4 + delta (eps the d x d integer
// block); a function f(x4) stays a function of x4 alone, f(eps.xb4 + delta) =
// f(e x4 + delta_1), only when the first row of eps is (e, 0, 0) with
// e = +-1. The rules of one modulation vector then apply with that e and
// delta_1. A first row with any other element maps x4 onto a combination of
// the other internal coordinates: a function that is not constant along both
// cannot be invariant, and the atom is refused with a message.
//
// Along x4 the operator acts as x4 -> e x4 + delta. A crenel or sawtooth
// interval of centre c is carried onto itself by e = -1 when 2 c = delta
// modulo 1, and by e = +1 only when delta is an integer; an operator with
// e = +1 and a fractional delta carries the interval onto another one (the
// atom's copy occupies other x4) and gives no constraint.
//
// Orthogonal sets. The functions f_1..f_nf are the Gram-Schmidt
// orthogonalisation, on the interval and after dropping the constant, of
//   Legendre  1, P_1(t), P_2(t), ...
//   XHarm     1, t, cos(pi t), sin(pi t), cos(2 pi t), sin(2 pi t), ...
//   Ortho     1, sin(2 pi x4), cos(2 pi x4), sin(4 pi x4), cos(4 pi x4), ...
// with t = 2 (x4 - c)/w in [-1, 1]; wave n uses f_{2n-1} for its sine and
// f_{2n} for its cosine amplitudes. The operator maps the span of the set
// onto itself; its matrix A, f_j(eps x4 + delta) = sum_i A_ji f_i(x4), is
// found by Gauss-Legendre quadrature (exact for the polynomial sets, to
// rounding for the trigonometric ones). A block with the transformation S
// is invariant when S a_i = sum_j A_ji a_j for every function i.
#include <fmt/format.h>

#include <cmath>
#include <numbers>

#include "symmetry/site.hpp"
#include "util/report.hpp"

namespace tarn {

namespace {

constexpr double kTolInterval = 1.0e-9;   // mapped point outside the interval (reduced units)
constexpr double kTolIntegerX4 = 1.0e-5;  // internal translation equal to an integer
constexpr double kTolOrthoZero = 1.0e-9;  // image-matrix elements that vanish

// Gauss-Legendre nodes and weights on [-1, 1] (Newton on P_n).
void GaussNodes(int n, std::vector<double>& x, std::vector<double>& w) {
  x.assign(n, 0.);
  w.assign(n, 0.);
  for (int i = 0; i < (n + 1) / 2; ++i) {
    double z = std::cos(std::numbers::pi * (i + 0.75) / (n + 0.5)), pp = 1.;
    for (int it = 0; it < 100; ++it) {
      double p1 = 1., p2 = 0.;
      for (int j = 1; j <= n; ++j) {
        const double p3 = p2;
        p2 = p1;
        p1 = ((2. * j - 1.) * z * p2 - (j - 1.) * p3) / j;
      }
      pp = n * (z * p1 - p2) / (z * z - 1.);
      const double z1 = z;
      z = z1 - p1 / pp;
      if (std::fabs(z - z1) < 1e-15) break;
    }
    x[i] = -z;
    x[n - 1 - i] = z;
    w[i] = w[n - 1 - i] = 2. / ((1. - z * z) * pp * pp);
  }
}

// Raw functions g_0..g_nf of the set at the internal coordinate x4.
void RawFunctions(int type, int nf, double c, double width, double x4, double* g) {
  const double t = 2. * (x4 - c) / width;
  g[0] = 1.;
  for (int k = 1; k <= nf; ++k) {
    switch (type) {
      case 2:  // Legendre: (k) P_k = (2k-1) t P_{k-1} - (k-1) P_{k-2}
        g[k] = k == 1 ? t : ((2. * k - 1.) * t * g[k - 1] - (k - 1.) * g[k - 2]) / k;
        break;
      case 3:  // x-harmonics
        g[k] = k == 1 ? t
                      : (k % 2 == 0 ? std::cos(std::numbers::pi * (k / 2) * t)
                                    : std::sin(std::numbers::pi * (k / 2) * t));
        break;
      default:  // harmonics of the full period
        g[k] = k % 2 == 1 ? std::sin(2. * std::numbers::pi * ((k + 1) / 2) * x4)
                          : std::cos(2. * std::numbers::pi * ((k + 1) / 2) * x4);
        break;
    }
  }
}

bool IsInteger(double v) {
  return std::fabs(v - std::round(v)) < kTolIntegerX4;
}

// Action of a site operator along x4: x4 -> eps x4 + delta, delta = M_1.x +
// t_4 (first internal row). False when the first row of the internal block is
// not (+-1, 0, 0), i.e. x4 is mapped onto another internal coordinate.
bool InternalAction(const SiteOp& op, int ndim, const std::array<double, 3>& x, int& eps,
                    double& delta) {
  const double* row = &op.RM6[3 * ndim];
  eps = row[3] < 0. ? -1 : 1;
  delta = op.T[3];
  for (int k = 0; k < 3; ++k) delta += row[k] * x[k];
  if (std::fabs(std::fabs(row[3]) - 1.) > kTolIntegerX4) return false;
  for (int j = 4; j < ndim; ++j)
    if (std::fabs(row[j]) > kTolIntegerX4) return false;
  return true;
}

bool HasIntervalFunctions(const SiteAtom& at) {
  if (at.Crenel || at.Saw) return true;
  return at.FunType > 0 && (at.NWave[SpOcc] > 0 || at.NWave[SpPos] > 0 || at.NWave[SpAdp] > 0);
}

}  // namespace

double SiteIntervalCentre(double x40, double delta) {
  const double v0 = 0.5 * delta;
  return v0 + 0.5 * std::round(2. * (x40 - v0));
}

int OrthoSetImage(int type, int nf, double x40, double width, int eps, double delta,
                  std::vector<double>& a) {
  if (type < 1 || type > 3 || nf <= 0 || !(width > 0.)) return 1;
  if (eps > 0 && !IsInteger(delta)) return 1;
  if (eps < 0 && !IsInteger(2. * x40 - delta)) return 1;
  const int nq = 64 + 4 * nf;
  std::vector<double> tq, wq;
  GaussNodes(nq, tq, wq);
  const int ng = nf + 1;
  // Values of the raw functions at the nodes and at their images.
  std::vector<double> g(ng * nq), gi(ng * nq), tmp(ng);
  for (int q = 0; q < nq; ++q) {
    const double x4 = x40 + 0.5 * width * tq[q];
    RawFunctions(type, nf, x40, width, x4, tmp.data());
    for (int k = 0; k < ng; ++k) g[k * nq + q] = tmp[k];
    double y = eps * x4 + delta;
    y -= std::round(y - x40);  // the period that holds the interval
    if (std::fabs(2. * (y - x40) / width) > 1. + kTolInterval) return 1;
    RawFunctions(type, nf, x40, width, y, tmp.data());
    for (int k = 0; k < ng; ++k) gi[k * nq + q] = tmp[k];
  }
  // Modified Gram-Schmidt with the quadrature inner product; the same
  // combinations are applied to the image values.
  auto dot = [&](const double* u, const double* v) {
    double s = 0.;
    for (int q = 0; q < nq; ++q) s += wq[q] * u[q] * v[q];
    return s;
  };
  for (int k = 0; k < ng; ++k) {
    double* fk = &g[k * nq];
    double* hk = &gi[k * nq];
    for (int m = 0; m < k; ++m) {
      const double r = dot(&g[m * nq], fk);
      for (int q = 0; q < nq; ++q) {
        fk[q] -= r * g[m * nq + q];
        hk[q] -= r * gi[m * nq + q];
      }
    }
    const double nrm = std::sqrt(dot(fk, fk));
    if (!(nrm > 1e-10)) return 1;
    for (int q = 0; q < nq; ++q) {
      fk[q] /= nrm;
      hk[q] /= nrm;
    }
  }
  a.assign(nf * nf, 0.);
  for (int j = 0; j < nf; ++j)
    for (int i = 0; i < nf; ++i) {
      const double v = dot(&gi[(j + 1) * nq], &g[(i + 1) * nq]);
      a[j * nf + i] = std::fabs(v) < kTolOrthoZero ? 0. : v;
    }
  return 0;
}

int OrthoSpec(const double* s, int n, int nw, const SiteAtom& at, const SiteOp& op, int ndim,
              double centre, SpecRows& rows) {
  int eps = 1;
  double delta = 0.;
  if (!InternalAction(op, ndim, at.X, eps, delta)) return 1;
  const int nf = 2 * nw;
  std::vector<double> a;
  if (OrthoSetImage(at.FunType, nf, centre, at.FunDelta, eps, delta, a) != 0) return 1;
  const int np = n * nf;
  for (int i = 0; i < nf; ++i)
    for (int r = 0; r < n; ++r) {
      std::vector<double> row(np, 0.);
      for (int j = 0; j < nf; ++j) row[j * n + r] += a[j * nf + i];
      for (int c = 0; c < n; ++c) row[i * n + c] -= s[r * n + c];
      rows.A.insert(rows.A.end(), row.begin(), row.end());
      ++rows.NRow;
    }
  return 0;
}

double OrthoCentre(const SiteAtom& at, const std::vector<SiteOp>& ops, int ndim) {
  return SiteIntervalCentreOf(at.FunX40, at, ops, ndim);
}

double SiteIntervalCentreOf(double x40, const SiteAtom& at, const std::vector<SiteOp>& ops,
                            int ndim) {
  for (const SiteOp& op : ops) {
    int eps = 1;
    double delta = 0.;
    if (InternalAction(op, ndim, at.X, eps, delta) && eps < 0)
      return SiteIntervalCentre(x40, delta);
  }
  return x40;
}

bool SiteOpKeepsInterval(const SiteAtom& at, const SiteOp& op, int ndim, double centre) {
  int eps = 1;
  double delta = 0.;
  if (!InternalAction(op, ndim, at.X, eps, delta)) return false;
  return eps > 0 ? IsInteger(delta) : IsInteger(2. * centre - delta);
}

void SpecialSpecEq(const SiteAtom& at, int kind, const std::vector<SiteOp>& ops,
                   const SiteContext& ctx, SpecEquations& eqs) {
  const int ndim = ctx.Symm ? ctx.Symm->NDim : 3;
  if (ndim < 4 || SiteParCount(at, kind) == 0) return;
  const double x40 = kind == SpCrenel ? at.CrenelX40 : at.SawX40;
  // The first operator that reverses x4 fixes the centre; of the others only
  // those that carry that interval onto itself constrain the function.
  const double centre = SiteIntervalCentreOf(x40, at, ops, ndim);
  bool reversed = false;
  SpecRows rows;
  rows.NPar = 3;
  for (const SiteOp& op : ops) {
    if (!SiteOpKeepsInterval(at, op, ndim, centre)) continue;
    int eps = 1;
    double delta = 0.;
    (void)InternalAction(op, ndim, at.X, eps, delta);
    reversed = reversed || eps < 0;
    if (kind != SpSaw) continue;
    // The ramp changes sign with x4: R U = eps U.
    double s[9];
    for (int i = 0; i < 9; ++i) s[i] = eps * op.RM[i];
    AveSpec(s, rows);
  }
  if (rows.NRow > 0) SpecEq(UprSpec(rows), kind, at, eqs);
  if (!reversed) return;
  SpecEquation e;
  e.Owner = at.Name;
  e.Molecule = at.Molecule;
  e.Kind = kind;
  e.Dep = kind == SpCrenel ? 0 : 3;
  e.Const = centre == 0. ? 0. : centre;
  e.DepName = SiteParName(kind, e.Dep) + "[" + at.Name + "]";
  ReallocEquations(eqs, eqs.NEq + 1);
  eqs.Eq[eqs.NEq++] = std::move(e);
}

int SpecialAxisCheck(const SiteAtom& at, const std::vector<SiteOp>& ops, int ndim) {
  if (ndim < 4 || !HasIntervalFunctions(at)) return 0;
  for (const SiteOp& op : ops) {
    int eps = 1;
    double delta = 0.;
    if (InternalAction(op, ndim, at.X, eps, delta)) continue;
    // The operator as the group lists it: translation reduced to [0, 1).
    Vec6 t = op.T;
    od0do1(t.data(), ndim);
    std::string text;
    for (const std::string& c : CodeSymm(op.RM6.data(), t.data(), ndim, 1))
      text += (text.empty() ? "" : " ") + c;
    ReportError(fmt::format("{} \"{}\".", SiteMsgText(SiteMsg::IntervalNotInvariant), at.Name),
                {fmt::format("{} \"{}\" {}", SiteMsgText(SiteMsg::IntervalOperator), text,
                             SiteMsgText(SiteMsg::IntervalAxisMapped)),
                 SiteMsgText(SiteMsg::IntervalUseHarmonics)});
    return 1;
  }
  return 0;
}

}  // namespace tarn
