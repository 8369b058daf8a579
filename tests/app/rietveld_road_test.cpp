// Rietveld road in batch: the PbSO4 round-robin start model, its lab X-ray
// (Cu K-alpha1/2) and D1A neutron patterns imported as two powder blocks,
// profiles started by Le Bail, then the structure refined against both.
#include <regex>

#include "road.hpp"

namespace tarn::test {
namespace {

constexpr const char* kDir = "../shared/data/powder/pbso4/";

class RietveldRoad : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists(kDir)) GTEST_SKIP() << "no shared data";
    fs::copy_file(fs::path(kDir) / "PbSO4-Wyckoff.cif", Dir / "pbso4.cif");
  }
};

// Published (combined fit): wR 11.00 % X-ray, 4.53 % neutron; a 8.480297(97),
// b 5.398574(62), c 6.960012(81) A.
TEST_F(RietveldRoad, PbSO4NeutronAndXrayTogether) {
  const std::string d = fs::absolute(kDir).string();
  ASSERT_EQ(Dir.Batch(".import->CIF\npbso4.cif\n.File->Powder data->Import\nGSAS standard\n" + d +
                      "PBSO4.XRA\n" + d + "INST_XRY.PRM\n.File->Powder data->Import\nGSAS standard\n" + d +
                      "PBSO4.CWN\n" + d + "inst_d1a.prm\n.run->lebail\n.run->refine\n"),
            0)
      << Dir.Output;
  const std::string out = Dir.Output.substr(Dir.Output.rfind(".run->refine"));
  std::smatch m;
  double rwp[2];
  std::string::const_iterator from = out.begin();
  for (double& r : rwp) {
    ASSERT_TRUE(std::regex_search(from, out.end(), m, std::regex("Rwp ([0-9.]+) Rexp"))) << out;
    r = std::stod(m[1]);
    from = m[0].second;
  }
  EXPECT_LT(rwp[0], 11.00);
  EXPECT_LT(rwp[1], 5.5);  // published 4.53: not reached yet
  ASSERT_TRUE(std::regex_search(out, m, std::regex("a ([0-9.]+)\\(\\d+\\) b ([0-9.]+)\\(\\d+\\) c ([0-9.]+)"))) << out;
  const double pub[3] = {8.480297, 5.398574, 6.960012};
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(std::stod(m[k + 1]), pub[k], 0.01) << k;
  EXPECT_TRUE(std::regex_search(out, std::regex("Bragg R [0-9.]+  weight fraction 1.0000"))) << out;
  // The structure moved; profile files of both patterns; coefficients for Fourier maps.
  EXPECT_TRUE(fs::exists(Dir / "pbso4.s40"));
  EXPECT_TRUE(fs::exists(Dir / "pbso4.prf") && fs::exists(Dir / "pbso4_2.prf"));
  const std::string m80 = Dir.Read("pbso4.m80");
  EXPECT_GT(std::count(m80.begin(), m80.end(), '\n'), 300);
}

}  // namespace
}  // namespace tarn::test
