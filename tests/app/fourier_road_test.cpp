// From a published SHELX refinement to its difference map in one batch file:
// model (.res), reflections (.hkl), merging, refinement (which writes the
// coefficient file), Fourier synthesis. SH2185_Cu publishes the residual
// density of its final model: max 0.133, min -0.187, rms 0.034 e/A^3.
#include <cmath>
#include <regex>

#include "fourier/foupeaks.hpp"
#include "road.hpp"

namespace tarn::test {
namespace {

class FourierRoad : public Sh2185Test {
 protected:
  // Model with `cycles` cycles, reflections, M90, the fourier block, refine, fourier.
  int Run(const std::string& res, int cycles, const std::string& fourierBlock,
          const std::string& hkl = "") {
    WriteEmbedded();
    Dir.Write("s.res", WithCycles(res, cycles));
    if (!hkl.empty()) Dir.Write("s.hkl", hkl);
    const int rc = Dir.Batch(kShelxRoad + ".Edit->Commands\nfourier\n" + fourierBlock +
                             "\nend fourier\n.run->refine\n.run->fourier\n.end\n");
    listing_ = Dir.Read("s.fou");
    return rc;
  }

  // The number after `label` in the Fourier listing.
  double After(const std::string& label) const {
    const size_t at = listing_.find(label);
    if (at == std::string::npos) return std::nan("");
    return std::stod(listing_.substr(at + label.size()));
  }

  // The phase of s.m50 and the stored maxima of s.m40.
  void Stored(PhaseBasic& ph, std::vector<FouPeak>& maxima) {
    BasicData b;
    ASSERT_EQ(ReadM50Text(Dir.Read("s.m50"), "s.m50", b), 0);
    ph = b.Phase.at(0);
    // The "commands" block at the head of M40 (read without the M40 reader,
    // which depends on the open structure of the process).
    const std::string m40 = Dir.Read("s.m40");
    ASSERT_EQ(m40.rfind("commands\n", 0), 0u);
    std::vector<std::string> cmds, other;
    std::istringstream in(m40.substr(9, m40.find("\nend\n") - 9));
    for (std::string l; std::getline(in, l);) cmds.push_back(l);
    FouPeakLists peaks;
    int bad = 0;
    ASSERT_EQ(FouSplitPeaks(cmds, peaks, other, bad), 0) << bad;
    maxima = peaks.Max;
  }

  std::string listing_;
};

// The published figures are those of the unweighted Fo - Fc map of the whole cell.
TEST_F(FourierRoad, Sh2185CuDifferenceMapHasThePublishedResidualDensity) {
  ASSERT_EQ(Run(ShelxEmbeddedFile(Published, "_shelx_res_file"), 0,
                "  maptype 6 step 0.1 cmethod 2 peaks 0 weight 0"),
            0)
      << Dir.Output;
  EXPECT_NEAR(After("Maximal density : "), 0.133, 0.02) << listing_;
  EXPECT_NEAR(After("minimal density : "), -0.187, 0.02) << listing_;
  EXPECT_NEAR(After("rms density : "), 0.034, 0.02) << listing_;
}

// Without C19 and after three cycles, the strongest maximum of the
// difference map, the first record of the maxima kept with M40 (in the
// layout of an atom record), stands where C19 was.
TEST_F(FourierRoad, Sh2185CuMissingAtomIsTheStrongestPeak) {
  std::string res = ShelxEmbeddedFile(Published, "_shelx_res_file");
  res = std::regex_replace(res, std::regex("\nC19 [^\n]*=\n[^\n]*"), "");
  ASSERT_EQ(res.find("\nC19 "), std::string::npos);
  ASSERT_EQ(Run(res, 3, "  maptype 6"), 0) << Dir.Output;
  const std::string m40 = Dir.Read("s.m40");
  const size_t at = m40.find("Fourier maxima\nmax1    ");
  ASSERT_NE(at, std::string::npos) << m40.substr(0, 2000);
  PhaseBasic ph;
  std::vector<FouPeak> maxima;
  Stored(ph, maxima);
  ASSERT_FALSE(maxima.empty());
  // The atom line: height, x, y, z in the F9.6 fields of columns 19-54.
  const std::string first = m40.substr(at + 15, m40.find('\n', at + 15) - at - 15);
  EXPECT_EQ(first.size(), 72u) << first;
  EXPECT_NEAR(std::stod(first.substr(18, 9)), maxima[0].Height, 1e-6) << first;
  EXPECT_NEAR(std::stod(first.substr(45, 9)), maxima[0].X[2], 1e-6) << first;
  EXPECT_GT(maxima[0].Height, 5. * After("rms density : ")) << listing_;
  EXPECT_LT(FouSymmDist(ph, maxima[0].X, {0.337928, 0.238971, 0.654061}), 0.15) << listing_;
}

// twin4 (100 K, Mo) without its 21 riding hydrogens and refined three
// cycles: the default number of maxima of the difference map (the missing
// atoms + 10) holds at least 80 % of the published hydrogen positions within
// 0.3 A.
TEST_F(FourierRoad, Twin4HydrogensAreAmongTheStrongestMaxima) {
  const std::string cif = ReadText("../shared/data/shelx/twin4.cif");
  if (cif.empty()) GTEST_SKIP() << "twin4.cif is absent";
  std::string res = ShelxEmbeddedFile(cif, "_shelx_res_file");
  std::vector<std::array<double, 3>> hydrogens;
  const std::regex hline("\n(H[0-9A-Z]*) +2 +(-?[0-9.]+) +(-?[0-9.]+) +(-?[0-9.]+)[^\n]*");
  for (std::sregex_iterator m(res.begin(), res.end(), hline), e; m != e; ++m)
    hydrogens.push_back({std::stod((*m)[2]), std::stod((*m)[3]), std::stod((*m)[4])});
  ASSERT_EQ(hydrogens.size(), 21u);
  res = std::regex_replace(std::regex_replace(res, hline, ""), std::regex("\nAFIX +[0-9]+"), "");
  ASSERT_EQ(Run(res, 3, "  maptype 6", ShelxEmbeddedFile(cif, "_shelx_hkl_file")), 0)
      << Dir.Output;
  PhaseBasic ph;
  std::vector<FouPeak> maxima;
  Stored(ph, maxima);
  EXPECT_EQ(maxima.size(), 31u);
  int found = 0;
  for (const auto& h : hydrogens) {
    double best = 1e9;
    for (const auto& p : maxima) best = std::min(best, FouSymmDist(ph, p.X, h));
    found += best < 0.3;
  }
  EXPECT_GE(found, 17) << listing_;
}

}  // namespace
}  // namespace tarn::test
