// The powder loop of the least-squares cycle and the Le Bail fit.
#include "refine/refine_pwd.hpp"
#include "model/scatdata.hpp"
#include "model/session.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"
#include "util/real_text.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <sstream>

namespace tarn {

std::vector<std::array<double, 6>> PwdMetricBasis(const PhaseSymmetry& s) {
  std::vector<Eigen::Matrix3d> rs;
  for (int k = 0; k < s.NSymm; ++k) rs.push_back(ToEigen(s.Op[static_cast<size_t>(k)].RM));
  if (rs.empty()) rs.push_back(Eigen::Matrix3d::Identity());
  std::vector<std::array<double, 6>> basis;
  const int ij[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  for (int e = 0; e < 6; ++e) {
    Eigen::Matrix3d m = Eigen::Matrix3d::Zero();
    m(ij[e][0], ij[e][1]) = m(ij[e][1], ij[e][0]) = 1.;
    Eigen::Matrix3d avg = Eigen::Matrix3d::Zero();
    for (const auto& r : rs) avg += r * m * r.transpose();
    avg /= static_cast<double>(rs.size());
    std::array<double, 6> v;
    for (int k = 0; k < 6; ++k) v[static_cast<size_t>(k)] = avg(ij[k][0], ij[k][1]);
    for (const auto& b : basis) {
      double d = 0.;
      for (int k = 0; k < 6; ++k) d += v[static_cast<size_t>(k)] * b[static_cast<size_t>(k)];
      for (int k = 0; k < 6; ++k) v[static_cast<size_t>(k)] -= d * b[static_cast<size_t>(k)];
    }
    double n = 0.;
    for (double x : v) n += x * x;
    if (n < 1e-12) continue;
    for (double& x : v) x /= std::sqrt(n);
    basis.push_back(v);
  }
  return basis;
}

namespace {



// Applies the shifts dx of the parameters and recomputes the profiles.
void Shift(PwdPatternData& p, const std::vector<PwdFitParam>& par, const Eigen::VectorXd& dx) {
  std::vector<std::array<double, 6>> g(p.Phases.size());
  for (size_t ph = 0; ph < p.Phases.size(); ++ph) g[ph] = PwdRecMetric(p.Phases[ph].Cell);
  for (size_t j = 0; j < par.size(); ++j) {
    const auto& q = par[j];
    const double d = dx(static_cast<Eigen::Index>(j));
    auto& ph = p.Phases[static_cast<size_t>(q.Phase)];
    switch (q.Kind) {
      case PkBckg: PwdBckgRef(p.Bckg, q.Index) += d; break;
      case PkZero: (p.Tof ? p.TofZero : p.Zero) += d; break;
      case PkTofX: p.TofX[static_cast<size_t>(q.Index)] += d; break;
      case PkSyCos: p.SyCos += d; break;
      case PkSySin: p.SySin += d; break;
      case PkLam: {
        const double l0 = p.Lam[0];
        p.Lam[0] += d;
        if (p.NLam > 1 && l0 > 0.) p.Lam[1] *= p.Lam[0] / l0;
        break;
      }
      case PkMetric: {
        const auto b = PwdMetricBasis(ph.Sym)[static_cast<size_t>(q.Index)];
        for (int k = 0; k < 6; ++k) g[static_cast<size_t>(q.Phase)][static_cast<size_t>(k)] += d * b[static_cast<size_t>(k)];
        break;
      }
      case PkWidth:
        if (double* w = PwdWidthRef(ph.Prof, q.Index)) *w += d;
        break;
      case PkBroad:
        if (double* w = PwdBroadRef(ph.Broad, q.Index)) *w += d;
        break;
      case PkModVec: ph.QVec[static_cast<size_t>(q.Index / 3)][static_cast<size_t>(q.Index % 3)] += d; break;
      case PkFund:  // one geometry per block: every phase's copy
        for (auto& x : p.Phases) PwdFaRef(x.Prof.FaGeom, q.Index) += d;
        break;
      default: ph.Prof.Asym[static_cast<size_t>(q.Index)] += d; break;
    }
  }
  for (size_t ph = 0; ph < p.Phases.size(); ++ph) {
    bool metric = false;
    for (const auto& q : par) metric = metric || (q.Kind == PkMetric && q.Phase == static_cast<int>(ph));
    if (metric) {
      const auto c = PwdCellFromRecMetric(g[ph]);
      for (int k = 0; k < 6; ++k) p.Phases[ph].Cell[static_cast<size_t>(k)] = c[static_cast<size_t>(k)];
    }
  }
  PwdSetProfiles(p);
  PwdSetBackgroundPoints(p);
}

// Smallest squared Gaussian width (sigma**2 = U tan**2 th + V tan th + W +
// P / cos**2 th, or its time-of-flight form) and Lorentzian width over the
// reflections of the pattern, i.e. over the measured range. Sigma2 < 0 is
// evaluated through its absolute value by the profile, so a fit could pass
// through it to widths of no physical meaning.
std::pair<double, double> MinWidths(const PwdPatternData& p) {
  double g = 1e300, l = 1e300;
  for (const auto& r : p.Refl)
    for (int c = 0; c < p.NLam; ++c) {
      if (r.Last[static_cast<size_t>(c)] < r.First[static_cast<size_t>(c)]) continue;
      const PwdPeak& pk = r.Pk[static_cast<size_t>(c)];
      g = std::min(g, pk.Sigma2), l = std::min(l, pk.HL);
    }
  return {g, l};
}

// A shift is refused when it makes a width non-positive inside the measured
// range (and the start was not already so there).
bool WidthsWorse(const std::pair<double, double>& before, const std::pair<double, double>& after) {
  return (after.first <= 0. && after.first < before.first) || (after.second < 0. && after.second < before.second);
}

// Partition of the fit: the decomposition with its own stopping rule, then the
// same iteration continued to a tight ratio, so that the least-squares step on
// the profile works against converged intensities (the partition converges
// slowly where reflections overlap, and a loose one stalls the fit).
int FitPartition(PwdPatternData& p) {
  constexpr double kTightStop = 1. + 1e-7;
  constexpr int kTightMax = 2000;
  return PwdLeBail(p) + PwdLeBail(p, kTightStop, kTightMax);
}

}  // namespace

std::vector<PwdFitParam> RefSetPwd(const PwdPatternData& p, const PwdFitFlags& f) {
  std::vector<PwdFitParam> par;
  // Index Coef.size(): the scale of the manual background.
  const size_t nb = p.Bckg.Coef.size() + (p.Bckg.Manual.empty() ? 0 : 1);
  for (size_t k = 0; k < nb; ++k)
    if (k < f.Bckg.size() && f.Bckg[k])
      par.push_back({PkBckg, 0, static_cast<int>(k), k < p.Bckg.Coef.size() ? fmt::format("bckg{}", k + 1) : "bckgman"});
  if (f.Zero) par.push_back({PkZero, 0, 0, "zero"});
  if (f.SyCos) par.push_back({PkSyCos, 0, 0, "sycos"});
  if (f.SySin) par.push_back({PkSySin, 0, 0, "sysin"});
  if (f.Lam && !p.Tof) par.push_back({PkLam, 0, 0, "lambda"});
  for (int k = 0; k < 7 && p.TofCross; ++k)
    if (f.TofX[static_cast<size_t>(k)]) par.push_back({PkTofX, 0, k, kPwdTofXNames[k]});
  // Fundamental-approach geometry: refined where in use by a phase of method 4.
  const auto fa = std::find_if(p.Phases.begin(), p.Phases.end(), [&](const PwdPhaseData& x) {
    return !p.Tof && x.Prof.Asymm == PwdAsymFundamental && x.Prof.FaGeomStep > 0.;
  });
  for (int k = 0; k < kPwdFaNPar && fa != p.Phases.end(); ++k)
    if (f.Fund[static_cast<size_t>(k)] && PwdFaRef(const_cast<PwdFaGeometry&>(fa->Prof.FaGeom), k) > 0.)
      par.push_back({PkFund, 0, k, kPwdFaNames[k]});
  for (size_t ph = 0; ph < p.Phases.size(); ++ph) {
    const int iph = static_cast<int>(ph);
    if (ph < f.Cell.size() && f.Cell[ph]) {
      const auto b = PwdMetricBasis(p.Phases[ph].Sym);
      for (size_t j = 0; j < b.size(); ++j) par.push_back({PkMetric, iph, static_cast<int>(j), fmt::format("g*{}", j + 1)});
    }
    if (ph < f.Width.size())
      for (int k = 0; k < PwdNWidth; ++k)
        if (f.Width[ph][static_cast<size_t>(k)] && !(p.Tof && k == PwdYe)) par.push_back({PkWidth, iph, k, kPwdWidthNames[k]});
    if (ph < f.Asym.size())
      for (int k = 0; k < std::min(kPwdMaxAsym, std::max(p.Phases[ph].Prof.NAsym, 0)); ++k)
        if (f.Asym[ph][static_cast<size_t>(k)]) par.push_back({PkAsym, iph, k, fmt::format("asym{}", k + 1)});
    if (ph < f.Broad.size())
      for (int k = 0; k < PwdBroadCount(p.Phases[ph].Broad) && k < static_cast<int>(f.Broad[ph].size()); ++k)
        if (f.Broad[ph][static_cast<size_t>(k)]) par.push_back({PkBroad, iph, k, PwdBroadName(p.Phases[ph].Broad, k)});
    for (size_t k = 0; ph < f.ModVec.size() && k < f.ModVec[ph].size() && k < 3 * p.Phases[ph].QVec.size(); ++k)
      if (f.ModVec[ph][k]) par.push_back({PkModVec, iph, static_cast<int>(k), fmt::format("q{}{}", k / 3 + 1, "xyz"[k % 3])});
  }
  return par;
}

double RefLoopPwd(PwdPatternData& p, const std::vector<PwdFitParam>& par, std::vector<double>& nm,
                  std::vector<double>& rhs) {
  const size_t np = par.size(), n = p.X.size();
  // Derivative rows of the points (n x np) and Ycalc.
  std::vector<double> der(n * np, 0.);
  p.Yc = p.Bg;
  std::vector<double> dbg(p.Bckg.Coef.size() + 1);
  // Metric bases of the phases, for the derivatives of 1/d**2.
  std::vector<std::vector<std::array<double, 6>>> basis(p.Phases.size());
  for (const auto& q : par)
    if (q.Kind == PkMetric && basis[static_cast<size_t>(q.Phase)].empty())
      basis[static_cast<size_t>(q.Phase)] = PwdMetricBasis(p.Phases[static_cast<size_t>(q.Phase)].Sym);
  std::array<double, PwdNWidth> wd{};
  // Fundamental-approach geometry: derivatives by the 1.1 p rule, each from
  // the peak of a profile with the value raised by its step.
  std::vector<size_t> fund;
  for (size_t j = 0; j < np; ++j)
    if (par[j].Kind == PkFund) fund.push_back(j);
  std::vector<PwdProfile> fprof(fund.size());
  std::vector<PwdPeak> fpk(fund.size());
  std::vector<double> fstep(fund.size());
  for (const auto& r : p.Refl)
    for (int c = 0; c < p.NLam; ++c) {
      const size_t cc = static_cast<size_t>(c);
      const PwdPeak& pk = r.Pk[cc];
      const PwdProfile& prof = p.Phases[static_cast<size_t>(r.Phase)].Prof;
      const bool faRefl = !fund.empty() && prof.Asymm == PwdAsymFundamental && r.Last[cc] >= r.First[cc];
      for (size_t u = 0; u < fund.size() && faRefl; ++u) {
        fprof[u] = prof;
        double& v = PwdFaRef(fprof[u].FaGeom, par[fund[u]].Index);
        fstep[u] = std::abs(v) > 1e-9 ? 0.1 * v : 1e-4;
        v += fstep[u];
        SetProfFun(fpk[u], fprof[u], r.Pos[cc], 1. / std::sqrt(r.Q), r.Br.A, r.Br.B, r.Br.XAdd, r.Br.YAdd);
      }
      const double f = r.I[cc] * r.Lp[cc];
      double dposdq = 0.;
      (void)PwdPosition(p, r.Q, c, &dposdq);
      const double th = 0.5 * r.Pos[cc] * kDeg;
      const double glp = PwdLpSlope(p, r.Pos[cc]);  // Lp moves with the peak
      // d(2theta_c)/d(lambda_1) with lambda_c / lambda_1 held: 2 s / (lambda_1 cos theta).
      const double sl = std::min(0.5 * p.Lam[cc] * std::sqrt(r.Q), 0.999999);
      const double dlam = p.Tof ? 0. : 2. * sl / (p.Lam[0] * std::sqrt(1. - sl * sl) * kDeg);
      const auto hv = PwdReflVector(p.Phases[static_cast<size_t>(r.Phase)], r);
      std::array<double, 7> dtof{};
      if (p.TofCross) (void)PwdTofCrossPosition(p, r.Q, nullptr, dtof.data());
      for (int i = r.First[cc]; i <= r.Last[cc]; ++i) {
        const size_t ii = static_cast<size_t>(i);
        const PwdProfValue v = Prfl(pk, p.X[ii] - r.Pos[cc], true);
        p.Yc[ii] += f * v.Value;
        double* row = der.data() + ii * np;
        const double dpos = f * (glp * v.Value - v.dDelta);  // d Yc / d position
        for (size_t j = 0; j < np; ++j) {
          const auto& q = par[j];
          if ((q.Kind == PkMetric || q.Kind == PkWidth || q.Kind == PkAsym || q.Kind == PkBroad || q.Kind == PkModVec) &&
              q.Phase != r.Phase)
            continue;
          switch (q.Kind) {
            case PkZero: row[j] += dpos; break;
            case PkSyCos: row[j] += dpos * std::cos(th); break;
            case PkSySin: row[j] += dpos * std::sin(2. * th); break;
            case PkLam: row[j] += dpos * dlam; break;
            case PkMetric:
              row[j] += dpos * dposdq * PwdQ(basis[static_cast<size_t>(r.Phase)][static_cast<size_t>(q.Index)], hv);
              break;
            case PkWidth:
              PwdWidthDerivs(pk, v, wd);
              row[j] += f * wd[static_cast<size_t>(q.Index)];
              break;
            case PkAsym: row[j] += f * v.dAsym[static_cast<size_t>(q.Index)]; break;
            case PkBroad: row[j] += f * PwdBroadDeriv(r, c, v, q.Index); break;
            case PkModVec: row[j] += dpos * dposdq * PwdQVecDeriv(p, r, q.Index); break;
            case PkTofX: row[j] += dpos * dtof[static_cast<size_t>(q.Index)]; break;
            case PkFund:
              if (faRefl) {
                const size_t u = static_cast<size_t>(std::find(fund.begin(), fund.end(), j) - fund.begin());
                row[j] += f * (Prfl(fpk[u], p.X[ii] - r.Pos[cc], false).Value - v.Value) / fstep[u];
              }
              break;
            default: break;
          }
        }
      }
    }
  nm.assign(np * np, 0.);
  rhs.assign(np, 0.);
  double s = 0.;
  std::vector<double> row(np);
  for (size_t i = 0; i < n; ++i) {
    if (!p.Use.empty() && !p.Use[i]) continue;
    const double w = 1. / (p.Sig[i] * p.Sig[i]), d = p.Yo[i] - p.Yc[i];
    s += w * d * d;
    std::copy(der.begin() + static_cast<long>(i * np), der.begin() + static_cast<long>((i + 1) * np), row.begin());
    if (!dbg.empty()) {
      (void)PwdGetBackground(p.Bckg, p.X[i], dbg.data(), &dbg.back());
      for (size_t j = 0; j < np; ++j)
        if (par[j].Kind == PkBckg) row[j] = dbg[static_cast<size_t>(par[j].Index)];
    }
    for (size_t j = 0; j < np; ++j) {
      if (row[j] == 0.) continue;
      rhs[j] += w * row[j] * d;
      for (size_t k = 0; k <= j; ++k) nm[j * np + k] += w * row[j] * row[k];
    }
  }
  for (size_t j = 0; j < np; ++j)
    for (size_t k = 0; k < j; ++k) nm[k * np + j] = nm[j * np + k];
  return s;
}

namespace {

// Standard uncertainties of a cell from the covariance (already times chi**2)
// of its metric coefficients, by propagation through the metric.
std::array<double, 6> CellSu(const PwdPhaseData& ph, const std::vector<int>& index,
                             const Eigen::MatrixXd& cov) {
  std::array<double, 6> su{};
  const auto n = static_cast<Eigen::Index>(index.size());
  if (n == 0) return su;
  const auto basis = PwdMetricBasis(ph.Sym);
  const auto g0 = PwdRecMetric(ph.Cell);
  const auto c0 = PwdCellFromRecMetric(g0);
  // Jacobian of the cell by the metric coefficients, by differences.
  Eigen::MatrixXd jac(6, n);
  for (Eigen::Index a = 0; a < n; ++a) {
    auto g = g0;
    const double h = 1e-7 * std::max(std::abs(g0[0]), 1e-6);
    for (int k = 0; k < 6; ++k) g[static_cast<size_t>(k)] += h * basis[static_cast<size_t>(index[static_cast<size_t>(a)])][static_cast<size_t>(k)];
    const auto c1 = PwdCellFromRecMetric(g);
    for (int k = 0; k < 6; ++k) jac(k, a) = (c1[static_cast<size_t>(k)] - c0[static_cast<size_t>(k)]) / h;
  }
  const Eigen::MatrixXd cc = jac * cov * jac.transpose();
  for (int k = 0; k < 6; ++k) su[static_cast<size_t>(k)] = std::sqrt(std::max(cc(k, k), 0.));
  return su;
}

}  // namespace

std::vector<PwdFitResult> RefLeBailFitJoint(std::vector<PwdPatternData>& ps,
                                            const std::vector<PwdFitFlags>& f, int cycles,
                                            int nlebail) {
  const size_t nb = ps.size();
  std::vector<PwdFitResult> res(nb);
  if (nb == 0) return res;
  // Phases whose cell is refined by any pattern: refined in all, from the
  // first pattern's cell.
  std::vector<char> cell(ps[0].Phases.size(), 0);
  for (size_t b = 0; b < nb; ++b)
    for (size_t ph = 0; ph < f[b].Cell.size() && ph < cell.size(); ++ph) cell[ph] = cell[ph] || f[b].Cell[ph];
  // The global parameter list: a metric coefficient once per phase, the rest per pattern.
  std::vector<std::vector<size_t>> at(nb);
  std::vector<std::pair<int, int>> metric;  // (phase, index) of the global metric coefficients
  size_t np = 0;
  for (size_t b = 0; b < nb; ++b) {
    PwdFitFlags fb = f[b];
    fb.Cell.assign(ps[b].Phases.size(), 0);
    for (size_t ph = 0; ph < fb.Cell.size() && ph < cell.size(); ++ph) {
      fb.Cell[ph] = cell[ph];
      if (cell[ph] && b > 0) ps[b].Phases[ph].Cell = ps[0].Phases[ph].Cell;
    }
    res[b].Params = RefSetPwd(ps[b], fb);
    for (const auto& q : res[b].Params) {
      size_t g = np;
      if (q.Kind == PkMetric) {
        const auto it = std::find(metric.begin(), metric.end(), std::make_pair(q.Phase, q.Index));
        if (it != metric.end()) {
          // The same coefficient of an earlier pattern.
          for (size_t b0 = 0; b0 < b; ++b0)
            for (size_t j = 0; j < res[b0].Params.size(); ++j)
              if (res[b0].Params[j].Kind == PkMetric && res[b0].Params[j].Phase == q.Phase && res[b0].Params[j].Index == q.Index)
                g = at[b0][j];
        } else {
          metric.emplace_back(q.Phase, q.Index);
        }
      }
      if (g == np) ++np;
      at[b].push_back(g);
    }
    for (size_t ph = 0; ph < ps[b].Phases.size(); ++ph) {
      bool asym = false;
      for (const auto& q : res[b].Params) asym = asym || (q.Kind == PkAsym && q.Phase == static_cast<int>(ph));
      ps[b].Phases[ph].Prof.DerivAsym = asym;
    }
    PwdSetProfiles(ps[b]);
    PwdSetBackgroundPoints(ps[b]);
  }
  const auto N = static_cast<Eigen::Index>(np);
  auto chi = [](const PwdPatternData& p) {
    double s = 0.;
    for (size_t i = 0; i < p.X.size(); ++i)
      if (p.Use.empty() || p.Use[i]) s += std::pow((p.Yo[i] - p.Yc[i]) / p.Sig[i], 2);
    return s;
  };
  std::vector<double> nm, rhs;
  double lambda = 1e-3;
  constexpr double kFitStop = 1e-7;  // relative decrease of the sum over one cycle
  double sEnd = 1e300;               // the sum at the end of the previous cycle
  Eigen::MatrixXd cov;
  for (int cyc = 1; cyc <= std::max(cycles, 0); ++cyc) {
    Eigen::MatrixXd n0 = Eigen::MatrixXd::Zero(N, N);
    Eigen::VectorXd b0 = Eigen::VectorXd::Zero(N);
    double s0 = 0.;
    for (size_t b = 0; b < nb; ++b) {
      if (cyc == 1 || nlebail <= 1 || (cyc - 1) % nlebail == 0) res[b].LeBailIterations += FitPartition(ps[b]);
      s0 += RefLoopPwd(ps[b], res[b].Params, nm, rhs);
      const size_t nl = res[b].Params.size();
      for (size_t j = 0; j < nl; ++j) {
        b0(static_cast<Eigen::Index>(at[b][j])) += rhs[j];
        for (size_t k = 0; k < nl; ++k)
          n0(static_cast<Eigen::Index>(at[b][j]), static_cast<Eigen::Index>(at[b][k])) += nm[j * nl + k];
      }
    }
    if (np == 0) break;
    Eigen::VectorXd dg = n0.diagonal().cwiseMax(1e-300).cwiseSqrt().cwiseInverse();
    const Eigen::MatrixXd ns = dg.asDiagonal() * n0 * dg.asDiagonal();
    const Eigen::VectorXd bs = dg.asDiagonal() * b0;
    // Damped step; the damping grows while the sum does not decrease.
    const std::vector<PwdPatternData> keep = ps;
    std::vector<std::pair<double, double>> w0(nb);
    for (size_t b = 0; b < nb; ++b) w0[b] = MinWidths(ps[b]);
    double s1 = s0;
    for (int t = 0; t < 12; ++t) {
      Eigen::MatrixXd a = ns;
      a.diagonal().array() += lambda;
      const Eigen::VectorXd dx = dg.asDiagonal() * a.ldlt().solve(bs);
      s1 = 0.;
      bool bad = false;
      for (size_t b = 0; b < nb && !bad; ++b) {
        Eigen::VectorXd dl(static_cast<Eigen::Index>(at[b].size()));
        for (size_t j = 0; j < at[b].size(); ++j) dl(static_cast<Eigen::Index>(j)) = dx(static_cast<Eigen::Index>(at[b][j]));
        Shift(ps[b], res[b].Params, dl);
        bad = WidthsWorse(w0[b], MinWidths(ps[b]));
        PwdSetPoints(ps[b]);
        s1 += chi(ps[b]);
      }
      if (!bad && s1 <= s0) {
        lambda = std::max(lambda * 0.3, 1e-7);
        break;
      }
      ps = keep;
      lambda *= 10.;
      s1 = s0;
    }
    // No step taken: the next partition changes the problem, so the damping
    // starts afresh rather than from the refused size.
    if (s1 == s0) lambda = 1e-3;
    cov = dg.asDiagonal() * ns.ldlt().solve(Eigen::MatrixXd::Identity(N, N)) * dg.asDiagonal();
    std::string line = fmt::format("Cycle {:3d}:", cyc);
    for (size_t b = 0; b < nb; ++b) {
      const PwdRValues r = PwdRFactors(ps[b], static_cast<int>(res[b].Params.size()));
      line += fmt::format("{}Rp {:.2f}  Rwp {:.2f}  Rexp {:.2f}  chi2 {:.3f}", b ? "; " : " ", r.Rp, r.Rwp, r.Rexp, r.Chi2);
      res[b].Cycles = cyc;
    }
    res[0].Listing.push_back(line);
    // Converged when the whole cycle (partition and step) no longer lowers
    // the sum: a step refused at every damping alone does not end the fit
    // while the partition still moves.
    if (cyc > 2 && sEnd - s1 <= kFitStop * sEnd) break;
    sEnd = s1;
  }
  // s.u.: sqrt(cov_jj chi2) with the chi**2 of all patterns together.
  double swd = 0.;
  int nobs = 0;
  for (size_t b = 0; b < nb; ++b) {
    res[b].LeBailIterations += FitPartition(ps[b]);
    (void)RefLoopPwd(ps[b], res[b].Params, nm, rhs);
    res[b].R = PwdRFactors(ps[b], static_cast<int>(res[b].Params.size()));
    swd += res[b].R.Chi2 * std::max(1, res[b].R.N - static_cast<int>(res[b].Params.size()));
    nobs += res[b].R.N;
  }
  const double gof2 = swd / std::max(1, nobs - static_cast<int>(np));
  const bool haveCov = cov.rows() == N && np > 0;
  for (size_t b = 0; b < nb; ++b) {
    auto& r = res[b];
    for (size_t j = 0; j < r.Params.size() && haveCov; ++j) {
      const auto g = static_cast<Eigen::Index>(at[b][j]);
      r.Params[j].Su = std::sqrt(std::max(cov(g, g), 0.) * gof2);
    }
    r.CellSu.assign(ps[b].Phases.size(), {});
    for (size_t ph = 0; ph < ps[b].Phases.size() && haveCov; ++ph) {
      std::vector<size_t> idx;
      std::vector<int> basisIndex;
      for (size_t j = 0; j < r.Params.size(); ++j)
        if (r.Params[j].Kind == PkMetric && r.Params[j].Phase == static_cast<int>(ph))
          idx.push_back(at[b][j]), basisIndex.push_back(r.Params[j].Index);
      Eigen::MatrixXd sub(static_cast<Eigen::Index>(idx.size()), static_cast<Eigen::Index>(idx.size()));
      for (size_t a = 0; a < idx.size(); ++a)
        for (size_t c = 0; c < idx.size(); ++c)
          sub(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(c)) = cov(static_cast<Eigen::Index>(idx[a]), static_cast<Eigen::Index>(idx[c])) * gof2;
      r.CellSu[ph] = CellSu(ps[b].Phases[ph], basisIndex, sub);
    }
  }
  return res;
}

PwdFitResult RefLeBailFit(PwdPatternData& p, const PwdFitFlags& f, int cycles, int nlebail) {
  std::vector<PwdPatternData> ps{std::move(p)};
  auto r = RefLeBailFitJoint(ps, {f}, cycles, nlebail);
  p = std::move(ps[0]);
  return std::move(r[0]);
}

void PwdWidthsToProfile(const PwdPhasePar& pp, PwdProfile& prof) {
  for (int k = 0; k < PwdNWidth; ++k)
    if (double* w = PwdWidthRef(prof, k)) *w = k < 4 ? pp.Gauss[static_cast<size_t>(k)].V : pp.Lor[static_cast<size_t>(k - 4)].V;
}

void PwdWidthsFromProfile(const PwdProfile& prof, PwdPhasePar& pp) {
  for (int k = 0; k < PwdNWidth; ++k)
    if (const double* w = PwdWidthRef(prof, k)) (k < 4 ? pp.Gauss[static_cast<size_t>(k)] : pp.Lor[static_cast<size_t>(k - 4)]).V = *w;
}

PwdPar* PwdBroadPar(PwdPhasePar& pp, int k) {
  size_t i = static_cast<size_t>(k);
  for (auto* v : {&pp.Strain, &pp.SphHarm, &pp.BroadHkl}) {
    if (i < v->size()) return &(*v)[i];
    i -= v->size();
  }
  return nullptr;
}

std::vector<char> PwdBroadFlags(const PwdPhasePar& pp) {
  std::vector<char> f;
  for (const auto* v : {&pp.Strain, &pp.SphHarm, &pp.BroadHkl})
    for (const auto& x : *v) f.push_back(x.Key ? 1 : 0);
  return f;
}

void PwdBroadStore(const PwdBroadening& b, PwdPhasePar& pp) {
  auto put = [](const std::vector<double>& v, std::vector<PwdPar>& rec) {
    rec.resize(v.size(), PwdPar{0., 1, 0.});
    for (size_t i = 0; i < v.size(); ++i) rec[i].V = v[i];
  };
  put(b.StrainPar, pp.Strain), put(b.ShPar, pp.SphHarm), put(b.HklPar, pp.BroadHkl);
}

std::array<char, 7> PwdTofXFlags(const PwdBlockPar& bp) {
  std::array<char, 7> f{};
  for (size_t k = 0; k < 7; ++k) f[k] = (k < 5 ? bp.TofE[k].Key : bp.TofCross[k - 5].Key) ? 1 : 0;
  return f;
}

void PwdTofStore(const PwdPatternData& p, PwdBlockPar& bp) {
  if (!p.Tof) return;
  if (!p.TofCross) {
    bp.Tof[0].V = p.TofZero;
    return;
  }
  for (size_t k = 0; k < 7; ++k) (k < 5 ? bp.TofE[k] : bp.TofCross[k - 5]).V = p.TofX[k];
  bp.TofE[0].V += p.TofZero, bp.TofE[3].V += p.TofZero;
}

void PwdModVecStore(const PwdPhaseData& ph, PwdPhasePar& pp) {
  pp.ModVec.resize(3 * ph.QVec.size(), PwdPar{});
  for (size_t k = 0; k < pp.ModVec.size(); ++k) pp.ModVec[k].V = ph.QVec[k / 3][k % 3];
}

void PwdBroadFromM41(const PwdM41& m, int iph, int kpwd, PwdPhaseData& d, PwdPhasePar& pp) {
  PwdBroadening& b = d.Broad;
  b.Strain = m.Int("strain", 0, iph, kpwd);
  b.Size = m.Int("partbroad", 0, iph, kpwd);
  b.ShOrder = m.Int("spharp", 4, iph, kpwd);
  auto dir = [&](const char* key, std::array<double, 3>& v) {
    const PwdKey* k = m.Find(key, iph, kpwd);
    if (k == nullptr || k->Words.size() < 3) return false;
    for (size_t j = 0; j < 3; ++j) v[j] = ToReal(k->Words[j]).value_or(0.);
    return true;
  };
  std::array<double, 3> common{0., 0., 1.};
  (void)dir("dirbroad", common);
  if (!dir("dirbroadp", b.DirSize)) b.DirSize = common;
  if (!dir("dirbroads", b.DirStrain)) b.DirStrain = common;
  // "broadHKL" lines of the general section and of the phase's.
  int nph = 0;
  for (size_t s = 0; s < m.Sections.size(); ++s) {
    nph += m.Sections[s].Kind == "phase";
    if (s > 0 && !(m.Sections[s].Kind == "phase" && nph == iph)) continue;
    for (const auto& k : m.Sections[s].Keys)
      if (EqIgnoreCase(k.Key, "broadHKL") && k.Words.size() >= 3) {
        std::array<int, 3> h{};
        for (size_t j = 0; j < 3; ++j) h[j] = static_cast<int>(std::lround(ToReal(k.Words[j]).value_or(0.)));
        b.HklClass.push_back(h);
      }
  }
  auto take = [](std::vector<PwdPar>& rec, std::vector<double>& v) {
    for (size_t i = 0; i < v.size() && i < rec.size(); ++i) v[i] = rec[i].V;
  };
  // Values first (the setup keeps them), then the counts of the class.
  b.StrainPar.assign(pp.Strain.size(), 0.), b.ShPar.assign(pp.SphHarm.size(), 0.);
  b.HklPar.assign(pp.BroadHkl.size(), 0.);
  take(pp.Strain, b.StrainPar), take(pp.SphHarm, b.ShPar), take(pp.BroadHkl, b.HklPar);
  PwdBroadSetup(b, d.Sym, d.Cell);
  pp.Strain.resize(b.StrainPar.size(), PwdPar{0., 1, 0.});
  pp.SphHarm.resize(b.ShPar.size(), PwdPar{0., 1, 0.});
  pp.BroadHkl.resize(b.HklPar.size(), PwdPar{0., 1, 0.});
}

int PwdReadManualBackground(const std::string& file, PwdM41& m, ErrorRecord& err) {
  if (!FeFileExists(file)) return 0;
  std::string text;
  if (FeReadFile(file, text) != 0) {
    err = ErrorRecord::At(file, 0, "The manual background file cannot be read.");
    return 1;
  }
  std::vector<std::vector<std::pair<double, double>>> man;
  size_t blk = 0;
  int line = 0;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    ++line;
    const auto w = SplitWords(l);
    if (w.empty() || w[0][0] == '#') continue;
    if (EqIgnoreCase(w[0], "datblock")) {
      const auto k = w.size() == 2 ? ToInt(w[1]) : std::nullopt;
      if (!k || *k < 1) {
        err = ErrorRecord::At(file, line, "A powder block number (1, 2, ...) expected after datblock.", l);
        return 1;
      }
      blk = static_cast<size_t>(*k - 1);
      continue;
    }
    const auto x = w.size() == 2 ? ToReal(w[0]) : std::nullopt, y = w.size() == 2 ? ToReal(w[1]) : std::nullopt;
    if (!x || !y) {
      err = ErrorRecord::At(file, line, "Two numbers expected: position and background intensity.", l);
      return 1;
    }
    if (man.size() <= blk) man.resize(blk + 1);
    man[blk].emplace_back(*x, *y);
  }
  for (auto& v : man) std::sort(v.begin(), v.end());
  m.Manual = std::move(man);
  return 0;
}

int PwdPatternFromBlock(const M95Block& b, const std::vector<M95Refl>& pts, PwdM41& m, int kpwd,
                        const std::vector<PhaseBasic>& phases, PwdPatternData& p) {
  PwdBlockPar& bp = m.Blocks[static_cast<size_t>(kpwd - 1)];
  // "useeach" n: every n-th point from the first one.
  const size_t each = static_cast<size_t>(std::max(1, m.Int("useeach", 1, 0, kpwd)));
  for (size_t i = 0; i < pts.size(); i += each) {
    const M95Refl& r = pts[i];
    p.X.push_back(r.Geom[0]);
    p.Yo.push_back(r.I);
    p.Sig.push_back(r.SigI > 0. ? r.SigI : std::sqrt(std::max(std::abs(r.I), 1.)));
  }
  p.Tof = b.PwdMethod == 2;
  p.Radiation = b.RadType > 0 ? b.RadType : 1;
  p.Lam = {bp.Lam[0].V > 0. ? bp.Lam[0].V : b.Lambda, bp.Lam[1].V};
  p.NLam = !p.Tof && p.Lam[1] > 0. ? 2 : 1;
  p.Ratio = p.NLam > 1 ? b.KAlphaR : 0.;
  p.PolK = PwdPolK(b.MonAngle);
  p.Illum = m.Int("illum", 0, 0, kpwd);
  p.Zero = bp.Shift[0].V, p.SyCos = bp.Shift[1].V, p.SySin = bp.Shift[2].V;
  p.TofZero = bp.Tof[0].V, p.Difc = bp.Tof[1].V, p.Difa = bp.Tof[3].V;
  p.TofCross = p.Tof && m.Int("tofjason", 0, 0, kpwd) > 0;
  if (p.TofCross) {
    p.TofZero = 0.;
    for (size_t k = 0; k < 7; ++k) p.TofX[k] = k < 5 ? bp.TofE[k].V : bp.TofCross[k - 5].V;
  }
  p.WtLeBail = m.Int("wtlebail", 0, 0, kpwd);
  p.Bckg.Type = m.Int("bckgtype", 1, 0, kpwd);
  // "bckgnum" and "asymm" may have been changed since the parameters were
  // written: missing terms start at 0 and are refined, surplus ones dropped.
  const size_t nbg = static_cast<size_t>(std::max(0, m.Int("bckgnum", 6, 0, kpwd)));
  // "manbckg" > 0: the scale of the manual part follows the coefficients
  // (starting at 1, refined).
  const bool man = m.Int("manbckg", 0, 0, kpwd) > 0;
  const size_t had = bp.Bckg.size();
  bp.Bckg.resize(nbg + (man ? 1 : 0), PwdPar{0., 1, 0.});
  if (man && had <= nbg) bp.Bckg.back().V = 1.;
  bp.Asym.resize(static_cast<size_t>(PwdAsymCount(m.Int("asymm", 0, 1, kpwd))), PwdPar{});
  p.Bckg.Tof = p.Tof;
  for (size_t k = 0; k < nbg; ++k) p.Bckg.Coef.push_back(bp.Bckg[k].V);
  if (man) p.Bckg.ManScale = bp.Bckg.back().V;
  if (man && static_cast<size_t>(kpwd) <= m.Manual.size()) p.Bckg.Manual = m.Manual[static_cast<size_t>(kpwd - 1)];
  std::vector<std::array<double, 2>> skip;
  for (const auto& v : m.All("skipfrto", kpwd))
    if (v.size() >= 2) skip.push_back({v[0], v[1]});
  // "skipfrdl": limits in d (A), converted to the pattern's axis.
  for (const auto& v : m.All("skipfrdl", kpwd))
    if (v.size() >= 2 && v[0] > 0. && v[1] > 0.)
      skip.push_back({PwdPosition(p, 1. / (v[0] * v[0]), 0), PwdPosition(p, 1. / (v[1] * v[1]), 0)});
  PwdMakeSkipFlags(p, skip);
  if (p.Bckg.Coef.size() && std::all_of(p.Bckg.Coef.begin(), p.Bckg.Coef.end(), [](double x) { return x == 0.; })) {
    // A first background: the lowest intensity, as the constant term.
    double mn = 1e300;
    for (size_t i = 0; i < p.Yo.size(); ++i)
      if (p.Use[i]) mn = std::min(mn, p.Yo[i]);
    p.Bckg.Coef[0] = mn;
  }
  for (size_t ph = 0; ph < phases.size() && ph < bp.Phase.size(); ++ph) {
    const int iph = static_cast<int>(ph + 1);
    PwdPhaseData d;
    d.Name = phases[ph].Name;
    d.Sym = phases[ph].Symmetry;
    if (phases[ph].Magnetic) d.KMag = phases[ph].QMag;
    auto& pp = bp.Phase[ph];
    for (int k = 0; k < 6; ++k) d.Cell[static_cast<size_t>(k)] = pp.Cell[static_cast<size_t>(k)].V;
    PwdBroadFromM41(m, iph, kpwd, d, pp);
    // Modulation vectors: the record's, else the phase's (not refined).
    if (pp.ModVec.empty())
      for (const auto& q : phases[ph].Qi)
        for (size_t j = 0; j < 3; ++j) pp.ModVec.push_back({q[j], 0, 0.});
    for (size_t k = 0; k + 2 < pp.ModVec.size(); k += 3)
      d.QVec.push_back({pp.ModVec[k].V, pp.ModVec[k + 1].V, pp.ModVec[k + 2].V});
    d.MaxSat = m.Int("maxsat", 1, iph, kpwd);
    d.NoMixedSat = m.Int("nomixedsat", 0, iph, kpwd) > 0;
    d.Prof.ProfFun = m.Int("proffun", 3, iph, kpwd);
    d.Prof.Asymm = m.Int("asymm", 0, iph, kpwd);
    d.Prof.UseHS = m.Int("usehs", 0, iph, kpwd) != 0;
    d.Prof.Tof = p.Tof;
    PwdWidthsToProfile(pp, d.Prof);
    if (p.Tof) {
      // Rise and decay of the time-of-flight peak: instrument constants of
      // the reflection block (unset ones are 0).
      auto v = [](double x) { return x == kUnsetReal ? 0. : x; };
      d.Prof.Alpha0 = v(b.TofAlfa0), d.Prof.Alpha1 = v(b.TofAlfa1);
      d.Prof.Beta0 = v(b.TofBeta0), d.Prof.Beta1 = v(b.TofBeta1), d.Prof.BetaQ = v(b.TofBetaQ);
    }
    d.Prof.NAsym = static_cast<int>(std::min<size_t>(bp.Asym.size(), kPwdMaxAsym));
    for (int k = 0; k < d.Prof.NAsym; ++k) d.Prof.Asym[static_cast<size_t>(k)] = bp.Asym[static_cast<size_t>(k)].V;
    p.Cutoff = m.Real("cutoff", 8., iph, kpwd);
    p.CutMain = {m.Int("usecutoff", 0, iph, kpwd) != 0, m.Real("cutoffmn", 0., iph, kpwd), m.Real("cutoffmx", 0., iph, kpwd)};
    p.CutSat = {m.Int("usecutoffsat", 0, iph, kpwd) != 0, m.Real("cutoffsatmn", 0., iph, kpwd),
                m.Real("cutoffsatmx", 0., iph, kpwd)};
    p.Phases.push_back(d);
  }
  // Fundamental approach: the block's geometry in every phase of method 4,
  // tabulated at the mean step of the pattern.
  bool fa = false;
  for (const auto& d : p.Phases) fa = fa || (!p.Tof && d.Prof.Asymm == PwdAsymFundamental);
  if (fa) {
    if (bp.Fund.size() < static_cast<size_t>(kPwdFaNPar)) {
      PwdFaGeometry g0;
      for (size_t k = bp.Fund.size(); k < static_cast<size_t>(kPwdFaNPar); ++k)
        bp.Fund.push_back({PwdFaRef(g0, static_cast<int>(k)), 0, 0.});
    }
    const PwdFaGeometry g = PwdFaFromM41(m, kpwd);
    bp.Fund[0].V = g.RadPrim, bp.Fund[1].V = g.RadSec;
    const double step = p.X.size() > 1 ? (p.X.back() - p.X.front()) / static_cast<double>(p.X.size() - 1) : 0.;
    for (auto& d : p.Phases)
      if (d.Prof.Asymm == PwdAsymFundamental) d.Prof.FaGeom = g, d.Prof.FaGeomStep = std::abs(step);
  }
  return p.Phases.empty() ? 1 : 0;
}

PwdFaGeometry PwdFaFromM41(const PwdM41& m, int kpwd) {
  PwdFaGeometry g;
  const PwdBlockPar& bp = m.Blocks[static_cast<size_t>(kpwd - 1)];
  for (int k = 0; k < kPwdFaNPar && static_cast<size_t>(k) < bp.Fund.size(); ++k)
    PwdFaRef(g, k) = bp.Fund[static_cast<size_t>(k)].V;
  g.RadPrim = m.Real("radprim", g.RadPrim, 0, kpwd);
  g.RadSec = m.Real("radsec", g.RadSec, 0, kpwd);
  if (m.Int("usersw", 1, 0, kpwd) == 0) g.RecSlitWidth = 0.;
  g.FixedDivSlit = m.Int("usefdsa", 1, 0, kpwd) != 0;
  if (m.Int("usepsoll", 1, 0, kpwd) == 0) g.SollerPrim = 0.;
  if (m.Int("usessoll", 1, 0, kpwd) == 0) g.SollerSec = 0.;
  return g;
}

int PwdLamFile(const std::string& file, PwdPatternData& p, ErrorRecord& err) {
  std::string text;
  if (FeReadFile(file, text) != 0) {
    err = ErrorRecord::At(file, 0, "The wavelength-profile file cannot be opened.");
    return 1;
  }
  std::vector<std::array<double, 2>> lines;  // wavelength, relative intensity
  int no = 0;
  for (const auto& l : SplitOn(text, "\n")) {
    ++no;
    const auto w = SplitWords(Trim(l));
    if (w.empty() || w[0][0] == '#') continue;
    std::optional<double> lam = ToReal(w[0]), in = w.size() > 1 ? ToReal(w[1]) : std::nullopt;
    const bool width = w.size() < 3 || ToReal(w[2]).has_value();
    if (!lam || !in || *lam <= 0. || *in <= 0. || !width || w.size() > 3) {
      err = ErrorRecord::At(file, no, "A wavelength (A), a positive relative intensity and optionally a Lorentzian width expected.",
                            std::string(Trim(l)));
      return 1;
    }
    if (lines.size() == 2) {
      err = ErrorRecord::At(file, no, "expected at most two wavelength lines", std::string(Trim(l)));
      return 1;
    }
    lines.push_back({*lam, *in});
  }
  if (lines.empty()) {
    err = ErrorRecord::At(file, no, "A wavelength line expected.");
    return 1;
  }
  p.Lam = {lines[0][0], lines.size() > 1 ? lines[1][0] : 0.};
  p.NLam = static_cast<int>(lines.size());
  p.Ratio = lines.size() > 1 ? lines[1][1] / lines[0][1] : 0.;
  return 0;
}

bool PwdTubeLine(const PwdLamSource& s) {
  if (s.Tof || s.Radiation != 1) return false;
  if (s.NLam > 1) return true;
  for (const auto& [anode, l] : Sess.Scat.Anode)
    for (double x : {l.Ka1, l.Ka2, (2. * l.Ka1 + l.Ka2) / 3., l.Kb1})
      if (x > 0. && std::abs(s.Lam - x) < 5e-4) return true;
  return false;
}

std::vector<char> PwdWavelengthStandards(const std::vector<PwdLamSource>& s) {
  std::vector<char> st(s.size(), 0);
  for (size_t k = 0; k < s.size(); ++k) st[k] = PwdTubeLine(s[k]) ? 1 : 0;
  if (!s.empty() && std::none_of(st.begin(), st.end(), [](char c) { return c != 0; })) st[0] = 1;
  return st;
}

std::vector<char> PwdRefinedWavelengths(const std::vector<PwdLamSource>& s, const PwdM41& m, bool cell,
                                        std::string& note) {
  std::vector<char> ref(s.size(), 0);
  for (size_t k = 0; k < s.size() && k < m.Blocks.size(); ++k) {
    if (s[k].Tof) continue;
    const int kpwd = static_cast<int>(k + 1);
    ref[k] = m.Find("reflam", 0, kpwd) != nullptr ? m.Int("reflam", 0, 0, kpwd) != 0 : m.Blocks[k].Lam[0].Key != 0;
  }
  bool scale = false;  // some pattern fixes the length scale
  for (size_t k = 0; k < s.size(); ++k) scale = scale || s[k].Tof || !ref[k];
  if (cell && !scale && !s.empty()) {
    const std::vector<char> st = PwdWavelengthStandards(s);
    std::string which;
    for (size_t k = 0; k < s.size(); ++k)
      if (st[k]) ref[k] = 0, which += fmt::format("{}{}", which.empty() ? "" : ", ", k + 1);
    note = "The cell and every wavelength cannot be refined together: the wavelength of powder block(s) " + which +
           " is kept fixed.";
  }
  return ref;
}

}  // namespace tarn
