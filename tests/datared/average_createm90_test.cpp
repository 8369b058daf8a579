// M90 creation from M95: a real data set end to end, and a block that loses
// every reflection leaves the files untouched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "datared/createm90.hpp"
#include "model/structure.hpp"
#include "model/basic.hpp"
#include "model/m95m90.hpp"
#include "symmetry/symm.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

PhaseBasic P212121Phase(double a, double b, double c) {
  PhaseBasic p;
  p.Cell[0] = a;
  p.Cell[1] = b;
  p.Cell[2] = c;
  p.Symmetry = CrlPrimitivePhase(3);
  for (const char* t : {"-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2", "x+1/2 -y+1/2 -z"}) {
    SymmOp op;
    EXPECT_EQ(ReadSymm(t, 3, false, op), 0);
    CrlAddOp(p.Symmetry, op.RM6.data(), op.S6.data(), 1.);
  }
  EXPECT_EQ(CompleteSymm(p.Symmetry), 0);
  return p;
}

struct TmpDir {
  fs::path dir;
  TmpDir() {
    dir = fs::temp_directory_path() / fs::path("tarn_m90_" + std::to_string(::getpid()));
    fs::create_directories(dir);
  }
  ~TmpDir() { fs::remove_all(dir); }
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(CreateM90, SH2185EndToEnd) {
  const std::string f = "../shared/data/shelx/SH2185_Cu.cif";
  std::ifstream in(f);
  if (!in) GTEST_SKIP() << f << " absent";
  std::vector<M95Refl> refl;
  std::string line;
  bool seen = false, field = false;
  while (std::getline(in, line)) {
    if (!seen) {
      seen = line.rfind("_shelx_hkl_file", 0) == 0;
      continue;
    }
    if (line.rfind(";", 0) == 0) {
      if (field) break;
      field = true;
      continue;
    }
    if (!field || line.size() < 28) continue;
    M95Refl r;
    r.H[0] = std::stoi(line.substr(0, 4));
    r.H[1] = std::stoi(line.substr(4, 4));
    r.H[2] = std::stoi(line.substr(8, 4));
    if (r.H[0] == 0 && r.H[1] == 0 && r.H[2] == 0) break;
    r.I = std::stod(line.substr(12, 8));
    r.SigI = std::stod(line.substr(20, 8));
    r.No = static_cast<int>(refl.size()) + 1;
    refl.push_back(r);
  }
  ASSERT_EQ(refl.size(), 17407u);
  TmpDir tmp;
  const std::string base = (tmp.dir / "sh").string();
  M95Block b;
  b.Lambda = 1.54184;
  b.RadType = 1;
  ASSERT_EQ(WriteM95File(base + ".m95", {b}, {refl}), 0);

  Struct.Basic.Phase = {P212121Phase(7.7192, 11.0672, 20.9366)};
  Struct.Refl.M90.clear();
  ASSERT_EQ(EM9CreateM90(base), 0);
  std::vector<M90Block> b90;
  std::vector<std::vector<M90Refl>> r90;
  ASSERT_EQ(ReadM90File(base + ".m90", b90, r90), 0);
  ASSERT_EQ(r90.size(), 1u);
  EXPECT_EQ(r90[0].size(), 3667u);
  const std::string rre = Slurp(base + ".rre");
  for (const char* t : {"64 reflections rejected as systematically extinct.",
                        "Rint and other characteritics as a function of sin(th)/lambda",
                        "17343 reflections averaged to 3667", "no reflection was culled",
                        "Coverage in  % for all reflections", "Refined instability factor : "})
    EXPECT_NE(rre.find(t), std::string::npos) << t;
  // No temporary file is left beside the outputs.
  int files = 0;
  for (const auto& e : fs::directory_iterator(tmp.dir)) files += e.is_regular_file();
  EXPECT_EQ(files, 3);
}

TEST(CreateM90, NothingLeftWritesNothing) {
  TmpDir tmp;
  const std::string base = (tmp.dir / "ext").string();
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
