#pragma once
// Changes of single values of the model and of the radiation records by name,
// as a batch file gives them ("Na1.x = 0.25", "lambda 1.5406").
//
// Parameter names (compared ignoring case; docs/batch.md lists them):
//   atom.ai                occupancy
//   atom.x, atom.y, atom.z fractional coordinates
//   atom.Uiso, atom.Biso   isotropic atoms: Uiso in Angstrom^2, Biso = 8 pi^2 Uiso
//   atom.U11 ... atom.U23  harmonic atoms: U_ij in Angstrom^2, stored as beta_ij
//   atom.beta11 ... beta23 harmonic atoms: the stored dimensionless beta_ij
//   pos.ai, pos.phi, pos.chi, pos.psi, pos.tx, pos.ty, pos.tz
//                          a molecule position (angles in degrees)
//   sc1, sc2, ...          scales of the current data block
// The atom (or molecule position) is looked up in the current phase first,
// then in the other phases.
#include <string_view>

#include "model/atoms.hpp"
#include "model/basic.hpp"

namespace tarn {

// Results of the editing routines.
enum BatchEditResult : int {
  BatchEditOk = 0,
  BatchEditUnknown = 1,   // unknown name, or not applicable to this atom/structure
  BatchEditBadValue = 2,  // the value is outside the range of the quantity
};

// EM40SetParameter: one "name = value" item of a batch edit of the model ("EM40": editing of M40).
// Sets one named parameter of m. kphase, kdatblock are 1-based; b supplies the
// reciprocal cell (derived by SetBasicM50) for U_ij -> beta_ij.
[[nodiscard]] int EM40SetParameter(AtomModel& m, const BasicData& b, int kphase, int kdatblock,
                                   std::string_view name, double value);

// beta_ij = 2 pi^2 a*_i a*_j U_ij, component order 11 22 33 12 13 23
// (Grosse-Kunstleve & Adams, J. Appl. Cryst. 35 (2002) 477, eq. 6).
double UToBeta(const PhaseBasic& p, int comp, double u);
double BetaToU(const PhaseBasic& p, int comp, double beta);

// EM50SetRadiation: one radiation item of a batch edit of the basic data.
// Sets one of the radiation records "lambda" ... "perfmono" (M50 keywords
// 31-39 except "nalpha") of data block d. "lambda" also sets both alpha
// wavelengths; "radtype" and "lpfactor" take the value rounded.
[[nodiscard]] int EM50SetRadiation(DatBlockBasic& d, std::string_view key, double value);

}  // namespace tarn
