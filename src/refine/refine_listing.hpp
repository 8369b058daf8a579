#pragma once
// Parameter sections of the refinement listing written after the run:
// the eigenvalues and eigenvectors of the harmonic ADP tensors in a Cartesian
// frame. Pure routines over the model and the basic data.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "model/atoms.hpp"
#include "model/basic.hpp"

namespace tarn {

// Smallest eigenvalue (Angstrom^2) of U that counts as positive definite.
inline constexpr double kAdpPosDefMin = 0.;

// Fractional -> Cartesian coordinates (Angstrom) of a cell, row-major, its
// columns the cell vectors a, b, c: x along a, y in the ab plane, z along c*
// (Giacovazzo et al., Fundamentals of Crystallography, 2nd ed., eq. 2.E.4).
// M^T M is the metric tensor G.
std::array<double, 9> RefOrthoMatrix(const double* cell);

// U in the Cartesian frame (Angstrom^2, row-major 3x3) from the stored
// beta_ij (order 11 22 33 12 13 23): U* = beta / (2 pi^2), U_cart = M U* M^T
// (Grosse-Kunstleve & Adams, J. Appl. Cryst. 35 (2002) 477, eqs. 3-6).
std::array<double, 9> RefUCart(const std::array<double, 9>& orth, const double* beta);

struct AdpEigen {
  std::array<double, 3> Val{};                 // eigenvalues, ascending, Angstrom^2
  std::array<std::array<double, 3>, 3> Vec{};  // Vec[k]: unit eigenvector of Val[k], Cartesian
  bool PosDef = true;                          // all eigenvalues above kAdpPosDefMin
};
AdpEigen RefAdpEigen(const std::array<double, 9>& ucart);

// The section "ADP eigenvalues and eigenvectors" for the anisotropic atoms of
// the model (nothing when there is none); the atoms whose U is not positive
// definite are also appended to `serious`.
void RefListAdpEigen(const AtomModel& m, const BasicData& b, std::vector<std::string>& out,
                     std::vector<std::string>& serious);

namespace listmsg {
inline constexpr std::string_view AdpEigen = "ADP eigenvalues and eigenvectors";
inline constexpr std::string_view AdpFrame =
    "Eigenvalues and eigenvectors are related to the orthonormal system defined by the "
    "following transformation matrix:";
inline constexpr std::string_view NotPosDef = "not positive definite";
inline constexpr std::string_view NotPosDefWarn = "The ADP tensor is not positive definite: atom ";
}  // namespace listmsg

}  // namespace tarn
