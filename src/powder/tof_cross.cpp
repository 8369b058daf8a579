// The time-of-flight position of the epithermal/thermal crossover form.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "powder/lebail.hpp"

namespace tarn {

double PwdTofCrossPosition(const PwdPatternData& p, double q, double* dq, double* dpar) {
  const auto& x = p.TofX;
  const double d = 1. / std::sqrt(q);
  const double te = x[3] + x[4] * d, tt = x[0] + x[1] * d - x[2] / d;
  const double u = x[6] * (x[5] - 1. / d);
  const double n = 0.5 * std::erfc(u);
  // dn/du = -exp(-u**2) / sqrt(pi).
  const double dndu = -std::exp(-u * u) / std::sqrt(std::numbers::pi);
  if (dq != nullptr) {
    const double dtdd = n * x[4] + (1. - n) * (x[1] + x[2] / (d * d)) + dndu * x[6] / (d * d) * (te - tt);
    *dq = dtdd * (-0.5 * d / q);
  }
  if (dpar != nullptr) {
    dpar[0] = 1. - n, dpar[1] = (1. - n) * d, dpar[2] = -(1. - n) / d;
    dpar[3] = n, dpar[4] = n * d;
    dpar[5] = dndu * x[6] * (te - tt);
    dpar[6] = dndu * (x[5] - 1. / d) * (te - tt);
  }
  return p.TofZero + n * te + (1. - n) * tt;
}

double PwdTofCrossDmin(const PwdPatternData& p, double tmin) {
  // The smaller d of the two lines at the shortest time, with a margin.
  const auto& x = p.TofX;
  const double de = x[4] > 0. ? (tmin - p.TofZero - x[3]) / x[4] : 1e9;
  double dt = 1e9;
  if (x[1] > 0.) {
    // difct d**2 + (zerot - t) d - difat = 0, the positive root.
    const double b = x[0] + p.TofZero - tmin;
    dt = (-b + std::sqrt(std::max(b * b + 4. * x[1] * x[2], 0.))) / (2. * x[1]);
  }
  return std::max(0.1, 0.95 * std::min(de, dt));
}

}  // namespace tarn
