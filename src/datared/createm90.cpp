// Creation of M90 from M95.
#include "datared/createm90.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "datared/average_msg.hpp"
#include "datared/scales.hpp"
#include "frame/files.hpp"
#include "frame/state.hpp"
#include "frame/toolkit.hpp"
#include "model/m95m90.hpp"
#include "util/real_text.hpp"

namespace tarn {

namespace {

// Tolerance of integer indices after the transformation.
constexpr double kTolIntIndex = 0.01;

// G* from the cell when the basic data have not derived it: G* = G^-1.
std::array<double, 9> ReciprocalMetric(const PhaseBasic& p) {
  std::array<double, 9> gi{};
  bool set = false;
  for (double v : p.MetTensI) set |= v != 0.;
  if (set) {
    std::copy(std::begin(p.MetTensI), std::end(p.MetTensI), gi.begin());
    return gi;
  }
  const double d = M_PI / 180.;
  const double a = p.Cell[0], b = p.Cell[1], c = p.Cell[2];
  const double ca = std::cos(p.Cell[3] * d), cb = std::cos(p.Cell[4] * d),
               cg = std::cos(p.Cell[5] * d);
  const double g[9] = {a * a,      a * b * cg, a * c * cb, a * b * cg, b * b,
                       b * c * ca, a * c * cb, b * c * ca, c * c};
  const double det = g[0] * (g[4] * g[8] - g[5] * g[7]) - g[1] * (g[3] * g[8] - g[5] * g[6]) +
                     g[2] * (g[3] * g[7] - g[4] * g[6]);
  gi = {(g[4] * g[8] - g[5] * g[7]) / det, (g[2] * g[7] - g[1] * g[8]) / det,
        (g[1] * g[5] - g[2] * g[4]) / det, (g[5] * g[6] - g[3] * g[8]) / det,
        (g[0] * g[8] - g[2] * g[6]) / det, (g[2] * g[3] - g[0] * g[5]) / det,
        (g[3] * g[7] - g[4] * g[6]) / det, (g[1] * g[6] - g[0] * g[7]) / det,
        (g[0] * g[4] - g[1] * g[3]) / det};
  return gi;
}

}  // namespace

AveSettings DRAveSettingsFromM90(const M90Block& b, const PhaseBasic& phase) {
  AveSettings s;
  s.SigIMethod = b.SigIMethod;
  s.AveSigWt = b.AveSigWt != 0;
  s.AddCentrSymm = b.AddCentrSymm != 0;
  s.FLimCull = b.FLimCull;
  s.FLimPrint = b.FLimPrint;
  s.ObsLim = b.ObsLim;
  s.MetTensI = ReciprocalMetric(phase);
  for (const Vec3& q : phase.Qi) s.Qi.push_back({q[0], q[1], q[2]});
  return s;
}

int EM9CreateM90Single(const std::vector<M95Block>& b95,
                       const std::vector<std::vector<M95Refl>>& r95, const std::vector<int>& feeds,
                       const PhaseBasic& phase, M90Block& b90, std::vector<M90Refl>& out,
                       std::vector<std::string>& lst) {
  out.clear();
  const int ndim = phase.NDim;
  const PhaseSymmetry& ps = phase.Symmetry;
  AveSettings set = DRAveSettingsFromM90(b90, phase);
  std::vector<RejectedRefl> rej;
  struct Meas {
    int h[kReflMaxNDim];
    double i, s;
    int block, run, tw;
  };
  std::vector<Meas> meas;
  bool anyCond = ps.NLattVec > 1;
  for (int s = 0; s < ps.NSymm && !anyCond; ++s)
    for (int i = 0; i < ndim; ++i) anyCond |= std::fabs(ps.Op[s].S6[i]) > 1e-6;
  lst.emplace_back(anyCond ? avemsg::kCondApplied : avemsg::kNoCond);
  if (anyCond)
    for (int s = 0; s < ps.NSymm; ++s) {
      std::string t;
      for (const std::string& c : ps.Op[s].Text) t += c + " ";
      lst.push_back("  " + t);
    }
  // Several sets (blocks, frame groups) are first brought to a common scale.
  std::vector<std::vector<double>> setscale;
  if (EM9MakeScales(b95, r95, feeds, phase, b90, setscale, lst) != 0) return 1;
  for (int fb : feeds) {
    const M95Block& b = b95[fb];
    const double scale = b.Scale > 0. ? b.Scale : 1.;
    if (scale != 1.) lst.push_back(fmt::format("{} {}", avemsg::kRescaled, ShortestReal(scale)));
    const int n95 = b.NDim95;
    const bool tr = static_cast<int>(b.TrMat.size()) == n95 * n95;
    if (tr) {
      lst.emplace_back(avemsg::kTrans1);
      lst.emplace_back(avemsg::kTrans2);
      for (int i = 0; i < n95; ++i) {
        std::string row;
        for (int j = 0; j < n95; ++j) row += fmt::format(" {:8.4f}", b.TrMat[i * n95 + j]);
        lst.push_back(row);
      }
    }
    for (const M95Refl& r : r95[fb]) {
      if (r.IFlag != 0) continue;
      Meas m{};
      const double fs = setscale[fb].empty() ? 1. : setscale[fb][&r - r95[fb].data()];
      m.i = r.I * scale * fs;
      m.s = r.SigI * scale * fs;
      m.block = fb + 1;
      m.run = r.Run;
      m.tw = r.ITw;
      bool integer = true;
      for (int i = 0; i < ndim; ++i) {
        double v = 0.;
        if (tr) {
          for (int j = 0; j < n95 && i < n95; ++j) v += b.TrMat[i * n95 + j] * r.H[j];
        } else {
          v = i < n95 ? r.H[i] : 0.;
        }
        m.h[i] = static_cast<int>(std::lround(v));
        if (std::fabs(v - m.h[i]) > kTolIntIndex) integer = false;
      }
      RejectedRefl rr;
      std::copy(m.h, m.h + ndim, rr.H);
      rr.I = m.i;
      rr.SigI = m.s;
      if (!integer) {
        std::copy(r.H, r.H + std::min(n95, kReflMaxNDim), rr.H);
        rr.Reason = 1;
        rej.push_back(rr);
        continue;
      }
      if (DRIsExtinct(ps, m.h)) {
        rr.Reason = 2;
        rej.push_back(rr);
        continue;
      }
      if (b90.Lambda > 0. && DRSinThOverLambda(m.h, ndim, set) * b90.Lambda > 1.) {
        rr.Reason = 3;
        rej.push_back(rr);
        continue;
      }
      meas.push_back(m);
    }
  }
  EM9OutputOfRejected(rej, ndim, lst);
  if (meas.empty()) {
    lst.emplace_back(avemsg::kAllDiscarded);
    return 1;
  }
  // Packing ranges from the data.
  IndPackSpec pk;
  pk.N = ndim;
  for (int i = 0; i < ndim; ++i) {
    int lo = INT_MAX, hi = INT_MIN;
    for (const Meas& m : meas) {
      lo = std::min(lo, m.h[i]);
      hi = std::max(hi, m.h[i]);
    }
    pk.Offset[i] = -lo;
    pk.Range[i] = hi - lo + 1;
  }
  Refl.Pack = pk;
  const int nref = static_cast<int>(meas.size());
  ReallocRefArrays(nref);
  Refl.NRef = nref;
  for (int k = 0; k < nref; ++k) {
    Refl.HCondAr[k] = IndPack(meas[k].h, pk);
    Refl.RIAr[k] = meas[k].i;
    Refl.RSAr[k] = meas[k].s;
    Refl.ICullAr[k] = kCullNone;
    Refl.RunCCDAr[k] = meas[k].run;
    Refl.RefBlockAr[k] = meas[k].block;
    Refl.TwAr[k] = meas[k].tw;
  }
  AveResult res;
  std::vector<Mat6> rot;
  bool centro = false;
  if (b90.DataAve != 0) {
    if (DRAverage(ps, set, res) != 0) {
      lst.insert(lst.end(), res.Listing.begin(), res.Listing.end());
      return 1;
    }
  } else {
    // no averaging: every measurement is its own group (identity only)
    Mat6 id{};
    for (int i = 0; i < ndim; ++i) id[i * ndim + i] = 1.;
    rot.push_back(id);
    if (DRAverageForPointGroup(rot, centro, set, res) != 0) return 1;
  }
  lst.insert(lst.end(), res.Listing.begin(), res.Listing.end());
  lst.emplace_back();
  lst.push_back(fmt::format("Rint = {:.4f} for groups of two or more measurements, Rsigma = {:.4f}",
                            res.RintMulti, res.RsigmaAll));
  lst.push_back(fmt::format("{} reflections averaged to {}, {} observed", res.NMeasured,
                            res.NUnique, res.NObs));
  double g = 0.;
  (void)EM9SigCountSigStat(g, lst);
  EM9CheckCompleteness(ps, set, b90.Lambda, lst);
  if (res.NUnique < 10) {
    lst.emplace_back(avemsg::kFewUnique);
    if (!Frame.BatchMode) FeWarning(avemsg::kFewUnique);
  }
  const double sc = b90.ScToM90 > 0. ? b90.ScToM90 : 1.;
  out.resize(res.NUnique);
  for (int g2 = 0; g2 < res.NUnique; ++g2) {
    M90Refl& o = out[g2];
    for (int i = 0; i < ndim; ++i) o.H[i] = AveLast.HAve[g2 * ndim + i];
    o.I = Refl.RIAveAr[g2] * sc;
    o.SigI = Refl.RSAveAr[g2] * sc;
    const int first = Refl.Ave2Org[g2];
    o.ITw = Refl.TwAr[first] > 0 ? Refl.TwAr[first] : 1;
    o.ISc = 1;
    o.Run = Refl.NAveRedAr[g2];
  }
  b90.NDim = ndim;
  b90.NRef = res.NUnique;
  return 0;
}

int EM9CreateM90(const std::string& base) {
  std::vector<M95Block> b95;
  std::vector<std::vector<M95Refl>> r95;
  if (ReadM95File(base + ".m95", b95, r95) != 0) return 1;
  if (Basic.Phase.empty()) {
    FeChybne(avemsg::kAllDiscarded);
    return 1;
  }
  const PhaseBasic& phase = Basic.Phase[0];
  std::vector<M90Block> b90(b95.size());
  std::vector<std::vector<M90Refl>> r90(b95.size());
  std::vector<std::string> lst;
  for (size_t k = 0; k < b95.size(); ++k) {
    if (k < Refl.M90.size()) {
      b90[k] = Refl.M90[k];
    } else {
      SetBasicM90FromM95(b90[k], b95[k]);
    }
    if (b90[k].Lambda <= 0. && b95[k].Lambda > 0.) b90[k].Lambda = b95[k].Lambda;
    lst.push_back(fmt::format("Data block {} ({})", k + 1, b90[k].Name));
    if (EM9CreateM90Single(b95, r95, {static_cast<int>(k)}, phase, b90[k], r90[k], lst) != 0) {
      FeChybne(lst.back());
      return 1;
    }
    lst.emplace_back();
  }
  std::string text;
  for (const std::string& l : lst) text += l + "\n";
  if (WriteM90File(base + ".m90", b90, r90) != 0) {
    FeChybne(avemsg::kM90Cannot, {base + ".m90"});
    return 1;
  }
  Refl.M90 = b90;
  if (FeWriteFileAtomic(base + ".rre", text) != 0) return 1;
  return 0;
}

}  // namespace tarn
