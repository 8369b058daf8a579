// ".run->sgtest" on published data imported with the cell and P1 alone: the
// published group is accepted into M50 and M90 is removed. A P21/n structure
// moves into P21/c and back with the same |F|.
#include <fmt/format.h>

#include <cmath>
#include <random>
#include <regex>

#include "app/toolkit_script.hpp"
#include "app/tools/sgtest_tool.hpp"
#include "model/m40.hpp"
#include "model/session.hpp"
#include "road.hpp"
#include "util/strings.hpp"

namespace tarn::test {
namespace {

// A .res without its symmetry: LATT -1 (P1), no SYMM lines.
std::string InP1(const std::string& res) {
  return std::regex_replace(std::regex_replace(res, std::regex("\nSYMM[^\n]*"), ""),
                            std::regex("\nLATT +-?[0-9]+"), "\nLATT -1");
}

using SgTestRoad = ProgramTest;

TEST_F(SgTestRoad, PublishedGroupIsAccepted) {
  const std::string cif = ReadText(kSh2185Cif),
                    nacl = ReadText(std::string(kNaClDir) + "/NaCl.res");
  if (cif.empty() || nacl.empty()) GTEST_SKIP() << "../shared/data not available";
  const struct {
    std::string Res, Hkl;
    const char* Group;
    int NSymm;
  } cases[] = {{InP1(ShelxEmbeddedFile(cif, "_shelx_res_file")),
                ShelxEmbeddedFile(cif, "_shelx_hkl_file"), "P212121", 4},
               {InP1(nacl), ReadText(std::string(kNaClDir) + "/NaCl.hkl"), "Fm-3m", 48}};
  for (const auto& c : cases) {
    ProgramDir run;  // a fresh structure for each data set
    run.Write("s.res", c.Res);
    run.Write("s.hkl", c.Hkl);
    ASSERT_EQ(run.Batch(kShelxRoad + ".run->sgtest\nnone\n"), 0) << run.Output;
    EXPECT_TRUE(fs::exists(run / "s.m90"));  // "none" changes nothing
    ASSERT_EQ(run.Batch(".File->Structure->Open\ns\n.run->sgtest\nstandard\n"), 0) << run.Output;
    EXPECT_TRUE(run.Printed(std::string("Accepted space group: ") + c.Group)) << run.Output;
    BasicData b;
    ASSERT_EQ(ReadM50Text(run.Read("s.m50"), "s.m50", b), 0);
    EXPECT_EQ(b.Phase[0].SpGroup, c.Group);
    EXPECT_EQ(static_cast<int>(b.Phase[0].SymmText.size()), c.NSymm);
    EXPECT_FALSE(fs::exists(run / "s.m90"));
    EXPECT_EQ(run.Batch(".File->Structure->Open\ns\n.run->sgtest\nbest\n"), 1);
  }
}

// A small P21/n model and intensities with the absences of P21/n (h0l:
// h+l odd, 0k0: k odd) and centric statistics: the test takes it to the
// standard setting P21/c (-a, -b, a+c), through the pages of the action, and
// back. The intensities need not
// fit the model: R factors equal to those in the original cell show that
// every |F| moved with its indices.
constexpr const char* kP21n = R"(TITL p21n
CELL 0.71073 8.031 14.555 10.890 90 103.93 90
ZERR 4 0.001 0.001 0.001 0 0.01 0
LATT 1
SYMM 0.5-X,0.5+Y,0.5-Z
SFAC C N O BR
UNIT 16 8 8 4
L.S. 0
FVAR 0.1
BR1 4 0.12340 0.21130 0.33210 11.0 0.031 0.042 0.027 0.004 0.009 -0.003
O1 3 0.41230 0.05210 0.11120 11.0 0.035 0.028 0.040 -0.006 0.012 0.002
N1 2 0.27710 0.39450 0.07830 11.0 0.025 0.030 0.033 0.001 0.007 0.004
C1 1 0.65230 0.18860 0.42170 11.0 0.029 0.035 0.026 0.003 0.005 -0.002
C2 1 0.83470 0.31020 0.19980 11.0 0.033 0.027 0.031 -0.002 0.010 0.001
HKLF 4
END
)";

std::string P21nHkl() {
  std::mt19937 rng(7);
  std::normal_distribution<double> g(0., 1.);
  std::string out;
  for (int h = -6; h <= 6; ++h)
    for (int k = 0; k <= 9; ++k)
      for (int l = 0; l <= 7; ++l) {
        if ((l == 0 && h < 0) || (h == 0 && k == 0 && l == 0)) continue;
        const bool absent = (k == 0 && (h + l) % 2 != 0) || (h == 0 && l == 0 && k % 2 != 0);
        const double i = absent ? g(rng) : 2000. * std::pow(g(rng), 2) + 5.;
        out += fmt::format("{:4d}{:4d}{:4d}{:8.2f}{:8.2f}\n", h, k, l, i,
                           std::sqrt(std::fabs(i)) + 1.);
      }
  return out + "   0   0   0    0.00    0.00\n";
}

TEST_F(SgTestRoad, P21nToStandardAndBackKeepsF) {
  Dir.Write("s.res", kP21n);
  Dir.Write("s.hkl", P21nHkl());
  const std::string refine =
      ".File->Reflection file->Create refinement reflection file\n.run->refine\n";
  ASSERT_EQ(Dir.Batch(kShelxRoad + ".run->refine\n"), 0) << Dir.Output;
  const RFactors r0 = LastRFactors(Dir.Read("s.ref"));
  ASSERT_GT(r0.NAll, 500);
  // There through the pages of the action (tolerances, candidates, setting,
  // confirmation), back by batch commands.
  FeScriptToolkit tk;
  FeSetToolkit(&tk);
  Sess.HomeDir = "data/";
  Sess.KPhase = 1;
  const std::string base = (Dir / "s").string();
  ASSERT_EQ(iom50(M50Read, base + ".m50"), 0);
  ASSERT_EQ(iom40(M40Read, base + ".m40"), 0);
  tk.Forms = {{"0.02", "0.2", "3", "10", "5"}};
  tk.Choices = {0, 0};
  tk.Answers = {true};
  const int rc = EM9SpaceGroupTest(base, "", false);
  FeSetToolkit(nullptr);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(tk.ListingFiles, std::vector<std::string>{base + ".dir"});
  const struct {
    const char* Step;
    const char* Group;
    double Beta;  // of the cell in M50
  } steps[] = {{"", "P21/c", 117.10},
               {".Tools->Transform\ncell -a,-b,a+c\n.run->sgtest\noriginal\n", "P21/n", 103.93}};
  for (const auto& st : steps) {
    ASSERT_EQ(Dir.Batch(std::string(".File->Structure->Open\ns\n") + st.Step + refine), 0)
        << Dir.Output;
    BasicData b;
    ASSERT_EQ(ReadM50Text(Dir.Read("s.m50"), "s.m50", b), 0);
    EXPECT_EQ(b.Phase[0].SpGroup, st.Group);
    EXPECT_NEAR(b.Phase[0].Cell[4], st.Beta, 0.01) << st.Group;
    const RFactors r = LastRFactors(Dir.Read("s.ref"));
    EXPECT_EQ(r.NAll, r0.NAll) << st.Group;
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(r.R[k], r0.R[k], 1e-3) << st.Group << " R " << k;
  }
}

// "cell": NaCl data indexed in the primitive rhombohedral cell (h_p = (k+l,
// h+l, h+k)/2) go back to the cubic F cell and Fm-3m. "twins": the P21/n data
// in a cell with beta = 90.4 get the twin law of the orthorhombic metric in
// M50, and the refinement takes it (two twin fractions in M40).
TEST_F(SgTestRoad, CellAndTwinOptions) {
  const std::string nacl = ReadText(std::string(kNaClDir) + "/NaCl.res"),
                    hkl = ReadText(std::string(kNaClDir) + "/NaCl.hkl");
  if (nacl.empty() || hkl.empty()) GTEST_SKIP() << "../shared/data not available";
  const double ap = 5.641087 / std::sqrt(2.);
  std::string prim;
  for (const std::string& l : SplitOn(hkl, "\n")) {
    if (l.size() < 12) continue;
    const int h = std::stoi(l.substr(0, 4)), k = std::stoi(l.substr(4, 4)),
              m = std::stoi(l.substr(8, 4));
    if ((h + k) % 2 != 0 || (k + m) % 2 != 0) continue;  // none in a primitive cell
    prim +=
        fmt::format("{:4d}{:4d}{:4d}", (k + m) / 2, (h + m) / 2, (h + k) / 2) + l.substr(12) + "\n";
  }
  ProgramDir run;
  // The primitive cell with Cl at 0 0 0 and Na at 1/2 1/2 1/2, isotropic.
  const std::string res =
      std::regex_replace(std::regex_replace(InP1(nacl), std::regex("\nCELL [^\n]*"),
                                            fmt::format("\nCELL 0.71073 {0} {0} {0} 60 60 60", ap)),
                         std::regex("\nCL1[^=]*=\n[^\n]*\nNA1[^=]*=\n[^\n]*"),
                         "\nCL1 1 0 0 0 10.02083 0.018\nNA1 2 0.5 0.5 0.5 10.02083 0.021");
  ASSERT_NE(res.find("NA1 2 0.5"), std::string::npos);
  run.Write("s.res", res);
  run.Write("s.hkl", prim);
  ASSERT_EQ(run.Batch(kShelxRoad + ".run->sgtest\nstandard cell\n"), 0) << run.Output;
  EXPECT_TRUE(run.Printed("The test repeated in the cell with axes")) << run.Output;
  EXPECT_TRUE(run.Printed("Accepted space group: Fm-3m")) << run.Output;
  BasicData b;
  ASSERT_EQ(ReadM50Text(run.Read("s.m50"), "s.m50", b), 0);
  EXPECT_EQ(b.Phase[0].SpGroup, "Fm-3m");
  EXPECT_NEAR(b.Phase[0].Cell[0], 5.641087, 1e-4);
  EXPECT_NEAR(b.Phase[0].Cell[3], 90., 1e-6);
  ASSERT_EQ(run.Batch(".File->Structure->Open\ns\n"
                      ".File->Reflection file->Create refinement reflection file\n.run->refine\n"),
            0)
      << run.Output;
  EXPECT_LT(LastRFactors(run.Read("s.ref")).R[0], 2.);  // 0.96 % as from the cubic cell

  Dir.Write("s.res", std::regex_replace(kP21n, std::regex("103\\.93"), "90.4"));
  Dir.Write("s.hkl", P21nHkl());
  ASSERT_EQ(Dir.Batch(kShelxRoad + ".run->sgtest\noriginal twins\n"), 0) << Dir.Output;
  EXPECT_TRUE(Printed("Twin matrices written to M50: 2 domains")) << Dir.Output;
  ASSERT_EQ(ReadM50Text(Dir.Read("s.m50"), "s.m50", b), 0);
  EXPECT_EQ(b.Phase[0].SpGroup, "P21/n");
  ASSERT_EQ(b.Twin.size(), 2u);
  const std::vector<double> twofoldA{1, 0, 0, 0, -1, 0, 0, 0, -1},
      twofoldC{-1, 0, 0, 0, -1, 0, 0, 0, 1};
  EXPECT_TRUE(b.Twin[1] == twofoldA || b.Twin[1] == twofoldC);
  ASSERT_EQ(Dir.Batch(".File->Structure->Open\ns\n"
                      ".File->Reflection file->Create refinement reflection file\n.run->refine\n"),
            0)
      << Dir.Output;
  AtomModel m;
  ASSERT_EQ(M40ReadText(Dir.Read("s.m40"), "s.m40", m), 0);
  ASSERT_FALSE(m.DatBlock.empty());
  EXPECT_EQ(m.DatBlock[0].Twin.size(), 2);
}

}  // namespace
}  // namespace tarn::test
