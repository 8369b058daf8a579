// Maps of the parts of a composite crystal: a (3+1)-dimensional P1 composite
// of two parts along c, part 1 (c = 3 A, the reference basis) and part 2
// (c = 4.8 A, q = 0.625 c*), whose W exchanges axes 3 and 4. Each part's map
// shows its own atom where it is, in the part's basis; part 1 (W = 1) gives
// the map of the phase without composite parts.
#include <gtest/gtest.h>

#include "fourier/foupeaks.hpp"
#include "fourier_fixture.hpp"
#include "support/refine_sim.hpp"

namespace tarn::test {
namespace {

class CompositeMap : public FourierTest {
 protected:
  void SetUp() override {
    FourierTest::SetUp();
    testsim::SetModPhase({{5, 5, 3}, {{0., 0., 0.625}}, "C", {"x1 x2 x3 x4"}});
    PhaseBasic& ph = Struct.Basic.Phase[0];
    ph.AtType = {"C", "O"};
    ph.AtTypeData.resize(2);
    ph.NComp = 2;
    ph.WMatrix = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
                  {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0}};
    Struct.Model.Phase[0].NComp = 2;
    Struct.Model.DatBlock.resize(1);
    Struct.Model.DatBlock[0].Scale.resize(1);
    Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
    for (const TestAtom& t : kAtoms) {
      AtomRec a = DefaultAtom();
      a.Name = t.Name;
      a.Type = t.Z > 7. ? 2 : 1;
      a.Part = t.Z > 7. ? 2 : 1;
      a.Shape.AdpOrder = 1;
      ReallocateAtomParams(a, a.Shape);
      for (int i = 0; i < 3; ++i) a.Par.Val[static_cast<size_t>(1 + i)] = t.X[static_cast<size_t>(i)];
      a.Par.Val[4] = 0.02;
      Struct.Model.Atom.push_back(a);
    }
    // F(h) = sum of f exp(2 pi i h_part . x_part) over the main reflections
    // of each atom's part (h_part = h W^-1: part 2 swaps l and m).
    const PhaseBasic& p = Struct.Basic.Phase[0];
    std::string m80;
    for (int h = -6; h <= 6; ++h)
      for (int k = -6; k <= 6; ++k)
        for (int l = -4; l <= 4; ++l)
          for (int m = -6; m <= 6; ++m) {
            if (l != 0 && m != 0) continue;
            RefM80Rec r;
            r.NDim = 4;
            r.H = {h, k, l, m, 0, 0};
            r.SinThL = RefSinThL(p, r.H.data(), 4);
            if (r.SinThL > 0.6) continue;
            std::complex<double> f;
            for (const TestAtom& t : kAtoms) {
              const bool two = t.Z > 7.;
              if ((two ? l : m) != 0) continue;
              const double ph = h * t.X[0] + k * t.X[1] + (two ? m : l) * t.X[2];
              f += t.Z * std::exp(-kTestB * r.SinThL * r.SinThL) * std::polar(1., kTwoPi * ph);
            }
            if (std::abs(f) < 1e-6) continue;
            r.Fc = r.Fo = r.FoTw = std::abs(f);
            r.A = f.real();
            r.B = f.imag();
            m80 += RefM80Line(r) + "\n";
          }
    dir_.Write("t.m80", m80);
  }

  // The map of one part with its strongest maximum.
  void Map(int part) {
    WriteBlock({"maptype 5", "cmethod 2", "step 0.25", "positive 2", "negative 0",
                "subsys " + std::to_string(part)});
    ASSERT_EQ(Fourier(Struct, fln_, 1, FouLast), 0);
    ASSERT_FALSE(FouLast.Peaks.Max.empty());
  }

  static inline const std::vector<TestAtom> kAtoms = {{"C1", {0.1, 0.2, 0.3}, 6.},
                                                      {"O1", {0.35, 0.15, 0.6}, 8.}};
};

TEST_F(CompositeMap, EachPartShowsItsAtomInItsOwnBasis) {
  for (int part : {1, 2}) {
    Map(part);
    const TestAtom& t = kAtoms[static_cast<size_t>(part - 1)];
    const FouPart& fp = FouLast.Part;
    EXPECT_NEAR(fp.Phase.Cell[2], part == 1 ? 3. : 4.8, 1e-9);
    EXPECT_NEAR(fp.Phase.Qi[0][2], part == 1 ? 0.625 : 1.6, 1e-9);
    EXPECT_EQ(FouLast.Map.Code, part);
    const FouPeak& p = FouLast.Peaks.Max[0];
    EXPECT_LT(FouSymmDist(fp.Phase, p.X, t.X), 0.05) << part;
    // The nearest atom is the part's own (distance in the part's metric).
    EXPECT_EQ(p.Atom, t.Name) << part;
    EXPECT_LT(p.Dist, 0.05) << part;
  }
  FouMap back;
  ASSERT_EQ(FouReadM81(fln_ + ".m81", back), 0);
  EXPECT_EQ(back.Code, 2);
  EXPECT_EQ(back.Grid.N[2], 32);  // 4.8 A / 0.25 A -> 19 -> 32 points along part 2's c
}

TEST_F(CompositeMap, PartOneWithTheIdentityIsTheMapOfThePhase) {
  Map(1);
  const std::vector<float> part1 = FouLast.Map.Rho;
  Struct.Basic.Phase[0].NComp = 1;
  Struct.Basic.Phase[0].WMatrix.clear();
  Map(1);
  EXPECT_EQ(FouLast.Map.Rho, part1);
  // A part whose W matrix is missing stops with a message.
  Struct.Basic.Phase[0].NComp = 2;
  WriteBlock({"maptype 5", "subsys 2"});
  EXPECT_EQ(Fourier(Struct, fln_, 1, FouLast), 1);
  EXPECT_TRUE(report_.Saw("W matrix of composite part 2"));
}

}  // namespace
}  // namespace tarn::test
