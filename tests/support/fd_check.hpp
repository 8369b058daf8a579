#pragma once
// Analytic derivatives against central differences, judged over many values
// at once: the parameter is moved over a few points of a scan, at each point
// the analytic derivatives of all values (reflections; real and imaginary
// parts count as separate values) are paired with (y(v + h) - y(v - h)) / 2h,
// and the pairs are judged by the slope of numeric on analytic (1), their
// correlation (1) and the largest difference relative to the largest
// derivative. A wrong factor shows in the slope, a wrong sign or a wrong
// component in the correlation, an offset in the differences.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace tarn::test {

// The values at parameter value v; der (when not null) receives their
// analytic derivatives with respect to the parameter, in the same order.
using FdValues = std::function<std::vector<double>(double v, std::vector<double>* der)>;

struct FdStats {
  int N = 0;            // pairs compared
  double Slope = 1.;    // least-squares slope of numeric on analytic (through 0)
  double Corr = 1.;     // correlation of the pairs (uncentred when they hardly vary)
  double MaxDiff = 0.;  // largest |analytic - numeric|
  double Scale = 0.;    // largest |derivative|
  std::string Text() const {
    return fmt::format("n {} slope {:.6f} corr {:.8f} max diff {:.3g} of {:.3g}", N, Slope, Corr,
                       MaxDiff, Scale);
  }
};

// Statistics of analytic against numeric derivatives (equal sizes).
inline FdStats FdCompare(const std::vector<double>& a, const std::vector<double>& n) {
  FdStats s;
  s.N = static_cast<int>(a.size());
  double saa = 0., snn = 0., san = 0., ma = 0., mn = 0.;
  for (size_t k = 0; k < a.size(); ++k) {
    saa += a[k] * a[k];
    snn += n[k] * n[k];
    san += a[k] * n[k];
    ma += a[k];
    mn += n[k];
    s.MaxDiff = std::max(s.MaxDiff, std::abs(a[k] - n[k]));
    s.Scale = std::max({s.Scale, std::abs(a[k]), std::abs(n[k])});
  }
  if (saa > 0.) s.Slope = san / saa;
  ma /= std::max(s.N, 1);
  mn /= std::max(s.N, 1);
  const double caa = saa - s.N * ma * ma, cnn = snn - s.N * mn * mn, can = san - s.N * ma * mn;
  if (caa > 1e-4 * saa && cnn > 1e-4 * snn)  // the pairs spread: Pearson
    s.Corr = can / std::sqrt(caa * cnn);
  else if (saa > 0. && snn > 0.)
    s.Corr = san / std::sqrt(saa * snn);
  return s;
}

struct FdOpt {
  double Step = 1e-6;  // half width of the central difference
  double Span = 0.;    // the scan covers v0 +- Span (0: 50 steps)
  int Points = 5;      // points of the scan
};

// Scans the parameter from its value v0 and restores it at the end.
inline FdStats FdScan(const FdValues& f, double v0, const FdOpt& o = {}) {
  const double span = o.Span > 0. ? o.Span : 50. * o.Step;
  std::vector<double> an, nu, d;
  for (int j = 0; j < o.Points; ++j) {
    const double v = o.Points > 1 ? v0 - span + 2. * span * j / (o.Points - 1) : v0;
    d.clear();
    (void)f(v, &d);
    const std::vector<double> yp = f(v + o.Step, nullptr), ym = f(v - o.Step, nullptr);
    for (size_t k = 0; k < d.size(); ++k) {
      an.push_back(d[k]);
      nu.push_back((yp[k] - ym[k]) / (2. * o.Step));
    }
  }
  (void)f(v0, nullptr);
  return FdCompare(an, nu);
}

// Agreement: slope within tol of 1, correlation within tol of 1 and every
// difference within tol of the largest derivative, or all derivatives below
// abs (a parameter the values do not depend on).
inline ::testing::AssertionResult FdAgree(const FdStats& s, double tol = 1e-4, double abs = 1e-9) {
  if (s.Scale <= abs) return ::testing::AssertionSuccess();
  if (std::abs(s.Slope - 1.) <= tol && s.Corr >= 1. - tol && s.MaxDiff <= tol * s.Scale + abs)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << s.Text();
}

}  // namespace tarn::test
