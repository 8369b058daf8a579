// Peak shapes against direct integration, convolution and central differences.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <vector>

#include "powder/profile.hpp"
#include "support/fd_check.hpp"

namespace tarn {
namespace {

constexpr double kPi = std::numbers::pi;

// Simpson integral of f over [a, b] with n (even) intervals.
double Simpson(const std::function<double(double)>& f, double a, double b, int n) {
  const double h = (b - a) / n;
  double s = f(a) + f(b);
  for (int i = 1; i < n; ++i) s += (i % 2 == 1 ? 4. : 2.) * f(a + i * h);
  return s * h / 3.;
}

struct Case {
  const char* Name;
  int Shape, Asym;
  double Tth;
  std::array<double, kPwdMaxAsym> A;
  int NAsym;
};
// Widths of about 0.1-0.2 deg, as in a laboratory pattern.
PwdProfile Profile(const Case& c) {
  PwdProfile p;
  p.ProfFun = c.Shape, p.Asymm = c.Asym, p.Asym = c.A, p.NAsym = c.NAsym;
  p.GU = 40., p.GV = -20., p.GW = 30., p.GP = 2.;
  p.LX = 4., p.LXe = 0., p.LY = 6., p.LYe = 0.;
  p.UseHS = true;
  return p;
}
const Case kCases[] = {
    {"gauss", PwdGauss, 0, 40., {}, 0},
    {"lorentz", PwdLorentz, 0, 40., {}, 0},
    {"modlor", PwdModLorentz, 0, 70., {}, 0},
    {"pv", PwdPseudoVoigt, 0, 120., {}, 0},
    {"howard", PwdPseudoVoigt, PwdAsymHoward, 20., {15.}, 1},
    {"berar", PwdPseudoVoigt, PwdAsymBerar, 25., {0.05, -0.03, 0.02, 0.01}, 4},
    {"fcj_low", PwdPseudoVoigt, PwdAsymDivergence, 12., {0.02, 0.015}, 2},
    {"fcj_high", PwdGauss, PwdAsymDivergence, 150., {0.03, 0.01}, 2},
    {"fcj_mid", PwdPseudoVoigt, PwdAsymDivergence, 45., {0.01, 0.01}, 2},
};

TEST(PwdProfile, NormalisedOverThirtyFwhm) {
  for (const Case& c : kCases) {
    const PwdProfile p = Profile(c);
    PwdPeak pk;
    SetProfFun(pk, p, c.Tth);
    const double r = PwdProfileHalfRange(pk, 30.);
    const double area =
        Simpson([&](double d) { return Prfl(pk, d, false).Value; }, -r, r, 60000);
    // A Lorentzian part loses its tails beyond the range: 1 - (2/pi) atan(2 r / H).
    const double lor = c.Shape == PwdLorentz ? 1. : c.Shape == PwdPseudoVoigt ? pk.Eta : 0.;
    const double expect = 1. - lor * (1. - 2. / kPi * std::atan(2. * r / pk.H));
    EXPECT_NEAR(area, expect, 1e-4) << c.Name;
  }
}

// The profile at a few distances around the peak, as values for FdScan.
std::vector<double> Values(const PwdPeak& pk, int which, std::vector<double>* der) {
  std::vector<double> v;
  for (int i = -8; i <= 8; ++i) {
    const PwdProfValue pv = Prfl(pk, 0.37 * pk.H * i + 0.01, der != nullptr);
    v.push_back(pv.Value);
    if (der == nullptr) continue;
    std::array<double, PwdNWidth> w{};
    PwdWidthDerivs(pk, pv, w);
    der->push_back(which < 0 ? pv.dDelta : which < 100 ? w[static_cast<size_t>(which)] : pv.dAsym[static_cast<size_t>(which - 100)]);
  }
  return v;
}

TEST(PwdProfile, DerivativesMatchCentralDifferences) {
  const int widths[] = {PwdU, PwdV, PwdW, PwdP, PwdX, PwdY};
  for (const Case& c : kCases) {
    PwdProfile p = Profile(c);
    PwdPeak pk;
    // Position: the profile moves with -delta.
    auto pos = [&](double x, std::vector<double>* der) {
      SetProfFun(pk, p, c.Tth);
      std::vector<double> v;
      for (int i = -8; i <= 8; ++i) {
        const PwdProfValue pv = Prfl(pk, 0.37 * pk.H * i + 0.01 + x, der != nullptr);
        v.push_back(pv.Value);
        if (der != nullptr) der->push_back(pv.dDelta);
      }
      return v;
    };
    EXPECT_TRUE(test::FdAgree(test::FdScan(pos, 0., {1e-6, 1e-3, 3}), 2e-4)) << c.Name << " delta";
    double* par[] = {&p.GU, &p.GV, &p.GW, &p.GP, &p.LX, &p.LY};
    for (int k = 0; k < 6; ++k) {
      if (c.Asym == PwdAsymDivergence) break;  // node count changes with the widths
      const bool gauss = widths[k] < PwdX;
      if ((c.Shape == PwdGauss && !gauss) || ((c.Shape == PwdLorentz || c.Shape == PwdModLorentz) && gauss))
        continue;
      double& ref = *par[k];
      auto f = [&](double v, std::vector<double>* der) {
        ref = v;
        SetProfFun(pk, p, c.Tth);
        // Keep the evaluation points fixed in the pattern.
        std::vector<double> out;
        for (int i = -8; i <= 8; ++i) {
          const PwdProfValue pv = Prfl(pk, 0.05 * i + 0.01, der != nullptr);
          out.push_back(pv.Value);
          if (der == nullptr) continue;
          std::array<double, PwdNWidth> w{};
          PwdWidthDerivs(pk, pv, w);
          der->push_back(w[static_cast<size_t>(widths[k])]);
        }
        return out;
      };
      EXPECT_TRUE(test::FdAgree(test::FdScan(f, ref, {1e-5, 0.5, 3}), 2e-4)) << c.Name << " width " << k;
    }
    if (c.Asym == PwdAsymHoward || c.Asym == PwdAsymBerar) {
      for (int k = 0; k < c.NAsym; ++k) {
        auto f = [&](double v, std::vector<double>* der) {
          p.Asym[static_cast<size_t>(k)] = v;
          SetProfFun(pk, p, c.Tth);
          return Values(pk, 100 + k, der);
        };
        EXPECT_TRUE(test::FdAgree(test::FdScan(f, c.A[static_cast<size_t>(k)], {1e-6, 1e-4, 3}), 2e-4))
            << c.Name << " asym " << k;
      }
    }
  }
}

// The divergence correction against its integral computed directly: the
// substitution 2phi = 2theta - (2theta - 2phi_min) u**2 removes the
// 1/sqrt singularity at 2theta.
TEST(PwdProfile, DivergenceMatchesBruteForceConvolution) {
  for (const Case& c : kCases) {
    if (c.Asym != PwdAsymDivergence) continue;
    const PwdProfile p = Profile(c);
    PwdPeak pk;
    SetProfFun(pk, p, c.Tth);
    const double sl = c.A[0], hl = c.A[1], deg = kPi / 180.;
    const double c2 = std::cos(c.Tth * deg);
    const double lo = std::acos(std::clamp(c2 * std::sqrt(1. + (sl + hl) * (sl + hl)), -1., 1.)) / deg;
    const double infl = std::abs(std::acos(c2 * std::sqrt(1. + (hl - sl) * (hl - sl))) / deg - c.Tth);
    auto weight = [&](double u) {  // W(2phi) d(2phi)/du
      const double e = (c.Tth - lo) * u * u, phi2 = c.Tth - e, cs = std::cos(phi2 * deg);
      const double dc = 2. * std::sin(0.5 * (c.Tth + phi2) * deg) * std::sin(0.5 * e * deg);
      const double h = std::sqrt(std::max(dc * (cs + c2) / (c2 * c2), 1e-300));
      const double w = std::abs(phi2 - c.Tth) > infl ? sl + hl - h : 2. * std::min(sl, hl);
      return std::max(w, 0.) / (h * std::abs(cs)) * 2. * u * std::abs(c.Tth - lo);
    };
    const double norm = Simpson(weight, 1e-9, 1., 20000);
    double worst = 0., peak = 0.;
    for (double d = -1.5; d <= 1.5; d += 0.02) {
      const double brute = Simpson(
          [&](double u) {
            const double phi2 = c.Tth - (c.Tth - lo) * u * u;
            return weight(u) * PVoigt(d + c.Tth - phi2, pk.HG, pk.HL, c.Shape).Value;
          },
          1e-9, 1., 4000) / norm;
      worst = std::max(worst, std::abs(Prfl(pk, d, false).Value - brute));
      peak = std::max(peak, brute);
    }
    EXPECT_LT(worst, 0.005 * peak) << c.Name << " worst " << worst << " of " << peak;
  }
}

// The divergence correction against the slit geometry itself: rays from a
// sample line of half height S/L along the Debye-Scherrer cone, counted where
// they cross the detector circle within the slit half height H/L. The Bragg
// angle is the sharp edge of the distribution, and its centroid lies
// (S**2 + H**2)/(6 L**2) cot 2theta rad or so below 2theta (above for 2theta > 90).
TEST(PwdProfile, DivergenceCentroidMatchesRayTracing) {
  for (const Case& c : kCases) {
    if (c.Asym != PwdAsymDivergence) continue;
    const double sl = c.A[0], hl = c.A[1], t = c.Tth * kPi / 180.;
    const int ns = 100, ne = 2000;
    const double emax = std::asin(std::min(1., 1.2 * (sl + hl) / std::sin(t)));
    double sum = 0., lo = 1e9, hi = -1e9;
    long n = 0;
    for (int i = 0; i < ns; ++i)
      for (int j = 0; j < ne; ++j) {
        const double zs = sl * (2. * (i + 0.5) / ns - 1.), eta = emax * (2. * (j + 0.5) / ne - 1.);
        const double uy = std::sin(t) * std::cos(eta), uz = std::sin(t) * std::sin(eta);
        if (std::abs(zs + uz / std::hypot(std::cos(t), uy)) > hl) continue;
        const double off = std::atan2(uy, std::cos(t)) * 180. / kPi - c.Tth;
        sum += off, ++n, lo = std::min(lo, off), hi = std::max(hi, off);
      }
    const double ray = sum / static_cast<double>(n);
    EXPECT_NEAR(c.Tth < 90. ? hi : lo, 0., 1e-3 * std::abs(ray)) << c.Name;
    PwdProfile p = Profile(c);
    p.ProfFun = PwdGauss;  // symmetric without long tails: the moment is the weights'
    PwdPeak pk;
    SetProfFun(pk, p, c.Tth);
    const double r = PwdProfileHalfRange(pk, 20.);
    const double m = Simpson([&](double d) { return d * Prfl(pk, d, false).Value; }, -r, r, 4000);
    EXPECT_NEAR(m, ray, 0.06 * std::abs(ray)) << c.Name;
  }
}

TEST(PwdProfile, TofShapesMatchDirectConvolution) {
  const double alpha = 0.2, beta = 0.05, sig2 = 16., gam = 5.;
  auto b2b = [&](double t) {
    const double n = alpha * beta / (alpha + beta);
    return t < 0. ? n * std::exp(alpha * t) : n * std::exp(-beta * t);
  };
  for (double dt : {-40., -8., -1., 0., 3., 12., 60.}) {
    const double g = Simpson([&](double t) {
      return b2b(t) * std::exp(-(dt - t) * (dt - t) / (2. * sig2)) / std::sqrt(2. * kPi * sig2);
    }, -300., 300., 60000);
    EXPECT_NEAR(ConvTOFWithGauss(dt, alpha, beta, sig2), g, 1e-6 * 0.05 + 1e-5 * g) << dt;
    // Lorentzian: the tails beyond the range are added from their asymptote.
    const double l = Simpson([&](double t) {
      return b2b(t) * (0.5 * gam / kPi) / ((dt - t) * (dt - t) + 0.25 * gam * gam);
    }, -4000., 4000., 800000);
    EXPECT_NEAR(ConvTOFWithLorentz(dt, alpha, beta, gam), l, 2e-4 * l) << dt;
  }
  // The mixed TOF shape is normalised (Lorentzian tails excepted) and its
  // derivatives agree with differences.
  PwdProfile p;
  p.Tof = true, p.ProfFun = PwdPseudoVoigt;
  p.Alpha0 = 0.1, p.Alpha1 = 0.1, p.Beta0 = 0.03, p.Beta1 = 0.01, p.Sig0 = 4., p.Sig1 = 10.;
  p.Gam1 = 2.;
  PwdPeak pk;
  SetProfFun(pk, p, 10000., 1.5);
  const double area = Simpson([&](double d) { return Prfl(pk, d, false).Value; }, -3000., 3000., 200000);
  EXPECT_NEAR(area, 1. - pk.Eta * (1. - 2. / kPi * std::atan(6000. / pk.H)), 2e-4);
}

TEST(PwdProfile, EdgeValues) {
  // TCH mixing: pure Gaussian and pure Lorentzian limits.
  EXPECT_DOUBLE_EQ(PwdTchMix(0.1, 0.).Eta, 0.);
  EXPECT_NEAR(PwdTchMix(0., 0.1).Eta, 1., 1e-5);
  EXPECT_NEAR(PwdTchMix(0., 0.1).H, 0.1, 1e-12);
  // cot 2theta vanishes within 0.001 rad of 90 degrees.
  PwdProfile p;
  PwdPeak pk;
  SetProfFun(pk, p, 90.04);
  EXPECT_EQ(pk.Cot2Th, 0.);
  // March-Dollase with r = 1 is 1 for every direction.
  const double c[] = {0., 0.3, 1.};
  for (double ci : c) EXPECT_NEAR(SetPref(1, 1., 0., &ci, 1, nullptr, nullptr), 1., 1e-14);
  // Background bases: Legendre P2 and Chebyshev T3 at t = 0.5, cosine series.
  PwdBackground bg;
  bg.X1 = 0., bg.X2 = 4.;
  bg.Coef = {0., 0., 1., 0.};
  EXPECT_NEAR(PwdGetBackground(bg, 3., nullptr), 0.5 * (3. * 0.25 - 1.), 1e-14);
  bg.Type = PwdChebyshev, bg.Coef = {0., 0., 0., 1.};
  EXPECT_NEAR(PwdGetBackground(bg, 3., nullptr), 4. * 0.125 - 1.5, 1e-14);
  bg.Type = PwdCosOrtho, bg.Coef = {2., 1.};
  EXPECT_NEAR(PwdGetBackground(bg, 2., nullptr), 2. + std::cos(kPi / 2.), 1e-14);
  bg.Manual = {{0., 10.}, {4., 30.}};
  bg.ManScale = 0.5;
  EXPECT_NEAR(PwdGetBackground(bg, 1., nullptr), 2. + std::cos(kPi / 4.) + 0.5 * 15., 1e-12);
}

}  // namespace
}  // namespace tarn
