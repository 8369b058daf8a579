#pragma once
// The instability factor u of a data block estimated from the scatter of the
// symmetry-equivalent measurements of an averaging (its AveGrouping). Written
// into the block's M90 header ("instab") and used by the refinement option
// "stunstab". Definition in docs/data-reduction.md ("Instability of the block").
#include <string>
#include <vector>

#include "datared/average.hpp"

namespace tarn {

// Signed u: with v the least-squares fit of
//   s_j^2 - sigma_j^2 = v I_j^2,  s_j^2 = (I_j - <I>)^2 n/(n-1),
// over the measurements j of the groups gr of two or more (weights 1/sigma_j^4),
// u = sign(v) sqrt(|v|) / 2, so that (2 u I)^2 is the term added to sigma(I)^2
// when v > 0; u < 0 when the sigmas already exceed the scatter. Returns 1 and
// leaves u unset (kUnsetReal) with fewer than kInstabMinGroups such groups.
// The listing gets one line.
[[nodiscard]] int EM9InstabilityU(const AveGrouping& gr, double& u,
                                  std::vector<std::string>& lines);

inline constexpr const char* kInstabULine = "Instability u of the data block (signed) : ";

}  // namespace tarn
