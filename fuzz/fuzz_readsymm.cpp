// Fuzz target of the operator reader: any text either is rejected with the
// error flag or gives an operator whose canonical text reads back to the same
// matrix and translation; small operators are also put through completion.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "symmetry/symm.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int ndim = 3 + data[0] % 4;
  const bool magnetic = (data[0] & 4) != 0;
  const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
  tarn::ErrorRecord err;
  tarn::SymmOp op;
  if (tarn::ReadSymm(line, ndim, magnetic, op, &err) != 0) {
    if (err.Empty()) std::abort();
    return 0;
  }
  if (static_cast<int>(op.Text.size()) != ndim) std::abort();
  for (int i = 0; i < ndim; ++i)
    if (!(op.S6[i] >= 0. && op.S6[i] < 1.)) std::abort();
  std::string canon;
  bool exact = true;
  for (const auto& t : op.Text) {
    canon += t + " ";
    exact = exact && t.find("?/?") == std::string::npos;
  }
  if (magnetic) canon += op.ZMag < 0. ? "-m" : "m";
  if (exact) {
    tarn::SymmOp back;
    if (tarn::ReadSymm(canon, ndim, magnetic, back) != 0) std::abort();
    if (!tarn::eqrv(back.RM6.data(), op.RM6.data(), ndim * ndim, 1e-9)) std::abort();
    for (int i = 0; i < ndim; ++i) {
      double d = back.S6[i] - op.S6[i];
      d -= std::round(d);
      if (std::fabs(d) > 1e-4) std::abort();
    }
    if (back.ZMag != op.ZMag) std::abort();
  }
  // Completion of small integer operators ends (with or without an error).
  bool small = true;
  for (int i = 0; i < ndim * ndim; ++i) small = small && std::fabs(op.RM6[i]) <= 2.;
  if (small) {
    tarn::PhaseSymmetry ps = tarn::CrlPrimitivePhase(ndim, magnetic);
    tarn::CrlAddOp(ps, op.RM6.data(), op.S6.data(), op.ZMag);
    (void)tarn::CompleteSymm(ps);
    if (ps.NSymm < 1 || ps.NSymm > tarn::kSymmReallocLimit) std::abort();
  }
  return 0;
}
