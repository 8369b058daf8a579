// The reflection-file commands of the batch mode run by the built program on a
// copy of the NaCl example: a published SHELX intensity file is imported into
// M95 and merged into M90, and an import that fails leaves the files alone.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

#include "model/basic.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

const char* const kNaClHkl = "../shared/data/nacl/NaCl.hkl";
constexpr int kNaClMeasured = 8578;  // lines of NaCl.hkl before "0 0 0"
constexpr int kNaClUnique = 111;     // unique reflections in m-3m with F centring

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class DataRedBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = TARNWORK_EXE;
    if (!fs::exists(exe_)) GTEST_SKIP() << "the program has not been built: " << exe_;
    const fs::path src = fs::current_path();
    if (!fs::exists(src / "examples/nacl/nacl.m50")) GTEST_SKIP() << "not run from the root";
    if (!fs::exists(kNaClHkl)) GTEST_SKIP() << kNaClHkl << " is absent";
    char tmpl[] = "/tmp/tarn_drbatch_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ / "home");
    fs::create_directories(dir_ / "s");
    fs::copy_file(src / "data/version.dat", dir_ / "home/version.dat");
    fs::copy_file(src / "examples/nacl/nacl.m50", dir_ / "s/nacl.m50");
    fs::copy_file(src / "examples/nacl/nacl.m40", dir_ / "s/nacl.m40");
    // Beside the batch file, not beside the structure: batch paths are
    // relative to the directory the program was started in.
    fs::copy_file(kNaClHkl, dir_ / "NaCl.hkl");
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  // Runs the batch text after an open of s/nacl; returns the exit status.
  int Batch(const std::string& body) {
    std::ofstream(dir_ / "job.bat") << ".File->Structure->Open\ns/nacl\n" << body;
    const std::string cmd = "cd '" + dir_.string() + "' && '" + exe_.string() +
                            "' -HomeDir home @job.bat < /dev/null > output 2>&1";
    const int st = std::system(cmd.c_str());
    out_ = ReadText(dir_ / "output");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  bool Printed(const std::string& text) const { return out_.find(text) != std::string::npos; }
  BasicData ReadM50() {
    BasicData b;
    EXPECT_EQ(ReadM50Text(ReadText(dir_ / "s/nacl.m50"), "nacl.m50", b), 0);
    return b;
  }

  fs::path exe_, dir_;
  std::string out_;
};

constexpr const char* kImport = ".File->Reflection file->Import\nSHELX on I\nNaCl.hkl\n";
constexpr const char* kCreate = ".File->Reflection file->Create refinement reflection file\n";

TEST_F(DataRedBatch, ImportAndMergeGiveThePublishedUniqueSet) {
  ASSERT_EQ(Batch(std::string(kImport) + kCreate + ".end\n"), 0) << out_;
  EXPECT_TRUE(Printed("End of batch file has been reached.")) << out_;

  std::vector<M95Block> b95;
  std::vector<std::vector<M95Refl>> r95;
  ASSERT_EQ(ReadM95File((dir_ / "s/nacl.m95").string(), b95, r95), 0);
  ASSERT_EQ(b95.size(), 1u);
  EXPECT_EQ(static_cast<int>(r95[0].size()), kNaClMeasured);
  // Completed from the structure: wavelength of M50, cell of the phase.
  EXPECT_DOUBLE_EQ(b95[0].Lambda, 0.71073);
  EXPECT_DOUBLE_EQ(b95[0].Cell[0], 5.6402);

  std::vector<M90Block> b90;
  std::vector<std::vector<M90Refl>> r90;
  ASSERT_EQ(ReadM90File((dir_ / "s/nacl.m90").string(), b90, r90), 0);
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
  EXPECT_TRUE(fs::exists(dir_ / "s/nacl.rre"));
  // The structure's one data block served the import: M50 has not changed.
  EXPECT_EQ(ReadM50().DatBlock.size(), 1u);
}

TEST_F(DataRedBatch, ASecondImportGetsItsOwnDataBlock) {
  ASSERT_EQ(Batch(std::string(kImport) + kImport + kCreate + ".end\n"), 0) << out_;
  EXPECT_TRUE(Printed("Data block 2 has been added to M50")) << out_;
  const BasicData b = ReadM50();
  ASSERT_EQ(b.DatBlock.size(), 2u);
  EXPECT_DOUBLE_EQ(b.DatBlock[1].Lambda, 0.71073);
  EXPECT_EQ(b.DatBlock[1].Radiation, 1);
  EXPECT_EQ(b.Phase[0].SymmText.size(), 48u);  // the rest of the basic data is kept

  std::vector<M90Block> b90;
  std::vector<std::vector<M90Refl>> r90;
  ASSERT_EQ(ReadM90File((dir_ / "s/nacl.m90").string(), b90, r90), 0);
  ASSERT_EQ(b90.size(), 2u);
  EXPECT_EQ(static_cast<int>(r90[1].size()), kNaClUnique);
  EXPECT_DOUBLE_EQ(b90[1].Lambda, 0.71073);
}

TEST_F(DataRedBatch, AFailedImportEndsTheBatchAndLeavesTheFiles) {
  // One good block first, so that "as it was" is a real M95.
  ASSERT_EQ(Batch(std::string(kImport) + ".end\n"), 0) << out_;
  const std::string m95 = ReadText(dir_ / "s/nacl.m95");
  const std::string m50 = ReadText(dir_ / "s/nacl.m50");
  ASSERT_FALSE(m95.empty());
  std::ofstream(dir_ / "bad.hkl")
      << "   1   1   1 52001.5 1260.87   1\n   2   0   0 abcdefg 1260.87   1\n";

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
        << out_;
    EXPECT_TRUE(Printed(c.message)) << out_;
    EXPECT_TRUE(Printed("The batch stopped")) << out_;
    EXPECT_EQ(ReadText(dir_ / "s/nacl.m95"), m95);
    EXPECT_EQ(ReadText(dir_ / "s/nacl.m50"), m50);
    EXPECT_FALSE(fs::exists(dir_ / "s/nacl.m90"));  // the batch stopped before it
  }
}

TEST_F(DataRedBatch, CreateWithoutImportedDataFails) {
  EXPECT_EQ(Batch(std::string(kCreate) + ".end\n"), 1) << out_;
  EXPECT_FALSE(fs::exists(dir_ / "s/nacl.m90"));
}

}  // namespace
}  // namespace tarn
