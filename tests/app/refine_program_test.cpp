// "Run refinement" end to end through the built program in batch mode on the
// published NaCl data (../shared/data/nacl): the intensities are imported and
// merged, the published model (Cl at 0 0 0, Na at 1/2 0 0, Uiso from the
// published Uani) is refined, and the R factor on F of the observed
// reflections is compared with the published 0.0096. Failures leave M40 and
// M50 byte for byte as they were.
#include <sstream>

#include "road.hpp"

namespace tarn::test {
namespace {

constexpr double kPublishedR = 0.96;  // R1 in percent, 111 reflections with Fo > 4 sig(Fo)
constexpr double kRTol = 0.2;

// The published model: Cl1 at the origin, Na1 at 1/2 0 0, Uiso equal to the
// published Uani; only the scale is refined (key 1 of the data-block line).
constexpr const char* kM40 =
    "    1    2    0    0    0   20\n"
    "    1\n"
    "    1    0    1    1    0\n"
    " 1.000000                                                   1\n"
    "Cl        2  1  0  1.000000 0.000000 0.000000 0.000000      000  0  0  0\n"
    " 0.017930 0.000000 0.000000 0.000000 0.000000 0.000000      0000000000\n"
    "Na        1  1  0  1.000000 0.500000 0.000000 0.000000      000  0  0  0\n"
    " 0.021290 0.000000 0.000000 0.000000 0.000000 0.000000      0000000000\n";

class RefineProgram : public NaClExampleTest {
 protected:
  void SetUp() override {
    NaClExampleTest::SetUp();
    if (IsSkipped()) return;
    const fs::path hkl = fs::path(kNaClDir) / "NaCl.hkl";
    if (!fs::exists(hkl)) GTEST_SKIP() << hkl << " is absent";
    fs::copy_file(hkl, Dir / "NaCl.hkl");
    // The example's basic data with the published cell.
    std::string m50 = Dir.Read("s/nacl.m50");
    const auto at = m50.find("cell 5.6402 5.6402 5.6402");
    ASSERT_NE(at, std::string::npos);
    m50.replace(at, 25, "cell 5.641087 5.641087 5.641087");
    Dir.Write("s/nacl.m50", m50);
    Dir.Write("s/nacl.m40", kM40);
  }
  int Batch(const std::string& body) { return NaClExampleTest::Batch(body + ".end\n"); }
  int Import() {
    return Batch(
        ".File->Reflection file->Import\nSHELX on I\nNaCl.hkl\n"
        ".File->Reflection file->Create refinement reflection file\n");
  }
  static std::string Refine(const std::string& keys) {
    return ".Edit->Commands\nrefine\n" + keys + "end\n.run->refine\n";
  }
  double LastRobs() const { return LastRFactors(Dir.Read("s/nacl.ref")).R[0]; }
};

TEST_F(RefineProgram, PublishedModelGivesThePublishedRAndCyclesKeepIt) {
  ASSERT_EQ(Import(), 0) << Dir.Output;
  // Scale only, then the start cycle alone: M40 is not touched by cycles 0.
  ASSERT_EQ(Batch(Refine("cycles 5\nsiglevel 2\nautkeys 0\n")), 0) << Dir.Output;
  EXPECT_NEAR(LastRobs(), kPublishedR, kRTol) << Dir.Read("s/nacl.ref");
  EXPECT_TRUE(fs::exists(Dir / "s/nacl.s40"));
  EXPECT_EQ(Dir.Read("s/nacl.s40"), kM40);
  EXPECT_TRUE(Printed("Last wR2(all): ")) << Dir.Output;
  const std::string scaled = Dir.Read("s/nacl.m40");

  ASSERT_EQ(Batch(Refine("cycles 0\nsiglevel 2\n")), 0) << Dir.Output;
  EXPECT_NEAR(LastRobs(), kPublishedR, kRTol);
  EXPECT_EQ(Dir.Read("s/nacl.m40"), scaled);
  // The coefficient file: one record per used reflection, 3 indices + block + 8 values.
  std::istringstream m80(Dir.Read("s/nacl.m80"));
  std::string l;
  int n = 0;
  while (std::getline(m80, l)) ++n;
  EXPECT_EQ(n, 111);

  // Ten cycles with convergence checking switched off keep the agreement.
  ASSERT_EQ(Batch(Refine("cycles 10\nsiglevel 2\nautkeys 0\nconvchck 0\n")), 0) << Dir.Output;
  EXPECT_NEAR(LastRobs(), kPublishedR, kRTol);
}

TEST_F(RefineProgram, FailuresLeaveM40AndM50Unchanged) {
  const std::string m40 = Dir.Read("s/nacl.m40");
  // No M90 yet.
  EXPECT_NE(Batch(".run->refine\n"), 0);
  EXPECT_TRUE(
      Printed("The refinement cannot be executed as the reflection file M90 doesn't exist."))
      << Dir.Output;
  EXPECT_EQ(Dir.Read("s/nacl.m40"), m40);

  ASSERT_EQ(Import(), 0) << Dir.Output;
  ASSERT_EQ(Batch(".Edit->Commands\nrefine\ncycles 3\nsnlmx 0.01\nend\n"), 0) << Dir.Output;
  const std::string m50 = Dir.Read("s/nacl.m50");
  EXPECT_NE(Batch(".run->refine\n"), 0);
  EXPECT_TRUE(Printed("No reflections fulfilling selection conditions.")) << Dir.Output;
  EXPECT_EQ(Dir.Read("s/nacl.m40"), m40);
  EXPECT_EQ(Dir.Read("s/nacl.m50"), m50);
  EXPECT_FALSE(fs::exists(Dir / "s/nacl.s40"));
}

}  // namespace
}  // namespace tarn::test
