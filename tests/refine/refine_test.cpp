// The refinement run on data simulated by the program itself: a model shifted
// by 0.05 Angstrom returns to the true coordinates, the coefficient file reads
// back, cycles 0 leaves M40 byte for byte as it was, and a run left without
// reflections stops with M40 and M50 untouched.
#include "refine/refine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "support/refine_sim.hpp"

namespace tarn {
namespace {

constexpr const char* kM50 =
    "Version Tarnwork\ntitle simulated\ncell 5.1 6.2 7.3 90 101 90\nndim 3\nspgroup P-1 2\n"
    "lattice P\nsymmetry x y z\nsymmetry -x -y -z\nunitsnumb 2\nchemform C O\natom C\natom O\n"
    "lambda 0.71073\nend\n";
constexpr double kTrue[2][3] = {{0.1234, 0.2345, 0.3456}, {0.4321, 0.1543, 0.0765}};

class RefineSimulated : public testsim::DiskRun {
 protected:
  void SetUp() override {
    Open(kM50);
    if (IsSkipped()) return;
    for (int k = 0; k < 2; ++k)
      testsim::AddIsoAtom(k == 0 ? "C1" : "O1", k + 1, {kTrue[k][0], kTrue[k][1], kTrue[k][2]},
                          0.015);
    SetBasicM40();
    Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
    ASSERT_EQ(iom40(M40Write, Fln + ".m40"), 0);
    // Intensities = Fc**2 of the true model, sigma(I) = 0.02 I + 1.
    ASSERT_EQ(testsim::WriteSimulatedM90(Fln + ".m90", 4), 0);
  }
};

TEST_F(RefineSimulated, ShiftedModelReturnsAndCyclesZeroKeepsM40) {
  // Shift every coordinate by 0.05 Angstrom (alternating signs) and refine.
  const double cell[3] = {5.1, 6.2, 7.3};
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 3; ++i)
      Struct.Model.Atom[static_cast<size_t>(k)].Par.Val[static_cast<size_t>(1 + i)] +=
          ((k + i) % 2 ? 0.05 : -0.05) / cell[i];
  ASSERT_EQ(iom40(M40Write, Fln + ".m40"), 0);
  const std::string shifted = test::TempDir::Read(Fln + ".m40");

  ASSERT_EQ(Run(), 0);
  EXPECT_LT(Sum.Obs.R, 0.1);
  AtomModel m;
  ASSERT_EQ(iom40only(M40Read, Fln + ".m40", m), 0);
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 3; ++i) {
      const auto& a = m.Atom[static_cast<size_t>(k)].Par;
      EXPECT_NEAR(a.Val[static_cast<size_t>(1 + i)], kTrue[k][i],
                  std::max(3. * a.Sig[static_cast<size_t>(1 + i)], 2.e-6))
          << k << " " << i;
    }
  EXPECT_EQ(test::TempDir::Read(Fln + ".s40"), shifted);

  // The coefficient file reads back record by record.
  std::ifstream m80(Fln + ".m80");
  int n = 0;
  for (std::string l; std::getline(m80, l); ++n) {
    RefM80Rec r;
    ASSERT_EQ(RefM80Parse(l, 3, r), 0) << l;
    EXPECT_NEAR(r.Fc, std::hypot(r.A, r.B), 1e-5 * (1. + r.Fc));
  }
  EXPECT_GT(n, 100);

  // cycles 0: R factors only, M40 untouched.
  const std::string before = test::TempDir::Read(Fln + ".m40");
  AppendRefine("  cycles 0\n");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(test::TempDir::Read(Fln + ".m40"), before);
  EXPECT_EQ(Sum.CyclesDone, 0);
}

TEST_F(RefineSimulated, NoReflectionLeftStopsAndKeepsTheFiles) {
  AppendRefine("  snlmx 0.01\n");
  const std::string m40 = test::TempDir::Read(Fln + ".m40");
  const std::string m50 = test::TempDir::Read(Fln + ".m50");
  EXPECT_NE(Run(), 0);
  EXPECT_EQ(Count(Listing, std::string(refinemsg::NoRefl)), 1);
  EXPECT_EQ(test::TempDir::Read(Fln + ".m40"), m40);
  EXPECT_EQ(test::TempDir::Read(Fln + ".m50"), m50);
  EXPECT_FALSE(std::filesystem::exists(Fln + ".s40"));
}

}  // namespace
}  // namespace tarn
