// Observation, sigma and weight of one reflection: the fweakflag branches, the
// French-Wilson estimate against the truncated-normal closed form, Wilson's
// modification, the SHELX-type weight under a change of scale, Cruickshank on I,
// and the selection flags.
#include "refine/refine_plots.hpp"
#include "refine/refine_weight.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace tarn {
namespace {

TEST(RefWeight, SigmaOfFoByFweakflag) {
  RefWeightOpt o;
  struct Case {
    int fweak;
    double i, sig, fo, sigFo;
  };
  const Case cases[] = {
      {0, 400., 20., 20., 0.5},                            // sigma(I) / (2 Fo)
      {0, 0.1, 20., std::sqrt(0.1), 5. * std::sqrt(20.)},  // I below 0.01 sigma(I)
      {0, -4., 1., 0., 5.},
      {1, 400., 20., 20., std::sqrt(std::sqrt(400. * 400. + 0.5 * 400.) - 400.)},
      {1, 0., 2., 0., std::sqrt(std::sqrt(2.))},
  };
  for (const auto& c : cases) {
    o.FWeak = c.fweak;
    RefObs obs;
    RefObsPrepare(o, c.i, c.sig, 0., false, obs);
    EXPECT_NEAR(obs.Fo, c.fo, 1e-12) << c.fweak << " " << c.i;
    EXPECT_NEAR(obs.SigFo0, c.sigFo, 1e-12) << c.fweak << " " << c.i;
  }
}

// Acentric French-Wilson: the posterior of J is the Gaussian N(i - sig**2/S, sig**2)
// cut at 0, so E(F**2) = E(J) is the mean of a truncated normal.
TEST(RefWeight, FrenchWilsonSecondMomentIsTheTruncatedNormalMean) {
  const double S = 50.;
  for (double i : {-30., -5., 0., 10., 40., 200.}) {
    const double sig = 10.;
    double f = 0., sf = 0.;
    FrenchWilson(i, sig, S, false, f, sf);
    const double mu = i - sig * sig / S, a = -mu / sig;
    const double phi = std::exp(-0.5 * a * a) / std::sqrt(2. * M_PI);
    const double tail = 0.5 * std::erfc(a / std::sqrt(2.));
    const double ej = mu + sig * phi / tail;
    EXPECT_NEAR(f * f + sf * sf, ej, 1e-4 * ej) << i;
    EXPECT_GT(f, 0.) << i;
  }
  // A strong reflection: F = sqrt(I), sigma(F) = sigma(I) / (2 F) to first order.
  double f = 0., sf = 0.;
  FrenchWilson(1.e4, 10., 1.e4, false, f, sf);
  EXPECT_NEAR(f, 100., 0.01);
  EXPECT_NEAR(sf, 0.05, 0.001);
  // Centric prior: larger weight near J = 0 gives a smaller F for a weak reflection.
  double fc = 0., sfc = 0.;
  FrenchWilson(0., 10., 50., true, fc, sfc);
  FrenchWilson(0., 10., 50., false, f, sf);
  EXPECT_LT(fc, f);
}

TEST(RefWeight, WilsonModificationUsesP) {
  RefWeightOpt o;
  o.Unstab = 0.02;
  RefObs obs;
  RefObsPrepare(o, 100., 5., 0., false, obs);
  RefObsSigma(o, /*fc*/ 13., /*k*/ 1., obs);
  const double p = (100. + 2. * 169.) / 3.;
  EXPECT_NEAR(obs.SigI, std::sqrt(25. + std::pow(2. * 0.02 * p, 2)), 1e-12);
  EXPECT_NEAR(obs.SigFo, std::sqrt(0.25 * 0.25 + 0.02 * 0.02 * p), 1e-12);
  o.WilsonMod = false;
  RefObsSigma(o, 13., 1., obs);
  EXPECT_NEAR(obs.SigI, std::sqrt(25. + std::pow(2. * 0.02 * 100., 2)), 1e-12);
}

TEST(RefWeight, ShelxWeightIsScaleInvariantAndMatchesTheFormulaAtUnitScale) {
  RefWeightOpt o;
  o.ShelxW = true;
  o.FSquare = true;
  o.Unstab = 0.0089;  // a = 2 u = 0.0178
  o.Unstab2 = 3.5;
  const double i = 850., sig = 20., ic = 900.;
  RefObs abs;
  RefObsPrepare(o, i, sig, 0., false, abs);
  RefObsSigma(o, std::sqrt(ic), 1., abs);
  RefObsWeight(o, 0.3, abs);
  const double p = (i + 2. * ic) / 3.;
  EXPECT_NEAR(abs.W, 1. / (sig * sig + std::pow(0.0178 * p, 2) + 3.5 * p), 1e-15);
  for (double k : {0.01, 7.3, 1.e4}) {
    RefObs sc;
    RefObsPrepare(o, k * i, k * sig, 0., false, sc);
    RefObsSigma(o, std::sqrt(k * ic), k, sc);
    RefObsWeight(o, 0.3, sc);
    EXPECT_NEAR(sc.W * k * k, abs.W, 1e-12 * abs.W) << k;
  }
  // max(I, 0) in P: a negative intensity counts as 0.
  RefObs neg;
  RefObsPrepare(o, -50., sig, 0., false, neg);
  RefObsSigma(o, std::sqrt(ic), 1., neg);
  RefObsWeight(o, 0.3, neg);
  const double p0 = 2. * ic / 3.;
  EXPECT_NEAR(neg.W, 1. / (sig * sig + std::pow(0.0178 * p0, 2) + 3.5 * p0), 1e-15);
}

TEST(RefWeight, SchemesAndSinThetaFactor) {
  RefWeightOpt o;
  o.Weight = 2;
  o.FSquare = true;
  RefObs obs;
  for (double i : {0., -10.}) {  // Cruickshank on I: weight 0 for I <= 0
    RefObsPrepare(o, i, 3., 0., false, obs);
    RefObsSigma(o, 5., 1., obs);
    RefObsWeight(o, 0.2, obs);
    EXPECT_EQ(obs.W, 0.) << i;
  }
  RefObsPrepare(o, 400., 3., 0., false, obs);
  RefObsWeight(o, 0.2, obs);
  const double wf = 1. / (10. + 20. + 800. / 200.);
  EXPECT_NEAR(obs.WF, wf, 1e-15);
  EXPECT_NEAR(obs.W, wf / 1600., 1e-15);
  o.Weight = 1;
  o.WtSnthl = true;
  RefObsWeight(o, 0.5, obs);
  EXPECT_NEAR(obs.W, std::exp(-0.25), 1e-15);
}

TEST(RefWeight, SelectionFlags) {
  RefWeightOpt o;
  o.SigLevel = 3.;
  o.BadRef = 3.;
  o.RefExcl = 10.;
  struct Case {
    bool skipBad;
    double i, sig, fc;
    char flag;
  };
  // sigma(Fo) = sig / (2 Fo) = 0.5 for I = 400, sig 20.
  const Case cases[] = {
      {false, 400., 20., 20.5, ' '}, {false, 400., 20., 22., '%'}, {true, 400., 20., 30., '#'},
      {false, 400., 20., 30., '%'},  {false, 50., 20., 7.1, '*'},  {true, 50., 20., 60., '#'},
  };
  for (const auto& c : cases) {
    o.SkipBad = c.skipBad;
    RefObs obs;
    RefObsPrepare(o, c.i, c.sig, 0., false, obs);
    EXPECT_EQ(RefObsFlag(o, obs, c.fc), c.flag) << c.i << " " << c.fc;
  }
}

}  // namespace
}  // namespace tarn

namespace tarn {
namespace {

// Quantiles of the normal probability plot against the tables.
TEST(RefPlots, NormalQuantileMatchesTheTables) {
  EXPECT_NEAR(RefNormalQuantile(0.5), 0., 1e-9);
  EXPECT_NEAR(RefNormalQuantile(0.975), 1.959964, 1e-6);
  EXPECT_NEAR(RefNormalQuantile(0.001), -3.090232, 1e-6);
}

}  // namespace
}  // namespace tarn
