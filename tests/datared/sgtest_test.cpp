// The space-group test on simulated data of known groups (equivalent
// reflections equal, absences zero, centric or acentric statistics) and on
// the published data sets of ../shared/data.
#include "datared/sgtest.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "datared/readers/shelx.hpp"
#include "datared_test_util.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

const SgTable& Tab() {
  static SgTable t;
  static const int rc = SgTableLoad("data/", t);
  EXPECT_EQ(rc, 0);
  return t;
}

// A P1 phase with the cell (no composition: E^2 normalised in shells).
PhaseBasic CellPhase(const double* cell) {
  BasicData b;
  b.Phase.resize(1);
  b.DatBlock.resize(1);
  std::copy(cell, cell + 6, b.Phase[0].Cell);
  EXPECT_EQ(SetBasicM50(b), 0);
  return b.Phase[0];
}

std::vector<IntStatRefl> Simulate(const char* symbol, const PhaseBasic& p) {
  PhaseSymmetry ps;
  EXPECT_EQ(EM50GenSym(Tab(), symbol, p.Cell, nullptr, ps), 0);
  bool centro = false;
  for (int k = 0; k < ps.NSymm; ++k)
    centro = centro || ps.Op[k].RM[0] + ps.Op[k].RM[4] + ps.Op[k].RM[8] == -3.;
  std::mt19937 rng(11);
  std::exponential_distribution<double> ex(1.);
  std::normal_distribution<double> nd(0., 1.);
  std::map<std::array<int, 3>, double> orbit;  // intensity of each orbit
  std::vector<IntStatRefl> out;
  for (int h = -8; h <= 8; ++h)
    for (int k = -8; k <= 8; ++k)
      for (int l = -8; l <= 8; ++l) {
        const int hh[3] = {h, k, l};
        double q = 0.;  // 1/d^2
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) q += hh[i] * p.MetTensI[i * 3 + j] * hh[j];
        if (q == 0. || q > 1.2) continue;
        std::array<int, 3> key{-99, -99, -99};
        for (int s = 0; s < ps.NSymm; ++s)
          for (int sign : {1, -1}) {
            std::array<int, 3> g{};
            for (int j = 0; j < 3; ++j)
              for (int i = 0; i < 3; ++i)
                g[j] += sign * hh[i] * static_cast<int>(ps.Op[s].RM[i * 3 + j]);
            key = std::max(key, g);
          }
        auto [it, fresh] = orbit.try_emplace(key, 0.);
        if (fresh) it->second = 1000. * (centro ? std::pow(nd(rng), 2) : ex(rng));
        const double i0 = SgIsAbsent(ps, hh) ? 0. : it->second;
        const double sig = 0.03 * i0 + 2.;
        out.push_back({{h, k, l}, i0 + sig * nd(rng), sig});
      }
  return out;
}

// Simulated data of known groups; the P21 cell is pseudo-orthorhombic
// (beta 90.3), so the metric suggests one twin law (a 2-fold along a or c).
TEST(SgTest, SimulatedGroupsComeFirst) {
  const struct {
    const char* Group;
    double Cell[6];
    const char* Laue;
  } cases[] = {
      {"P212121", {7, 9, 11, 90, 90, 90}, "mmm"},    {"P21/c", {7, 9, 11, 90, 101, 90}, "2/m"},
      {"P21", {7, 9, 11, 90, 90.3, 90}, "2/m"},      {"P-1", {7, 9, 11, 80, 101, 95}, "-1"},
      {"P63/mmc", {8, 8, 13, 90, 90, 120}, "6/mmm"}, {"Fm-3m", {12, 12, 12, 90, 90, 90}, "m-3m"}};
  for (const auto& c : cases) {
    const PhaseBasic p = CellPhase(c.Cell);
    SgTestResult r;
    ASSERT_EQ(DRSGTest(Simulate(c.Group, p), p, Tab(), SgTestSettings{}, r), 0) << c.Group;
    EXPECT_EQ(r.Laue, c.Laue) << c.Group;
    EXPECT_TRUE(r.XCentr.empty()) << c.Group;
    EXPECT_EQ(r.Twins.size(), std::string(c.Group) == "P21" ? 1u : 0u) << c.Group;
    ASSERT_FALSE(r.Cand.empty());
    EXPECT_EQ(r.Cand[0].Symbol, c.Group) << c.Group << "\n"
                                         << [&] {
                                              std::string s;
                                              for (auto& l : r.Listing) s += l + "\n";
                                              return s;
                                            }();
  }
}

// P212121 data indexed in a cell doubled along a: the reflections with h
// odd are absent, and the X centring vector (1/2 0 0) says so.
TEST(SgTest, DoubledCellShowsXCentring) {
  const double cell[6] = {7, 9, 11, 90, 90, 90}, big[6] = {14, 9, 11, 90, 90, 90};
  std::vector<IntStatRefl> refl;
  std::mt19937 rng(3);
  std::normal_distribution<double> nd(0., 1.);
  for (IntStatRefl r : Simulate("P212121", CellPhase(cell))) {
    r.H[0] *= 2;
    refl.push_back(r);
    if (r.H[0] < 16) refl.push_back({{r.H[0] + 1, r.H[1], r.H[2]}, 2. * nd(rng), 2.});
  }
  SgTestResult r;
  ASSERT_EQ(DRSGTest(refl, CellPhase(big), Tab(), SgTestSettings{}, r), 0);
  ASSERT_EQ(r.XCentr.size(), 1u);
  EXPECT_EQ(r.XCentr[0], (Vec3{0.5, 0., 0.}));
  // Repeated in the subcell: the odd h left out, the true cell and group.
  const Mat3 sub = DRSGTestSubCell(r.XCentr);
  EXPECT_NEAR(ToEigen(sub).determinant(), 0.5, 1e-9);
  PhaseBasic p = CellPhase(big);
  const size_t n = refl.size();
  const int dropped = DRSGTestToCell(sub, refl, p);
  EXPECT_EQ(dropped, static_cast<int>(n - refl.size()));
  EXPECT_GT(dropped, 1000);
  EXPECT_NEAR(p.Cell[0] * p.Cell[1] * p.Cell[2], 7. * 9. * 11., 1e-6);
  ASSERT_EQ(DRSGTest(refl, p, Tab(), SgTestSettings{}, r), 0);
  EXPECT_TRUE(r.XCentr.empty());
  EXPECT_EQ(r.Cand[0].Symbol, "P212121");
}

// Fm-3m data indexed in the primitive rhombohedral cell (h_p = P^T h with
// a_p = (b+c)/2, b_p = (a+c)/2, c_p = (a+b)/2): the metric finds the cubic
// cell four times as large, and the test repeated there finds Fm-3m.
TEST(SgTest, TestRepeatedInTheCubicCellOfAPrimitiveOne) {
  const double cubic[6] = {12, 12, 12, 90, 90, 90};
  const Eigen::Matrix3d pc = (Eigen::Matrix3d() << 0, .5, .5, .5, 0, .5, .5, .5, 0).finished();
  std::vector<IntStatRefl> refl = Simulate("Fm-3m", CellPhase(cubic));
  std::erase_if(refl, [](const IntStatRefl& r) {
    return (r.H[0] + r.H[1]) % 2 != 0 || (r.H[1] + r.H[2]) % 2 != 0;
  });
  PhaseBasic p = CellPhase(cubic);
  EXPECT_EQ(DRSGTestToCell(FromEigen(pc), refl, p), 0);
  EXPECT_NEAR(p.Cell[3], 60., 1e-9);
  SgTestResult r;
  (void)DRSGTest(refl, p, Tab(), SgTestSettings{}, r);
  ASSERT_FALSE(r.Cells.empty());
  EXPECT_TRUE(r.Cells[0].Higher);
  EXPECT_EQ(r.Cells[0].System, "cubic");
  EXPECT_EQ(DRSGTestToCell(r.Cells[0].P, refl, p), 0);
  EXPECT_NEAR(p.Cell[0], 12., 1e-6);
  ASSERT_EQ(DRSGTest(refl, p, Tab(), SgTestSettings{}, r), 0);
  EXPECT_EQ(r.Centring, 'F');
  EXPECT_EQ(r.Cand[0].Symbol, "Fm-3m");
}

// Lattices whose metric symmetry the given axes hide: a C-centred
// orthorhombic lattice in a primitive cell, a rhombohedral lattice on
// rhombohedral axes; an orthorhombic cell stays itself.
TEST(SgTest, MetricCellsOfHiddenLattices) {
  const struct {
    double Cell[6];
    const char* System;
    int Det;
    double A, C;  // expected a (or the shortest axis) and c of the found cell
  } cases[] = {{{5.830952, 5.830952, 7, 90, 90, 61.9275}, "orthorhombic", 2, 6., 10.},
               {{5, 5, 5, 70, 70, 70}, "hexagonal", 3, 5.7358, 11.2385},
               {{6, 10, 7, 90, 90, 90}, "orthorhombic", 1, 6., 10.}};
  for (const auto& c : cases) {
    const std::vector<SgCellCandidate> r = DRSGTestMetricCells(c.Cell, SgTestSettings{});
    ASSERT_FALSE(r.empty()) << c.System;
    EXPECT_EQ(r[0].System, c.System);
    EXPECT_EQ(r[0].Det, c.Det) << c.System;
    const double* x = r[0].Cell;
    EXPECT_NEAR(std::min({x[0], x[1], x[2]}), c.A, 1e-3) << c.System;
    EXPECT_NEAR(std::max({x[0], x[1], x[2]}), c.C, 1e-3) << c.System;
  }
}

// HKLF 4 lines (3I4, 2F8) of a text.
std::vector<IntStatRefl> Hklf4(const std::string& text) {
  std::vector<IntStatRefl> out;
  for (const std::string& l : SplitOn(text, "\n")) {
    if (l.size() < 28) continue;
    auto h = ToInt(Trim(l.substr(0, 4))), k = ToInt(Trim(l.substr(4, 4))),
         m = ToInt(Trim(l.substr(8, 4)));
    auto i = ToReal(Trim(l.substr(12, 8))), s = ToReal(Trim(l.substr(20, 8)));
    if (!h || !k || !m || !i || !s) continue;
    if (*h == 0 && *k == 0 && *m == 0) break;
    out.push_back({{static_cast<int>(*h), static_cast<int>(*k), static_cast<int>(*m)}, *i, *s});
  }
  return out;
}

TEST(SgTest, PublishedDataSets) {
  const struct {
    const char* File;
    double Cell[6];
    const char* Group;
  } cases[] = {{"shelx/SH2185_Cu.cif", {7.7192, 11.0672, 20.9366, 90, 90, 90}, "P212121"},
               {"nacl/NaCl.hkl", {5.641087, 5.641087, 5.641087, 90, 90, 90}, "Fm-3m"}};
  for (const auto& c : cases) {
    std::string text;
    if (FeReadFile(test::kData + c.File, text) != 0) GTEST_SKIP() << c.File << " not available";
    if (const size_t p = text.find("_shelx_hkl_file"); p != std::string::npos)
      text = text.substr(p);
    const PhaseBasic ph = CellPhase(c.Cell);
    SgTestResult r;
    ASSERT_EQ(DRSGTest(Hklf4(text), ph, Tab(), SgTestSettings{}, r), 0) << c.File;
    std::string all;
    for (auto& l : r.Listing) all += l + "\n";
    ASSERT_FALSE(r.Cand.empty()) << all;
    EXPECT_TRUE(r.XCentr.empty()) << all;
    EXPECT_TRUE(r.Twins.empty()) << all;
    // First, or tied with the first by its absences (NaCl: the atoms on
    // special positions give no usable intensity statistics).
    auto it = std::find_if(r.Cand.begin(), r.Cand.end(),
                           [&](const SgCandidate& x) { return x.Symbol == c.Group; });
    ASSERT_NE(it, r.Cand.end()) << all;
    EXPECT_EQ(it->Abs.NAll, r.Cand[0].Abs.NAll) << all;
    if (std::string(c.Group) == "P212121") {
      EXPECT_EQ(it, r.Cand.begin()) << all;
    }
  }
}

// The modulated FeCHOO data (q = 0.16604 b*): centring, Laue group and the
// basic groups from the main reflections, then the (3+1)-dimensional
// candidates from main reflections and satellites: the published group
// Pnma(0,0,g)0s0 (q along c) comes first.
TEST(SgTest, ModulatedDataGiveSuperspaceCandidates) {
  const std::string f = test::kData + "raw/bruker-modulated/2018S036_FeCHOO_100K_0m.hkl";
  ImpData d;
  ErrorRecord err;
  if (!std::filesystem::exists(f)) GTEST_SKIP() << f << " not available";
  ASSERT_EQ(ReadShelxHkl(f, 4, 4, 4, d, err), 0);
  std::vector<IntStatRefl> mainRefl;
  std::vector<SsgTestRefl> all;
  for (const ImpRefl& r : d.Refl) {
    all.push_back({{r.H[0], r.H[1], r.H[2], r.H[3]}, r.I, r.SigI});
    if (r.H[3] == 0) mainRefl.push_back({{r.H[0], r.H[1], r.H[2]}, r.I, r.SigI});
  }
  const double cell[6] = {8.3992, 8.1627, 11.8119, 90, 90, 90};
  SgTestResult r;
  ASSERT_EQ(DRSGTest(mainRefl, CellPhase(cell), Tab(), SgTestSettings{}, r), 0);
  EXPECT_EQ(r.Centring, 'P');
  EXPECT_EQ(r.Laue, "mmm");
  EXPECT_TRUE(r.XCentr.empty());
  SsgTable stab;
  ASSERT_EQ(SsgTableLoad("data/", stab), 0);
  std::vector<SsgCandidate> cand;
  std::vector<std::string> lines;
  ASSERT_EQ(DRSGTestSSG4(all, {0., 0.16604, 0.}, Tab(), stab, r, SgTestSettings{}, cand, lines), 0);
  std::string text;
  for (const auto& l : r.Listing) text += l + "\n";
  for (const auto& l : lines) text += l + "\n";
  ASSERT_FALSE(r.Cand.empty()) << text;
  EXPECT_EQ(r.Cand[0].Symbol, "Pnam") << text;  // Pnma with b and c exchanged
  ASSERT_FALSE(cand.empty()) << text;
  EXPECT_EQ(cand[0].Symbol, "Pnma(0,0,g)0s0") << text;
  EXPECT_EQ(cand[0].Axes, "-a,c,b") << text;
}

}  // namespace
}  // namespace tarn
