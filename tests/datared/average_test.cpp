// Merging of equivalents: sigma rules, observed rule, culling, statistics,
// and the published counts of two real data sets.
#include "datared/average.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "datared/average_msg.hpp"
#include "datared_test_util.hpp"
#include "model/refl.hpp"
#include "model/structure.hpp"

namespace tarn {
namespace {

struct Hkl {
  int h, k, l;
  double i, s;
};

using test::MakeGroup;

void Load(const std::vector<Hkl>& r, int ndim = 3, const std::vector<std::vector<int>>& hx = {}) {
  Struct.Refl.Pack = IndPackSpec{};
  Struct.Refl.Pack.N = ndim;
  for (int i = 0; i < ndim; ++i) {
    Struct.Refl.Pack.Offset[i] = 100;
    Struct.Refl.Pack.Range[i] = 201;
  }
  ReallocRefArrays(static_cast<int>(r.size()));
  Struct.Refl.NRef = static_cast<int>(r.size());
  for (size_t k = 0; k < r.size(); ++k) {
    int h[kReflMaxNDim] = {r[k].h, r[k].k, r[k].l};
    if (!hx.empty())
      for (int i = 0; i < ndim; ++i) h[i] = hx[k][i];
    Struct.Refl.HCondAr[k] = IndPack(h, Struct.Refl.Pack);
    Struct.Refl.RIAr[k] = r[k].i;
    Struct.Refl.RSAr[k] = r[k].s;
    Struct.Refl.ICullAr[k] = 0;
  }
}

// True when the averaging listing has the line.
bool Listed(const AveResult& res, std::string_view line) {
  return std::find(res.Listing.begin(), res.Listing.end(), line) != res.Listing.end();
}

AveSettings Cell(double a, double b, double c) {
  AveSettings s;
  s.MetTensI = {1 / (a * a), 0, 0, 0, 1 / (b * b), 0, 0, 0, 1 / (c * c)};
  return s;
}

// ---------------------------------------------------------------- group rules

TEST(Average, SigmaOfTheMeanPerMethod) {
  const int kMax = SigIMaxPropScatter, kProp = SigIPropagated, kScat = SigIScatter;
  const std::vector<double> i4 = {100, 110, 90, 104}, s4 = {5, 5, 5, 5};
  const double sc = std::sqrt((1 + 81 + 121 + 9) / 12.);  // scatter of i4 about 101
  const double w13 = 1. / std::sqrt(1. + 1. / 9.);        // 1/sqrt(sum w) of sigmas 1 and 3
  struct Case {
    int method;
    bool wt;
    double instab;
    std::vector<double> i, s;
    double iave, sig;  // iave NaN: not checked
  } cases[] = {
      {kMax, false, 0, i4, s4, 101, sc},
      {kProp, false, 0, i4, s4, 101, 2.5},  // sqrt(4*25)/4
      {kScat, false, 0, i4, s4, 101, sc},
      {kProp, true, 0, i4, s4, 101, 2.5},
      // Close agreement: the propagated sigma wins in the max rule.
      {kMax, false, 0, {100, 100.5}, {4, 4}, NAN, std::sqrt(32.) / 2.},
      // Unequal sigmas and close values: the max rule takes 1/sqrt(sum w), the
      // propagated rule of the unweighted mean sqrt(sum sigma^2)/n.
      {kMax, false, 0, {50, 50.2}, {1, 3}, 50.1, w13},
      {kProp, false, 0, {50, 50.2}, {1, 3}, 50.1, std::sqrt(10.) / 2.},
      // Weighted mean pulls to the precise measurement; sigma 1/sqrt(sum w).
      {kProp, true, 0, {10, 20}, {1, 3}, (10. + 20. / 9.) / (1. + 1. / 9.), w13},
      // Instability factor enters as sigma^2 + (g I)^2.
      {kMax, false, 0.1, {30}, {4}, 30, 5.},
  };
  for (size_t k = 0; k < std::size(cases); ++k) {
    const Case& c = cases[k];
    AveSettings set;
    set.SigIMethod = c.method;
    set.AveSigWt = c.wt;
    set.InstabFactor = c.instab;
    double a, sg;
    DRAverageGroup(c.i.data(), c.s.data(), static_cast<int>(c.i.size()), set, a, sg);
    if (!std::isnan(c.iave)) {
      EXPECT_NEAR(a, c.iave, 1e-12) << "case " << k;
    }
    EXPECT_NEAR(sg, c.sig, 1e-12) << "case " << k;
  }
}

// SHELX means of hand-made groups (h00 = group h) through the whole merge:
// strong, weak, negative, mixed, close and single measurements. Expected
// values computed independently from w = I/sig^2 (I > 3 sig) else 3/sig and
// sig = max(1/sqrt(sum sig^-2), sum|I-I(ave)|/(n sqrt(n-1))).
TEST(Average, ShelxWeightsAndSigmaOfGroups) {
  struct Group {
    std::vector<double> i, s;
    double iave, sig;
  } groups[] = {
      {{100, 110, 90, 104}, {5, 5, 5, 5}, 101.52475247524752, 3.464101615137755},  // strong
      {{10, 2, -3}, {2, 2, 2.5}, 4.692307692307692, 3.6987123938988633},           // weak
      {{-4, -1}, {2, 3}, -2.8, 1.6641005886756874},                                // negative
      {{50}, {4}, 50., 4.},                                                        // single
      {{30, 6, 12}, {1, 2, 3}, 28.172588832487307, 9.468769993756913},             // mixed
      {{100, 100.5}, {4, 4}, 100.25062344139651, 2.8284271247461903},  // counting sigma wins
  };
  std::vector<Hkl> r;
  for (int g = 0; g < static_cast<int>(std::size(groups)); ++g)
    for (size_t m = 0; m < groups[g].i.size(); ++m)
      r.push_back({g + 1, 0, 0, groups[g].i[m], groups[g].s[m]});
  Load(r);
  AveSettings set = Cell(5, 6, 7);
  set.AveSigWt = AveShelxWeight;
  set.SigIMethod = SigIScatter;  // the SHELX rule has its own sigma
  AveResult res;
  ASSERT_EQ(DRAverage(test::MakeGroup(3, {}), set, res), 0);
  ASSERT_EQ(res.NUnique, static_cast<int>(std::size(groups)));
  EXPECT_TRUE(Listed(res, avemsg::kShelxWt));
  for (int a = 0; a < res.NUnique; ++a) {
    const Group& g = groups[res.Grouping.HAve[3 * a] - 1];
    EXPECT_NEAR(Struct.Refl.RIAveAr[a], g.iave, 1e-9) << "group " << a;
    EXPECT_NEAR(Struct.Refl.RSAveAr[a], g.sig, 1e-9) << "group " << a;
  }
}

TEST(Average, ObservedOnOneDecimalValues) {
  struct Case {
    double i, s, lim;
    bool obs;
  } cases[] = {
      {3.04, 1.01, 3., false},  // nint(30.4)=30 not > 3*nint(10.1)=30
      {3.06, 1.01, 3., true},   // 31 > 30
      {3.04, 0.99, 3., false},  // sigma 0.99 is written as 1.0: 30 > 30 fails
      {3.04, 0.94, 3., true},   // 30 > 3*9
      {-5., 1., 3., false},    {0.2, 0.04, 3., true},  // 2 > 3*0
  };
  for (const Case& c : cases) EXPECT_EQ(DRIsObserved(c.i, c.s, c.lim), c.obs) << c.i << " " << c.s;
}

// ---------------------------------------------------------------- equivalents

TEST(Average, FriedelPairsKeptApartUnlessCentreAdded) {
  // P2: (h k l), (-h k -l) equivalent; Friedel mates (-h -k -l) apart.
  PhaseSymmetry p2 = MakeGroup(3, {"-x y -z"});
  std::vector<Hkl> r = {{1, 2, 3, 100, 5},
                        {-1, 2, -3, 110, 5},
                        {-1, -2, -3, 50, 5},
                        {1, -2, 3, 54, 5},
                        {0, 1, 0, 20, 2}};
  AveSettings set = Cell(5, 6, 7);
  AveResult res;
  Load(r);
  ASSERT_EQ(DRAverage(p2, set, res), 0);
  EXPECT_EQ(res.NUnique, 3);
  EXPECT_EQ(res.NMeasured, 5);
  set.AddCentrSymm = true;
  Load(r);
  ASSERT_EQ(DRAverage(p2, set, res), 0);
  EXPECT_EQ(res.NUnique, 2);
  EXPECT_TRUE(Listed(res, avemsg::kCentrAdd1));
  // P2/m is centrosymmetric: Friedel mates merge without the option.
  PhaseSymmetry p2m = MakeGroup(3, {"-x y -z", "-x -y -z"});
  set.AddCentrSymm = false;
  Load(r);
  ASSERT_EQ(DRAverage(p2m, set, res), 0);
  EXPECT_EQ(res.NUnique, 2);
  // Averaged values are those of the groups: (1 2 3) from 100, 110, 50, 54.
  double found = 0.;
  for (int g = 0; g < Struct.Refl.NAve; ++g)
    if (Struct.Refl.NAveRedAr[g] == 4) found = Struct.Refl.RIAveAr[g];
  EXPECT_NEAR(found, 78.5, 1e-12);
}

TEST(Average, RintTwoWays) {
  // Rint from the listing sums equals the formula over the groups computed by hand.
  std::vector<Hkl> r = {{1, 0, 0, 100, 3}, {-1, 0, 0, 110, 3}, {2, 0, 0, 40, 2},
                        {0, 0, 2, 44, 2},  {0, 2, 0, 39, 2},   {3, 1, 0, 7, 1}};
  PhaseSymmetry m3m = MakeGroup(3, {"-x -y z", "-x y -z", "z x y", "y x -z", "-x -y -z"});
  AveSettings set = Cell(5, 5, 5);
  AveResult res;
  Load(r);
  ASSERT_EQ(DRAverage(m3m, set, res), 0);
  EXPECT_EQ(res.NUnique, 3);
  double num = 10. + (41 - 40) + (44 - 41) + (41 - 39);
  double den = 100 + 110 + 40 + 44 + 39 + 7;
  EXPECT_NEAR(res.RintAll, 100. * num / den, 1e-9);
  EXPECT_NEAR(res.RintMulti, num / (den - 7), 1e-12);
  EXPECT_NEAR(res.Stats.Total.RNum[0] / res.Stats.Total.RDen[0] * 100., res.RintAll, 1e-9);
  EXPECT_EQ(res.Stats.Total.NSingle[0], 1);
  int nshell = 0;
  for (const auto& a : res.Stats.Shell) nshell += a.NUnique[0];
  EXPECT_EQ(nshell, 3);
}

TEST(Average, CullingOnlyWhenLimitPositive) {
  std::vector<Hkl> r = {
      {1, 0, 0, 100, 2}, {1, 0, 0, 101, 2}, {1, 0, 0, 99, 2}, {1, 0, 0, 100, 2}, {1, 0, 0, 300, 2}};
  PhaseSymmetry p1 = MakeGroup(3, {});
  AveSettings set = Cell(5, 5, 5);
  AveResult res;
  Load(r);
  ASSERT_EQ(DRAverage(p1, set, res), 0);
  EXPECT_EQ(res.NCulledFit, 0);
  EXPECT_NEAR(Struct.Refl.RIAveAr[0], 140., 1e-9);
  EXPECT_TRUE(Listed(res, avemsg::kNoCull));
  set.FLimCull = 3.;
  Load(r);
  ASSERT_EQ(DRAverage(p1, set, res), 0);
  EXPECT_EQ(res.NCulledFit, 1);
  EXPECT_EQ(Struct.Refl.ICullAr[4], kCullFit);
  EXPECT_NEAR(Struct.Refl.RIAveAr[0], 100., 1e-9);
  EXPECT_EQ(Struct.Refl.NAveRedAr[0], 4);
  // Manual culls stay marked and are left out.
  Load(r);
  Struct.Refl.ICullAr[4] = kCullMan;
  set.FLimCull = -1.;
  ASSERT_EQ(DRAverage(p1, set, res), 0);
  EXPECT_EQ(res.NCulledMan, 1);
  EXPECT_EQ(Struct.Refl.ICullAr[4], kCullMan);
  EXPECT_NEAR(Struct.Refl.RIAveAr[0], 100., 1e-9);
  EXPECT_TRUE(Listed(res, std::string(avemsg::kCullCounts) + "0/1/0"));
}

TEST(Average, SatelliteStatistics) {
  // (3+1)-dimensional P1-bar-like point group: -1 acting on all four indices.
  std::vector<std::vector<int>> hx = {{1, 0, 0, 0},   {-1, 0, 0, 0}, {1, 0, 0, 1},
                                      {-1, 0, 0, -1}, {1, 1, 0, -2}, {0, 1, 0, 1}};
  std::vector<Hkl> r = {{0, 0, 0, 50, 1}, {0, 0, 0, 52, 1}, {0, 0, 0, 10, 1},
                        {0, 0, 0, 12, 1}, {0, 0, 0, 3, 1},  {0, 0, 0, 0.5, 1}};
  Mat6 id{}, minus{};
  for (int i = 0; i < 4; ++i) {
    id[i * 4 + i] = 1;
    minus[i * 4 + i] = -1;
  }
  AveSettings set = Cell(5, 5, 5);
  set.Qi = {{0., 0., 0.3}};
  AveResult res;
  Load(r, 4, hx);
  ASSERT_EQ(DRAverageForPointGroup({id, minus}, true, set, res), 0);
  EXPECT_EQ(res.NUnique, 4);
  ASSERT_EQ(res.Stats.Sat.size(), 3u);
  EXPECT_EQ(res.Stats.Sat[0].NUnique[0], 1);
  EXPECT_EQ(res.Stats.Sat[1].NUnique[0], 2);
  EXPECT_EQ(res.Stats.Sat[2].NUnique[0], 1);
  EXPECT_EQ(res.Stats.Sat[1].NMeas[0], 3);
  EXPECT_TRUE(Listed(res, avemsg::kStatSatHead));
}

TEST(Average, InstabilityFactorRecovered) {
  // Groups of 4 whose scatter is 5 % of I while the counting sigmas are tiny:
  // the refined g is close to 0.05.
  std::vector<Hkl> r;
  unsigned seed = 12345;
  auto gauss = [&] {
    double u = 0;
    for (int k = 0; k < 12; ++k) {
      seed = seed * 1103515245u + 12345u;
      u += (seed >> 8) / 16777216.;
    }
    return u - 6.;
  };
  for (int h = 1; h <= 200; ++h)
    for (int m = 0; m < 4; ++m) {
      double i0 = 1000. + 10. * h;
      r.push_back({h, 0, 0, i0 * (1. + 0.05 * gauss()), 0.001});
    }
  Load(r);
  AveResult res;
  ASSERT_EQ(DRAverage(MakeGroup(3, {}), Cell(5, 5, 5), res), 0);
  double g = 0.;
  std::vector<std::string> lines;
  ASSERT_EQ(EM9SigCountSigStat(res.Grouping, g, lines), 0);
  EXPECT_NEAR(g, 0.05, 0.006);
  // Too little redundancy.
  Load({{1, 0, 0, 5, 1}, {2, 0, 0, 5, 1}});
  ASSERT_EQ(DRAverage(MakeGroup(3, {}), Cell(5, 5, 5), res), 0);
  lines.clear();
  EXPECT_EQ(EM9SigCountSigStat(res.Grouping, g, lines), 1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], avemsg::kInstabNo1);
}

TEST(Average, ExtinctionRule) {
  PhaseSymmetry p212121 = MakeGroup(3, test::kP212121);
  struct Case {
    int h[3];
    bool ext;
  } cases[] = {{{1, 0, 0}, true}, {{2, 0, 0}, false}, {{0, 3, 0}, true},
               {{0, 0, 5}, true}, {{1, 1, 0}, false}, {{0, 0, 4}, false}};
  for (const Case& c : cases)
    EXPECT_EQ(DRIsExtinct(p212121, c.h), c.ext) << c.h[0] << c.h[1] << c.h[2];
  PhaseSymmetry f = MakeGroup(3, {}, {{0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}});
  int odd[3] = {1, 1, 1}, mixed[3] = {1, 1, 0};
  EXPECT_FALSE(DRIsExtinct(f, odd));
  EXPECT_TRUE(DRIsExtinct(f, mixed));
}

// ---------------------------------------------------------------- published data

}  // namespace
}  // namespace tarn
