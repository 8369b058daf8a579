// Scale factors between sets of measurements (Hamilton, Rollett & Sparks 1965).
#include "datared/scales.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numeric>
#include <tuple>

#include "datared/average.hpp"
#include "datared/average_msg.hpp"

namespace tarn {

namespace {

namespace scmsg {
constexpr const char* TooFewFrames =
    "The number of frames for one scale does not allow refining of scale factors.";
constexpr const char* Enlarge = "Please enlarge this parametr and try again.";
constexpr const char* TooFewCommon =
    "The scale of set \"{}\" cannot be refined: it has {} usable measurements in common with the "
    "other sets (at least {} needed).";
constexpr const char* NotLinked =
    "The scale of set \"{}\" cannot be refined: it shares no reflections with the reference set "
    "or the sets linked to it.";
constexpr const char* Columns =
    "Set                                #common/#gt-ones  #used pairs      Scale";
constexpr const char* Rejected =
    "{} measurements deviating by more than {}*sig(I) were left out "
    "of the scale refinement.";
constexpr const char* Reference = "Reference set: {}; {} iterations.";
}  // namespace scmsg

int Find(std::vector<int>& p, int x) {
  while (p[x] != x) x = p[x] = p[p[x]];
  return x;
}

}  // namespace

int DRMakeScales(const std::vector<int>& group, const std::vector<int>& set,
                 const std::vector<double>& in, const std::vector<double>& sig, int nset,
                 double scalelim, ScaleResult& res) {
  const int n = static_cast<int>(group.size());
  res = ScaleResult{};
  res.Sets.resize(nset);
  if (nset <= 0) return 0;
  // Measurements by group.
  int ngroup = 0;
  for (int g : group) ngroup = std::max(ngroup, g + 1);
  std::vector<int> start(ngroup + 1, 0), order(n);
  for (int g : group) ++start[g + 1];
  std::partial_sum(start.begin(), start.end(), start.begin());
  {
    std::vector<int> pos(start.begin(), start.end() - 1);
    for (int i = 0; i < n; ++i) order[pos[group[i]]++] = i;
  }
  std::vector<char> gt(n), rejected(n, 0), active(n, 0);
  for (int i = 0; i < n; ++i) gt[i] = sig[i] > 0. && in[i] > kScaleGtLim * sig[i];
  // #common and #gt-ones per set.
  std::vector<int> mark(nset, -1), markgt(nset, -1);
  for (int g = 0; g < ngroup; ++g) {
    int nsets = 0, nsetsgt = 0;
    for (int k = start[g]; k < start[g + 1]; ++k) {
      const int i = order[k], s = set[i];
      if (mark[s] != g) mark[s] = g, ++nsets;
      if (gt[i] && markgt[s] != g) markgt[s] = g, ++nsetsgt;
    }
    for (int k = start[g]; k < start[g + 1]; ++k) {
      const int s = set[order[k]];
      if (mark[s] == g && nsets > 1) ++res.Sets[s].NCommon, mark[s] = -2 - g;
      if (markgt[s] == g && nsetsgt > 1) ++res.Sets[s].NGt, markgt[s] = -2 - g;
    }
  }
  std::vector<double> gs(nset, 1.), ih(ngroup, 0.);
  std::vector<int> used(nset, 0);
  res.Ref = -1;
  for (int round = 0; round <= kScaleRejectRounds; ++round) {
    // Active: gt, not rejected, and the reflection has such measurements in
    // two or more sets.
    std::fill(active.begin(), active.end(), 0);
    std::fill(used.begin(), used.end(), 0);
    std::fill(mark.begin(), mark.end(), -1);
    for (int g = 0; g < ngroup; ++g) {
      int nsets = 0;
      for (int k = start[g]; k < start[g + 1]; ++k) {
        const int i = order[k];
        if (gt[i] && !rejected[i] && mark[set[i]] != g) mark[set[i]] = g, ++nsets;
      }
      if (nsets < 2) continue;
      for (int k = start[g]; k < start[g + 1]; ++k) {
        const int i = order[k];
        if (gt[i] && !rejected[i]) active[i] = 1, ++used[set[i]];
      }
    }
    if (res.Ref < 0)
      res.Ref = static_cast<int>(std::max_element(used.begin(), used.end()) - used.begin());
    for (int s = 0; s < nset; ++s) res.Sets[s].NUsed = used[s];
    for (int s = 0; s < nset; ++s)
      if (used[s] < kScaleMinUsed) return 1;
    // Every set must be linked to the reference through active reflections.
    std::vector<int> parent(nset);
    std::iota(parent.begin(), parent.end(), 0);
    for (int g = 0; g < ngroup; ++g) {
      int first = -1;
      for (int k = start[g]; k < start[g + 1]; ++k) {
        const int i = order[k];
        if (!active[i]) continue;
        if (first < 0)
          first = set[i];
        else
          parent[Find(parent, set[i])] = Find(parent, first);
      }
    }
    for (int s = 0; s < nset; ++s)
      if (Find(parent, s) != Find(parent, res.Ref)) {
        res.Sets[s].NUsed = -1;  // marks the set that is not linked
        return 1;
      }
    // Alternating least squares of sum w (I_i - G_s I_h)^2, w = 1/sigma^2
    // (HRS 1965 eqs. 5-7): I_h = sum w G I / sum w G^2, G_s = sum w I I_h / sum w I_h^2.
    auto means = [&] {
      for (int g = 0; g < ngroup; ++g) {
        double a = 0., b = 0.;
        for (int k = start[g]; k < start[g + 1]; ++k) {
          const int i = order[k];
          if (!active[i]) continue;
          const double w = 1. / (sig[i] * sig[i]), G = gs[set[i]];
          a += w * G * in[i];
          b += w * G * G;
        }
        ih[g] = b > 0. ? a / b : 0.;
      }
    };
    std::vector<double> num(nset), den(nset);
    for (res.NIter = 1; res.NIter <= kScaleMaxIter; ++res.NIter) {
      means();
      std::fill(num.begin(), num.end(), 0.);
      std::fill(den.begin(), den.end(), 0.);
      for (int i = 0; i < n; ++i) {
        if (!active[i]) continue;
        const double w = 1. / (sig[i] * sig[i]);
        num[set[i]] += w * in[i] * ih[group[i]];
        den[set[i]] += w * ih[group[i]] * ih[group[i]];
      }
      double change = 0.;
      const double gref = num[res.Ref] / den[res.Ref];
      for (int s = 0; s < nset; ++s) {
        const double g = num[s] / den[s] / gref;
        change = std::max(change, std::abs(g - gs[s]) / std::abs(g));
        gs[s] = g;
      }
      if (change < kScaleConv) break;
    }
    if (!(scalelim > 0.)) break;
    means();
    // One outlier pulls the mean of its reflection towards itself, so only
    // the worst measurement of each reflection is left out per round.
    int newly = 0;
    for (int g = 0; g < ngroup; ++g) {
      int worst = -1;
      double dmax = scalelim;
      for (int k = start[g]; k < start[g + 1]; ++k) {
        const int i = order[k];
        if (!active[i]) continue;
        const double dev = std::abs(in[i] - gs[set[i]] * ih[g]) / sig[i];
        if (dev > dmax) dmax = dev, worst = i;
      }
      if (worst >= 0) rejected[worst] = 1, ++newly;
    }
    if (newly == 0) break;
    res.NRejected += newly;
  }
  for (int s = 0; s < nset; ++s) res.Sets[s].Scale = 1. / gs[s];
  return 0;
}

void DRScalesListing(const ScaleResult& res, std::vector<std::string>& lst) {
  lst.emplace_back();
  lst.emplace_back(avemsg::kScaleHead);
  lst.emplace_back(scmsg::Columns);
  for (const ScaleSet& s : res.Sets)
    lst.push_back(fmt::format("{:<35}{:>8}/{:<8}{:>13}{:>11.5f}", s.Label, s.NCommon, s.NGt,
                              std::max(s.NUsed, 0), s.Scale));
  if (res.Ref >= 0 && res.Ref < static_cast<int>(res.Sets.size()))
    lst.push_back(fmt::format(fmt::runtime(scmsg::Reference), res.Sets[res.Ref].Label, res.NIter));
  if (res.NRejected > 0)
    lst.push_back(fmt::format(fmt::runtime(scmsg::Rejected), res.NRejected, "scalelim"));
}

int EM9MakeScales(const std::vector<M95Block>& b95, const std::vector<std::vector<M95Refl>>& r95,
                  const std::vector<int>& feeds, const PhaseBasic& phase, const M90Block& b90,
                  std::vector<std::vector<double>>& factor, std::vector<std::string>& lst) {
  factor.assign(b95.size(), {});
  // One block without frame groups is one set: nothing to scale.
  if (feeds.size() == 1 && b95[feeds[0]].FrameGr <= 0) return 0;
  // Set of each reflection: (block, run, frame group).
  std::map<std::tuple<int, int, int>, int> ids;
  std::vector<std::string> labels;
  std::vector<std::vector<int>> setof(b95.size());
  bool framegroups = false;
  for (int fb : feeds) {
    const M95Block& b = b95[fb];
    framegroups = framegroups || b.FrameGr > 0;
    setof[fb].resize(r95[fb].size());
    for (size_t r = 0; r < r95[fb].size(); ++r) {
      const M95Refl& x = r95[fb][r];
      int run = 0, fg = 0;
      if (b.FrameGr > 0) {
        run = x.Run;
        fg = static_cast<int>(std::floor(std::max(x.FrameInRun - 1., 0.) / b.FrameGr));
      }
      const auto key = std::make_tuple(fb, run, fg);
      auto it = ids.find(key);
      if (it == ids.end()) {
        it = ids.emplace(key, static_cast<int>(labels.size())).first;
        labels.push_back(b.FrameGr > 0 ? fmt::format("block {} run {} frames {}-{}", fb + 1, run,
                                                     fg * b.FrameGr + 1, (fg + 1) * b.FrameGr)
                                       : fmt::format("block {}", fb + 1));
      }
      setof[fb][r] = it->second;
    }
  }
  if (labels.size() < 2) {
    factor.assign(b95.size(), {});
    return 0;
  }
  // Unique reflections: indices transformed and reduced to the smallest
  // equivalent (lexicographic) under the point group.
  const int ndim = phase.NDim;
  bool centro = false;
  const std::vector<Mat6> rot = DRPointGroup(phase.Symmetry, centro);
  const bool friedel = centro || b90.AddCentrSymm != 0;
  std::map<std::array<int, kReflMaxNDim>, int> groups;
  std::vector<int> group, set;
  std::vector<double> in, sig;
  for (int fb : feeds) {
    const M95Block& b = b95[fb];
    const int n95 = b.NDim95;
    const bool tr = static_cast<int>(b.TrMat.size()) == n95 * n95;
    const double sc = b.Scale > 0. ? b.Scale : 1.;
    for (size_t r = 0; r < r95[fb].size(); ++r) {
      const M95Refl& x = r95[fb][r];
      if (x.IFlag != 0) continue;
      double h[kReflMaxNDim] = {};
      bool integral = true;
      for (int i = 0; i < ndim; ++i) {
        double v = 0.;
        if (tr) {
          for (int j = 0; j < n95 && i < n95; ++j) v += b.TrMat[i * n95 + j] * x.H[j];
        } else {
          v = i < n95 ? x.H[i] : 0.;
        }
        h[i] = std::round(v);
        integral = integral && std::abs(v - h[i]) < 0.01;
      }
      if (!integral) continue;
      std::array<int, kReflMaxNDim> best{};
      bool first = true;
      for (const Mat6& m : rot)
        for (const double sign : {1., -1.}) {
          if (sign < 0. && !friedel) continue;
          std::array<int, kReflMaxNDim> e{};
          for (int j = 0; j < ndim; ++j) {
            double v = 0.;
            for (int i = 0; i < ndim; ++i) v += h[i] * m[i * ndim + j];
            e[j] = static_cast<int>(std::lround(sign * v));
          }
          if (first || e < best) best = e;
          first = false;
        }
      const auto it = groups.emplace(best, static_cast<int>(groups.size())).first;
      group.push_back(it->second);
      set.push_back(setof[fb][r]);
      in.push_back(x.I * sc);
      sig.push_back(x.SigI * sc);
    }
  }
  ScaleResult res;
  for (const std::string& l : labels) res.Sets.push_back({l});
  const double lim = b90.ScaleLim > 0. ? b90.ScaleLim : 10.;
  const int rc = DRMakeScales(group, set, in, sig, static_cast<int>(labels.size()), lim, res);
  for (size_t s = 0; s < labels.size(); ++s) res.Sets[s].Label = labels[s];
  DRScalesListing(res, lst);
  if (rc != 0) {
    if (framegroups) {
      lst.emplace_back(scmsg::TooFewFrames);
      lst.emplace_back(scmsg::Enlarge);
    } else {
      for (const ScaleSet& s : res.Sets)
        if (s.NUsed < 0) {
          lst.push_back(fmt::format(fmt::runtime(scmsg::NotLinked), s.Label));
          break;
        } else if (s.NUsed < kScaleMinUsed) {
          lst.push_back(
              fmt::format(fmt::runtime(scmsg::TooFewCommon), s.Label, s.NUsed, kScaleMinUsed));
          break;
        }
    }
    factor.assign(b95.size(), {});
    return 1;
  }
  for (int fb : feeds) factor[fb].assign(r95[fb].size(), 1.);
  for (int fb : feeds)
    for (size_t r = 0; r < r95[fb].size(); ++r) factor[fb][r] = res.Sets[setof[fb][r]].Scale;
  return 0;
}

}  // namespace tarn
