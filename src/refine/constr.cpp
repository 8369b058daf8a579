#include "refine/constr.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/modfun.hpp"
#include "model/structure.hpp"
#include "refine/calc_mol.hpp"
#include "refine/constr_internal.hpp"
#include "refine/refcommands.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr const char* kCellNames[6] = {"a", "b", "c", "alpha", "beta", "gamma"};

// Site-symmetry block of an atom block; -1 for blocks without site rules.
int SiteKindOfBlock(int blk) {
  switch (blk) {
    case BlkOcc:
      return SpOcc;
    case BlkPos:
      return SpPos;
    case BlkAdp:
      return SpAdp;
    case BlkAnh3:
    case BlkAnh4:
    case BlkAnh5:
    case BlkAnh6:
      return SpAnh3 + blk - BlkAnh3;
    case BlkMag:
      return SpMag;
    case BlkOccWave:
      return SpOccWave;
    case BlkPosWave:
      return SpPosWave;
    case BlkAdpWave:
      return SpAdpWave;
    case BlkAnh3Wave:
    case BlkAnh4Wave:
    case BlkAnh5Wave:
    case BlkAnh6Wave:
      return SpAnh3Wave + blk - BlkAnh3Wave;
    case BlkMagWave:
      return SpMagWave;
    case BlkCrenel:
      return SpCrenel;
    case BlkSaw:
      return SpSaw;
    default:
      return -1;
  }
}

std::string AtomParName(const AtomRec& a, int blk, int i) {
  static constexpr const char* kCrenel[2] = {"x40", "delta"};
  static constexpr const char* kSaw[5] = {"uxsaw", "uysaw", "uzsaw", "x40saw", "deltasaw"};
  if (blk == BlkCrenel) return kCrenel[i];
  if (blk == BlkSaw) return kSaw[i];
  return SiteParName(SiteKindOfBlock(blk), i, a.Shape.AdpOrder);
}

}  // namespace

int AtomBlockOfSite(int kind) {
  for (int b = 0; b < NAtBlocks; ++b)
    if (SiteKindOfBlock(b) == kind) return b;
  return -1;
}

std::string RefEqNumber(double v) {
  std::string s = fmt::format("{:.6f}", v);
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  if (s == "-0") s = "0";
  return s;
}

std::string RefEqText(const RefParams& p, const RefEq& e) {
  std::string s = p.Info[static_cast<size_t>(e.Dep)].Label + "=";
  bool first = true;
  if (e.Const != 0. || e.Ind.empty()) {
    s += RefEqNumber(e.Const);
    first = false;
  }
  for (size_t i = 0; i < e.Ind.size(); ++i) {
    const double c = e.Coef[i];
    const std::string& l = p.Info[static_cast<size_t>(e.Ind[i])].Label;
    if (c < 0.)
      s += "-";
    else if (!first)
      s += "+";
    if (std::fabs(std::fabs(c) - 1.) > kTolEqCoef) s += RefEqNumber(std::fabs(c)) + "*";
    s += l;
    first = false;
  }
  return s;
}

void RefListLine(RefParams& p, std::string line, bool warning) {
  p.Listing.push_back(std::move(line));
  if (warning) ++p.NWarnings;
}

// ---------------------------------------------------------------- the list
void RefBuildParams(RefParams& p) {
  p = RefParams{};
  auto add = [&](int kind, int owner, int sub, int local, int block, std::string name,
                 std::string ownerName, double val, int key, double sig) {
    RefParInfo in;
    in.Kind = kind;
    in.Owner = owner;
    in.Sub = sub;
    in.Local = local;
    in.Block = block;
    in.Name = std::move(name);
    in.OwnerName = std::move(ownerName);
    // Harmonic ADPs are stored in M40 as beta_ij: listed as stored.
    const bool beta =
        kind == OwnAtom && block == BlkAdp && in.Name.size() == 3 && in.Name[0] == 'U';
    const std::string shown = beta ? "beta" + in.Name.substr(1) : in.Name;
    in.Label = in.OwnerName.empty() ? shown : shown + "[" + in.OwnerName + "]";
    p.Info.push_back(std::move(in));
    p.Val.push_back(val);
    p.Key.push_back(key);
    p.Sig.push_back(sig);
  };
  for (size_t ia = 0; ia < Struct.Model.Atom.size(); ++ia) {
    const AtomRec& a = Struct.Model.Atom[ia];
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    p.AtomBase.push_back(p.size());
    for (int b = 0; b < NAtBlocks; ++b)
      for (int i = 0; i < lay.Len[b]; ++i) {
        const size_t k = static_cast<size_t>(lay.Off[b] + i);
        const bool have = k < a.Par.Val.size();
        add(OwnAtom, static_cast<int>(ia), 0, lay.Off[b] + i, b, AtomParName(a, b, i), a.Name,
            have ? a.Par.Val[k] : 0., have ? a.Par.Key[k] : 0, have ? a.Par.Sig[k] : 0.);
      }
  }
  for (size_t im = 0; im < Struct.Model.Mol.size(); ++im) {
    const MoleculeRec& m = Struct.Model.Mol[im];
    const MolLayoutInfo lay = MolLayout(m.Shape);
    p.MolPosBase.emplace_back();
    for (size_t ip = 0; ip < m.Pos.size(); ++ip) {
      const MolPosRec& pos = m.Pos[ip];
      p.MolPosBase.back().push_back(p.size());
      for (int b = 0; b < NMolBlocks; ++b)
        for (int i = 0; i < lay.Len[b]; ++i) {
          const int k = lay.Off[b] + i;
          const bool have = k < pos.Par.size();
          std::string name = b <= MBlkS ? MolSiteParName(k) : fmt::format("p{}", k + 1);
          add(OwnMolPos, static_cast<int>(im), static_cast<int>(ip), k, b, std::move(name),
              pos.Name, have ? pos.Par.Val[static_cast<size_t>(k)] : 0.,
              have ? pos.Par.Key[static_cast<size_t>(k)] : 0,
              have ? pos.Par.Sig[static_cast<size_t>(k)] : 0.);
        }
    }
  }
  const bool oneBlock = Struct.Model.DatBlock.size() <= 1;
  for (size_t id = 0; id < Struct.Model.DatBlock.size(); ++id) {
    const DatBlockModel& d = Struct.Model.DatBlock[id];
    std::string owner;
    if (!oneBlock)
      owner = id < Struct.Basic.DatBlock.size() && !Struct.Basic.DatBlock[id].Name.empty()
                  ? Struct.Basic.DatBlock[id].Name
                  : fmt::format("DatBlock{}", id + 1);
    std::array<int, 4> base{};
    const ParList* lists[4] = {&d.Scale, &d.Ext, &d.Twin, &d.Lam};
    static constexpr const char* kPrefix[4] = {"sc", "ext", "twvol", "lam"};
    for (int g = 0; g < 4; ++g) {
      base[static_cast<size_t>(g)] = p.size();
      const ParList& l = *lists[g];
      // The contamination coefficients are named by the wavelength: lam2, lam3.
      for (int i = 0; i < l.size(); ++i)
        add(OwnDatBlock, static_cast<int>(id), g, i, g,
            fmt::format("{}{}", kPrefix[g], g == DatLam ? i + 2 : i + 1),
            owner, l.Val[static_cast<size_t>(i)], l.Key[static_cast<size_t>(i)],
            l.Sig[static_cast<size_t>(i)]);
    }
    p.DatBase.push_back(base);
  }
  const bool onePhase = Struct.Basic.Phase.size() <= 1;
  for (size_t ip = 0; ip < Struct.Basic.Phase.size(); ++ip) {
    const PhaseBasic& ph = Struct.Basic.Phase[ip];
    p.PhaseBase.push_back(p.size());
    const std::string owner =
        onePhase ? std::string() : (ph.Name.empty() ? fmt::format("Phase{}", ip + 1) : ph.Name);
    // Cell parameters carry no key in M40: they are kept unless switched on.
    for (int i = 0; i < 6; ++i)
      add(OwnPhase, static_cast<int>(ip), 0, i, 0, kCellNames[i], owner, ph.Cell[i], 0,
          ph.CellSU[i]);
  }
  p.DepOf.assign(p.Val.size(), -1);
  p.Map.assign(p.Val.size(), -1);
}

void RefStoreParams(const RefParams& p) {
  for (int i = 0; i < p.size(); ++i) {
    const RefParInfo& in = p.Info[static_cast<size_t>(i)];
    const double v = p.Val[static_cast<size_t>(i)], s = p.Sig[static_cast<size_t>(i)];
    ParList* l = nullptr;
    switch (in.Kind) {
      case OwnAtom:
        l = &Struct.Model.Atom[static_cast<size_t>(in.Owner)].Par;
        break;
      case OwnMolPos:
        l = &Struct.Model.Mol[static_cast<size_t>(in.Owner)].Pos[static_cast<size_t>(in.Sub)].Par;
        break;
      case OwnDatBlock: {
        DatBlockModel& d = Struct.Model.DatBlock[static_cast<size_t>(in.Owner)];
        l = in.Sub == DatScale ? &d.Scale
            : in.Sub == DatExt ? &d.Ext
            : in.Sub == DatTwin ? &d.Twin
                                : &d.Lam;
        break;
      }
      default: {
        PhaseBasic& ph = Struct.Basic.Phase[static_cast<size_t>(in.Owner)];
        ph.Cell[in.Local] = v;
        ph.CellSU[in.Local] = s;
        continue;
      }
    }
    if (in.Local < l->size()) {
      l->Val[static_cast<size_t>(in.Local)] = v;
      l->Sig[static_cast<size_t>(in.Local)] = s;
    }
  }
}

int RefParIndex(const RefParams& p, std::string_view par, std::string_view owner) {
  owner = Trim(owner);
  par = Trim(par);
  for (int i = 0; i < p.size(); ++i) {
    const RefParInfo& in = p.Info[static_cast<size_t>(i)];
    if (!EqIgnoreCase(in.Name, par)) continue;
    if (owner.empty()) {
      // Without an owner: the parameters of the first data block or phase.
      if ((in.Kind == OwnDatBlock || in.Kind == OwnPhase) && in.Owner == 0) return i;
      continue;
    }
    if (EqIgnoreCase(in.OwnerName, owner)) return i;
    if (in.OwnerName.empty() && (in.Kind == OwnDatBlock || in.Kind == OwnPhase)) {
      // The only data block or phase named explicitly.
      const std::string& n = in.Kind == OwnPhase
                                 ? Struct.Basic.Phase[static_cast<size_t>(in.Owner)].Name
                                 : (static_cast<size_t>(in.Owner) < Struct.Basic.DatBlock.size()
                                        ? Struct.Basic.DatBlock[static_cast<size_t>(in.Owner)].Name
                                        : std::string());
      if (!n.empty() && EqIgnoreCase(n, owner)) return i;
    }
  }
  return -1;
}

// ---------------------------------------------------------------- keys
void SetKeys(RefParams& p) {
  for (int i = 0; i < p.size(); ++i) {
    const RefParInfo& in = p.Info[static_cast<size_t>(i)];
    int& key = p.Key[static_cast<size_t>(i)];
    switch (in.Kind) {
      case OwnAtom:
        // Occupancies, crenel and sawtooth parameters are kept; positions,
        // displacement tensors, moments and wave amplitudes are refined.
        key = (in.Block == BlkOcc || in.Block == BlkCrenel || in.Block == BlkSaw) ? 0 : 1;
        // An isotropic atom keeps Uiso in the first of the six ADP slots; the
        // other five are unused and have no derivative.
        if (in.Block == BlkAdp) {
          const AtomRec& a = Struct.Model.Atom[static_cast<size_t>(in.Owner)];
          if (a.Shape.AdpOrder == 1 && in.Local != AtomLayout(a.Shape).Off[BlkAdp]) key = 0;
        }
        break;
      case OwnMolPos:
        // The position occupancy is kept; so is S33: only S minus its trace
        // changes the displacements (u = t + lambda x r), and with S33 kept
        // S11 and S22 still reach every determined combination.
        key =
            (in.Block == MBlkBase && in.Local == MpAi) || (in.Block == MBlkS && in.Local == MpS + 8)
                ? 0
                : 1;
        break;
      case OwnDatBlock:
        // The main scale, extinction values, and the twin fractions but the
        // first (their sum is one). The run itself switches the further scales
        // its reflections use and the contamination coefficients it corrects for.
        key = in.Sub == DatScale ? (in.Local == 0 ? 1 : 0)
              : in.Sub == DatExt ? 1
              : in.Sub == DatTwin ? (in.Local > 0)
                                  : 0;
        break;
      default:
        break;  // cell parameters belong to the powder keys
    }
  }
}

// ---------------------------------------------------------------- site symmetry
int RefSpecAt(RefParams& p) {
  p.SiteEq = SpecEquations{};
  for (size_t ip = 0; ip < Struct.Basic.Phase.size(); ++ip) {
    const PhaseBasic& ph = Struct.Basic.Phase[ip];
    SiteContext ctx;
    ctx.Symm = &ph.Symmetry;
    std::copy(std::begin(ph.MetTens), std::end(ph.MetTens), ctx.Metric.begin());
    if (ph.NComp > 1) ctx.WSub = ph.WMatrix;
    // Wave vectors of the phase; without them (d > 1) the calculation refuses the atoms.
    if (ip < Struct.Model.Phase.size()) {
      std::string err;
      if (ModWavesOfPhase(Struct.Model.Phase[ip], ph.NDim - 3, ctx.Kw, &err)) {
        ReportError(err);
        return 1;
      }
    }
    std::vector<SiteAtom> atoms;
    std::vector<int> index;
    for (size_t ia = 0; ia < Struct.Model.Atom.size(); ++ia) {
      const AtomRec& a = Struct.Model.Atom[ia];
      if (a.Phase != static_cast<int>(ip) + 1) continue;
      const AtomLayoutInfo lay = AtomLayout(a.Shape);
      SiteAtom s;
      s.Name = a.Name;
      for (int k = 0; k < 3; ++k)
        s.X[static_cast<size_t>(k)] =
            p.Val[static_cast<size_t>(p.AtomBase[ia] + lay.Off[BlkPos] + k)];
      s.Sub = a.Part - 1;
      s.AdpOrder = a.Shape.AdpOrder;
      s.Magnetic = a.Shape.MagPar > 0;
      for (int k = 0; k < 7; ++k)
        s.NWave[static_cast<size_t>(k)] = a.Shape.NWave[static_cast<size_t>(k)];
      s.NWave[7] = std::max(0, a.Shape.MagPar - 1);
      // Special functions: crenel and sawtooth centres, the orthogonal set's interval.
      auto val = [&](int blk, int i) {
        return p.Val[static_cast<size_t>(p.AtomBase[ia] + lay.Off[static_cast<size_t>(blk)] + i)];
      };
      s.Crenel = lay.Len[BlkCrenel] > 0;
      if (s.Crenel) s.CrenelX40 = val(BlkCrenel, 0);
      s.Saw = lay.Len[BlkSaw] > 0;
      if (s.Saw) s.SawX40 = val(BlkSaw, 3);
      s.FunType = a.FunType;
      s.FunX40 = a.FunVal[0];
      s.FunDelta = a.FunHasWidth ? a.FunVal[1] : (s.Crenel ? val(BlkCrenel, 1) : 1.);
      atoms.push_back(std::move(s));
    }
    if (atoms.empty()) continue;
    if (AtSpec(atoms, ctx, p.SiteEq) != 0) return 1;
  }
  return 0;
}

RefEq RefEqFromSite(const SpecEquation& se, int base) {
  RefEq q;
  q.Source = EqSymm;
  q.Dep = base + se.Dep;
  q.Const = se.Const;
  for (size_t i = 0; i < se.Ind.size(); ++i) {
    q.Ind.push_back(base + se.Ind[i]);
    q.Coef.push_back(se.Coef[i]);
  }
  return q;
}

void SetSpec(RefParams& p) {
  if (p.SiteEq.NEq > 0) RefListLine(p, std::string(constrmsg::SymmHead), false);
  for (int e = 0; e < p.SiteEq.NEq; ++e) {
    const SpecEquation& s = p.SiteEq.Eq[static_cast<size_t>(e)];
    if (s.Molecule) continue;  // molecule positions: rigid-body parameters not mapped here
    int atom = -1;
    for (size_t ia = 0; ia < Struct.Model.Atom.size(); ++ia)
      if (EqIgnoreCase(Struct.Model.Atom[ia].Name, s.Owner)) {
        atom = static_cast<int>(ia);
        break;
      }
    const int blk = AtomBlockOfSite(s.Kind);
    if (atom < 0 || blk < 0) continue;
    const AtomLayoutInfo lay = AtomLayout(Struct.Model.Atom[static_cast<size_t>(atom)].Shape);
    const int base = p.AtomBase[static_cast<size_t>(atom)] + lay.Off[blk];
    RefEq q = RefEqFromSite(s, base);
    q.Text = s.Text();
    RefListLine(p, q.Text, false);
    p.Eq.push_back(std::move(q));
  }
}

// ---------------------------------------------------------------- user equations
namespace {

// Reports a term that names no parameter; phase and data-block parameters
// with an unknown owner get their own message.
void ReportMissing(RefParams& p, const RefEqTerm& t, const std::string& text) {
  static constexpr const char* kDatNames[3] = {"sc", "ext", "twvol"};
  bool cell = false, dat = false;
  for (const char* n : kCellNames) cell = cell || EqIgnoreCase(t.Par, n);
  for (const char* n : kDatNames) dat = dat || StartsWithIgnoreCase(t.Par, n);
  if (!t.Owner.empty() && (cell || dat)) {
    RefListLine(
        p,
        fmt::format("{} \"{}\" {}", cell ? constrmsg::PhaseUndef1 : constrmsg::DatBlockUndef1,
                    t.Owner, constrmsg::Undef2),
        true);
    return;
  }
  RefListLine(p,
              fmt::format("{}{} : {}", constrmsg::ParMissing,
                          t.Owner.empty() ? t.Par : t.Par + "[" + t.Owner + "]", text),
              true);
  RefListLine(p, std::string(constrmsg::Omitted), false);
}

void SetEqFrom(RefParams& p, const std::vector<RefEquation>& eqs, bool adhoc) {
  bool head = false;
  for (const RefEquation& u : eqs) {
    if (u.AdHoc != adhoc) continue;
    if (!head && !adhoc) {
      RefListLine(p, std::string(constrmsg::UserHead), false);
      head = true;
    }
    RefEq q;
    q.Source = adhoc ? EqAdhoc : EqUser;
    q.Const = u.Const;
    q.Text = u.Text;
    bool ok = true;
    q.Dep = RefParIndex(p, u.Dep.Par, u.Dep.Owner);
    if (q.Dep < 0) {
      ReportMissing(p, u.Dep, u.Text);
      continue;
    }
    for (const RefEqTerm& t : u.Terms) {
      if (t.Par.empty()) {
        q.Const += t.Coef;
        continue;
      }
      const int j = RefParIndex(p, t.Par, t.Owner);
      if (j < 0) {
        ReportMissing(p, t, u.Text);
        ok = false;
        break;
      }
      q.Ind.push_back(j);
      q.Coef.push_back(t.Coef);
    }
    if (!ok) continue;
    if (!adhoc) RefListLine(p, RefEqText(p, q), false);
    p.Eq.push_back(std::move(q));
  }
}

}  // namespace

void SetEq(RefParams& p, const std::vector<RefEquation>& eqs) {
  SetEqFrom(p, eqs, false);
}
void RefSetEqAdhoc(RefParams& p, const std::vector<RefEquation>& eqs) {
  SetEqFrom(p, eqs, true);
}

// ---------------------------------------------------------------- fixed
bool RefWildMatch(std::string_view pat, std::string_view s) {
  size_t pi = 0, si = 0, star = std::string_view::npos, mark = 0;
  auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  while (si < s.size()) {
    if (pi < pat.size() && (pat[pi] == '?' || lower(pat[pi]) == lower(s[si]))) {
      ++pi;
      ++si;
    } else if (pi < pat.size() && pat[pi] == '*') {
      star = pi++;
      mark = si;
    } else if (star != std::string_view::npos) {
      pi = star + 1;
      si = ++mark;
    } else {
      return false;
    }
  }
  while (pi < pat.size() && pat[pi] == '*') ++pi;
  return pi == pat.size();
}

namespace {

// True when parameter block `blk` of an atom belongs to the fixed class.
bool AtomBlockInClass(int what, int blk) {
  switch (what) {
    case FixAll:
    case FixValue:
      return true;
    case FixXyz:
      return blk == BlkPos;
    case FixU:
      return blk == BlkAdp;
    case FixMod:
      return blk >= BlkCrenel && blk <= BlkMagWave;
    default:
      return false;
  }
}

}  // namespace

void SetFixed(RefParams& p, const std::vector<RefFixed>& fixed, int datBlock) {
  (void)datBlock;  // the classes of the atom model are common to all data blocks
  for (const RefFixed& f : fixed) {
    if (f.What == FixPol || f.What == FixX4) {
      RefFixOriginCommand(p, f);
      continue;
    }
    if (f.What == FixChDen) continue;
    for (const std::string& raw : f.Atoms) {
      const std::string name = raw.substr(0, raw.find('#'));
      bool individual = f.What == FixInd;
      if (f.What == FixValue) {
        // "fixed value" names parameters; a bare name may also be an atom.
        individual = name.find('[') != std::string::npos ||
                     std::none_of(p.Info.begin(), p.Info.end(), [&](const RefParInfo& in) {
                       return (in.Kind == OwnAtom || in.Kind == OwnMolPos) &&
                              RefWildMatch(name, in.OwnerName);
                     });
      }
      if (individual) {
        // Individual parameters "x[C1]" (wildcards allowed in the owner).
        const auto lb = name.find('['), rb = name.rfind(']');
        const std::string par = name.substr(0, lb);
        const std::string owner =
            lb == std::string::npos ? std::string() : name.substr(lb + 1, rb - lb - 1);
        for (int i = 0; i < p.size(); ++i) {
          const RefParInfo& in = p.Info[static_cast<size_t>(i)];
          if (!EqIgnoreCase(in.Name, par)) continue;
          if (!(owner.empty() ? in.OwnerName.empty() : RefWildMatch(owner, in.OwnerName))) continue;
          p.Key[static_cast<size_t>(i)] = 0;
          if (f.What == FixValue) p.Val[static_cast<size_t>(i)] = f.Value;
        }
        continue;
      }
      for (int i = 0; i < p.size(); ++i) {
        const RefParInfo& in = p.Info[static_cast<size_t>(i)];
        if (in.Kind != OwnAtom && in.Kind != OwnMolPos) continue;
        if (!RefWildMatch(name, in.OwnerName)) continue;
        const bool inClass = in.Kind == OwnAtom
                                 ? AtomBlockInClass(f.What, in.Block)
                                 : (f.What == FixAll || f.What == FixValue ||
                                    (f.What == FixXyz && in.Block == MBlkBase && in.Local >= 4) ||
                                    (f.What == FixMod && in.Block >= MBlkCrenel));
        if (!inClass) continue;
        p.Key[static_cast<size_t>(i)] = 0;
        if (f.What == FixValue) p.Val[static_cast<size_t>(i)] = f.Value;
      }
    }
  }
}

// ---------------------------------------------------------------- expansion
void RefSetMatrixLimits(RefParams& p) {
  const int n = p.size();
  p.Exp.clear();
  p.ExpSrc.clear();
  p.DepOf.assign(static_cast<size_t>(n), -1);
  // Accept each dependent once; later equations on the same parameter are skipped.
  std::vector<int> eqOf(static_cast<size_t>(n), -1);
  for (size_t e = 0; e < p.Eq.size(); ++e) {
    const RefEq& q = p.Eq[e];
    if (q.Source == EqAdhoc) continue;
    if (eqOf[static_cast<size_t>(q.Dep)] >= 0) {
      RefListLine(p, q.Text.empty() ? RefEqText(p, q) : q.Text, true);
      RefListLine(p, std::string(constrmsg::Skipped), false);
      continue;
    }
    eqOf[static_cast<size_t>(q.Dep)] = static_cast<int>(e);
  }
  // Expand every accepted equation over independent parameters.
  std::map<int, double> terms;
  for (size_t e = 0; e < p.Eq.size(); ++e) {
    const RefEq& q = p.Eq[e];
    if (q.Source == EqAdhoc || eqOf[static_cast<size_t>(q.Dep)] != static_cast<int>(e)) continue;
    terms.clear();
    double cst = q.Const;
    for (size_t i = 0; i < q.Ind.size(); ++i) terms[q.Ind[i]] += q.Coef[i];
    bool cycle = false;
    for (int round = 0;; ++round) {
      auto it = std::find_if(terms.begin(), terms.end(), [&](const auto& t) {
        return eqOf[static_cast<size_t>(t.first)] >= 0;
      });
      if (it == terms.end()) break;
      if (it->first == q.Dep || round > static_cast<int>(p.Eq.size())) {
        cycle = true;
        break;
      }
      const RefEq& sub = p.Eq[static_cast<size_t>(eqOf[static_cast<size_t>(it->first)])];
      const double c = it->second;
      terms.erase(it);
      cst += c * sub.Const;
      for (size_t i = 0; i < sub.Ind.size(); ++i) terms[sub.Ind[i]] += c * sub.Coef[i];
    }
    if (cycle || terms.count(q.Dep)) {
      eqOf[static_cast<size_t>(q.Dep)] = -1;
      RefListLine(p, q.Text.empty() ? RefEqText(p, q) : q.Text, true);
      RefListLine(p, std::string(constrmsg::Skipped), false);
      continue;
    }
    RefEq x;
    x.Source = q.Source;
    x.Dep = q.Dep;
    x.Const = cst;
    x.Text = q.Text.empty() ? RefEqText(p, q) : q.Text;
    for (const auto& [j, c] : terms)
      if (std::fabs(c) > kTolEqCoef) {
        x.Ind.push_back(j);
        x.Coef.push_back(c);
      }
    p.DepOf[static_cast<size_t>(q.Dep)] = static_cast<int>(p.Exp.size());
    p.Exp.push_back(std::move(x));
    p.ExpSrc.push_back(static_cast<int>(e));
  }
  // The refined list: keys on and not dependent.
  p.Map.assign(static_cast<size_t>(n), -1);
  p.Refined.clear();
  for (int i = 0; i < n; ++i) {
    const int k = p.Key[static_cast<size_t>(i)];
    if (p.DepOf[static_cast<size_t>(i)] >= 0 || k == 0 || k == -2) continue;
    p.Map[static_cast<size_t>(i)] = static_cast<int>(p.Refined.size());
    p.Refined.push_back(i);
  }
  p.NRef = static_cast<int>(p.Refined.size());
  p.NMatrix = static_cast<long long>(p.NRef) * (p.NRef + 1) / 2;
  // Dependent parameters are not refined by themselves.
  for (const RefEq& x : p.Exp) p.Key[static_cast<size_t>(x.Dep)] = 0;
  // The current values must fulfil the equations.
  for (RefEq& x : p.Exp) {
    double v = x.Const;
    for (size_t i = 0; i < x.Ind.size(); ++i) v += x.Coef[i] * p.Val[static_cast<size_t>(x.Ind[i])];
    double& d = p.Val[static_cast<size_t>(x.Dep)];
    if (std::fabs(d - v) > kTolEqFulfilled * std::max(1., std::fabs(d))) {
      RefListLine(p, std::string(constrmsg::NotFulfilled) + x.Text, false);
    }
    d = v;
  }
}

// ---------------------------------------------------------------- cycles
void RefDerCompress(const RefParams& p, const double* der, double* derc) {
  for (int k = 0; k < p.NRef; ++k) derc[k] = der[p.Refined[static_cast<size_t>(k)]];
  for (const RefEq& x : p.Exp) {
    const double dd = der[x.Dep];
    if (dd == 0.) continue;
    for (size_t i = 0; i < x.Ind.size(); ++i) {
      const int m = p.Map[static_cast<size_t>(x.Ind[i])];
      if (m >= 0) derc[m] += x.Coef[i] * dd;
    }
  }
}

void refderuncompress(const RefParams& p, const double* sc, double* s) {
  std::fill(s, s + p.size(), 0.);
  for (int k = 0; k < p.NRef; ++k) s[p.Refined[static_cast<size_t>(k)]] = sc[k];
  for (const RefEq& x : p.Exp) {
    double v = 0.;
    for (size_t i = 0; i < x.Ind.size(); ++i) {
      const int m = p.Map[static_cast<size_t>(x.Ind[i])];
      if (m >= 0) v += x.Coef[i] * sc[m];
    }
    s[x.Dep] = v;
  }
}

void RefAppEq(RefParams& p) {
  for (const RefEq& x : p.Exp) {
    double v = x.Const;
    for (size_t i = 0; i < x.Ind.size(); ++i) v += x.Coef[i] * p.Val[static_cast<size_t>(x.Ind[i])];
    p.Val[static_cast<size_t>(x.Dep)] = v;
  }
  if (!p.Rigid.empty()) refkeepgrigidupdate(p);
  if (!p.Hydro.empty()) RefPlaceHydrogens(p);
}

void refappeqadhoc(RefParams& p) {
  for (const RefEq& q : p.Eq) {
    if (q.Source != EqAdhoc) continue;
    double v = q.Const;
    for (size_t i = 0; i < q.Ind.size(); ++i) v += q.Coef[i] * p.Val[static_cast<size_t>(q.Ind[i])];
    p.Val[static_cast<size_t>(q.Dep)] = v;
  }
}

// ---------------------------------------------------------------- preparation
int RefPrelimConstr(RefParams& p, const RefSettings& s) {
  const RefValues& run = s.Run;
  RefBuildParams(p);
  if (run.I(RkAutSpec) == 1 && RefSpecAt(p) != 0) return 1;
  if (run.I(RkAutKeys) == 1) SetKeys(p);
  if (!s.Keep.empty()) refkeepgrigidsetki(p, s.Keep);
  SetSpec(p);
  if (run.I(RkAutSpec) == 1) RefSpecAtMol(p);
  if (!s.Equation.empty()) {
    SetEq(p, s.Equation);
    RefSetEqAdhoc(p, s.Equation);
  }
  if (!s.Restric.empty()) SetRes(p, s.Restric);
  if (!s.Keep.empty()) RefSetKeep(p, s.Keep);
  reffixoriginreset(p);
  for (int d = 0; d < std::max<int>(1, static_cast<int>(Struct.Model.DatBlock.size())); ++d)
    SetFixed(p, s.Fixed, d);
  if (!s.Keep.empty()) RefSetKeep(p, s.Keep);
  // Electroneutrality: the atom model defines no valence populations yet.
  if (run.I(RkAutEln) > 0) RefPopv(p, {}, {}, 0., PopvEquation, run.I(RkAutEln) == 2);
  RefSetMatrixLimits(p);
  refkeepgrigidupdate(p);
  RefFixOrigin(p);
  return 0;
}

}  // namespace tarn
