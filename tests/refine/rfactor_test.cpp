// R factors: hand-computed R, wR, GOF of a tiny set; the flags decide which
// records a reflection feeds; tables and summary strings.
#include "refine/rfactor.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace tarn {
namespace {

RFacRefl Refl(double fo, double fc, double w, char flag = ' ', int block = 0) {
  RFacRefl r;
  r.Fo = fo;
  r.Fc = fc;
  r.Io = fo * fo;
  r.Ic = fc * fc;
  r.WF = w;
  r.WI = w / 4.;
  r.Flag = flag;
  r.DatBlock = block;
  return r;
}

TEST(RFactor, HandComputedValuesAndFlags) {
  RFacTabs t;
  RefSetRFacTabs(t, /*fsquare*/ false, /*npar*/ 1, 3, false, {"DB1", "DB2"}, {});
  // Observed: (10, 9, w 1), (20, 22, w 0.5), (5, 5.5, w 2) in block 2;
  // unobserved (2, 1, w 1); excluded (30, 10, w 1) feeds nothing.
  RFactorSuma(t, Refl(10, 9, 1));
  RFactorSuma(t, Refl(20, 22, 0.5));
  RFactorSuma(t, Refl(5, 5.5, 2, ' ', 1));
  RFactorSuma(t, Refl(2, 1, 1, '*'));
  RFactorSuma(t, Refl(30, 10, 1, '#'));

  const RFacVal o = RefRFacOverall(t, true), a = RefRFacOverall(t, false);
  EXPECT_EQ(o.N, 3);
  EXPECT_EQ(a.N, 4);
  // R(obs) = (1 + 2 + 0.5) / 35; R(all) adds |2 - 1| and 2.
  EXPECT_NEAR(o.R, 100. * 3.5 / 35., 1e-12);
  EXPECT_NEAR(a.R, 100. * 4.5 / 37., 1e-12);
  // wR(obs) = sqrt((1 + 0.5*4 + 2*0.25) / (100 + 0.5*400 + 2*25)).
  EXPECT_NEAR(o.wR, 100. * std::sqrt(3.5 / 350.), 1e-12);
  // GOF with n - p (p counts the scale): obs 3 - 1 = 2, all 4 - 1 = 3; the
  // restrained GOF adds two restraints with residuals 1 and 0.5.
  EXPECT_NEAR(o.Gof, std::sqrt(3.5 / 2.), 1e-12);
  EXPECT_NEAR(a.Gof, std::sqrt(4.5 / 3.), 1e-12);
  t.NRestr = 2;
  t.RestrWD2 = 1.25;
  EXPECT_NEAR(RefRFacRestrainedGof(t), std::sqrt(5.75 / 5.), 1e-12);
  // R on F**2 with the I weights (w / 4): |100-81| + |400-484| + |25-30.25|.
  EXPECT_NEAR(o.R2, 100. * (19. + 84. + 5.25) / 525., 1e-12);
  // Per data block.
  EXPECT_EQ(t.Block[1].Obs.N, 1);
  EXPECT_EQ(t.Block[0].All.N, 3);

  // n - p < 1 gives 9999.99; a group without reflections has no R.
  RFacSum s;
  s.N = 2;
  s.WDF2 = 1.;
  EXPECT_EQ(RFacValues(s, false, 2).Gof, kRFacGofNone);
  EXPECT_EQ(RFacValues(RFacSum{}, false, 0).R, kRFacNone);

  // Clearing keeps the groups and drops the sums.
  RefRFacNuluj(t);
  EXPECT_EQ(t.Overall.All.N, 0);
  EXPECT_EQ(t.Block.size(), 2u);
}

TEST(RFactor, SatelliteGroupsAndPartialCommands) {
  RefSettings ref;
  ASSERT_EQ(RefParseSubCommand(ref, RkRFactors, "hklm : h=2n+1"), 0);
  ASSERT_EQ(ref.RFactors.size(), 1u);
  const RefHklSel odd = ref.RFactors[0];
  RFacTabs t;
  RefSetRFacTabs(t, true, 0, 4, false, {"DB"}, {odd});
  auto add = [&](int h, int order) {
    RFacRefl r = Refl(10, 10, 1);
    r.NDim = 4;
    r.H[0] = h;
    r.SatOrder = order;
    RFactorSuma(t, r);
  };
  add(1, 0);
  add(2, 1);
  add(3, 1);
  add(4, -1);
  EXPECT_EQ(t.Sat[0].All.N, 1);
  EXPECT_EQ(t.Sat[1].All.N, 2);
  EXPECT_EQ(t.Unsorted.All.N, 1);
  EXPECT_EQ(t.PartGr[0].All.N, 2);  // h = 1 and h = 3
}

TEST(RFactor, SummaryStringTablesAndMachineLine) {
  RFacGroup empty;
  const std::string s = RefMakeRFacString(empty, true, 0);
  EXPECT_NE(s.find("R(obs)= ------"), std::string::npos) << s;
  EXPECT_NE(s.find("wR2(all)= ------"), std::string::npos) << s;

  RFacTabs t;
  RefSetRFacTabs(t, true, 2, 3, false, {"DB"}, {});
  for (int k = 1; k <= 10; ++k) RFactorSuma(t, Refl(10. * k, 10. * k + 0.1, 1.));
  std::vector<std::string> out;
  RFactorWrite(t, 0, 1., out);
  // "(a1,'factors',i1,': ',4f8.4,3i7)": 1 + 7 + 1 + 2 + 32 + 21 characters.
  bool found = false;
  for (const auto& l : out)
    if (l.rfind("Rfactors0: ", 0) == 0) {
      found = true;
      EXPECT_EQ(l.size(), 64u) << l;
      EXPECT_EQ(l.substr(l.size() - 21), "     10     10      0") << l;
    }
  EXPECT_TRUE(found);
  ASSERT_EQ(t.History.size(), 1u);
  out.clear();
  PisRfac(t, out);
  bool overview = false, fHeads = false;
  for (const auto& l : out) {
    overview |= l == "R-factors overview";
    fHeads |=
        l.find("RFobs  RFwobs") != std::string::npos && l.find("max ch/su") != std::string::npos;
  }
  EXPECT_TRUE(overview);
  EXPECT_TRUE(fHeads);
  EXPECT_EQ(RFacMachineLine('M', 12, {}, {}, true, 0).substr(0, 10), "Mfactors*:");
}

TEST(RFactor, WorstReflectionsComeFirstAndExcludedAreLeftOut) {
  std::vector<RFacRefl> v;
  for (int k = 0; k < 5; ++k) {
    RFacRefl r = Refl(10, 10 + k, 1);
    r.SigFo = 1.;
    v.push_back(r);
  }
  v.push_back(Refl(10, 100, 1, '#'));
  v.back().SigFo = 1.;
  const auto w = RefWorstReflections(v, false, 3);
  ASSERT_EQ(w.size(), 3u);
  EXPECT_DOUBLE_EQ(w[0].Fc, 14.);
  EXPECT_DOUBLE_EQ(w[2].Fc, 12.);
}

}  // namespace
}  // namespace tarn
