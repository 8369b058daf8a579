// From a published SHELX refinement to its difference map in one batch file:
// model (.res), reflections (.hkl), merging, refinement (which writes the
// coefficient file), Fourier synthesis. SH2185_Cu publishes the residual
// density of its final model: max 0.133, min -0.187, rms 0.034 e/A^3.
#include <cmath>
#include <regex>

#include "road.hpp"

namespace tarn::test {
namespace {

class FourierRoad : public Sh2185Test {
 protected:
  // Model with `cycles` cycles, reflections, M90, the fourier block, refine, fourier.
  int Run(const std::string& res, int cycles, const std::string& fourierBlock) {
    WriteEmbedded();
    Dir.Write("s.res", WithCycles(res, cycles));
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
// difference map stands where C19 was (under the operators of P212121).
TEST_F(FourierRoad, Sh2185CuMissingAtomIsTheStrongestPeak) {
  std::string res = ShelxEmbeddedFile(Published, "_shelx_res_file");
  res = std::regex_replace(res, std::regex("\nC19 [^\n]*=\n[^\n]*"), "");
  ASSERT_EQ(res.find("\nC19 "), std::string::npos);
  ASSERT_EQ(Run(res, 3, "  maptype 6"), 0) << Dir.Output;
  const size_t at = listing_.find("\nmax1 ");
  ASSERT_NE(at, std::string::npos) << listing_;
  std::istringstream in(listing_.substr(at + 6));
  double p[3], height = 0.;
  in >> p[0] >> p[1] >> p[2] >> height;
  EXPECT_GT(height, 5. * After("rms density : ")) << listing_;
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
}  // namespace tarn::test
