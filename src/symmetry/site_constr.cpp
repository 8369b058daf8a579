// Constraints that the site symmetry imposes on the refinable parameters of
// an atom: tensor transformations, the invariance rows of each parameter
// block, their reduction and the equations handed to the refinement.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "symmetry/site.hpp"
#include "util/report.hpp"

namespace tarn {

namespace {

constexpr double kPosConstDen = 48.;   // special positions are multiples of 1/48 or less fine
constexpr double kTolPosConst = 1e-6;  // snapping of a position constant to that grid

constexpr std::array<const char*, static_cast<int>(SiteMsg::Count)> kSiteMsgText = {
    "The set of modulation waves isn't closed.",
    "Select another set and try again.",
    "The interval of the special functions isn't invariant under the site symmetry of the atom",
    "The site operator",
    "maps the internal coordinate x4 of the interval onto another internal coordinate.",
    "Use harmonic waves for this atom or move it off the special position.",
};

int TensorSize(int n) {
  return (n + 1) * (n + 2) / 2;
}

// Index of a sorted tuple among TensorIndexTuples(n), through its base-3 code.
std::vector<int> TupleCodeIndex(int n) {
  int p3 = 1;
  for (int i = 0; i < n; ++i) p3 *= 3;
  std::vector<int> idx(p3, -1);
  const auto tuples = TensorIndexTuples(n);
  for (size_t q = 0; q < tuples.size(); ++q) {
    int code = 0;
    for (int v : tuples[q]) code = code * 3 + v;
    idx[code] = static_cast<int>(q);
  }
  return idx;
}

// Inverse of a d x d integer matrix (d <= 3); false when singular.
bool InvInt(const double* e, int d, double* ei) {
  if (d == 0) return true;
  Vec6 z{}, tz{};
  return InvSymmOp(e, z.data(), d, ei, tz.data()) == 0;
}

void CleanZeros(std::vector<double>& v) {
  for (double& x : v)
    if (std::fabs(x) < 1e-12) x = 0.;
}

}  // namespace

const char* SiteMsgText(SiteMsg id) {
  return kSiteMsgText[static_cast<int>(id)];
}

// ---------------------------------------------------------------- tensors
std::vector<std::vector<int>> TensorIndexTuples(int n) {
  std::vector<std::vector<int>> out;
  std::vector<int> cur(n, 0);
  // Non-decreasing tuples in lexicographic order.
  while (true) {
    out.push_back(cur);
    int k = n - 1;
    while (k >= 0 && cur[k] == 2) --k;
    if (k < 0) break;
    ++cur[k];
    for (int m = k + 1; m < n; ++m) cur[m] = cur[k];
  }
  return out;
}

std::vector<double> SRotC(const Mat3& rm, int n) {
  // T'_I = sum over all 3^n tuples J of prod_a R(I_a, J_a) T_sorted(J); the
  // symmetric tensor has T_J = T_sorted(J).
  const auto tuples = TensorIndexTuples(n);
  const auto code = TupleCodeIndex(n);
  const int nc = static_cast<int>(tuples.size());
  int p3 = 1;
  for (int i = 0; i < n; ++i) p3 *= 3;
  std::vector<double> s(nc * nc, 0.);
  std::vector<int> j(n), sorted(n);
  for (int p = 0; p < nc; ++p) {
    const auto& ii = tuples[p];
    for (int full = 0; full < p3; ++full) {
      int f = full;
      for (int a = n - 1; a >= 0; --a) {
        j[a] = f % 3;
        f /= 3;
      }
      double prod = 1.;
      for (int a = 0; a < n && prod != 0.; ++a) prod *= rm[ii[a] * 3 + j[a]];
      if (prod == 0.) continue;
      sorted = j;
      std::sort(sorted.begin(), sorted.end());
      int c = 0;
      for (int v : sorted) c = c * 3 + v;
      s[p * nc + code[c]] += prod;
    }
  }
  CleanZeros(s);
  return s;
}

// ---------------------------------------------------------------- rows
void AveSpec(const double* s, SpecRows& rows) {
  const int n = rows.NPar;
  rows.A.reserve(rows.A.size() + n * n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) rows.A.push_back(s[i * n + j] - (i == j ? 1. : 0.));
  rows.NRow += n;
}

int ModSpecImage(const double* s, int n, const std::vector<std::array<int, 3>>& kw,
                 const SiteOp& op, int ndim, const double* x, std::vector<double>& t) {
  const int d = ndim - 3;
  const int nw = static_cast<int>(kw.size());
  const int np = 2 * n * nw;
  t.assign(np * np, 0.);
  // eps (d x d), and delta = M.x + sI: the shift of the internal coordinate.
  double eps[9] = {}, epsi[9] = {};
  double delta[3] = {};
  for (int i = 0; i < d; ++i) {
    for (int j = 0; j < d; ++j) eps[i * d + j] = op.RM6[(3 + i) * ndim + 3 + j];
    double v = op.T[3 + i];
    for (int k = 0; k < 3; ++k) v += op.RM6[(3 + i) * ndim + k] * x[k];
    delta[i] = v;
  }
  if (!InvInt(eps, d, epsi)) return 1;
  for (int w = 0; w < nw; ++w) {
    // Image wave k' = eps^-T k, phase phi = -2 pi k.eps^-1.delta.
    int kimg[3] = {0, 0, 0};
    double phase = 0.;
    for (int i = 0; i < d; ++i) {
      double v = 0.;
      for (int j = 0; j < d; ++j) v += epsi[j * d + i] * kw[w][j];
      kimg[i] = static_cast<int>(std::lround(v));
      double e = 0.;
      for (int j = 0; j < d; ++j) e += epsi[i * d + j] * delta[j];
      phase -= 2. * std::numbers::pi * kw[w][i] * e;
    }
    int jw = -1;
    double sigma = 1.;
    for (int m = 0; m < nw && jw < 0; ++m) {
      bool plus = true, minus = true;
      for (int i = 0; i < d; ++i) {
        plus = plus && kw[m][i] == kimg[i];
        minus = minus && kw[m][i] == -kimg[i];
      }
      if (plus) {
        jw = m;
      } else if (minus) {
        jw = m;
        sigma = -1.;
      }
    }
    if (jw < 0) return 1;
    const double cp = std::cos(phase), sp = std::sin(phase);
    // sin(sigma th + phi) = sigma sin th cos phi + cos th sin phi
    // cos(sigma th + phi) = cos th cos phi - sigma sin th sin phi
    const double blk[2][2] = {{sigma * cp, -sigma * sp}, {sp, cp}};
    for (int a = 0; a < 2; ++a)      // image sine (0) or cosine (1)
      for (int b = 0; b < 2; ++b) {  // source sine (0) or cosine (1)
        const double f = blk[a][b];
        if (std::fabs(f) < 1e-12) continue;
        const int r0 = 2 * n * jw + a * n, c0 = 2 * n * w + b * n;
        for (int i = 0; i < n; ++i)
          for (int j = 0; j < n; ++j) t[(r0 + i) * np + c0 + j] += f * s[i * n + j];
      }
  }
  CleanZeros(t);
  return 0;
}

int ModSpec(const double* s, int n, const std::vector<std::array<int, 3>>& kw, const SiteOp& op,
            int ndim, const double* x, SpecRows& rows) {
  std::vector<double> t;
  if (ModSpecImage(s, n, kw, op, ndim, x, t) != 0) {
    ReportError(SiteMsgText(SiteMsg::WavesNotClosed), {SiteMsgText(SiteMsg::SelectAnotherSet)});
    return 1;
  }
  AveSpec(t.data(), rows);
  return 0;
}

// ---------------------------------------------------------------- reduction
namespace {

SpecReduced Reduce(const SpecRows& rows, const std::vector<int>& order) {
  const int n = rows.NPar, m = rows.NRow;
  std::vector<double> a = rows.A;  // m x n, row-major
  auto at = [&a, n](int i, int j) -> double& { return a[i * n + j]; };
  SpecReduced red;
  red.NPar = n;
  int rank = 0;
  for (int c : order) {
    if (rank >= m) break;
    int p = rank;
    for (int i = rank + 1; i < m; ++i)
      if (std::fabs(at(i, c)) > std::fabs(at(p, c))) p = i;
    if (!(std::fabs(at(p, c)) > kTolTriangl)) continue;
    if (p != rank)
      for (int j = 0; j < n; ++j) std::swap(at(p, j), at(rank, j));
    const double piv = at(rank, c);
    for (int j = 0; j < n; ++j) at(rank, j) /= piv;
    at(rank, c) = 1.;
    // Eliminate the pivot column from every other row, so that each equation
    // holds independent parameters only.
    for (int i = 0; i < m; ++i) {
      if (i == rank || at(i, c) == 0.) continue;
      const double f = at(i, c);
      for (int j = 0; j < n; ++j) at(i, j) -= f * at(rank, j);
      at(i, c) = 0.;
    }
    red.Pivot.push_back(c);
    ++rank;
  }
  for (int i = 0; i < rank; ++i) {
    std::vector<double> row(a.begin() + i * n, a.begin() + (i + 1) * n);
    CleanZeros(row);
    red.Row.push_back(std::move(row));
  }
  return red;
}

}  // namespace

SpecReduced UprSpec(const SpecRows& rows) {
  const int n = rows.NPar;
  std::vector<long long> key(n, 0);
  for (int i = 0; i < rows.NRow; ++i)
    for (int j = 0; j < n; ++j)
      key[j] -= static_cast<long long>(kUprSpecKeyScale * std::fabs(rows.A[i * n + j]) + 0.5);
  std::vector<int> order(n);
  for (int j = 0; j < n; ++j) order[j] = n - 1 - j;
  std::stable_sort(order.begin(), order.end(), [&key](int a, int b) { return key[a] < key[b]; });
  return Reduce(rows, order);
}

SpecReduced UprSpecOrd(const SpecRows& rows) {
  std::vector<int> order(rows.NPar);
  for (int j = 0; j < rows.NPar; ++j) order[j] = rows.NPar - 1 - j;
  return Reduce(rows, order);
}

// ---------------------------------------------------------------- equations
void ReallocEquations(SpecEquations& eqs, int n) {
  const int have = static_cast<int>(eqs.Eq.size());
  if (n <= have) return;
  const int steps = (n - have + kEquationStep - 1) / kEquationStep;
  eqs.Eq.resize(have + steps * kEquationStep);
}

std::string SpecEquation::Text() const {
  std::string s = DepName + "=";
  if (Const != 0. || Coef.empty()) s += fmt::format("{:.6g}", Const);
  for (size_t i = 0; i < Coef.size(); ++i) {
    const double c = Coef[i];
    if (i > 0 || c < 0. || Const != 0.) s += c < 0. ? "-" : "+";
    if (std::fabs(std::fabs(c) - 1.) > kTolSpecEqCoef) s += fmt::format("{:.6g}*", std::fabs(c));
    s += IndName[i];
  }
  return s;
}

std::string SiteParName(int kind, int i, int adpOrder) {
  if (kind == SpCrenel) return i == 0 ? "x40" : "delta";
  if (kind == SpSaw) {
    static constexpr const char* kSaw[5] = {"uxsaw", "uysaw", "uzsaw", "x40saw", "deltasaw"};
    return kSaw[i];
  }
  if (SiteIsWave(kind)) {
    const int base = kind - SpOccWave;
    const int n = base == SpAdp && adpOrder == 1 ? 1 : [&] {
      switch (base) {
        case SpOcc:
          return 1;
        case SpPos:
        case SpMag:
          return 3;
        case SpAdp:
          return 6;
        default:
          return TensorSize(base - SpAnh3 + 3);
      }
    }();
    const int w = i / (2 * n), r = i % (2 * n);
    return SiteParName(base, r % n, adpOrder) + (r < n ? "sin" : "cos") + std::to_string(w + 1);
  }
  static constexpr const char* kPos[3] = {"x", "y", "z"};
  static constexpr const char* kAdp[6] = {"U11", "U22", "U33", "U12", "U13", "U23"};
  static constexpr const char* kMag[3] = {"M1", "M2", "M3"};
  static constexpr char kAnh[4] = {'C', 'D', 'E', 'F'};
  switch (kind) {
    case SpOcc:
      return "ai";
    case SpPos:
      return kPos[i];
    case SpAdp:
      return adpOrder == 1 ? "Uiso" : kAdp[i];
    case SpMag:
      return kMag[i];
    default: {
      const int order = kind - SpAnh3 + 3;
      std::string s(1, kAnh[order - 3]);
      const auto tuples = TensorIndexTuples(order);
      for (int v : tuples[i]) s += static_cast<char>('1' + v);
      return s;
    }
  }
}

void SpecEq(const SpecReduced& red, int kind, const SiteAtom& owner, SpecEquations& eqs) {
  auto name = [&](int i) { return SiteParName(kind, i, owner.AdpOrder) + "[" + owner.Name + "]"; };
  for (size_t r = 0; r < red.Row.size(); ++r) {
    SpecEquation e;
    e.Owner = owner.Name;
    e.Molecule = owner.Molecule;
    e.Kind = kind;
    e.Dep = red.Pivot[r];
    e.DepName = name(e.Dep);
    for (int j = 0; j < red.NPar; ++j) {
      if (j == e.Dep || !(std::fabs(red.Row[r][j]) > kTolSpecEqCoef)) continue;
      e.Coef.push_back(-red.Row[r][j]);
      e.Ind.push_back(j);
      e.IndName.push_back(name(j));
    }
    ReallocEquations(eqs, eqs.NEq + 1);
    eqs.Eq[eqs.NEq++] = std::move(e);
  }
}

void SpecEqOrd(const SpecReduced& red, int kind, const SiteAtom& owner, SpecEquations& eqs) {
  SpecEq(red, kind, owner, eqs);
}

void SpecEqM(const SpecReduced& red, int kind, const SiteAtom& owner, SpecEquations& eqs) {
  SpecEq(red, kind, owner, eqs);
}

// ---------------------------------------------------------------- atoms
std::array<int, 3> SiteWaveVector(const SiteContext& ctx, int w) {
  if (w < static_cast<int>(ctx.Kw.size())) return ctx.Kw[w];
  return {w + 1, 0, 0};
}

int SiteParCount(const SiteAtom& at, int kind) {
  if (kind == SpCrenel) return at.Crenel ? 2 : 0;
  if (kind == SpSaw) return at.Saw ? 5 : 0;
  if (SiteIsWave(kind)) {
    const int base = kind - SpOccWave;
    return 2 * SiteParCount(at, base) * at.NWave[base];
  }
  switch (kind) {
    case SpOcc:
      return 1;
    case SpPos:
      return 3;
    case SpAdp:
      return at.AdpOrder <= 1 ? 1 : 6;
    case SpMag:
      return at.Magnetic ? 3 : 0;
    default: {
      const int order = kind - SpAnh3 + 3;
      return at.AdpOrder >= order ? TensorSize(order) : 0;
    }
  }
}

namespace {

// Transformation of the parameters of base block `base` under op.
std::vector<double> BlockS(const SiteAtom& at, int base, const SiteOp& op) {
  switch (base) {
    case SpOcc:
      return {1.};
    case SpPos:
      return {op.RM.begin(), op.RM.end()};
    case SpAdp: {
      if (at.AdpOrder <= 1) return {1.};
      const auto s = srotb(op.RM);
      return {s.begin(), s.end()};
    }
    case SpMag:
      return {op.RMag.begin(), op.RMag.end()};
    default:
      return SRotC(op.RM, base - SpAnh3 + 3);
  }
}

// The rows of the position block constrain the shifts; the equations of the
// values need the constant that holds at the special position itself.
void SetPositionConstants(const double* x, SpecEquations& eqs, int first) {
  for (int e = first; e < eqs.NEq; ++e) {
    SpecEquation& eq = eqs.Eq[e];
    double c = x[eq.Dep];
    for (size_t i = 0; i < eq.Coef.size(); ++i) c -= eq.Coef[i] * x[eq.Ind[i]];
    const double r = std::round(c * kPosConstDen) / kPosConstDen;
    if (std::fabs(c - r) < kTolPosConst) c = r;  // exact fraction of a special position
    eq.Const = c == 0. ? 0. : c;
  }
}

}  // namespace

int SiteRows(const SiteAtom& at, int kind, const std::vector<SiteOp>& ops, const SiteContext& ctx,
             SpecRows& rows) {
  rows = SpecRows{};
  rows.NPar = SiteParCount(at, kind);
  if (rows.NPar == 0) return 0;
  if (kind == SpCrenel || kind == SpSaw) return 0;  // SpecialSpecEq
  const bool wave = SiteIsWave(kind);
  const int base = wave ? kind - SpOccWave : kind;
  const int ndim = ctx.Symm ? ctx.Symm->NDim : 3;
  std::vector<std::array<int, 3>> kw;
  if (wave)
    for (int w = 0; w < at.NWave[base]; ++w) kw.push_back(SiteWaveVector(ctx, w));
  if (kind == SpOcc) return 0;  // the occupancy is invariant under every operator
  // Occupancy, position and ADP waves of one modulation vector may use an
  // orthogonal set on an interval instead of harmonics.
  const bool ortho =
      wave && ndim >= 4 && at.FunType > 0 && (base == SpOcc || base == SpPos || base == SpAdp);
  const double centre = ortho ? OrthoCentre(at, ops, ndim) : 0.;
  // An atom restricted to a crenel or sawtooth interval is constrained only
  // by the operators that carry the interval onto itself.
  const bool interval = wave && ndim >= 4 && (at.Crenel || at.Saw);
  const double icentre =
      interval ? SiteIntervalCentreOf(at.Crenel ? at.CrenelX40 : at.SawX40, at, ops, ndim) : 0.;
  // Operators with the same action on this block give the same rows.
  constexpr int kSigMax = 9 + 1 + kMaxNDim * kMaxNDim + 3;
  using Sig = std::array<double, kSigMax>;
  std::vector<Sig> seen;
  seen.reserve(ops.size());
  for (const SiteOp& op : ops) {
    if (interval && !SiteOpKeepsInterval(at, op, ndim, icentre)) continue;
    Sig sig{};
    int len = 0;
    for (double v : op.RM) sig[len++] = v;
    if (base == SpMag) sig[len++] = op.ZMag;
    if (wave) {
      for (int i = 0; i < ndim * ndim; ++i) sig[len++] = op.RM6[i];
      for (int i = 3; i < ndim; ++i) {
        double v = op.T[i];
        for (int k = 0; k < 3; ++k) v += op.RM6[i * ndim + k] * at.X[k];
        sig[len++] = v - std::floor(v + kTolOd0do1);
      }
    }
    bool dup = false;
    for (const auto& sv : seen)
      if (eqrv(sv.data(), sig.data(), len, kTolOd0do1)) {
        dup = true;
        break;
      }
    if (dup) continue;
    seen.push_back(sig);
    const std::vector<double> s = BlockS(at, base, op);
    if (wave) {
      const int n = static_cast<int>(std::lround(std::sqrt(static_cast<double>(s.size()))));
      if (ortho) {
        // An operator that does not carry the interval onto itself gives no rows.
        (void)OrthoSpec(s.data(), n, at.NWave[base], at, op, ndim, centre, rows);
        continue;
      }
      if (ModSpec(s.data(), n, kw, op, ndim, at.X.data(), rows) != 0) return 1;
    } else {
      AveSpec(s.data(), rows);
    }
  }
  return 0;
}

int AtSpec(const std::vector<SiteAtom>& atoms, const SiteContext& ctx, SpecEquations& eqs) {
  if (ctx.Symm == nullptr) return 0;
  std::vector<SiteOp> ops, uniq;
  for (const SiteAtom& at : atoms) {
    double x[kMaxNDim] = {at.X[0], at.X[1], at.X[2], 0., 0., 0.};
    const double* w = at.Sub >= 0 && at.Sub < static_cast<int>(ctx.WSub.size())
                          ? ctx.WSub[at.Sub].data()
                          : nullptr;
    SpecPos(x, false, *ctx.Symm, ctx.Metric.data(), w, ctx.Tol, &ops);
    if (ops.size() <= 1) continue;  // general position: nothing to constrain
    SiteAtom onSite = at;
    for (int i = 0; i < 3; ++i) onSite.X[i] = x[i];
    if (SpecialAxisCheck(onSite, ops, ctx.Symm->NDim) != 0) return 1;
    // Blocks without waves depend only on the rotation and time inversion.
    uniq.clear();
    for (const SiteOp& op : ops) {
      bool dup = false;
      for (const SiteOp& u : uniq)
        if (u.ZMag == op.ZMag && eqrv(u.RM.data(), op.RM.data(), 9, kTolOd0do1)) {
          dup = true;
          break;
        }
      if (!dup) uniq.push_back(op);
    }
    for (int kind = 0; kind < NSitePar; ++kind) {
      SpecRows rows;
      if (kind == SpCrenel || kind == SpSaw) {
        SpecialSpecEq(onSite, kind, ops, ctx, eqs);
        continue;
      }
      if (SiteRows(onSite, kind, SiteIsWave(kind) ? ops : uniq, ctx, rows) != 0) return 1;
      if (rows.NRow == 0) continue;
      const int base = SiteIsWave(kind) ? kind - SpOccWave : kind;
      if (base == SpMag) {
        SpecEqM(UprSpecOrd(rows), kind, at, eqs);
      } else if (base >= SpAnh3 && base <= SpAnh6) {
        SpecEqOrd(UprSpecOrd(rows), kind, at, eqs);
      } else {
        const int first = eqs.NEq;
        SpecEq(UprSpec(rows), kind, at, eqs);
        if (kind == SpPos) SetPositionConstants(onSite.X.data(), eqs, first);
      }
    }
  }
  return 0;
}

}  // namespace tarn
