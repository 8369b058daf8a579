#pragma once
// Restraints of a refinement run: the commands distfix, anglefix, torsfix,
// magmfix, adpfix (rigu, delu, simu, isor), planefix and chivfix resolved to
// atoms and parameters, their current values with analytic derivatives, and
// the observations they add to the normal equations once per cycle after the
// reflection loops (docs/refinement.md, "Restraints").
//
// Every restraint function f is evaluated on Cartesian quantities (positions
// in Angstrom, displacement tensors U in Angstrom^2) and chained to the
// parameters through the Jacobian of each atom: fractional position, its
// symmetry part, the position waves on a grid of the internal coordinate,
// the parameters of a molecule position, and the cell where it is refined.
// An observation has weight w = 1/s.u.^2 and residual target - f.
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "refine/constr.hpp"
#include "refine/lsq.hpp"
#include "refine/refcommands.hpp"

namespace tarn {

inline constexpr int kRestrTGrid = 16;  // points of the internal coordinate per period

// One atom of a restraint item: the atom (or model atom of a molecule, placed
// by the first position of its molecule) with its symmetry part.
struct RestrAtom {
  int Atom = -1;               // index in Model.Atom, -1 for a molecule atom
  int Mol = -1, MolAtom = -1;  // molecule and its model atom
  int Phase = 0;               // 0-based phase
  std::array<double, 9> R{1, 0, 0, 0, 1, 0, 0, 0, 1};  // rotation of the symmetry part
  std::array<double, 3> T{};                           // its translation, fractional
  std::string Name;                                    // as written
};

// A restraint command resolved to atoms.
struct RestrCmd {
  int Kind = RestrDist;  // RefRestraintKind
  int Target = 1;        // 1 value, 2 common value, 3 optimal value over t
  double Value = 0., Su = 0.;
  std::vector<std::vector<RestrAtom>> Items;
  std::string Text;  // command as listed
};

// One observation: calculated value, target, weight and the derivatives of
// the calculated value over the full parameter vector (index, value).
struct RestrObs {
  int Cmd = 0, Item = 0;
  double Calc = 0., Target = 0., W = 0.;
  std::vector<std::pair<int, double>> G;
};

// Sums of one cycle's restraints for the listing and the restrained GOF.
struct RestrSums {
  int N = 0;         // observations added
  double WSum = 0.;  // sum w (target - calc)^2
};

// RefRestrain: resolves the restraint commands of the settings to atoms.
// Every command of s.Restraint (magnetic ones through RefRestrainMag); unknown
// atoms and bad symmetry parts are reported in listing and make it return 1.
[[nodiscard]] int RefRestrain(const RefSettings& s, std::vector<RestrCmd>& out,
                              std::vector<std::string>& listing);
// RefRestrainMag: resolves one magmfix command (magnetic atoms only).
[[nodiscard]] int RefRestrainMag(const RefRestraint& r, RestrCmd& out,
                                 std::vector<std::string>& listing);
// RefSetRestrainPar: resolves one atom name with its symmetry part; 1 when unknown.
[[nodiscard]] int RefSetRestrainPar(std::string_view name, RestrAtom& a);
// RefSetRestrainMag: first parameter of the moment of a magnetic atom, -1 when none.
int RefSetRestrainMag(const RefParams& p, const RestrAtom& a);

// The observations of all commands at the current parameter values.
std::vector<RestrObs> RefRestrainObs(const RefParams& p, const std::vector<RestrCmd>& cmds);
// RefLoopDistAng: adds the geometric and ADP restraints to the normal equations (ne may be
// null: sums only).
RestrSums RefLoopDistAng(const RefParams& p, const std::vector<RestrCmd>& cmds, NormalEq* ne);
// RefLoopMag: adds the magnetic-moment restraints to the normal equations (ne may be null).
RestrSums RefLoopMag(const RefParams& p, const std::vector<RestrCmd>& cmds, NormalEq* ne);

// Messages of the restraints.
namespace restrmsg {
inline constexpr std::string_view Head = "Restraints :";
inline constexpr std::string_view Unknown = "Restraint atom not found : ";
inline constexpr std::string_view Sums = "Restraints: number of observations ";
inline constexpr std::string_view WSum = ", weighted sum of squares ";
inline constexpr std::string_view GofR = ", restrained GOF ";
}  // namespace restrmsg

}  // namespace tarn
