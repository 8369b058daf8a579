// Creation of M90 from M95.
#include "datared/createm90.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <iterator>

#include "datared/average_msg.hpp"
#include "symmetry/spgroup.hpp"
#include "datared/instab_u.hpp"
#include "datared/readers/reader.hpp"
#include "datared/scales.hpp"
#include "model/m95m90.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/fract.hpp"
#include "util/real_text.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Tolerance of integer indices after the transformation.
constexpr double kTolIntIndex = 0.01;
// Most records per block reserved ahead from "nref" (the count is not trusted).
constexpr int kMaxReserve = 1 << 21;

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

std::vector<std::vector<int>> DRDataBlockFeeds(const std::vector<M95Block>& b95) {
  std::vector<std::vector<int>> feeds;
  for (size_t k = 0; k < b95.size(); ++k) {
    const int d = b95[k].Correspond;
    if (d >= 1 && d <= static_cast<int>(feeds.size()))
      feeds[static_cast<size_t>(d - 1)].push_back(static_cast<int>(k));
    else
      feeds.push_back({static_cast<int>(k)});
  }
  return feeds;
}

bool DRIsShelxFormat(int difcode) {
  return difcode == ImpShelxINoAbs || difcode == ImpShelxF || difcode == ImpShelxI ||
         difcode == ImpShelxHklf5;
}

AveSettings DRAveSettingsFromM90(const M90Block& b, const PhaseBasic& phase) {
  AveSettings s;
  s.SigIMethod = b.SigIMethod;
  s.AveSigWt =
      std::clamp(b.AveSigWt, static_cast<int>(AveUnweighted), static_cast<int>(AveShelxWeight));
  s.AddCentrSymm = b.AddCentrSymm != 0;
  s.FLimCull = b.FLimCull;
  s.FLimPrint = b.FLimPrint;
  s.ObsLim = b.ObsLim;
  s.MetTensI = ReciprocalMetric(phase);
  for (const Vec3& q : phase.Qi) s.Qi.push_back({q[0], q[1], q[2]});
  return s;
}

void M95Lean::Reserve(size_t n) {
  H.reserve(n * NDim95);
  I.reserve(n);
  SigI.reserve(n);
  FrameInRun.reserve(n);
  Run.reserve(n);
  ITw.reserve(n);
  Excluded.reserve(n);
}

void M95Lean::Add(const M95Refl& r) {
  H.insert(H.end(), r.H, r.H + NDim95);
  I.push_back(r.I);
  SigI.push_back(r.SigI);
  FrameInRun.push_back(r.FrameInRun);
  Run.push_back(r.Run);
  ITw.push_back(r.ITw);
  Excluded.push_back(r.IFlag != 0);
}

void M95Lean::Get(size_t i, M95Refl& r) const {
  r = M95Refl{};
  std::copy(H.begin() + i * NDim95, H.begin() + (i + 1) * NDim95, r.H);
  r.I = I[i];
  r.SigI = SigI[i];
  r.FrameInRun = FrameInRun[i];
  r.Run = Run[i];
  r.ITw = ITw[i];
  r.IFlag = Excluded[i];
}

int EM9CreateM90Single(const std::vector<M95Block>& b95,
                       const std::vector<std::vector<M95Refl>>& r95, const std::vector<int>& feeds,
                       const PhaseBasic& phase, M90Block& b90, std::vector<M90Refl>& out,
                       std::vector<std::string>& lst) {
  std::vector<M95Lean> lean(r95.size());
  for (size_t k = 0; k < r95.size(); ++k) {
    lean[k].NDim95 = b95[k].NDim95;
    for (const M95Refl& r : r95[k]) lean[k].Add(r);
  }
  return EM9CreateM90Single(b95, lean, feeds, phase, b90, out, lst);
}

int EM9CreateM90Single(const std::vector<M95Block>& b95, const std::vector<M95Lean>& r95,
                       const std::vector<int>& feeds, const PhaseBasic& phase, M90Block& b90,
                       std::vector<M90Refl>& out, std::vector<std::string>& lst,
                       EM9MergeSummary* summary) {
  out.clear();
  EM9MergeSummary sum;
  sum.Block = b90.Name;
  const int ndim = phase.NDim;
  const PhaseSymmetry& ps = phase.Symmetry;
  AveSettings set = DRAveSettingsFromM90(b90, phase);
  std::vector<RejectedRefl> rej;
  bool anyCond = ps.NLattVec > 1;
  for (int s = 0; s < ps.NSymm && !anyCond; ++s)
    for (int i = 0; i < ndim; ++i) anyCond |= std::fabs(ps.Op[s].S6[i]) > 1e-6;
  lst.emplace_back(anyCond ? avemsg::kCondApplied : avemsg::kNoCond);
  if (anyCond)
    for (int s = 0; s < ps.NSymm; ++s) {
      std::string t;
      bool shift = false;
      for (const std::string& c : ps.Op[s].Text) t += c + " ";
      for (int i = 0; i < ndim; ++i) shift |= std::fabs(ps.Op[s].S6[i]) > 1e-6;
      lst.push_back("  " + t);
      // The summary names what gives conditions: operators with a
      // translation, and the centring vectors.
      if (shift) sum.Conditions.emplace_back(Trim(t));
    }
  for (int v = 1; v < ps.NLattVec && v < ps.MaxLattVec(); ++v) {
    std::string t = "centring";
    for (int i = 0; i < ndim; ++i) t += " " + ToFract(ps.VT6[v][i]);
    sum.Conditions.push_back(std::move(t));
  }
  if (anyCond && ndim == 3) {
    lst.emplace_back(avemsg::kReflConditions);
    for (const std::string& c : CrlGetReflectionConditions(ps)) lst.push_back("  " + c);
  }
  // Several sets (blocks, frame groups) are first brought to a common scale.
  // The scale search reads whole records; they are made only when there is
  // more than one set to compare (one block without frame groups is one set).
  std::vector<std::vector<double>> setscale;
  {
    std::vector<std::vector<M95Refl>> full(b95.size());
    if (feeds.size() > 1 || (feeds.size() == 1 && b95[feeds[0]].FrameGr > 0))
      for (int fb : feeds) {
        full[fb].resize(r95[fb].Size());
        for (size_t i = 0; i < full[fb].size(); ++i) r95[fb].Get(i, full[fb][i]);
      }
    if (EM9MakeScales(b95, full, feeds, phase, b90, setscale, lst) != 0) return 1;
  }
  // Two passes over the records: the first selects them and finds the ranges
  // of the indices, the second fills the reflection arrays, so that the
  // measurements are held once, in the arrays.
  std::vector<std::vector<unsigned char>> taken(b95.size());
  size_t nref = 0;
  int lo[kReflMaxNDim], hi[kReflMaxNDim];
  std::fill(lo, lo + kReflMaxNDim, INT_MAX);
  std::fill(hi, hi + kReflMaxNDim, INT_MIN);
  // Indices of record i of block fb transformed into h; false when they are not integers.
  auto transformed = [&](int fb, size_t i, int* h) {
    const M95Block& b = b95[fb];
    const int n95 = b.NDim95;
    const bool tr = static_cast<int>(b.TrMat.size()) == n95 * n95;
    const int* h95 = &r95[fb].H[i * n95];
    bool integer = true;
    for (int j = 0; j < ndim; ++j) {
      double v = 0.;
      if (tr) {
        for (int q = 0; q < n95 && j < n95; ++q) v += b.TrMat[j * n95 + q] * h95[q];
      } else {
        v = j < n95 ? h95[j] : 0.;
      }
      h[j] = static_cast<int>(std::lround(v));
      if (std::fabs(v - h[j]) > kTolIntIndex) integer = false;
    }
    return integer;
  };
  auto factor = [&](int fb, size_t i) {
    const double scale = b95[fb].Scale > 0. ? b95[fb].Scale : 1.;
    const double fs = setscale[fb].empty() ? 1. : setscale[fb][i];
    return std::pair<double, double>(scale, fs);
  };
  for (int fb : feeds) {
    const M95Block& b = b95[fb];
    const M95Lean& rb = r95[fb];
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
    taken[fb].assign(rb.Size(), 0);
    for (size_t i = 0; i < rb.Size(); ++i) {
      if (rb.Excluded[i]) continue;
      ++sum.NRead;
      int h[kReflMaxNDim] = {};
      const bool integer = transformed(fb, i, h);
      const auto [sc, fs] = factor(fb, i);
      RejectedRefl rr;
      std::copy(h, h + ndim, rr.H);
      rr.I = rb.I[i] * sc * fs;
      rr.SigI = rb.SigI[i] * sc * fs;
      if (!integer) {
        std::copy(&rb.H[i * n95], &rb.H[i * n95] + std::min(n95, kReflMaxNDim), rr.H);
        rr.Reason = 1;
        rej.push_back(rr);
        continue;
      }
      if (DRIsExtinct(ps, h)) {
        rr.Reason = 2;
        rej.push_back(rr);
        continue;
      }
      if (b90.Lambda > 0. && DRSinThOverLambda(h, ndim, set) * b90.Lambda > 1.) {
        rr.Reason = 3;
        rej.push_back(rr);
        continue;
      }
      taken[fb][i] = 1;
      ++nref;
      for (int j = 0; j < ndim; ++j) {
        lo[j] = std::min(lo[j], h[j]);
        hi[j] = std::max(hi[j], h[j]);
      }
    }
  }
  EM9OutputOfRejected(rej, ndim, lst);
  // Unusable reflections (not absences) are told in the run's report too.
  const long nSin = std::count_if(rej.begin(), rej.end(), [](auto& r) { return r.Reason == 3; });
  const long nNonInt = std::count_if(rej.begin(), rej.end(), [](auto& r) { return r.Reason == 1; });
  if (nSin + nNonInt > 0)
    ReportLine(
        fmt::format("{} reflections skipped: {} with sin(theta)>1, {} with non-integer "
                    "indices (listed in the \".rre\" listing).",
                    nSin + nNonInt, nSin, nNonInt));
  if (nref == 0) {
    lst.emplace_back(avemsg::kAllDiscarded);
    return 1;
  }
  // Packing ranges from the data.
  IndPackSpec pk;
  pk.N = ndim;
  for (int i = 0; i < ndim; ++i) {
    pk.Offset[i] = -lo[i];
    pk.Range[i] = hi[i] - lo[i] + 1;
  }
  Struct.Refl.Pack = pk;
  ReallocRefArrays(static_cast<int>(nref));
  Struct.Refl.NRef = static_cast<int>(nref);
  size_t k = 0;
  for (int fb : feeds) {
    const M95Lean& rb = r95[fb];
    for (size_t i = 0; i < rb.Size(); ++i) {
      if (!taken[fb][i]) continue;
      int h[kReflMaxNDim] = {};
      (void)transformed(fb, i, h);
      const auto [sc, fs] = factor(fb, i);
      Struct.Refl.HCondAr[k] = IndPack(h, pk);
      Struct.Refl.RIAr[k] = rb.I[i] * sc * fs;
      Struct.Refl.RSAr[k] = rb.SigI[i] * sc * fs;
      Struct.Refl.ICullAr[k] = kCullNone;
      Struct.Refl.RunCCDAr[k] = rb.Run[i];
      Struct.Refl.RefBlockAr[k] = fb + 1;
      Struct.Refl.TwAr[k] = rb.ITw[i];
      ++k;
    }
  }
  AveResult res;
  std::vector<Mat6> rot;
  bool centro = false;
  if (b90.DataAve != 0) {
    if (DRAverage(ps, set, res) != 0) {
      lst.insert(lst.end(), std::make_move_iterator(res.Listing.begin()),
                 std::make_move_iterator(res.Listing.end()));
      return 1;
    }
  } else {
    // no averaging: every measurement is its own group (identity only)
    Mat6 id{};
    for (int i = 0; i < ndim; ++i) id[i * ndim + i] = 1.;
    rot.push_back(id);
    if (DRAverageForPointGroup(rot, centro, set, res) != 0) return 1;
  }
  // The averaging listing can be long: the few lines before it are put in
  // front of it rather than it being copied behind them.
  res.Listing.insert(res.Listing.begin(), std::make_move_iterator(lst.begin()),
                     std::make_move_iterator(lst.end()));
  lst.swap(res.Listing);
  res.Listing = {};
  lst.emplace_back();
  lst.push_back(fmt::format("Rint = {:.4f} for groups of two or more measurements, Rsigma = {:.4f}",
                            res.RintMulti, res.RsigmaAll));
  lst.push_back(fmt::format("{} reflections averaged to {}, {} observed", res.NMeasured,
                            res.NUnique, res.NObs));
  double g = 0.;
  (void)EM9SigCountSigStat(res.Grouping, g, lst);
  // Signed instability u of the block for the refinement option "stunstab".
  (void)EM9InstabilityU(res.Grouping, b90.InstabU, lst);
  sum.Completeness = EM9CheckCompleteness(res.Grouping, ps, set, b90.Lambda, lst);
  sum.NRejected = static_cast<int>(rej.size());
  sum.NExtinct = static_cast<int>(rej.size() - nSin - nNonInt);
  sum.NMeasured = res.NMeasured;
  sum.NUnique = res.NUnique;
  sum.NObs = res.NObs;
  sum.RintObs = res.RintObs / 100.;
  sum.RintAll = res.RintAll / 100.;
  sum.RintMulti = res.RintMulti;
  const AveStatAcc& tot = res.Stats.Total;
  sum.RexpObs = tot.ISum[1] > 0. ? tot.SigSum[1] / tot.ISum[1] : 0.;
  sum.RexpAll = tot.ISum[0] > 0. ? tot.SigSum[0] / tot.ISum[0] : 0.;
  for (double s : res.Grouping.S) sum.SinThLMax = std::max(sum.SinThLMax, s);
  for (int k = 0; k < kAveShells; ++k) {
    const AveStatAcc& a = res.Stats.Shell[static_cast<size_t>(k)];
    if (a.NISig[0] == 0 || !(a.RDen[0] > 0.)) continue;
    sum.ShellS.push_back(res.Stats.SLim[static_cast<size_t>(k)]);
    sum.ShellRint.push_back(a.RNum[0] / a.RDen[0]);
    sum.ShellISig.push_back(a.ISigSum[0] / a.NISig[0]);
  }
  if (summary != nullptr) *summary = std::move(sum);
  if (res.NUnique < 10) {
    lst.emplace_back(avemsg::kFewUnique);
    if (!Sess.BatchMode) ReportWarning(avemsg::kFewUnique);
  }
  const double sc = b90.ScToM90 > 0. ? b90.ScToM90 : 1.;
  out.resize(res.NUnique);
  for (int g2 = 0; g2 < res.NUnique; ++g2) {
    M90Refl& o = out[g2];
    for (int i = 0; i < ndim; ++i) o.H[i] = res.Grouping.HAve[g2 * ndim + i];
    o.I = Struct.Refl.RIAveAr[g2] * sc;
    o.SigI = Struct.Refl.RSAveAr[g2] * sc;
    const int first = Struct.Refl.Ave2Org[g2];
    o.ITw = Struct.Refl.TwAr[first] > 0 ? Struct.Refl.TwAr[first] : 1;
    o.ISc = 1;
    o.Run = Struct.Refl.NAveRedAr[g2];
  }
  b90.NDim = ndim;
  b90.NRef = res.NUnique;
  return 0;
}

int EM9CreateM90(const std::string& base) {
  std::vector<EM9MergeSummary> summary;
  return EM9CreateM90(base, summary);
}

namespace {

// The progress bar of the merge (no title: it cannot be interrupted).
struct MergeProgress {
  MergeProgress() { Report().ProgressBegin(""); }
  ~MergeProgress() { Report().ProgressEnd(); }
  MergeProgress(const MergeProgress&) = delete;
  MergeProgress& operator=(const MergeProgress&) = delete;
};

// Share of the reading of M95 in the fraction shown; the merging of the
// data blocks takes the rest, block by block.
constexpr double kReadShare = 0.5;

}  // namespace

int EM9CreateM90(const std::string& base, std::vector<EM9MergeSummary>& summary) {
  summary.clear();
  std::vector<M95Block> b95;
  std::vector<M95Lean> r95;
  MergeProgress progress;
  // Records expected: the counts of the block headers read when the structure was opened.
  double expected = 0., read = 0.;
  for (const auto& b : Struct.Refl.M95) expected += std::max(b.NRef, 0);
  if (ReadM95FileTo(base + ".m95", b95, [&](size_t k, const M95Block& b, const M95Refl& r) {
        if (++read, expected > 0. && static_cast<long>(read) % 4096 == 0)
          Report().ProgressFraction(kReadShare * std::min(read / expected, 1.));
        if (k >= r95.size()) {
          r95.resize(k + 1);
          r95[k].NDim95 = b.NDim95;
          r95[k].Reserve(std::clamp(b.NRef, 0, kMaxReserve));
        }
        r95[k].Add(r);
        return 0;
      }) != 0)
    return 1;
  r95.resize(b95.size());
  for (size_t k = 0; k < b95.size(); ++k) r95[k].NDim95 = b95[k].NDim95;
  if (Struct.Basic.Phase.empty()) {
    ReportError(avemsg::kAllDiscarded);
    return 1;
  }
  const PhaseBasic& phase = Struct.Basic.Phase[0];
  const std::vector<std::vector<int>> feeds = DRDataBlockFeeds(b95);
  std::vector<M90Block> b90(feeds.size());
  std::vector<std::vector<M90Refl>> r90(feeds.size());
  std::vector<std::string> lst;
  std::vector<EM9MergeSummary> sums(feeds.size());
  for (size_t k = 0; k < feeds.size(); ++k) {
    const M95Block& first = b95[static_cast<size_t>(feeds[k][0])];
    if (k < Struct.Refl.M90.size()) {
      b90[k] = Struct.Refl.M90[k];
    } else {
      SetBasicM90FromM95(b90[k], first);
      // Data from SHELX files are merged the way SHELX merges them, and kept
      // to six digits: at one decimal weak data on a small scale lose the
      // I > n sigma(I) classification of their program.
      if (DRIsShelxFormat(first.DifCode)) {
        b90[k].AveSigWt = AveShelxWeight;
        b90[k].EFormat91 = 1;
      }
    }
    if (b90[k].Lambda <= 0. && first.Lambda > 0.) b90[k].Lambda = first.Lambda;
    std::string from;
    for (int f : feeds[k]) from += fmt::format(" {}", f + 1);
    lst.push_back(
        fmt::format("Data block {} ({}) from reflection block(s){}", k + 1, b90[k].Name, from));
    if (EM9CreateM90Single(b95, r95, feeds[k], phase, b90[k], r90[k], lst, &sums[k]) != 0) {
      ReportError(lst.back());
      return 1;
    }
    Report().ProgressFraction(kReadShare + (1. - kReadShare) * static_cast<double>(k + 1) /
                                               static_cast<double>(feeds.size()));
    lst.emplace_back();
  }
  std::string text;
  size_t len = 0;
  for (const std::string& l : lst) len += l.size() + 1;
  text.reserve(len);
  for (const std::string& l : lst) {
    text += l;
    text += '\n';
  }
  lst = {};
  if (WriteM90File(base + ".m90", b90, r90) != 0) {
    ReportError(avemsg::kM90Cannot, {base + ".m90"});
    return 1;
  }
  Struct.Refl.M90 = b90;
  if (FeWriteFileAtomic(base + ".rre", text) != 0) return 1;
  summary = std::move(sums);
  return 0;
}

}  // namespace tarn
