// Peak search of a Fourier map (see foupeaks.hpp).
#include "fourier/foupeaks.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "model/session.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"
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
  auto val = [&](int i, int j, int k) {
    if (periodic[0]) i = wrap(i, n0);
    if (periodic[1]) j = wrap(j, n1);
    if (periodic[2]) k = wrap(k, n2);
    return sign * static_cast<double>(map.At(i, j, k));
  };
  // Pairs of neighbour offsets: ">=" for the one before, ">" for the one after
  // (so that of equal values the last in index order is the candidate).
  auto test = [&](int i, int j, int k, double c) {
    static constexpr int kAx[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int a = 0; a < 3; ++a) {
      if (a == 2 && n2 < 3) break;
      const int* d = kAx[a];
      if (!(c >= val(i - d[0], j - d[1], k - d[2]) && c > val(i + d[0], j + d[1], k + d[2])))
        return false;
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
          const double v = val(i + d[0], j + d[1], k + d[2]);
          if (s2 < 0 ? !(c >= v) : !(c > v)) return false;
        }
    }
    return true;
  };
  auto range = [&](int m, int n) {
    return periodic[m] ? std::pair<int, int>{0, n - 1} : std::pair<int, int>{1, n - 2};
  };
  const auto [i0, i1] = range(0, n0);
  const auto [j0, j1] = range(1, n1);
  const auto [k0, k1] = n2 < 3 ? std::pair<int, int>{0, n2 - 1} : range(2, n2);
  for (int k = k0; k <= k1; ++k) {
    if (cancel && cancel()) return 1;
    for (int j = j0; j <= j1; ++j)
      for (int i = i0; i <= i1; ++i) {
        const double c = val(i, j, k);
        if (static_cast<int>(out.size()) >= nmax && c <= out.back().Height) continue;
        if (!test(i, j, k, c)) continue;
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
        // Held with Height = strength (density, or minus density for minima).
        FouPeak p;
        for (int m = 0; m < 3; ++m) p.X[static_cast<size_t>(g.Order[m] - 1)] = pos[m];
        p.Height = h;
        // A duplicate under symmetry of a held peak: the stronger stays.
        bool skip = false;
        for (size_t q = 0; q < out.size(); ++q)
          if (FouSymmDist(ph, out[q].X, p.X) < FouKoincTol) {
            if (out[q].Height >= p.Height)
              skip = true;
            else
              out.erase(out.begin() + static_cast<long>(q));
            break;
          }
        if (!skip) FouInclude(out, nmax, p);
      }
  }
  for (auto& p : out) p.Height *= sign;
  // Charges: the integral of rho over a sphere around each peak, from the
  // coefficients (exact for the map's resolution).
  for (auto& p : out) {
    double q = 0.;
    for (const auto& c : coef) {
      double hc[3] = {0, 0, 0};
      for (int m = 0; m < 3; ++m) hc[g.Order[m] - 1] = c.H[m];
      double s2 = 0., t = 0.;
      for (int a = 0; a < 3; ++a) {
        t += hc[a] * p.X[static_cast<size_t>(a)];
        for (int b = 0; b < 3; ++b) s2 += hc[a] * ph.MetTensI[3 * a + b] * hc[b];
      }
      const double f = SphereFactor(std::sqrt(s2), intrad);
      q += f * (c.Re * std::cos(kTwoPi * t) + c.Im * std::sin(kTwoPi * t));
    }
    p.Charge = q;
  }
  return 0;
}

void DistForOneAtom(const Structure& st, int phase, FouPeak& p) {
  const PhaseBasic& ph = st.Basic.Phase[static_cast<size_t>(phase - 1)];
  p.Dist = -1.;
  p.Atom.clear();
  for (const auto& a : st.Model.Atom) {
    if (a.Phase != phase) continue;
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
  const FouMap& map = run.Map;
  const int type = map.MapType;
  if (map.Grid.NDim > 3) {
    run.Listing.push_back("The peak search of superspace maps is not available yet.");
    return 0;
  }
  for (int m = 0; m < 3; ++m)
    if (map.Grid.Order[m] > 3) {
      run.Listing.push_back("The first three map axes must be x, y, z for the peak search.");
      return 1;
    }
  int npos = run.Set.I(FkPositive), nneg = run.Set.I(FkNegative);
  if (type == MapMultDyn || type == MapMultStat || type == MapShape) {
    npos = 10000;
    nneg = 0;
  }
  const PhaseBasic& ph = st.Basic.Phase[static_cast<size_t>(phase - 1)];
  FouPeakLists lists;
  Report().ProgressBegin("Peak searching procedure");
  bool cancelled = false;
  auto cancel = [&] {
    const ReportPoll p = Report().ProgressPoll();
    cancelled = p.Request == ReportRequest::Cancel;
    return cancelled;
  };
  int rc = FouFindPeaks(map, run.Coef, ph, false, npos, run.Set.R(FkIntRad), lists.Max, cancel);
  if (rc == 0 && nneg > 0)
    rc = FouFindPeaks(map, run.Coef, ph, true, nneg, run.Set.R(FkIntRad), lists.Min, cancel);
  Report().ProgressEnd();
  if (rc) {
    run.Listing.push_back("The peak search was cancelled.");
    return 0;
  }
  auto list = [&](std::vector<FouPeak>& v, std::string_view head, const char* prefix) {
    run.Listing.push_back("");
    run.Listing.push_back(std::string(head));
    run.Listing.push_back(
        "label          x         y         z    height    charge  nearest atom       distance");
    for (size_t k = 0; k < v.size(); ++k) {
      FouPeak& p = v[k];
      p.Label = fmt::format("{}{}", prefix, k + 1);
      DistForOneAtom(st, phase, p);
      run.Listing.push_back(fmt::format("{:<8} {:9.6f} {:9.6f} {:9.6f} {:9.4f} {:9.4f}  {:<18} {}",
                                        p.Label, p.X[0], p.X[1], p.X[2], p.Height, p.Charge, p.Atom,
                                        p.Dist >= 0. ? fmt::format("{:.3f}", p.Dist) : ""));
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
