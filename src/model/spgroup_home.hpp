#pragma once
// The space-group tables of the home directory (spgroup.dat,
// spgroup_alias.dat) and the operators of a phase that names only its group.
#include "model/basic.hpp"
#include "symmetry/spgroup.hpp"

namespace tarn {

// The tables of Sess.HomeDir, read once per home directory; null with err
// filled when they cannot be read.
const SgTable* HomeSgTable(ErrorRecord* err = nullptr);

// Fills SymmText, Lattice and LattVec of a 3-dimensional phase from its
// SpGroup symbol, Cell and SgShift (the monoclinic unique axis from the
// cell); SpGroupNumber is set when it was 0. Returns 1 with err filled
// (message only) when the symbol is not understood.
[[nodiscard]] int PhaseFromSpGroup(PhaseBasic& p, ErrorRecord* err);

// Operators of a phase as M50 records: SymmText (canonical text) and the
// centring as a lattice letter or "X" with LattVec.
void PhaseSetOperators(PhaseBasic& p, const PhaseSymmetry& ps, char lattice);

}  // namespace tarn
