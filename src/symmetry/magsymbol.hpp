#pragma once
// The symbol of a magnetic space group from its operators with time
// inversion, in the BNS convention.
#include <string>

#include "symmetry/spgroup.hpp"
#include "symmetry/symm.hpp"

namespace tarn {

// MagGroupSymbolBNS: the BNS symbol of the 3-dimensional magnetic group ps in
// the setting its operators are in: the Hermann-Mauguin symbol of the group
// without time inversion (from the table) with a prime on every element whose
// operators carry time inversion ("P21'/c'", "Pn'ma'"), and "1'" appended for
// a grey group ("P21/c1'"). "" when the group has anti-translations (its
// symbol needs the BNS lattice of the magnetic cell), is not magnetic or
// matches no tabulated setting.
std::string MagGroupSymbolBNS(const SgTable& tab, const PhaseSymmetry& ps);

}  // namespace tarn
