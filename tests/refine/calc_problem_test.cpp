// Numerical problems of the structure factors inside a refinement run: the
// first cycle's shift drives Uiso strongly negative (the observed intensities
// are 10^4 times the calculated ones). With the dynamical damping the next
// cycle fails and is repeated with smaller shifts until the temperature
// factor is computable again; without it, or when the start model itself is
// the problem, the run stops with the messages and M40 stays as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "support/refine_sim.hpp"

namespace tarn {
namespace {

constexpr const char* kM50 =
    "Version Tarnwork\ntitle problem\ncell 5.1 6.2 7.3 90 101 90\nndim 3\nspgroup P-1 2\n"
    "lattice P\nsymmetry x y z\nsymmetry -x -y -z\nunitsnumb 2\nchemform C\natom C\n"
    "lambda 0.71073\nend\n";
constexpr double kIRatio = 1.e4;  // observed / calculated intensity

class CalcProblemRun : public testsim::DiskRun {
 protected:
  void SetUp() override {
    Open(kM50);
    if (IsSkipped()) return;
    testsim::AddIsoAtom("C1", 1, {0.1234, 0.2345, 0.3456}, 0.015);
    Struct.Model.Atom[0].Par.Key[4] = 1;  // Uiso alone is refined (autkeys 0)
    SetBasicM40();
    Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
    Struct.Model.DatBlock[0].Scale.Key[0] = 0;
    // Observed intensities kIRatio times those of the model.
    ASSERT_EQ(testsim::WriteSimulatedM90(Fln + ".m90", 2, kIRatio), 0);
  }
  // Writes M40 with the given Uiso and the refine block; returns M40's text.
  std::string Write(double uiso, const std::string& block) {
    Struct.Model.Atom[0].Par.Val[4] = uiso;
    EXPECT_EQ(iom40(M40Write, Fln + ".m40"), 0);
    AppendRefine("  autkeys 0\n" + block);
    return test::TempDir::Read(Fln + ".m40");
  }
};

const char* const kAdpMsg = "ADP of the atom \"C1\" strongly negative";
const char* const kReflMsg = "Numerical problem for reflection (";
const char* const kReduced = "Damping reduced to ";

TEST_F(CalcProblemRun, DynamicalDampingRepeatsTheFailedCycle) {
  Write(0.015, "  cycles 1\n  keydynam 1\n  reddynam 2\n");
  ASSERT_EQ(Run(), 0);
  const std::vector<std::string>& lst = Listing;
  // Each failed attempt names the atom and the reflection and halves the damping.
  const int failed = Count(lst, kReduced);
  EXPECT_GE(failed, 1);
  EXPECT_LE(failed, 10);
  // Once per attempt, and once more among the serious warnings at the end.
  EXPECT_EQ(Count(lst, kAdpMsg), failed + 1);
  EXPECT_EQ(Count(lst, kReflMsg), failed + 1);
  EXPECT_NE(std::find(Sum.Serious.begin(), Sum.Serious.end(), kAdpMsg), Sum.Serious.end());
  // The accepted Uiso is the damped shift: negative, finite and computable.
  AtomModel m;
  ASSERT_EQ(iom40only(M40Read, Fln + ".m40", m), 0);
  const double u = m.Atom[0].Par.Val[4];
  EXPECT_TRUE(std::isfinite(u));
  EXPECT_LT(u, 0.);
  EXPECT_GT(u, -50.);
}

TEST_F(CalcProblemRun, WithoutDampingOrAtTheStartTheRunStops) {
  struct Case {
    const char* What;
    double UStart;
    const char* Block;
  };
  const Case cases[] = {
      {"first shift, no dynamical damping", 0.015, "  cycles 2\n  keydynam 0\n"},
      {"start model strongly negative, damping on", -200., "  cycles 2\n  keydynam 1\n"},
  };
  for (const Case& c : cases) {
    const std::string m50 = test::TempDir::Read(Fln + ".m50");
    const std::string m40 = Write(c.UStart, c.Block);
    EXPECT_NE(Run(), 0) << c.What;
    const std::vector<std::string>& lst = Listing;
    EXPECT_EQ(Count(lst, kAdpMsg), 1) << c.What;
    EXPECT_EQ(Count(lst, kReflMsg), 1) << c.What;
    EXPECT_EQ(Count(lst, kReduced), 0) << c.What;
    EXPECT_EQ(test::TempDir::Read(Fln + ".m40"), m40) << c.What;
    EXPECT_FALSE(std::filesystem::exists(Fln + ".s40")) << c.What;
    Dir.Write("st.m50", m50);  // next case: the block without this one's
  }
}

}  // namespace
}  // namespace tarn
