// From a published SHELX refinement to our R factors in one batch file: the
// .res and .hkl embedded in ../shared/data/shelx/SH2185_Cu.cif are imported
// (model, reflections), merged, and refined with zero cycles, so that the R
// factors are those of the published model: R1 0.0291 on 3560 reflections
// with Fo > 4 sig(Fo), wR2 0.0728 on all 3667.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace tarn {
namespace {

namespace fs = std::filesystem;

const char* const kCif = "../shared/data/shelx/SH2185_Cu.cif";

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The text field that follows a CIF data name: the lines between the ";"
// lines.
std::string Embedded(const std::string& cif, const std::string& name) {
  const size_t at = cif.find(name);
  if (at == std::string::npos) return {};
  const size_t open = cif.find("\n;", at);
  if (open == std::string::npos) return {};
  const size_t close = cif.find("\n;", open + 2);
  if (close == std::string::npos) return {};
  std::string text = cif.substr(open + 2, close - open - 2) + "\n";
  // The rest of the opening ";" line is empty.
  if (!text.empty() && text[0] == '\n') text.erase(0, 1);
  return text;
}

TEST(ShelxRoad, FiveCommandsGiveThePublishedRFactors) {
  const fs::path exe = TARNWORK_EXE;
  if (!fs::exists(exe)) GTEST_SKIP() << "the program has not been built";
  if (!fs::exists(kCif)) GTEST_SKIP() << kCif << " is absent";
  const fs::path src = fs::current_path();
  char tmpl[] = "/tmp/tarn_road_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  fs::create_directories(dir / "home");
  for (const char* f : {"version.dat", "elements.dat"})
    fs::copy_file(src / "data" / f, dir / "home" / f);
  fs::copy(src / "data/scatter", dir / "home/scatter", fs::copy_options::recursive);

  const std::string cif = ReadText(kCif);
  // Zero least-squares cycles: the published model as it stands.
  const std::string res = std::regex_replace(Embedded(cif, "_shelx_res_file"),
                                             std::regex("\nL\\.S\\. [0-9]+"), "\nL.S. 0");
  ASSERT_NE(res.find("\nL.S. 0"), std::string::npos);
  std::ofstream(dir / "sh.res") << res;
  std::ofstream(dir / "sh.hkl") << Embedded(cif, "_shelx_hkl_file");
  std::ofstream(dir / "road.bat") << ".import->SHELX\nsh.res\n"
                                     ".File->Reflection file->Import\nSHELX on I\nsh.hkl\n"
                                     ".File->Reflection file->Create refinement reflection file\n"
                                     ".run->refine\n.end\n";
  const std::string cmd = "cd '" + dir.string() + "' && '" + exe.string() +
                          "' -HomeDir home @road.bat < /dev/null > output 2>&1";
  const int st = std::system(cmd.c_str());
  const std::string out = ReadText(dir / "output");
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << out;

  // Machine-readable line of cycle 0: R(obs) wR2(obs) R(all) wR2(all) nobs nall.
  std::istringstream in(ReadText(dir / "sh.ref"));
  std::string line;
  double r[4] = {-1., -1., -1., -1.};
  int nobs = 0, nall = 0;
  while (std::getline(in, line))
    if (line.rfind("Rfactors0: ", 0) == 0) {
      std::istringstream w(line.substr(11));
      w >> r[0] >> r[1] >> r[2] >> r[3] >> nobs >> nall;
    }
  EXPECT_EQ(nall, 3667);
  EXPECT_EQ(nobs, 3560);
  EXPECT_NEAR(r[0], 2.91, 0.3) << "R(obs) on F, percent";
  EXPECT_NEAR(r[3], 7.28, 0.6) << "wR2(all), percent";
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace tarn
