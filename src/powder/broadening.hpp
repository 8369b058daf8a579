#pragma once
// Anisotropic line broadening of a phase: extra Lorentzian widths of each
// reflection from microstrain ("strain": 1 axial, 2 quartic tensor), from the
// particle shape ("partbroad": 1 axial, 2 spherical harmonics) and for chosen
// reflection classes ("broadHKL").
//
// The reflection's Lorentzian FWHM (centidegrees) is
//   H_L = (X + XAdd)/cos(theta) + Xe a/cos(theta) + (Y + YAdd) tan(theta) + Ye b tan(theta)
// (for the modified Lorentzian the four terms add in quadrature), with
//  - axial methods: a (size) and b (strain) = |cos phi|, phi the angle between
//    the reflection's reciprocal vector and the direction "dirbroadp" (size)
//    or "dirbroads" (strain), either defaulting to "dirbroad", itself a
//    reciprocal-lattice vector (default 0 0 1); without an axial method the
//    factor is 1;
//  - tensor strain: YAdd = (18000/pi) 1e-3 d**2 sqrt|sum_k S_k F_k(x)|, the F_k
//    the quartic forms that the Laue class leaves invariant (each with the
//    coefficient 1 on its leading monomial x**H y**K z**L, named S_HKL), of the
//    scaled indices x = h a*, y = k b*, z = l c*. S is in units of 1e-6: for an
//    isotropic strain e (FWHM of delta d/d times 2) of a cubic phase,
//    S400 = e**2 1e6 and S220 = 2 S400;
//  - spherical harmonics: XAdd = sum_k c_k K_k(u), K_k the average over the
//    Laue class of the real spherical harmonic Y_lm (orders l = 2, 4, ... up
//    to "spharp", mean square 1 over the sphere) at the direction u of the
//    reciprocal vector; only averages independent of those before are kept;
//  - "broadHKL h k l": two parameters per class, added to XAdd and YAdd for
//    the reflections equivalent to h k l under the Laue class.
// Time of flight keeps XAdd and YAdd in centidegrees as the same relative
// widths in d: Delta d/d = (pi/36000) YAdd (strain, as at any wavelength) and
// Delta d = (pi/18000) XAdd d**2 (size, as at a wavelength of 1 A), so that
//   gamma += dt/dd (pi/18000) (XAdd d**2 + YAdd d/2)  (us),
// dt/dd of the reflection in us/A (SetProfFun). Its Lorentzian widths have no
// axial terms, so a and b change nothing there.
#include <array>
#include <string>
#include <vector>

#include "symmetry/symm.hpp"

namespace tarn {

enum PwdStrainType : int { PwdStrainNone = 0, PwdStrainAxial = 1, PwdStrainTensor = 2 };
enum PwdSizeType : int { PwdSizeNone = 0, PwdSizeAxial = 1, PwdSizeHarmonics = 2 };
inline constexpr int kPwdMaxShOrder = 8;  // highest order of the harmonics

struct PwdBroadening {
  int Strain = PwdStrainNone, Size = PwdSizeNone;
  std::array<double, 3> DirSize{0., 0., 1.}, DirStrain{0., 0., 1.};
  int ShOrder = 4;                               // "spharp"
  std::vector<double> StrainPar;                 // S_HKL (1e-6), PwdStrainForms order
  std::vector<double> ShPar;                     // c_k (centidegrees)
  std::vector<std::array<int, 3>> HklClass;      // "broadHKL" lines
  std::vector<double> HklPar;                    // per class: size term, strain term (centidegrees)
  // Set by PwdBroadSetup from the Laue class.
  std::vector<std::array<int, 9>> Laue;          // point operators (row vector h times R)
  std::vector<std::array<double, 15>> StrainForm;  // coefficients of the quartic monomials
  std::vector<std::array<int, 3>> StrainExp;     // leading monomial (H, K, L) of each form
  std::vector<std::array<int, 2>> ShLM;          // (l, m) of each harmonic kept
};

// The 15 exponent triples (H, K, L), H + K + L = 4, in the order of the forms'
// coefficients: 400 040 004 220 202 022 211 121 112 310 301 130 031 103 013.
const std::array<std::array<int, 3>, 15>& PwdQuarticExp();
// Point operators of the Laue class of the symmetry (every R and -R).
std::vector<std::array<int, 9>> PwdLaueOps(const PhaseSymmetry& s);
// Prepares the forms of the phase's Laue class (the harmonics for the
// Cartesian frame of the cell) and resizes the parameter vectors to their
// counts (new values 0, surplus dropped).
void PwdBroadSetup(PwdBroadening& b, const PhaseSymmetry& s, const std::array<double, 6>& cell);
// Name of parameter k in the flattened order (strain, harmonics, classes):
// "S400", "K4,0", "hkl1s" and the like.
std::string PwdBroadName(const PwdBroadening& b, int k);
// Number of parameters and the address of parameter k (flattened order).
int PwdBroadCount(const PwdBroadening& b);
double* PwdBroadRef(PwdBroadening& b, int k);

// What the broadening adds to one reflection, with the derivatives of XAdd
// and YAdd by the parameters (flattened order).
struct PwdBroadTerms {
  double A = 1., B = 1., XAdd = 0., YAdd = 0.;
  std::vector<double> dX, dY;
};
// The terms of reflection h of a phase of this cell (a, b, c, alpha, beta, gamma).
void PwdBroadTermsOf(const PwdBroadening& b, const std::array<double, 6>& cell, const std::array<int, 3>& h,
                     PwdBroadTerms& t);

}  // namespace tarn
