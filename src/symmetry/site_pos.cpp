// Site symmetry of points: the site operators of a position, moving a point
// onto its special position, site orders with duplicate marks, and the point
// group of a site.
#include <algorithm>
#include <cmath>

#include "symmetry/site.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

bool IsIdentity(const double* r, int n) {
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      if (std::fabs(r[i * n + j] - (i == j ? 1. : 0.)) >= kTolComplete) return false;
  return true;
}

// W^-1 of a subsystem matrix; false when W is singular.
bool InvertW(const double* w, int n, Mat6& wi) {
  const Vec6 z{};
  Vec6 tz{};
  return InvSymmOp(w, z.data(), n, wi.data(), tz.data()) == 0;
}

// x' = W.x for a translation-like vector.
Vec6 MulW(const double* w, const double* v, int n) {
  Vec6 out{};
  for (int i = 0; i < n; ++i) {
    double s = 0.;
    for (int k = 0; k < n; ++k) s += w[i * n + k] * v[k];
    out[i] = s;
  }
  return out;
}

// Squared length d^T G d of the real part of d (Angstrom^2).
double MetricLen2(const double* g, const double* d) {
  double s = 0.;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s += d[i] * g[i * 3 + j] * d[j];
  return s;
}

// Operators of the phase in the basis of subsystem w (nullptr: as they are).
// R, T and C point at the phase's own arrays, or at the transformed copies
// kept here (the phase basis is the common case and needs no copy).
struct OpsInBasis {
  std::vector<Mat6> RS;  // transformed rotations (subsystem basis only)
  std::vector<Vec6> TS;  // transformed translations
  std::vector<Vec6> CS;  // transformed centring vectors, or the zero vector
  std::vector<const double*> R, T, C;
};
OpsInBasis OpsFor(const PhaseSymmetry& ps, const double* w) {
  const int n = ps.NDim;
  OpsInBasis o;
  o.R.resize(ps.NSymm);
  o.T.resize(ps.NSymm);
  o.C.resize(std::max(ps.NLattVec, 1));
  Mat6 wi{};
  const bool sub = w != nullptr && InvertW(w, n, wi);
  if (sub) {
    o.RS.resize(ps.NSymm);
    o.TS.resize(ps.NSymm);
  }
  o.CS.resize(sub ? o.C.size() : 1);
  for (int j = 0; j < ps.NSymm; ++j) {
    if (sub) {
      SiteOpToSub(ps.Op[j].RM6.data(), ps.Op[j].S6.data(), n, w, wi.data(), o.RS[j].data(),
                  o.TS[j].data());
      o.R[j] = o.RS[j].data();
      o.T[j] = o.TS[j].data();
    } else {
      o.R[j] = ps.Op[j].RM6.data();
      o.T[j] = ps.Op[j].S6.data();
    }
  }
  for (size_t c = 0; c < o.C.size(); ++c) {
    if (static_cast<int>(c) >= ps.NLattVec) {
      o.C[c] = o.CS[0].data();  // no centring vectors: the zero vector
    } else if (sub) {
      o.CS[c] = MulW(w, ps.VT6[c].data(), n);
      o.C[c] = o.CS[c].data();
    } else {
      o.C[c] = ps.VT6[c].data();
    }
  }
  return o;
}

}  // namespace

void SiteOpToSub(const double* rm6, const double* s6, int ndim, const double* w, const double* wi,
                 double* rm6s, double* s6s) {
  const int n = ndim;
  Mat6 tmp{};
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double s = 0.;
      for (int k = 0; k < n; ++k) s += w[i * n + k] * rm6[k * n + j];
      tmp[i * n + j] = s;
    }
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double s = 0.;
      for (int k = 0; k < n; ++k) s += tmp[i * n + k] * wi[k * n + j];
      const double r = std::round(s);
      rm6s[i * n + j] = std::fabs(s - r) < 1e-9 ? r + 0. : s;
    }
  const Vec6 t = MulW(w, s6, n);
  for (int i = 0; i < n; ++i) s6s[i] = t[i];
}

int Triangl(std::vector<double>& a, int nrow, int ncol, int nvar, double tol) {
  int rank = 0;
  for (int c = 0; c < nvar && rank < nrow; ++c) {
    int p = rank;
    for (int i = rank + 1; i < nrow; ++i)
      if (std::fabs(a[i * ncol + c]) > std::fabs(a[p * ncol + c])) p = i;
    if (!(std::fabs(a[p * ncol + c]) > tol)) continue;
    if (p != rank)
      for (int k = 0; k < ncol; ++k) std::swap(a[p * ncol + k], a[rank * ncol + k]);
    const double piv = a[rank * ncol + c];
    for (int i = rank + 1; i < nrow; ++i) {
      const double f = a[i * ncol + c] / piv;
      if (f == 0.) continue;
      for (int k = c; k < ncol; ++k) a[i * ncol + k] -= f * a[rank * ncol + k];
      a[i * ncol + c] = 0.;
    }
    ++rank;
  }
  return rank;
}

int SpecPos(double* x, bool internal, const PhaseSymmetry& ps, const double* metric,
            const double* wsub, double tol, std::vector<SiteOp>* siteOps) {
  const int n = ps.NDim;
  Vec6 x0{};
  for (int i = 0; i < n; ++i) x0[i] = x[i];
  if (internal && n > 3) od0do1(x0.data() + 3, n - 3);
  if (!internal)
    for (int i = 3; i < n; ++i) x0[i] = 0.;
  if (siteOps) siteOps->clear();

  const OpsInBasis o = OpsFor(ps, wsub);
  constexpr int kCols = 4;  // three shifts and the right-hand side
  std::vector<double> rows;
  int count = 0;
  bool timeInversion = false;
  for (int j = 0; j < ps.NSymm; ++j) {
    const double* r = o.R[j];
    bool coupled = false;
    for (int i = 0; i < 3 && !coupled; ++i)
      for (int k = 3; k < n; ++k) coupled = coupled || std::fabs(r[i * n + k]) > kTolSiteCoupling;
    if (coupled) continue;
    Vec6 y{};
    for (int i = 0; i < n; ++i) {
      double s = o.T[j][i];
      for (int k = 0; k < n; ++k) s += r[i * n + k] * x0[k];
      y[i] = s;
    }
    for (int c = 0; c < std::max(ps.NLattVec, 1); ++c) {
      Vec6 d{}, lat{};
      bool reject = false;
      for (int i = 0; i < n; ++i) {
        const double v = y[i] + o.C[c][i] - x0[i];
        lat[i] = std::round(v);
        d[i] = v - lat[i];
        if (i >= 3 && internal && std::fabs(d[i]) > kTolSiteInternal) reject = true;
      }
      if (reject || std::sqrt(std::max(MetricLen2(metric, d.data()), 0.)) > tol) continue;
      ++count;
      for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 3; ++k) rows.push_back(r[i * n + k] - (i == k ? 1. : 0.));
        rows.push_back(-d[i]);
      }
      const double zmag = ps.Op[j].ZMag;
      if (zmag < 0. && IsIdentity(r, n)) {
        Vec6 tt{};
        for (int i = 0; i < n; ++i) tt[i] = o.T[j][i] + o.C[c][i];
        od0do1(tt.data(), n);
        const Vec6 zero{};
        if (eqrv(tt.data(), zero.data(), n, kTolOd0do1)) timeInversion = true;
      }
      if (siteOps) {
        SiteOp so;
        so.Op = j;
        so.Centr = c;
        std::copy(r, r + n * n, so.RM6.begin());
        for (int i = 0; i < n; ++i)
          so.T[i] = o.T[j][i] + o.C[c][i] - (i < 3 || internal ? lat[i] : 0.);
        so.ZMag = zmag;
        so.RM = MatBlock3(r, n);
        so.RMag = CrlMakeRMag(so.RM, zmag);
        siteOps->push_back(so);
      }
    }
  }

  // Shift onto the special position: (R - I).dx = -d for every site operator.
  const int nrow = static_cast<int>(rows.size()) / kCols;
  const int rank = Triangl(rows, nrow, kCols, 3, kTolTriangl);
  double dx[3] = {0., 0., 0.};
  for (int i = rank - 1; i >= 0; --i) {
    const double* a = &rows[i * kCols];
    int p = -1;
    for (int k = 0; k < 3 && p < 0; ++k)
      if (std::fabs(a[k]) > kTolSitePivotCol) p = k;
    if (p < 0) continue;
    double s = a[3];
    for (int k = p + 1; k < 3; ++k) s -= a[k] * dx[k];
    dx[p] = s / a[p];
  }
  for (int i = 0; i < 3; ++i) x[i] += dx[i];
  if (internal && n > 3)
    for (int i = 3; i < n; ++i) x[i] = x0[i];
  if (timeInversion) count /= 2;
  return std::max(count, 1);
}

namespace {

void SpecAtImpl(const PhaseSymmetry& ps, const std::vector<std::array<double, 3>>& pos,
                const std::vector<int>& sub, const SubsystemMatrices& wsub,
                std::vector<SiteOrder>& out) {
  const int n = ps.NDim;
  const int nsub = std::max<int>(1, static_cast<int>(wsub.size()));
  std::vector<OpsInBasis> ops;
  std::vector<double> subFactor(nsub, 1.);
  for (int s = 0; s < nsub; ++s) {
    const double* w = wsub.empty() ? nullptr : wsub[s].data();
    ops.push_back(OpsFor(ps, w));
    if (wsub.size() > 1) {
      // Centring vectors that vanish in the subsystem basis map every atom of
      // the subsystem onto itself.
      int nzero = 0;
      for (int c = 0; c < std::max(ps.NLattVec, 1); ++c) {
        bool zero = true;
        for (int i = 0; i < 3 && zero; ++i) {
          const double v = ops[s].C[c][i];
          zero = std::fabs(v - std::round(v)) < kTolSubCentr;
        }
        if (zero) ++nzero;
      }
      if (nzero > 1) subFactor[s] = nzero;
    }
  }
  out.assign(pos.size(), SiteOrder{});
  std::vector<std::array<double, 3>> img(ps.NSymm);
  for (size_t a = 0; a < pos.size(); ++a) {
    const int s = a < sub.size() ? std::clamp(sub[a], 0, nsub - 1) : 0;
    const OpsInBasis& o = ops[s];
    for (int j = 0; j < ps.NSymm; ++j)
      for (int i = 0; i < 3; ++i) {
        double v = o.T[j][i];
        for (int k = 0; k < 3; ++k) v += o.R[j][i * n + k] * pos[a][k];
        img[j][i] = v;
      }
    SiteOrder& so = out[a];
    so.Mark.resize(ps.NSymm);
    for (int j = 0; j < ps.NSymm; ++j) {
      so.Mark[j] = j + 1;
      for (int i = 0; i < j; ++i) {
        bool same = false;
        for (int c = 0; c < std::max(ps.NLattVec, 1) && !same; ++c) {
          same = true;
          for (int k = 0; k < 3 && same; ++k) {
            const double d = img[j][k] - img[i][k] - o.C[c][k];
            same = std::fabs(d - std::round(d)) < kTolSpecAt;
          }
        }
        if (!same) continue;
        so.Mark[j] = -(i + 1);
        if (i == 0 && j < ps.NSymmN) so.Order += 1.;
        break;
      }
    }
    so.Order *= subFactor[s];
  }
}

}  // namespace

void SpecAt(const PhaseSymmetry& ps, const std::vector<std::array<double, 3>>& pos,
            const std::vector<int>& sub, const SubsystemMatrices& wsub,
            std::vector<SiteOrder>& out) {
  SpecAtImpl(ps, pos, sub, wsub, out);
}

void SpecAtMol(const PhaseSymmetry& ps, const std::vector<std::array<double, 3>>& pos,
               const std::vector<int>& sub, const SubsystemMatrices& wsub,
               std::vector<SiteOrder>& out) {
  SpecAtImpl(ps, pos, sub, wsub, out);
}

std::vector<Mat3> GenPg(const std::vector<Mat3>& gen) {
  constexpr int kMaxPg = 48;  // order of the largest crystallographic point group
  std::vector<Mat3> pg{{1, 0, 0, 0, 1, 0, 0, 0, 1}};
  auto add = [&pg](const Mat3& m) {
    for (const auto& p : pg)
      if (eqrv(p.data(), m.data(), 9, kTolComplete)) return false;
    pg.push_back(m);
    return true;
  };
  for (const auto& g : gen) add(g);
  for (size_t i = 0; i < pg.size() && pg.size() <= kMaxPg; ++i)
    for (size_t j = 0; j < pg.size() && pg.size() <= kMaxPg; ++j) {
      Mat3 m{};
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
          double s = 0.;
          for (int k = 0; k < 3; ++k) s += pg[i][r * 3 + k] * pg[j][k * 3 + c];
          m[r * 3 + c] = s;
        }
      add(m);
    }
  return pg;
}

std::vector<Mat3> SpecPg(const std::vector<SiteOp>& siteOps) {
  std::vector<Mat3> gen;
  for (const auto& so : siteOps) gen.push_back(so.RM);
  return GenPg(gen);
}

SiteInfo AtSym(std::string_view name, const std::vector<SiteAtom>& atoms, const SiteContext& ctx) {
  SiteInfo info;
  for (size_t i = 0; i < atoms.size(); ++i)
    if (EqIgnoreCase(atoms[i].Name, Trim(name))) {
      info.Atom = static_cast<int>(i);
      break;
    }
  if (info.Atom < 0 || ctx.Symm == nullptr) return info;
  const SiteAtom& at = atoms[info.Atom];
  const PhaseSymmetry& ps = *ctx.Symm;
  double x[kMaxNDim] = {at.X[0], at.X[1], at.X[2], 0., 0., 0.};
  const double* w =
      at.Sub >= 0 && at.Sub < static_cast<int>(ctx.WSub.size()) ? ctx.WSub[at.Sub].data() : nullptr;
  info.Count = SpecPos(x, false, ps, ctx.Metric.data(), w, ctx.Tol, &info.Ops);
  info.PointGroup = SpecPg(info.Ops);
  return info;
}

SiteInfo atsymspec(std::string_view text, const std::vector<SiteAtom>& atoms,
                   const SiteContext& ctx) {
  std::string_view name = Trim(text);
  const size_t lb = name.find('[');
  if (lb != std::string_view::npos) {
    const size_t rb = name.find(']', lb);
    name = name.substr(lb + 1, rb == std::string_view::npos ? std::string_view::npos : rb - lb - 1);
  }
  return AtSym(name, atoms, ctx);
}

}  // namespace tarn
