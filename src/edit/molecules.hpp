#pragma once
// Molecules (rigid groups) of the atom model: a molecule made of atoms of the
// model, and the positions (copies) of a molecule.
//
// A molecule keeps its model atoms in fractional coordinates of the cell and
// a reference point c0; a position with the rotation R (angles phi, chi, psi
// in degrees, Euler z-x-z) and the translation t places each model atom at
//   x = c0 + t + M^-1 R M (x_m - c0)
// (M the orthogonalisation matrix), with the occupancy ai(position) *
// ai(model atom) (refine/calc_mol.hpp). A position with zero angles and zero
// translation puts the model atoms where they were taken from.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/structure.hpp"

namespace tarn {

// EM40DefineMolecule: the listed atoms leave the atom list and become the
// model atoms of a new molecule `name` with one position at their place
// (ai 1, angles and translation 0, angles and translation refined). The
// reference point is `ref` when given (fractional), else the centre of
// gravity of the model atoms (followed as they change). The atoms must be of
// one phase and of the first composite part, harmonic and not modulated; the
// model atoms keep the keys of their displacement terms, their occupancies
// and coordinates are fixed (the positions move them).
[[nodiscard]] int EM40DefineMolecule(Structure& st, std::string_view name,
                                     const std::vector<std::string>& atoms,
                                     const std::optional<std::array<double, 3>>& ref,
                                     std::string& why);
// EM40AddMolPosition: a new position of molecule `mol` with the angles
// (degrees), translation (cell fractions) and ai; named `pos`, or when empty
// the molecule's name (up to 7 characters) and the first free letter a, b, ...
[[nodiscard]] int EM40AddMolPosition(Structure& st, std::string_view mol, std::string_view pos,
                                     const std::array<double, 3>& angles,
                                     const std::array<double, 3>& trans, double ai,
                                     std::string& why);
// EM40DeleteMolPositions: removes the named positions; a molecule needs one
// position left (delete the molecule instead).
[[nodiscard]] int EM40DeleteMolPositions(Structure& st, const std::vector<std::string>& names,
                                         std::string& why);
// EM40DeleteMolecule: removes the molecule with its model atoms and positions.
[[nodiscard]] int EM40DeleteMolecule(Structure& st, std::string_view name, std::string& why);

}  // namespace tarn
