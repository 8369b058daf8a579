// From a published SHELX refinement to our R factors in one batch file of
// five commands: model (.res), reflections (.hkl), merging, refinement. With
// zero cycles the R factors are those of the published model: SH2185_Cu (its
// .res and .hkl embedded in the CIF) R1 0.0291 on 3560 reflections with
// Fo > 4 sig(Fo) and wR2 0.0728 on all 3667; NaCl R1 0.0096.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

struct RoadResult {
  int Status = -1;
  std::string Output;
  std::string M90, Ref;                // the files s.m90 and s.ref
  double R[4] = {-1., -1., -1., -1.};  // R(obs), wR2(obs), R(all), wR2(all) of the last cycle, %
  int NObs = 0, NAll = 0;
};

// Runs the five commands (model, reflections, M90, refinement) on the given
// .res text with "L.S. cycles" and the .hkl text in a scratch directory,
// after prepare(directory) when given. The program's per-user folders lie in
// the directory's "user" folder.
RoadResult RunRoad(const std::string& resText, const std::string& hkl, int cycles,
                   const std::function<void(const fs::path&)>& prepare = {}) {
  RoadResult out;
  const fs::path src = fs::current_path();
  char tmpl[] = "/tmp/tarn_road_XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return out;
  const fs::path dir = tmpl;
  fs::create_directories(dir / "home");
  for (const char* f : {"version.dat", "elements.dat"})
    fs::copy_file(src / "data" / f, dir / "home" / f);
  fs::copy(src / "data/scatter", dir / "home/scatter", fs::copy_options::recursive);
  const std::string res = std::regex_replace(resText, std::regex("\nL\\.S\\. [0-9]+"),
                                             "\nL.S. " + std::to_string(cycles));
  std::ofstream(dir / "s.res") << res;
  std::ofstream(dir / "s.hkl") << hkl;
  std::ofstream(dir / "road.bat") << ".import->SHELX\ns.res\n"
                                     ".File->Reflection file->Import\nSHELX on I\ns.hkl\n"
                                     ".File->Reflection file->Create refinement reflection file\n"
                                     ".run->refine\n.end\n";
  if (prepare) prepare(dir);
  const std::string user = (dir / "user").string();
  const std::string cmd = "cd '" + dir.string() + "' && XDG_CONFIG_HOME='" + user +
                          "' XDG_STATE_HOME='" + user + "' XDG_RUNTIME_DIR='" + user + "' '" +
                          std::string(TARNWORK_EXE) +
                          "' -HomeDir home @road.bat < /dev/null > output 2>&1";
  const int st = std::system(cmd.c_str());
  out.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  // The scratch directory named in the output is the same for every run.
  out.Output = std::regex_replace(ReadText(dir / "output"), std::regex(dir.string()), "WORK");
  out.M90 = ReadText(dir / "s.m90");
  out.Ref = ReadText(dir / "s.ref");
  // Machine-readable line of each cycle: R(obs) wR2(obs) R(all) wR2(all) nobs nall.
  std::istringstream in(ReadText(dir / "s.ref"));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("Rfactors0: ", 0) == 0) {
      std::istringstream w(line.substr(11));
      w >> out.R[0] >> out.R[1] >> out.R[2] >> out.R[3] >> out.NObs >> out.NAll;
    }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return out;
}

class ShelxRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(TARNWORK_EXE)) GTEST_SKIP() << "the program has not been built";
  }
};

TEST_F(ShelxRoad, Sh2185CuPublishedModelGivesThePublishedRFactors) {
  if (!fs::exists(kCif)) GTEST_SKIP() << kCif << " is absent";
  const std::string cif = ReadText(kCif);
  const RoadResult r =
      RunRoad(Embedded(cif, "_shelx_res_file"), Embedded(cif, "_shelx_hkl_file"), 0);
  ASSERT_EQ(r.Status, 0) << r.Output;
  EXPECT_EQ(r.NAll, 3667);
  EXPECT_EQ(r.NObs, 3560);
  EXPECT_NEAR(r.R[0], 2.91, 0.3) << "R(obs) on F, percent";
  EXPECT_NEAR(r.R[3], 7.28, 0.6) << "wR2(all), percent";
}

// NaCl: R1 0.0096 on 111 reflections, with the published model and after ten
// cycles.
TEST_F(ShelxRoad, NaClPublishedModelAndTenCycles) {
  const fs::path dir = "../shared/data/nacl";
  if (!fs::exists(dir / "NaCl.res")) GTEST_SKIP() << "NaCl data absent";
  const std::string res = ReadText(dir / "NaCl.res"), hkl = ReadText(dir / "NaCl.hkl");
  for (int cycles : {0, 10}) {
    const RoadResult r = RunRoad(res, hkl, cycles);
    ASSERT_EQ(r.Status, 0) << r.Output;
    EXPECT_EQ(r.NObs, 111);
    EXPECT_NEAR(r.R[0], 0.96, 0.2) << cycles << " cycles";
    if (cycles == 0) continue;
    // Harmonic ADPs are stored as beta_ij and their values listed so.
    EXPECT_NE(r.Ref.find("\nbeta11[CL1] "), std::string::npos) << r.Ref;
    EXPECT_EQ(r.Ref.find("\nU11[CL1] "), std::string::npos);
  }
}

// A structure measured with Cu radiation, opened last (first in the history),
// leaves nothing in the next run: the NaCl road gives the Mo result. The
// history names a copy of the NaCl structure whose M50 and M90 say Cu K-alpha.
TEST_F(ShelxRoad, NaClAfterACuStructureInTheHistory) {
  const fs::path dir = "../shared/data/nacl";
  if (!fs::exists(dir / "NaCl.res")) GTEST_SKIP() << "NaCl data absent";
  const std::string res = ReadText(dir / "NaCl.res"), hkl = ReadText(dir / "NaCl.hkl");
  const RoadResult clean = RunRoad(res, hkl, 0);
  ASSERT_EQ(clean.Status, 0) << clean.Output;
  auto cu = [&](const fs::path& d) {
    fs::create_directories(d / "cu");
    std::ofstream(d / "cu/cu.res")
        << std::regex_replace(res, std::regex("CELL +[0-9.]+"), "CELL 1.54184");
    std::ofstream(d / "cu/cu.hkl") << hkl;
    std::ofstream(d / "cu/cu.bat") << ".import->SHELX\ncu/cu.res\n"
                                      ".File->Reflection file->Import\nSHELX on I\ncu/cu.hkl\n"
                                      ".File->Reflection file->Create refinement reflection file\n";
    const std::string user = (d / "user").string();
    const std::string cmd = "cd '" + d.string() + "' && XDG_STATE_HOME='" + user + "' '" +
                            std::string(TARNWORK_EXE) + "' -HomeDir home @cu/cu.bat > /dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_NE(ReadText(d / "cu/cu.m90").find("1.54184"), std::string::npos);
    // The history of the interactive runs (and where earlier versions kept it).
    const std::string entry = (d / "cu").string() + "/\ncu\n";
    fs::create_directories(d / "user/tarnwork");
    std::ofstream(d / "user/tarnwork/tarnwork.hst") << entry;
    std::ofstream(d / "home/tarnwork.hst") << entry;
  };
  const RoadResult r = RunRoad(res, hkl, 0, cu);
  ASSERT_EQ(r.Status, 0) << r.Output;
  EXPECT_EQ(r.NAll, 111);
  EXPECT_NE(r.M90.find("lambda       0.71073"), std::string::npos) << r.M90.substr(0, 400);
  EXPECT_EQ(r.M90, clean.M90);
  EXPECT_EQ(r.Output, clean.Output);
}

}  // namespace
}  // namespace tarn
