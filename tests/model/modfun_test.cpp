// Modulation functions: quadrature, Bessel functions against the standard
// library, crenel coefficients against direct integration, orthogonality of
// the function sets, sawtooth and harmonic evaluators.
#include "model/modfun.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "model/atoms.hpp"

namespace tarn {
namespace {

constexpr double kPi = std::numbers::pi;

TEST(ModFun, GaulegIntegratesPolynomialsExactly) {
  // n points integrate x^k exactly for k <= 2n - 1.
  for (int n : {1, 2, 5, 8, 64}) {
    std::vector<double> x(n), w(n);
    gauleg(-0.3, 1.7, n, x.data(), w.data());
    for (int k = 0; k <= 2 * n - 1 && k < 30; ++k) {
      double s = 0.;
      for (int i = 0; i < n; ++i) s += w[i] * std::pow(x[i], k);
      const double ref = (std::pow(1.7, k + 1) - std::pow(-0.3, k + 1)) / (k + 1);
      EXPECT_NEAR(s, ref, 1e-12 * std::max(1., std::abs(ref))) << n << " " << k;
    }
  }
}

TEST(ModFun, BesselMatchesStandardLibrary) {
  for (double x : {1e-4, 0.07, 1., 5.3, 17., 60., -2.5}) {
    std::vector<double> j(41), i(41);
    BesselJ(40, x, j.data());
    BesselI(40, x, i.data());
    for (int n = 0; n <= 40; ++n) {
      const double sg = (x < 0 && n % 2) ? -1. : 1.;
      EXPECT_NEAR(j[n], sg * std::cyl_bessel_j(n, std::abs(x)), 1e-14) << x << " " << n;
      const double ri = sg * std::cyl_bessel_i(n, std::abs(x));
      EXPECT_NEAR(i[n], ri, 1e-12 * std::abs(ri) + 1e-300) << x << " " << n;
    }
  }
}

TEST(ModFun, XModIsTheCrenelFourierCoefficient) {
  const double x40 = 0.37, del = 0.45;
  std::vector<double> x(40), w(40);
  gauleg(x40 - del / 2, x40 + del / 2, 40, x.data(), w.data());
  for (int n : {0, 1, -2, 5}) {
    std::complex<double> ref = 0.;
    for (int i = 0; i < 40; ++i) ref += w[i] * std::polar(1., 2. * kPi * n * x[i]);
    std::complex<double> dx, dd;
    const auto v = XMod(n, x40, del, &dx, &dd);
    EXPECT_NEAR(std::abs(v - ref), 0., 1e-13) << n;
    const double h = 1e-6;
    const auto fx =
        (XMod(n, x40 + h, del, nullptr, nullptr) - XMod(n, x40 - h, del, nullptr, nullptr)) /
        (2 * h);
    const auto fd =
        (XMod(n, x40, del + h, nullptr, nullptr) - XMod(n, x40, del - h, nullptr, nullptr)) /
        (2 * h);
    EXPECT_NEAR(std::abs(dx - fx), 0., 1e-7) << n;
    EXPECT_NEAR(std::abs(dd - fd), 0., 1e-7) << n;
  }
  EXPECT_DOUBLE_EQ(XMod(0, 0.1, 0.3, nullptr, nullptr).real(), 0.3);
}

TEST(ModFun, FunctionSetsAreOrthogonalOnTheInterval) {
  const double x40 = 0.62, del = 0.4;  // the interval crosses x4 = 1 after wrapping: 0.42..0.82
  const int nf = 6;
  std::vector<double> x(120), w(120);
  gauleg(x40 - del / 2, x40 + del / 2, 120, x.data(), w.data());
  for (int type : {FunOrtho, FunXHarm}) {
    FPolSet s;
    ASSERT_EQ(MakeFPolSet(type, nf, x40, del, s), 0);
    std::vector<double> f(nf), gram(nf * nf, 0.), mean(nf, 0.);
    for (int p = 0; p < 120; ++p) {
      GetFPol(s, x[p], f.data());
      for (int i = 0; i < nf; ++i) {
        mean[i] += w[p] / del * f[i];
        for (int j = 0; j < nf; ++j) gram[i * nf + j] += w[p] / del * f[i] * f[j];
      }
    }
    for (int i = 0; i < nf; ++i) {
      EXPECT_NEAR(mean[i], 0., 1e-10) << type;
      for (int j = 0; j < nf; ++j) EXPECT_NEAR(gram[i * nf + j], i == j ? 0.5 : 0., 1e-10) << type;
    }
  }
  FPolSet leg;
  ASSERT_EQ(MakeFPolSet(FunLegendre, 3, 0.5, 0.5, leg), 0);
  double f[3];
  GetFPol(leg, 0.5 + 0.125, f);  // t = 0.5
  EXPECT_DOUBLE_EQ(f[0], 0.5);
  EXPECT_DOUBLE_EQ(f[1], (3 * 0.25 - 1) / 2);
  EXPECT_DOUBLE_EQ(f[2], (5 * 0.125 - 3 * 0.5) / 2);
  EXPECT_EQ(MakeFPolSet(FunXHarm, 4, 0.5, 0., leg), 1);
}

TEST(ModFun, HarmonicAndSawtoothEvaluators) {
  // Two position waves: sine first, then cosine, wave 2 at twice the frequency.
  const double amp[12] = {0.1, 0, 0, 0, 0.2, 0, 0, 0, 0.03, 0, 0, 0.05};
  const double x4[2] = {0.25, 0.125};
  double u[6];
  MakePosMod(amp, 2, 1, x4, 2, u);
  EXPECT_NEAR(u[0], 0.1, 1e-15);    // sin(pi/2)
  EXPECT_NEAR(u[1], 0., 1e-15);     // cos(pi/2)
  EXPECT_NEAR(u[2], -0.05, 1e-15);  // wave 2 of z: cos(pi)
  EXPECT_NEAR(u[3], 0.1 * std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(u[4], 0.2 * std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(u[5], 0.03, 1e-15);  // wave 2 at x4 = 1/8: sin(pi/2) term only
  double o[2];
  const double occ[2] = {0.2, 0.1};
  MakeOccMod(occ, 1, 1, x4, 2, o);
  EXPECT_NEAR(o[0], 1.2, 1e-15);
  // Sawtooth centred at 0.9, width 0.4: x4 = 0.05 lies inside after wrapping.
  const double us[3] = {0.1, 0., -0.2};
  const double xs[3] = {0.05, 0.5, 0.9};
  double os[3], uu[9];
  MakeOccModSawTooth(us, 0.9, 0.4, xs, 3, 1, os, uu);
  EXPECT_EQ(os[0], 1.);
  EXPECT_EQ(os[1], 0.);
  EXPECT_NEAR(uu[0], 2 * 0.1 * 0.15 / 0.4, 1e-14);
  EXPECT_NEAR(uu[2], -2 * 0.2 * 0.15 / 0.4, 1e-14);
  EXPECT_EQ(uu[6], 0.);
  EXPECT_EQ(CrenelOcc(0.97, 0.1, 0.3), 1.);  // wraps to -0.03
  EXPECT_EQ(CrenelOcc(0.5, 0.1, 0.3), 0.);
  EXPECT_EQ(CrenelOcc(0.5, 0.1, 1.), 1.);
}

}  // namespace
}  // namespace tarn
