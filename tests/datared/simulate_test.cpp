// Simulated single-crystal data of the shipped rock-salt example: the full
// sphere to sin(th)/lambda 0.75 holds the 608 reflections that an independent
// enumeration of the F-centred lattice gives (tools/gen_example_hkl.py writes
// the same set); noise-free intensities follow |F|^2; the noise is
// reproducible from its seed.
#include "datared/simulate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"

namespace tarn {
namespace {

class Simulate : public ::testing::Test {
 protected:
  void SetUp() override {
    Sess.HomeDir = "data/";
    ASSERT_EQ(iom50(M50Read, "examples/nacl/nacl.m50"), 0);
    ASSERT_EQ(iom40(M40Read, "examples/nacl/nacl.m40"), 0);
  }
};

TEST_F(Simulate, FullSphereNoiseFreeIntensitiesAndSeeds) {
  SimSettings s;
  s.SnlMax = 0.75;
  s.Equivalents = true;
  s.MaxCounts = 1e14;  // Poisson noise far below the printed digits
  ImpData d;
  std::vector<std::string> msg;
  ASSERT_EQ(SimulateSingleCrystal(s, d, msg), 0);
  EXPECT_EQ(d.Refl.size(), 608u);
  std::map<std::array<int, 3>, double> i;
  for (const auto& r : d.Refl) {
    // Only the F-centred reflections (h, k, l all even or all odd).
    EXPECT_TRUE((r.H[0] - r.H[1]) % 2 == 0 && (r.H[1] - r.H[2]) % 2 == 0);
    i[{r.H[0], r.H[1], r.H[2]}] = r.I;
  }
  // Equivalents equal; F(200) = 4(fNa + fCl) T, F(111) = 4(fNa - fCl) T: the
  // strong/weak alternation of rock salt.
  const double i200 = i[{2, 0, 0}], i111 = i[{1, 1, 1}];
  EXPECT_NEAR(i200, (i[{0, 0, -2}]), 1e-6 * i200);
  EXPECT_NEAR(i111, (i[{-1, 1, -1}]), 1e-6 * i111);
  EXPECT_GT(i200, 10. * i111);

  // Unique set: one reflection per class; noise reproducible from the seed.
  s.Equivalents = false;
  s.MaxCounts = 1e4;
  s.Instab = 0.01;
  ImpData a, b, c;
  ASSERT_EQ(SimulateSingleCrystal(s, a, msg), 0);
  ASSERT_EQ(SimulateSingleCrystal(s, b, msg), 0);
  s.Seed = 2;
  ASSERT_EQ(SimulateSingleCrystal(s, c, msg), 0);
  ASSERT_EQ(a.Refl.size(), b.Refl.size());
  EXPECT_LT(a.Refl.size(), 40u);
  bool differs = false;
  for (size_t k = 0; k < a.Refl.size(); ++k) {
    EXPECT_EQ(a.Refl[k].I, b.Refl[k].I);
    differs |= a.Refl[k].I != c.Refl[k].I;
    EXPECT_GT(a.Refl[k].SigI, 0.);
  }
  EXPECT_TRUE(differs);

  // Absent reflections as weak measured ones: the mixed-parity ones appear,
  // with I/sigma(I) of a standard normal distribution.
  s.Absent = true;
  s.Equivalents = true;
  s.SnlMax = 0.75;
  ImpData w;
  ASSERT_EQ(SimulateSingleCrystal(s, w, msg), 0);
  double sum2 = 0.;
  int nAbs = 0;
  for (const auto& r : w.Refl)
    if ((r.H[0] - r.H[1]) % 2 != 0 || (r.H[1] - r.H[2]) % 2 != 0) {
      sum2 += std::pow(r.I / r.SigI, 2);
      ++nAbs;
    }
  EXPECT_GT(nAbs, 3 * 608);
  EXPECT_NEAR(sum2 / nAbs, 1., 0.1);
}

TEST_F(Simulate, EmptyModelIsRefused) {
  Struct.Model.Atom.clear();
  ImpData d;
  std::vector<std::string> msg;
  EXPECT_EQ(SimulateSingleCrystal(SimSettings{}, d, msg), 1);
  ASSERT_FALSE(msg.empty());
  EXPECT_EQ(msg[0], simmsg::NoModel);
}

}  // namespace
}  // namespace tarn
