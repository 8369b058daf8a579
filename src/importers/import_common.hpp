#pragma once
// Pieces shared by the model importers: operator text "x,y,z" with
// translations and the reduction of a complete operator list to the form of
// M50 (centring symbol or vectors, centre of symmetry, coset representatives).
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "model/basic.hpp"

namespace tarn {

// "0.5-X,-Y,1/2+z" (case ignored, blanks allowed, "2*x" allowed) into the
// rotation (3x3 row-major) and the translation. False on a syntax fault.
bool ParseXyzOp(std::string_view text, std::array<double, 9>& r, std::array<double, 3>& t);

// Fills Lattice, LattVec, Centro and SymmText of p from a complete list of
// operators (as a CIF gives them: every centring and the inversion listed):
// pure translations become the centring (a standard symbol when the set is
// one, else "X" with the vectors), an inversion at the origin (modulo
// centring) sets Centro and drops the partners, and one operator per
// rotation remains, the identity first. Returns false when the identity is
// missing or a translation has no fraction form.
bool ReduceOperators(const std::vector<std::array<double, 9>>& r,
                     const std::vector<std::array<double, 3>>& t, PhaseBasic& p);

// Names the group of p's operators (Lattice, LattVec, Centro, SymmText of
// 3 dimensions) after the tabulated setting they match: SpGroup, SpGroupNumber
// and, when the operators are those of the setting with another origin,
// SgShift. Leaves p as it is (returning false) when no setting matches or the
// tables cannot be read.
bool NameGroupFromOperators(PhaseBasic& p);

}  // namespace tarn
