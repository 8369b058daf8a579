// Statistics of the averaging: Rint and Rexp by shells and satellite orders,
// the instability factor of sigma(I), coverage and the rejected reflections.
#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>
#include <unordered_set>
#include <vector>

#include "datared/average.hpp"
#include "model/structure.hpp"
#include "datared/average_msg.hpp"

namespace tarn {

namespace {

void AddRint(AveStatAcc& a, double num, double den, bool first, bool single, bool obs) {
  for (int k = 0; k < (obs ? 2 : 1); ++k) {
    a.RNum[k] += num;
    a.RDen[k] += den;
    ++a.NMeas[k];
    if (first) {
      ++a.NUnique[k];
      if (single) ++a.NSingle[k];
    }
  }
}

void AddRexp(AveStatAcc& a, double sig, double i, bool obs) {
  for (int k = 0; k < (obs ? 2 : 1); ++k) {
    a.SigSum[k] += sig;
    a.ISum[k] += i;
    if (sig > 0.) {
      a.ISigSum[k] += i / sig;
      ++a.NISig[k];
    }
  }
}

std::string Pct(double num, double den) {
  return den > 0. ? fmt::format("{:6.2f}", 100. * num / den) : std::string(6, ' ');
}

// One table row: Rint obs/all, Rexp obs/all, unique obs/all, measured, redundancy.
std::string Row(const std::string& label, const AveStatAcc& a) {
  double red = a.NUnique[0] > 0 ? static_cast<double>(a.NMeas[0]) / a.NUnique[0] : 0.;
  return fmt::format("{:>12} {}/{} {}/{} {:7d}/{:<7d} {:8d} {:7d} {:6.2f}", label,
                     Pct(a.RNum[1], a.RDen[1]), Pct(a.RNum[0], a.RDen[0]),
                     Pct(a.SigSum[1], a.ISum[1]), Pct(a.SigSum[0], a.ISum[0]), a.NUnique[1],
                     a.NUnique[0], a.NMeas[0], a.NSingle[0], red);
}

const char* kTableHead =
    "             Rint(obs/all)  Rexp(obs/all)   Nobs/Nall       Nmeas  Nsingle  Redund";

void Summary(const AveStatAcc& a, std::vector<std::string>& lines) {
  lines.push_back(fmt::format("{}{}/{}{}{}{}", avemsg::kRintObsAll,
                              Pct(a.RNum[1], a.RDen[1]).substr(0), Pct(a.RNum[0], a.RDen[0]),
                              avemsg::kFor, fmt::format("{}/{}", a.NUnique[1], a.NUnique[0]),
                              avemsg::kReflections));
  lines.push_back(fmt::format("{}{}{}", avemsg::kAveragedFrom, a.NMeas[0], avemsg::kReflections));
  double red = a.NUnique[0] > 0 ? static_cast<double>(a.NMeas[0]) / a.NUnique[0] : 0.;
  lines.push_back(fmt::format("{}{:.2f}", avemsg::kRedundancy, red));
}

}  // namespace

void EM9AverageStatReset(AveStats& st, double smax, int ndim, int maxsat) {
  st = AveStats{};
  st.NDim = ndim;
  // Shells of equal reciprocal volume: (s_k/smax)^3 = k/8.
  for (int k = 0; k < kAveShells; ++k)
    st.SLim[k] = smax * std::cbrt(static_cast<double>(k + 1) / kAveShells);
  if (ndim > 3) st.Sat.assign(maxsat + 1, AveStatAcc{});
}

int EM9AverageStatShell(const AveStats& st, double s) {
  for (int k = 0; k < kAveShells; ++k)
    if (st.SLim[k] >= s) return k;
  return kAveShells - 1;
}

void EM9AverageStatRint(AveStats& st, double s, int sat, double num, double den, bool first,
                        bool single, bool obs) {
  if (num < 0.) return;
  AddRint(st.Total, num, den, first, single, obs);
  AddRint(st.Shell[EM9AverageStatShell(st, s)], num, den, first, single, obs);
  if (st.NDim > 3 && sat >= 0 && sat < static_cast<int>(st.Sat.size()))
    AddRint(st.Sat[sat], num, den, first, single, obs);
}

void EM9AverageStatRexp(AveStats& st, double s, int sat, double sig, double i, bool obs) {
  AddRexp(st.Total, sig, i, obs);
  AddRexp(st.Shell[EM9AverageStatShell(st, s)], sig, i, obs);
  if (st.NDim > 3 && sat >= 0 && sat < static_cast<int>(st.Sat.size()))
    AddRexp(st.Sat[sat], sig, i, obs);
}

void EM9AverageStatOutput(const AveStats& st, std::vector<std::string>& lines) {
  lines.emplace_back();
  lines.emplace_back(avemsg::kStatHead);
  lines.emplace_back(kTableHead);
  double lo = 0.;
  for (int k = 0; k < kAveShells; ++k) {
    lines.push_back(Row(fmt::format("{:.3f}-{:.3f}", lo, st.SLim[k]), st.Shell[k]));
    lo = st.SLim[k];
  }
  lines.push_back(Row("all", st.Total));
  if (st.NDim > 3 && !st.Sat.empty()) {
    lines.emplace_back();
    lines.emplace_back(avemsg::kStatSatHead);
    lines.emplace_back(kTableHead);
    AveStatAcc sats;
    for (size_t m = 0; m < st.Sat.size(); ++m) {
      lines.push_back(Row(fmt::format("{}", m), st.Sat[m]));
      if (m == 0) continue;
      const AveStatAcc& a = st.Sat[m];
      for (int k = 0; k < 2; ++k) {
        sats.RNum[k] += a.RNum[k];
        sats.RDen[k] += a.RDen[k];
        sats.NMeas[k] += a.NMeas[k];
        sats.NUnique[k] += a.NUnique[k];
        sats.NSingle[k] += a.NSingle[k];
        sats.SigSum[k] += a.SigSum[k];
        sats.ISum[k] += a.ISum[k];
      }
    }
    lines.emplace_back();
    lines.emplace_back(avemsg::kAllRefl);
    Summary(st.Total, lines);
    lines.emplace_back(avemsg::kMainRefl);
    Summary(st.Sat[0], lines);
    lines.emplace_back(avemsg::kSatRefl);
    Summary(sats, lines);
  } else {
    lines.emplace_back();
    Summary(st.Total, lines);
  }
}

int EM9SigCountSigStat(const AveGrouping& gr, double& g, std::vector<std::string>& lines) {
  g = 0.;
  const int nave = static_cast<int>(gr.Start.size()) - 1;
  std::vector<int> multi;
  long long dof = 0;
  for (int k = 0; k < nave; ++k) {
    int nu = 0;
    for (int j = gr.Start[k]; j < gr.Start[k + 1]; ++j)
      if (Struct.Refl.ICullAr.empty() || Struct.Refl.ICullAr[gr.Order[j]] == kCullNone) ++nu;
    if (nu >= 2) {
      multi.push_back(k);
      dof += nu - 1;
    }
  }
  if (static_cast<int>(multi.size()) < kInstabMinGroups) {
    lines.emplace_back(avemsg::kInstabNo1);
    lines.emplace_back(avemsg::kInstabNo2);
    return 1;
  }
  // chi^2 per degree of freedom of the equivalents about their weighted mean
  // with variances sigma^2 + (g*I)^2; decreasing in g.
  auto chi2 = [&](double gg) {
    double sum = 0.;
    for (int k : multi) {
      double sw = 0., swi = 0.;
      for (int j = gr.Start[k]; j < gr.Start[k + 1]; ++j) {
        int r = gr.Order[j];
        if (!Struct.Refl.ICullAr.empty() && Struct.Refl.ICullAr[r] != kCullNone) continue;
        double v = Struct.Refl.RSAr[r] * Struct.Refl.RSAr[r] + gg * gg * Struct.Refl.RIAr[r] * Struct.Refl.RIAr[r];
        if (!(v > 0.)) v = 1e-30;
        sw += 1. / v;
        swi += Struct.Refl.RIAr[r] / v;
      }
      double m = swi / sw;
      for (int j = gr.Start[k]; j < gr.Start[k + 1]; ++j) {
        int r = gr.Order[j];
        if (!Struct.Refl.ICullAr.empty() && Struct.Refl.ICullAr[r] != kCullNone) continue;
        double v = Struct.Refl.RSAr[r] * Struct.Refl.RSAr[r] + gg * gg * Struct.Refl.RIAr[r] * Struct.Refl.RIAr[r];
        if (!(v > 0.)) v = 1e-30;
        sum += (Struct.Refl.RIAr[r] - m) * (Struct.Refl.RIAr[r] - m) / v;
      }
    }
    return sum / static_cast<double>(dof);
  };
  double lo = 0., hi = 1.;
  if (chi2(lo) > 1.) {
    if (chi2(hi) > 1.) {
      g = hi;
    } else {
      for (int it = 0; it < 60; ++it) {
        double mid = 0.5 * (lo + hi);
        (chi2(mid) > 1. ? lo : hi) = mid;
      }
      g = 0.5 * (lo + hi);
    }
  }
  lines.push_back(fmt::format("{}{:.5f}", avemsg::kInstab, g));
  return 0;
}

bool DRIsExtinct(const PhaseSymmetry& ps, const int* h) {
  const int n = ps.NDim;
  auto nonint = [](double x) { return std::fabs(x - std::round(x)) > 0.01; };
  for (int c = 0; c < ps.NLattVec; ++c) {
    double d = 0.;
    for (int i = 0; i < n; ++i) d += h[i] * ps.VT6[c][i];
    if (nonint(d)) return true;
  }
  for (int s = 0; s < ps.NSymm; ++s) {
    const SymmOp& op = ps.Op[s];
    bool fixed = true;
    for (int j = 0; j < n && fixed; ++j) {
      double v = 0.;
      for (int i = 0; i < n; ++i) v += h[i] * op.RM6[i * n + j];
      if (std::lround(v) != h[j]) fixed = false;
    }
    if (!fixed) continue;
    double d = 0.;
    for (int i = 0; i < n; ++i) d += h[i] * op.S6[i];
    if (nonint(d)) return true;
  }
  return false;
}

double EM9CheckCompleteness(const AveGrouping& gr, const PhaseSymmetry& ps,
                            const AveSettings& set, double lambda,
                            std::vector<std::string>& lines) {
  lines.emplace_back();
  lines.emplace_back(avemsg::kCoverCalc);
  const int nave = static_cast<int>(gr.Start.size()) - 1;
  if (nave <= 0) return -1.;
  const int n = gr.NDim;
  bool centro = false;
  std::vector<Mat6> rot = DRPointGroup(ps, centro);
  if (set.AddCentrSymm) centro = true;
  // Work on the main reflections (the 3 real-space indices) of the data.
  std::vector<Mat6> rot3;
  for (const Mat6& m : rot) {
    Mat6 r{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) r[i * 3 + j] = m[i * n + j];
    rot3.push_back(r);
  }
  PhaseSymmetry ps3 = ps;
  if (n > 3) {
    ps3.NDim = 3;
    for (int s = 0; s < ps3.NSymm; ++s) {
      Mat6 r{};
      Vec6 t{};
      for (int i = 0; i < 3; ++i) {
        t[i] = ps.Op[s].S6[i];
        for (int j = 0; j < 3; ++j) r[i * 3 + j] = ps.Op[s].RM6[i * n + j];
      }
      ps3.Op[s].RM6 = r;
      ps3.Op[s].S6 = t;
    }
  }
  AveSettings s3 = set;
  s3.Qi.clear();
  auto canon = [&](const int* h) {
    long long best = LLONG_MIN;
    int hr[3];
    for (const Mat6& m : rot3) {
      for (int j = 0; j < 3; ++j)
        hr[j] = static_cast<int>(std::lround(h[0] * m[j] + h[1] * m[3 + j] + h[2] * m[6 + j]));
      for (int sgn = 0; sgn < (centro ? 2 : 1); ++sgn) {
        long long k =
            ((static_cast<long long>(hr[0] + 1024) * 2048) + hr[1] + 1024) * 2048 + hr[2] + 1024;
        best = std::max(best, k);
        for (int& x : hr) x = -x;
      }
    }
    return best;
  };
  // measured unique main reflections, observed flag
  std::vector<long long> meas, measObs;
  double smax = 0.;
  for (int g = 0; g < nave; ++g) {
    bool main = true;
    for (int i = 3; i < n; ++i)
      if (gr.HAve[g * n + i] != 0) main = false;
    if (!main) continue;
    long long k = canon(&gr.HAve[g * n]);
    meas.push_back(k);
    if (DRIsObserved(Struct.Refl.RIAveAr[g], Struct.Refl.RSAveAr[g], set.ObsLim)) measObs.push_back(k);
    smax = std::max(smax, gr.S[g]);
  }
  if (meas.empty()) return -1.;
  // Sorted lists: membership by binary search.
  for (auto* v : {&meas, &measObs}) {
    std::sort(v->begin(), v->end());
    v->erase(std::unique(v->begin(), v->end()), v->end());
  }
  auto has = [](const std::vector<long long>& v, long long k) {
    return std::binary_search(v.begin(), v.end(), k);
  };
  // largest index along each axis within smax: |h_i| <= 2 smax / |a*_i|... use
  // |h_i| <= 2 smax * |a_i| with |a_i| = sqrt(G_ii), G = (G*)^-1.
  const auto& gi = set.MetTensI;
  double det = gi[0] * (gi[4] * gi[8] - gi[5] * gi[7]) - gi[1] * (gi[3] * gi[8] - gi[5] * gi[6]) +
               gi[2] * (gi[3] * gi[7] - gi[4] * gi[6]);
  double gdiag[3] = {(gi[4] * gi[8] - gi[5] * gi[7]) / det, (gi[0] * gi[8] - gi[2] * gi[6]) / det,
                     (gi[0] * gi[4] - gi[1] * gi[3]) / det};
  int hm[3];
  for (int i = 0; i < 3; ++i) hm[i] = static_cast<int>(2. * smax * std::sqrt(gdiag[i])) + 1;
  std::array<double, kAveShells> slim{};
  for (int k = 0; k < kAveShells; ++k) slim[k] = smax * std::cbrt((k + 1.) / kAveShells);
  std::array<int, kAveShells> nPos{}, nMeas{}, nObs{};
  std::array<int, kAveShells> tPos{}, tMeas{}, tObs{};
  const double thmax = lambda > 0. ? std::asin(std::min(1., smax * lambda)) : 0.;
  std::unordered_set<long long> seen;
  seen.reserve(2 * meas.size());
  int h[3];
  for (h[0] = -hm[0]; h[0] <= hm[0]; ++h[0])
    for (h[1] = -hm[1]; h[1] <= hm[1]; ++h[1])
      for (h[2] = -hm[2]; h[2] <= hm[2]; ++h[2]) {
        if (h[0] == 0 && h[1] == 0 && h[2] == 0) continue;
        double s = DRSinThOverLambda(h, 3, s3);
        if (s > smax * (1. + 1e-9)) continue;
        if (DRIsExtinct(ps3, h)) continue;
        long long k = canon(h);
        if (!seen.insert(k).second) continue;
        int sh = 0;
        while (sh < kAveShells - 1 && slim[sh] < s) ++sh;
        bool m = has(meas, k), o = has(measObs, k);
        ++nPos[sh];
        nMeas[sh] += m;
        nObs[sh] += o;
        if (thmax > 0.) {
          double th = std::asin(std::min(1., s * lambda));
          int t = std::min(kAveShells - 1, static_cast<int>(kAveShells * th / thmax));
          ++tPos[t];
          tMeas[t] += m;
          tObs[t] += o;
        }
      }
  lines.emplace_back(avemsg::kCoverHead);
  auto table = [&](const char* head, const std::array<int, kAveShells>& pos,
                   const std::array<int, kAveShells>& num, bool theta) {
    lines.emplace_back(head);
    double lo = 0.;
    int sp = 0, sm = 0;
    for (int k = 0; k < kAveShells; ++k) {
      double hi = theta ? (k + 1) * thmax / kAveShells * 180. / M_PI : slim[k];
      sp += pos[k];
      sm += num[k];
      lines.push_back(fmt::format("{:8.3f}-{:8.3f} {:7d}/{:<7d} {:7.2f}", lo, hi, num[k], pos[k],
                                  pos[k] > 0 ? 100. * num[k] / pos[k] : 0.));
      lo = hi;
    }
    lines.push_back(
        fmt::format("{:>17} {:7d}/{:<7d} {:7.2f}", "all", sm, sp, sp > 0 ? 100. * sm / sp : 0.));
  };
  lines.emplace_back("sin(th)/lambda");
  table(avemsg::kCoverObs, nPos, nObs, false);
  table(avemsg::kCoverAll, nPos, nMeas, false);
  if (thmax > 0.) {
    lines.emplace_back("theta");
    table(avemsg::kCoverObs, tPos, tObs, true);
    table(avemsg::kCoverAll, tPos, tMeas, true);
  }
  long possible = 0, measured = 0;
  for (int k = 0; k < kAveShells; ++k) {
    possible += nPos[k];
    measured += nMeas[k];
  }
  return possible > 0 ? static_cast<double>(measured) / static_cast<double>(possible) : -1.;
}

void EM9OutputOfRejected(const std::vector<RejectedRefl>& rej, int ndim,
                         std::vector<std::string>& lines) {
  int nNonInt = 0, nExt = 0, nSin = 0;
  for (const RejectedRefl& r : rej) {
    nNonInt += r.Reason == 1;
    nExt += r.Reason == 2;
    nSin += r.Reason == 3;
  }
  auto line = [&](const RejectedRefl& r) {
    std::string s;
    for (int i = 0; i < ndim; ++i) s += fmt::format("{:4d}", r.H[i]);
    s += fmt::format(" {:12.1f} {:9.1f}", r.I, r.SigI);
    return s;
  };
  lines.emplace_back();
  if (nNonInt > 0) {
    lines.emplace_back(avemsg::kRejNonInt);
    for (const RejectedRefl& r : rej)
      if (r.Reason == 1) lines.push_back(line(r));
    lines.push_back(fmt::format("{} {} {}", nNonInt, avemsg::kRejUnacc1, avemsg::kRejUnacc2));
  }
  if (nSin > 0)
    for (const RejectedRefl& r : rej)
      if (r.Reason == 3) lines.push_back(line(r) + " " + avemsg::kSinGt1);
  if (nExt == 0) {
    lines.emplace_back(avemsg::kRejNoExt);
    return;
  }
  lines.push_back(fmt::format("{} {} {}", nExt, avemsg::kRejExt1, avemsg::kRejExt2));
  std::vector<const RejectedRefl*> ext;
  for (const RejectedRefl& r : rej)
    if (r.Reason == 2) ext.push_back(&r);
  // strongest first, by I/sigma
  auto ratio = [](const RejectedRefl* r) { return r->SigI > 0. ? r->I / r->SigI : r->I; };
  std::stable_sort(ext.begin(), ext.end(), [&](const RejectedRefl* a, const RejectedRefl* b) {
    return ratio(a) > ratio(b);
  });
  lines.emplace_back(avemsg::kRejStrongest);
  constexpr size_t kMaxListed = 20;
  for (size_t k = 0; k < ext.size() && k < kMaxListed; ++k)
    lines.push_back(line(*ext[k]) + fmt::format("  I/sig(I) = {:.1f}", ratio(ext[k])));
}

}  // namespace tarn
