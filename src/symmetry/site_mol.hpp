#pragma once
// Rigid-body geometry of molecule positions and the constraints that the
// site symmetry of a position's reference point imposes on its parameters.
//
// Frame. Rotations, TLS tensors and rotation vectors live in the Cartesian
// frame of the cell (a along x, b in the xy plane, c completing a right-handed
// set); M is the orthogonalisation matrix (fractional -> Cartesian, Angstrom).
//
// Rotation of a position (three angles in degrees, active rotation of the
// molecule about its reference point, r' = R r):
//   type 0 (Euler z-x-z):        R = Rz(phi) Rx(chi) Rz(psi)
//   type 1 (angles about x y z): R = Rz(psi) Ry(chi) Rx(phi)
// with the active rotations
//   Rx(a) = [1 0 0; 0 c -s; 0 s c], Ry(a) = [c 0 s; 0 1 0; -s 0 c],
//   Rz(a) = [c -s 0; s c 0; 0 0 1].
// For type 0 the molecule is first turned by psi about z, then by chi about x,
// then by phi about z (all about the fixed axes of the frame).
//
// TLS (Schomaker & Trueblood, Acta Cryst. B24 (1968) 63): T in Angstrom^2,
// L in rad^2, S in Angstrom rad, S_ij = <lambda_i t_j> (lambda the libration
// vector, t the translation), all in the Cartesian frame above. An atom at r
// (Cartesian, Angstrom, from the libration centre) moves by u = t + lambda x r
// = t + A lambda and gets U = T + A L A^T + A S + S^T A^T with
//   A = [0 r3 -r2; -r3 0 r1; r2 -r1 0].
//
// Value list of a position (indices used by the equations below): ai 0,
// phi chi psi 1..3, tx ty tz 4..6 (fractional), then with TLS T11 T22 T33 T12
// T13 T23 7..12, L (same order) 13..18, S11 S12 S13 S21 S22 S23 S31 S32 S33
// 19..27.
#include <array>
#include <string>
#include <vector>

#include "symmetry/site.hpp"
#include "symmetry/symm.hpp"

namespace tarn {

// Indices in the value list of a molecule position.
enum MolPar : int {
  MpAi = 0,
  MpAng = 1,    // phi, chi, psi
  MpTrans = 4,  // tx, ty, tz
  MpT = 7,      // 6 components
  MpL = 13,     // 6 components
  MpS = 19,     // 9 components, row-major
  MpNBase = 7,  // values without TLS
  MpNTls = 28   // values with TLS
};

// Rotation matrix of the angles (degrees); with dR the derivatives dR/d(angle k)
// per degree.
Mat3 MolRotation(int rotType, const std::array<double, 3>& angDeg,
                 std::array<Mat3, 3>* dR = nullptr);
// Angles (degrees) of a rotation matrix, the inverse of MolRotation: type 0
// gives chi in [0, 180] and phi, psi in (-180, 180] (psi = 0 when chi is 0 or
// 180); type 1 gives chi in [-90, 90] and phi, psi in (-180, 180] (phi = 0 at
// chi = +-90).
std::array<double, 3> MolAngles(int rotType, const Mat3& r);

// The TLS contribution U (Cartesian, Angstrom^2, row-major) at the Cartesian
// vector r; t6, l6 in the order 11 22 33 12 13 23, s9 row-major. With dU the
// derivatives dU/dr_k.
Mat3 MolTlsU(const double* t6, const double* l6, const double* s9, const std::array<double, 3>& r,
             std::array<Mat3, 3>* dU = nullptr);

// Name of value i of a position's value list ("ai", "phi", "tx", "T11",
// "L23", "S31"); values beyond the TLS block "p<i+1>".
std::string MolSiteParName(int i);

// What the site analysis needs of one molecule position.
struct SiteMolPos {
  std::string Name;               // position name (owner of its parameters)
  std::array<double, 3> Ref{};    // reference point of the molecule, fractional
  std::array<double, 3> Trans{};  // translation tx, ty, tz, fractional
  std::array<double, 3> Ang{};    // angles, degrees
  int RotType = 0;                // 0 Euler z-x-z, 1 angles about x, y, z
  bool Tls = false;               // carries T, L, S
  int Sub = 0;                    // subsystem, 0-based
};

// Cartesian rotation M R M^-1 of a site operator (rm fractional, m row-major).
Mat3 MolCartOp(const Mat3& m, const Mat3& rm);

// AtSpecMol: the constraint equations of molecule positions.
// Constraint equations of every position whose reference point (Ref + Trans)
// lies on a special position (site operators from SpecPos with ctx.Tol):
// translation like atom coordinates (the constant places the reference
// point on its symmetry element); rotation: the small rotation vector w of
// an increment of the angles (w = J dAngles at the current angles) is an
// axial vector that every site operator must keep, det(Rc) Rc w = w; T and L
// are invariant second-rank tensors (Rc T Rc^T), S transforms as
// det(Rc) Rc S Rc^T. m is the orthogonalisation matrix (row-major). The
// equations carry Molecule = true, Owner = position name, Kind = first index
// of the block (MpTrans, MpAng, MpT, MpL, MpS) and Dep / Ind as indices in the
// position's value list. The rotation equations are linear in the angles at
// their current values (Const keeps the current values fulfilled).
void AtSpecMol(const std::vector<SiteMolPos>& pos, const SiteContext& ctx, const Mat3& m,
               SpecEquations& eqs);

}  // namespace tarn
