#include "model/atom_edit.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

#include "model/scatdata.hpp"
#include "symmetry/site.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Index pairs (0-based axes) of the tensor components 11 22 33 12 13 23.
constexpr int kAx[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};

bool HasWildcard(std::string_view s) {
  return s.find_first_of("*?") != std::string_view::npos;
}

bool ValidName(std::string_view n) {
  if (n.empty() || static_cast<int>(n.size()) > EM40MaxName) return false;
  if (!std::isalpha(static_cast<unsigned char>(n[0]))) return false;
  return std::all_of(n.begin(), n.end(), [](char c) {
    return std::isgraph(static_cast<unsigned char>(c)) && c != '#' && c != '[' && c != ']' &&
           c != '*' && c != '?' && c != '=' && c != ';';
  });
}

const PhaseBasic* PhaseOf(const Structure& st, int phase) {
  if (phase < 1 || phase > static_cast<int>(st.Basic.Phase.size())) return nullptr;
  return &st.Basic.Phase[static_cast<size_t>(phase - 1)];
}

// The selection of a list, or a message when it names a missing atom or nothing.
bool Select(const Structure& st, const std::vector<std::string>& list, std::vector<int>& sel,
            std::string& why) {
  std::string missing;
  sel = EM40SelectAtoms(st.Model, list, missing);
  if (!missing.empty()) {
    why = fmt::format("The atom \"{}\" is not in the structure.", missing);
    return false;
  }
  if (sel.empty()) {
    why = "No atom matches the list.";
    return false;
  }
  return true;
}

// Name compared with numbers as numbers: "C2" < "C10".
bool NaturalLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (da && db) {
      size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
      const long long va = std::stoll(std::string(a.substr(i, std::min<size_t>(ie - i, 15))));
      const long long vb = std::stoll(std::string(b.substr(j, std::min<size_t>(je - j, 15))));
      if (va != vb) return va < vb;
      i = ie;
      j = je;
      continue;
    }
    const int ca = std::toupper(static_cast<unsigned char>(a[i]));
    const int cb = std::toupper(static_cast<unsigned char>(b[j]));
    if (ca != cb) return ca < cb;
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

int EM40FindAtom(const AtomModel& m, std::string_view name) {
  for (size_t i = 0; i < m.Atom.size(); ++i)
    if (EqIgnoreCase(m.Atom[i].Name, name)) return static_cast<int>(i);
  return -1;
}

std::vector<int> EM40SelectAtoms(const AtomModel& m, const std::vector<std::string>& list,
                                 std::string& missing) {
  missing.clear();
  std::vector<bool> on(m.Atom.size(), false);
  for (const std::string& w : list) {
    if (HasWildcard(w)) {
      const std::string up = ToUpper(w);
      for (size_t i = 0; i < m.Atom.size(); ++i)
        if (FeWildMatch(up, ToUpper(m.Atom[i].Name))) on[i] = true;
      continue;
    }
    const int i = EM40FindAtom(m, w);
    if (i < 0) {
      if (missing.empty()) missing = w;
      continue;
    }
    on[static_cast<size_t>(i)] = true;
  }
  std::vector<int> out;
  for (size_t i = 0; i < on.size(); ++i)
    if (on[i]) out.push_back(static_cast<int>(i));
  return out;
}

std::string EM40AtomElement(const Structure& st, const AtomRec& a) {
  const PhaseBasic* p = PhaseOf(st, a.Phase);
  if (!p || a.Type < 1 || a.Type > static_cast<int>(p->AtType.size())) return "";
  auto n = ScatParseName(p->AtType[static_cast<size_t>(a.Type - 1)]);
  return n ? n->Element : "";
}

int EM40TypeOf(Structure& st, int phase, std::string_view element, std::string& why) {
  if (phase < 1 || phase > static_cast<int>(st.Basic.Phase.size())) {
    why = "The structure has no such phase.";
    return 0;
  }
  PhaseBasic& p = st.Basic.Phase[static_cast<size_t>(phase - 1)];
  for (size_t t = 0; t < p.AtType.size(); ++t)
    if (EqIgnoreCase(p.AtType[t], element)) return static_cast<int>(t) + 1;
  auto n = ScatParseName(element);
  if (!n || static_cast<int>(element.size()) > 7) {
    why = fmt::format("\"{}\" is not an element or ion.", element);
    return 0;
  }
  // A bare element symbol takes the phase's type of that element ("O" the
  // type "O2-") when there is one.
  if (n->Charge == 0 && n->Suffix.empty() && element.size() == n->Element.size())
    for (size_t t = 0; t < p.AtType.size(); ++t)
      if (auto m = ScatParseName(p.AtType[t]); m && m->Element == n->Element)
        return static_cast<int>(t) + 1;
  // Proper case of the symbol, the rest (charge, suffix) as given.
  std::string name = n->Element + std::string(element.substr(n->Element.size()));
  p.AtType.push_back(name);
  p.AtTypeData.emplace_back();
  if (!p.AtList.empty()) p.AtList.push_back(name);
  return static_cast<int>(p.AtType.size());
}

int EM40AddAtom(Structure& st, int phase, std::string_view name, std::string_view element,
                const std::array<double, 3>& x, double uiso, std::string& why) {
  if (!ValidName(name)) {
    why = fmt::format("\"{}\" is not a valid atom name (1 to {} characters, a letter first).", name,
                      EM40MaxName);
    return 1;
  }
  if (EM40FindAtom(st.Model, name) >= 0) {
    why = fmt::format("The atom \"{}\" already exists.", name);
    return 1;
  }
  if (!(uiso >= 0.) || uiso > 10.) {
    why = "Uiso must be between 0 and 10 Angstrom^2.";
    return 1;
  }
  for (double v : x)
    if (!std::isfinite(v) || std::fabs(v) > 100.) {
      why = "The fractional coordinates are out of range.";
      return 1;
    }
  Structure work = st;
  const int type = EM40TypeOf(work, phase, element, why);
  if (type == 0) return 1;
  AtomRec a = DefaultAtom();
  a.Name = std::string(name);
  a.Phase = phase;
  a.Type = type;
  AtomShape s;
  s.AdpOrder = 1;
  ReallocateAtomParams(a, s);
  const AtomLayoutInfo lay = AtomLayout(a.Shape);
  // A point near a special position moves onto it; the occupancy factor is
  // 1 / (order of the site group), the program's convention for full sites.
  double xs[6] = {x[0], x[1], x[2], 0., 0., 0.};
  int nsite = 1;
  if (const PhaseBasic* ph = PhaseOf(work, phase); ph && ph->Symmetry.NSymm > 0)
    nsite = std::max(1, SpecPos(xs, false, ph->Symmetry, ph->MetTens, nullptr, EM40SpecialTol));
  a.Par.Val[static_cast<size_t>(lay.Off[BlkOcc])] = 1. / nsite;
  for (int k = 0; k < 3; ++k) {
    a.Par.Val[static_cast<size_t>(lay.Off[BlkPos] + k)] = xs[k];
    a.Par.Key[static_cast<size_t>(lay.Off[BlkPos] + k)] = 1;
  }
  a.Par.Val[static_cast<size_t>(lay.Off[BlkAdp])] = uiso;
  a.Par.Key[static_cast<size_t>(lay.Off[BlkAdp])] = 1;
  // After the last atom of the phase (atoms are ordered by phase, then part).
  auto& at = work.Model.Atom;
  auto pos = at.end();
  for (auto it = at.begin(); it != at.end(); ++it)
    if (it->Phase > phase) {
      pos = it;
      break;
    }
  at.insert(pos, std::move(a));
  SetBasicM40(work.Model);
  st = std::move(work);
  return 0;
}

int EM40DeleteAtoms(Structure& st, const std::vector<std::string>& list, std::string& why) {
  std::vector<int> sel;
  if (!Select(st, list, sel, why)) return 1;
  for (auto it = sel.rbegin(); it != sel.rend(); ++it)
    st.Model.Atom.erase(st.Model.Atom.begin() + *it);
  SetBasicM40(st.Model);
  return 0;
}

int EM40RenameAtom(Structure& st, std::string_view from, std::string_view to, std::string& why) {
  const int i = EM40FindAtom(st.Model, from);
  if (i < 0) {
    why = fmt::format("The atom \"{}\" is not in the structure.", from);
    return 1;
  }
  if (!ValidName(to)) {
    why = fmt::format("\"{}\" is not a valid atom name (1 to {} characters, a letter first).", to,
                      EM40MaxName);
    return 1;
  }
  const int j = EM40FindAtom(st.Model, to);
  if (j >= 0 && j != i) {
    why = fmt::format("The atom \"{}\" already exists.", to);
    return 1;
  }
  st.Model.Atom[static_cast<size_t>(i)].Name = std::string(to);
  return 0;
}

int EM40SetElement(Structure& st, const std::vector<std::string>& list, std::string_view element,
                   std::string& why) {
  std::vector<int> sel;
  if (!Select(st, list, sel, why)) return 1;
  Structure work = st;
  for (int i : sel) {
    AtomRec& a = work.Model.Atom[static_cast<size_t>(i)];
    const int t = EM40TypeOf(work, a.Phase, element, why);
    if (t == 0) return 1;
    a.Type = t;
  }
  st = std::move(work);
  return 0;
}

double EM40SiteFactor(const Structure& st, const AtomRec& a) {
  const PhaseBasic* ph = PhaseOf(st, a.Phase);
  if (!ph || ph->Symmetry.NSymm == 0) return 1.;
  const int o = AtomLayout(a.Shape).Off[BlkPos];
  double xs[6] = {a.Par.Val[static_cast<size_t>(o)],
                  a.Par.Val[static_cast<size_t>(o + 1)],
                  a.Par.Val[static_cast<size_t>(o + 2)],
                  0.,
                  0.,
                  0.};
  return 1. / std::max(1, SpecPos(xs, false, ph->Symmetry, ph->MetTens, nullptr, EM40SpecialTol));
}

double EM40Occupancy(const Structure& st, const AtomRec& a) {
  return a.Par.Val[static_cast<size_t>(AtomLayout(a.Shape).Off[BlkOcc])] / EM40SiteFactor(st, a);
}

int EM40SetOccupancy(Structure& st, const std::vector<std::string>& list, double occ,
                     std::string& why) {
  if (!(occ > 0.) || occ > 1.) {
    why = "The occupancy must be above 0 and at most 1.";
    return 1;
  }
  std::vector<int> sel;
  if (!Select(st, list, sel, why)) return 1;
  for (int i : sel) {
    AtomRec& a = st.Model.Atom[static_cast<size_t>(i)];
    a.Par.Val[static_cast<size_t>(AtomLayout(a.Shape).Off[BlkOcc])] = occ * EM40SiteFactor(st, a);
  }
  return 0;
}

double EM40Ueq(const PhaseBasic& p, const AtomRec& a) {
  const int o = AtomLayout(a.Shape).Off[BlkAdp];
  if (a.Shape.AdpOrder == 1) return a.Par.Val[static_cast<size_t>(o)];
  double s = 0.;
  for (int c = 0; c < 6; ++c)
    s += (c < 3 ? 1. : 2.) * a.Par.Val[static_cast<size_t>(o + c)] *
         p.MetTens[3 * kAx[c][0] + kAx[c][1]];
  return s / (6. * kPi * kPi);
}

int EM40MakeAniso(Structure& st, const std::vector<std::string>& list, std::string& why) {
  std::vector<int> sel;
  if (!Select(st, list, sel, why)) return 1;
  for (int i : sel) {
    AtomRec& a = st.Model.Atom[static_cast<size_t>(i)];
    if (a.Shape.AdpOrder != 1) continue;
    const PhaseBasic* p = PhaseOf(st, a.Phase);
    if (!p || !(p->CellVol > 0.)) {
      why = "The cell of the atom's phase is not known.";
      return 1;
    }
  }
  for (int i : sel) {
    AtomRec& a = st.Model.Atom[static_cast<size_t>(i)];
    if (a.Shape.AdpOrder != 1) continue;
    const PhaseBasic& p = *PhaseOf(st, a.Phase);
    const int o = AtomLayout(a.Shape).Off[BlkAdp];
    const double u = a.Par.Val[static_cast<size_t>(o)];
    const int key = a.Par.Key[static_cast<size_t>(o)];
    AtomShape s = a.Shape;
    s.AdpOrder = 2;
    ReallocateAtomParams(a, s);
    const int n = AtomLayout(a.Shape).Off[BlkAdp];
    // beta = 2 pi^2 U*, U* = Uiso G* for an isotropic tensor.
    for (int c = 0; c < 6; ++c) {
      const double b = 2. * kPi * kPi * u * p.MetTensI[3 * kAx[c][0] + kAx[c][1]];
      a.Par.Val[static_cast<size_t>(n + c)] = std::fabs(b) < 1e-12 ? 0. : b;
      a.Par.Key[static_cast<size_t>(n + c)] = key;
      a.Par.Sig[static_cast<size_t>(n + c)] = 0.;
    }
  }
  SetBasicM40(st.Model);
  return 0;
}

int EM40MakeIso(Structure& st, const std::vector<std::string>& list, std::string& why) {
  std::vector<int> sel;
  if (!Select(st, list, sel, why)) return 1;
  for (int i : sel) {
    AtomRec& a = st.Model.Atom[static_cast<size_t>(i)];
    if (a.Shape.AdpOrder == 1) continue;
    const PhaseBasic* p = PhaseOf(st, a.Phase);
    if (!p || !(p->CellVol > 0.)) {
      why = "The cell of the atom's phase is not known.";
      return 1;
    }
    const double ueq = EM40Ueq(*p, a);
    const int o = AtomLayout(a.Shape).Off[BlkAdp];
    const int key = a.Par.Key[static_cast<size_t>(o)];
    AtomShape s = a.Shape;
    s.AdpOrder = 1;
    for (int k = 3; k < NParKinds; ++k) s.NWave[static_cast<size_t>(k)] = 0;
    ReallocateAtomParams(a, s);
    const int n = AtomLayout(a.Shape).Off[BlkAdp];
    for (int c = 0; c < 6; ++c) {
      a.Par.Val[static_cast<size_t>(n + c)] = c == 0 ? ueq : 0.;
      a.Par.Key[static_cast<size_t>(n + c)] = c == 0 ? key : 0;
      a.Par.Sig[static_cast<size_t>(n + c)] = 0.;
    }
  }
  SetBasicM40(st.Model);
  return 0;
}

int EM40ResetKeys(Structure& st, const std::vector<std::string>& list, std::string& why) {
  std::vector<int> sel;
  if (!Select(st, list, sel, why)) return 1;
  for (int i : sel) {
    AtomRec& a = st.Model.Atom[static_cast<size_t>(i)];
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    std::fill(a.Par.Key.begin(), a.Par.Key.end(), 0);
    for (int k = 0; k < 3; ++k) a.Par.Key[static_cast<size_t>(lay.Off[BlkPos] + k)] = 1;
    const int nadp = a.Shape.AdpOrder == 1 ? 1 : 6;
    for (int k = 0; k < nadp; ++k) a.Par.Key[static_cast<size_t>(lay.Off[BlkAdp] + k)] = 1;
    a.FunKey = 0;
  }
  return 0;
}

void EM40SortAtoms(Structure& st) {
  auto weight = [&](const AtomRec& a) {
    const std::string el = EM40AtomElement(st, a);
    if (el == "H" || el == "D") return -1000;
    if (auto e = ScatElement(el)) return e->Z;
    return -a.Type;  // tables not loaded: the type order
  };
  std::stable_sort(st.Model.Atom.begin(), st.Model.Atom.end(),
                   [&](const AtomRec& a, const AtomRec& b) {
                     if (a.Phase != b.Phase) return a.Phase < b.Phase;
                     if (a.Part != b.Part) return a.Part < b.Part;
                     const int wa = weight(a), wb = weight(b);
                     if (wa != wb) return wa > wb;
                     return NaturalLess(a.Name, b.Name);
                   });
}

}  // namespace tarn
