// Restrictions between atoms and keep commands (hydrogen placement, ADP riding).
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <set>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"
#include "refine/constr_internal.hpp"
#include "refine/refcommands.hpp"
#include "refine/refine_listing.hpp"
#include "util/numbers.hpp"
#include "util/perpendicular.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Ideal angles of hydrogen placement, degrees.
constexpr double kTetraAngle = 109.4712206;  // acos(-1/3)
constexpr double kTrigAngle = 120.;

}  // namespace

int FindAtomIndex(std::string_view name) {
  const std::string_view bare = name.substr(0, name.find('#'));
  for (size_t i = 0; i < Struct.Model.Atom.size(); ++i)
    if (EqIgnoreCase(Struct.Model.Atom[i].Name, bare)) return static_cast<int>(i);
  return -1;
}

// First parameter of block blk of atom a in the full vector.
int AtOff(const RefParams& p, int a, int blk) {
  return p.AtomBase[static_cast<size_t>(a)] +
         AtomLayout(Struct.Model.Atom[static_cast<size_t>(a)].Shape).Off[static_cast<size_t>(blk)];
}
int AtLen(int a, int blk) {
  return AtomLayout(Struct.Model.Atom[static_cast<size_t>(a)].Shape).Len[static_cast<size_t>(blk)];
}

bool IsDependent(const RefParams& p, int i) {
  return std::any_of(p.Eq.begin(), p.Eq.end(),
                     [&](const RefEq& q) { return q.Dep == i && q.Source != EqAdhoc; });
}

bool AddEq(RefParams& p, int source, int dep, double cst, std::vector<int> ind,
           std::vector<double> coef) {
  if (IsDependent(p, dep)) return false;
  RefEq q;
  q.Source = source;
  q.Dep = dep;
  q.Const = cst;
  q.Ind = std::move(ind);
  q.Coef = std::move(coef);
  q.Text = RefEqText(p, q);
  p.Eq.push_back(std::move(q));
  return true;
}

const PhaseBasic& PhaseOfAtom(int a) {
  const int ph = std::clamp(Struct.Model.Atom[static_cast<size_t>(a)].Phase, 1,
                            std::max<int>(1, static_cast<int>(Struct.Basic.Phase.size())));
  return Struct.Basic.Phase[static_cast<size_t>(ph - 1)];
}

// Fractional -> Cartesian: a along x, b in the xy plane (Vol. B, 3.3.1.1.1).
Eigen::Matrix3d OrthoMatrix(const PhaseBasic& ph) {
  return ToEigen(RefOrthoMatrix(ph.Cell));
}

void RefSymmPartOp(const PhaseBasic& ph, std::string_view part, Mat3& r, std::array<double, 3>& t) {
  r = {1., 0., 0., 0., 1., 0., 0., 0., 1.};
  t = {0., 0., 0.};
  if (part.empty()) return;
  const PhaseSymmetry& ps = ph.Symmetry;
  size_t p = 1;  // after 's'
  auto number = [&]() -> double {
    size_t b = p;
    while (p < part.size() && part[p] != ',' &&
           std::tolower(static_cast<unsigned char>(part[p])) != 'c' &&
           std::tolower(static_cast<unsigned char>(part[p])) != 't')
      ++p;
    const std::string_view w = part.substr(b, p - b);
    const auto slash = w.find('/');
    if (slash == std::string_view::npos) return ToReal(w).value_or(0.);
    const double den = ToReal(w.substr(slash + 1)).value_or(1.);
    return den != 0. ? ToReal(w.substr(0, slash)).value_or(0.) / den : 0.;
  };
  const int op = static_cast<int>(number()) - 1;
  if (op >= 0 && op < ps.NSymm) {
    const SymmOp& o = ps.Op[static_cast<size_t>(op)];
    for (int i = 0; i < 3; ++i) {
      t[static_cast<size_t>(i)] = o.S6[static_cast<size_t>(i)];
      for (int j = 0; j < 3; ++j)
        r[static_cast<size_t>(3 * i + j)] = o.RM[static_cast<size_t>(3 * i + j)];
    }
  }
  if (p < part.size() && std::tolower(static_cast<unsigned char>(part[p])) == 'c') {
    ++p;
    const int c = static_cast<int>(number()) - 1;
    if (c >= 0 && c < ps.NLattVec)
      for (int i = 0; i < 3; ++i)
        t[static_cast<size_t>(i)] += ps.VT6[static_cast<size_t>(c)][static_cast<size_t>(i)];
  }
  if (p < part.size() && std::tolower(static_cast<unsigned char>(part[p])) == 't') {
    ++p;
    for (int i = 0; i < 3 && p <= part.size(); ++i) {
      t[static_cast<size_t>(i)] += number();
      if (p < part.size() && part[p] == ',')
        ++p;
      else
        break;
    }
  }
}

namespace {

// Applies the symmetry part "s<op>[c<centring>][t<t1>,...]" to a position.
Eigen::Vector3d ApplySymmPart(const PhaseBasic& ph, std::string_view part, Eigen::Vector3d x) {
  Mat3 r;
  Vec3 t;
  RefSymmPartOp(ph, part, r, t);
  return ToEigen(r) * x + Eigen::Vector3d(t[0], t[1], t[2]);
}

Eigen::Vector3d AtomX(const RefParams& p, int a) {
  const int o = AtOff(p, a, BlkPos);
  return {p.Val[static_cast<size_t>(o)], p.Val[static_cast<size_t>(o + 1)],
          p.Val[static_cast<size_t>(o + 2)]};
}

// Restriction group text; g as decoded, modulated when any member has waves.
std::string_view GroupText(int g, bool modulated) {
  switch (g) {
    case 1:
      return " ... coordinates, ADP and modulations";
    case 2:
      return modulated ? " ... ADP and modulations" : " ... ADP";
    case 3:
      return " ... ADP";
    default:
      return modulated ? " ... without restriction on coordinates, ADP and modulations parameters"
                       : " ... without restriction on coordinates and ADP";
  }
}
// Charge-density groups by h (bit 1 valence populations, 2 kappas, 4 kappas').
constexpr std::string_view kChDenText[8] = {"",
                                            " ... valence populations",
                                            " ... kappas",
                                            " ... valence populations and kappas",
                                            " ... kappas'",
                                            " ... valence populations and kappas'",
                                            " ... kappas and kappas'",
                                            " ... valence populations, kappas and kappas'"};

bool BlockInGroup(int g, int blk) {
  const bool adp = blk >= BlkAdp && blk <= BlkAnh6;
  const bool mod = blk == BlkSaw || blk == BlkPosWave || (blk >= BlkAdpWave && blk <= BlkAnh6Wave);
  switch (g) {
    case 1:
      return blk == BlkPos || adp || mod;
    case 2:
      return adp || mod;
    case 3:
      return adp;
    default:
      return false;
  }
}

}  // namespace

// ---------------------------------------------------------------- restrictions
void SetRes(RefParams& p, const std::vector<RefRestric>& restric) {
  for (const RefRestric& r : restric) {
    // Members: atoms, or molecule positions (occupancy only).
    std::vector<int> atom, occ;
    bool missing = false;
    std::string names;
    for (const std::string& m : r.Members) {
      names += " " + m;
      const int a = FindAtomIndex(m);
      int o = a >= 0 ? AtOff(p, a, BlkOcc) : -1;
      if (a < 0)
        for (int i = 0; i < p.size() && o < 0; ++i) {
          const RefParInfo& in = p.Info[static_cast<size_t>(i)];
          if (in.Kind == OwnMolPos && in.Block == MBlkBase && in.Local == 0 &&
              EqIgnoreCase(in.OwnerName, m))
            o = i;
        }
      if (o < 0) {
        RefListLine(p, m + std::string(constrmsg::NotOnM40), true);
        RefListLine(p, std::string(constrmsg::RestrSkipped), false);
        missing = true;
        break;
      }
      atom.push_back(a);
      occ.push_back(o);
    }
    if (missing || occ.size() < 2) continue;
    const bool allAtoms = std::all_of(atom.begin(), atom.end(), [](int a) { return a >= 0; });
    bool modulated = false, magnetic = false;
    for (int a : atom)
      if (a >= 0) {
        const AtomShape& s = Struct.Model.Atom[static_cast<size_t>(a)].Shape;
        for (int w : s.NWave) modulated = modulated || w > 0;
        modulated = modulated || s.Flag[0] == 1 || s.Flag[1] == 1;
        magnetic = magnetic || s.MagPar > 0;
      }
    // Parameter groups of the second and further members from the first.
    const int g = allAtoms ? r.Group : 4;
    const int extra = allAtoms ? r.Extra : 0;
    if (g != 4 || extra != 0) {
      std::string what = g != 4 ? std::string(GroupText(g, modulated)) : std::string();
      if (extra != 0)
        what += magnetic ? std::string(" ... magnetic waves k=0")
                         : std::string(kChDenText[static_cast<size_t>(extra & 7)]);
      RefListLine(p, fmt::format("{}{}{} {}", constrmsg::Restr, names, what, constrmsg::Generated),
                  false);
      for (int blk = 0; blk < NAtBlocks; ++blk) {
        const bool mag = magnetic && extra != 0 &&
                         ((blk == BlkMag && (extra & 1)) || (blk == BlkMagWave && (extra & 6)));
        if (!BlockInGroup(g, blk) && !mag) continue;
        const int len = AtLen(atom[0], blk);
        for (size_t k = 1; k < atom.size(); ++k) {
          if (AtLen(atom[k], blk) != len) {
            RefListLine(p,
                        fmt::format("{}{} {}", constrmsg::BlockMismatch,
                                    Struct.Model.Atom[static_cast<size_t>(atom[0])].Name,
                                    Struct.Model.Atom[static_cast<size_t>(atom[k])].Name),
                        true);
            continue;
          }
          const int o0 = AtOff(p, atom[0], blk), ok = AtOff(p, atom[k], blk);
          for (int i = 0; i < len; ++i) AddEq(p, EqRestric, ok + i, 0., {o0 + i}, {1.});
        }
      }
    }
    if (r.Occ == OccFree) continue;
    // Occupancies and occupation waves.
    const std::string head = fmt::format("{}{}{}", constrmsg::OccRestr, names,
                                         g == 4 ? GroupText(4, modulated) : std::string_view());
    if (r.Occ == OccIdentical) {
      RefListLine(p, head + std::string(constrmsg::KeptIdentical), false);
      for (size_t k = 1; k < occ.size(); ++k) {
        AddEq(p, EqRestric, occ[k], 0., {occ[0]}, {1.});
        if (atom[0] >= 0 && atom[k] >= 0 &&
            AtLen(atom[k], BlkOccWave) == AtLen(atom[0], BlkOccWave))
          for (int i = 0; i < AtLen(atom[0], BlkOccWave); ++i)
            AddEq(p, EqRestric, AtOff(p, atom[k], BlkOccWave) + i, 0.,
                  {AtOff(p, atom[0], BlkOccWave) + i}, {1.});
      }
      continue;
    }
    // Sum kept to its value at the start: last = S - sum of the others.
    double sum = 0.;
    for (int o : occ) sum += p.Val[static_cast<size_t>(o)];
    RefListLine(p, fmt::format("{}{} {}", head, constrmsg::SumKept, RefEqNumber(sum)), false);
    const size_t last = occ.size() - 1;
    std::vector<int> ind(occ.begin(), occ.end() - 1);
    AddEq(p, EqRestric, occ[last], sum, ind, std::vector<double>(ind.size(), -1.));
    if (r.Occ == OccComplementary && allAtoms) {
      // Complementary occupation waves: their sum vanishes.
      const int len = AtLen(atom[last], BlkOccWave);
      bool same = true;
      for (int a : atom) same = same && AtLen(a, BlkOccWave) == len;
      if (same)
        for (int i = 0; i < len; ++i) {
          std::vector<int> wi;
          for (size_t k = 0; k < last; ++k) wi.push_back(AtOff(p, atom[k], BlkOccWave) + i);
          AddEq(p, EqRestric, AtOff(p, atom[last], BlkOccWave) + i, 0., wi,
                std::vector<double>(wi.size(), -1.));
        }
    }
  }
}

// ---------------------------------------------------------------- keep commands
void RefPlaceHydro(RefParams& p, const RefHydro& h) {
  const PhaseBasic& ph = PhaseOfAtom(h.Central);
  const Eigen::Matrix3d m = OrthoMatrix(ph);
  const Eigen::Matrix3d mi = m.inverse();
  const Eigen::Vector3d xc = m * AtomX(p, h.Central);
  std::vector<Eigen::Vector3d> nb, nu;  // neighbour positions, unit bond vectors X->N
  for (size_t i = 0; i < h.Neigh.size(); ++i) {
    nb.push_back(m * ApplySymmPart(ph, h.NeighSymm[i], AtomX(p, h.Neigh[i])));
    const Eigen::Vector3d d = nb.back() - xc;
    nu.push_back(d.norm() > kTolHydroDegenerate ? Eigen::Vector3d(d.normalized())
                                                : Eigen::Vector3d::UnitX());
  }
  // Reference direction for the free rotation about a single bond: the
  // current direction of the first hydrogen.
  auto refPerp = [&](const Eigen::Vector3d& axis) {
    Eigen::Vector3d r = m * AtomX(p, h.H[0]) - xc;
    r -= r.dot(axis) * axis;
    return r.norm() > kTolHydroDegenerate ? Eigen::Vector3d(r.normalized()) : AnyPerp(axis);
  };
  std::vector<Eigen::Vector3d> dir;
  const int nn = static_cast<int>(nu.size());
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  for (const auto& u : nu) sum += u;
  auto away = [&]() {
    return sum.norm() > kTolHydroDegenerate ? Eigen::Vector3d(-sum.normalized()) : AnyPerp(nu[0]);
  };
  if (h.Sub == KeepApical && nn >= 3) {
    // Along the normal of the neighbours' plane, away from their centroid.
    Eigen::Vector3d nrm = (nb[1] - nb[0]).cross(nb[2] - nb[0]);
    const Eigen::Vector3d cen = (nb[0] + nb[1] + nb[2]) / 3.;
    if (nrm.norm() <= kTolHydroDegenerate) nrm = away();
    nrm.normalize();
    if (nrm.dot(xc - cen) < 0.) nrm = -nrm;
    dir.push_back(nrm);
  } else if (nn == 1) {
    // Cone about the bond: H-X-N the ideal angle, hydrogens evenly spread.
    const Eigen::Vector3d axis = -nu[0];
    const double ang = (180. - (h.Sub == KeepTetrahed ? kTetraAngle : kTrigAngle)) * kDeg;
    const Eigen::Vector3d e1 = refPerp(axis), e2 = axis.cross(e1);
    const double step = 2. * kPi / (h.Sub == KeepTetrahed ? 3. : 2.);
    for (size_t j = 0; j < h.H.size(); ++j) {
      const double phi = step * static_cast<double>(j);
      dir.push_back(std::cos(ang) * axis +
                    std::sin(ang) * (std::cos(phi) * e1 + std::sin(phi) * e2));
    }
  } else if (nn == 2 && h.Sub == KeepTetrahed) {
    // In the plane bisecting N-X-N, H-X-H the tetrahedral angle.
    const Eigen::Vector3d b = away();
    Eigen::Vector3d n = nu[0].cross(nu[1]);
    n = n.norm() > kTolHydroDegenerate ? Eigen::Vector3d(n.normalized()) : AnyPerp(b);
    const double half = 0.5 * kTetraAngle * kDeg;
    dir.push_back(std::cos(half) * b + std::sin(half) * n);
    dir.push_back(std::cos(half) * b - std::sin(half) * n);
  } else {
    dir.push_back(away());  // opposite to the sum of the bonds
  }
  for (size_t j = 0; j < h.H.size() && j < dir.size(); ++j) {
    const Eigen::Vector3d xh = mi * (xc + h.Dist * dir[j]);
    const int o = AtOff(p, h.H[j], BlkPos);
    for (int i = 0; i < 3; ++i) p.Val[static_cast<size_t>(o + i)] = xh[i];
  }
}

void RefSetKeep(RefParams& p, const std::vector<RefKeep>& keep) {
  if (!p.KeepSet) {
    p.KeepSet = true;
    RefKeepGRigid(p);
    for (size_t ik = 0; ik < keep.size(); ++ik) {
      const RefKeep& k = keep[ik];
      if (k.Type == KeepHydro) {
        RefHydro h;
        h.Keep = static_cast<int>(ik);
        h.Sub = k.Sub;
        h.Dist = k.Value;
        std::vector<std::string> bad;
        h.Central = FindAtomIndex(k.Central);
        if (h.Central < 0) bad.push_back(k.Central);
        for (const std::string& n : k.Neighbours) {
          const int a = FindAtomIndex(n);
          if (a < 0) bad.push_back(n);
          h.Neigh.push_back(a);
          const auto hash = n.find('#');
          h.NeighSymm.push_back(hash == std::string::npos ? std::string() : n.substr(hash + 1));
        }
        for (const std::string& n : k.Atoms) {
          const int a = FindAtomIndex(n);
          if (a < 0) bad.push_back(n);
          h.H.push_back(a);
        }
        if (!bad.empty() || h.Neigh.empty() || h.H.empty()) {
          for (const auto& b : bad) RefListLine(p, std::string(constrmsg::KeepMissing) + b, true);
          continue;
        }
        // The hydrogens ride on the central atom: x(H) = x(X) + d.
        const int oc = AtOff(p, h.Central, BlkPos);
        for (int a : h.H)
          for (int i = 0; i < 3; ++i) {
            const int o = AtOff(p, a, BlkPos) + i;
            AddEq(p, EqKeepPos, o, 0., {oc + i}, {1.});
          }
        p.Hydro.push_back(std::move(h));
      } else if (k.Type == KeepADP && k.Sub == KeepRiding) {
        const int anchor = FindAtomIndex(k.Central);
        if (anchor < 0) {
          RefListLine(p, std::string(constrmsg::KeepMissing) + k.Central, true);
          continue;
        }
        const PhaseBasic& ph = PhaseOfAtom(anchor);
        const int oa = AtOff(p, anchor, BlkAdp);
        // Ueq as a linear form of the anchor's tensor: Ueq = sum beta_ij G_ij / (6 pi^2)
        // (Fischer & Tillmanns, Acta Cryst. C44 (1988) 775, with beta = 2 pi^2 U*).
        std::vector<int> ind;
        std::vector<double> coef;
        if (Struct.Model.Atom[static_cast<size_t>(anchor)].Shape.AdpOrder == 1) {
          ind = {oa};
          coef = {k.Value};
        } else {
          static constexpr int kAx[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
          for (int c = 0; c < 6; ++c) {
            const double gij = ph.MetTens[3 * kAx[c][0] + kAx[c][1]];
            ind.push_back(oa + c);
            coef.push_back(k.Value * (c < 3 ? 1. : 2.) * gij / (6. * kPi * kPi));
          }
        }
        for (const std::string& n : k.Atoms) {
          const int a = FindAtomIndex(n);
          if (a < 0) {
            RefListLine(p, std::string(constrmsg::KeepMissing) + n, true);
            continue;
          }
          const int o = AtOff(p, a, BlkAdp);
          if (Struct.Model.Atom[static_cast<size_t>(a)].Shape.AdpOrder == 1) {
            AddEq(p, EqKeepAdp, o, 0., ind, coef);
          } else {
            // An anisotropic riding atom gets the isotropic tensor of Ueq:
            // beta_ij = 2 pi^2 Ueq G*_ij.
            static constexpr int kAx[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
            for (int c = 0; c < 6; ++c) {
              const double s = 2. * kPi * kPi * ph.MetTensI[3 * kAx[c][0] + kAx[c][1]];
              std::vector<double> cc(coef);
              for (double& v : cc) v *= s;
              AddEq(p, EqKeepAdp, o + c, 0., ind, cc);
            }
          }
        }
      } else if (k.Type != KeepGeom) {
        RefListLine(
            p,
            fmt::format("{}{} {}", constrmsg::KeepNotApplied, k.Central, fmt::join(k.Atoms, " ")),
            true);
      }
    }
  }
  RefPlaceHydrogens(p);
}

void RefPlaceHydrogens(RefParams& p) {
  std::set<int> moved;
  for (const RefHydro& h : p.Hydro) {
    RefPlaceHydro(p, h);
    for (int a : h.H)
      for (int i = 0; i < 3; ++i) moved.insert(AtOff(p, a, BlkPos) + i);
  }
  auto reconst = [&](RefEq& q) {
    if (q.Source != EqKeepPos || !moved.count(q.Dep)) return;
    double v = p.Val[static_cast<size_t>(q.Dep)];
    for (size_t i = 0; i < q.Ind.size(); ++i) v -= q.Coef[i] * p.Val[static_cast<size_t>(q.Ind[i])];
    q.Const = v;
  };
  for (RefEq& q : p.Eq) reconst(q);
  for (RefEq& q : p.Exp) reconst(q);
}

}  // namespace tarn
