#pragma once
// Invariants shared by the fuzz targets of the reflection-file readers: a
// failure leaves a message and no reflections; a success gives records that
// the import accepts (indices in range, sigma > 0, dimension 3..6) and that
// convert into M95 records.
#include <cmath>
#include <vector>

#include "datared/import.hpp"
#include "datared/readers/cif_hkl.hpp"
#include "datared/readers/fullprof.hpp"
#include "datared/readers/saint.hpp"
#include "datared/readers/shelx.hpp"
#include "datared/readers/xd.hpp"
#include "datared/readers/xds.hpp"

inline void CheckImportResult(int rc, const tarn::ImpData& d, const tarn::ErrorRecord& err) {
  if (rc != 0) {
    if (tarn::ImpErrorText(err).empty() || !d.Refl.empty()) __builtin_trap();
    return;
  }
  if (d.Refl.empty() || d.NDim < 3 || d.NDim > tarn::kReflMaxNDim) __builtin_trap();
  for (const auto& r : d.Refl) {
    if (!std::isfinite(r.I) || !(r.SigI > 0.)) __builtin_trap();
    for (int i = 0; i < d.NDim; ++i)
      if (r.H[i] < -tarn::kImpMaxIndex || r.H[i] > tarn::kImpMaxIndex) __builtin_trap();
  }
  for (double v : d.OrMat)
    if (!std::isfinite(v)) __builtin_trap();
  tarn::M95Block b;
  tarn::DRSetBlockFromData(tarn::ImpShelxI, d, tarn::ImpOptions{}, b);
  std::vector<tarn::M95Refl> out;
  tarn::ErrorRecord conv;
  if (tarn::DRReadRef(d, b, out, conv) != 0 || out.size() != d.Refl.size()) __builtin_trap();
}
