#pragma once
// Riding hydrogen atoms placed by geometry. For each chosen non-hydrogen atom
// without hydrogens the bonded neighbours (all symmetry images, covalent radii
// + 0.45 A) decide the group:
//   C  1 neighbour, d > 1.41 A        CH3  staggered   keep hydro tetrahed X 1 3
//   C  1 neighbour, 1.25 < d <= 1.41  =CH2 in plane    keep hydro triang   X 1 2
//   C  2 neighbours, sp3              CH2              keep hydro tetrahed X 2 2
//   C  2 neighbours, sp2              CH               keep hydro triang   X 2 1
//   C  3 neighbours, pyramidal        CH               keep hydro apical   X 3
//   N  1 neighbour, d < 1.40          NH2 in plane     keep hydro triang   X 1 2
//   N  2 neighbours, angle > 112 deg  NH               keep hydro triang   X 2 1
//   N  1 neighbour, d >= 1.40         NH3+ staggered   keep hydro tetrahed X 1 3
//   O  1 neighbour, d > 1.30          OH staggered     keep hydro tetrahed X 1 1
//   O  no neighbour                   water            restrained (below)
// sp2 is told from sp3 by the bond angle and bond lengths (angle > 115 deg and
// mean bond < 1.46 A, or mean bond < 1.40 A). "Staggered" puts the first
// hydrogen anti to a further substituent of the neighbour. The refinement
// re-idealises the positions in every cycle (keep hydro). Uiso of the
// hydrogens rides on Ueq of the parent: 1.5 for CH3 and OH, 1.2 otherwise
// (keep ADP riding; 1.5 for NH3+ and water). Two partly occupied atoms whose occupancies add up to 1
// are alternative positions of a disorder and never bonded.
//
// Difference-map torsion: with a density function the rotating groups (CH3,
// NH3+, OH: one neighbour, tetrahedral) take the torsion, searched in steps of
// 1 degree, at which the sum of the density at their hydrogens is largest;
// the refinement keeps the torsion of the first hydrogen.
//
// Water: the two hydrogens point to the pair of acceptors (N, O, F, Cl within
// 2.5-3.3 A, any image) whose A...O...A angle is nearest 104.5 deg (between
// 85 and 135 deg), symmetrically about its bisector at H-O-H 104.5 deg; with
// one acceptor the first points to it and the second lies at 104.5 deg,
// turned to the highest density when a map is given. They are refined with
// distfix 0.84 0.02 (O-H) and 1.33 0.04 (H...H, the 104.5 deg angle), and a
// water without acceptor is left alone (noted).
//
// X-H distances follow the SHELX convention: the room-temperature values
// below, 0.01 A longer below -20 C and 0.02 A longer below -70 C.
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "model/structure.hpp"

namespace tarn {

inline constexpr double HydroDistCH3 = 0.96;      // A, room temperature
inline constexpr double HydroDistCH2 = 0.97;      // sp3 CH2
inline constexpr double HydroDistCH = 0.98;       // tertiary CH
inline constexpr double HydroDistCHAr = 0.93;     // sp2 CH and =CH2
inline constexpr double HydroDistNH = 0.86;       // sp2 NH and NH2
inline constexpr double HydroDistOH = 0.82;       // hydroxyl
inline constexpr double HydroDistNH3 = 0.89;      // NH3+
inline constexpr double HydroDistWater = 0.84;    // water O-H, restrained
inline constexpr double HydroAngleWater = 104.5;  // deg, H-O-H
inline constexpr double HydroBondTol = 0.45;      // A added to the sum of covalent radii
inline constexpr double HydroDisorderTol = 0.02;  // occupancy sum of alternative positions

// The X-H distance of the SHELX convention at temperature tK (Kelvin; 0 or
// less: room temperature) for the room-temperature distance d0.
double EM40HydroDistance(double d0, double tK);

struct HydroResult {
  std::vector<std::string> Keep;      // "keep" arguments: "hydro tetrahed C1 1 3 C2 0.96 H1A ..."
  std::vector<std::string> Equation;  // "equation" arguments: "ai[H1] = ai[C1]"
  std::vector<std::string> DistFix;   // "distfix" arguments: "0.84 0.02 O1 H1A; O1 H1B"
  std::vector<std::string> Notes;     // atoms left without hydrogens, and why
  int Added = 0;                      // hydrogen atoms added
};

// EM40AddHydrogens: riding hydrogens on the listed atoms ("*" all) of the
// structure. Atoms that already carry a hydrogen, hydrogens and elements
// other than C, N, O are passed over (noted when named explicitly). Needs
// the covalent radii of the scattering tables (loaded by the caller).
// Density: the difference density (e/A^3) at a fractional position; empty for
// the geometric torsions.
using HydroDensity = std::function<double(const std::array<double, 3>&)>;
[[nodiscard]] int EM40AddHydrogens(Structure& st, const std::vector<std::string>& list, double tK,
                                   HydroResult& out, std::string& why,
                                   const HydroDensity& density = {});

}  // namespace tarn
