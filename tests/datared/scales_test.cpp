// Scale factors between sets of measurements: exact recovery of known
// scales, outliers, failures, a real data set's batches, and the scaling of
// two reflection blocks feeding one data block.
#include "datared/scales.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

#include "datared/createm90.hpp"
#include "datared/readers/shelx.hpp"
#include "model/m95m90.hpp"
#include "symmetry/symm.hpp"

namespace tarn {
namespace {

// nset sets, each measuring every one of nuniq reflections, I_obs = I_true / k_s.
struct Synthetic {
  std::vector<int> group, set;
  std::vector<double> i, sig;
};
Synthetic Make(const std::vector<double>& k, int nuniq) {
  Synthetic d;
  for (int s = 0; s < static_cast<int>(k.size()); ++s)
    for (int g = 0; g < nuniq; ++g) {
      // Set 0 measures one reflection twice, so it is the reference.
      for (int rep = 0; rep < (s == 0 && g == 0 ? 2 : 1); ++rep) {
        const double itrue = 50. + 1000. * std::fabs(std::sin(1.3 * g + 0.7));
        d.group.push_back(g);
        d.set.push_back(s);
        d.i.push_back(itrue / k[s]);
        d.sig.push_back(0.02 * itrue / k[s] + 1.);
      }
    }
  return d;
}

TEST(Scales, KnownScalesRecoveredAndOutliersLeftOut) {
  const std::vector<double> k = {1.0, 2.5, 0.4, 1.7};
  for (const bool outlier : {false, true}) {
    Synthetic d = Make(k, 60);
    if (outlier) d.i[70] *= 3.;  // set 1, far beyond 10 sigma
    ScaleResult res;
    ASSERT_EQ(DRMakeScales(d.group, d.set, d.i, d.sig, 4, 10., res), 0);
    EXPECT_EQ(res.Ref, 0);
    EXPECT_EQ(res.NRejected, outlier ? 1 : 0);
    for (int s = 0; s < 4; ++s) {
      EXPECT_NEAR(res.Sets[s].Scale, k[s], 1e-7 * k[s]) << s;
      EXPECT_EQ(res.Sets[s].NCommon, 60);
      EXPECT_EQ(res.Sets[s].NUsed, (s == 0 ? 61 : 60) - (outlier && s == 1));
    }
  }
}

TEST(Scales, SetsThatCannotBeScaled) {
  // Set 2 shares only three reflections with the others.
  Synthetic d = Make({1., 2.}, 40);
  for (int g = 0; g < 3; ++g) {
    d.group.push_back(g);
    d.set.push_back(2);
    d.i.push_back(100.);
    d.sig.push_back(1.);
  }
  ScaleResult res;
  EXPECT_NE(DRMakeScales(d.group, d.set, d.i, d.sig, 3, 10., res), 0);
  EXPECT_EQ(res.Sets[2].NUsed, 3);
  // Sets 2 and 3 measure reflections of their own only: not linked to set 0.
  Synthetic e = Make({1., 2.}, 40);
  for (int s = 2; s < 4; ++s)
    for (int g = 100; g < 120; ++g) {
      e.group.push_back(g);
      e.set.push_back(s);
      e.i.push_back(100. + g);
      e.sig.push_back(1.);
    }
  EXPECT_NE(DRMakeScales(e.group, e.set, e.i, e.sig, 4, 10., res), 0);
  EXPECT_TRUE(res.Sets[2].NUsed < 0 || res.Sets[3].NUsed < 0);
}

// The batches of the NaCl data (already scaled by their program) as sets
// under m-3m: the scales stay close to 1 and the weighted residual of the
// equivalents drops below its value with unit scales.
TEST(Scales, NaClBatches) {
  const std::string f = "../shared/data/nacl/NaCl.hkl";
  if (!std::filesystem::exists(f)) GTEST_SKIP() << "shared data absent";
  ImpData d;
  ErrorRecord err;
  ASSERT_EQ(ReadShelxHkl(f, 4, 3, 3, d, err), 0) << ImpErrorText(err);
  std::map<std::array<int, 3>, int> ids;
  std::map<int, int> sets;
  std::vector<int> group, set;
  std::vector<double> in, sig;
  for (const ImpRefl& r : d.Refl) {
    std::array<int, 3> h = {std::abs(r.H[0]), std::abs(r.H[1]), std::abs(r.H[2])};
    std::sort(h.begin(), h.end());
    group.push_back(ids.emplace(h, static_cast<int>(ids.size())).first->second);
    set.push_back(sets.emplace(r.Batch, static_cast<int>(sets.size())).first->second);
    in.push_back(r.I);
    sig.push_back(r.SigI);
  }
  const int ns = static_cast<int>(sets.size());
  ASSERT_GT(ns, 20);
  ScaleResult res;
  ASSERT_EQ(DRMakeScales(group, set, in, sig, ns, 10., res), 0);
  auto chi2 = [&](const std::vector<double>& k) {
    std::vector<double> a(ids.size()), b(ids.size());
    for (size_t i = 0; i < in.size(); ++i) {
      const double w = 1. / (k[set[i]] * sig[i] * k[set[i]] * sig[i]);
      a[group[i]] += w * k[set[i]] * in[i];
      b[group[i]] += w;
    }
    double c = 0.;
    for (size_t i = 0; i < in.size(); ++i) {
      const double e = (k[set[i]] * in[i] - a[group[i]] / b[group[i]]) / (k[set[i]] * sig[i]);
      c += e * e;
    }
    return c;
  };
  std::vector<double> one(ns, 1.), fit(ns);
  for (int s = 0; s < ns; ++s) {
    fit[s] = res.Sets[s].Scale;
    EXPECT_GT(fit[s], 0.8) << s;
    EXPECT_LT(fit[s], 1.25) << s;
  }
  EXPECT_LT(chi2(fit), chi2(one));
}

// Two reflection blocks of the same data, the second at half the intensity,
// feed one data block: the merged intensities equal those of one block alone.
TEST(Scales, TwoBlocksIntoOneDataBlock) {
  PhaseBasic p;
  for (int i = 0; i < 3; ++i) p.Cell[i] = 6.;
  p.Symmetry = CrlPrimitivePhase(3);
  std::vector<M95Block> b95(2);
  std::vector<std::vector<M95Refl>> r95(2);
  for (int k = 0; k < 2; ++k) {
    SetBasicM95(b95[k]);
    for (int h = 1; h <= 30; ++h) {
      M95Refl r;
      r.H[0] = h % 5;
      r.H[1] = h / 5;
      r.H[2] = 1;
      const double f = k == 0 ? 1. : 0.5;
      r.I = f * (100. + 37. * h);
      r.SigI = f * (2. + 0.01 * h);
      r95[k].push_back(r);
    }
  }
  M90Block b90;
  SetBasicM90(b90);
  std::vector<M90Refl> one, both;
  std::vector<std::string> lst1, lst2;
  ASSERT_EQ(EM9CreateM90Single(b95, r95, {0}, p, b90, one, lst1), 0);
  ASSERT_EQ(EM9CreateM90Single(b95, r95, {0, 1}, p, b90, both, lst2), 0);
  ASSERT_EQ(one.size(), both.size());
  for (size_t i = 0; i < one.size(); ++i) EXPECT_NEAR(both[i].I, one[i].I, 1e-6 * one[i].I);
  EXPECT_EQ(std::find(lst1.begin(), lst1.end(), "Summary from transformation to the common scale"),
            lst1.end());
  const auto head =
      std::find(lst2.begin(), lst2.end(), "Summary from transformation to the common scale");
  ASSERT_NE(head, lst2.end());
  ASSERT_LT(head + 3, lst2.end());
  EXPECT_NE((head + 3)->find("2.00000"), std::string::npos) << *(head + 3);
}

}  // namespace
}  // namespace tarn
