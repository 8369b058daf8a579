// Williamson-Hall analysis: beta cos(theta) against 4 sin(theta).
#include "powder/whall.hpp"

#include <cmath>
#include <numbers>

namespace tarn {

PwdWhResult PwdWilliamsonHall(const PwdPatternData& p, int ph, double k) {
  PwdWhResult w;
  if (p.Tof) return w;
  constexpr double kRad = std::numbers::pi / 180.;
  double last = -1e9;
  for (const auto& r : p.Refl) {
    if (r.Phase != ph || r.Pos[0] > 1e8 || std::abs(r.Pos[0] - last) < 1e-6) continue;
    last = r.Pos[0];
    const double th = r.Pk[0].Th;  // half the peak position, the angle of its widths
    w.Points.push_back({r.H, 4. * std::sin(th), r.Pk[0].H * kRad * std::cos(th)});
  }
  const double n = static_cast<double>(w.Points.size());
  if (w.Points.size() < 2) return w;
  double sx = 0., sy = 0., sxx = 0., sxy = 0.;
  for (const auto& q : w.Points) sx += q.X, sy += q.Y, sxx += q.X * q.X, sxy += q.X * q.Y;
  const double det = n * sxx - sx * sx;
  if (det <= 0.) return w;
  w.Strain = (n * sxy - sx * sy) / det;
  w.Intercept = (sy - w.Strain * sx) / n;
  // s.u. from the scatter about the line.
  double ss = 0.;
  for (const auto& q : w.Points) ss += std::pow(q.Y - w.Strain * q.X - w.Intercept, 2);
  const double s2 = w.Points.size() > 2 ? ss / (n - 2.) : 0.;
  w.StrainSu = std::sqrt(s2 * n / det), w.InterceptSu = std::sqrt(s2 * sxx / det);
  if (w.Intercept > 0.) {
    w.Size = k * p.Lam[0] / w.Intercept;
    w.SizeSu = w.Size * w.InterceptSu / w.Intercept;
  }
  return w;
}

}  // namespace tarn
