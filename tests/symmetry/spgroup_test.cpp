// Space-group symbols: every tabulated setting round-trips symbol ->
// operators -> symbol, against the operator checksums of the table.
#include "symmetry/spgroup.hpp"

#include "symmetry/magsymbol.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "support/report_script.hpp"
#include "symm_test_util.hpp"
#include "symmetry/spgroup_mag.hpp"

namespace tarn {
namespace {

class SpGroup : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static SgTable t;
    ASSERT_EQ(SgTableLoad("data/", t), 0);
    tab_ = &t;
  }
  static const SgTable* tab_;
  test::ReportScript rs_;
};
const SgTable* SpGroup::tab_ = nullptr;

TEST_F(SpGroup, EverySettingRoundTrips) {
  ASSERT_EQ(tab_->Entry.size(), 530u);
  for (size_t i = 0; i < tab_->Entry.size(); ++i) {
    const SgEntry& e = tab_->Entry[i];
    SCOPED_TRACE(e.Full);
    const PhaseSymmetry& ps = SgEntryOps(*tab_, static_cast<int>(i));
    EXPECT_EQ(ps.NSymm * ps.NLattVec, e.Order);
    EXPECT_EQ(SgOpsChecksum(ps), e.Check);  // the operators the table was made from
    for (const std::string& sym : {e.Short, e.Full}) {
      PhaseSymmetry g;
      SgFound f;
      ASSERT_EQ(EM50GenSym(*tab_, sym, nullptr, nullptr, g, &f), 0) << sym;
      EXPECT_EQ(tab_->Entry[f.Entry].Check, e.Check) << sym;
    }
    SgFound f;
    Vec3 s;
    ASSERT_EQ(findsmbsgorgshiftno(*tab_, ps, f, s), 0);
    EXPECT_EQ(tab_->Entry[f.Entry].Check, e.Check);  // identical sets share a checksum
    EXPECT_EQ(s, (Vec3{0, 0, 0}));
  }
}

TEST_F(SpGroup, StandardSettingsMatchTheOperatorList) {
  for (const auto& g : test::SpaceGroups()) {
    PhaseSymmetry ps = test::MakeGroup(3, g.Gen, g.Centr);
    SgFound f;
    Vec3 s;
    ASSERT_EQ(findsmbsgorgshiftno(*tab_, ps, f, s), 0) << g.Symbol;
    EXPECT_EQ(f.Number, g.Number);
  }
}

TEST_F(SpGroup, MagneticSymbolsPrimeTheElementsWithTimeInversion) {
  struct Case {
    std::vector<std::string> Gen;
    const char* Bns;
  } cases[] = {
      {{"-x y -z -m", "-x -y -z m"}, "P2'/m'"},
      {{"-x+1/2 -y z+1/2 -m", "-x y+1/2 -z m", "-x -y -z m"}, "Pn'ma'"},
      {{"-x+1/2 -y z+1/2 m", "-x y+1/2 -z m", "-x -y -z m"}, "Pnma"},
      {{"-y x z -m", "-x -y -z m"}, "P4'/m"},
  };
  for (const auto& c : cases) {
    const PhaseSymmetry ps = test::MakeGroup(3, c.Gen, {}, true);
    EXPECT_EQ(MagGroupSymbolBNS(*tab_, ps), c.Bns) << c.Gen[0];
  }
}

TEST_F(SpGroup, SpellingsUsersWrite) {
  const double mono_c[6] = {5, 6, 7, 90, 90, 104};
  struct Case {
    const char* Symbol;
    const char* Short;
    const double* Cell;
  };
  for (const Case& c : std::initializer_list<Case>{{"P 21/c", "P21/c", nullptr},
                                                    {"P21/c", "P21/c", nullptr},
                                                    {"P 1 21/c 1", "P21/c", nullptr},
                                                    {"P21/n", "P21/n", nullptr},
                                                    {"-P 2yn", "P21/n", nullptr},
                                                    {"P21", "P21", nullptr},
                                                    {"P 21", "P1121", mono_c},
                                                    {"Fd-3m", "Fd-3m:1", nullptr},
                                                    {"Fd-3m:1", "Fd-3m:1", nullptr},
                                                    {"F d -3 m :2", "Fd-3m:2", nullptr},
                                                    {"R-3m", "R-3m:H", nullptr},
                                                    {"R-3m:H", "R-3m:H", nullptr},
                                                    {"R -3 m :R", "R-3m:R", nullptr},
                                                    {"Pncb:2", "Pncb:2", nullptr},
                                                    {"Ccce", "Ccca:1", nullptr},
                                                    {"-I4ad", "I41/a:2", nullptr},
                                                    {"P 63/m m c", "P63/mmc", nullptr}}) {
    PhaseSymmetry ps;
    SgFound f;
    ASSERT_EQ(EM50GenSym(*tab_, c.Symbol, c.Cell, nullptr, ps, &f), 0) << c.Symbol;
    EXPECT_EQ(f.Symbol, c.Short) << c.Symbol;
  }
  // A Hall symbol with an origin change outside the table's spelling.
  PhaseSymmetry ps;
  SgFound f;
  ASSERT_EQ(EM50GenSym(*tab_, "P 31 2 (0 0 4)", nullptr, nullptr, ps, &f), 0);
  EXPECT_EQ(f.Number, 151);
}

TEST_F(SpGroup, FaultySymbolsAreRefused) {
  for (auto [sym, msg] : std::initializer_list<std::pair<const char*, std::string>>{
           {"Q 21/c", std::string(sgmsg::BadCentring)},
           {"P 21/q", "The symbol \"P 21/q\" isn't found on the list."},
           {"P2'", std::string(sgmsg::MagNonMag)},
           {"-P 7", std::string(sgmsg::BadSymbol)},
           {"-K 2 2", std::string(sgmsg::WrongLattice) + "K"},
           {"R 2 2", std::string(sgmsg::CentrPointGroup)}}) {
    PhaseSymmetry ps;
    ErrorRecord err;
    EXPECT_EQ(EM50GenSym(*tab_, sym, nullptr, nullptr, ps, nullptr, &err), 1) << sym;
    EXPECT_EQ(err.Message, msg) << sym;
  }
}

// Primed symbols: the time-inversion sign of each rotation (det R * trace R
// names it: 3 identity, -3 inversion, -1 two-fold, 1 mirror) and the refusals.
TEST_F(SpGroup, MagneticSymbolsGiveTimeInversion) {
  const double mono[6] = {5, 6, 7, 90, 100, 90};
  // Sign per rotation, keyed by its nine integers.
  auto signs = [&](const char* sym, const double* cell) {
    std::map<std::array<int, 9>, double> out;
    PhaseSymmetry ps;
    EXPECT_EQ(EM50GenSymMag(*tab_, sym, cell, nullptr, ps), 0) << sym;
    EXPECT_TRUE(ps.Magnetic) << sym;
    for (int k = 0; k < ps.NSymm; ++k) {
      std::array<int, 9> r;
      for (int i = 0; i < 9; ++i) r[i] = static_cast<int>(std::lround(ps.Op[k].RM[i]));
      out[r] = ps.Op[k].ZMag;
    }
    return out;
  };
  using R = std::array<int, 9>;
  const R inv{-1, 0, 0, 0, -1, 0, 0, 0, -1}, mx{-1, 0, 0, 0, 1, 0, 0, 0, 1},
      my{1, 0, 0, 0, -1, 0, 0, 0, 1}, mz{1, 0, 0, 0, 1, 0, 0, 0, -1},
      tz{-1, 0, 0, 0, -1, 0, 0, 0, 1}, ty{-1, 0, 0, 0, 1, 0, 0, 0, -1};
  auto p21c = signs("P2_1'/c", mono);
  EXPECT_EQ(p21c.size(), 4u);
  EXPECT_EQ(p21c[ty], -1.);
  EXPECT_EQ(p21c[my], 1.);
  EXPECT_EQ(p21c[inv], -1.);
  auto pnma = signs("Pn'm'a", nullptr);
  EXPECT_EQ(pnma[mx], -1.);
  EXPECT_EQ(pnma[my], -1.);
  EXPECT_EQ(pnma[mz], 1.);
  EXPECT_EQ(pnma[tz], 1.);
  EXPECT_EQ(pnma[inv], 1.);
  EXPECT_EQ(signs("P-1'", nullptr)[inv], -1.);
  auto p4 = signs("P4'/mm'm", nullptr);  // 4-fold and m along a primed, m along [1-10] not
  EXPECT_EQ(p4[(R{0, -1, 0, 1, 0, 0, 0, 0, 1})], -1.);
  EXPECT_EQ(p4[mx], -1.);
  EXPECT_EQ(p4[mz], 1.);
  EXPECT_EQ(p4[(R{0, 1, 0, 1, 0, 0, 0, 0, 1})], 1.);
  auto fm3m = signs("Fm'-3'm", nullptr);
  EXPECT_EQ(fm3m.size(), 48u);
  EXPECT_EQ(fm3m[inv], -1.);
  EXPECT_EQ(fm3m[mz], -1.);
  for (auto [sym, msg] : std::initializer_list<std::pair<const char*, std::string>>{
           {"P4'/mmm", std::string(sgmsg::MagBad)},  // m_x m_[1-10] is the 4-fold: unprimed
           {"P1'", std::string(sgmsg::MagBad)},      // a primed identity
           {"Pn'm'aa", "The symbol \"Pnmaa\" isn't found on the list."}}) {
    PhaseSymmetry ps;
    ErrorRecord err;
    EXPECT_EQ(EM50GenSymMag(*tab_, sym, nullptr, nullptr, ps, nullptr, &err), 1) << sym;
    EXPECT_EQ(err.Message, msg) << sym;
  }
}

TEST_F(SpGroup, OriginShiftIsFoundAndTransformationToStandard) {
  const Vec3 shift{0.25, 0.5, 0.125};
  PhaseSymmetry ps;
  ASSERT_EQ(EM50GenSym(*tab_, "Pnma", nullptr, shift.data(), ps), 0);
  SgFound f;
  Vec3 s;
  ASSERT_EQ(findsmbsgorgshiftno(*tab_, ps, f, s), 0);
  EXPECT_EQ(f.Symbol, "Pnma");
  PhaseSymmetry back;
  ASSERT_EQ(EM50GenSym(*tab_, f.Symbol, nullptr, s.data(), back), 0);
  EXPECT_EQ(SgOpsChecksum(back), SgOpsChecksum(ps));
  // P21/n -> P21/c: x' = x - z.
  ASSERT_EQ(EM50GenSym(*tab_, "P21/n", nullptr, nullptr, ps), 0);
  Mat3 tr;
  ASSERT_EQ(FindSmbSgTr(*tab_, ps, f, tr, s), 0);
  EXPECT_EQ(f.Symbol, "P21/c");
  EXPECT_EQ(tr, (Mat3{1, 0, -1, 0, 1, 0, 0, 0, 1}));
}

TEST_F(SpGroup, ReflectionConditions) {
  using V = std::vector<std::string>;
  for (auto [sym, want] : std::initializer_list<std::pair<const char*, V>>{
           {"P21/c", V{"h0l: l=2n", "0k0: k=2n"}},
           {"P212121", V{"h00: h=2n", "0k0: k=2n", "00l: l=2n"}},
           {"C2/c", V{"hkl: h+k=2n", "h0l: l=2n"}},
           {"Fm-3m", V{"hkl: h+l=2n", "hkl: k+l=2n"}},
           {"P63/mmc", V{"hhl: l=2n", "00l: l=2n"}},
           {"P6122", V{"00l: l=6n"}},
           {"R-3c:H", V{"hkl: 2h+k+l=3n", "h0l: l=2n"}}}) {
    PhaseSymmetry ps;
    ASSERT_EQ(EM50GenSym(*tab_, sym, nullptr, nullptr, ps), 0);
    V got = CrlGetReflectionConditions(ps);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << sym;
    const int absent[3] = {0, 0, 1}, present[3] = {6, 0, 6};
    EXPECT_EQ(SgIsAbsent(ps, present), false) << sym;
    if (std::string(sym) == "P21/c") {
      EXPECT_TRUE(SgIsAbsent(ps, absent));
    }
  }
}

TEST_F(SpGroup, AliasKeepsTheSuperspacePart) {
  EXPECT_EQ(SpGroupAlias(*tab_, "Cmce(0,0,g)s00", true), "Cmca(0,0,g)s00");
  EXPECT_EQ(SpGroupAlias(*tab_, "P21/c", false), "P21/c");
}

}  // namespace
}  // namespace tarn
