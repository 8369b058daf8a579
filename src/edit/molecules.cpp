#include "edit/molecules.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "model/atom_edit.hpp"
#include "symmetry/site_mol.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr size_t kMaxName = 8;  // characters of a molecule or position name

bool NameOk(std::string_view n) {
  if (n.empty() || n.size() > kMaxName || !std::isalpha(static_cast<unsigned char>(n[0])))
    return false;
  return std::all_of(n.begin(), n.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '\'' || c == '.';
  });
}

MoleculeRec* FindMol(AtomModel& m, std::string_view name) {
  for (auto& mol : m.Mol)
    if (EqIgnoreCase(mol.Name, name)) return &mol;
  return nullptr;
}

// Whether a name is taken by an atom, a model atom, a molecule or a position.
bool NameTaken(const AtomModel& m, std::string_view n) {
  if (EM40FindAtom(m, n) >= 0) return true;
  for (const auto& mol : m.Mol) {
    if (EqIgnoreCase(mol.Name, n)) return true;
    for (const auto& a : mol.Atoms)
      if (EqIgnoreCase(a.Name, n)) return true;
    for (const auto& p : mol.Pos)
      if (EqIgnoreCase(p.Name, n)) return true;
  }
  return false;
}

// Harmonic, not modulated, no magnetic moment: what a molecule position can carry.
bool RigidAtom(const AtomRec& a) {
  for (int k = 0; k < NParKinds; ++k)
    if (a.Shape.NWave[static_cast<size_t>(k)] > 0) return false;
  return a.Shape.AdpOrder <= 2 && a.Shape.Flag[0] != 1 && a.Shape.Flag[1] != 1 &&
         a.Shape.MagPar == 0 && a.FunType == 0;
}

}  // namespace

int EM40DefineMolecule(Structure& st, std::string_view name, const std::vector<std::string>& atoms,
                       const std::optional<std::array<double, 3>>& ref, std::string& why) {
  if (!NameOk(name)) {
    why = fmt::format("\"{}\" is not a valid molecule name (1 to {} characters, a letter first).",
                      name, kMaxName);
    return 1;
  }
  if (NameTaken(st.Model, name)) {
    why = fmt::format("The name \"{}\" is already used by an atom, molecule or position.", name);
    return 1;
  }
  std::string missing;
  const std::vector<int> sel = EM40SelectAtoms(st.Model, atoms, missing);
  if (!missing.empty()) {
    why = fmt::format("No atom is named \"{}\".", missing);
    return 1;
  }
  if (sel.empty()) {
    why = "The molecule needs at least one atom.";
    return 1;
  }
  const AtomRec& first = st.Model.Atom[static_cast<size_t>(sel[0])];
  for (int i : sel) {
    const AtomRec& a = st.Model.Atom[static_cast<size_t>(i)];
    if (a.Phase != first.Phase || a.Part != 1) {
      why = fmt::format(
          "The atoms of a molecule must be of one phase and of the first composite "
          "part: {}.",
          a.Name);
      return 1;
    }
    if (!RigidAtom(a)) {
      why = fmt::format("Atoms of a molecule must be harmonic and not modulated: {}.", a.Name);
      return 1;
    }
  }
  if (ref)
    for (double v : *ref)
      if (!std::isfinite(v) || std::fabs(v) > 100.) {
        why = "The reference point is out of range.";
        return 1;
      }
  MoleculeRec m;
  m.Name = std::string(name);
  m.Phase = first.Phase;
  m.Part = 1;
  m.RefType = ref ? 0 : 1;
  m.Ref.resize(3);
  for (int i : sel) {
    AtomRec a = st.Model.Atom[static_cast<size_t>(i)];
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    // The positions carry occupancy and place; the model atoms keep only the
    // keys of their displacement terms.
    a.Par.Key[static_cast<size_t>(lay.Off[BlkOcc])] = 0;
    for (int k = 0; k < 3; ++k) a.Par.Key[static_cast<size_t>(lay.Off[BlkPos] + k)] = 0;
    m.Atoms.push_back(std::move(a));
  }
  for (int k = 0; k < 3; ++k) {
    double c = 0.;
    if (ref) {
      c = (*ref)[static_cast<size_t>(k)];
    } else {
      for (const AtomRec& a : m.Atoms) c += a.Par.Val[static_cast<size_t>(1 + k)];
      c /= static_cast<double>(m.Atoms.size());
    }
    m.Ref.Val[static_cast<size_t>(k)] = c;
  }
  Structure work = st;
  for (auto it = sel.rbegin(); it != sel.rend(); ++it)
    work.Model.Atom.erase(work.Model.Atom.begin() + *it);
  // Molecules are ordered by phase, then part: after the last of the phase.
  auto& mols = work.Model.Mol;
  auto at = std::find_if(mols.begin(), mols.end(),
                         [&](const MoleculeRec& x) { return x.Phase > m.Phase; });
  const std::string molName = m.Name;
  mols.insert(at, std::move(m));
  if (EM40AddMolPosition(work, molName, "", {0., 0., 0.}, {0., 0., 0.}, 1., why)) return 1;
  st = std::move(work);
  return 0;
}

int EM40AddMolPosition(Structure& st, std::string_view mol, std::string_view pos,
                       const std::array<double, 3>& angles, const std::array<double, 3>& trans,
                       double ai, std::string& why) {
  MoleculeRec* m = FindMol(st.Model, mol);
  if (!m) {
    why = fmt::format("No molecule is named \"{}\".", mol);
    return 1;
  }
  std::string name(pos);
  if (name.empty()) {
    const std::string stem = m->Name.substr(0, kMaxName - 1);
    for (char c = 'a'; c <= 'z' && name.empty(); ++c)
      if (!NameTaken(st.Model, stem + c)) name = stem + c;
    if (name.empty()) {
      why = fmt::format("No free position name is left for \"{}\"; give one.", m->Name);
      return 1;
    }
  } else if (!NameOk(name)) {
    why = fmt::format("\"{}\" is not a valid position name (1 to {} characters, a letter first).",
                      name, kMaxName);
    return 1;
  } else if (NameTaken(st.Model, name)) {
    why = fmt::format("The name \"{}\" is already used by an atom, molecule or position.", name);
    return 1;
  }
  for (double v : angles)
    if (!std::isfinite(v) || std::fabs(v) > 3600.) {
      why = "The rotation angles are out of range.";
      return 1;
    }
  for (double v : trans)
    if (!std::isfinite(v) || std::fabs(v) > 100.) {
      why = "The translation is out of range.";
      return 1;
    }
  if (!(ai > 0.) || ai > 1.) {
    why = "The occupancy ai of a position must be above 0 and at most 1.";
    return 1;
  }
  MolPosRec p;
  p.Name = name;
  p.Par.resize(MolLayout(m->Shape).NPar);
  p.Par.Val[MpAi] = ai;
  for (int k = 0; k < 3; ++k) {
    p.Par.Val[static_cast<size_t>(MpAng + k)] = angles[static_cast<size_t>(k)];
    p.Par.Val[static_cast<size_t>(MpTrans + k)] = trans[static_cast<size_t>(k)];
    p.Par.Key[static_cast<size_t>(MpAng + k)] = 1;
    p.Par.Key[static_cast<size_t>(MpTrans + k)] = 1;
  }
  m->Pos.push_back(std::move(p));
  SetBasicM40(st.Model);
  return 0;
}

int EM40DeleteMolPositions(Structure& st, const std::vector<std::string>& names, std::string& why) {
  AtomModel work = st.Model;
  for (const std::string& n : names) {
    bool found = false;
    for (auto& m : work.Mol) {
      auto it = std::find_if(m.Pos.begin(), m.Pos.end(),
                             [&](const MolPosRec& p) { return EqIgnoreCase(p.Name, n); });
      if (it == m.Pos.end()) continue;
      found = true;
      if (m.Pos.size() == 1) {
        why = fmt::format(
            "\"{}\" is the last position of the molecule {}; delete the molecule "
            "instead.",
            n, m.Name);
        return 1;
      }
      m.Pos.erase(it);
    }
    if (!found) {
      why = fmt::format("No molecule position is named \"{}\".", n);
      return 1;
    }
  }
  SetBasicM40(work);
  st.Model = std::move(work);
  return 0;
}

int EM40DeleteMolecule(Structure& st, std::string_view name, std::string& why) {
  auto& mols = st.Model.Mol;
  auto it = std::find_if(mols.begin(), mols.end(),
                         [&](const MoleculeRec& m) { return EqIgnoreCase(m.Name, name); });
  if (it == mols.end()) {
    why = fmt::format("No molecule is named \"{}\".", name);
    return 1;
  }
  mols.erase(it);
  SetBasicM40(st.Model);
  return 0;
}

}  // namespace tarn
