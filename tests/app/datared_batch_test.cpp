// The reflection-file commands of the batch mode run by the built program on a
// copy of the NaCl example: a published SHELX intensity file is imported into
// M95 and merged into M90, and an import that fails leaves the files alone.
#include <set>
#include <tuple>

#include "model/m95m90.hpp"
#include "road.hpp"

namespace tarn::test {
namespace {

constexpr int kNaClMeasured = 8578;  // lines of NaCl.hkl before "0 0 0"
constexpr int kNaClUnique = 111;     // unique reflections in m-3m with F centring

// The NaCl example with the published intensities beside the batch file, not
// beside the structure: batch paths are relative to the directory the program
// was started in.
class DataRedBatch : public NaClExampleTest {
 protected:
  void SetUp() override {
    NaClExampleTest::SetUp();
    if (IsSkipped()) return;
    const fs::path hkl = fs::path(kNaClDir) / "NaCl.hkl";
    if (!fs::exists(hkl)) GTEST_SKIP() << hkl << " is absent";
    fs::copy_file(hkl, Dir / "NaCl.hkl");
  }
};

constexpr const char* kImport = ".File->Reflection file->Import\nSHELX on I\nNaCl.hkl\n";
constexpr const char* kCreate = ".File->Reflection file->Create refinement reflection file\n";

TEST_F(DataRedBatch, ImportAndMergeGiveThePublishedUniqueSet) {
  ASSERT_EQ(Batch(std::string(kImport) + kCreate + ".end\n"), 0) << Dir.Output;
  EXPECT_TRUE(Printed("End of batch file has been reached.")) << Dir.Output;

  std::vector<M95Block> b95;
  std::vector<std::vector<M95Refl>> r95;
  ASSERT_EQ(ReadM95File((Dir / "s/nacl.m95").string(), b95, r95), 0);
  ASSERT_EQ(b95.size(), 1u);
  EXPECT_EQ(static_cast<int>(r95[0].size()), kNaClMeasured);
  // Completed from the structure: wavelength of M50, cell of the phase.
  EXPECT_DOUBLE_EQ(b95[0].Lambda, 0.71073);
  EXPECT_DOUBLE_EQ(b95[0].Cell[0], 5.6402);

  std::vector<M90Block> b90;
  std::vector<std::vector<M90Refl>> r90;
  ASSERT_EQ(ReadM90File((Dir / "s/nacl.m90").string(), b90, r90), 0);
  ASSERT_EQ(b90.size(), 1u);
  ASSERT_EQ(static_cast<int>(r90[0].size()), kNaClUnique);
  // Each unique reflection once, F-centred (h, k, l of one parity), and in
  // the asymmetric unit of m-3m the merge chose (no two related by symmetry:
  // sorted |h|,|k|,|l| are distinct triples).
  std::set<std::tuple<int, int, int>> seen;
  for (const auto& r : r90[0]) {
    int a = std::abs(r.H[0]), b = std::abs(r.H[1]), c = std::abs(r.H[2]);
    EXPECT_TRUE(a % 2 == b % 2 && b % 2 == c % 2) << r.H[0] << " " << r.H[1] << " " << r.H[2];
    if (a < b) std::swap(a, b);
    if (b < c) std::swap(b, c);
    if (a < b) std::swap(a, b);
    EXPECT_TRUE(seen.insert({a, b, c}).second) << a << " " << b << " " << c;
    EXPECT_GT(r.SigI, 0.);
  }
  EXPECT_TRUE(fs::exists(Dir / "s/nacl.rre"));
  // The structure's one data block served the import: M50 has not changed.
  EXPECT_EQ(ReadM50().DatBlock.size(), 1u);
}

TEST_F(DataRedBatch, ASecondImportGetsItsOwnDataBlock) {
  ASSERT_EQ(Batch(std::string(kImport) + kImport + kCreate + ".end\n"), 0) << Dir.Output;
  EXPECT_TRUE(Printed("Data block 2 has been added to M50")) << Dir.Output;
  const BasicData b = ReadM50();
  ASSERT_EQ(b.DatBlock.size(), 2u);
  EXPECT_DOUBLE_EQ(b.DatBlock[1].Lambda, 0.71073);
  EXPECT_EQ(b.DatBlock[1].Radiation, 1);
  EXPECT_EQ(b.Phase[0].SymmText.size(), 48u);  // the rest of the basic data is kept

  std::vector<M90Block> b90;
  std::vector<std::vector<M90Refl>> r90;
  ASSERT_EQ(ReadM90File((Dir / "s/nacl.m90").string(), b90, r90), 0);
  ASSERT_EQ(b90.size(), 2u);
  EXPECT_EQ(static_cast<int>(r90[1].size()), kNaClUnique);
  EXPECT_DOUBLE_EQ(b90[1].Lambda, 0.71073);
}

TEST_F(DataRedBatch, AFailedImportEndsTheBatchAndLeavesTheFiles) {
  // One good block first, so that "as it was" is a real M95.
  ASSERT_EQ(Batch(std::string(kImport) + ".end\n"), 0) << Dir.Output;
  const std::string m95 = Dir.Read("s/nacl.m95");
  const std::string m50 = Dir.Read("s/nacl.m50");
  ASSERT_FALSE(m95.empty());
  Dir.Write("bad.hkl", "   1   1   1 52001.5 1260.87   1\n   2   0   0 abcdefg 1260.87   1\n");

  struct Case {
    const char* label;
    const char* path;
    const char* message;  // part of the listing
  };
  const Case cases[] = {
      {"SHELX on I", "missing.hkl", "Cannot open the file"},
      {"SHELX on I", "bad.hkl", "/bad.hkl\", line 2:"},
      {"No such format", "NaCl.hkl", "The format label \"No such format\" is unknown."},
      {"Hasylab F1", "NaCl.hkl", "This format is not supported yet."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(Batch(std::string(".File->Reflection file->Import\n") + c.label + "\n" + c.path +
                    "\n" + kCreate + ".end\n"),
              1)
        << Dir.Output;
    EXPECT_TRUE(Printed(c.message)) << Dir.Output;
    EXPECT_TRUE(Printed("The batch stopped")) << Dir.Output;
    EXPECT_EQ(Dir.Read("s/nacl.m95"), m95);
    EXPECT_EQ(Dir.Read("s/nacl.m50"), m50);
    EXPECT_FALSE(fs::exists(Dir / "s/nacl.m90"));  // the batch stopped before it
  }
}

TEST_F(DataRedBatch, CreateWithoutImportedDataFails) {
  EXPECT_EQ(Batch(std::string(kCreate) + ".end\n"), 1) << Dir.Output;
  EXPECT_FALSE(fs::exists(Dir / "s/nacl.m90"));
}

}  // namespace
}  // namespace tarn::test
