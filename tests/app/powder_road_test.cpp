// Powder road in batch: the PbSO4 round-robin patterns (lab X-ray with Cu
// K-alpha1/2 and D1A neutron) imported with their instrument files into the
// structure made from the start model, and fitted by Le Bail from the
// model's cell with zero (and for X-ray the sample displacement) refined.
#include <algorithm>
#include <cstdio>
#include <regex>

#include "road.hpp"
#include "util/files.hpp"

namespace tarn::test {
namespace {

constexpr const char* kDir = "../shared/data/powder/pbso4/";

class PowderRoad : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists(kDir)) GTEST_SKIP() << "no shared data";
    fs::copy_file(fs::path(kDir) / "PbSO4-Wyckoff.cif", Dir / "pbso4.cif");
  }
};

// Published: a 8.480297 b 5.398574 c 6.960012 A from the combined fit, the
// neutron wavelength refined there; wR 11.00 % X-ray, 4.53 % neutron. Here
// too both patterns share the cell and the neutron wavelength is refined
// against the Cu K-alpha lines (the two were measured at different
// temperatures, so the cell is the X-ray one). The Le Bail cell is within
// 0.0005 A; the Rietveld cell is still a few thousandths short.
TEST_F(PowderRoad, PbSO4XrayAndNeutronTogether) {
  const std::string d = fs::absolute(kDir).string();
  ASSERT_EQ(Dir.Batch(".import->CIF\npbso4.cif\n.File->Powder data->Import\nGSAS standard\n" + d +
                      "PBSO4.XRA\n" + d + "INST_XRY.PRM\n.File->Powder data->Import\nGSAS standard\n" + d +
                      "PBSO4.CWN\n" + d + "inst_d1a.prm\n.run->lebail\n.File->Powder data->Export instprm\nd1a\n"
                      ".run->refine\n"),
            0)
      << Dir.Output;
  EXPECT_TRUE(Printed("6001 points imported from")) << Dir.Output;
  std::smatch m;
  const std::string out = Dir.Output.substr(0, Dir.Output.rfind(".run->refine"));
  const double rwpLimit[2] = {11.00, 4.53};
  for (int b = 1; b <= 2; ++b) {
    ASSERT_TRUE(std::regex_search(out, m, std::regex("block " + std::to_string(b) + ": Rp [0-9.]+ Rwp ([0-9.]+)")));
    EXPECT_LT(std::stod(m[1]), rwpLimit[b - 1]) << b;
  }
  ASSERT_TRUE(std::regex_search(out, m, std::regex("a ([0-9.]+)\\(\\d+\\) b ([0-9.]+)\\(\\d+\\) c ([0-9.]+)")));
  const double pub[3] = {8.480297, 5.398574, 6.960012};
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(std::stod(m[k + 1]), pub[k], 0.0005) << k;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("block 2: wavelength ([0-9.]+)")));
  EXPECT_NEAR(std::stod(m[1]), 1.909, 0.004);
  EXPECT_TRUE(fs::exists(Dir / "pbso4.prf"));
  EXPECT_TRUE(fs::exists(Dir / "pbso4_2.prf"));
  // The instrument export: one file per powder block, the second with its wavelength.
  EXPECT_NE(Dir.Read("d1a.instprm").find("Type:PXC"), std::string::npos);
  EXPECT_NE(Dir.Read("d1a_2.instprm").find("Lam:" + std::string(m[1]).substr(0, 5)), std::string::npos);

  // Then the structure refined against both patterns (Rietveld), from the
  // profiles of the Le Bail fit.
  const std::string riet = Dir.Output.substr(Dir.Output.rfind(".run->refine"));
  double rwp[2];
  std::string::const_iterator from = riet.begin();
  for (double& r : rwp) {
    ASSERT_TRUE(std::regex_search(from, riet.end(), m, std::regex("Rwp ([0-9.]+) Rexp"))) << riet;
    r = std::stod(m[1]);
    from = m[0].second;
  }
  EXPECT_LT(rwp[0], 11.00);
  EXPECT_LT(rwp[1], 4.53);
  ASSERT_TRUE(std::regex_search(riet, m, std::regex("a ([0-9.]+)\\(\\d+\\) b ([0-9.]+)\\(\\d+\\) c ([0-9.]+)"))) << riet;
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(std::stod(m[k + 1]), pub[k], 0.01) << k;
  EXPECT_TRUE(std::regex_search(riet, std::regex("Bragg R [0-9.]+  weight fraction 1.0000"))) << riet;
  // The structure moved; coefficients for Fourier maps from the Rietveld partition.
  EXPECT_TRUE(fs::exists(Dir / "pbso4.s40"));
  const std::string m80 = Dir.Read("pbso4.m80");
  EXPECT_GT(std::count(m80.begin(), m80.end(), '\n'), 300);
}

// The batch forms of "Edit profile" (a strain tensor added), the Le Bail
// wizard (the known structure's |F|**2 as the start) and the
// Williamson-Hall analysis; a wrong parameter name changes nothing.
TEST_F(PowderRoad, EditProfileWizardAndWilliamsonHall) {
  const std::string d = fs::absolute(kDir).string();
  ASSERT_EQ(Dir.Batch(".import->CIF\npbso4.cif\n.File->Powder data->Import\nGSAS standard\n" + d + "PBSO4.CWN\n" + d +
                      "inst_d1a.prm\n.Edit->Profile\nphase 1\nstrain 2\nS400 0.5 1\nLY 2.5 1\n"
                      ".run->lebail wizard\nknown 1\ncycles 2\n.run->williamson-hall\n"),
            0)
      << Dir.Output;
  EXPECT_FALSE(Printed("cannot be calculated")) << Dir.Output;
  EXPECT_TRUE(Printed("Williamson-Hall analysis of powder block 1, phase 1:")) << Dir.Output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(Dir.Output, m, std::regex("block 1: Rp [0-9.]+ Rwp ([0-9.]+)")));
  EXPECT_LT(std::stod(m[1]), 10.);
  const std::string m41 = Dir.Read("pbso4.m41");
  EXPECT_NE(m41.find("uklebail 1"), std::string::npos);
  EXPECT_NE(m41.find("# Strain parameters"), std::string::npos);
  EXPECT_EQ(Dir.Batch(".File->Structure->Open\npbso4\n.Edit->Profile\nS999 1\n"), 1);
  EXPECT_EQ(Dir.Read("pbso4.m41"), m41);
}

// Garnet Y3Fe2(AlO4)3 (Ia-3d), D1A neutron: the shipped start model (the
// garnet structure type, O at a literature start, Fe/Al half and half on
// both sites) refined against the pattern after a Le Bail start, with the
// Fe/Al distribution. Published: wR 5.18 %, a = 12.181739(242) A.
TEST(GarnetRoad, NeutronPatternRefinesTheStartModel) {
  constexpr const char* kGarnet = "../shared/data/powder/garnet/";
  if (!fs::exists(TARNWORK_EXE)) GTEST_SKIP() << "the program has not been built";
  if (!fs::exists(kGarnet)) GTEST_SKIP() << "no shared data";
  ProgramDir dir;
  fs::copy_file("examples/garnet/garnet.cif", dir / "garnet.cif");
  fs::permissions(dir / "garnet.cif", fs::perms::owner_write, fs::perm_options::add);
  const std::string d = fs::absolute(kGarnet).string();
  ASSERT_EQ(dir.Batch(".import->CIF\ngarnet.cif\n.File->Powder data->Import\nGSAS standard\n" + d + "garnet.raw\n" + d +
                      "inst_d1a.prm\n.Edit->Keywords\nrefine\ncycles 30\n.run->lebail\n.Edit->Parameters\n"
                      "refine.Fe1.ai = 1\nrefine.Al1.ai = 1\n.Edit->Keywords\nrefine\nautkeys 0\n"
                      "restric Fe1 Al2 2\nrestric Al1 Fe2 2\n.run->refine\n"),
            0)
      << dir.Output;
  const std::string riet = dir.Output.substr(dir.Output.rfind(".run->refine"));
  std::smatch m;
  // The Le Bail fit converges (20 cycles) below the published wR too.
  ASSERT_TRUE(std::regex_search(dir.Output, m, std::regex("block 1: Rp [0-9.]+ Rwp ([0-9.]+)")));
  EXPECT_LT(std::stod(m[1]), 5.18) << dir.Output;
  ASSERT_TRUE(std::regex_search(riet, m, std::regex("Rwp ([0-9.]+) Rexp"))) << riet;
  EXPECT_LT(std::stod(m[1]), 5.18) << riet;
  ASSERT_TRUE(std::regex_search(riet, m, std::regex("Phase 1: a ([0-9.]+)\\((\\d+)\\)"))) << riet;
  // Ours is 0.006 A long (the Le Bail cell too): within 0.01 A for now.
  EXPECT_NEAR(std::stod(m[1]), 12.181739, 0.01) << riet;
  // The Fe/Al distribution refines from half and half: about 0.58 Fe on 16a
  // (site factor 1/6) and 0.70 Al on 24d (1/4).
  ASSERT_TRUE(std::regex_search(riet, m, std::regex("ai\\[Fe1\\] +[0-9.]+ +([0-9.]+)\\("))) << riet;
  EXPECT_NEAR(6. * std::stod(m[1]), 0.58, 0.03) << riet;
  ASSERT_TRUE(std::regex_search(riet, m, std::regex("ai\\[Al1\\] +[0-9.]+ +([0-9.]+)\\("))) << riet;
  EXPECT_NEAR(4. * std::stod(m[1]), 0.70, 0.03) << riet;
}

TEST_F(PowderRoad, DamagedPatternChangesNothing) {
  Dir.Write("bad.gsa", "title\nBANK 1 30 3 CONST 1000 5 0 0 STD\n     100     1x1\n");
  EXPECT_EQ(Dir.Batch(".import->CIF\npbso4.cif\n.File->Powder data->Import\nGSAS standard\nbad.gsa\nnone\n"), 1);
  EXPECT_TRUE(Printed("line 3")) << Dir.Output;
  EXPECT_FALSE(fs::exists(Dir / "pbso4.m95"));
  EXPECT_FALSE(fs::exists(Dir / "pbso4.m41"));
}

// The X-ray pattern with the fundamental approach and an emission-profile
// file: a file of three lines is refused and leaves M41 as it was; with two
// lines the receiving slit and the secondary Soller slit are refined and
// written back with the section, and the fit beats the divergence asymmetry
// (Rwp 9.42).
TEST_F(PowderRoad, FundamentalApproachWithWavelengthFile) {
  const std::string d = fs::absolute(kDir).string();
  ASSERT_EQ(Dir.Batch(".import->CIF\npbso4.cif\n.File->Powder data->Import\nGSAS standard\n" + d + "PBSO4.XRA\n" + d +
                      "INST_XRY.PRM\n"),
            0)
      << Dir.Output;
  std::string m41 = "lamfile lam.txt\n" + Dir.Read("pbso4.m41");
  m41.replace(m41.find("asymm 3"), 7, "asymm 4");
  const size_t w = m41.find("# Asymmetry parameters");
  ASSERT_NE(w, std::string::npos);
  m41.insert(w, std::string("# Fundamental parameters\n") +
                    "240.00000240.00000 0.16000012.000000 0.00000012.000000      001000\n" +
                    "15.000000 0.000000 2.500000                                 001\n" +
                    " 0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n 0.000000 0.000000 0.000000\n");
  const size_t g = m41.find('\n', m41.find("# Gaussian parameters")) + 1;
  m41.replace(g, m41.find('\n', g) - g, std::string("16.000000-20.0000011.000000 0.000000").append(24, ' ') + "0010");
  Dir.Write("pbso4.m41", m41);
  Dir.Write("lam.txt", "1.540598 2\n1.544426 1\n1.39222 0.2\n");
  const std::string run = ".File->Structure->Open\npbso4\n.Edit->Keywords\nrefine\ncycles 5\n.run->lebail\n";
  EXPECT_NE(Dir.Batch(run), 0);
  EXPECT_TRUE(Printed("line 3") && Printed("expected at most two wavelength lines")) << Dir.Output;
  EXPECT_EQ(Dir.Read("pbso4.m41"), m41);
  Dir.Write("lam.txt", "# Cu K-alpha1/2\n1.540598 2\n1.544426 1\n");
  ASSERT_EQ(Dir.Batch(run), 0) << Dir.Output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(Dir.Output, m, std::regex("block 1: Rp [0-9.]+ Rwp ([0-9.]+)"))) << Dir.Output;
  EXPECT_LT(std::stod(m[1]), 9.2);
  const std::string out = Dir.Read("pbso4.m41");
  EXPECT_NE(out.find("# Wavelength\n 1.540598 1.544426"), std::string::npos) << out;
  const size_t f = out.find("# Fundamental parameters\n");  // the receiving slit refined
  ASSERT_NE(f, std::string::npos) << out;
  EXPECT_GT(std::abs(std::stod(out.substr(f + 25 + 18, 9)) - 0.16), 1e-4) << out.substr(f, 200);
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

// Big-endian 32-bit integer at p.
unsigned Be32(const std::string& s, size_t p) {
  unsigned v = 0;
  for (size_t k = 0; k < 4; ++k) v = (v << 8) | static_cast<unsigned char>(s[p + k]);
  return v;
}

// The plot of the fit: a PNG of 1200 x 800 pixels that is not blank (a
// blank one compresses to a few kB), and an SVG beside the profile file.
TEST_F(PowderRoad, PlotOfTheFit) {
  if (GetPathTo("gnuplot").empty()) GTEST_SKIP() << "gnuplot is not installed: no plot to check";
  const std::string d = fs::absolute(kDir).string();
  ASSERT_EQ(Dir.Batch(".import->CIF\npbso4.cif\n.File->Powder data->Import\nGSAS standard\n" + d +
                      "PBSO4.CWN\n" + d + "inst_d1a.prm\n.Edit->Keywords\nrefine\ncycles 1\n.run->lebail\n"),
            0)
      << Dir.Output;
  const std::string png = Dir.Read("pbso4.png");
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(Be32(png, 16), 1200u);
  EXPECT_EQ(Be32(png, 20), 800u);
  EXPECT_GT(png.size(), 15000u);
  EXPECT_NE(Dir.Read("pbso4.svg").find("<svg"), std::string::npos);
}

}  // namespace
}  // namespace tarn::test
