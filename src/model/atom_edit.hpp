#pragma once
// Editing of the atom model: add, delete, rename, change the element or the
// occupancy, isotropic <-> anisotropic displacement, reset refinement keys,
// sort. Each routine works on the structure it is given (basic data and
// model), changes nothing when it fails and then says why in `why` (one
// sentence for the user).
//
// Atom lists name atoms exactly (case ignored) or by "*" / "?" wildcards
// ("H*" all atoms whose name starts with H); "*" alone is every atom.
//
// Displacement conventions (model/atoms.hpp): an isotropic atom keeps Uiso
// (Angstrom^2) as the first value of its ADP block; an anisotropic one the
// dimensionless beta_ij = 2 pi^2 a*_i a*_j U_ij, i.e. beta = 2 pi^2 U* with
// U* the tensor on the reciprocal axes.
#include <string>
#include <string_view>
#include <vector>

#include "model/structure.hpp"

namespace tarn {

inline constexpr double EM40DefaultUiso = 0.05;  // Uiso of a new atom, Angstrom^2
inline constexpr int EM40MaxName = 8;            // characters of an atom name
inline constexpr double EM40SpecialTol =
    0.1;  // A: a new atom this close to a special position moves onto it

// Indices of the atoms that an atom list names, in model order; a name
// (without wildcards) that matches nothing is returned in `missing`.
std::vector<int> EM40SelectAtoms(const AtomModel& m, const std::vector<std::string>& list,
                                 std::string& missing);
// Index of the atom of that name (case ignored), -1 when there is none.
int EM40FindAtom(const AtomModel& m, std::string_view name);
// The element symbol of an atom's type ("C" for "C", "Fe" for "Fe3+"); "" when unknown.
std::string EM40AtomElement(const Structure& st, const AtomRec& a);

// Type number (1-based) of the element in the phase: the type of that name,
// else for a bare element symbol the first type of that element ("O" finds
// "O2-"), else a new atom type. 0 with `why` when the name is not an
// element or ion.
[[nodiscard]] int EM40TypeOf(Structure& st, int phase, std::string_view element, std::string& why);

// EM40AddAtom: a new isotropic atom at fractional x, full occupancy, Uiso; the
// keys of x, y, z and Uiso on, of the occupancy off. Placed after the last
// atom of the phase. Near a special position (EM40SpecialTol) the atom moves
// onto it and its occupancy factor is 1 / (order of the site group).
[[nodiscard]] int EM40AddAtom(Structure& st, int phase, std::string_view name,
                              std::string_view element, const std::array<double, 3>& x, double uiso,
                              std::string& why);
// EM40DeleteAtoms: removes the listed atoms.
[[nodiscard]] int EM40DeleteAtoms(Structure& st, const std::vector<std::string>& list,
                                  std::string& why);
// EM40RenameAtom: a new name that no other atom has.
[[nodiscard]] int EM40RenameAtom(Structure& st, std::string_view from, std::string_view to,
                                 std::string& why);
// EM40SetElement: the listed atoms take the atom type of `element`.
[[nodiscard]] int EM40SetElement(Structure& st, const std::vector<std::string>& list,
                                 std::string_view element, std::string& why);
// EM40SiteFactor: 1 / (order of the site group) of the atom's position, the
// occupancy factor ai of a fully occupied site.
double EM40SiteFactor(const Structure& st, const AtomRec& a);
// EM40Occupancy: the chemical occupancy of the site, ai / EM40SiteFactor.
double EM40Occupancy(const Structure& st, const AtomRec& a);
// EM40SetOccupancy: chemical occupancy of the listed atoms (0 < occ <= 1);
// stored as ai = occ * EM40SiteFactor.
[[nodiscard]] int EM40SetOccupancy(Structure& st, const std::vector<std::string>& list, double occ,
                                   std::string& why);
// EM40MakeAniso: isotropic atoms of the list become harmonic, U_ij = Uiso G*_ij / (a*_i a*_j)
// (the tensor of the same Ueq); the keys of the six terms take the key of Uiso.
// Anisotropic atoms of the list stay as they are.
[[nodiscard]] int EM40MakeAniso(Structure& st, const std::vector<std::string>& list,
                                std::string& why);
// EM40MakeIso: harmonic atoms of the list become isotropic with Uiso = Ueq,
// Ueq = sum_ij beta_ij G_ij / (6 pi^2) (Fischer & Tillmanns, Acta Cryst. C44
// (1988) 775). Higher-order terms and ADP waves are dropped.
[[nodiscard]] int EM40MakeIso(Structure& st, const std::vector<std::string>& list,
                              std::string& why);
// EM40ResetKeys: keys of the listed atoms to the start of a refinement: x, y,
// z and the displacement terms on, the occupancy and everything else off.
[[nodiscard]] int EM40ResetKeys(Structure& st, const std::vector<std::string>& list,
                                std::string& why);
// EM40SortAtoms: within each phase and composite part, heavier elements first
// (atomic number, else the type number), then by name with numbers compared
// as numbers (C2 before C10). Hydrogens follow the other atoms.
void EM40SortAtoms(Structure& st);

// Ueq (Angstrom^2) of an atom: Uiso of an isotropic one.
double EM40Ueq(const PhaseBasic& p, const AtomRec& a);

}  // namespace tarn
