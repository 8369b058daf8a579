// Peak search of a Fourier map (see foupeaks.hpp).
#include "fourier/foupeaks.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <unordered_map>

#include "model/session.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"
#include "util/real_text.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

bool IsHydrogen(const std::string& type) {
  return EqIgnoreCase(type, "H") || EqIgnoreCase(type, "D");
}

// Squared length in A^2 of a fractional difference vector.
double Len2(const PhaseBasic& ph, const double* d) {
  double s = 0.;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s += d[i] * ph.MetTens[3 * i + j] * d[j];
  return s;
}

// exact integral over a sphere of radius r of exp(-2 pi i h.x): 4/3 pi r^3 * 3 (sin u - u cos
// u)/u^3, u = 2 pi |h*| r.
double SphereFactor(double hstar, double r) {
  const double v = 4. / 3. * kPi * r * r * r, u = kTwoPi * hstar * r;
  if (u < 1e-6) return v;
  return v * 3. * (std::sin(u) - u * std::cos(u)) / (u * u * u);
}

}  // namespace

void FouDefaultPeaks(const Structure& st, int phase, int mapType, FouSettings& s) {
  const PhaseBasic& ph = st.Basic.Phase[static_cast<size_t>(phase - 1)];
  int pos = s.I(FkPositive), neg = s.I(FkNegative);
  if (pos == FouUnset) {
    if (mapType <= MapPattersonDiff || mapType == MapShape) {
      pos = 50;
    } else {
      const double nsym = std::max(ph.Symmetry.NSymm, 1) * std::max(ph.Symmetry.NLattVec, 1);
      double heavy = 0., hydro = 0.;
      for (size_t t = 0; t < ph.AtType.size(); ++t) {
        const double c = ph.AtTypeData[t].Formula.value_or(0.) * ph.UnitsNumb / nsym;
        (IsHydrogen(ph.AtType[t]) ? hydro : heavy) += c;
      }
      const int eHeavy = static_cast<int>(std::lround(heavy)),
                eH = static_cast<int>(std::lround(hydro));
      int nHeavy = 0, nH = 0;
      for (const auto& a : st.Model.Atom) {
        if (a.Phase != phase) continue;
        const bool h = a.Type >= 1 && a.Type <= static_cast<int>(ph.AtType.size()) &&
                       IsHydrogen(ph.AtType[static_cast<size_t>(a.Type - 1)]);
        ++(h ? nH : nHeavy);
      }
      pos = mapType == MapFobs || mapType == MapFcalc
                ? eHeavy + 10
                : std::max(10, (eHeavy - nHeavy) + (eH - nH) + 10);
    }
  }
  if (neg == FouUnset) {
    const int block = std::max(Sess.KDatBlock, 1);
    const int rad = block <= static_cast<int>(st.Basic.DatBlock.size())
                        ? st.Basic.DatBlock[static_cast<size_t>(block - 1)].Radiation
                        : 1;
    neg = rad == 1 ? 10 : pos;
  }
  s.Table.SetInt(FkPositive, std::min(pos, FouMaxPeaks));
  s.Table.SetInt(FkNegative, std::min(neg, FouMaxPeaks));
}

void vrchol(double x0, double h, double ym, double y0, double yp, double& x, double& y) {
  const double d = 2. * y0 - yp - ym;
  const double delta = d != 0. ? 0.5 * (yp - ym) / d : 0.;
  x = x0 + delta * h;
  y = y0 + delta * 0.25 * (yp - ym);
}

void FouInclude(std::vector<FouPeak>& list, int nmax, const FouPeak& p) {
  if (nmax <= 0) return;
  auto at =
      std::find_if(list.begin(), list.end(), [&](const FouPeak& q) { return p.Height > q.Height; });
  if (static_cast<int>(list.size()) >= nmax) {
    if (at == list.end()) return;
    list.pop_back();
  }
  list.insert(at, p);
}

double FouSymmDist(const PhaseBasic& ph, const std::array<double, 3>& a,
                   const std::array<double, 3>& b, int* op, int* centr, std::array<int, 3>* trans) {
  const PhaseSymmetry& ps = ph.Symmetry;
  double best = std::numeric_limits<double>::max();
  const int nc = std::max(ps.NLattVec, 1), ns = std::max(ps.NSymm, 1);
  for (int s = 0; s < ns; ++s)
    for (int c = 0; c < nc; ++c) {
      double y[3];
      for (int i = 0; i < 3; ++i) {
        y[i] = 0.;
        if (s < ps.NSymm) {
          const SymmOp& o = ps.Op[static_cast<size_t>(s)];
          y[i] = o.S6[i];
          for (int j = 0; j < 3; ++j) y[i] += o.RM6[i * ps.NDim + j] * b[j];
        } else {
          y[i] = b[i];
        }
        if (c < ps.NLattVec) y[i] += ps.VT6[static_cast<size_t>(c)][i];
      }
      // The nearest lattice translation, then its neighbours.
      int t0[3];
      for (int i = 0; i < 3; ++i) t0[i] = static_cast<int>(std::lround(a[i] - y[i]));
      for (int i0 = -1; i0 <= 1; ++i0)
        for (int i1 = -1; i1 <= 1; ++i1)
          for (int i2 = -1; i2 <= 1; ++i2) {
            const int t[3] = {t0[0] + i0, t0[1] + i1, t0[2] + i2};
            double d[3];
            for (int i = 0; i < 3; ++i) d[i] = a[i] - y[i] - t[i];
            const double l = Len2(ph, d);
            if (l < best) {
              best = l;
              if (op) *op = s;
              if (centr) *centr = c;
              if (trans) *trans = {t[0], t[1], t[2]};
            }
          }
    }
  return std::sqrt(best);
}

bool KoincSimple(const PhaseBasic& ph, const std::array<double, 3>& a,
                 const std::array<double, 3>& b) {
  return FouSymmDist(ph, a, b) < FouKoincTol;
}

double FouGetTbl(const FouMap& map, const std::vector<FouCoef>& coef, int i, int j, int k) {
  const FouGrid& g = map.Grid;
  int id[3] = {i, j, k};
  bool inside = true;
  for (int m = 0; m < 3; ++m) {
    if (g.N[m] > 2 && std::abs(g.N[m] * g.Dx[m] - 1.) < 1e-6)
      id[m] = ((id[m] % g.N[m]) + g.N[m]) % g.N[m];
    inside = inside && id[m] >= 0 && id[m] < g.N[m];
  }
  if (inside) return map.At(id[0], id[1], id[2]);
  const double x[3] = {g.X(0, id[0]), g.X(1, id[1]), g.X(2, id[2])};
  return FouExMap(coef, 3, x);
}

int FouFindPeaks(const FouMap& map, const std::vector<FouCoef>& coef, const PhaseBasic& ph,
                 bool minima, int nmax, double intrad, std::vector<FouPeak>& out,
                 const FouCancelFn& cancel) {
  out.clear();
  const FouGrid& g = map.Grid;
  const int n0 = g.N[0], n1 = g.N[1], n2 = g.N[2];
  const double sign = minima ? -1. : 1.;
  std::array<bool, 3> periodic{};
  for (int m = 0; m < 3; ++m) periodic[m] = g.N[m] > 2 && std::abs(g.N[m] * g.Dx[m] - 1.) < 1e-6;
  auto wrap = [](int i, int n) { return ((i % n) + n) % n; };
  // FouGetTbl, with the points beyond a bounded axis (one step at most)
  // summed once each.
  std::unordered_map<long long, double> outside;
  auto val = [&](int i, int j, int k) {
    if (periodic[0]) i = wrap(i, n0);
    if (periodic[1]) j = wrap(j, n1);
    if (periodic[2]) k = wrap(k, n2);
    if (i < 0 || i >= n0 || j < 0 || j >= n1 || k < 0 || k >= n2) {
      const long long key = ((k + 2LL) * (n1 + 4) + (j + 2)) * (n0 + 4) + (i + 2);
      auto it = outside.find(key);
      if (it == outside.end()) it = outside.emplace(key, FouGetTbl(map, coef, i, j, k)).first;
      return sign * it->second;
    }
    return sign * static_cast<double>(map.At(i, j, k));
  };
  // Pairs of neighbour offsets: ">=" for the one before, ">" for the one after
  // (so that of equal values the last in index order is the candidate).
  // The points beyond a bounded box are costly (a sum over the coefficients):
  // the stored neighbours are tested first (pass 0), those beyond after (pass 1).
  auto stored = [&](int i, int j, int k) {
    return (periodic[0] || (i >= 0 && i < n0)) && (periodic[1] || (j >= 0 && j < n1)) &&
           (periodic[2] || (k >= 0 && k < n2));
  };
  auto test = [&](int i, int j, int k, double c) {
    for (int pass = 0; pass < 2; ++pass) {
      // One neighbour: ">=" (before) or ">" (after).
      auto fails = [&](const int* d, bool after) {
        const int a = i + d[0], b = j + d[1], e = k + d[2];
        if (stored(a, b, e) == (pass == 1)) return false;
        const double v = val(a, b, e);
        return after ? !(c > v) : !(c >= v);
      };
      static constexpr int kAx[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
      for (int a = 0; a < 3; ++a) {
        if (a == 2 && n2 < 3) break;
        const int m[3] = {-kAx[a][0], -kAx[a][1], -kAx[a][2]};
        if (fails(m, false) || fails(kAx[a], true)) return false;
      }
      // Diagonals of the planes (1,2), (1,3), (2,3): ">" when the second axis steps forward.
      static constexpr int kPl[3][2] = {{0, 1}, {0, 2}, {1, 2}};
      for (int p = 0; p < 3; ++p) {
        if (kPl[p][1] == 2 && n2 < 3) break;
        for (int s1 = -1; s1 <= 1; s1 += 2)
          for (int s2 = -1; s2 <= 1; s2 += 2) {
            int d[3] = {0, 0, 0};
            d[kPl[p][0]] = s1;
            d[kPl[p][1]] = s2;
            if (fails(d, s2 > 0)) return false;
          }
      }
    }
    return true;
  };
  // Bounded axes search their border points too when the coefficients can
  // give the values beyond them; without coefficients only the inner points.
  auto range = [&](int m, int n) {
    return periodic[m] || !coef.empty() ? std::pair<int, int>{0, n - 1}
                                        : std::pair<int, int>{1, n - 2};
  };
  const auto [i0, i1] = range(0, n0);
  const auto [j0, j1] = range(1, n1);
  const auto [k0, k1] = n2 < 3 ? std::pair<int, int>{0, n2 - 1} : range(2, n2);
  // Inner points test their 8 (2-d) or 18 neighbours by offsets in the
  // stored map; the faces of the box go through the wrapping val(). Both
  // apply the same rules in the same order.
  const long long s1 = n0, s2 = static_cast<long long>(n0) * n1;
  const bool flat = n2 < 3;
  const float* rho = map.Rho.data();
  // Offsets of the "before" (>=) and "after" (>) neighbours.
  std::vector<long long> before, after;
  {
    auto off = [&](int a, int b, int c) { return a + b * s1 + c * s2; };
    before = {off(-1, 0, 0), off(0, -1, 0), off(-1, -1, 0), off(1, -1, 0)};
    after = {off(1, 0, 0), off(0, 1, 0), off(-1, 1, 0), off(1, 1, 0)};
    if (!flat) {
      for (const long long o : {off(0, 0, -1), off(-1, 0, -1), off(1, 0, -1), off(0, -1, -1),
                                off(0, 1, -1)})
        before.push_back(o);
      for (const long long o :
           {off(0, 0, 1), off(-1, 0, 1), off(1, 0, 1), off(0, -1, 1), off(0, 1, 1)})
        after.push_back(o);
    }
  }
  auto innerTest = [&](const float* p, float c) {
    for (const long long o : after)
      if (!(c > static_cast<float>(sign) * p[o])) return false;
    for (const long long o : before)
      if (!(c >= static_cast<float>(sign) * p[o])) return false;
    return true;
  };
  // Once the list is full, a point not above its weakest peak is dropped at
  // once: thr is the largest float not above that peak's height.
  float thr = -std::numeric_limits<float>::infinity();
  auto setThreshold = [&] {
    if (static_cast<int>(out.size()) < nmax) return;
    const double hw = out.back().Height;
    thr = static_cast<float>(hw);
    if (static_cast<double>(thr) > hw) thr = std::nextafter(thr, -std::numeric_limits<float>::infinity());
  };
  const float fsign = static_cast<float>(sign);
  for (int k = k0; k <= k1; ++k) {
    if (cancel && cancel()) return 1;
    const bool kInner = flat || (k > 0 && k < n2 - 1);
    for (int j = j0; j <= j1; ++j) {
      const bool jkInner = kInner && j > 0 && j < n1 - 1;
      const float* line = rho + k * s2 + j * s1;
      for (int i = i0; i <= i1; ++i) {
        const float cf = fsign * line[i];
        if (!(cf > thr)) continue;
        // Early rejection by the neighbour after along axis 1.
        if (i + 1 < n0 && !(cf > fsign * line[i + 1])) continue;
        const double c = cf;
        if (static_cast<int>(out.size()) >= nmax && c <= out.back().Height) continue;
        if (jkInner && i > 0 && i < n0 - 1 ? !innerTest(line + i, cf) : !test(i, j, k, c))
          continue;
        // Parabolic refinement along each axis.
        const int idx[3] = {i, j, k};
        double pos[3], h = c;
        for (int m = 0; m < 3; ++m) {
          if (m == 2 && n2 < 3) {
            pos[m] = g.X(m, idx[m]);
            continue;
          }
          int dm[3] = {0, 0, 0};
          dm[m] = 1;
          const double ym = val(i - dm[0], j - dm[1], k - dm[2]),
                       yp = val(i + dm[0], j + dm[1], k + dm[2]);
          double x, y;
          vrchol(g.X(m, idx[m]), g.Dx[m], ym, c, yp, x, y);
          pos[m] = x;
          h += y - c;
        }
        // Accepted within the box widened by a margin along bounded axes.
        bool inBox = true;
        for (int m = 0; m < 3 && inBox; ++m)
          inBox = periodic[m] || (pos[m] >= g.XMin[m] - FouPeakMargin * g.Dx[m] &&
                                  pos[m] <= g.X(m, g.N[m] - 1) + FouPeakMargin * g.Dx[m]);
        if (!inBox) continue;
        // Held with Height = strength (density, or minus density for minima).
        FouPeak p;
        for (int m = 0; m < 3; ++m) p.X[static_cast<size_t>(g.Order[m] - 1)] = pos[m];
        p.Height = h;
        // A duplicate under symmetry of a held peak: the stronger stays.
        bool skip = false;
        for (size_t q = 0; q < out.size(); ++q)
          if (KoincSimple(ph, out[q].X, p.X)) {
            if (out[q].Height >= p.Height)
              skip = true;
            else
              out.erase(out.begin() + static_cast<long>(q));
            break;
          }
        if (!skip) {
          FouInclude(out, nmax, p);
          setThreshold();
        }
      }
    }
  }
  for (auto& p : out) p.Height *= sign;
  // Charges: the integral of rho over a sphere around each peak, from the
  // coefficients (exact for the map's resolution); the sphere's transform
  // per coefficient once, then one phase per peak and coefficient.
  if (out.empty()) return 0;
  // exp(2 pi i h.x) = e1(h1) e2(h2) e3(h3): per peak one table per axis.
  struct Term {
    int H[3];
    double Re, Im;
  };
  std::vector<Term> terms;
  terms.reserve(coef.size());
  int hlo[3] = {0, 0, 0}, hhi[3] = {0, 0, 0};
  for (const auto& c : coef) {
    Term t{{0, 0, 0}, 0., 0.};
    for (int m = 0; m < 3; ++m) t.H[g.Order[m] - 1] = c.H[m];
    double s2 = 0.;
    for (int a = 0; a < 3; ++a) {
      hlo[a] = std::min(hlo[a], t.H[a]);
      hhi[a] = std::max(hhi[a], t.H[a]);
      for (int b = 0; b < 3; ++b) s2 += t.H[a] * ph.MetTensI[3 * a + b] * t.H[b];
    }
    const double f = SphereFactor(std::sqrt(s2), intrad);
    t.Re = f * c.Re;
    t.Im = f * c.Im;
    terms.push_back(t);
  }
  std::array<std::vector<std::complex<double>>, 3> e;
  for (auto& p : out) {
    for (int a = 0; a < 3; ++a) {
      e[a].resize(static_cast<size_t>(hhi[a] - hlo[a] + 1));
      for (int h = hlo[a]; h <= hhi[a]; ++h) {
        double t = h * p.X[static_cast<size_t>(a)];
        t -= std::floor(t);
        e[a][static_cast<size_t>(h - hlo[a])] = std::polar(1., kTwoPi * t);
      }
    }
    // Re cos + Im sin = Re[(Re - i Im) exp(i arg)].
    double q = 0.;
    for (const auto& t : terms) {
      const auto& a = e[0][static_cast<size_t>(t.H[0] - hlo[0])];
      const auto& b = e[1][static_cast<size_t>(t.H[1] - hlo[1])];
      const auto& c = e[2][static_cast<size_t>(t.H[2] - hlo[2])];
      const double ur = a.real() * b.real() - a.imag() * b.imag(),
                   ui = a.real() * b.imag() + a.imag() * b.real();
      q += t.Re * (ur * c.real() - ui * c.imag()) + t.Im * (ur * c.imag() + ui * c.real());
    }
    p.Charge = q;
  }
  return 0;
}

FouMap FouMeanMap(const FouMap& map) {
  const FouGrid& g = map.Grid;
  FouMap m;
  m.MapType = map.MapType;
  m.Code = map.Code;
  m.Grid = g;
  m.Grid.NDim = 3;
  for (int i = 3; i < 6; ++i) {
    m.Grid.N[i] = 1;
    m.Grid.XMin[i] = m.Grid.XMax[i] = 0.;
    m.Grid.Dx[i] = 1.;
    m.Grid.Order[i] = i + 1;
  }
  const long long n3 = g.PerSection() * g.N[2];
  std::vector<double> sum(static_cast<size_t>(n3), 0.);
  // Points of an internal axis within one period from its start (a grid that
  // runs from 0 to 1 holds the first point twice).
  auto inPeriod = [&](int i, int k) { return k * g.Dx[i] < 1. - 1e-6; };
  long long used = 0;
  for (int k5 = 0; k5 < g.N[5]; ++k5)
    for (int k4 = 0; k4 < g.N[4]; ++k4)
      for (int k3 = 0; k3 < g.N[3]; ++k3) {
        if (!inPeriod(3, k3) || !inPeriod(4, k4) || !inPeriod(5, k5)) continue;
        const long long outer = (static_cast<long long>(k5) * g.N[4] + k4) * g.N[3] + k3;
        const float* r = map.Rho.data() + outer * n3;
        for (long long p = 0; p < n3; ++p) sum[static_cast<size_t>(p)] += r[p];
        ++used;
      }
  m.Rho.resize(static_cast<size_t>(n3));
  for (long long p = 0; p < n3; ++p)
    m.Rho[static_cast<size_t>(p)] =
        static_cast<float>(sum[static_cast<size_t>(p)] / static_cast<double>(std::max(used, 1LL)));
  FouMapStats(m);
  return m;
}

int FouPeakWaves(const FouMap& map, const PhaseBasic& ph, int harmonic, double dmax, FouPeak& p) {
  const FouGrid& g = map.Grid;
  if (g.NDim != 4 || harmonic < 1 || ph.Qi.empty()) return 1;
  const int n[3] = {g.N[0], g.N[1], g.N[2]};
  std::array<bool, 3> periodic{};
  for (int m = 0; m < 3; ++m) periodic[m] = n[m] > 2 && std::abs(n[m] * g.Dx[m] - 1.) < 1e-6;
  const Vec3& q = ph.Qi[0];
  std::array<double, 3> x0{};  // map axis order
  for (int m = 0; m < 3; ++m) x0[m] = p.X[static_cast<size_t>(g.Order[m] - 1)];
  std::vector<double> x4s;
  std::vector<std::array<double, 3>> disp;  // cell axis order
  std::array<double, 3> from = x0;
  for (int k4 = 0; k4 < g.N[3]; ++k4) {
    if (k4 * g.Dx[3] >= 1. - 1e-6) break;
    const long long base = static_cast<long long>(k4) * n[2];
    // Map value at grid indices of the section; NaN outside a bounded axis.
    auto val = [&](const int* id) {
      int w[3];
      for (int m = 0; m < 3; ++m) {
        w[m] = periodic[m] ? ((id[m] % n[m]) + n[m]) % n[m] : id[m];
        if (w[m] < 0 || w[m] >= n[m]) return std::numeric_limits<double>::quiet_NaN();
      }
      return static_cast<double>(map.At(w[0], w[1], base + w[2]));
    };
    // Climb from the grid point nearest the last position to the local maximum.
    int id[3];
    for (int m = 0; m < 3; ++m)
      id[m] = static_cast<int>(std::lround((from[m] - g.XMin[m]) / g.Dx[m]));
    double best = val(id);
    if (std::isnan(best)) continue;
    for (int step = 0; step < 64; ++step) {
      int next[3] = {id[0], id[1], id[2]};
      for (int d0 = -1; d0 <= 1; ++d0)
        for (int d1 = -1; d1 <= 1; ++d1)
          for (int d2 = -1; d2 <= 1; ++d2) {
            const int t[3] = {id[0] + d0, id[1] + d1, id[2] + d2};
            const double v = val(t);
            if (v > best) {
              best = v;
              next[0] = t[0], next[1] = t[1], next[2] = t[2];
            }
          }
      if (next[0] == id[0] && next[1] == id[1] && next[2] == id[2]) break;
      id[0] = next[0], id[1] = next[1], id[2] = next[2];
    }
    std::array<double, 3> pos{}, dc{};
    bool ok = true;
    for (int m = 0; m < 3 && ok; ++m) {
      int lo[3] = {id[0], id[1], id[2]}, hi[3] = {id[0], id[1], id[2]};
      --lo[m];
      ++hi[m];
      const double ym = val(lo), yp = val(hi);
      if (std::isnan(ym) || std::isnan(yp)) {
        ok = false;  // the maximum lies on the border of the box
        break;
      }
      double y;
      vrchol(g.XMin[m] + id[m] * g.Dx[m], g.Dx[m], ym, best, yp, pos[m], y);
      double d = pos[m] - x0[m];
      if (periodic[m]) d -= std::round(d);
      dc[static_cast<size_t>(g.Order[m] - 1)] = d;
    }
    if (!ok || std::sqrt(Len2(ph, dc.data())) > dmax) continue;
    from = pos;
    x4s.push_back(g.X(3, k4));
    disp.push_back(dc);
  }
  const int nu = 2 * harmonic + 1, np = static_cast<int>(disp.size());
  if (np < nu) return 1;
  // Least squares of d(t) = c + sum_n S_n sin(2 pi n t) + C_n cos(2 pi n t),
  // t = x4 - q.(d - c); twice, the second time with the mean position c of the first.
  Eigen::MatrixXd a(np, nu), b(np, 3), sol = Eigen::MatrixXd::Zero(nu, 3);
  for (int it = 0; it < 2; ++it) {
    for (int k = 0; k < np; ++k) {
      double qu = 0.;
      for (int i = 0; i < 3; ++i) qu += q[static_cast<size_t>(i)] * (disp[k][i] - sol(0, i));
      const double t = x4s[static_cast<size_t>(k)] - qu;
      a(k, 0) = 1.;
      for (int h = 1; h <= harmonic; ++h) {
        a(k, 2 * h - 1) = std::sin(kTwoPi * h * t);
        a(k, 2 * h) = std::cos(kTwoPi * h * t);
      }
      for (int i = 0; i < 3; ++i) b(k, i) = disp[static_cast<size_t>(k)][static_cast<size_t>(i)];
    }
    sol = a.colPivHouseholderQr().solve(b);
  }
  for (int i = 0; i < 3; ++i) p.X[static_cast<size_t>(i)] += sol(0, i);
  p.Wave.assign(static_cast<size_t>(6 * harmonic), 0.);
  for (int h = 1; h <= harmonic; ++h)
    for (int i = 0; i < 3; ++i) {
      p.Wave[static_cast<size_t>(6 * (h - 1) + i)] = sol(2 * h - 1, i);
      p.Wave[static_cast<size_t>(6 * (h - 1) + 3 + i)] = sol(2 * h, i);
    }
  return 0;
}

void foupeakintprolog(const FouMap& map, const PhaseBasic& ph, double rmax, FouIntShape& s) {
  const FouGrid& g = map.Grid;
  s = FouIntShape{};
  s.CellVol = ph.CellVol * g.Dx[0] * g.Dx[1] * g.Dx[2];
  for (int m = 0; m < 3; ++m) {
    const int c = g.Order[m] - 1;
    s.Reach[m] = std::max(1, static_cast<int>(std::ceil(rmax / (ph.Cell[c] * g.Dx[m]))));
  }
  for (int k = -s.Reach[2]; k <= s.Reach[2]; ++k)
    for (int j = -s.Reach[1]; j <= s.Reach[1]; ++j)
      for (int i = -s.Reach[0]; i <= s.Reach[0]; ++i) {
        const int o[3] = {i, j, k};
        double d[3];
        for (int m = 0; m < 3; ++m) d[g.Order[m] - 1] = o[m] * g.Dx[m];
        if (Len2(ph, d) <= rmax * rmax) s.Off.push_back({i, j, k});
      }
}

double foupeakintmake(const FouMap& map, const FouIntShape& s, const FouPeak& p) {
  const FouGrid& g = map.Grid;
  const double sign = p.Height < 0. ? -1. : 1.;
  std::array<bool, 3> periodic{};
  int c0[3];
  for (int m = 0; m < 3; ++m) {
    periodic[m] = g.N[m] > 2 && std::abs(g.N[m] * g.Dx[m] - 1.) < 1e-6;
    c0[m] = static_cast<int>(
        std::lround((p.X[static_cast<size_t>(g.Order[m] - 1)] - g.XMin[m]) / g.Dx[m]));
  }
  // Offsets within the box of the radius; per offset the peak its steepest
  // ascent ends on: -1 not known yet, 1 this peak, 0 another one.
  const int w[3] = {2 * s.Reach[0] + 1, 2 * s.Reach[1] + 1, 2 * s.Reach[2] + 1};
  auto cell = [&](const int* o) {
    return static_cast<size_t>(((o[2] + s.Reach[2]) * w[1] + o[1] + s.Reach[1]) * w[0] + o[0] +
                               s.Reach[0]);
  };
  auto inBox = [&](const int* o) {
    for (int m = 0; m < 3; ++m)
      if (std::abs(o[m]) > s.Reach[m]) return false;
    return true;
  };
  auto val = [&](const int* o, double& v) {
    int id[3];
    for (int m = 0; m < 3; ++m) {
      id[m] = c0[m] + o[m];
      if (periodic[m]) id[m] = ((id[m] % g.N[m]) + g.N[m]) % g.N[m];
      if (id[m] < 0 || id[m] >= g.N[m]) return false;
    }
    v = sign * static_cast<double>(map.At(id[0], id[1], id[2]));
    return true;
  };
  // The neighbour (of 26) with the largest value above v; false at a maximum.
  auto ascend = [&](std::array<int, 3>& o, double& v) {
    std::array<int, 3> best = o;
    for (int d0 = -1; d0 <= 1; ++d0)
      for (int d1 = -1; d1 <= 1; ++d1)
        for (int d2 = -1; d2 <= 1; ++d2) {
          const int n[3] = {o[0] + d0, o[1] + d1, o[2] + d2};
          double u = 0.;
          if (val(n, u) && u > v) {
            v = u;
            best = {n[0], n[1], n[2]};
          }
        }
    if (best == o) return false;
    o = best;
    return true;
  };
  std::array<int, 3> top{0, 0, 0};
  double vt = 0.;
  if (!val(top.data(), vt)) return 0.;
  while (ascend(top, vt) && inBox(top.data())) {
  }
  std::vector<signed char> label(static_cast<size_t>(w[0]) * w[1] * w[2], -1);
  std::vector<std::array<int, 3>> path;
  double q = 0.;
  for (const auto& o : s.Off) {
    double v0 = 0.;
    if (!val(o.data(), v0) || v0 <= 0.) continue;
    std::array<int, 3> cur = o;
    double v = v0;
    signed char result = 0;
    path.clear();
    for (;;) {
      if (!inBox(cur.data())) break;
      const signed char l = label[cell(cur.data())];
      if (l >= 0) {
        result = l;
        break;
      }
      path.push_back(cur);
      if (!ascend(cur, v)) {
        result = cur == top ? 1 : 0;
        break;
      }
    }
    for (const auto& c : path) label[cell(c.data())] = result;
    if (result == 1) q += v0;
  }
  return sign * q * s.CellVol;
}

void DistForOneAtom(const Structure& st, int phase, const FouPart& part, FouPeak& p) {
  const PhaseBasic& ph = part.Phase;
  p.Dist = -1.;
  p.Atom.clear();
  for (const auto& a : st.Model.Atom) {
    if (a.Phase != phase || a.Part != part.Part) continue;
    const std::array<double, 3> x = {a.Par.Val[1], a.Par.Val[2], a.Par.Val[3]};
    int op = 0, c = 0;
    std::array<int, 3> t{};
    const double d = FouSymmDist(ph, p.X, x, &op, &c, &t);
    if (p.Dist >= 0. && d >= p.Dist) continue;
    p.Dist = d;
    p.Atom = a.Name;
    if (op != 0 || c != 0 || t != std::array<int, 3>{}) {
      p.Atom += fmt::format("#s{}", op + 1);
      if (c != 0) p.Atom += fmt::format("c{}", c + 1);
      if (t != std::array<int, 3>{}) p.Atom += fmt::format("t{},{},{}", t[0], t[1], t[2]);
    }
  }
}

int FouPeaks(Structure& st, const std::string& fln, int phase, FouRunResult& run) {
  const FouMap& full = run.Map;
  const int type = full.MapType;
  for (int m = 0; m < 3; ++m)
    if (full.Grid.Order[m] > 3) {
      run.Listing.push_back("The first three map axes must be x, y, z for the peak search.");
      return 1;
    }
  int npos = run.Set.I(FkPositive), nneg = run.Set.I(FkNegative);
  if (type == MapMultDyn || type == MapMultStat || type == MapShape) {
    npos = 10000;
    nneg = 0;
  }
  // A superspace map is searched in its mean over the internal axes (the
  // average structure; its coefficients are those without satellite indices),
  // and the strings of the maxima are then followed through the sections.
  const bool super = full.Grid.NDim > 3;
  FouMap mean;
  std::vector<FouCoef> meanCoef;
  if (super) {
    mean = FouMeanMap(full);
    for (const auto& c : run.Coef)
      if (c.H[3] == 0 && c.H[4] == 0 && c.H[5] == 0) meanCoef.push_back(c);
  }
  const FouMap& map = super ? mean : full;
  const std::vector<FouCoef>& coef = super ? meanCoef : run.Coef;
  const PhaseBasic& ph = run.Part.Phase;  // the composite part's cell and symmetry
  FouPeakLists lists;
  Report().ProgressBegin("Peak searching procedure");
  bool cancelled = false;
  auto cancel = [&] {
    const ReportPoll p = Report().ProgressPoll();
    cancelled = p.Request == ReportRequest::Cancel;
    return cancelled;
  };
  int rc = FouFindPeaks(map, coef, ph, false, npos, run.Set.R(FkIntRad), lists.Max, cancel);
  if (rc == 0 && nneg > 0)
    rc = FouFindPeaks(map, coef, ph, true, nneg, run.Set.R(FkIntRad), lists.Min, cancel);
  Report().ProgressEnd();
  if (rc) {
    run.Listing.push_back("The peak search was cancelled.");
    return 0;
  }
  if (run.Set.I(FkIntMethod) == 2) {
    FouIntShape shape;
    foupeakintprolog(map, ph, run.Set.R(FkIntRad), shape);
    for (auto* v : {&lists.Max, &lists.Min})
      for (auto& p : *v) p.Charge = foupeakintmake(map, shape, p);
  }
  const bool patterson = type <= MapPattersonDiff || type == MapShape;
  if (super) {
    run.Listing.push_back("");
    run.Listing.push_back("The peaks were searched in the mean of the map over its internal axes.");
    if (full.Grid.NDim == 4 && !patterson && run.Set.I(FkHarmonic) >= 1) {
      int done = 0;
      for (auto& p : lists.Max)
        done += FouPeakWaves(full, ph, run.Set.I(FkHarmonic), run.Set.R(FkDMax), p) == 0;
      run.Listing.push_back(fmt::format(
          "Displacement waves ({} harmonics, at most {} A) interpreted for {} of {} maxima.",
          run.Set.I(FkHarmonic), ShortestReal(run.Set.R(FkDMax)), done, lists.Max.size()));
    }
  }
  auto list = [&](std::vector<FouPeak>& v, std::string_view head, const char* prefix) {
    run.Listing.push_back("");
    run.Listing.push_back(std::string(head));
    run.Listing.push_back(
        "label          x         y         z    height    charge  nearest atom       distance");
    for (size_t k = 0; k < v.size(); ++k) {
      FouPeak& p = v[k];
      p.Label = fmt::format("{}{}", prefix, k + 1);
      DistForOneAtom(st, phase, run.Part, p);
      run.Listing.push_back(fmt::format("{:<8} {:9.6f} {:9.6f} {:9.6f} {:9.4f} {:9.4f}  {:<18} {}",
                                        p.Label, p.X[0], p.X[1], p.X[2], p.Height, p.Charge, p.Atom,
                                        p.Dist >= 0. ? fmt::format("{:.3f}", p.Dist) : ""));
      for (size_t w = 0; w + 6 <= p.Wave.size(); w += 6) {
        const double* a = p.Wave.data() + w;
        run.Listing.push_back(fmt::format(
            "   wave {}  sin {:9.6f} {:9.6f} {:9.6f}  cos {:9.6f} {:9.6f} {:9.6f}", w / 6 + 1, a[0],
            a[1], a[2], a[3], a[4], a[5]));
      }
    }
  };
  list(lists.Max, FouMaxHeader, "max");
  if (nneg > 0) list(lists.Min, FouMinHeader, "min");
  run.Peaks = lists;
  if (FeFileExists(fln + ".m40") && IOFourPeaks(1, fln + ".m40", lists, &st)) {
    run.Listing.push_back("The peaks could not be written to " + fln + ".m40");
    return 1;
  }
  return 0;
}

}  // namespace tarn
