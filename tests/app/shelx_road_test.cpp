// From a published SHELX refinement to our R factors in one batch file of
// five commands: model (.res), reflections (.hkl), merging, refinement. With
// zero cycles the R factors are those of the published model: SH2185_Cu (its
// .res and .hkl embedded in the CIF) R1 0.0291 on 3560 reflections with
// Fo > 4 sig(Fo) and wR2 0.0728 on all 3667; NaCl R1 0.0096.
#include <regex>

#include "road.hpp"

namespace tarn::test {
namespace {

// Runs the road on s.res (with `cycles` cycles) and s.hkl in dir.
RFactors RunRoad(ProgramDir& dir, const std::string& res, const std::string& hkl, int cycles) {
  dir.Write("s.res", WithCycles(res, cycles));
  dir.Write("s.hkl", hkl);
  EXPECT_EQ(dir.Batch(kShelxRoad + ".run->refine\n.end\n"), 0) << dir.Output;
  return LastRFactors(dir.Read("s.ref"));
}

using ShelxRoad = Sh2185Test;

TEST_F(ShelxRoad, Sh2185CuPublishedModelGivesThePublishedRFactors) {
  WriteEmbedded(0);
  ASSERT_EQ(Dir.Batch(kShelxRoad + ".run->refine\n.end\n"), 0) << Dir.Output;
  const RFactors r = LastRFactors(Dir.Read("s.ref"));
  EXPECT_EQ(r.NAll, 3667);
  EXPECT_EQ(r.NObs, 3560);
  EXPECT_NEAR(r.R[0], 2.91, 0.3) << "R(obs) on F, percent";
  EXPECT_NEAR(r.R[3], 7.28, 0.6) << "wR2(all), percent";
}

class ShelxRoadNaCl : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (IsSkipped()) return;
    const fs::path dir = kNaClDir;
    if (!fs::exists(dir / "NaCl.res")) GTEST_SKIP() << "NaCl data absent";
    res_ = ReadText(dir / "NaCl.res");
    hkl_ = ReadText(dir / "NaCl.hkl");
  }
  std::string res_, hkl_;
};

// NaCl: R1 0.0096 on 111 reflections, with the published model and after ten
// cycles.
TEST_F(ShelxRoadNaCl, PublishedModelAndTenCycles) {
  for (int cycles : {0, 10}) {
    ProgramDir dir;
    const RFactors r = RunRoad(dir, res_, hkl_, cycles);
    EXPECT_EQ(r.NObs, 111);
    EXPECT_NEAR(r.R[0], 0.96, 0.2) << cycles << " cycles";
    if (cycles == 0) continue;
    // Harmonic ADPs are stored as beta_ij and their values listed so.
    const std::string ref = dir.Read("s.ref");
    EXPECT_NE(ref.find("\nbeta11[CL1] "), std::string::npos) << ref;
    EXPECT_EQ(ref.find("\nU11[CL1] "), std::string::npos);
  }
}

// A structure measured with Cu radiation, opened last (first in the history),
// leaves nothing in the next run: the NaCl road gives the Mo result. The
// history names a copy of the NaCl structure whose M50 and M90 say Cu K-alpha.
TEST_F(ShelxRoadNaCl, AfterACuStructureInTheHistory) {
  ProgramDir clean;
  RunRoad(clean, res_, hkl_, 0);
  Dir.Write("cu/cu.res", std::regex_replace(res_, std::regex("CELL +[0-9.]+"), "CELL 1.54184"));
  Dir.Write("cu/cu.hkl", hkl_);
  ASSERT_EQ(Dir.Batch(".import->SHELX\ncu/cu.res\n"
                      ".File->Reflection file->Import\nSHELX on I\ncu/cu.hkl\n"
                      ".File->Reflection file->Create refinement reflection file\n",
                      "cu/cu.bat"),
            0)
      << Dir.Output;
  ASSERT_NE(Dir.Read("cu/cu.m90").find("1.54184"), std::string::npos);
  // The history of the interactive runs (and where earlier versions kept it).
  const std::string entry = (Dir / "cu").string() + "/\ncu\n";
  Dir.Write("user/tarnwork/tarnwork.hst", entry);
  Dir.Write("home/tarnwork.hst", entry);
  EXPECT_EQ(RunRoad(Dir, res_, hkl_, 0).NAll, 111);
  const std::string m90 = Dir.Read("s.m90");
  EXPECT_NE(m90.find("lambda       0.71073"), std::string::npos) << m90.substr(0, 400);
  EXPECT_EQ(m90, clean.Read("s.m90"));
  EXPECT_EQ(Dir.Output, clean.Output);
}

}  // namespace
}  // namespace tarn::test
