// Intensity statistics on simulated data whose distributions are known:
// acentric (exponential), centric (chi-square, one degree of freedom) and a
// perfect twin (mean of two acentric intensities), on a Wilson fall-off.
#include "datared/intensity_stat.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace tarn {
namespace {

enum class Kind { Acentric, Centric, Twin };

struct Sim {
  BasicData B;
  std::vector<IntStatRefl> R;
  static constexpr double K = 3.5, Biso = 2.5;
  explicit Sim(Kind kind) {
    B.Phase.resize(1);
    B.DatBlock.resize(1);
    PhaseBasic& p = B.Phase[0];
    const double cell[6] = {10, 11, 12, 90, 90, 90};
    std::copy(cell, cell + 6, p.Cell);
    if (kind == Kind::Centric) p.SymmText = {"x y z", "-x -y -z"};
    p.AtType = {"C"};
    p.AtTypeData.resize(1);
    p.AtTypeData[0].FFBasic = {2.31, 20.8439, 1.02, 10.2075, 1.5886, 0.5687, 0.865, 51.6512, 0.2156};
    p.AtTypeData[0].Formula = 40.;
    EXPECT_EQ(SetBasicM50(B), 0);
    std::mt19937 rng(7);
    std::exponential_distribution<double> ex(1.);
    std::normal_distribution<double> nd(0., 1.);
    for (int h = 0; h <= 14; ++h)
      for (int k = -15; k <= 15; ++k)
        for (int l = -16; l <= 16; ++l) {
          if (h == 0 && (k < 0 || (k == 0 && l <= 0))) continue;  // one of each Friedel pair
          const double s2 = (h * h / 100. + k * k / 121. + l * l / 144.) / 4.;
          if (s2 > 0.36) continue;
          double f = 0.2156;
          const auto& a = p.AtTypeData[0].FFBasic;
          for (int i = 0; i < 8; i += 2) f += a[i] * std::exp(-a[i + 1] * s2);
          const double mean = K * 40. * f * f * std::exp(-2. * Biso * s2);
          const double x = kind == Kind::Acentric ? ex(rng)
                           : kind == Kind::Centric ? std::pow(nd(rng), 2)
                                                   : (ex(rng) + ex(rng)) / 2.;
          R.push_back({{h, k, l}, mean * x, 1.});
        }
  }
};

TEST(IntensityStatistics, DistributionsOfKnownData) {
  for (Kind kind : {Kind::Acentric, Kind::Centric, Kind::Twin}) {
    Sim s(kind);
    IntStatResult r;
    ASSERT_EQ(DRIntensityStatistics(s.R, s.B.Phase[0], r), 0);
    ASSERT_TRUE(r.Wilson);
    EXPECT_NEAR(r.B, Sim::Biso, kind == Kind::Centric ? 0.25 : 0.15);  // chi^2(1) scatters more
    EXPECT_NEAR(r.Scale / Sim::K, 1., 0.08);
    if (kind == Kind::Centric) {
      EXPECT_EQ(r.NAcentric, 0);
      EXPECT_NEAR(r.E2m1Centric, 0.968, 0.04);
      EXPECT_NEAR(r.NzCentric[4], std::erf(std::sqrt(0.25)), 0.02);  // z = 0.5
      // Every reflection centric: the verdict rests on all of them.
      EXPECT_NE(std::find(r.Listing.begin(), r.Listing.end(),
                          "The distribution suggests a centrosymmetric structure."),
                r.Listing.end());
    } else {
      const bool twin = kind == Kind::Twin;
      EXPECT_NEAR(r.E2m1Acentric, twin ? 0.541 : 0.736, 0.03);  // twin: E^2 ~ gamma(2, 1/2)
      EXPECT_NEAR(r.LAbs, twin ? 0.375 : 0.5, 0.015);
      EXPECT_NEAR(r.L2, twin ? 0.2 : 1. / 3., 0.015);
      if (!twin) {
        EXPECT_NEAR(r.NzAcentric[4], 1. - std::exp(-0.5), 0.02);
      }
    }
  }
  IntStatResult none;
  EXPECT_EQ(DRIntensityStatistics({}, Sim(Kind::Acentric).B.Phase[0], none), 1);
}

}  // namespace
}  // namespace tarn
