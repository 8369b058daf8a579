#pragma once
// Magnetic space groups from Hermann-Mauguin symbols with primes.
#include <string_view>

#include "symmetry/spgroup.hpp"

namespace tarn {

// EM50GenSymMag: a magnetic space-group symbol with primes for time
// inversion ("P21'/c", "Pn'm'a", "P4'/mm'm", "Fm'-3'm", "P-1'") -> operators with
// their time-inversion signs (ps.Magnetic set). The unprimed symbol is any
// spelling EM50GenSym takes; the elements are matched to the positions of
// its full symbol (whole "21'/c", plane or axis alone as in short symbols)
// and the signs of the named rotations closed into a homomorphism of the
// point group. Black-white lattices (primed translations, "P_c") are not
// understood. 1 with "During decoding time inversion flags." (an element that
// matches no position or names no operator) or "The time inversion flags are
// inacceptable." (contradictory signs, a primed identity).
[[nodiscard]] int EM50GenSymMag(const SgTable& tab, std::string_view symbol, const double* cell,
                                const double* shift, PhaseSymmetry& ps, SgFound* found = nullptr,
                                ErrorRecord* err = nullptr);

}  // namespace tarn
