// ".run->sgtest" on published data imported with the cell and P1 alone: the
// published group is accepted into M50 and M90 is removed.
#include <regex>

#include "road.hpp"

namespace tarn::test {
namespace {

// A .res without its symmetry: LATT -1 (P1), no SYMM lines.
std::string InP1(const std::string& res) {
  return std::regex_replace(std::regex_replace(res, std::regex("\nSYMM[^\n]*"), ""),
                            std::regex("\nLATT +-?[0-9]+"), "\nLATT -1");
}

using SgTestRoad = ProgramTest;

TEST_F(SgTestRoad, PublishedGroupIsAccepted) {
  const std::string cif = ReadText(kSh2185Cif), nacl = ReadText(std::string(kNaClDir) + "/NaCl.res");
  if (cif.empty() || nacl.empty()) GTEST_SKIP() << "../shared/data not available";
  const struct {
    std::string Res, Hkl;
    const char* Group;
    int NSymm;
  } cases[] = {{InP1(ShelxEmbeddedFile(cif, "_shelx_res_file")),
                ShelxEmbeddedFile(cif, "_shelx_hkl_file"), "P212121", 4},
               {InP1(nacl), ReadText(std::string(kNaClDir) + "/NaCl.hkl"), "Fm-3m", 48}};
  for (const auto& c : cases) {
    ProgramDir run;  // a fresh structure for each data set
    run.Write("s.res", c.Res);
    run.Write("s.hkl", c.Hkl);
    ASSERT_EQ(run.Batch(kShelxRoad + ".run->sgtest\nnone\n"), 0) << run.Output;
    EXPECT_TRUE(fs::exists(run / "s.m90"));  // "none" changes nothing
    ASSERT_EQ(run.Batch(".File->Structure->Open\ns\n.run->sgtest\nstandard\n"), 0) << run.Output;
    EXPECT_TRUE(run.Printed(std::string("Accepted space group: ") + c.Group)) << run.Output;
    BasicData b;
    ASSERT_EQ(ReadM50Text(run.Read("s.m50"), "s.m50", b), 0);
    EXPECT_EQ(b.Phase[0].SpGroup, c.Group);
    EXPECT_EQ(static_cast<int>(b.Phase[0].SymmText.size()), c.NSymm);
    EXPECT_FALSE(fs::exists(run / "s.m90"));
    EXPECT_EQ(run.Batch(".File->Structure->Open\ns\n.run->sgtest\nbest\n"), 1);
  }
}

}  // namespace
}  // namespace tarn::test
