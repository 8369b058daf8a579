#include "model/batch_edit.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "util/strings.hpp"
#include "util/numbers.hpp"

namespace tarn {

namespace {

// Largest monochromator angle accepted, degrees.
constexpr double kMaxMonAngle = 180.;

// Component names of a symmetric second-order tensor in the stored order.
constexpr std::string_view kTensorComp[6] = {"11", "22", "33", "12", "13", "23"};
// Index pairs (0-based axes) of the components above.
constexpr int kTensorAxes[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
// Values of a molecule position's base block, in stored order.
constexpr std::string_view kMolBase[7] = {"ai", "phi", "chi", "psi", "tx", "ty", "tz"};

// Index of "U11".."U23" style names after the prefix, or -1.
int TensorIndex(std::string_view par, std::string_view prefix) {
  if (par.size() != prefix.size() + 2 || !StartsWithIgnoreCase(par, prefix)) return -1;
  auto comp = par.substr(prefix.size());
  for (int k = 0; k < 6; ++k)
    if (comp == kTensorComp[k]) return k;
  return -1;
}

const PhaseBasic* PhaseOf(const BasicData& b, int phase) {
  if (phase < 1 || phase > static_cast<int>(b.Phase.size())) return nullptr;
  return &b.Phase[phase - 1];
}

// Atom or molecule position of the name: current phase first.
template <class Fn>
bool FindByPhase(int n, int kphase, Fn&& matchPhase) {
  for (int pass = 0; pass < 2; ++pass)
    for (int i = 0; i < n; ++i)
      if (matchPhase(i, pass == 0 ? kphase : 0)) return true;
  return false;
}

// Offset of the named parameter in the atom's list (an ADP component in any
// of its spellings gives its stored place), or -1.
int AtomParOffset(const AtomRec& a, std::string_view par) {
  const AtomLayoutInfo lay = AtomLayout(a.Shape);
  if (a.Par.size() < lay.NPar) return -1;  // not completed by SetBasicM40
  if (EqIgnoreCase(par, "ai")) return lay.Off[BlkOcc];
  for (int k = 0; k < 3; ++k)
    if (EqIgnoreCase(par, std::string_view("xyz" + k, 1))) return lay.Off[BlkPos] + k;
  const bool iso = a.Shape.AdpOrder == 1;
  if (EqIgnoreCase(par, "Uiso") || EqIgnoreCase(par, "Biso")) return iso ? lay.Off[BlkAdp] : -1;
  int k = TensorIndex(par, "U");
  if (k < 0) k = TensorIndex(par, "beta");
  return k >= 0 && !iso ? lay.Off[BlkAdp] + k : -1;
}

int SetAtomPar(AtomRec& a, const BasicData& b, std::string_view par, double v) {
  const int off = AtomParOffset(a, par);
  if (off < 0) return BatchEditUnknown;
  if (EqIgnoreCase(par, "Uiso") || EqIgnoreCase(par, "Biso")) {
    if (v < 0.) return BatchEditBadValue;
    // B = 8 pi^2 U (Trueblood et al., Acta Cryst. A52 (1996) 770).
    a.Par.Val[off] = EqIgnoreCase(par, "Biso") ? v / (8. * kPi * kPi) : v;
    return BatchEditOk;
  }
  const int u = TensorIndex(par, "U"), comp = std::max(u, TensorIndex(par, "beta"));
  if (comp >= 0 && comp < 3 && v < 0.) return BatchEditBadValue;  // diagonal terms are mean squares
  if (u >= 0) {
    const PhaseBasic* ph = PhaseOf(b, a.Phase);
    if (!ph || !(ph->CellR[0] > 0.)) return BatchEditUnknown;  // no cell to convert with
    v = UToBeta(*ph, u, v);
  }
  a.Par.Val[off] = v;
  return BatchEditOk;
}

int MolParOffset(const MolPosRec& p, const MolShape& shape, std::string_view par) {
  const MolLayoutInfo lay = MolLayout(shape);
  if (p.Par.size() < lay.NPar) return -1;
  for (int k = 0; k < 7; ++k)
    if (EqIgnoreCase(par, kMolBase[k])) return lay.Off[MBlkBase] + k;
  return -1;
}

}  // namespace

double UToBeta(const PhaseBasic& p, int comp, double u) {
  const int i = kTensorAxes[comp][0], j = kTensorAxes[comp][1];
  return 2. * kPi * kPi * p.CellR[i] * p.CellR[j] * u;
}
double BetaToU(const PhaseBasic& p, int comp, double beta) {
  const int i = kTensorAxes[comp][0], j = kTensorAxes[comp][1];
  return beta / (2. * kPi * kPi * p.CellR[i] * p.CellR[j]);
}

int EM40SetParameter(AtomModel& m, const BasicData& b, int kphase, int kdatblock,
                     std::string_view name, double value) {
  if (!std::isfinite(value)) return BatchEditBadValue;
  name = Trim(name);
  // "refine.NAME = 1|0": the refinement key of the value NAME.
  const bool key = StartsWithIgnoreCase(name, "refine.");
  if (key) name = name.substr(7);
  if (key && value != 0. && value != 1.) return BatchEditBadValue;
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    // Of the current data block: scales sc1, sc2, ... and the lambda/2 and
    // lambda/3 contamination coefficients lam2, lam3 (the list of the two is
    // created on the first one set).
    if (kdatblock < 1 || kdatblock > static_cast<int>(m.DatBlock.size())) return BatchEditUnknown;
    DatBlockModel& db = m.DatBlock[kdatblock - 1];
    ParList* list = nullptr;
    int slot = -1;
    if (EqIgnoreCase(name, "lam2") || EqIgnoreCase(name, "lam3")) {
      list = &db.Lam;
      slot = name[3] - '2';
    } else if (name.size() >= 3 && StartsWithIgnoreCase(name, "sc") && name[2] != '+' &&
               name[2] != '-') {
      auto n = ToInt(name.substr(2));
      if (!n || *n < 1 || *n > db.Scale.size()) return BatchEditUnknown;
      list = &db.Scale;
      slot = *n - 1;
    } else {
      return BatchEditUnknown;
    }
    if (!key && value < 0.) return BatchEditBadValue;
    if (list->size() <= slot) list->resize(2);
    if (key)
      list->Key[static_cast<size_t>(slot)] = static_cast<int>(value);
    else
      list->Val[static_cast<size_t>(slot)] = value;
    return BatchEditOk;
  }
  const auto who = name.substr(0, dot), par = name.substr(dot + 1);
  if (who.empty() || par.empty()) return BatchEditUnknown;
  int found = -1;
  FindByPhase(static_cast<int>(m.Atom.size()), kphase, [&](int i, int phase) {
    const auto& a = m.Atom[i];
    if ((phase && a.Phase != phase) || !EqIgnoreCase(a.Name, who)) return false;
    found = i;
    return true;
  });
  // A key is set on the stored value, whatever spelling names it.
  auto setKey = [&](ParList& l, int off) {
    if (off < 0) return static_cast<int>(BatchEditUnknown);
    l.Key[static_cast<size_t>(off)] = static_cast<int>(value);
    return static_cast<int>(BatchEditOk);
  };
  if (found >= 0)
    return key ? setKey(m.Atom[found].Par, AtomParOffset(m.Atom[found], par)) : SetAtomPar(m.Atom[found], b, par, value);
  int mol = -1, pos = -1;
  FindByPhase(static_cast<int>(m.Mol.size()), kphase, [&](int i, int phase) {
    const auto& mo = m.Mol[i];
    if (phase && mo.Phase != phase) return false;
    for (size_t j = 0; j < mo.Pos.size(); ++j)
      if (EqIgnoreCase(mo.Pos[j].Name, who)) {
        mol = i;
        pos = static_cast<int>(j);
        return true;
      }
    return false;
  });
  if (mol < 0) return BatchEditUnknown;
  MolPosRec& mp = m.Mol[mol].Pos[pos];
  const int off = MolParOffset(mp, m.Mol[mol].Shape, par);
  if (key) return setKey(mp.Par, off);
  if (off < 0) return BatchEditUnknown;
  mp.Par.Val[static_cast<size_t>(off)] = value;
  return BatchEditOk;
}

int EM50SetRadiation(DatBlockBasic& d, std::string_view key, double v) {
  if (!std::isfinite(v)) return BatchEditBadValue;
  auto is = [&](std::string_view k) { return EqIgnoreCase(key, k); };
  if (is("lambda") || is("kalpha1") || is("kalpha2")) {
    if (!(v > 0.)) return BatchEditBadValue;
    if (is("lambda")) {
      d.Lambda = d.KAlpha1 = d.KAlpha2 = v;
    } else {
      (is("kalpha1") ? d.KAlpha1 : d.KAlpha2) = v;
    }
    return BatchEditOk;
  }
  if (is("radtype") || is("lpfactor")) {
    const double r = std::round(v);
    if (std::fabs(r) > 1e6) return BatchEditBadValue;
    if (is("radtype")) {
      if (r < 1 || r > 3) return BatchEditBadValue;  // 1 X-ray, 2 neutron, 3 electron
      d.Radiation = static_cast<int>(r);
    } else {
      d.LpFactor = static_cast<int>(r);
    }
    return BatchEditOk;
  }
  if (is("monangle")) {
    if (std::fabs(v) > kMaxMonAngle) return BatchEditBadValue;
    d.MonAngle = v;
    return BatchEditOk;
  }
  if (is("kalphar")) {
    if (v < 0.) return BatchEditBadValue;
    d.KAlphaR = v;
    return BatchEditOk;
  }
  if (is("perfmono")) {
    if (v < 0. || v > 1.) return BatchEditBadValue;
    d.PerfMono = v;
    return BatchEditOk;
  }
  return BatchEditUnknown;
}

}  // namespace tarn
