// From a published SHELX refinement to its difference map in one batch file:
// model (.res), reflections (.hkl), merging, refinement (which writes the
// coefficient file), Fourier synthesis. SH2185_Cu publishes the residual
// density of its final model: max 0.133, min -0.187, rms 0.034 e/A^3.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "support/temp_dir.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

const char* const kCif = "../shared/data/shelx/SH2185_Cu.cif";

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The text field between the ";" lines that follow a CIF data name.
std::string Embedded(const std::string& cif, const std::string& name) {
  const size_t at = cif.find(name);
  if (at == std::string::npos) return {};
  const size_t open = cif.find("\n;", at), close = cif.find("\n;", open + 2);
  if (open == std::string::npos || close == std::string::npos) return {};
  std::string text = cif.substr(open + 2, close - open - 2) + "\n";
  if (!text.empty() && text[0] == '\n') text.erase(0, 1);
  return text;
}

class FourierRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(TARNWORK_EXE)) GTEST_SKIP() << "the program has not been built";
    if (!fs::exists(kCif)) GTEST_SKIP() << kCif << " is absent";
    cif_ = ReadText(kCif);
  }

  // Model with `cycles` cycles, reflections, M90, the fourier block, refine, fourier.
  int Run(std::string res, int cycles, const std::string& fourierBlock) {
    const fs::path src = fs::current_path(), dir = tmp_.Path();
    fs::create_directories(dir / "home");
    for (const char* f : {"version.dat", "elements.dat"})
      fs::copy_file(src / "data" / f, dir / "home" / f);
    fs::copy(src / "data/scatter", dir / "home/scatter", fs::copy_options::recursive);
    res = std::regex_replace(res, std::regex("\nL\\.S\\. [0-9]+"),
                             "\nL.S. " + std::to_string(cycles));
    tmp_.Write("s.res", res);
    tmp_.Write("s.hkl", Embedded(cif_, "_shelx_hkl_file"));
    tmp_.Write("road.bat",
               ".import->SHELX\ns.res\n.File->Reflection file->Import\nSHELX on I\ns.hkl\n"
               ".File->Reflection file->Create refinement reflection file\n"
               ".Edit->Commands\nfourier\n" +
                   fourierBlock + "\nend fourier\n.run->refine\n.run->fourier\n.end\n");
    const std::string cmd = "cd '" + dir.string() + "' && '" + std::string(TARNWORK_EXE) +
                            "' -HomeDir home @road.bat < /dev/null > output 2>&1";
    const int st = std::system(cmd.c_str());
    output_ = ReadText(dir / "output");
    listing_ = ReadText(dir / "s.fou");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  // The number after `label` in the Fourier listing.
  double After(const std::string& label) const {
    const size_t at = listing_.find(label);
    if (at == std::string::npos) return std::nan("");
    return std::stod(listing_.substr(at + label.size()));
  }

  test::TempDir tmp_;
  std::string cif_, output_, listing_;
};

// The published figures are those of the unweighted Fo - Fc map of the whole cell.
TEST_F(FourierRoad, Sh2185CuDifferenceMapHasThePublishedResidualDensity) {
  ASSERT_EQ(
      Run(Embedded(cif_, "_shelx_res_file"), 0, "  maptype 6 step 0.1 cmethod 2 peaks 0 weight 0"),
      0)
      << output_;
  EXPECT_NEAR(After("Maximal density : "), 0.133, 0.02) << listing_;
  EXPECT_NEAR(After("minimal density : "), -0.187, 0.02) << listing_;
  EXPECT_NEAR(After("rms density : "), 0.034, 0.02) << listing_;
}

// Without C19 and after three cycles, the strongest maximum of the
// difference map stands where C19 was (under the operators of P212121).
TEST_F(FourierRoad, Sh2185CuMissingAtomIsTheStrongestPeak) {
  std::string res = Embedded(cif_, "_shelx_res_file");
  res = std::regex_replace(res, std::regex("\nC19 [^\n]*=\n[^\n]*"), "");
  ASSERT_EQ(res.find("\nC19 "), std::string::npos);
  ASSERT_EQ(Run(res, 3, "  maptype 6"), 0) << output_;
  const size_t at = listing_.find("\nmax1 ");
  ASSERT_NE(at, std::string::npos) << listing_;
  std::istringstream in(listing_.substr(at + 6));
  double p[3];
  in >> p[0] >> p[1] >> p[2];
  const double c19[3] = {0.337928, 0.238971, 0.654061}, cell[3] = {7.7192, 11.0672, 20.9366};
  // x,y,z; 1/2-x,-y,1/2+z; -x,1/2+y,1/2-z; 1/2+x,1/2-y,-z
  const double ops[4][6] = {{1, 1, 1, 0, 0, 0},
                            {-1, -1, 1, 0.5, 0, 0.5},
                            {-1, 1, -1, 0, 0.5, 0.5},
                            {1, -1, -1, 0.5, 0.5, 0}};
  double best = 1e9;
  for (const auto& o : ops) {
    double d2 = 0.;
    for (int i = 0; i < 3; ++i) {
      double d = p[i] - (o[i] * c19[i] + o[3 + i]);
      d -= std::round(d);
      d2 += d * d * cell[i] * cell[i];
    }
    best = std::min(best, std::sqrt(d2));
  }
  EXPECT_LT(best, 0.15) << listing_;
}

}  // namespace
}  // namespace tarn
