#pragma once
// Molecules (rigid groups) in the structure factor and their site-symmetry
// equations.
//
// Every model atom of every molecule position becomes a pseudo-atom appended
// to the harmonic atoms of its phase (CalcAtoms, after the ordinary atoms), so
// that the vectorised kernel sums it like any atom. With the reference point
// c0 (fractional; the mean of the model atoms when the molecule's RefType is
// 1), the orthogonalisation matrix M and the rotation R of the position
// (MolRotation, Cartesian):
//   x    = c0 + t + M^-1 R M (x_m - c0)
//   occ  = ai(position) * ai(model atom)
//   beta = Q beta_m Q^T + 2 pi^2 M^-1 U_TLS(r) M^-T,  Q = M^-1 R M,
//          r = R M (x_m - c0) the Cartesian vector from the libration centre
//          c0 + t, U_TLS as in symmetry/site_mol.hpp.
// The kernel's derivatives of F with respect to (occ, x, y, z, beta) of each
// pseudo-atom land in slots after the NPar parameters of CalcOut::Der; after
// the sum CalcMolChain folds them into the position's values with the
// Jacobian of the placement (computed in CalcUpdate) and drops the slots.
#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "refine/calc.hpp"
#include "refine/constr.hpp"
#include "symmetry/site_mol.hpp"

namespace tarn {

inline constexpr int kMolAtVals = 10;  // occ, x, y, z, beta11 22 33 12 13 23 of a pseudo-atom

// One pseudo-atom: a model atom in one molecule position.
struct CalcMolAtom {
  int Phase = 0;                // 0-based phase
  int Slot = 0;                 // index in CalcSetup::Atoms[Phase]
  int PosBase = 0;              // first value of the position in RefParams
  int NPosPar = MpNBase;        // values of the position used (7, or 28 with TLS)
  int RotType = 0;              // 0 Euler z-x-z, 1 angles about x, y, z
  double Occ0 = 1.;             // occupancy of the model atom
  std::array<double, 3> X0{};   // model atom, fractional
  std::array<double, 6> B0{};   // model atom beta (from Uiso when isotropic)
  std::array<double, 3> Ref{};  // reference point of the molecule, fractional
  // d(occ, x, y, z, beta)/d(position value), kMolAtVals x MpNTls row-major
  // (angles per degree, translation per cell fraction).
  std::array<double, kMolAtVals * MpNTls> J{};
};

struct CalcMolPrep {
  std::vector<CalcMolAtom> At;
  std::vector<Mat3> M, Mi;  // per phase: orthogonalisation matrix and inverse, row-major
};

// Messages of the molecule contribution.
namespace calcmolmsg {
inline constexpr std::string_view Modulated =
    "Modulated molecule positions are not handled by the structure-factor calculation:";
inline constexpr std::string_view AtomKind =
    "Model atoms of a molecule must be harmonic and not modulated:";
inline constexpr std::string_view Composite =
    "Molecules of a composite part other than the first are not handled:";
}  // namespace calcmolmsg

// Placement of one pseudo-atom from the values v of its position (NPosPar
// values in the position's order); jac (kMolAtVals x MpNTls) when given.
void MolPlaceAtom(const CalcMolAtom& a, const Mat3& m, const Mat3& mi, const double* v, double& occ,
                  std::array<double, 3>& x, std::array<double, 6>& beta, double* jac);
// Reference point of a molecule (fractional): its own, or the mean of the
// model atoms when RefType is 1.
std::array<double, 3> MolRefPoint(const MoleculeRec& m);

// Appends the pseudo-atoms of all molecule positions to s.Atoms (after the
// ordinary atoms, before padding) and sets s.Mol, s.NDerMol; 1 with a
// message for molecules that cannot be handled.
[[nodiscard]] int CalcMolPrepare(CalcSetup& s, const RefParams& p);
// Places the pseudo-atoms from the current values and refreshes the Jacobians.
void CalcMolUpdate(CalcSetup& s, const RefParams& p);
// Folds the pseudo-atom slots of der (size NPar + NDerMol) into the values of
// the positions and shrinks der to NPar. Nothing when der holds no slots.
void CalcMolChain(const CalcSetup& s, std::vector<double>& der);

// RefSpecAtMol: site-symmetry equations of the molecule positions.
// Site-symmetry equations of every molecule position (AtSpecMol) appended to
// p.Eq with the labels of the positions' values.
void RefSpecAtMol(RefParams& p);

}  // namespace tarn
