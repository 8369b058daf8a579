// Numerical problems of the structure factors inside a refinement run: the
// first cycle's shift drives Uiso strongly negative (the observed intensities
// are 10^4 times the calculated ones). With the dynamical damping the next
// cycle fails and is repeated with smaller shifts until the temperature
// factor is computable again; without it, or when the start model itself is
// the problem, the run stops with the messages and M40 stays as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "util/files.hpp"
#include "model/structure.hpp"
#include "model/session.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/scatdata.hpp"
#include "refine/refine.hpp"
#include "support/refine_sim.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

constexpr const char* kM50 =
    "Version Tarnwork\ntitle problem\ncell 5.1 6.2 7.3 90 101 90\nndim 3\nspgroup P-1 2\n"
    "lattice P\nsymmetry x y z\nsymmetry -x -y -z\nunitsnumb 2\nchemform C\natom C\n"
    "lambda 0.71073\nend\n";
constexpr double kIRatio = 1.e4;  // observed / calculated intensity

class CalcProblemRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("data/scatter")) GTEST_SKIP() << "not run from the root";
    char tmpl[] = "/tmp/tarn_calcprob_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fln_ = (dir_ / "prob").string();
    Sess.HomeDir = fs::current_path().string() + "/data/";
    Sess.fln = fln_;
    std::ofstream(fln_ + ".m50") << kM50;
    ASSERT_EQ(iom50(M50Read, fln_ + ".m50"), 0);
    ASSERT_EQ(ScatEnsureLoaded(), 0);
    ASSERT_EQ(EM50ReadAllFormFactors(Struct.Basic), 0);
    Struct.Model = AtomModel{};
    SetBasicM40();
    AtomRec a = DefaultAtom();
    a.Name = "C1";
    a.Type = 1;
    a.Shape.AdpOrder = 1;
    ReallocateAtomParams(a, a.Shape);
    a.Par.Val[1] = 0.1234;
    a.Par.Val[2] = 0.2345;
    a.Par.Val[3] = 0.3456;
    a.Par.Val[4] = 0.015;
    a.Par.Key[4] = 1;  // Uiso alone is refined (autkeys 0)
    Struct.Model.Atom.push_back(a);
    SetBasicM40();
    Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
    Struct.Model.DatBlock[0].Scale.Key[0] = 0;
    // Observed intensities kIRatio times those of the model.
    ASSERT_EQ(testsim::WriteSimulatedM90(fln_ + ".m90", 2, kIRatio), 0);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  // Writes M40 with the given Uiso and the refine block; returns M40's text.
  std::string Write(double uiso, const std::string& block) {
    Struct.Model.Atom[0].Par.Val[4] = uiso;
    EXPECT_EQ(iom40(M40Write, fln_ + ".m40"), 0);
    std::ofstream(fln_ + ".m50", std::ios::app)
        << std::string(80, '*') + "\nrefine\n  autkeys 0\n" + block + "end\n";
    std::string t;
    EXPECT_EQ(FeReadFile(fln_ + ".m40", t), 0);
    return t;
  }
  static int Count(const std::vector<std::string>& lst, const std::string& part) {
    return static_cast<int>(std::count_if(lst.begin(), lst.end(), [&](const std::string& l) {
      return l.find(part) != std::string::npos;
    }));
  }

  fs::path dir_;
  std::string fln_;
};

const char* const kAdpMsg = "ADP of the atom \"C1\" strongly negative";
const char* const kReflMsg = "Numerical problem for reflection (";
const char* const kReduced = "Damping reduced to ";

TEST_F(CalcProblemRun, DynamicalDampingRepeatsTheFailedCycle) {
  Write(0.015, "  cycles 1\n  keydynam 1\n  reddynam 2\n");
  std::vector<std::string> lst;
  ASSERT_EQ(RefineRun(fln_, lst), 0);
  // Each failed attempt names the atom and the reflection and halves the damping.
  const int failed = Count(lst, kReduced);
  EXPECT_GE(failed, 1);
  EXPECT_LE(failed, 10);
  // Once per attempt, and once more among the serious warnings at the end.
  EXPECT_EQ(Count(lst, kAdpMsg), failed + 1);
  EXPECT_EQ(Count(lst, kReflMsg), failed + 1);
  EXPECT_NE(std::find(RefLast.Serious.begin(), RefLast.Serious.end(), kAdpMsg),
            RefLast.Serious.end());
  // The accepted Uiso is the damped shift: negative, finite and computable.
  AtomModel m;
  ASSERT_EQ(iom40only(M40Read, fln_ + ".m40", m), 0);
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
    std::string m50;
    ASSERT_EQ(FeReadFile(fln_ + ".m50", m50), 0);
    const std::string m40 = Write(c.UStart, c.Block);
    std::vector<std::string> lst;
    EXPECT_NE(RefineRun(fln_, lst), 0) << c.What;
    EXPECT_EQ(Count(lst, kAdpMsg), 1) << c.What;
    EXPECT_EQ(Count(lst, kReflMsg), 1) << c.What;
    EXPECT_EQ(Count(lst, kReduced), 0) << c.What;
    std::string after;
    ASSERT_EQ(FeReadFile(fln_ + ".m40", after), 0);
    EXPECT_EQ(after, m40) << c.What;
    EXPECT_FALSE(fs::exists(fln_ + ".s40")) << c.What;
    std::ofstream(fln_ + ".m50") << m50;  // next case: the block without this one's
  }
}

}  // namespace
}  // namespace tarn
