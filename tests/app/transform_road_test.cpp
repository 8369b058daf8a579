// ".Tools->Transform" on SH2185_Cu with its reflections: the R factors stay
// (the model and the indices of M95/M90 move together), and the inverse
// transformations give M50, M40, M95 and M90 back byte for byte.
#include "road.hpp"

namespace tarn::test {
namespace {

using TransformRoad = Sh2185Test;

TEST_F(TransformRoad, ThereAndBack) {
  WriteEmbedded(0);
  ASSERT_EQ(Dir.Batch(kShelxRoad + ".run->refine\n.end\n"), 0) << Dir.Output;
  const RFactors r0 = LastRFactors(Dir.Read("s.ref"));
  std::map<std::string, std::string> before;
  for (const char* ext : {".m40", ".m50", ".m90", ".m95"})
    before[ext] = Dir.Read(std::string("s") + ext);
  auto step = [&](const std::string& line) {
    return Dir.Batch(".File->Structure->Open\ns\n.Tools->Transform\n" + line +
                     "\n.run->refine\n.end\n");
  };
  for (const char* line : {"cell b,c,a", "origin 1/2 0 1/4", "enantiomorph"}) {
    ASSERT_EQ(step(line), 0) << line << Dir.Output;
    const RFactors r = LastRFactors(Dir.Read("s.ref"));
    EXPECT_EQ(r.NAll, r0.NAll) << line;
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(r.R[k], r0.R[k], 1e-3) << line << " R " << k;
  }
  for (const char* line : {"enantiomorph", "origin -1/2 0 -1/4", "cell c,a,b"})
    ASSERT_EQ(step(line), 0) << line << Dir.Output;
  for (const auto& [ext, text] : before) EXPECT_EQ(Dir.Read("s" + ext), text) << ext;
  EXPECT_EQ(step("cell a,a,c"), 1);
  EXPECT_TRUE(Printed("The transformation matrix is singular.")) << Dir.Output;
}

}  // namespace
}  // namespace tarn::test
