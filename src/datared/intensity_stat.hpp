#pragma once
// Intensity statistics of a data set: the Wilson plot with scale and overall
// displacement parameter, <|E^2-1|>, the cumulative distribution N(z) of
// E^2 for acentric and centric reflections, and the L-test for twinning.
#include <array>
#include <string>
#include <vector>

#include "model/basic.hpp"

namespace tarn {

// One reflection (3 indices used).
struct IntStatRefl {
  int H[3] = {};
  double I = 0., SigI = 0.;
};

struct IntStatShell {
  double S2 = 0.;    // mean (sin(th)/lambda)^2, 1/Angstrom^2
  double IMean = 0.; // mean I/epsilon
  double SumF2 = 0.; // sum over the cell of n_j f_j^2 at S2 (0 without a composition)
  int N = 0;
};

// Fewer atoms in the cell than this (composition known) and the intensity
// distribution is too far from Wilson's limit to judge centrosymmetry.
inline constexpr double kIntStatMinAtoms = 20.;

struct IntStatResult {
  std::vector<IntStatShell> Shell;  // equal-count shells of increasing resolution
  bool Wilson = false;              // scale and B determined (composition known)
  double Scale = 0.;                // K of <I> = K sum f^2 exp(-2 B s^2)
  double B = 0.;                    // overall B, Angstrom^2
  int NAcentric = 0, NCentric = 0;
  double E2m1Acentric = 0., E2m1Centric = 0.;    // <|E^2-1|>: 0.736 / 0.968 expected
  double E2m1All = 0.;  // <|E^2-1|> over every reflection, whatever the phase's symmetry
  double NAtoms = 0.;   // atoms in the cell from the composition (0 when unknown)
  // The distribution can tell centric from acentric: enough atoms for the
  // Wilson distributions (kIntStatMinAtoms) and <|E^2-1|> within 0.70 .. 1.10.
  bool Conclusive = true;
  std::array<double, 10> NzAcentric{}, NzCentric{};  // N(z) at z = 0.1 .. 1.0
  int NLPairs = 0;
  double LAbs = 0., L2 = 0.;  // <|L|>, <L^2>: 0.5, 1/3 untwinned; 0.375, 0.2 perfect twin
  std::array<double, 10> NL{};  // N(|L|) at |L| = 0.1 .. 1.0
  std::vector<std::string> Listing;
};

// Statistics of refl (one entry per measured or merged reflection) under the
// symmetry and composition of phase (metric, operators, atom types with
// their form factors and "formula" counts times UnitsNumb per cell). E^2 is
// normalised in resolution shells (E^2 = (I/eps) / <I/eps>_shell); the Wilson
// scale and B come from a straight-line fit of ln(<I>/sum f^2) against s^2
// over the shells beyond 3.5 Angstrom resolution. L-test: pairs h, h + d with
// d of components 0 or +-2 (acentric), L = (Z1 - Z2)/(Z1 + Z2) with Z = E^2
// (Padilla & Yeates, Acta Cryst. D59 (2003) 1124; normalised intensities
// remove the fall-off between the two).
// Returns 1 when fewer than 20 reflections are given.
[[nodiscard]] int DRIntensityStatistics(const std::vector<IntStatRefl>& refl,
                                        const PhaseBasic& phase, IntStatResult& out);

}  // namespace tarn
