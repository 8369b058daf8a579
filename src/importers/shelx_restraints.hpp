#pragma once
// SHELX restraint instructions as refinement sub-commands (used by the SHELX
// model import): DFIX, DANG, SADI in their residue forms, SAME (expanded to
// the equal-distance pairs it implies), FLAT, CHIV, SIMU, DELU, RIGU, ISOR,
// and the constraints EADP and EXYZ as equations. docs/model-import.md lists
// the mapping and the default s.u. values.
#include <array>
#include <string>
#include <utility>
#include <vector>

namespace tarn {

// An atom of the imported model as the restraints see it.
struct ShelxRestrAtom {
  std::string Name;     // name in the model (residue suffix added when taken)
  std::string Written;  // name as written in the file
  std::string Element;  // upper case
  int Part = 0;         // SHELX PART
  int Residue = 0;      // RESI number (0 none)
  std::string Class;    // RESI class (upper case)
  bool Hydrogen = false;
  bool Aniso = false;
  std::array<double, 3> X{};  // fractional
};

// A restraint instruction with the state of the file where it stood.
struct ShelxRestrCard {
  std::string Key;                 // instruction as written ("SADI_CCF3")
  std::vector<std::string> Words;  // after the instruction
  int Line = 0;
  int NAtomsBefore = 0;  // atoms read before it (SAME applies to the atoms after it)
  int Residue = 0;       // RESI in force
  std::string Class;
};

// True for an instruction the conversion takes (the first four characters).
bool ShelxIsRestraint(const std::string& key4);
// Converts the cards into sub-commands (keyword position, text); cell
// (a b c alpha beta gamma) for the bond search. Cards that cannot be
// converted are returned in notConverted, remarks in notes.
void ShelxRestraints(const std::vector<ShelxRestrCard>& cards,
                     const std::vector<ShelxRestrAtom>& atoms, const double* cell,
                     std::vector<std::pair<int, std::string>>& subs,
                     std::vector<const ShelxRestrCard*>& notConverted,
                     std::vector<std::string>& notes);

}  // namespace tarn
