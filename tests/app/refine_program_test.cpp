// "Run refinement" end to end through the built program in batch mode on the
// published NaCl data (../shared/data/nacl): the intensities are imported and
// merged, the published model (Cl at 0 0 0, Na at 1/2 0 0, Uiso from the
// published Uani) is refined, and the R factor on F of the observed
// reflections is compared with the published 0.0096. Failures leave M40 and
// M50 byte for byte as they were.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tarn {
namespace {

namespace fs = std::filesystem;

const char* const kNaClHkl = "../shared/data/nacl/NaCl.hkl";
constexpr double kPublishedR = 0.96;  // R1 in percent, 111 reflections with Fo > 4 sig(Fo)
constexpr double kRTol = 0.2;

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

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

class RefineProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = TARNWORK_EXE;
    if (!fs::exists(exe_)) GTEST_SKIP() << "the program has not been built: " << exe_;
    const fs::path src = fs::current_path();
    if (!fs::exists(src / "examples/nacl/nacl.m50")) GTEST_SKIP() << "not run from the root";
    if (!fs::exists(kNaClHkl)) GTEST_SKIP() << kNaClHkl << " is absent";
    char tmpl[] = "/tmp/tarn_refine_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ / "home");
    fs::create_directories(dir_ / "s");
    fs::copy_file(src / "data/version.dat", dir_ / "home/version.dat");
    fs::copy_file(src / "data/elements.dat", dir_ / "home/elements.dat");
    fs::copy(src / "data/scatter", dir_ / "home/scatter", fs::copy_options::recursive);
    // The example's basic data with the published cell.
    std::string m50 = ReadText(src / "examples/nacl/nacl.m50");
    const auto at = m50.find("cell 5.6402 5.6402 5.6402");
    ASSERT_NE(at, std::string::npos);
    m50.replace(at, 25, "cell 5.641087 5.641087 5.641087");
    std::ofstream(dir_ / "s/nacl.m50", std::ios::binary) << m50;
    std::ofstream(dir_ / "s/nacl.m40", std::ios::binary) << kM40;
    fs::copy_file(kNaClHkl, dir_ / "NaCl.hkl");
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  int Batch(const std::string& body) {
    std::ofstream(dir_ / "job.bat") << ".File->Structure->Open\ns/nacl\n" << body << ".end\n";
    const std::string cmd = "cd '" + dir_.string() + "' && '" + exe_.string() +
                            "' -HomeDir home @job.bat < /dev/null > output 2>&1";
    const int st = std::system(cmd.c_str());
    out_ = ReadText(dir_ / "output");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  int Import() {
    return Batch(
        ".File->Reflection file->Import\nSHELX on I\nNaCl.hkl\n"
        ".File->Reflection file->Create refinement reflection file\n");
  }
  static std::string Refine(const std::string& keys) {
    return ".Edit->Commands\nrefine\n" + keys + "end\n.run->refine\n";
  }
  // R(obs) on F of the last cycle from the machine-readable line of the listing.
  double LastRobs() const {
    std::istringstream in(ReadText(dir_ / "s/nacl.ref"));
    std::string l;
    double r = -1.;
    while (std::getline(in, l))
      if (l.rfind("Rfactors0: ", 0) == 0) r = std::stod(l.substr(11, 8));
    return r;
  }
  bool Printed(const std::string& t) const { return out_.find(t) != std::string::npos; }

  fs::path exe_, dir_;
  std::string out_;
};

TEST_F(RefineProgram, PublishedModelGivesThePublishedRAndCyclesKeepIt) {
  ASSERT_EQ(Import(), 0) << out_;
  // Scale only, then the start cycle alone: M40 is not touched by cycles 0.
  ASSERT_EQ(Batch(Refine("cycles 5\nsiglevel 2\nautkeys 0\n")), 0) << out_;
  EXPECT_NEAR(LastRobs(), kPublishedR, kRTol) << ReadText(dir_ / "s/nacl.ref");
  EXPECT_TRUE(fs::exists(dir_ / "s/nacl.s40"));
  EXPECT_EQ(ReadText(dir_ / "s/nacl.s40"), kM40);
  EXPECT_TRUE(Printed("Last wR2(all): ")) << out_;
  const std::string scaled = ReadText(dir_ / "s/nacl.m40");

  ASSERT_EQ(Batch(Refine("cycles 0\nsiglevel 2\n")), 0) << out_;
  EXPECT_NEAR(LastRobs(), kPublishedR, kRTol);
  EXPECT_EQ(ReadText(dir_ / "s/nacl.m40"), scaled);
  // The coefficient file: one record per used reflection, 3 indices + block + 8 values.
  std::istringstream m80(ReadText(dir_ / "s/nacl.m80"));
  std::string l;
  int n = 0;
  while (std::getline(m80, l)) ++n;
  EXPECT_EQ(n, 111);

  // Ten cycles with convergence checking switched off keep the agreement.
  ASSERT_EQ(Batch(Refine("cycles 10\nsiglevel 2\nautkeys 0\nconvchck 0\n")), 0) << out_;
  EXPECT_NEAR(LastRobs(), kPublishedR, kRTol);
}

TEST_F(RefineProgram, FailuresLeaveM40AndM50Unchanged) {
  const std::string m40 = ReadText(dir_ / "s/nacl.m40");
  // No M90 yet.
  EXPECT_NE(Batch(".run->refine\n"), 0);
  EXPECT_TRUE(
      Printed("The refinement cannot be executed as the reflection file M90 doesn't exist."))
      << out_;
  EXPECT_EQ(ReadText(dir_ / "s/nacl.m40"), m40);

  ASSERT_EQ(Import(), 0) << out_;
  ASSERT_EQ(Batch(".Edit->Commands\nrefine\ncycles 3\nsnlmx 0.01\nend\n"), 0) << out_;
  const std::string m50 = ReadText(dir_ / "s/nacl.m50");
  EXPECT_NE(Batch(".run->refine\n"), 0);
  EXPECT_TRUE(Printed("No reflections fulfilling selection conditions.")) << out_;
  EXPECT_EQ(ReadText(dir_ / "s/nacl.m40"), m40);
  EXPECT_EQ(ReadText(dir_ / "s/nacl.m50"), m50);
  EXPECT_FALSE(fs::exists(dir_ / "s/nacl.s40"));
}

}  // namespace
}  // namespace tarn
