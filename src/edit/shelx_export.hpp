#pragma once
// Export of a structure to SHELX: the instruction file (.ins) and the
// reflection file (.hkl, HKLF 4: h k l Fo^2 sigma in 3I4, 2F8.2; large
// values with fewer decimals in the same 8 columns).
//
// The .ins holds TITL, CELL (wavelength and cell), ZERR (Z and the cell's
// s.u.), LATT (centring, positive when the group contains the inversion at
// the origin), SYMM (one operator per coset of the centring and the
// inversion, identity left out), SFAC/UNIT (per atom type; UNIT from the
// composition times Z, else from the atoms in the cell), TEMP, L.S., WGHT
// (the SHELX weighting of the refinement block), EXTI, FVAR, the atoms and
// HKLF 4. Coordinates, occupancies and Uiso that are not refined are coded
// as 10 + value; occupancies tied by "equation ai[A] = ai[B]" or
// "ai[A] = 1 - ai[B]" share a free variable (21, -21, ...); hydrogens of
// "keep hydro" stand after their parent atom between AFIX mn and AFIX 0
// (tetrahed 1 3: 137, tetrahed 2 2: 23, tetrahed 1 1: 147, triang 2 1: 43,
// triang 1 2: 93, apical: 13) with Uiso -1.2 / -1.5 of "keep ADP riding".
// Anisotropic atoms are written as U11 U22 U33 U23 U13 U12 (Angstrom^2).
// Twin domains that are the powers of one matrix (and their negatives) give
// TWIN and BASF; the restraints of the refinement block give DFIX/SADI
// (distfix), FLAT, CHIV, SIMU/DELU/RIGU (one per pair) and ISOR, with EQIV
// for atoms with a symmetry part; six equal-Uij equations of a pair give EADP.
// What cannot be expressed is named in `notes`.
#include <array>
#include <string>
#include <vector>

#include "model/structure.hpp"
#include "refine/refcommands.hpp"

namespace tarn {

// One reflection of the .hkl file.
struct ShelxHklRefl {
  std::array<int, 3> H{};
  double I = 0., SigI = 0.;  // Fo^2 and its sigma
};

// EM40ShelxHkl: the .hkl text (HKLF 4) ending with the 0 0 0 record. Values
// that do not fit 8 columns are scaled down together; the factor on Fo^2 is
// returned in `scale` (1 when none was needed).
std::string EM40ShelxHkl(const std::vector<ShelxHklRefl>& refl, double& scale);

// EM40XdHkl: the reflection file of the multipole program XD: the head line
// "NAME F^2 NDAT 7" (the data name, then: Fo^2 on the lines, seven columns),
// then per reflection h k l, the scale group (1), Fo^2 and sigma(Fo^2) in
// blank-separated columns (4I4, 2F14.4 with a blank before each number).
std::string EM40XdHkl(const std::vector<ShelxHklRefl>& refl, const std::string& name);

// EM40ShelxIns: the .ins text of phase `phase` and data block `datBlock`
// (1-based) with the refinement settings `ref` (weighting, cycles, keep
// and equation lines). hklScale is the factor of EM40ShelxHkl (the overall
// scale is multiplied by its square root). 1 with `why` when the structure
// cannot be written (modulated, a centring SHELX has no LATT for, more than
// one phase's atoms).
[[nodiscard]] int EM40ShelxIns(const Structure& st, int phase, int datBlock, const RefSettings& ref,
                               double hklScale, std::string& ins, std::vector<std::string>& notes,
                               std::string& why);

// The text of an operator as SHELX writes it ("-X,1/2+Y,1/2-Z").
std::string EM40ShelxSymmText(const SymmOp& op);

}  // namespace tarn
