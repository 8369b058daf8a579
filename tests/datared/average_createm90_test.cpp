// M90 creation from M95: a real data set end to end, and a block that loses
// every reflection leaves the files untouched.
#include <gtest/gtest.h>

#include "datared/createm90.hpp"
#include "datared/readers/cif_hkl.hpp"
#include "datared_test_util.hpp"
#include "model/m95m90.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

PhaseBasic P212121Phase(double a, double b, double c) {
  PhaseBasic p;
  p.Cell[0] = a;
  p.Cell[1] = b;
  p.Cell[2] = c;
  p.Symmetry = test::MakeGroup(3, test::kP212121);
  return p;
}

TEST(CreateM90, SH2185EndToEnd) {
  if (!test::HaveData("shelx/SH2185_Cu.cif")) GTEST_SKIP() << "shared data absent";
  ImpData d;
  ErrorRecord err;
  ASSERT_EQ(ReadCifHkl(test::kData + "shelx/SH2185_Cu.cif", 0, d, err), 0) << ImpErrorText(err);
  M95Block b;
  b.Lambda = 1.54184;
  b.RadType = 1;
  std::vector<M95Refl> refl;
  ASSERT_EQ(DRReadRef(d, b, refl, err), 0);
  ASSERT_EQ(refl.size(), 17407u);
  test::TempDir tmp;
  const std::string base = tmp / "sh";
  ASSERT_EQ(WriteM95File(base + ".m95", {b}, {refl}), 0);

  Struct.Basic.Phase = {P212121Phase(7.7192, 11.0672, 20.9366)};
  Struct.Refl.M90.clear();
  ASSERT_EQ(EM9CreateM90(base), 0);
  std::vector<M90Block> b90;
  std::vector<std::vector<M90Refl>> r90;
  ASSERT_EQ(ReadM90File(base + ".m90", b90, r90), 0);
  ASSERT_EQ(r90.size(), 1u);
  EXPECT_EQ(r90[0].size(), 3667u);
  // The published counts: 3560 reflections with I > 2 sigma(I), Rint 0.0317.
  int strong = 0;
  for (const M90Refl& r : r90[0]) strong += r.I > 2. * r.SigI;
  EXPECT_EQ(strong, 3560);
  const std::string rre = tmp.Read(base + ".rre");
  for (const char* t : {"64 reflections rejected as systematically extinct.",
                        "Rint and other characteritics as a function of sin(th)/lambda",
                        "17343 reflections averaged to 3667", "no reflection was culled",
                        "Rint = 0.0317 for groups of two or more measurements",
                        "Coverage in  % for all reflections", "Refined instability factor : "})
    EXPECT_NE(rre.find(t), std::string::npos) << t;
  // No temporary file is left beside the outputs.
  int files = 0;
  for (const auto& e : fs::directory_iterator(tmp.Path())) files += e.is_regular_file();
  EXPECT_EQ(files, 3);
}

TEST(CreateM90, NothingLeftWritesNothing) {
  test::TempDir tmp;
  const std::string base = tmp / "ext";
  std::vector<M95Refl> refl(3);
  for (int k = 0; k < 3; ++k) {
    refl[k].H[0] = 2 * k + 1;  // h00 with h odd: absent in P212121
    refl[k].I = 100.;
    refl[k].SigI = 1.;
  }
  M95Block b;
  b.Lambda = 0.71073;
  ASSERT_EQ(WriteM95File(base + ".m95", {b}, {refl}), 0);
  Struct.Basic.Phase = {P212121Phase(5, 6, 7)};
  Struct.Refl.M90.clear();
  EXPECT_EQ(EM9CreateM90(base), 1);
  EXPECT_FALSE(fs::exists(base + ".m90"));
  EXPECT_FALSE(fs::exists(base + ".rre"));
}

}  // namespace
}  // namespace tarn
