#pragma once
// Four-circle diffractometer geometry after Busing & Levy, Acta Cryst. 22
// (1967) 457:
//  - the orientation matrix UB (3x3, row-major, 1/Angstrom) takes indices h to
//    the scattering vector in the phi-axis frame, h_phi = UB h, |h_phi| = 1/d;
//  - Eulerian cradle, angles (2theta, omega, chi, phi) in degrees, all
//    right-handed; omega counted from the beam so that omega = theta is the
//    bisecting position (B&L count omega from the bisecting position: their
//    omega is ours minus theta);
//  - h_phi = (2 sin(theta)/lambda) (cos w cos chi cos phi - sin w sin phi,
//                                   cos w cos chi sin phi + sin w cos phi,
//                                   cos w sin chi),   w = omega - theta
//    (B&L eq. 22 turned into the phi frame; Phi, X, Omega their eqs. 8-10).
#include <string>
#include <vector>

namespace tarn {

// Smallest |det UB| (1/A^3) accepted as a regular orientation matrix.
inline constexpr double kGeomMinDetUB = 1e-9;

// Diffractometer angles of one reflection, degrees.
struct DiffAngles {
  double TTh = 0.;    // 2theta
  double Omega = 0.;  // omega (theta in the bisecting position)
  double Chi = 0.;
  double Phi = 0.;
};

// Cell a, b, c (A), alpha, beta, gamma (deg) of an orientation matrix:
// G* = (UB)^T UB (U orthogonal), G = (G*)^-1. Returns 1 when UB is singular.
[[nodiscard]] int DRCellFromUB(const double* ub, double* cell);
// The B matrix of B&L eq. 3 for a cell (upper triangular, 1/A, row-major).
void DRBMatrix(const double* cell, double* b);

// Bisecting-position angles of indices h (3 reals). Returns 1 when h is the
// origin or sin(theta) > 1 (not reachable at this wavelength).
[[nodiscard]] int DRHKLToAngles(const double* ub, double lambda, const double* h, DiffAngles& a);
// Indices (reals) measured at angles a. Returns 1 when UB is singular.
[[nodiscard]] int DRAnglesToHKL(const double* ub, double lambda, const DiffAngles& a, double* h);
// 2theta (deg) of a reflection from the direction cosines of the reversed
// incident beam (-s0) and the diffracted beam (s1), each given against the
// reciprocal axes a*, b*, c* of the cell (the SHELX / SADABS convention).
// Returns 1 when the cell or the cosines are degenerate.
[[nodiscard]] int DRGetAnglesFromDircos(const double* dircos, const double* cell, double& tth);

}  // namespace tarn
