// Reflections of a powder pattern and the Le Bail decomposition.
#include "powder/lebail.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>

#include <Eigen/Dense>

#include "util/report.hpp"
#include "util/numbers.hpp"

namespace tarn {

namespace {

constexpr const char* kNoRefl = "No Bragg reflections generated.";
constexpr double kTiny = 1e-15;  // differences below this count as none in the partition

// Image h R of a row vector of indices.
std::array<int, 3> Image(const std::array<int, 3>& h, const std::array<int, 9>& r) {
  std::array<int, 3> o{};
  for (int j = 0; j < 3; ++j) o[static_cast<size_t>(j)] = h[0] * r[static_cast<size_t>(j)] + h[1] * r[static_cast<size_t>(3 + j)] + h[2] * r[static_cast<size_t>(6 + j)];
  return o;
}

// The satellites h +- k_n of phase ph with 1/d**2 up to 1/dmin**2 inside the
// pattern: one reflection per class of diffraction vectors under the Laue
// operators (the largest image kept), its multiplicity the size of the class.
void AddSatellites(PwdPatternData& p, size_t ph, const std::array<double, 6>& g,
                   const std::vector<std::array<int, 9>>& ops, double dmin, double xmin, double xmax) {
  const PwdPhaseData& phase = p.Phases[ph];
  const size_t nk = std::min<size_t>(phase.KMag.size(), 3);
  if (nk == 0) return;
  // Diffraction vectors compared on a grid of 1e-6 r.l.u.
  auto key = [](const std::array<double, 3>& v) {
    return std::array<long long, 3>{std::llround(v[0] * 1e6), std::llround(v[1] * 1e6), std::llround(v[2] * 1e6)};
  };
  std::set<std::array<long long, 3>> seen;
  int hm[3];
  for (int i = 0; i < 3; ++i) hm[i] = static_cast<int>(phase.Cell[static_cast<size_t>(i)] / dmin) + 2;
  for (size_t n = 0; n < nk; ++n)
    for (int sg : {1, -1})
      for (int h = -hm[0]; h <= hm[0]; ++h)
        for (int k = -hm[1]; k <= hm[1]; ++k)
          for (int l = -hm[2]; l <= hm[2]; ++l) {
            PwdReflection r;
            r.H = {h, k, l};
            r.M[n] = sg;
            const std::array<double, 3> v = PwdReflVector(phase, r);
            const double q = PwdQ(g, v);
            if (q > 1. / (dmin * dmin) || q < 1e-12) continue;
            std::set<std::array<long long, 3>> imgs;
            for (const auto& o : ops) {
              std::array<double, 3> w{};
              for (size_t j = 0; j < 3; ++j) w[j] = v[0] * o[j] + v[1] * o[3 + j] + v[2] * o[6 + j];
              imgs.insert(key(w));
            }
            if (*imgs.rbegin() != key(v) || !seen.insert(key(v)).second) continue;
            r.Phase = static_cast<int>(ph), r.Q = q, r.Mult = static_cast<int>(imgs.size());
            r.I = {kPwdLeBailStart, kPwdLeBailStart * p.Ratio};
            for (int c = 0; c < p.NLam; ++c) r.Pos[static_cast<size_t>(c)] = PwdPosition(p, q, c);
            if (!p.Tof && (r.Pos[0] + 3. < xmin || r.Pos[0] - 3. > xmax)) continue;
            if (p.Tof && (r.Pos[0] < xmin * 0.98 || r.Pos[0] > xmax * 1.02)) continue;
            p.Refl.push_back(r);
          }
}

}  // namespace

double PwdPolK(double monangle) {
  const double c = std::cos(monangle * kDeg);
  return c * c;
}

double PwdLpSlope(const PwdPatternData& p, double tth) {
  if (p.Tof) return 0.;
  // ln Lp = ln(1 + K cos**2 2th) - 2 ln sin th - ln cos th + const.
  const double th = 0.5 * tth * kDeg, s = std::sin(th), c = std::cos(th);
  double d = -2. * c / std::max(s, 1e-12) + s / std::max(c, 1e-12);
  if (p.Radiation != 2) {
    const double c2 = std::cos(2. * th);
    d += -4. * p.PolK * c2 * std::sin(2. * th) / (1. + p.PolK * c2 * c2);
  }
  if (p.Illum == 1) d -= s / std::max(c, 1e-12);
  if (p.Illum == 2) d += c / std::max(s, 1e-12);
  return 0.5 * kDeg * d;  // d th / d 2th, in degrees
}

double PwdLpFactor(const PwdPatternData& p, double tth) {
  if (p.Tof) return 1.;
  const double th = 0.5 * tth * kDeg, s = std::sin(th), c = std::cos(th);
  const double base = (p.Illum == 1 ? c : p.Illum == 2 ? s : 1.) / std::max(s * s * c, 1e-12);
  if (p.Radiation == 2) return base;
  const double c2 = std::cos(2. * th);
  return base * (1. + p.PolK * c2 * c2) / (1. + p.PolK);
}

std::array<double, 6> PwdRecMetric(const std::array<double, 6>& cell) {
  const double ca = std::cos(cell[3] * kDeg), cb = std::cos(cell[4] * kDeg), cg = std::cos(cell[5] * kDeg);
  Eigen::Matrix3d g;
  g << cell[0] * cell[0], cell[0] * cell[1] * cg, cell[0] * cell[2] * cb,  //
      cell[0] * cell[1] * cg, cell[1] * cell[1], cell[1] * cell[2] * ca,   //
      cell[0] * cell[2] * cb, cell[1] * cell[2] * ca, cell[2] * cell[2];
  const Eigen::Matrix3d r = g.inverse();
  return {r(0, 0), r(1, 1), r(2, 2), r(0, 1), r(0, 2), r(1, 2)};
}

std::array<double, 6> PwdCellFromRecMetric(const std::array<double, 6>& gs) {
  Eigen::Matrix3d r;
  r << gs[0], gs[3], gs[4], gs[3], gs[1], gs[5], gs[4], gs[5], gs[2];
  const Eigen::Matrix3d g = r.inverse();
  const double a = std::sqrt(g(0, 0)), b = std::sqrt(g(1, 1)), c = std::sqrt(g(2, 2));
  return {a, b, c, std::acos(g(1, 2) / (b * c)) / kDeg, std::acos(g(0, 2) / (a * c)) / kDeg,
          std::acos(g(0, 1) / (a * b)) / kDeg};
}

double PwdQ(const std::array<double, 6>& g, const int* h) {
  return g[0] * h[0] * h[0] + g[1] * h[1] * h[1] + g[2] * h[2] * h[2] +
         2. * (g[3] * h[0] * h[1] + g[4] * h[0] * h[2] + g[5] * h[1] * h[2]);
}

bool PwdIsExtinct(const PhaseSymmetry& s, const int* h) {
  auto nonint = [](double x) { return std::abs(x - std::round(x)) > 0.01; };
  for (int c = 0; c < s.NLattVec; ++c) {
    const auto& v = s.VT6[static_cast<size_t>(c)];
    if (nonint(h[0] * v[0] + h[1] * v[1] + h[2] * v[2])) return true;
  }
  for (int k = 0; k < s.NSymm; ++k) {
    const SymmOp& op = s.Op[static_cast<size_t>(k)];
    bool fixed = true;
    for (int j = 0; j < 3 && fixed; ++j) {
      const double v = h[0] * op.RM[static_cast<size_t>(j)] + h[1] * op.RM[static_cast<size_t>(3 + j)] + h[2] * op.RM[static_cast<size_t>(6 + j)];
      fixed = std::lround(v) == h[j];
    }
    if (fixed && nonint(h[0] * op.S6[0] + h[1] * op.S6[1] + h[2] * op.S6[2])) return true;
  }
  return false;
}

double PwdPosition(const PwdPatternData& p, double q, int c, double* dq) {
  const double d = 1. / std::sqrt(q);
  if (p.Tof && p.TofCross) return PwdTofCrossPosition(p, q, dq);
  if (p.Tof) {
    if (dq != nullptr) *dq = (p.Difc + 2. * p.Difa * d) * (-0.5 * d / q);
    return p.Difc * d + p.Difa * d * d + p.TofZero;
  }
  const double s = 0.5 * p.Lam[static_cast<size_t>(c)] / d;
  if (s >= 1.) {
    if (dq != nullptr) *dq = 0.;
    return 1e9;
  }
  const double th = std::asin(s), ct = std::cos(th);
  const double pos = 2. * th / kDeg + p.Zero + p.SyCos * ct + p.SySin * std::sin(2. * th);
  if (dq != nullptr) {
    // d(2theta)/dq, ds/dq = s / (2 q); the shifts' own angle dependence is left out.
    *dq = 2. / kDeg * (s / (2. * q)) / ct;
  }
  return pos;
}

int PwdGenerateRefl(PwdPatternData& p, ErrorRecord& err) {
  p.Refl.clear();
  double xmin = 1e30, xmax = -1e30;
  for (size_t i = 0; i < p.X.size(); ++i)
    if (p.Use.empty() || p.Use[i]) xmin = std::min(xmin, p.X[i]), xmax = std::max(xmax, p.X[i]);
  for (size_t ph = 0; ph < p.Phases.size(); ++ph) {
    PwdBroadSetup(p.Phases[ph].Broad, p.Phases[ph].Sym, p.Phases[ph].Cell);
    const PwdPhaseData& phase = p.Phases[ph];
    const auto g = PwdRecMetric(phase.Cell);
    // Smallest d inside the pattern (with a margin of a few degrees for the tails).
    double dmin;
    if (p.Tof)
      dmin = p.TofCross ? PwdTofCrossDmin(p, xmin) : std::max(0.1, (xmin - p.TofZero) / std::max(p.Difc, 1.) * 0.98);
    else {
      const double lmax = std::max(p.Lam[0], p.NLam > 1 ? p.Lam[1] : 0.);
      (void)lmax;
      const double tmax = std::min(179., xmax + 2.) * 0.5 * kDeg;
      dmin = std::min(p.Lam[0], p.NLam > 1 ? p.Lam[1] : p.Lam[0]) / (2. * std::sin(tmax));
    }
    const auto ops = PwdLaueOps(phase.Sym);
    int hm[3];
    for (int i = 0; i < 3; ++i) hm[i] = static_cast<int>(phase.Cell[static_cast<size_t>(i)] / dmin) + 1;
    for (int h = -hm[0]; h <= hm[0]; ++h)
      for (int k = -hm[1]; k <= hm[1]; ++k)
        for (int l = -hm[2]; l <= hm[2]; ++l) {
          const std::array<int, 3> hh{h, k, l};
          if (h == 0 && k == 0 && l == 0) continue;
          const double q = PwdQ(g, hh.data());
          if (q > 1. / (dmin * dmin)) continue;
          // Keep the largest image under the Laue class; count distinct images.
          std::set<std::array<int, 3>> imgs;
          for (const auto& r : ops) imgs.insert(Image(hh, r));
          if (*imgs.rbegin() != hh) continue;
          if (PwdIsExtinct(phase.Sym, hh.data())) continue;
          PwdReflection r;
          r.H = hh, r.Phase = static_cast<int>(ph), r.Q = q, r.Mult = static_cast<int>(imgs.size());
          r.I = {kPwdLeBailStart, kPwdLeBailStart * p.Ratio};
          for (int c = 0; c < p.NLam; ++c) r.Pos[static_cast<size_t>(c)] = PwdPosition(p, q, c);
          const double lo = r.Pos[0] - 3., hi = r.Pos[0] + 3.;
          if (!p.Tof && (hi < xmin || lo > xmax)) continue;
          if (p.Tof && (r.Pos[0] < xmin * 0.98 || r.Pos[0] > xmax * 1.02)) continue;
          p.Refl.push_back(r);
        }
    if (!phase.QVec.empty()) PwdAddSatellites(p, static_cast<int>(ph), 1. / (dmin * dmin), xmin, xmax);
    AddSatellites(p, ph, g, ops, dmin, xmin, xmax);
  }
  if (p.Refl.empty()) {
    err = ErrorRecord::At("", 0, kNoRefl);
    return 1;
  }
  std::sort(p.Refl.begin(), p.Refl.end(), [](const auto& a, const auto& b) { return a.Pos[0] < b.Pos[0]; });
  PwdSetProfiles(p);
  return 0;
}

void PwdSetProfiles(PwdPatternData& p) {
  const int n = static_cast<int>(p.X.size());
  for (auto& r : p.Refl) {
    const PwdPhaseData& ph = p.Phases[static_cast<size_t>(r.Phase)];
    const auto g = PwdRecMetric(ph.Cell);
    r.Q = PwdQ(g, PwdReflVector(ph, r));
    PwdBroadTermsOf(ph.Broad, ph.Cell, r.H, r.Br);
    for (int c = 0; c < 2; ++c) {
      const size_t cc = static_cast<size_t>(c);
      r.First[cc] = 0, r.Last[cc] = -1;
      if (c >= p.NLam) continue;
      double dq = 0.;
      r.Pos[cc] = PwdPosition(p, r.Q, c, &dq);
      if (r.Pos[cc] > 1e8) continue;
      // dt/dd = dt/dq dq/dd, q = 1/d**2 (time of flight only).
      const double d = 1. / std::sqrt(r.Q);
      SetProfFun(r.Pk[cc], ph.Prof, r.Pos[cc], d, r.Br.A, r.Br.B, r.Br.XAdd, r.Br.YAdd, -2. * dq * r.Q / d);
      r.Lp[cc] = PwdLpFactor(p, r.Pos[cc]);
      double half = PwdProfileHalfRange(r.Pk[cc], p.Cutoff);
      const bool sat = std::any_of(r.M.begin(), r.M.end(), [](int m) { return m != 0; });
      if (const auto& cb = sat ? p.CutSat : p.CutMain; cb.Use) half = std::clamp(half, cb.Mn, std::max(cb.Mn, cb.Mx));
      r.First[cc] = static_cast<int>(std::lower_bound(p.X.begin(), p.X.end(), r.Pos[cc] - half) - p.X.begin());
      r.Last[cc] = static_cast<int>(std::upper_bound(p.X.begin(), p.X.end(), r.Pos[cc] + half) - p.X.begin()) - 1;
      r.Last[cc] = std::min(r.Last[cc], n - 1);
    }
  }
}

void PwdMakeSkipFlags(PwdPatternData& p, const std::vector<std::array<double, 2>>& skip) {
  p.Use.assign(p.X.size(), 1);
  for (const auto& s : skip)
    for (size_t i = 0; i < p.X.size(); ++i)
      if (p.X[i] >= std::min(s[0], s[1]) && p.X[i] <= std::max(s[0], s[1])) p.Use[i] = 0;
  PwdSetBackground(p.Bckg, p.X, p.Use);
}

void PwdSetBackgroundPoints(PwdPatternData& p) {
  p.Bg.resize(p.X.size());
  for (size_t i = 0; i < p.X.size(); ++i) p.Bg[i] = PwdGetBackground(p.Bckg, p.X[i], nullptr);
}

void PwdSetPoints(PwdPatternData& p) {
  p.Yc = p.Bg;
  p.Yc.resize(p.X.size(), 0.);
  for (const auto& r : p.Refl)
    for (int c = 0; c < p.NLam; ++c) {
      const size_t cc = static_cast<size_t>(c);
      const double f = r.I[cc] * r.Lp[cc];
      for (int i = r.First[cc]; i <= r.Last[cc]; ++i)
        p.Yc[static_cast<size_t>(i)] += f * Prfl(r.Pk[cc], p.X[static_cast<size_t>(i)] - r.Pos[cc], false).Value;
    }
}

PwdRValues PwdRFactors(const PwdPatternData& p, int npar) {
  PwdRValues v;
  double sy = 0., sd = 0., swy = 0., swd = 0., syb = 0., swyb = 0.;
  for (size_t i = 0; i < p.X.size(); ++i) {
    if (!p.Use.empty() && !p.Use[i]) continue;
    const double w = 1. / (p.Sig[i] * p.Sig[i]), d = p.Yo[i] - p.Yc[i];
    const double yb = p.Yo[i] - (p.Bg.empty() ? 0. : p.Bg[i]);
    sy += std::abs(p.Yo[i]), sd += std::abs(d);
    swy += w * p.Yo[i] * p.Yo[i], swd += w * d * d;
    syb += std::abs(yb), swyb += w * yb * yb;
    ++v.N;
  }
  const double dof = std::max(1, v.N - npar);
  if (sy > 0.) v.Rp = 100. * sd / sy;
  if (swy > 0.) v.Rwp = 100. * std::sqrt(swd / swy), v.Rexp = 100. * std::sqrt(dof / swy);
  if (syb > 0.) v.RpB = 100. * sd / syb;
  if (swyb > 0.) v.RwpB = 100. * std::sqrt(swd / swyb);
  v.Chi2 = swd / dof;
  return v;
}

void pwdlebailfromhkl(PwdPatternData& p) {
  if (p.Bg.size() != p.X.size()) PwdSetBackgroundPoints(p);
  for (size_t ph = 0; ph < p.Phases.size(); ++ph) {
    if (!p.Phases[ph].Decompose) continue;
    const int iph = static_cast<int>(ph);
    bool known = p.Phases[ph].UseKnown;
    for (const auto& r : p.Refl)
      if (r.Phase == iph) known = known && r.F2Calc >= 0.;
    // The phase's pattern at unit scale, y_i = sum_r m |F|**2 Lp Phi, and
    // s = sum y (Yo - B) / sum y**2 over the used points.
    double num = 0., den = 0.;
    if (known) {
      std::vector<double> y(p.X.size(), 0.);
      for (const auto& r : p.Refl) {
        if (r.Phase != iph) continue;
        for (int c = 0; c < p.NLam; ++c) {
          const size_t cc = static_cast<size_t>(c);
          const double f = r.Mult * r.F2Calc * (c == 0 ? 1. : p.Ratio) * r.Lp[cc];
          for (int i = r.First[cc]; i <= r.Last[cc]; ++i)
            y[static_cast<size_t>(i)] += f * Prfl(r.Pk[cc], p.X[static_cast<size_t>(i)] - r.Pos[cc], false).Value;
        }
      }
      for (size_t i = 0; i < y.size(); ++i)
        if (p.Use.empty() || p.Use[i]) num += y[i] * (p.Yo[i] - p.Bg[i]), den += y[i] * y[i];
    }
    const double s = den > 0. && num > 0. ? num / den : 0.;
    // A partition never revives an intensity of 0: reflections calculated
    // (nearly) absent start at 1/1000 of the phase's mean.
    double mean = 0.;
    int nr = 0;
    for (const auto& r : p.Refl)
      if (r.Phase == iph) mean += s * r.Mult * r.F2Calc, ++nr;
    const double floor = nr > 0 ? 1e-3 * mean / nr : 0.;
    for (auto& r : p.Refl) {
      if (r.Phase != iph) continue;
      const double i1 = s > 0. ? std::max(s * r.Mult * r.F2Calc, floor) : kPwdLeBailStart;
      r.I = {i1, i1 * p.Ratio};
    }
  }
}

int PwdLeBail(PwdPatternData& p, double stop, int maxit) {
  // Profile values Phi_rci of the ranges, computed once.
  std::vector<double> phi;
  std::vector<size_t> at(p.Refl.size() * 2, 0);
  phi.reserve(50000);
  for (size_t r = 0; r < p.Refl.size(); ++r)
    for (int c = 0; c < p.NLam; ++c) {
      const auto& rf = p.Refl[r];
      const size_t cc = static_cast<size_t>(c);
      at[2 * r + cc] = phi.size();
      for (int i = rf.First[cc]; i <= rf.Last[cc]; ++i)
        phi.push_back(rf.Lp[cc] * Prfl(rf.Pk[cc], p.X[static_cast<size_t>(i)] - rf.Pos[cc], false).Value);
    }
  auto setPoints = [&]() {
    p.Yc = p.Bg;
    for (size_t r = 0; r < p.Refl.size(); ++r)
      for (int c = 0; c < p.NLam; ++c) {
        const auto& rf = p.Refl[r];
        const size_t cc = static_cast<size_t>(c);
        const double* f = phi.data() + at[2 * r + cc];
        for (int i = rf.First[cc]; i <= rf.Last[cc]; ++i)
          p.Yc[static_cast<size_t>(i)] += rf.I[cc] * f[i - rf.First[cc]];
      }
    return PwdRFactors(p, 0).Rp;
  };
  double rold = setPoints();
  int it = 0;
  std::vector<std::array<double, 2>> inew(p.Refl.size());
  while (it < maxit) {
    ++it;
    // pwdsetiobs: I_new = sum w t / sum w, t = I (Yo - B) / (Yc - B).
    for (size_t r = 0; r < p.Refl.size(); ++r) {
      auto& rf = p.Refl[r];
      inew[r] = rf.I;
      if (!p.Phases[static_cast<size_t>(rf.Phase)].Decompose) continue;
      for (int c = 0; c < p.NLam; ++c) {
        const size_t cc = static_cast<size_t>(c);
        const double* f = phi.data() + at[2 * r + cc];
        double sw = 0., swt = 0.;
        for (int i = rf.First[cc]; i <= rf.Last[cc]; ++i) {
          const size_t ii = static_cast<size_t>(i);
          if (!p.Use.empty() && !p.Use[ii]) continue;
          const double w = p.WtLeBail == 1 ? f[i - rf.First[cc]] * f[i - rf.First[cc]] : f[i - rf.First[cc]];
          const double yo = p.Yo[ii] - p.Bg[ii], yc = p.Yc[ii] - p.Bg[ii];
          const double t = yo < kTiny || yc < kTiny ? 0. : rf.I[cc] * yo / yc;
          sw += w, swt += w * t;
        }
        inew[r][cc] = sw > 0. ? swt / sw : 0.;
      }
      if (p.NLam > 1) {
        const double i1 = (inew[r][0] + inew[r][1]) / (1. + p.Ratio);
        inew[r] = {i1, p.Ratio * i1};
      }
    }
    for (size_t r = 0; r < p.Refl.size(); ++r) p.Refl[r].I = inew[r];
    const double rnew = setPoints();
    if (rnew <= 0. || rold / rnew < stop) break;
    rold = rnew;
  }
  return it;
}

}  // namespace tarn
