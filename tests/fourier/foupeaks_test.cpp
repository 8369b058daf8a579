// The peak search: interpolation, the bounded list, candidates on small
// maps, default numbers of peaks, and the peak sections kept with M40.
#include "fourier/foupeaks.hpp"

#include <gtest/gtest.h>

#include "fourier_fixture.hpp"
#include "model/m40.hpp"
#include "support/refine_sim.hpp"
#include "util/files.hpp"

namespace tarn::test {
namespace {

std::string Lines(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& l : v) s += l + "\n";
  return s;
}

TEST(FourierPeaks, ParabolicInterpolation) {
  struct Case {
    double Ym, Y0, Yp, X, Y;
  };
  for (const Case& c : {Case{1., 3., 2., 1. / 6., 3. + 0.25 / 6.}, Case{2., 3., 2., 0., 3.},
                        Case{1., 1., 1., 0., 1.}, Case{2., 3., 1., -1. / 6., 3. + 0.25 / 6.}}) {
    double x = 0., y = 0.;
    vrchol(0., 1., c.Ym, c.Y0, c.Yp, x, y);
    EXPECT_NEAR(x, c.X, 1e-12) << c.Ym << " " << c.Yp;
    EXPECT_NEAR(y, c.Y, 1e-12) << c.Ym << " " << c.Yp;
  }
}

TEST(FourierPeaks, BoundedListKeepsTheStrongest) {
  for (const std::vector<double>& order :
       {std::vector<double>{5, 4, 3, 2, 1}, {1, 2, 3, 4, 5}, {3, 1, 5, 2, 4}}) {
    std::vector<FouPeak> list;
    for (double h : order) {
      FouPeak p;
      p.Height = h;
      FouInclude(list, 3, p);
    }
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].Height, 5.);
    EXPECT_EQ(list[1].Height, 4.);
    EXPECT_EQ(list[2].Height, 3.);
  }
}

// A small map in P1 on the whole period (wrapping along every axis).
class PeakMap : public FourierTest {
 protected:
  void SetUp() override {
    FourierTest::SetUp();
    MakePhase({8, 8, 8, 90, 90, 90}, {"x y z"}, {});
    map_.Grid.N = {8, 8, 8, 1, 1, 1};
    map_.Grid.Dx = {0.125, 0.125, 0.125, 1, 1, 1};
    map_.Rho.assign(512, 1.f);
  }
  float& At(int i, int j, int k) { return map_.Rho[static_cast<size_t>((k * 8 + j) * 8 + i)]; }
  std::vector<FouPeak> Find(bool minima = false) {
    std::vector<FouPeak> out;
    EXPECT_EQ(FouFindPeaks(map_, {}, Struct.Basic.Phase[0], minima, 10, 0.8, out), 0);
    return out;
  }
  FouMap map_;
};

TEST_F(PeakMap, ConstantMapHasNoPeaks) {
  EXPECT_TRUE(Find().empty());
  EXPECT_TRUE(Find(true).empty());
}

TEST_F(PeakMap, PlateauGivesItsLastPointAndMinimaAreFound) {
  At(2, 4, 4) = At(3, 4, 4) = 5.f;  // plateau along axis 1
  At(6, 1, 1) = -2.f;
  const auto mx = Find();
  ASSERT_EQ(mx.size(), 1u);
  // The last point of the plateau, refined half a step back towards the first.
  EXPECT_NEAR(mx[0].X[0], (3 - 0.5) * 0.125, 1e-9);
  EXPECT_NEAR(mx[0].X[1], 0.5, 1e-9);
  const auto mn = Find(true);
  ASSERT_EQ(mn.size(), 1u);
  EXPECT_NEAR(mn[0].Height, -2., 1e-9);
  EXPECT_NEAR(mn[0].X[0], 0.75, 1e-9);
}

TEST_F(PeakMap, SymmetryDuplicatesAreFoundOnce) {
  // P-1: the maxima at x and -x are one peak.
  MakePhase({8, 8, 8, 90, 90, 90}, {"x y z", "-x -y -z"}, {});
  At(2, 3, 1) = 4.f;
  At(6, 5, 7) = 4.f;
  At(1, 1, 5) = 3.f;
  const auto mx = Find();
  ASSERT_EQ(mx.size(), 2u);
  EXPECT_EQ(mx[0].Height, 4.);
  EXPECT_EQ(mx[1].Height, 3.);
}

TEST_F(FourierTest, DefaultNumbersOfPeaks) {
  // 12 C and 8 H per formula, Z = 4, P21 (2 operators): 24 + 16 in the
  // asymmetric part; 5 C atoms in the model.
  MakePhase({8, 9, 10, 90, 95, 90}, {"x y z", "-x y+1/2 -z"},
            {{"C1", {0, 0, 0}},
             {"C2", {0.1, 0, 0}},
             {"C3", {0.2, 0, 0}},
             {"C4", {0.3, 0, 0}},
             {"C5", {0.4, 0, 0}}});
  PhaseBasic& ph = Struct.Basic.Phase[0];
  ph.AtType = {"C", "H"};
  ph.AtTypeData[0].Formula = 12.;
  ph.AtTypeData[1].Formula = 8.;
  ph.UnitsNumb = 4;
  struct Case {
    int Type, Radiation, Pos, Neg;
  };
  for (const Case& c : {Case{1, 1, 50, 10}, Case{4, 1, 34, 10}, Case{6, 1, 45, 10},
                        Case{6, 2, 45, 45}, Case{9, 1, 50, 10}}) {
    FouSettings Fou;
    DefaultFourier(Fou);
    Struct.Basic.DatBlock[0].Radiation = c.Radiation;
    FouDefaultPeaks(Struct, 1, c.Type, Fou);
    EXPECT_EQ(Fou.I(FkPositive), c.Pos) << c.Type;
    EXPECT_EQ(Fou.I(FkNegative), c.Neg) << c.Type;
  }
}

TEST_F(FourierTest, PeakSectionsLiveInTheCommandsBlockOfM40) {
  MakePhase({8, 9, 10, 90, 90, 90}, {"x y z"}, {{"C1", {0.1, 0.2, 0.3}}});
  Struct.Model.HasCommands = true;
  Struct.Model.Commands = {"! a note"};
  const std::string m40 = fln_ + ".m40";
  ASSERT_EQ(iom40only(M40Write, m40, Struct.Model), 0);
  FouPeakLists peaks;
  peaks.Max.resize(2);
  peaks.Max[0] = {{0.1, 0.2, 0.3}, 1.5, 6.1, 0.02, "C1", "max1", {}};
  peaks.Max[1] = {{0.5, 0.5, 0.5}, 0.7, 2.0, 3.1, "C1#s1t1,0,0", "max2", {}};
  peaks.Max[0].Wave = {0.01, -0.02, 0.003, 0., 0.015, -0.001};
  peaks.Min.push_back({{0.9, 0.8, 0.7}, -0.4, -1.0, 1.9, "", "min1", {}});
  // Written twice: the second replaces the first, the note stays.
  for (int k = 0; k < 2; ++k) ASSERT_EQ(IOFourPeaks(M40Write, m40, peaks, &Struct), 0);
  AtomModel m;
  std::string text;
  ASSERT_EQ(FeReadFile(m40, text), 0);
  ASSERT_EQ(M40ReadText(text, m40, m), 0) << "the M40 reader takes the file";
  EXPECT_EQ(m.Commands.front(), "! a note");
  EXPECT_EQ(m.Commands, Struct.Model.Commands);
  FouPeakLists back;
  ASSERT_EQ(IOFourPeaks(M40Read, m40, back), 0);
  ASSERT_EQ(back.Max.size(), 2u);
  ASSERT_EQ(back.Min.size(), 1u);
  EXPECT_EQ(back.Max[1].Atom, "C1#s1t1,0,0");
  EXPECT_EQ(back.Max[0].Wave, peaks.Max[0].Wave);
  EXPECT_TRUE(back.Max[1].Wave.empty());
  EXPECT_NEAR(back.Max[0].Height, 1.5, 1e-4);
  EXPECT_NEAR(back.Min[0].X[2], 0.7, 1e-6);
  EXPECT_TRUE(back.Min[0].Atom.empty());
  // Records in the atom layout: name, three attributes, height and x y z in
  // F9.6 fields from column 19; a Patterson height keeps its nine columns.
  const auto at = std::find(m.Commands.begin(), m.Commands.end(), "Fourier maxima");
  ASSERT_NE(at, m.Commands.end());
  EXPECT_EQ(at[1], "max1      0  1  0  1.500000 0.100000 0.200000 0.300000      000  0  1  0");
  EXPECT_EQ(at[2].substr(0, 18), " 6.100000 0.020000");
  EXPECT_EQ(at[2].substr(60), "0000000000 C1");
  peaks.Max[1].Height = 123456.789;
  FouPeakLists big;
  std::vector<std::string> other;
  int bad = 0;
  ASSERT_EQ(FouSplitPeaks(FouJoinPeaks({}, peaks), big, other, bad), 0);
  EXPECT_NEAR(big.Max[1].Height, 123456.789, 1e-3);
  // The older free layout still reads; a record cut short names its line.
  ASSERT_EQ(FouSplitPeaks({"Fourier maxima", "max1 2.5 0.1 0.2 0.3 4.0 1.1 O1",
                           " 0.010000-0.020000 0.003000 0.000000 0.015000-0.001000"},
                          big, other, bad),
            0);
  EXPECT_EQ(big.Max[0].Atom, "O1");
  EXPECT_EQ(big.Max[0].Wave, peaks.Max[0].Wave);
  EXPECT_EQ(FouSplitPeaks({"Fourier maxima", at[1]}, big, other, bad), 1);
  EXPECT_EQ(bad, 2);
  // A file without a commands block gets one; the rest keeps its bytes.
  Struct.Model.HasCommands = false;
  Struct.Model.Commands.clear();
  ASSERT_EQ(iom40only(M40Write, m40, Struct.Model), 0);
  std::string plain;
  ASSERT_EQ(FeReadFile(m40, plain), 0);
  const std::string with = FouPutPeaksInM40(plain, peaks);
  EXPECT_EQ(with.substr(0, 9), "commands\n");
  EXPECT_EQ(with.substr(with.size() - plain.size()), plain);
  EXPECT_EQ(FouPutPeaksInM40(with, FouPeakLists{}), plain) << "empty lists remove the block";
}

// A modulated atom in a (3+1)-dimensional P1 cell, q = (0.31, 0, 0): its
// structure factors by the refinement's integration over the internal
// coordinate (times a Gaussian form factor) as the coefficients of an F(calc)
// map (satellites to the third order). The peak search gives the atom's
// position and its displacement wave back.
TEST_F(FourierTest, ModulatedAtomGivesItsDisplacementWaveBack) {
  testsim::SetModPhase({{6, 7, 8}, {{0.31, 0., 0.}}, "Fe", {"x1 x2 x3 x4"}});
  const PhaseBasic& ph = Struct.Basic.Phase[0];
  const std::array<double, 3> x0 = {0.3, 0.4, 0.5};
  {
    const std::array<double, 6> wave = {0.04, 0., 0.01, 0.005, 0.03, 0.};  // sin x y z, cos x y z
    AtomRec a = DefaultAtom();
    a.Name = "Fe1";
    a.Shape = testsim::WaveShape(1, 0, 1, 0);
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    a.Par.resize(lay.NPar);
    a.Par.Val[0] = 1.;
    for (int i = 0; i < 3; ++i) a.Par.Val[static_cast<size_t>(1 + i)] = x0[static_cast<size_t>(i)];
    a.Par.Val[4] = 0.01;
    for (int i = 0; i < 6; ++i)
      a.Par.Val[static_cast<size_t>(lay.Off[BlkPosWave] + i)] = wave[static_cast<size_t>(i)];
    Struct.Model.Atom = {a};
    std::string m80;
    for (int h = -9; h <= 9; ++h)
      for (int k = -10; k <= 10; ++k)
        for (int l = -12; l <= 12; ++l)
          for (int m = -3; m <= 3; ++m) {
            RefM80Rec r;
            r.NDim = 4;
            r.H = {h, k, l, m, 0, 0};
            r.SinThL = RefSinThL(ph, r.H.data(), 4);
            if (r.SinThL > 0.65) continue;
            const auto f = 26. * std::exp(-kTestB * r.SinThL * r.SinThL) * testsim::ModG(a, 1, r.H.data());
            r.Fc = r.Fo = r.FoTw = std::abs(f);
            r.A = f.real();
            r.B = f.imag();
            m80 += RefM80Line(r) + "\n";
          }
    dir_.Write("t.m80", m80);
    WriteBlock({"maptype 5", "center 0.3 0.4 0.5", "scope 1.6 1.6 1.6", "x4lim 0 1 0.05",
                "positive 2", "negative 0", "harmonic 1"});
    ASSERT_EQ(Fourier(Struct, fln_, 1, FouLast), 0) << Lines(FouLast.Listing);
    ASSERT_FALSE(FouLast.Peaks.Max.empty());
    const FouPeak& p = FouLast.Peaks.Max[0];
    for (int i = 0; i < 3; ++i)
      EXPECT_NEAR(p.X[static_cast<size_t>(i)], x0[static_cast<size_t>(i)], 0.002) << i;
    ASSERT_EQ(p.Wave.size(), 6u) << Lines(FouLast.Listing);
    // Amplitude and phase of the wave along each axis.
    for (int i = 0; i < 3; ++i) {
      const double s = wave[static_cast<size_t>(i)], c = wave[static_cast<size_t>(3 + i)];
      const double amp = std::hypot(s, c);
      if (amp == 0.) {
        EXPECT_NEAR(std::hypot(p.Wave[static_cast<size_t>(i)], p.Wave[static_cast<size_t>(3 + i)]), 0., 0.002) << i;
        continue;
      }
      EXPECT_NEAR(std::hypot(p.Wave[static_cast<size_t>(i)], p.Wave[static_cast<size_t>(3 + i)]), amp, 0.02 * amp) << i;
      EXPECT_NEAR(std::atan2(p.Wave[static_cast<size_t>(3 + i)], p.Wave[static_cast<size_t>(i)]), std::atan2(c, s), 0.03) << i;
    }
  }
}

}  // namespace
}  // namespace tarn::test
