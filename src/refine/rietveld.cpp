// Rietveld refinement: Ycalc from the structure factors, its derivatives,
// the damped least-squares fit and the R values of patterns and phases.
#include "refine/rietveld.hpp"
#include "util/numbers.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>

namespace tarn {

namespace {

// A metric column whose sum w g**2 is below this fraction of that of its
// gross (absolute) contributions cancels: no first-order effect.
constexpr double kRietCancel = 1e-10;

// Preferred-orientation factor of reflection h of phase ph with its
// derivative by the parameter.
double PrefOf(const RietPattern& t, int ph, const std::array<int, 3>& h, double* d1) {
  *d1 = 0.;
  const size_t iph = static_cast<size_t>(ph);
  if (t.PrefType == 0 || iph >= t.Pref.size()) return 1.;
  const auto g = PwdRecMetric(t.P.Phases[iph].Cell);
  const auto& u = t.PrefDir[iph];
  auto dot = [&](const double* a, const double* b) {
    return g[0] * a[0] * b[0] + g[1] * a[1] * b[1] + g[2] * a[2] * b[2] +
           g[3] * (a[0] * b[1] + a[1] * b[0]) + g[4] * (a[0] * b[2] + a[2] * b[0]) +
           g[5] * (a[1] * b[2] + a[2] * b[1]);
  };
  // The equivalents of h (h R, each distinct one once), or h alone.
  std::set<std::array<int, 3>> imgs{h};
  if (iph < t.PrefOps.size())
    for (const auto& r : t.PrefOps[iph]) {
      std::array<int, 3> o{};
      for (size_t j = 0; j < 3; ++j) o[j] = h[0] * r[j] + h[1] * r[3 + j] + h[2] * r[6 + j];
      imgs.insert(o);
    }
  const double nu = dot(u.data(), u.data());
  std::vector<double> c;
  for (const auto& e : imgs) {
    const double hh[3] = {static_cast<double>(e[0]), static_cast<double>(e[1]), static_cast<double>(e[2])};
    const double nh = dot(hh, hh);
    c.push_back(nh > 0. && nu > 0. ? dot(hh, u.data()) / std::sqrt(nh * nu) : 1.);
  }
  double d2 = 0.;
  return SetPref(t.PrefType, t.Pref[iph], 0., c.data(), static_cast<int>(c.size()), d1, &d2);
}

// Time-of-flight absorption exp(-c lambda) of a reflection of 1/d**2 q, with
// d ln A / dq in dlnq when given.
double TofAbsOf(const RietPattern& t, double q, double* dlnq = nullptr) {
  if (dlnq != nullptr) *dlnq = 0.;
  if (!t.TofAbs || !t.P.Tof || q <= 0.) return 1.;
  const double lam = t.TofLamD / std::sqrt(q);
  if (dlnq != nullptr) *dlnq = 0.5 * t.TofAbsC * lam / q;  // d lambda / dq = -lambda / (2 q)
  return std::exp(-t.TofAbsC * lam);
}

// Surface-roughness factor at theta (rad) with its derivatives by p and q in d.
double RoughOf(const RietPattern& t, double th, double* d) {
  if (t.RoughType == 0 || t.P.Tof) {
    if (d != nullptr) d[0] = d[1] = 0.;
    return 1.;
  }
  double dp = 0., dq = 0.;
  const double v = PwdRougness(t.RoughType, t.Rough[0], t.Rough[1], std::sin(th), &dp, &dq);
  if (d != nullptr) d[0] = dp, d[1] = dq;
  return v;
}

// Adds the packed normal equations of the structural parameters (lower
// triangle by rows) to the dense ones (row-major, rhs.size() columns).
void AddPacked(NormalEq& ne, std::vector<double>& nm, std::vector<double>& rhs) {
  SumaFlush(ne);
  const size_t nt = rhs.size(), n = static_cast<size_t>(ne.N);
  for (size_t i = 0; i < n; ++i) {
    rhs[i] += ne.Rhs[i];
    for (size_t j = 0; j <= i; ++j) {
      const double v = ne.Am[i * (i + 1) / 2 + j];
      nm[i * nt + j] += v;
      if (j != i) nm[j * nt + i] += v;
    }
  }
}

}  // namespace

void RietSetParams(RietProblem& pr) {
  pr.Par.clear();
  for (size_t k = 0; k < pr.Pat.size(); ++k) {
    const RietPattern& t = pr.Pat[k];
    const PwdPatternData& p = t.P;
    const PwdFitFlags& f = t.Flags;
    const int ik = static_cast<int>(k);
    for (size_t ph = 0; ph < p.Phases.size(); ++ph)
      if (ph < t.RefScale.size() && t.RefScale[ph])
        pr.Par.push_back({RvScale, ik, static_cast<int>(ph), 0, fmt::format("scale{}[{}]", ph + 1, k + 1)});
    // Index Coef.size(): the scale of the manual background.
    for (size_t j = 0; j < p.Bckg.Coef.size() + (p.Bckg.Manual.empty() ? 0 : 1); ++j)
      if (j < f.Bckg.size() && f.Bckg[j])
        pr.Par.push_back({RvBckg, ik, 0, static_cast<int>(j),
                          j < p.Bckg.Coef.size() ? fmt::format("bckg{}[{}]", j + 1, k + 1) : fmt::format("bckgman[{}]", k + 1)});
    if (f.Zero) pr.Par.push_back({RvZero, ik, 0, 0, fmt::format("zero[{}]", k + 1)});
    if (f.SyCos && !p.Tof) pr.Par.push_back({RvSyCos, ik, 0, 0, fmt::format("sycos[{}]", k + 1)});
    if (f.SySin && !p.Tof) pr.Par.push_back({RvSySin, ik, 0, 0, fmt::format("sysin[{}]", k + 1)});
    if (t.RefLam && !p.Tof) pr.Par.push_back({RvLam, ik, 0, 0, fmt::format("lambda[{}]", k + 1)});
    for (int x = 0; x < 7 && p.TofCross; ++x)
      if (f.TofX[static_cast<size_t>(x)]) pr.Par.push_back({RvTofX, ik, 0, x, fmt::format("{}[{}]", kPwdTofXNames[x], k + 1)});
    for (size_t ph = 0; ph < p.Phases.size(); ++ph) {
      const int iph = static_cast<int>(ph);
      if (ph < f.Width.size())
        for (int w = 0; w < PwdNWidth; ++w)
          if (f.Width[ph][static_cast<size_t>(w)] && !(p.Tof && w == PwdYe)) pr.Par.push_back({RvWidth, ik, iph, w, fmt::format("{}{}[{}]", kPwdWidthNames[w], ph + 1, k + 1)});
      if (ph < f.Asym.size())
        for (int a = 0; a < std::min(kPwdMaxAsym, std::max(p.Phases[ph].Prof.NAsym, 0)); ++a)
          if (f.Asym[ph][static_cast<size_t>(a)]) pr.Par.push_back({RvAsym, ik, iph, a, fmt::format("asym{}{}[{}]", a + 1, ph + 1, k + 1)});
      if (t.PrefType != 0 && ph < t.RefPref.size() && t.RefPref[ph])
        pr.Par.push_back({RvPref, ik, iph, 0, fmt::format("pref{}[{}]", ph + 1, k + 1)});
      const PwdBroadening& br = p.Phases[ph].Broad;
      for (int b = 0; ph < f.Broad.size() && b < PwdBroadCount(br) && b < static_cast<int>(f.Broad[ph].size()); ++b)
        if (f.Broad[ph][static_cast<size_t>(b)]) pr.Par.push_back({RvBroad, ik, iph, b, fmt::format("{}{}[{}]", PwdBroadName(br, b), ph + 1, k + 1)});
      for (size_t c = 0; ph < f.ModVec.size() && c < f.ModVec[ph].size() && c < 3 * p.Phases[ph].QVec.size(); ++c)
        if (f.ModVec[ph][c]) pr.Par.push_back({RvModVec, ik, iph, static_cast<int>(c), fmt::format("q{}{}{}[{}]", c / 3 + 1, "xyz"[c % 3], ph + 1, k + 1)});
    }
    for (int j = 0; j < 2 && t.RoughType != 0 && !p.Tof; ++j)
      if (t.RefRough[static_cast<size_t>(j)]) pr.Par.push_back({RvRough, ik, 0, j, fmt::format("rough{}[{}]", j + 1, k + 1)});
    if (t.TofAbs && t.RefTofAbs && p.Tof) pr.Par.push_back({RvTofAbs, ik, 0, 0, fmt::format("tofabs[{}]", k + 1)});
  }
  if (pr.Pat.empty()) return;
  // One cell per phase, whichever pattern carries it.
  const PwdPatternData& p0 = pr.Pat[0].P;
  for (size_t ph = 0; ph < p0.Phases.size() && ph < pr.RefCell.size(); ++ph)
    if (pr.RefCell[ph]) {
      const auto b = PwdMetricBasis(p0.Phases[ph].Sym);
      for (size_t j = 0; j < b.size(); ++j)
        pr.Par.push_back({RvMetric, 0, static_cast<int>(ph), static_cast<int>(j), fmt::format("g*{}[phase {}]", j + 1, ph + 1)});
    }
}

int RietStructureFactors(RietProblem& pr, const CalcSetup& s, const RefParams& p, bool der) {
  const size_t nref = static_cast<size_t>(p.NRef);
  CalcOut out;
  std::vector<double> derc(std::max<size_t>(nref, 1));
  const bool cell = der && std::any_of(pr.RefCell.begin(), pr.RefCell.end(), [](char c) { return c != 0; });
  for (auto& t : pr.Pat) {
    t.F2.assign(t.P.Refl.size(), 0.);
    if (der) t.DF2.assign(t.P.Refl.size() * nref, 0.);
    t.DF2s.assign(cell ? t.P.Refl.size() : 0, 0.);
    for (size_t r = 0; r < t.P.Refl.size(); ++r) {
      const PwdReflection& rf = t.P.Refl[r];
      CalcRefl cr;
      for (size_t i = 0; i < 3; ++i) cr.H[i] = rf.H[i], cr.H[3 + i] = rf.M[i];
      cr.DatBlock = t.Block;
      cr.Phase = rf.Phase;
      cr.SinThL = 0.5 * std::sqrt(rf.Q);
      if (Calc(s, cr, der, out) != 0 || out.Problem) return 1;
      // Fc = scale |F| with the block's scale (1 for powder blocks): |F|**2 = (Fc / scale)**2.
      const double sc = s.Block[static_cast<size_t>(t.Block)].Scale;
      const double k = sc != 0. ? 1. / (sc * sc) : 1.;
      t.F2[r] = out.Fc * out.Fc * k;
      if (cell) {
        // |F|**2 depends on the cell through sin(theta)/lambda = sqrt(Q)/2.
        const double s0 = cr.SinThL, h = 1e-4 * std::max(s0, 0.1);
        double f2[2];
        CalcOut o2;
        for (int e = 0; e < 2; ++e) {
          cr.SinThL = s0 + (e ? -h : h);
          if (Calc(s, cr, false, o2) != 0 || o2.Problem) return 1;
          f2[e] = o2.Fc * o2.Fc * k;
        }
        cr.SinThL = s0;
        t.DF2s[r] = (f2[0] - f2[1]) / (2. * h);
      }
      if (!der || nref == 0) continue;
      RefDerCompress(p, out.Der.data(), derc.data());
      for (size_t j = 0; j < nref; ++j) t.DF2[r * nref + j] = 2. * out.Fc * derc[j] * k;
    }
  }
  return 0;
}

void RietSetIntensities(RietProblem& pr) {
  for (auto& t : pr.Pat)
    for (size_t r = 0; r < t.P.Refl.size(); ++r) {
      auto& rf = t.P.Refl[r];
      double d1;
      const double base = t.Scale[static_cast<size_t>(rf.Phase)] * rf.Mult * t.F2[r] * PrefOf(t, rf.Phase, rf.H, &d1);
      for (int c = 0; c < 2; ++c) {
        const size_t cc = static_cast<size_t>(c);
        const double th = 0.5 * rf.Pos[cc] * kDeg;
        const double a = t.P.Tof ? TofAbsOf(t, rf.Q) : PwdAbsorption(t.AbsType, t.Mir, th) * RoughOf(t, th, nullptr);
        rf.I[cc] = c == 0 ? base * a : c < t.P.NLam ? base * a * t.P.Ratio : 0.;
      }
    }
}

void RietJacobian(RietProblem& pr, int k, int nref, std::vector<double>& der, std::vector<double>* gross) {
  RietPattern& t = pr.Pat[static_cast<size_t>(k)];
  PwdPatternData& p = t.P;
  const size_t nr = static_cast<size_t>(nref), nt = nr + pr.Par.size(), n = p.X.size();
  der.assign(n * nt, 0.);
  if (gross != nullptr) gross->assign(n * nt, 0.);
  p.Yc = p.Bg;
  p.Yc.resize(n, 0.);
  // The powder parameters of this pattern that act per reflection.
  std::vector<size_t> mine;
  for (size_t j = 0; j < pr.Par.size(); ++j) {
    const auto& q = pr.Par[j];
    if (q.Kind == RvMetric || q.Pattern == k) mine.push_back(j);
  }
  std::vector<std::vector<std::array<double, 6>>> basis(p.Phases.size());
  for (size_t ph = 0; ph < p.Phases.size(); ++ph) basis[ph] = PwdMetricBasis(p.Phases[ph].Sym);
  std::array<double, PwdNWidth> wd{};
  for (size_t r = 0; r < p.Refl.size(); ++r) {
    const PwdReflection& rf = p.Refl[r];
    const size_t iph = static_cast<size_t>(rf.Phase);
    double dpref = 0.;
    const double po = PrefOf(t, rf.Phase, rf.H, &dpref);
    const double* df2 = t.DF2.size() >= (r + 1) * nr ? t.DF2.data() + r * nr : nullptr;
    for (int c = 0; c < p.NLam; ++c) {
      const size_t cc = static_cast<size_t>(c);
      if (rf.Last[cc] < rf.First[cc]) continue;
      const PwdPeak& pk = rf.Pk[cc];
      const double f = rf.I[cc] * rf.Lp[cc];
      // dI/d|F|**2 and dI/dscale of this component.
      const double dIdF2 = t.F2[r] > 0. ? rf.I[cc] / t.F2[r] : 0.;
      const double sc = t.Scale[iph];
      const double dIdS = sc != 0. ? rf.I[cc] / sc : 0.;
      // d|F|**2/dQ with sin(theta)/lambda = sqrt(Q)/2.
      const double dF2dq = r < t.DF2s.size() && rf.Q > 0. ? t.DF2s[r] * 0.25 / std::sqrt(rf.Q) : 0.;
      double dposdq = 0.;
      (void)PwdPosition(p, rf.Q, c, &dposdq);
      std::array<double, 7> dtof{};
      if (p.TofCross) (void)PwdTofCrossPosition(p, rf.Q, nullptr, dtof.data());
      const double th = 0.5 * rf.Pos[cc] * kDeg;
      double drough[2];
      const double sr = RoughOf(t, th, drough);
      // Time-of-flight absorption moves with 1/d**2 (cell, modulation vectors).
      double dlnaq = 0.;
      (void)TofAbsOf(t, rf.Q, &dlnaq);
      const double lamr = t.TofAbs && rf.Q > 0. ? t.TofLamD / std::sqrt(rf.Q) : 0.;
      // d ln(Lp A roughness)/d(2theta) per degree: the intensity moves with the peak.
      double gpos = PwdLpSlope(p, rf.Pos[cc]);
      if (!p.Tof && (t.AbsType != 0 || t.RoughType != 0)) {
        constexpr double h = 1e-3;  // degrees 2theta
        auto ar = [&](double tth) {
          const double x = 0.5 * tth * kDeg;
          return PwdAbsorption(t.AbsType, t.Mir, x) * RoughOf(t, x, nullptr);
        };
        const double lo = ar(rf.Pos[cc] - h), hi = ar(rf.Pos[cc] + h);
        if (lo > 0. && hi > 0.) gpos += std::log(hi / lo) / (2. * h);
      }
      double dposdlam = 0.;
      if (!p.Tof && p.Lam[0] > 0.) {
        const double s = 0.5 * p.Lam[cc] * std::sqrt(rf.Q);
        dposdlam = s < 1. ? 2. / kDeg * s / (p.Lam[0] * std::sqrt(1. - s * s)) : 0.;
      }
      for (int i = rf.First[cc]; i <= rf.Last[cc]; ++i) {
        const size_t ii = static_cast<size_t>(i);
        const PwdProfValue v = Prfl(pk, p.X[ii] - rf.Pos[cc], true);
        p.Yc[ii] += f * v.Value;
        double* row = der.data() + ii * nt;
        const double phi = rf.Lp[cc] * v.Value;
        if (df2 != nullptr && dIdF2 != 0.)
          for (size_t j = 0; j < nr; ++j) row[j] += phi * dIdF2 * df2[j];
        const double dpos = f * (gpos * v.Value - v.dDelta);
        bool widths = false;
        for (size_t j : mine) {
          const auto& q = pr.Par[j];
          if ((q.Kind == RvScale || q.Kind == RvMetric || q.Kind == RvWidth || q.Kind == RvAsym || q.Kind == RvPref || q.Kind == RvBroad || q.Kind == RvModVec) &&
              q.Phase != rf.Phase)
            continue;
          double& d = row[nr + j];
          switch (q.Kind) {
            case RvScale: d += phi * dIdS; break;
            case RvZero: d += dpos; break;
            case RvSyCos: d += dpos * std::cos(th); break;
            case RvSySin: d += dpos * std::sin(2. * th); break;
            case RvLam: d += dpos * dposdlam; break;
            case RvMetric: {
              const double dq = PwdQ(basis[iph][static_cast<size_t>(q.Index)], PwdReflVector(p.Phases[iph], rf));
              const double dm = (dpos * dposdq + phi * dIdF2 * dF2dq + f * v.Value * dlnaq) * dq;
              d += dm;
              if (gross != nullptr) (*gross)[ii * nt + nr + j] += std::abs(dm);
              break;
            }
            case RvModVec: d += (dpos * dposdq + f * v.Value * dlnaq) * PwdQVecDeriv(p, rf, q.Index); break;
            case RvTofX: d += dpos * dtof[static_cast<size_t>(q.Index)]; break;
            case RvWidth:
              if (!widths) PwdWidthDerivs(pk, v, wd), widths = true;
              d += f * wd[static_cast<size_t>(q.Index)];
              break;
            case RvAsym: d += f * v.dAsym[static_cast<size_t>(q.Index)]; break;
            case RvPref: d += po != 0. ? phi * rf.I[cc] / po * dpref : 0.; break;
            case RvBroad: d += f * PwdBroadDeriv(rf, c, v, q.Index); break;
            case RvRough: d += sr != 0. ? phi * rf.I[cc] / sr * drough[q.Index] : 0.; break;
            case RvTofAbs: d -= f * v.Value * lamr; break;
            default: break;
          }
        }
      }
    }
  }
  // Background coefficients and the manual part's scale (last).
  std::vector<double> dbg(p.Bckg.Coef.size() + 1);
  bool anyBg = false;
  for (size_t j : mine) anyBg = anyBg || pr.Par[j].Kind == RvBckg;
  if (!anyBg) return;
  for (size_t i = 0; i < n; ++i) {
    (void)PwdGetBackground(p.Bckg, p.X[i], dbg.data(), &dbg.back());
    for (size_t j : mine)
      if (pr.Par[j].Kind == RvBckg) der[i * nt + nr + j] = dbg[static_cast<size_t>(pr.Par[j].Index)];
  }
}

double RefLoopRietveld(RietProblem& pr, int nref, std::vector<double>& nm, std::vector<double>& rhs,
                       std::vector<double>* gross) {
  const size_t nt = static_cast<size_t>(nref) + pr.Par.size();
  nm.assign(nt * nt, 0.);
  rhs.assign(nt, 0.);
  double s = 0.;
  std::vector<double> der, gabs;
  std::vector<size_t> nz;
  if (gross != nullptr) gross->assign(nt, 0.);
  for (size_t k = 0; k < pr.Pat.size(); ++k) {
    RietJacobian(pr, static_cast<int>(k), nref, der, gross != nullptr ? &gabs : nullptr);
    const PwdPatternData& p = pr.Pat[k].P;
    for (size_t i = 0; i < p.X.size(); ++i) {
      if (!p.Use.empty() && !p.Use[i]) continue;
      const double w = 1. / (p.Sig[i] * p.Sig[i]), d = p.Yo[i] - p.Yc[i];
      s += w * d * d;
      const double* row = der.data() + i * nt;
      if (gross != nullptr)
        for (size_t j = 0; j < nt; ++j) (*gross)[j] += w * gabs[i * nt + j] * gabs[i * nt + j];
      nz.clear();
      for (size_t j = 0; j < nt; ++j)
        if (row[j] != 0.) nz.push_back(j);
      for (size_t a = 0; a < nz.size(); ++a) {
        const size_t j = nz[a];
        const double wr = w * row[j];
        rhs[j] += wr * d;
        for (size_t b = 0; b <= a; ++b) nm[j * nt + nz[b]] += wr * row[nz[b]];
      }
    }
  }
  for (size_t j = 0; j < nt; ++j)
    for (size_t k = 0; k < j; ++k) nm[k * nt + j] = nm[j * nt + k];
  return s;
}

RestrSums RietRestraints(const RietProblem& pr, const RefParams& p, std::vector<double>* nm, std::vector<double>* rhs) {
  RestrSums sum;
  if (pr.Restr.empty()) return sum;
  const int nref = p.NRef;
  const bool acc = nm != nullptr && rhs != nullptr && nref > 0;
  NormalEq ne;
  if (acc) RefLoopNuluj(ne, nref);
  const RestrSums g = RefLoopDistAng(p, pr.Restr, acc ? &ne : nullptr);
  const RestrSums m = RefLoopMag(p, pr.Restr, acc ? &ne : nullptr);
  sum.N = g.N + m.N, sum.WSum = g.WSum + m.WSum;
  if (acc) AddPacked(ne, *nm, *rhs);
  return sum;
}

double RefLoopSingle(const RietProblem& pr, const CalcSetup& s, const RefParams& p, std::vector<double>* nm,
                     std::vector<double>* rhs, std::vector<RietSingleR>* rv) {
  if (rv) rv->clear();
  if (pr.Single.empty()) return 0.;
  const int nref = p.NRef;
  const bool acc = nm != nullptr && rhs != nullptr && nref > 0;
  NormalEq ne;
  if (acc) RefLoopNuluj(ne, nref);
  std::vector<double> derc(static_cast<size_t>(std::max(nref, 1)));
  double sum = 0.;
  CalcOut out;
  for (const RietSingle& b : pr.Single) {
    double sd = 0., so = 0., swd = 0., swo = 0.;
    for (size_t r = 0; r < b.Refl.size(); ++r) {
      if (Calc(s, b.Refl[r], acc, out) != 0 || out.Problem) return -1.;
      const double w = b.SigI[r] > 0. ? 1. / (b.SigI[r] * b.SigI[r]) : 0.;
      const double d = b.I[r] - out.Fc * out.Fc;
      sum += w * d * d;
      sd += std::abs(std::sqrt(std::max(b.I[r], 0.)) - out.Fc), so += std::sqrt(std::max(b.I[r], 0.));
      swd += w * d * d, swo += w * b.I[r] * b.I[r];
      if (!acc) continue;
      // dI/dp = 2 Fc dFc/dp.
      RefDerCompress(p, out.Der.data(), derc.data());
      for (double& v : derc) v *= 2. * out.Fc;
      SumaRefine(ne, w, d, derc.data());
    }
    if (rv) rv->push_back({so > 0. ? 100. * sd / so : 0., swo > 0. ? 100. * std::sqrt(swd / swo) : 0., static_cast<int>(b.Refl.size())});
  }
  if (!acc) return sum;
  AddPacked(ne, *nm, *rhs);
  return sum;
}

int RietShift(RietProblem& pr, CalcSetup& s, RefParams& p, const std::vector<double>& dx) {
  const size_t nr = static_cast<size_t>(p.NRef);
  if (nr > 0) {
    for (size_t j = 0; j < nr; ++j) p.Val[static_cast<size_t>(p.Refined[j])] += dx[j];
    RefAppEq(p);
    CalcUpdate(s, p);
  }
  const size_t nph = pr.Pat.empty() ? 0 : pr.Pat[0].P.Phases.size();
  std::vector<std::array<double, 6>> g(nph);
  std::vector<char> metric(nph, 0);
  for (size_t ph = 0; ph < nph; ++ph) g[ph] = PwdRecMetric(pr.Pat[0].P.Phases[ph].Cell);
  for (size_t j = 0; j < pr.Par.size(); ++j) {
    const auto& q = pr.Par[j];
    const double d = dx[nr + j];
    RietPattern& t = pr.Pat[static_cast<size_t>(q.Pattern)];
    PwdPatternData& pp = t.P;
    const size_t iph = static_cast<size_t>(q.Phase);
    switch (q.Kind) {
      case RvScale: t.Scale[iph] += d; break;
      case RvBckg: PwdBckgRef(pp.Bckg, q.Index) += d; break;
      case RvZero: (pp.Tof ? pp.TofZero : pp.Zero) += d; break;  // TOF: us
      case RvSyCos: pp.SyCos += d; break;
      case RvSySin: pp.SySin += d; break;
      case RvLam: {
        const double f = (pp.Lam[0] + d) / pp.Lam[0];
        pp.Lam[0] *= f, pp.Lam[1] *= f;
        break;
      }
      case RvMetric: {
        const auto b = PwdMetricBasis(pp.Phases[iph].Sym)[static_cast<size_t>(q.Index)];
        for (size_t k = 0; k < 6; ++k) g[iph][k] += d * b[k];
        metric[iph] = 1;
        break;
      }
      case RvWidth:
        if (double* w = PwdWidthRef(pp.Phases[iph].Prof, q.Index)) *w += d;
        break;
      case RvAsym: pp.Phases[iph].Prof.Asym[static_cast<size_t>(q.Index)] += d; break;
      case RvPref: t.Pref[iph] += d; break;
      case RvBroad:
        if (double* w = PwdBroadRef(pp.Phases[iph].Broad, q.Index)) *w += d;
        break;
      case RvTofX: pp.TofX[static_cast<size_t>(q.Index)] += d; break;
      case RvModVec: pp.Phases[iph].QVec[static_cast<size_t>(q.Index / 3)][static_cast<size_t>(q.Index % 3)] += d; break;
      case RvRough: t.Rough[static_cast<size_t>(q.Index)] += d; break;
      case RvTofAbs: t.TofAbsC += d; break;
      default: break;
    }
  }
  for (size_t ph = 0; ph < nph; ++ph)
    if (metric[ph]) {
      const auto c = PwdCellFromRecMetric(g[ph]);
      for (auto& t : pr.Pat) t.P.Phases[ph].Cell = c;
    }
  for (auto& t : pr.Pat) {
    PwdSetProfiles(t.P);
    PwdSetBackgroundPoints(t.P);
  }
  if (RietStructureFactors(pr, s, p, true)) return 1;
  RietSetIntensities(pr);
  return 0;
}

void RietStartScales(RietProblem& pr) {
  for (auto& t : pr.Pat) {
    PwdPatternData& p = t.P;
    const size_t nph = p.Phases.size();
    // Profile of each phase at unit scale, then sum w (Yo - B - sum S_ph Y_ph)**2 over S.
    std::vector<std::vector<double>> y(nph, std::vector<double>(p.X.size(), 0.));
    const std::vector<double> keep = t.Scale;
    for (size_t ph = 0; ph < nph; ++ph) {
      std::fill(t.Scale.begin(), t.Scale.end(), 0.);
      t.Scale[ph] = 1.;
      RietProblem one;
      one.Pat.push_back(t);
      RietSetIntensities(one);
      PwdSetPoints(one.Pat[0].P);
      for (size_t i = 0; i < p.X.size(); ++i) y[ph][i] = one.Pat[0].P.Yc[i] - p.Bg[i];
    }
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(nph), static_cast<Eigen::Index>(nph));
    Eigen::VectorXd b = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(nph));
    for (size_t i = 0; i < p.X.size(); ++i) {
      if (!p.Use.empty() && !p.Use[i]) continue;
      const double w = 1. / (p.Sig[i] * p.Sig[i]);
      for (size_t u = 0; u < nph; ++u) {
        b(static_cast<Eigen::Index>(u)) += w * y[u][i] * (p.Yo[i] - p.Bg[i]);
        for (size_t v = 0; v < nph; ++v) a(static_cast<Eigen::Index>(u), static_cast<Eigen::Index>(v)) += w * y[u][i] * y[v][i];
      }
    }
    const Eigen::VectorXd x = a.ldlt().solve(b);
    for (size_t ph = 0; ph < nph; ++ph) {
      const double v = x(static_cast<Eigen::Index>(ph));
      t.Scale[ph] = std::isfinite(v) && v > 0. ? v : keep[ph] > 0. ? keep[ph] : 1e-6;
    }
  }
  RietSetIntensities(pr);
}

std::vector<double> RietCellMass(const CalcSetup& s, const BasicData& b) {
  std::vector<double> m(s.Atoms.size(), 0.);
  for (size_t ph = 0; ph < s.Atoms.size() && ph < s.Symm.size(); ++ph) {
    const CalcSymm& cs = s.Symm[ph];
    const double nops = cs.NOp * (cs.Centro ? 2. : 1.) * static_cast<double>(std::max<size_t>(cs.Centr.size(), 1));
    const CalcAtoms& ca = s.Atoms[ph];
    for (int a = 0; a < ca.N - ca.NMol; ++a) {
      const size_t k = static_cast<size_t>(a);
      const auto& types = b.Phase[ph].AtTypeData;
      const size_t ty = static_cast<size_t>(ca.Type[k]);
      const double w = ty < types.size() && types[ty].AtWeight ? *types[ty].AtWeight : 0.;
      m[ph] += ca.Occ[k] * nops * w;
    }
  }
  return m;
}

std::vector<double> RietBraggR(const RietProblem& pr, int k, std::vector<double>* io) {
  const RietPattern& t = pr.Pat[static_cast<size_t>(k)];
  const PwdPatternData& p = t.P;
  const size_t nph = p.Phases.size();
  std::vector<double> sd(nph, 0.), so(nph, 0.);
  if (io) io->assign(p.Refl.size(), 0.);
  for (size_t r = 0; r < p.Refl.size(); ++r) {
    const auto& rf = p.Refl[r];
    // I_obs = I_calc sum_i Phi_ri (Yo_i - B_i) / (Yc_i - B_i) / sum_i Phi_ri.
    double sw = 0., swq = 0.;
    for (int c = 0; c < p.NLam; ++c) {
      const size_t cc = static_cast<size_t>(c);
      for (int i = rf.First[cc]; i <= rf.Last[cc]; ++i) {
        const size_t ii = static_cast<size_t>(i);
        if (!p.Use.empty() && !p.Use[ii]) continue;
        const double phi = rf.I[cc] * rf.Lp[cc] * Prfl(rf.Pk[cc], p.X[ii] - rf.Pos[cc], false).Value;
        const double yc = p.Yc[ii] - p.Bg[ii];
        if (yc <= 0.) continue;
        sw += phi, swq += phi * (p.Yo[ii] - p.Bg[ii]) / yc;
      }
    }
    if (sw <= 0.) continue;
    const double ic = rf.I[0], iob = ic * swq / sw;
    if (io) (*io)[r] = iob;
    const size_t iph = static_cast<size_t>(rf.Phase);
    sd[iph] += std::abs(iob - ic), so[iph] += std::abs(iob);
  }
  std::vector<double> rb(nph, 0.);
  for (size_t ph = 0; ph < nph; ++ph) rb[ph] = so[ph] > 0. ? 100. * sd[ph] / so[ph] : 0.;
  return rb;
}

std::vector<double> RietWeightFractions(const RietProblem& pr, int k, const CalcSetup& s) {
  const RietPattern& t = pr.Pat[static_cast<size_t>(k)];
  const size_t nph = t.P.Phases.size();
  std::vector<double> w(nph, 0.);
  double sum = 0.;
  for (size_t ph = 0; ph < nph; ++ph) {
    const double v = ph < s.Volume.size() ? s.Volume[ph] : 0.;
    const double m = ph < pr.CellMass.size() ? pr.CellMass[ph] : 0.;
    w[ph] = t.Scale[ph] * m * v;
    sum += w[ph];
  }
  for (double& x : w) x = sum > 0. ? x / sum : 0.;
  return w;
}

RietResult RefRietveldFit(RietProblem& pr, CalcSetup& s, RefParams& p, int cycles) {
  RietResult res;
  RietSetParams(pr);
  for (auto& t : pr.Pat) {
    for (size_t ph = 0; ph < t.P.Phases.size(); ++ph) {
      bool asym = false;
      for (const auto& q : pr.Par) asym = asym || (q.Kind == RvAsym && q.Phase == static_cast<int>(ph));
      t.P.Phases[ph].Prof.DerivAsym = asym;
      t.P.Phases[ph].Decompose = false;
    }
    PwdSetProfiles(t.P);
    PwdSetBackgroundPoints(t.P);
  }
  const int nref = p.NRef;
  const Eigen::Index nt = static_cast<Eigen::Index>(static_cast<size_t>(nref) + pr.Par.size());
  if (RietStructureFactors(pr, s, p, true)) {
    res.Listing.push_back("The structure factors of the powder reflections failed.");
    return res;
  }
  RietSetIntensities(pr);
  std::vector<double> nm, rhs;
  std::set<int> blockedNames;  // blocked parameters of any cycle
  double lambda = 1e-3;
  Eigen::MatrixXd cov;
  auto sum = [&]() {
    double v = 0.;
    for (auto& t : pr.Pat) {
      PwdSetPoints(t.P);
      for (size_t i = 0; i < t.P.X.size(); ++i)
        if (t.P.Use.empty() || t.P.Use[i]) v += std::pow((t.P.Yo[i] - t.P.Yc[i]) / t.P.Sig[i], 2);
    }
    const double sc = RefLoopSingle(pr, s, p, nullptr, nullptr);
    return v + RietRestraints(pr, p, nullptr, nullptr).WSum + (sc < 0. ? 1e300 : sc);
  };
  for (int cyc = 1; cyc <= std::max(cycles, 0) && nt > 0; ++cyc) {
    // Powder points (clearing the equations), single-crystal reflections, restraints.
    std::vector<double> gross;
    const double sp = RefLoopRietveld(pr, nref, nm, rhs, &gross);
    const double sc0 = RefLoopSingle(pr, s, p, &nm, &rhs);
    if (sc0 < 0.) {
      res.Listing.push_back("The structure factors of the single-crystal reflections failed.");
      break;
    }
    const double s0 = sp + sc0 + RietRestraints(pr, p, &nm, &rhs).WSum;
    Eigen::Map<Eigen::MatrixXd> n0(nm.data(), nt, nt);
    Eigen::Map<Eigen::VectorXd> b0(rhs.data(), nt);
    const Eigen::VectorXd dg = n0.diagonal().cwiseMax(1e-300).cwiseSqrt().cwiseInverse();
    Eigen::MatrixXd ns = dg.asDiagonal() * n0 * dg.asDiagonal();
    Eigen::VectorXd bs = dg.asDiagonal() * b0;
    // Parameters the data do not determine are blocked (no shift, s.u. 0):
    // a metric direction whose column cancels between reflections of equal
    // intensity at one position (a metric of lower symmetry than the
    // intensities, e.g. g*12 when (h k l) and (h -k l) are alike), and those
    // that SmiHandleSing finds dependent on the others.
    std::vector<char> block(static_cast<size_t>(nt), 0);
    for (Eigen::Index j = 0; j < nt; ++j)
      block[static_cast<size_t>(j)] = n0(j, j) <= kRietCancel * gross[static_cast<size_t>(j)] || n0(j, j) <= 0.;
    {
      std::vector<double> packed(static_cast<size_t>(nt * (nt + 1) / 2));
      for (Eigen::Index i = 0; i < nt; ++i)
        for (Eigen::Index j = 0; j <= i; ++j)
          packed[static_cast<size_t>(i * (i + 1) / 2 + j)] =
              block[static_cast<size_t>(i)] || block[static_cast<size_t>(j)] ? (i == j ? 1. : 0.) : ns(i, j);
      for (int j : SmiHandleSing(packed, static_cast<int>(nt))) block[static_cast<size_t>(j)] = 1;
    }
    for (Eigen::Index j = 0; j < nt; ++j)
      if (block[static_cast<size_t>(j)]) {
        ns.row(j).setZero(), ns.col(j).setZero(), ns(j, j) = 1., bs(j) = 0.;
        blockedNames.insert(static_cast<int>(j));
      }
    cov = dg.asDiagonal() * ns.ldlt().solve(Eigen::MatrixXd::Identity(nt, nt)) * dg.asDiagonal();
    for (Eigen::Index j = 0; j < nt; ++j)
      if (block[static_cast<size_t>(j)]) cov.row(j).setZero(), cov.col(j).setZero();
    // Damped step; the damping grows while the sum does not decrease.
    const RietProblem keepPr = pr;
    const std::vector<double> keepVal = p.Val;
    double s1 = s0;
    bool ok = false;
    for (int tr = 0; tr < 10; ++tr) {
      Eigen::MatrixXd a = ns;
      a.diagonal().array() += lambda;
      const Eigen::VectorXd dx = dg.asDiagonal() * a.ldlt().solve(bs);
      std::vector<double> d(dx.data(), dx.data() + dx.size());
      if (RietShift(pr, s, p, d) == 0) {
        s1 = sum();
        if (std::isfinite(s1) && s1 <= s0) {
          lambda = std::max(lambda * 0.3, 1e-7);
          ok = true;
          break;
        }
      }
      pr = keepPr;
      p.Val = keepVal;
      CalcUpdate(s, p);
      lambda *= 10.;
      s1 = s0;
    }
    std::string rl;
    for (size_t k = 0; k < pr.Pat.size(); ++k) {
      const PwdRValues r = PwdRFactors(pr.Pat[k].P, 0);
      rl += fmt::format("{}Rwp[{}] {:.2f}", k ? "  " : "", k + 1, r.Rwp);
    }
    res.Listing.push_back(fmt::format("Cycle {:3d}: chi2 sum {:.6g}  {}", cyc, s1, rl));
    res.Cycles = cyc;
    if (!ok || (s0 > 0. && std::abs(s0 - s1) < 1e-6 * s0 && cyc > 2)) break;
  }
  if (!blockedNames.empty()) {
    std::string names;
    for (int j : blockedNames)
      names += (names.empty() ? "" : ", ") +
               (j < nref ? p.Info[static_cast<size_t>(p.Refined[static_cast<size_t>(j)])].Label : pr.Par[static_cast<size_t>(j - nref)].Name);
    res.Listing.push_back("Parameters blocked (not determined by the data): " + names);
  }
  (void)RietStructureFactors(pr, s, p, false);
  RietSetIntensities(pr);
  (void)sum();
  res.Restr = RietRestraints(pr, p, nullptr, nullptr);
  const double singleSum = std::max(RefLoopSingle(pr, s, p, nullptr, nullptr, &res.SingleR), 0.);
  // R values; chi**2 over all patterns for the s.u.
  double swd = 0.;
  for (size_t k = 0; k < pr.Pat.size(); ++k) {
    const PwdRValues r = PwdRFactors(pr.Pat[k].P, 0);
    res.NPoints += r.N;
    swd += r.Chi2 * std::max(r.N, 1);
  }
  for (const RietSingle& b : pr.Single) res.NPoints += static_cast<int>(b.Refl.size());
  swd += singleSum;
  res.NPar = static_cast<int>(nt);
  res.Chi2 = swd / std::max(1, res.NPoints - res.NPar);
  const double npShare = res.NPoints > 0 ? static_cast<double>(res.NPar) / res.NPoints : 0.;
  for (size_t k = 0; k < pr.Pat.size(); ++k) {
    // Each pattern's share of the parameters for its own Rexp and chi**2.
    const int npk = static_cast<int>(std::lround(npShare * static_cast<double>(pr.Pat[k].P.X.size())));
    res.R.push_back(PwdRFactors(pr.Pat[k].P, npk));
    res.RBragg.push_back(RietBraggR(pr, static_cast<int>(k)));
    res.WFrac.push_back(RietWeightFractions(pr, static_cast<int>(k), s));
  }
  const bool haveCov = cov.rows() == nt && nt > 0;
  for (int j = 0; j < nref && haveCov; ++j)
    p.Sig[static_cast<size_t>(p.Refined[static_cast<size_t>(j)])] = std::sqrt(std::max(cov(j, j), 0.) * res.Chi2);
  for (size_t j = 0; j < pr.Par.size() && haveCov; ++j) {
    const Eigen::Index jj = static_cast<Eigen::Index>(static_cast<size_t>(nref) + j);
    pr.Par[j].Su = std::sqrt(std::max(cov(jj, jj), 0.) * res.Chi2);
  }
  // Cells and their s.u. through the metric.
  const size_t nph = pr.Pat.empty() ? 0 : pr.Pat[0].P.Phases.size();
  res.Cell.assign(nph, {});
  res.CellSu.assign(nph, {});
  for (size_t ph = 0; ph < nph; ++ph) {
    res.Cell[ph] = pr.Pat[0].P.Phases[ph].Cell;
    std::vector<size_t> idx;
    for (size_t j = 0; j < pr.Par.size(); ++j)
      if (pr.Par[j].Kind == RvMetric && pr.Par[j].Phase == static_cast<int>(ph)) idx.push_back(j);
    if (idx.empty() || !haveCov) continue;
    const auto basis = PwdMetricBasis(pr.Pat[0].P.Phases[ph].Sym);
    const auto g0 = PwdRecMetric(res.Cell[ph]);
    const auto c0 = PwdCellFromRecMetric(g0);
    Eigen::MatrixXd jac(6, static_cast<Eigen::Index>(idx.size()));
    for (size_t a = 0; a < idx.size(); ++a) {
      auto g = g0;
      const double h = 1e-7 * std::max(std::abs(g0[0]), 1e-6);
      for (size_t k = 0; k < 6; ++k) g[k] += h * basis[static_cast<size_t>(pr.Par[idx[a]].Index)][k];
      const auto c1 = PwdCellFromRecMetric(g);
      for (size_t k = 0; k < 6; ++k) jac(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(a)) = (c1[k] - c0[k]) / h;
    }
    Eigen::MatrixXd sub(static_cast<Eigen::Index>(idx.size()), static_cast<Eigen::Index>(idx.size()));
    for (size_t a = 0; a < idx.size(); ++a)
      for (size_t b = 0; b < idx.size(); ++b)
        sub(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b)) =
            cov(static_cast<Eigen::Index>(static_cast<size_t>(nref) + idx[a]), static_cast<Eigen::Index>(static_cast<size_t>(nref) + idx[b])) * res.Chi2;
    const Eigen::MatrixXd cc = jac * sub * jac.transpose();
    for (size_t k = 0; k < 6; ++k) res.CellSu[ph][k] = std::sqrt(std::max(cc(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(k)), 0.));
  }
  return res;
}

}  // namespace tarn
