// Instability factor of a data block from the scatter of its equivalents.
#include "datared/instab_u.hpp"

#include <fmt/format.h>

#include <cmath>

#include "datared/average.hpp"
#include "model/refl.hpp"
#include "model/structure.hpp"

namespace tarn {

int EM9InstabilityU(const AveGrouping& gr, double& u, std::vector<std::string>& lines) {
  u = kUnsetReal;
  const int nave = static_cast<int>(gr.Start.size()) - 1;
  auto used = [&](int r) {
    return Struct.Refl.ICullAr.empty() || Struct.Refl.ICullAr[r] == kCullNone;
  };
  double num = 0., den = 0.;
  int groups = 0;
  for (int k = 0; k < nave; ++k) {
    // Unweighted mean of the group: the residuals then do not depend on the v sought.
    int n = 0;
    double sum = 0.;
    for (int j = gr.Start[k]; j < gr.Start[k + 1]; ++j)
      if (used(gr.Order[j])) {
        ++n;
        sum += Struct.Refl.RIAr[gr.Order[j]];
      }
    if (n < 2) continue;
    ++groups;
    const double mean = sum / n;
    const double f = static_cast<double>(n) / (n - 1);
    for (int j = gr.Start[k]; j < gr.Start[k + 1]; ++j) {
      const int r = gr.Order[j];
      if (!used(r)) continue;
      const double s2 = Struct.Refl.RSAr[r] * Struct.Refl.RSAr[r];
      if (!(s2 > 0.)) continue;
      const double i2 = Struct.Refl.RIAr[r] * Struct.Refl.RIAr[r];
      const double d = Struct.Refl.RIAr[r] - mean;
      const double w = 1. / (s2 * s2);
      num += w * (d * d * f - s2) * i2;
      den += w * i2 * i2;
    }
  }
  if (groups < kInstabMinGroups || !(den > 0.)) {
    lines.push_back(std::string(kInstabULine) + "not estimated (too few equivalents)");
    return 1;
  }
  const double v = num / den;
  u = std::copysign(0.5 * std::sqrt(std::abs(v)), v);
  lines.push_back(fmt::format("{}{:.5f}", kInstabULine, u));
  return 0;
}

}  // namespace tarn
