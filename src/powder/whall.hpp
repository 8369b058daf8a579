#pragma once
// Williamson-Hall analysis of the widths of a powder phase.
#include <array>
#include <vector>

#include "powder/lebail.hpp"

namespace tarn {

// One reflection: x = 4 sin(theta), y = beta cos(theta), beta its total FWHM
// in radians at the first wavelength's position.
struct PwdWhPoint {
  std::array<int, 3> H{};
  double X = 0., Y = 0.;
};
// The straight line y = Strain x + Intercept by least squares with its s.u.,
// and the size K lambda / Intercept (A; 0 when the intercept is not positive).
struct PwdWhResult {
  std::vector<PwdWhPoint> Points;
  double Strain = 0., Intercept = 0., StrainSu = 0., InterceptSu = 0., Size = 0., SizeSu = 0.;
};
// The analysis of phase ph of a constant-wavelength pattern whose profiles
// are set (PwdSetProfiles); reflections at one position count once. Fewer
// than two points (or time of flight) leave the line at 0.
PwdWhResult PwdWilliamsonHall(const PwdPatternData& p, int ph, double k = 0.9);

}  // namespace tarn
