// The refinement run on data simulated by the program itself: a model shifted
// by 0.05 Angstrom returns to the true coordinates, the coefficient file reads
// back, and cycles 0 leaves M40 byte for byte as it was.
#include "refine/refine.hpp"
#include "model/structure.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "util/files.hpp"
#include "model/session.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/scatdata.hpp"
#include "support/refine_sim.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

constexpr const char* kM50 =
    "Version Tarnwork\ntitle simulated\ncell 5.1 6.2 7.3 90 101 90\nndim 3\nspgroup P-1 2\n"
    "lattice P\nsymmetry x y z\nsymmetry -x -y -z\nunitsnumb 2\nchemform C O\natom C\natom O\n"
    "lambda 0.71073\nend\n";
constexpr double kTrue[2][3] = {{0.1234, 0.2345, 0.3456}, {0.4321, 0.1543, 0.0765}};

class RefineSimulated : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("data/scatter")) GTEST_SKIP() << "not run from the root";
    char tmpl[] = "/tmp/tarn_refsim_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fln_ = (dir_ / "sim").string();
    Sess.HomeDir = fs::current_path().string() + "/data/";
    Sess.fln = fln_;  // the refine block is read from Sess.fln
    std::ofstream(fln_ + ".m50") << kM50;
    ASSERT_EQ(iom50(M50Read, fln_ + ".m50"), 0);
    Struct.Model = AtomModel{};
    SetBasicM40();
    for (int k = 0; k < 2; ++k)
      testsim::AddIsoAtom(k == 0 ? "C1" : "O1", k + 1, {kTrue[k][0], kTrue[k][1], kTrue[k][2]},
                          0.015);
    SetBasicM40();
    Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
    ASSERT_EQ(iom40(M40Write, fln_ + ".m40"), 0);
    // Intensities = Fc**2 of the true model, sigma(I) = 0.02 I + 1.
    ASSERT_EQ(ScatEnsureLoadedForTest(), 0);
    ASSERT_EQ(testsim::WriteSimulatedM90(fln_ + ".m90", 4), 0);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  static int ScatEnsureLoadedForTest() {
    return ScatEnsureLoaded() != 0 ? 1 : EM50ReadAllFormFactors(Struct.Basic);
  }

  fs::path dir_;
  std::string fln_;
};

TEST_F(RefineSimulated, ShiftedModelReturnsAndCyclesZeroKeepsM40) {
  // Shift every coordinate by 0.05 Angstrom (alternating signs) and refine.
  const double cell[3] = {5.1, 6.2, 7.3};
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 3; ++i)
      Struct.Model.Atom[static_cast<size_t>(k)].Par.Val[static_cast<size_t>(1 + i)] +=
          ((k + i) % 2 ? 0.05 : -0.05) / cell[i];
  ASSERT_EQ(iom40(M40Write, fln_ + ".m40"), 0);
  std::string shifted;
  ASSERT_EQ(FeReadFile(fln_ + ".m40", shifted), 0);

  std::vector<std::string> listing;
  ASSERT_EQ(RefineRun(fln_, listing), 0);
  EXPECT_LT(RefLast.Obs.R, 0.1);
  AtomModel m;
  ASSERT_EQ(iom40only(M40Read, fln_ + ".m40", m), 0);
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 3; ++i) {
      const auto& a = m.Atom[static_cast<size_t>(k)].Par;
      EXPECT_NEAR(a.Val[static_cast<size_t>(1 + i)], kTrue[k][i],
                  std::max(3. * a.Sig[static_cast<size_t>(1 + i)], 2.e-6))
          << k << " " << i;
    }
  std::string s40;
  ASSERT_EQ(FeReadFile(fln_ + ".s40", s40), 0);
  EXPECT_EQ(s40, shifted);

  // The coefficient file reads back record by record.
  std::ifstream m80(fln_ + ".m80");
  std::string l;
  int n = 0;
  while (std::getline(m80, l)) {
    RefM80Rec r;
    ASSERT_EQ(RefM80Parse(l, 3, r), 0) << l;
    EXPECT_NEAR(r.Fc, std::hypot(r.A, r.B), 1e-5 * (1. + r.Fc));
    ++n;
  }
  EXPECT_GT(n, 100);

  // cycles 0: R factors only, M40 untouched.
  std::string before;
  ASSERT_EQ(FeReadFile(fln_ + ".m40", before), 0);
  std::ofstream(fln_ + ".m50", std::ios::app)
      << std::string(80, '*') + "\nrefine\n  cycles 0\nend\n";
  listing.clear();
  ASSERT_EQ(RefineRun(fln_, listing), 0);
  std::string after;
  ASSERT_EQ(FeReadFile(fln_ + ".m40", after), 0);
  EXPECT_EQ(after, before);
  EXPECT_EQ(RefLast.CyclesDone, 0);
}

TEST_F(RefineSimulated, NoReflectionLeftStopsAndKeepsTheFiles) {
  std::string m40, m50;
  std::ofstream(fln_ + ".m50", std::ios::app)
      << std::string(80, '*') + "\nrefine\n  snlmx 0.01\nend\n";
  ASSERT_EQ(FeReadFile(fln_ + ".m40", m40), 0);
  ASSERT_EQ(FeReadFile(fln_ + ".m50", m50), 0);
  std::vector<std::string> listing;
  EXPECT_NE(RefineRun(fln_, listing), 0);
  EXPECT_NE(std::find(listing.begin(), listing.end(), std::string(refinemsg::NoRefl)),
            listing.end());
  std::string a, b;
  ASSERT_EQ(FeReadFile(fln_ + ".m40", a), 0);
  ASSERT_EQ(FeReadFile(fln_ + ".m50", b), 0);
  EXPECT_EQ(a, m40);
  EXPECT_EQ(b, m50);
  EXPECT_FALSE(fs::exists(fln_ + ".s40"));
}

}  // namespace
}  // namespace tarn
