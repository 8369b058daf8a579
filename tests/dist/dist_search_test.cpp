// The neighbour search and the tool over hand-built structures: lattice
// translations, operators and centring, the radii-derived limits, occupancy
// rules, the neighbour limit, selections, and the descriptors.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "dist/dist.hpp"
#include "dist/dist_fixture.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/session.hpp"
#include "support/report_script.hpp"

namespace tarn {
namespace {

using test::CoordOf;
using test::MakeStructure;
using test::RunDist;

const std::array<double, 6> kCube{4, 4, 4, 90, 90, 90};

TEST(DistSearch, LatticeAndCentringNeighboursWithSymmetryCodes) {
  // One atom in P and in I: 6 neighbours at a, 8 at a*sqrt(3)/2.
  struct Case {
    std::string lattice;
    size_t n;
    double d;
    const char* dmax;
  } cases[] = {{"P", 6, 4.0, "dmax 4.1"}, {"I", 8, 2 * std::sqrt(3.), "dmax 3.6"}};
  for (const auto& k : cases) {
    auto s = MakeStructure(kCube, {{"Fe"}}, {{"Fe1", 1, {0, 0, 0}}}, {"x y z"}, k.lattice);
    auto r = RunDist(s, k.dmax);
    const auto* co = CoordOf(r, "Fe1");
    ASSERT_NE(co, nullptr);
    ASSERT_EQ(co->Neigh.size(), k.n) << k.lattice;
    for (const auto& n : co->Neigh) EXPECT_NEAR(n.D, k.d, 1e-9);
    if (k.lattice == "P") {
      EXPECT_EQ(DistSymmCode(co->Neigh[0]).substr(0, 2), "1_");
      std::vector<std::string> codes;
      for (const auto& n : co->Neigh) codes.push_back(DistSymmCode(n));
      EXPECT_NE(std::find(codes.begin(), codes.end(), "1_455"), codes.end());
      EXPECT_NE(std::find(codes.begin(), codes.end(), "1_556"), codes.end());
    }
  }
}

TEST(DistSearch, OperatorImagesAndSpecialPositionsAreListedOnce) {
  // P-1: an atom at the centre of symmetry maps onto itself; the atom at x
  // sees its own image at -x.
  auto s = MakeStructure(kCube, {{"C", 0.8}}, {{"C1", 1, {0.5, 0.5, 0.5}}, {"C2", 1, {0.1, 0, 0}}},
                         {"x y z", "-x -y -z"});
  auto r = RunDist(s, "dmax 3.5");
  const auto* c2 = CoordOf(r, "C2");
  ASSERT_NE(c2, nullptr);
  ASSERT_FALSE(c2->Neigh.empty());
  EXPECT_NEAR(c2->Neigh[0].D, 0.8, 1e-9);  // C2 ... C2 at -x
  EXPECT_EQ(c2->Neigh[0].Atom, 1);
  EXPECT_EQ(DistSymmCode(c2->Neigh[0]), "2_555");
  EXPECT_EQ(DistNameWithSymm(r.Phase, c2->Neigh[0]), "C2#s2");
  EXPECT_EQ(r.Phase.Atoms[0].SiteOrder, 2);
  // No duplicate images of C1.
  const auto* c1 = CoordOf(r, "C1");
  for (size_t i = 0; i < c1->Neigh.size(); ++i)
    for (size_t j = i + 1; j < c1->Neigh.size(); ++j)
      EXPECT_FALSE(c1->Neigh[i].Atom == c1->Neigh[j].Atom && c1->Neigh[i].X == c1->Neigh[j].X);
}

TEST(DistSearch, RadiiDerivedLimitExpandedByFivePercent) {
  // Radii 0.77 and 0.73 with dmax -1 and expdmax 5: listed up to 1.575 A.
  for (double d : {1.574, 1.576}) {
    auto s = MakeStructure({10, 10, 10, 90, 90, 90}, {{"C", 0.77}, {"N", 0.73}},
                           {{"C1", 1, {0, 0, 0}}, {"N1", 2, {d / 10, 0, 0}}});
    auto r = RunDist(s);
    EXPECT_EQ(CoordOf(r, "C1")->Neigh.size(), d < 1.575 ? 1u : 0u) << d;
  }
}

TEST(DistSearch, TypicalDistanceBeforeRadii) {
  // Na-Cl: the radii (1.66 + 1.02) miss the rock-salt distance; the table's
  // typical distance (2.83) takes it.
  auto s = MakeStructure({5.64, 5.64, 5.64, 90, 90, 90}, {{"Na", 1.66}, {"Cl", 1.02}},
                         {{"Na1", 1, {0, 0, 0}}, {"Cl1", 2, {0.5, 0, 0}}}, {"x y z"}, "F");
  EXPECT_EQ(CoordOf(RunDist(s), "Na1")->Neigh.size(), 0u);
  const auto r = RunDist(s, "", true);
  EXPECT_EQ(CoordOf(r, "Na1")->Neigh.size(), 6u);
  ASSERT_EQ(r.BondValences.size(), 1u);
  EXPECT_NEAR(r.BondValences[0].Sum, 6 * std::exp((2.15 - 2.82) / 0.37), 1e-9);
}

TEST(DistSearch, OccupancyCutAndMark) {
  auto s = MakeStructure(
      kCube, {{"O", 0.7}},
      {{"O1", 1, {0, 0, 0}}, {"O2", 1, {0.3, 0, 0}, {}, 0.05}, {"O3", 1, {0, 0.3, 0}, {}, 0.5}});
  auto r = RunDist(s, "dmax 1.5 occcut 0.3");
  const auto* co = CoordOf(r, "O1");
  ASSERT_EQ(co->Neigh.size(), 1u);  // O2 cut
  EXPECT_EQ(r.Phase.Atoms[static_cast<size_t>(co->Neigh[0].Atom)].Name, "O3");
  EXPECT_FALSE(co->Neigh[0].LowOcc);
  r = RunDist(s, "dmax 1.5 occind 0.6");
  EXPECT_TRUE(CoordOf(r, "O1")->Neigh[0].LowOcc);
}

TEST(DistSearch, NeighbourLimitCutsToTheNearest) {
  test::ReportScript rs;
  auto s = MakeStructure(kCube, {{"Fe"}}, {{"Fe1", 1, {0, 0, 0}}});
  auto r = RunDist(s, "dmax 8.1");
  const auto* co = CoordOf(r, "Fe1");
  ASSERT_EQ(co->Neigh.size(), static_cast<size_t>(DistMaxNeighbours));
  EXPECT_TRUE(co->Overflow);
  // 6 at a, 12 at a*sqrt2, 8 at a*sqrt3, then 4 of the 6 at 2a.
  EXPECT_NEAR(co->Neigh.back().D, 8., 1e-9);
  EXPECT_EQ(rs.Count("The maximal number of 30 neighbours exceeded."), 1);
}

TEST(DistSearch, SelectionsWithWildcardsAndReducedCoordination) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {{"C*", "C12", true},
               {"C?", "C12", false},
               {"c1?", "C12", true},
               {"*2", "N2", true},
               {"O*", "C1", false}};
  for (const auto& k : cases) EXPECT_EQ(DistNameMatches(k.pattern, k.name), k.match) << k.pattern;
  auto s = MakeStructure(kCube, {{"C", 0.77}, {"O", 0.66}},
                         {{"C1", 1, {0, 0, 0}}, {"C2", 1, {0.35, 0, 0}}, {"O1", 2, {0, 0.35, 0}}});
  auto r = RunDist(s, "select C*\nselsecnd O*");
  ASSERT_EQ(r.Coord.size(), 2u);
  EXPECT_EQ(CoordOf(r, "C1")->Neigh.size(), 1u);  // O1 only
  r = RunDist(s, "fullcoor 0");
  EXPECT_EQ(CoordOf(r, "C1")->Neigh.size(), 2u);
  EXPECT_EQ(CoordOf(r, "C2")->Neigh.size(), 0u);  // C1-C2 is listed under C1
}

TEST(DistSearch, AnglesIndividualQuantitiesAndTheirUncertainties) {
  // Tetrahedral CH4-like group in a cubic cell of 10 A.
  const double t = 0.063;
  auto s = MakeStructure({10, 10, 10, 90, 90, 90}, {{"C", 0.77}, {"H", 0.32}},
                         {{"C1", 1, {0.5, 0.5, 0.5}, {0.001, 0.001, 0.001}},
                          {"H1", 2, {0.5 + t, 0.5 + t, 0.5 + t}},
                          {"H2", 2, {0.5 + t, 0.5 - t, 0.5 - t}},
                          {"H3", 2, {0.5 - t, 0.5 + t, 0.5 - t}},
                          {"H4", 2, {0.5 - t, 0.5 - t, 0.5 + t}}});
  auto r = RunDist(s, "angles 1 select C1\ninddist C1 H1\nindangle H1 C1 H2\ntorsion H1 C1 H2 H3");
  const auto* co = CoordOf(r, "C1");
  ASSERT_EQ(co->Neigh.size(), 4u);
  ASSERT_EQ(co->Angles.size(), 6u);
  for (const auto& a : co->Angles) EXPECT_NEAR(a.Value, std::acos(-1. / 3.) / kDeg, 1e-9);
  ASSERT_EQ(r.Distances.size(), 1u);
  EXPECT_NEAR(r.Distances[0].Value, t * 10 * std::sqrt(3.), 1e-9);
  // Only C1 has s.u.: sigma(d) = |grad| * 0.001 * a with grad along (1,1,1)/sqrt3.
  EXPECT_NEAR(r.Distances[0].Su, 0.01, 1e-9);
  EXPECT_NEAR(r.Angles[0].Value, 109.4712206, 1e-6);
  ASSERT_EQ(r.Torsions.size(), 1u);
  EXPECT_NEAR(std::fabs(r.Torsions[0].Value), 120., 1e-6);
  // A missing atom is reported in its line, not as a failure of the run.
  r = RunDist(s, "inddist C1 X9");
  EXPECT_FALSE(r.Distances[0].Ok);
}

TEST(DistSearch, HydrogenBondsPlanesAndHirshfeld) {
  // O1-H1 ... O2 nearly linear; D-H 0.95, H...A 1.80.
  auto s = MakeStructure({10, 10, 10, 90, 90, 90}, {{"O", 0.66}, {"H", 0.31}},
                         {{"O1", 1, {0.2, 0.2, 0.2}},
                          {"H1", 2, {0.295, 0.2, 0.2}},
                          {"O2", 1, {0.475, 0.21, 0.2}},
                          {"O3", 1, {0.1, 0.3, 0.2}},
                          {"O4", 1, {0.15, 0.35, 0.22}}});
  test::SetBeta(s, 0, {0.002, 0.002, 0.002, 0, 0, 0}, {1e-5, 1e-5, 1e-5, 1e-5, 1e-5, 1e-5});
  test::SetBeta(s, 2, {0.004, 0.002, 0.002, 0, 0, 0}, {1e-5, 1e-5, 1e-5, 1e-5, 1e-5, 1e-5});
  auto r = RunDist(s, "dmax 2.9\nplane O1 O3 O4 H1");
  ASSERT_EQ(r.HBonds.size(), 1u);
  const auto& hb = r.HBonds[0];
  EXPECT_EQ(r.Phase.Atoms[static_cast<size_t>(hb.Donor.Atom)].Name, "O1");
  EXPECT_EQ(r.Phase.Atoms[static_cast<size_t>(hb.Acceptor.Atom)].Name, "O2");
  EXPECT_NEAR(hb.Donor.D, 0.95, 1e-9);
  EXPECT_GT(hb.Angle, 170.);
  // The plane z ~ 0.2 with O4 and the others off by the same small amounts.
  ASSERT_EQ(r.Planes.size(), 1u);
  ASSERT_TRUE(r.Planes[0].Ok);
  double sum = 0.;
  for (const auto& d : r.Planes[0].Dev) sum += d.Value;
  EXPECT_NEAR(sum, 0., 1e-9);
  EXPECT_GT(r.Planes[0].Rms, 0.01);
  // O1-O2 (2.75 A): the MSD along x differs by (0.004-0.002)/(2 pi^2) * a^2.
  ASSERT_EQ(r.Hirshfeld.size(), 1u);
  EXPECT_NEAR(std::fabs(r.Hirshfeld[0].Delta),
              0.002 / (2 * kPi * kPi) * 100 * (0.275 * 0.275) / (0.275 * 0.275 + 0.01 * 0.01),
              1e-5);
}

TEST(DistSearch, RutileBondValenceSumOfTitanium) {
  const std::string dir = "examples/rutile/";
  if (!std::filesystem::exists(dir + "rutile.m50")) GTEST_SKIP() << "rutile example absent";
  Sess.HomeDir = "data/";
  ASSERT_EQ(ScatEnsureLoaded(), 0);
  ASSERT_EQ(iom50(M50Read, dir + "rutile.m50"), 0);
  ASSERT_EQ(iom40(M40Read, dir + "rutile.m40"), 0);
  const auto r = RunDist(Struct, "", true);
  ASSERT_EQ(r.Phase.Atoms[0].SiteOrder, 8);
  EXPECT_NEAR(r.Phase.Atoms[0].Occ, 1., 1e-9);
  const auto* ti = CoordOf(r, "Ti1");
  int tio = 0;
  for (const auto& n : ti->Neigh) tio += r.Phase.Atoms[static_cast<size_t>(n.Atom)].Name == "O1";
  EXPECT_EQ(tio, 6);
  ASSERT_FALSE(r.BondValences.empty());
  EXPECT_EQ(r.Phase.Atoms[static_cast<size_t>(r.BondValences[0].Atom)].Name, "Ti1");
  EXPECT_NEAR(r.BondValences[0].Sum, 4., 0.15);
  EXPECT_EQ(r.BondValences[0].NBonds, 6);
}

}  // namespace
}  // namespace tarn
