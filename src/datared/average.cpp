// Merging of symmetry-equivalent reflections.
#include "datared/average.hpp"

#include <fmt/compile.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <numeric>

#include "datared/average_msg.hpp"
#include "model/structure.hpp"
#include "util/real_text.hpp"

namespace tarn {

namespace {

constexpr int kKeyBits = 10;
// Lines reserved for the listing beyond the group lines (culling counts, statistics).
constexpr size_t kAveListingSlack = 256;
constexpr int kKeyOffset = kAveMaxIndex + 1;

// Sort key of indices: (h_i + 512) in 10 bits each, the first index most
// significant, so that a larger key means larger h, then k, then l, ...
int64_t HKey(const int* h, int n) {
  int64_t k = 0;
  for (int i = 0; i < n; ++i) k = (k << kKeyBits) | static_cast<int64_t>(h[i] + kKeyOffset);
  return k;
}

// h' = h.R for a row of indices.
void RotIndices(const int* h, const Mat6& r, int n, int* out) {
  for (int j = 0; j < n; ++j) {
    double v = 0.;
    for (int i = 0; i < n; ++i) v += h[i] * r[i * n + j];
    out[j] = static_cast<int>(std::lround(v));
  }
}

std::string Num(double v) {
  return ShortestReal(v);
}

}  // namespace

std::vector<Mat6> DRPointGroup(const PhaseSymmetry& ps, bool& centro) {
  const int n = ps.NDim;
  std::vector<Mat6> rot;
  auto add = [&](const Mat6& r) {
    for (const Mat6& q : rot)
      if (eqrv(q.data(), r.data(), n * n, 0.01)) return;
    rot.push_back(r);
  };
  for (int i = 0; i < ps.NSymm; ++i) {
    add(ps.Op[i].RM6);
    if (ps.NCSymm == 2) {
      Mat6 m = ps.Op[i].RM6;
      for (int k = 0; k < n * n; ++k) m[k] = -m[k];
      add(m);
    }
  }
  if (rot.empty()) {
    Mat6 id{};
    for (int i = 0; i < n; ++i) id[i * n + i] = 1.;
    rot.push_back(id);
  }
  Mat6 minus{};
  for (int i = 0; i < n; ++i) minus[i * n + i] = -1.;
  centro = false;
  for (const Mat6& q : rot)
    if (eqrv(q.data(), minus.data(), n * n, 0.01)) centro = true;
  return rot;
}

bool DRIsObserved(double i, double sig, double obslim) {
  return static_cast<double>(std::lround(10. * i)) >
         obslim * static_cast<double>(std::lround(10. * sig));
}

double DRSinThOverLambda(const int* h, int ndim, const AveSettings& set) {
  double x[3] = {static_cast<double>(h[0]), static_cast<double>(h[1]), static_cast<double>(h[2])};
  for (int j = 3; j < ndim && j - 3 < static_cast<int>(set.Qi.size()); ++j)
    for (int k = 0; k < 3; ++k) x[k] += h[j] * set.Qi[j - 3][k];
  double q = 0.;
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b) q += x[a] * set.MetTensI[a * 3 + b] * x[b];
  // 1/d^2 = h.G*.h; sin(theta)/lambda = 1/(2d)
  return 0.5 * std::sqrt(std::max(q, 0.));
}

namespace {

// The SHELX mean of a group: weights w = I/sigma^2 when I > 3 sigma and
// 3/sigma otherwise (the two agree at I = 3 sigma); sigma(I(ave)) the larger
// of the counting-statistics sigma 1/sqrt(sum 1/sigma^2) and the mean
// absolute deviation from the mean over sqrt(n-1). var(k) > 0 for all k.
template <class Var>
void DRAverageGroupShelx(const double* in, int n, const Var& var, double& iave, double& sigave) {
  double sw = 0., swi = 0., sinv = 0.;
  for (int k = 0; k < n; ++k) {
    const double v = var(k), s = std::sqrt(v);
    const double w = in[k] > 3. * s ? in[k] / v : 3. / s;
    sw += w;
    swi += w * in[k];
    sinv += 1. / v;
  }
  iave = swi / sw;
  sigave = 1. / std::sqrt(sinv);
  if (n < 2) return;
  double sd = 0.;
  for (int k = 0; k < n; ++k) sd += std::fabs(in[k] - iave);
  sigave = std::max(sigave, sd / (n * std::sqrt(n - 1.)));
}

}  // namespace

void DRAverageGroup(const double* in, const double* sgin, int n, const AveSettings& set,
                    double& iave, double& sigave) {
  if (n <= 0) {
    iave = sigave = 0.;
    return;
  }
  const double g = set.InstabFactor;
  auto var = [&](int k) { return sgin[k] * sgin[k] + (g * in[k]) * (g * in[k]); };
  bool haveVar = true;
  for (int k = 0; k < n; ++k)
    if (!(var(k) > 0.)) haveVar = false;
  if (set.AveSigWt == AveShelxWeight && haveVar) {
    DRAverageGroupShelx(in, n, var, iave, sigave);
    return;
  }
  const bool weighted = set.AveSigWt == AveSigmaWeight && haveVar;
  // sum w with w = 1/sigma^2: 1/sqrt(sum w) is the sigma of the best
  // (weighted) estimate from the counting sigmas alone.
  double sw = 0., swi = 0., si = 0., sv = 0.;
  for (int k = 0; k < n; ++k) {
    si += in[k];
    sv += var(k);
    if (haveVar) {
      sw += 1. / var(k);
      swi += in[k] / var(k);
    }
  }
  iave = weighted ? swi / sw : si / n;
  // propagated sigma of the mean actually taken
  const double sprop = weighted ? 1. / std::sqrt(sw) : std::sqrt(sv) / n;
  if (n == 1) {
    sigave = std::sqrt(sv);
    return;
  }
  // standard error of the mean from the scatter: sqrt(sum (I-Iave)^2 / (n(n-1)))
  double ss = 0.;
  for (int k = 0; k < n; ++k) ss += (in[k] - iave) * (in[k] - iave);
  const double sscat = std::sqrt(ss / (static_cast<double>(n) * (n - 1)));
  switch (set.SigIMethod) {
    case SigIPropagated:
      sigave = sprop;
      break;
    case SigIScatter:
      sigave = sscat;
      break;
    default:
      // larger of the counting-statistics sigma 1/sqrt(sum w) and the scatter
      sigave = std::max(haveVar ? 1. / std::sqrt(sw) : sprop, sscat);
      break;
  }
}

const char* DRAveMark(double i, double iave, double sigave) {
  double d = i - iave;
  double a = std::fabs(d);
  if (!(sigave > 0.) || a <= 3. * sigave) return "";
  if (d > 0.)
    return a > 20. * sigave ? "++++" : a > 10. * sigave ? "+++" : a > 5. * sigave ? "++" : "+";
  return a > 20. * sigave ? "----" : a > 10. * sigave ? "---" : a > 5. * sigave ? "--" : "-";
}

int DRAverageForPointGroup(const std::vector<Mat6>& rot, bool centro, const AveSettings& set,
                           AveResult& res) {
  res = AveResult{};
  const int n = Struct.Refl.Pack.N;
  const int nref = Struct.Refl.NRef;
  std::vector<std::string>& lst = res.Listing;
  if (centro && set.AddCentrSymm) {
    lst.emplace_back(avemsg::kCentrAdd1);
    lst.emplace_back(avemsg::kCentrAdd2);
  }
  if (set.AveSigWt == AveSigmaWeight) lst.emplace_back(avemsg::kSigWt);
  if (set.AveSigWt == AveShelxWeight) lst.emplace_back(avemsg::kShelxWt);
  if (set.PrintMode == AvePrintFull)
    lst.emplace_back(avemsg::kPrintFull);
  else if (set.PrintMode == AvePrintSuppressed)
    lst.emplace_back(avemsg::kPrintNone);
  else
    lst.push_back(
        fmt::format("{}{}{}", avemsg::kPrintLim1, Num(set.FLimPrint), avemsg::kPrintLim2));
  if (set.FLimCull > 0.)
    lst.push_back(fmt::format("{}{}{}", avemsg::kCull1, Num(set.FLimCull), avemsg::kCull2));
  lst.push_back(fmt::format("{}{}{}", avemsg::kObs1, Num(set.ObsLim), avemsg::kObs2));
  lst.emplace_back(avemsg::kObs3);

  // Canonical key of every measurement: the largest key among its equivalents.
  struct Item {
    int64_t key;
    int idx;
  };
  std::vector<Item> items;
  items.reserve(nref);
  // The rotations as integers when they are (always for lattice bases).
  std::vector<int> irot(rot.size() * n * n);
  bool irot_ok = true;
  for (size_t q = 0; q < rot.size(); ++q)
    for (int k = 0; k < n * n; ++k) {
      const double v = rot[q][k];
      irot_ok = irot_ok && v == std::trunc(v) && std::fabs(v) <= kAveMaxIndex;
      irot[q * n * n + k] = irot_ok ? static_cast<int>(v) : 0;
    }
  int h[kReflMaxNDim], hr[kReflMaxNDim];
  for (int r = 0; r < nref; ++r) {
    int c = Struct.Refl.ICullAr.empty() ? 0 : Struct.Refl.ICullAr[r];
    if (c == kCullMan) {
      ++res.NCulledMan;
      continue;
    }
    if (c == kCullAuto) {
      ++res.NCulledAuto;
      continue;
    }
    if (!Struct.Refl.ICullAr.empty()) Struct.Refl.ICullAr[r] = kCullNone;
    IndUnpack(Struct.Refl.HCondAr[r], Struct.Refl.Pack, h);
    for (int i = 0; i < n; ++i)
      if (std::abs(h[i]) > kAveMaxIndex) {
        res.Listing.emplace_back(avemsg::kTooLarge);
        return 1;
      }
    int64_t best = INT64_MIN;
    for (size_t q = 0; q < rot.size(); ++q) {
      if (irot_ok) {
        // h.R in integers: the same as rounding the real product, since every
        // term is an exact integer.
        const int* m = &irot[q * n * n];
        for (int j = 0; j < n; ++j) {
          int v = 0;
          for (int i = 0; i < n; ++i) v += h[i] * m[i * n + j];
          hr[j] = v;
        }
      } else {
        RotIndices(h, rot[q], n, hr);
      }
      best = std::max(best, HKey(hr, n));
      if (centro) {
        for (int i = 0; i < n; ++i) hr[i] = -hr[i];
        best = std::max(best, HKey(hr, n));
      }
    }
    items.push_back({best, r});
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return a.key != b.key ? a.key < b.key : a.idx < b.idx;
  });
  res.NMeasured = static_cast<int>(items.size());

  AveGrouping& gr = res.Grouping;
  gr = AveGrouping{};
  gr.NDim = n;
  gr.Order.resize(items.size());
  for (size_t k = 0; k < items.size(); ++k) gr.Order[k] = items[k].idx;
  for (size_t k = 0; k < items.size(); ++k)
    if (k == 0 || items[k].key != items[k - 1].key) gr.Start.push_back(static_cast<int>(k));
  const int nave = static_cast<int>(gr.Start.size());
  gr.Start.push_back(static_cast<int>(items.size()));
  gr.HAve.resize(static_cast<size_t>(nave) * n);
  gr.S.resize(nave);
  double smax = 0.;
  int maxsat = 0;
  for (int g = 0; g < nave; ++g) {
    int64_t key = items[gr.Start[g]].key;
    for (int i = n - 1; i >= 0; --i) {
      gr.HAve[g * n + i] = static_cast<int>(key & ((1 << kKeyBits) - 1)) - kKeyOffset;
      key >>= kKeyBits;
    }
    gr.S[g] = DRSinThOverLambda(&gr.HAve[g * n], n, set);
    smax = std::max(smax, gr.S[g]);
    for (int i = 3; i < n; ++i) maxsat = std::max(maxsat, std::abs(gr.HAve[g * n + i]));
  }

  ReallocAveArrays(nave);
  Struct.Refl.NAve = nave;
  EM9AverageStatReset(res.Stats, smax, n, maxsat);
  std::vector<double> vi, vs;
  std::vector<int> used;
  double rnum = 0., rden = 0., rnumObs = 0., rdenObs = 0., rnumM = 0., rdenM = 0.;
  double sumSig = 0., sumI = 0.;
  bool anyPrinted = false;
  fmt::memory_buffer lbuf;
  // At most one line per measurement and two per group are printed; the
  // reservation is address space only until lines are written into it.
  if (set.PrintMode != AvePrintSuppressed)
    lst.reserve(lst.size() + items.size() + 2 * static_cast<size_t>(nave) + kAveListingSlack);
  for (int g = 0; g < nave; ++g) {
    const int b = gr.Start[g], e = gr.Start[g + 1];
    used.assign(gr.Order.begin() + b, gr.Order.begin() + e);
    double iave = 0., sigave = 0.;
    for (;;) {
      vi.clear();
      vs.clear();
      for (int r : used) {
        vi.push_back(Struct.Refl.RIAr[r]);
        vs.push_back(Struct.Refl.RSAr[r]);
      }
      DRAverageGroup(vi.data(), vs.data(), static_cast<int>(used.size()), set, iave, sigave);
      if (!(set.FLimCull > 0.) || static_cast<int>(used.size()) <= kAveMinAfterCull) break;
      // cull the worst measurement beyond the limit and average again
      int worst = -1;
      double wdev = set.FLimCull * sigave;
      for (size_t k = 0; k < used.size(); ++k) {
        double d = std::fabs(vi[k] - iave);
        if (d > wdev) {
          wdev = d;
          worst = static_cast<int>(k);
        }
      }
      if (worst < 0) break;
      if (!Struct.Refl.ICullAr.empty()) Struct.Refl.ICullAr[used[worst]] = kCullFit;
      ++res.NCulledFit;
      used.erase(used.begin() + worst);
    }
    const int nu = static_cast<int>(used.size());
    const bool obs = DRIsObserved(iave, sigave, set.ObsLim);
    const int sat = [&] {
      int s = 0;
      for (int i = 3; i < n; ++i) s = std::max(s, std::abs(gr.HAve[g * n + i]));
      return s;
    }();
    double dmax = 0.;
    for (int k = 0; k < nu; ++k) {
      double num = std::fabs(vi[k] - iave), den = vi[k];
      dmax = std::max(dmax, num);
      rnum += num;
      rden += den;
      if (obs) {
        rnumObs += num;
        rdenObs += den;
      }
      if (nu > 1) {
        rnumM += num;
        rdenM += den;
      }
      EM9AverageStatRint(res.Stats, gr.S[g], sat, num, den, k == 0, nu == 1, obs);
    }
    EM9AverageStatRexp(res.Stats, gr.S[g], sat, sigave, iave, obs);
    sumSig += sigave;
    sumI += iave;
    if (obs) ++res.NObs;
    if (nu > 1) ++res.NGroupsMulti;
    Struct.Refl.RIAveAr[g] = iave;
    Struct.Refl.RSAveAr[g] = sigave;
    Struct.Refl.HCondAveAr[g] = IndPack(&gr.HAve[g * n], Struct.Refl.Pack);
    Struct.Refl.DiffAveAr[g] = dmax;
    Struct.Refl.NAveRedAr[g] = nu;
    Struct.Refl.Ave2Org[g] = gr.Order[b];
    Struct.Refl.OrderAve[g] = g;

    // listing of the group
    bool print = set.PrintMode == AvePrintFull ||
                 (set.PrintMode == AvePrintLimited && dmax > set.FLimPrint * sigave && e - b > 1);
    if (print) {
      anyPrinted = true;
      // Lines are formatted into one reused buffer: a group listing can run
      // to a good part of a million lines.
      for (int k = b; k < e; ++k) {
        const int r = gr.Order[k];
        IndUnpack(Struct.Refl.HCondAr[r], Struct.Refl.Pack, h);
        lbuf.clear();
        for (int i = 0; i < n; ++i)
          fmt::format_to(std::back_inserter(lbuf), FMT_COMPILE("{:4d}"), h[i]);
        const bool culled = !Struct.Refl.ICullAr.empty() && Struct.Refl.ICullAr[r] == kCullFit;
        fmt::format_to(std::back_inserter(lbuf), FMT_COMPILE(" {:12.1f} {:9.1f} {}{}"),
                       Struct.Refl.RIAr[r], Struct.Refl.RSAr[r],
                       DRAveMark(Struct.Refl.RIAr[r], iave, sigave), culled ? " culled" : "");
        lst.emplace_back(lbuf.data(), lbuf.size());
      }
      lbuf.clear();
      for (int i = 0; i < n; ++i)
        fmt::format_to(std::back_inserter(lbuf), FMT_COMPILE("{:4d}"), gr.HAve[g * n + i]);
      fmt::format_to(std::back_inserter(lbuf), FMT_COMPILE(" {:12.1f} {:9.1f} average of {}{}"),
                     iave, sigave, nu, obs ? "" : " *");
      lst.emplace_back(lbuf.data(), lbuf.size());
      lst.emplace_back();
    }
  }
  (void)anyPrinted;
  res.NUnique = nave;
  res.RintAll = rden > 0. ? 100. * rnum / rden : 0.;
  res.RintObs = rdenObs > 0. ? 100. * rnumObs / rdenObs : 0.;
  res.RintMulti = rdenM > 0. ? rnumM / rdenM : 0.;
  res.RsigmaAll = sumI > 0. ? sumSig / sumI : 0.;
  if (res.NCulledFit + res.NCulledMan + res.NCulledAuto == 0) lst.emplace_back(avemsg::kNoCull);
  lst.push_back(fmt::format("{}{}/{}/{}", avemsg::kCullCounts, res.NCulledFit, res.NCulledMan,
                            res.NCulledAuto));
  EM9AverageStatOutput(res.Stats, lst);
  return 0;
}

int DRAverage(const PhaseSymmetry& ps, const AveSettings& set, AveResult& res) {
  bool centro = false;
  std::vector<Mat6> rot = DRPointGroup(ps, centro);
  const bool addc = !centro && set.AddCentrSymm;
  AveSettings s = set;
  s.AddCentrSymm = addc;
  return DRAverageForPointGroup(rot, centro || addc, s, res);
}

}  // namespace tarn
