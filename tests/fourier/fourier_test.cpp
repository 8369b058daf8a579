// The Fourier synthesis: command block, grid rules, coefficients, the two
// summations, the map file, maps of a hand-made structure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "fourier/foupeaks.hpp"
#include "fourier_fixture.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "util/files.hpp"

namespace tarn::test {
namespace {

const std::array<double, 6> kCube = {10, 10, 10, 90, 90, 90};
const std::vector<std::string> kP1 = {"x y z"};
const std::vector<std::string> kP21 = {"x y z", "-x y+1/2 -z"};
const std::vector<std::string> kP212121 = {"x y z", "-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2",
                                           "x+1/2 -y+1/2 -z"};

TEST(FourierCommands, SpecialKeywordsAndRoundTrip) {
  FouSettings Fou;
  DefaultFourier(Fou);
  KeyUnit u;
  KeyOpenText(u, "t.l51",
              "fourier\n  maptype 6 step 0.2 cmethod 2\n  xlim 0 0.5\n  x4lim 0 1 0.05\n"
              "  refstr other\n  datblocks 1 3\nend fourier\n");
  int err = 1;
  NactiFourier(u, Fou, err);
  ASSERT_EQ(err, 0);
  EXPECT_EQ(Fou.I(FkMapType), 6);
  EXPECT_DOUBLE_EQ(Fou.R(FkStep), 0.2);
  EXPECT_DOUBLE_EQ(Fou.LimMax[0], 0.5);
  EXPECT_DOUBLE_EQ(Fou.LimStep[0], 1.) << "a missing step is stored as 1";
  EXPECT_DOUBLE_EQ(Fou.LimStep[3], 0.05);
  EXPECT_LT(Fou.LimMin[1], -330.) << "ylim not given";
  EXPECT_EQ(Fou.RefStr, "other");
  EXPECT_EQ(Fou.DatBlocks, (std::vector<int>{1, 3}));
  const auto lines = FouBlockLines(Fou, "", 4, 2);
  // Read back, the block gives the same lines.
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  DefaultFourier(Fou);
  KeyOpenText(u, "again", text);
  NactiFourier(u, Fou, err);
  ASSERT_EQ(err, 0);
  EXPECT_EQ(FouBlockLines(Fou, "", 4, 2), lines);
  // Defaults write nothing but the header and the end line; the default
  // superspace limits neither.
  DefaultFourier(Fou);
  Fou.LimMin[3] = 0.;
  Fou.LimMax[3] = 1.;
  Fou.LimStep[3] = 0.1;
  EXPECT_EQ(FouBlockLines(Fou, "Ph2", 4, 1),
            (std::vector<std::string>{"fourier Ph2", "end fourier"}));
}

TEST(FourierCommands, Orientation) {
  struct Case {
    int Orient, NDim;
    bool Ok;
    std::array<int, 3> First;
  };
  for (const Case& c : {Case{-333, 3, true, {1, 2, 3}}, Case{132, 3, true, {1, 3, 2}},
                        Case{312, 3, true, {3, 1, 2}}, Case{122, 3, false, {}},
                        Case{142, 3, false, {}}, Case{12, 3, false, {}}, Case{0, 3, false, {}}}) {
    std::array<int, 6> o{};
    EXPECT_EQ(FouSetOrder(c.Orient, c.NDim, o) == 0, c.Ok) << c.Orient;
    if (c.Ok) {
      EXPECT_EQ((std::array<int, 3>{o[0], o[1], o[2]}), c.First) << c.Orient;
    }
  }
}

TEST(FourierCoefficients, WeightsAndTypes) {
  EXPECT_DOUBLE_EQ(FouWeight(10., 0.), 1.);
  EXPECT_DOUBLE_EQ(FouWeight(0., 2.), 0.);
  EXPECT_DOUBLE_EQ(FouWeight(3., 4.), 9. / 25.);
  FouRefl r;
  r.Fc = 5.;
  r.A = 3.;
  r.B = 4.;
  struct Case {
    int Type;
    double Re, Im, Sig, Mag;
  };
  // Fo = 7, sigma(Fo) = 0.5.
  for (const Case& c :
       {Case{1, 49., 0., 7., 49.}, Case{2, 25., 0., 7., 25.}, Case{3, 24., 0., 7., 24.},
        Case{4, 4.2, 5.6, 0.5, 7.}, Case{5, 3., 4., 0.5, 5.}, Case{6, 1.2, 1.6, 0.5, 2.},
        Case{9, 1., 0., 0., 0.}}) {
    const FouRawCoef k = FouCoefOf(c.Type, 7., 0.5, r);
    EXPECT_NEAR(k.Re, c.Re, 1e-12) << c.Type;
    EXPECT_NEAR(k.Im, c.Im, 1e-12) << c.Type;
    EXPECT_NEAR(k.Sig, c.Sig, 1e-12) << c.Type;
    EXPECT_NEAR(k.Mag, c.Mag, 1e-12) << c.Type;
  }
}

// The box holds an image of every point of the cell, and is no larger than
// needed for these groups.
TEST(FourierGrid, DefaultBoxHoldsAnAsymmetricPart) {
  struct Case {
    std::vector<std::string> Ops;
    std::string Lattice;
    double Volume;
  };
  const std::vector<Case> cases = {
      {kP1, "P", 1.},
      {{"x y z", "-x -y -z"}, "P", 0.5},
      {kP21, "P", 0.5},
      {{"x y z", "-x y+1/2 -z+1/2", "-x -y -z", "x -y+1/2 z+1/2"}, "P", 0.25},
      {kP212121, "P", 0.25},
      {{"x y z", "-x y -z"}, "C", 0.25}};
  for (const auto& c : cases) {
    BasicData b;
    b.Phase.resize(1);
    b.DatBlock.resize(1);
    b.Phase[0].SymmText = c.Ops;
    b.Phase[0].Lattice = c.Lattice;
    ASSERT_EQ(SetBasicM50(b), 0);
    const PhaseSymmetry& ps = b.Phase[0].Symmetry;
    std::array<double, 3> lo{}, hi{};
    FouDefLimits(ps, lo, hi);
    EXPECT_NEAR((hi[0] - lo[0]) * (hi[1] - lo[1]) * (hi[2] - lo[2]), c.Volume, 1e-12)
        << c.Ops.size() << c.Lattice;
    std::array<double, 3> p = {0.913, 0.377, 0.641};
    for (int k = 0; k < 200; ++k) {
      for (double& v : p) v = std::fmod(v * 7.31 + 0.1187, 1.);
      bool in = false;
      for (int s = 0; s < ps.NSymm; ++s)
        for (int l = 0; l < ps.NLattVec; ++l) {
          bool all = true;
          for (int i = 0; i < 3; ++i) {
            double y = ps.Op[s].S6[i] + ps.VT6[l][i];
            for (int j = 0; j < 3; ++j) y += ps.Op[s].RM6[i * 3 + j] * p[j];
            y -= std::floor(y);
            all = all && y <= hi[i] + 1e-9;
          }
          in = in || all;
        }
      ASSERT_TRUE(in) << "point " << p[0] << " " << p[1] << " " << p[2];
    }
  }
}

TEST_F(FourierTest, GridRules) {
  MakePhase(kCube, kP1, {{"C1", {0.1, 0.2, 0.3}}});
  WriteM80(0.3);
  struct Case {
    std::vector<std::string> Block;
    int N;
    double XMin, XMax, Dx;
  };
  const std::vector<Case> cases = {
      // 10 A / 0.5 A = 20 steps, one more on each side.
      {{"step 0.5"}, 23, -0.05, 1.05, 0.05},
      {{"step 0.5 addbord 0"}, 20, 0., 0.95, 0.05},
      // A negative step is 0.25 A.
      {{"step -1"}, 43, -0.025, 1.025, 0.025},
      // FFT: 10/0.3 -> 33 steps -> 64 points over the whole period.
      {{"step 0.3 cmethod 2"}, 64, 0., 63. / 64., 1. / 64.},
      {{"xlim 0.2 0.4", "step 0.5 addbord 0"}, 4, 0.2, 0.35, 0.05},
      // A scope below one step along x: one point with dx = 1.
      {{"center C1", "scope 0.2 1 1", "step 0.5"}, 1, 0.1, 0.1, 1.},
  };
  for (const auto& c : cases) {
    WriteBlock(c.Block);
    FouRunResult run;
    ASSERT_EQ(FouPrelim(Struct, fln_, 1, run), 0) << c.Block[0];
    const FouGrid& g = run.Map.Grid;
    EXPECT_EQ(g.N[0], c.N) << c.Block[0];
    EXPECT_NEAR(g.XMin[0], c.XMin, 1e-12) << c.Block[0];
    EXPECT_NEAR(g.XMax[0], c.XMax, 1e-12) << c.Block[0];
    EXPECT_NEAR(g.Dx[0], c.Dx, 1e-12) << c.Block[0];
  }
}

TEST_F(FourierTest, FailuresStopWithTheirMessages) {
  MakePhase(kCube, kP1, {{"C1", {0.1, 0.2, 0.3}}});
  struct Case {
    std::vector<std::string> Block;
    bool M80;
    std::string Message;
  };
  const std::vector<Case> cases = {
      {{"maptype 4"}, false, "run REFINE."},
      {{"maptype 11"}, true, "Wrong map type"},
      {{"orient 122"}, true, "Wrong orientation"},
      {{"xlim 0.5 0.2"}, true, "Incorrect limits for x"},
      {{"center C9"}, true, "Atom C9 isn't on the file M40"},
  };
  for (const auto& c : cases) {
    FeDeleteFile(fln_ + ".m80");
    if (c.M80) WriteM80(0.3);
    WriteBlock(c.Block);
    report_.Log.clear();
    FouRunResult run;
    EXPECT_EQ(FouPrelim(Struct, fln_, 1, run), 1) << c.Message;
    EXPECT_TRUE(report_.Saw(c.Message)) << c.Message;
  }
}

TEST(FourierCoefficients, OriginHalvedAndEquivalentsAveraged) {
  BasicData b;
  b.Phase.resize(1);
  b.DatBlock.resize(1);
  b.Phase[0].SymmText = {"x y z", "-x -y -z"};
  ASSERT_EQ(SetBasicM50(b), 0);
  FouGrid g;
  // 000 with 10; (1 0 0) given twice (its mate -1 0 0 once): the average.
  std::vector<FouRefl> refl(3);
  refl[1].H = {1, 0, 0};
  refl[2].H = {-1, 0, 0};
  std::vector<FouRawCoef> raw = {{10., 0., 0., 0.}, {4., 0., 0., 0.}, {2., 0., 0., 0.}};
  bool sat = true;
  const auto c = FouExpand(refl, raw, b.Phase[0].Symmetry, g, 1000., false, sat);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_FALSE(sat);
  EXPECT_NEAR(c[0].Re, 0.5 * 2. * 10. / 1000., 1e-15);
  EXPECT_NEAR(c[1].Re, 2. * 3. / 1000., 1e-15);
}

// Beevers-Lipson and FFT on the same grid (the whole period, 32 points).
TEST_F(FourierTest, BeeversLipsonAndFftAgree) {
  MakePhase({8, 8, 8, 90, 90, 90}, kP212121,
            {{"C1", {0.11, 0.23, 0.37}}, {"O1", {0.31, 0.05, 0.61}, 8.}});
  WriteM80(0.6);
  FouMap maps[2];
  for (int m = 0; m < 2; ++m) {
    WriteBlock({m ? "cmethod 2" : "cmethod 1", "xlim 0 1", "ylim 0 1", "zlim 0 1", "step 0.25",
                "addbord 0", "peaks 0"});
    FouRunResult run;
    ASSERT_EQ(FouPrelim(Struct, fln_, 1, run), 0);
    ASSERT_EQ(run.Map.Grid.N[0], 32);
    ASSERT_EQ(FouSynthesis(run.Map.Grid, run.Coef, maps[m]), 0);
  }
  ASSERT_EQ(maps[0].Rho.size(), maps[1].Rho.size());
  const double tol = 1e-5 * maps[0].Max;
  for (size_t k = 0; k < maps[0].Rho.size(); ++k)
    ASSERT_NEAR(maps[0].Rho[k], maps[1].Rho[k], tol) << k;
  EXPECT_GT(maps[0].Max, 1.);
}

// The maxima of an F(obs) map of a non-centrosymmetric structure stand at
// the atoms (with a screw axis, so the phase shifts of the operators count),
// the map file reads back, and the peaks go into M40.
TEST_F(FourierTest, MapOfHandMadeStructureHasItsMaximaAtTheAtoms) {
  MakePhase({7, 9, 11, 90, 104, 90}, kP21,
            {{"C1", {0.11, 0.23, 0.37}}, {"O1", {0.35, 0.05, 0.71}, 8.}});
  WriteM80(0.7);
  ASSERT_EQ(iom40only(M40Write, fln_ + ".m40", Struct.Model), 0);
  // Beevers-Lipson with z horizontal, x vertical and y across sections; FFT.
  for (const char* method : {"cmethod 1 orient 312", "cmethod 2 intmethod 2 intrad 1.2"}) {
    WriteBlock({method, "maptype 4", "positive 2", "negative 1", "step 0.2"});
    ASSERT_EQ(Fourier(Struct, fln_, 1, FouLast), 0) << method;
    const auto& mx = FouLast.Map;
    ASSERT_GT(mx.Max, 2.);
    FouMap back;
    ASSERT_EQ(FouReadM81(fln_ + ".m81", back), 0);
    EXPECT_EQ(back.Grid.N, mx.Grid.N);
    EXPECT_EQ(back.MapType, 4);
    EXPECT_EQ(back.Rho, mx.Rho);
    EXPECT_EQ(back.Max, mx.Max);
    FouPeakLists peaks;
    ASSERT_EQ(IOFourPeaks(M40Read, fln_ + ".m40", peaks), 0);
    ASSERT_EQ(peaks.Max.size(), 2u) << method;
    EXPECT_EQ(peaks.Min.size(), 1u);
    // The strongest peak is the oxygen, the next the carbon; both within 0.05 A.
    EXPECT_EQ(peaks.Max[0].Atom.substr(0, 2), "O1") << method;
    EXPECT_EQ(peaks.Max[1].Atom.substr(0, 2), "C1") << method;
    for (const auto& p : peaks.Max) EXPECT_LT(p.Dist, 0.05) << p.Label << " " << method;
    // Its charge is about the atom's electrons (a sphere of 0.8 A).
    EXPECT_NEAR(peaks.Max[0].Charge, 8., 2.5);
    // The adjusted shape holds each atom whole: the charges go as the electrons.
    if (std::string_view(method).find("intmethod 2") != std::string_view::npos) {
      EXPECT_NEAR(peaks.Max[0].Charge / peaks.Max[1].Charge, 8. / 6., 0.02);
    }
  }
  // A peak search cancelled (at its first section; the FFT polls once)
  // leaves the stored peaks as they were.
  std::string stored, after;
  ASSERT_EQ(FeReadFile(fln_ + ".m40", stored), 0);
  WriteBlock({"cmethod 2", "maptype 4", "positive 1", "negative 0", "step 0.2"});
  report_.PushPoll(report_.Polls + 2, ReportRequest::Cancel);
  ASSERT_EQ(Fourier(Struct, fln_, 1, FouLast), 0);
  EXPECT_TRUE(FouLast.Peaks.Max.empty());
  ASSERT_EQ(FeReadFile(fln_ + ".m40", after), 0);
  EXPECT_EQ(after, stored);
  std::string lst;
  ASSERT_EQ(FeReadFile(fln_ + ".fou", lst), 0);
  EXPECT_NE(lst.find("Type of map : F(obs) - Fourier"), std::string::npos);
  EXPECT_NE(lst.find("by FFT method"), std::string::npos);
  EXPECT_NE(lst.find("Maximal density : "), std::string::npos);
}

// A box that ends on an atom: its border point is searched, the values one
// step beyond the box summed from the coefficients.
TEST_F(FourierTest, PeakOnTheBorderOfTheBoxIsFound) {
  MakePhase({7, 9, 11, 90, 104, 90}, kP21,
            {{"C1", {0.11, 0.23, 0.37}}, {"O1", {0.35, 0.05, 0.71}, 8.}});
  WriteM80(0.7);
  WriteBlock({"maptype 4", "xlim 0 0.1375", "addbord 0", "step 0.2", "positive 3", "negative 0"});
  ASSERT_EQ(Fourier(Struct, fln_, 1, FouLast), 0);
  ASSERT_NEAR(FouLast.Map.Grid.XMax[0], 0.11, 1e-9);
  ASSERT_FALSE(FouLast.Peaks.Max.empty());
  EXPECT_EQ(FouLast.Peaks.Max[0].Atom, "C1");
  EXPECT_LT(FouLast.Peaks.Max[0].Dist, 0.05);
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

// Without a coefficient file the Patterson map comes from M90; its largest
// value is the origin peak. Other map types need the coefficient file.
TEST_F(FourierTest, PattersonFromM90AndCancel) {
  MakePhase({7, 9, 11, 90, 104, 90}, kP21,
            {{"C1", {0.11, 0.23, 0.37}}, {"O1", {0.35, 0.05, 0.71}, 8.}});
  std::vector<M90Block> blocks(1);
  blocks[0].Lambda = 1.54184;
  std::vector<std::vector<M90Refl>> refl(1);
  for (int h = -5; h <= 5; ++h)
    for (int k = 0; k <= 6; ++k)
      for (int l = 0; l <= 7; ++l) {
        M90Refl r;
        r.H[0] = h;
        r.H[1] = k;
        r.H[2] = l;
        r.I = std::norm(Fcalc({h, k, l, 0, 0, 0}));
        r.SigI = 0.;
        refl[0].push_back(r);
      }
  ASSERT_EQ(WriteM90File(fln_ + ".m90", blocks, refl), 0);
  WriteBlock({"maptype 1", "peaks 0"});
  ASSERT_EQ(Fourier(Struct, fln_, 1, FouLast), 0);
  const double origin[3] = {0., 0., 0.};
  EXPECT_NEAR(FouLast.Map.Max, FouExMap(FouLast.Coef, 3, origin), 1e-3 * FouLast.Map.Max);
  // The user cancels the summation: no map.
  FeDeleteFile(fln_ + ".m81");
  report_.PushPoll(1, ReportRequest::Cancel, true);
  EXPECT_EQ(Fourier(Struct, fln_, 1, FouLast), 1);
  EXPECT_FALSE(FeFileExists(fln_ + ".m81"));
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

// Superspace (n = 4) maps: both summations equal the direct sum of the
// series at every point.
TEST(FourierSynthesis, SuperspaceMapEqualsTheDirectSum) {
  std::vector<FouCoef> c;
  unsigned seed = 7;
  auto rnd = [&] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<double>(seed >> 8 & 0xffff) / 65536. - 0.5;
  };
  for (int h = 0; h <= 2; ++h)
    for (int k = -2; k <= 2; ++k)
      for (int m = -1; m <= 1; ++m) c.push_back({{h, k, 1 - h, m, 0, 0}, rnd(), rnd()});
  for (bool fft : {false, true}) {
    FouGrid g;
    g.NDim = 4;
    g.N = {8, 8, 3, 5, 1, 1};
    g.Dx = {0.125, 0.125, 0.1, 0.2, 1, 1};
    g.XMin = {0., 0., -0.1, 0., 0., 0.};
    g.Fft = fft;
    FouMap map;
    ASSERT_EQ(FouSynthesis(g, c, map), 0);
    for (int s = 0; s < 15; ++s)
      for (int j = 0; j < 8; j += 3)
        for (int i = 0; i < 8; i += 2) {
          const double x[4] = {g.X(0, i), g.X(1, j), g.X(2, s % 3), g.X(3, s / 3)};
          ASSERT_NEAR(map.At(i, j, s), FouExMap(c, 4, x), 1e-5) << fft << " " << i << j << s;
        }
  }
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

// Map type 10: the structure's map less the reference structure's. With the
// oxygen missing from the reference the difference is the oxygen, whether the
// reference brings its coefficient file or only its M90 (then a refinement
// run without cycles makes it, and the reference's files stay as they were).
TEST_F(FourierTest, DifferenceOfTwoMapsShowsWhatTheReferenceLacks) {
  MakePhase({7, 9, 11, 90, 104, 90}, kP21,
            {{"C1", {0.11, 0.23, 0.37}}, {"O1", {0.35, 0.05, 0.71}, 8.}});
  WriteM80(0.7);
  WriteBlock({"maptype 10", "refstr r", "step 0.2"});
  report_.Log.clear();
  ASSERT_EQ(Fourier(Struct, fln_, 1, FouLast), 1);
  EXPECT_TRUE(report_.Saw("r.m50")) << "no reference structure";
  dir_.Write("r.m50", WriteM50Text(Struct.Basic));
  const auto full = atoms_;
  atoms_.pop_back();
  AtomModel reduced = Struct.Model;
  reduced.Atom.pop_back();
  ASSERT_EQ(iom40only(M40Write, dir_ / "r.m40", reduced), 0);
  std::vector<M90Block> blocks(1);
  blocks[0].Lambda = 1.54184;
  std::vector<std::vector<M90Refl>> refl(1);
  for (int h = -6; h <= 6; ++h)
    for (int k = 0; k <= 8; ++k)
      for (int l = -10; l <= 10; ++l) {
        M90Refl r;
        r.H[0] = h;
        r.H[1] = k;
        r.H[2] = l;
        if (RefSinThL(Struct.Basic.Phase[0], std::array<int, 6>{h, k, l}.data(), 3) > 0.7) continue;
        r.I = std::norm(Fcalc({h, k, l, 0, 0, 0}));
        r.SigI = 0.01 * r.I + 0.01;
        refl[0].push_back(r);
      }
  ASSERT_EQ(WriteM90File(dir_ / "r.m90", blocks, refl), 0);
  std::string m40Before;
  ASSERT_EQ(FeReadFile(dir_ / "r.m40", m40Before), 0);
  if (!std::filesystem::exists("data/scatter")) GTEST_SKIP() << "not run from the root";
  Sess.HomeDir = std::filesystem::current_path().string() + "/data/";  // scattering tables
  for (const bool withM80 : {false, true}) {
    if (withM80) WriteM80(0.7, 1., "r.m80");
    ASSERT_EQ(Fourier(Struct, fln_, 1, FouLast), 0) << withM80;
    const FouMap& m = FouLast.Map;
    const auto at = std::max_element(m.Rho.begin(), m.Rho.end()) - m.Rho.begin();
    const FouGrid& g = m.Grid;
    const std::array<double, 3> x = {g.X(0, static_cast<int>(at % g.N[0])),
                                     g.X(1, static_cast<int>(at / g.N[0] % g.N[1])),
                                     g.X(2, static_cast<int>(at / g.PerSection()))};
    EXPECT_LT(FouSymmDist(Struct.Basic.Phase[0], x, {0.35, 0.05, 0.71}), 0.25) << withM80;
    EXPECT_GT(m.Max, 2.) << withM80;
    std::string m40After;
    ASSERT_EQ(FeReadFile(dir_ / "r.m40", m40After), 0);
    EXPECT_EQ(m40After, m40Before);
    if (!withM80) {
      EXPECT_FALSE(FeFileExists(dir_ / "r.m80"));
    }
  }
  atoms_ = full;
}

}  // namespace
}  // namespace tarn::test
