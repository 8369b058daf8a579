// Objects of the distance tool that are not atoms of the model: peaks of
// Fourier maps kept with M40, centres of groups of atoms and lone pairs; and
// the angles of bonds to the reference direction.
#include <Eigen/Dense>
#include <cmath>

#include "dist/dist.hpp"
#include "model/m40_peaks.hpp"
#include "symmetry/site_mol.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr double kLonePairDist = 1.0;  // A, distance of a lone pair from its atom by default

int FindName(const DistPhase& ph, std::string_view name) {
  for (size_t i = 0; i < ph.Atoms.size(); ++i)
    if (EqIgnoreCase(ph.Atoms[i].Name, name)) return static_cast<int>(i);
  return -1;
}

DistAtom Object(std::string name, int kind, const Vec3& x) {
  DistAtom o;
  o.Index = -1;
  o.Kind = kind;
  o.Name = std::move(name);
  o.Type = 0;
  o.X = x;
  return o;
}

Vec3 ToFrac(const DistCell& c, const Eigen::Vector3d& v) {
  Eigen::Matrix3d o;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) o(i, j) = c.Orth[3 * i + j];
  const Eigen::Vector3d f = o.inverse() * v;
  return {f[0], f[1], f[2]};
}

Eigen::Vector3d ToCart(const DistCell& c, const Vec3& x) {
  Eigen::Vector3d r = Eigen::Vector3d::Zero();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i] += c.Orth[3 * i + j] * x[j];
  return r;
}

Eigen::Matrix3d Orth(const DistCell& c) {
  Eigen::Matrix3d o;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) o(i, j) = c.Orth[3 * i + j];
  return o;
}

}  // namespace

void DistAddMolecules(const Structure& s, DistPhase& ph) {
  const Eigen::Matrix3d m = Orth(ph.Cell), mi = m.inverse();
  for (size_t im = 0; im < s.Model.Mol.size(); ++im) {
    const MoleculeRec& mol = s.Model.Mol[im];
    if (mol.Phase != ph.Phase || mol.Atoms.empty()) continue;
    const double n = static_cast<double>(mol.Atoms.size());
    auto xm = [&](const AtomRec& a, int k) {
      const int off = AtomLayout(a.Shape).Off[BlkPos] + k;
      return off < a.Par.size() ? a.Par.Val[static_cast<size_t>(off)] : 0.;
    };
    // Reference point: its own, or the centre of the model atoms.
    Eigen::Vector3d c0 = Eigen::Vector3d::Zero();
    for (int k = 0; k < 3; ++k)
      if (mol.RefType == 1) {
        for (const AtomRec& a : mol.Atoms) c0[k] += xm(a, k) / n;
      } else if (k < mol.Ref.size()) {
        c0[k] = mol.Ref.Val[static_cast<size_t>(k)];
      }
    // Triples of the model atoms' coordinates.
    const int atomBase = static_cast<int>(ph.Extra.size());
    for (const AtomRec& a : mol.Atoms) {
      DistParTriple t;
      t.Name = mol.Name + ":" + a.Name + " x y z";
      const int off = AtomLayout(a.Shape).Off[BlkPos];
      for (int k = 0; k < 3; ++k)
        if (off + k < a.Par.size()) t.Su[k] = a.Par.Sig[static_cast<size_t>(off + k)];
      ph.Extra.push_back(std::move(t));
    }
    for (size_t ip = 0; ip < mol.Pos.size(); ++ip) {
      const MolPosRec& pos = mol.Pos[ip];
      auto val = [&](int k) { return k < pos.Par.size() ? pos.Par.Val[static_cast<size_t>(k)] : 0.; };
      auto sig = [&](int k) { return k < pos.Par.size() ? pos.Par.Sig[static_cast<size_t>(k)] : 0.; };
      const int angKey = DistExtraKey + static_cast<int>(ph.Extra.size());
      DistParTriple ang, tr;
      ang.Name = pos.Name + " phi chi psi";
      tr.Name = pos.Name + " tx ty tz";
      for (int k = 0; k < 3; ++k) {
        ang.Su[k] = sig(MpAng + k);
        tr.Su[k] = sig(MpTrans + k);
      }
      ph.Extra.push_back(std::move(ang));
      ph.Extra.push_back(std::move(tr));
      std::array<Mat3, 3> dR;
      const Eigen::Matrix3d r =
          ToEigen(MolRotation(mol.RotType, {val(MpAng), val(MpAng + 1), val(MpAng + 2)}, &dR));
      const Eigen::Matrix3d q = mi * r * m;  // fractional rotation
      for (size_t ia = 0; ia < mol.Atoms.size(); ++ia) {
        const AtomRec& at = mol.Atoms[ia];
        const Eigen::Vector3d d = Eigen::Vector3d(xm(at, 0), xm(at, 1), xm(at, 2)) - c0;
        const Eigen::Vector3d x = c0 + q * d;
        DistAtom a;
        a.Index = -1;
        a.Kind = DoAtom;
        a.Mol = static_cast<int>(im);
        a.MolPos = static_cast<int>(ip);
        a.Name = mol.Pos.size() == 1 ? at.Name : at.Name + "_" + std::to_string(ip + 1);
        a.Type = at.Type;
        a.Part = mol.Part;
        for (int k = 0; k < 3; ++k) a.X[k] = x[k] + val(MpTrans + k);
        // Displacements turned with the molecule: beta = Q beta_m Q^T (the
        // TLS contribution is not added).
        const AtomLayoutInfo lay = AtomLayout(at.Shape);
        auto par = [&](int off) {
          return off < at.Par.size() ? at.Par.Val[static_cast<size_t>(off)] : 0.;
        };
        if (at.Shape.AdpOrder >= 2 && lay.Len[BlkAdp] >= 6) {
          static constexpr int kIj[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
          Eigen::Matrix3d b;
          for (int k = 0; k < 6; ++k)
            b(kIj[k][0], kIj[k][1]) = b(kIj[k][1], kIj[k][0]) = par(lay.Off[BlkAdp] + k);
          const Eigen::Matrix3d bq = q * b * q.transpose();
          a.Aniso = true;
          for (int k = 0; k < 6; ++k) a.Beta[static_cast<size_t>(k)] = bq(kIj[k][0], kIj[k][1]);
        } else if (lay.Len[BlkAdp] >= 1) {
          a.UIso = par(lay.Off[BlkAdp]);
        }
        const int occOff = lay.Off[BlkOcc];
        a.Ai = val(MpAi) * (occOff < at.Par.size() ? at.Par.Val[static_cast<size_t>(occOff)] : 1.);
        // Derivatives: dx/dangle_j = M^-1 dR_j M d (per degree); dx/dt = I;
        // dx/dx_m = Q, and with the centre as reference point (I - Q)/n more
        // for every model atom.
        Eigen::Matrix3d ja;
        for (int j = 0; j < 3; ++j) ja.col(j) = mi * ToEigen(dR[static_cast<size_t>(j)]) * m * d;
        a.Of.push_back({0, FromEigen(ja), 1., 0, {}, angKey});
        a.Of.push_back({0, Mat3{1, 0, 0, 0, 1, 0, 0, 0, 1}, 1., 0, {}, angKey + 1});
        const Eigen::Matrix3d rest = (Eigen::Matrix3d::Identity() - q) / n;
        for (size_t ib = 0; ib < mol.Atoms.size(); ++ib) {
          Eigen::Matrix3d jb = mol.RefType == 1 ? rest : Eigen::Matrix3d::Zero();
          if (ib == ia) jb += q;
          a.Of.push_back({0, FromEigen(jb), 1., 0, {}, DistExtraKey + atomBase + static_cast<int>(ib)});
        }
        // The standard uncertainties of the placed coordinates (shown in the
        // listing) from the position's and the model atoms' independently.
        for (int k = 0; k < 3; ++k) {
          double s2 = 0.;
          for (const auto& c : a.Of) {
            const DistParTriple& t = ph.Extra[static_cast<size_t>(c.Key - DistExtraKey)];
            for (int j = 0; j < 3; ++j) s2 += std::pow(c.R[3 * k + j] * t.Su[j], 2);
          }
          a.XSu[k] = std::sqrt(s2);
        }
        ph.Atoms.push_back(std::move(a));
      }
    }
  }
}

std::vector<int> DistAddObjects(const Structure& s, const DistCommands& c, DistPhase& ph,
                                const std::function<double(int, int)>& typeMax) {
  std::vector<int> neighbours;
  if (c.Include > 0) {
    FouPeakLists peaks;
    std::vector<std::string> other;
    int bad = 0;
    if (FouSplitPeaks(s.Model.Commands, peaks, other, bad)) {
      ReportWarning("The peaks kept with M40 could not be read; they are not included.",
                    {"line " + std::to_string(bad) + " of its commands block"});
    } else {
      auto add = [&](const std::vector<FouPeak>& list, int kind) {
        for (const auto& p : list) {
          neighbours.push_back(static_cast<int>(ph.Atoms.size()));
          ph.Atoms.push_back(Object(p.Label, kind, {p.X[0], p.X[1], p.X[2]}));
          ph.Atoms.back().Wave = p.Wave;
        }
      };
      if (c.Include == 1 || c.Include == 3) add(peaks.Max, DoPeakMax);
      if (c.Include == 2 || c.Include == 3) add(peaks.Min, DoPeakMin);
    }
  }
  // Centres: the mean position of the atoms (with their symmetry parts).
  for (size_t k = 0; k < c.Center.size(); ++k) {
    DistAtom o = Object("Cen" + std::to_string(k + 1), DoCentre, {});
    const double w = 1. / static_cast<double>(c.Center[k].size());
    bool ok = true;
    for (const auto& n : c.Center[k]) {
      DistNeighbour nb;
      if (!DistParseAtom(ph, n, nb) || ph.Atoms[static_cast<size_t>(nb.Atom)].Kind != DoAtom) {
        ReportWarning("Centre " + o.Name + ": the atom " + n + " is not known.");
        ok = false;
        break;
      }
      for (int i = 0; i < 3; ++i) o.X[i] += w * nb.X[i];
      o.Of.push_back({nb.Atom, DistPartR(ph, nb.Atom, nb.Op), w, nb.Op, nb.N, -1});
    }
    if (ok) ph.Atoms.push_back(std::move(o));
  }
  // Lone pairs of atoms, or centres, taken as neighbours.
  for (const auto& line : c.LonePair) {
    double dist = kLonePairDist;
    std::vector<std::string> names = line;
    if (auto d = ToReal(names.back()); d && names.size() > 1) {
      dist = *d;
      names.pop_back();
    }
    for (const auto& n : names) {
      const int i = FindName(ph, n);
      if (i < 0) {
        ReportWarning("Lone pair: the atom " + n + " is not known.");
        continue;
      }
      const DistAtom& a = ph.Atoms[static_cast<size_t>(i)];
      if (a.Kind != DoAtom) {  // a centre (or peak) joins the neighbours
        neighbours.push_back(i);
        continue;
      }
      // The lone pair lies opposite the mean direction of the atom's bonds.
      const auto nb = DistAround(
          ph, i, 0., typeMax(a.Type, -1),
          [&](int b) { return typeMax(a.Type, ph.Atoms[static_cast<size_t>(b)].Type); },
          [&](int b) { return ph.Atoms[static_cast<size_t>(b)].Kind == DoAtom; });
      Eigen::Vector3d dir = Eigen::Vector3d::Zero();
      for (const auto& b : nb) dir -= ToCart(ph.Cell, DistDiff(b.X, a.X)).normalized();
      if (dir.norm() < 1e-3) {
        ReportWarning("Lone pair of " + a.Name +
                      ": its bonds give no direction (no neighbours, or they balance).");
        continue;
      }
      const Vec3 d = ToFrac(ph.Cell, dir.normalized() * dist);
      std::string name = "Lp" + a.Name;
      if (name.size() > 8) name.resize(8);
      DistAtom o = Object(name, DoLonePair, {a.X[0] + d[0], a.X[1] + d[1], a.X[2] + d[2]});
      // It follows its atom: the bonds that fix its direction are left out of its s.u.
      o.Of.push_back({i, DistPartR(ph, i, 0), 1., 0, {}, -1});
      // In modulated structures the direction is taken again at every t.
      for (const auto& b : nb) o.Bonds.push_back({b.Atom, {}, 1., b.Op, b.N, -1});
      o.LpDist = dist;
      neighbours.push_back(static_cast<int>(ph.Atoms.size()));
      ph.Atoms.push_back(std::move(o));
    }
  }
  return neighbours;
}

bool DistRefAngles(const DistPhase& ph, const std::vector<std::string>& dirref, int a,
                   std::vector<DistNeighbour>& neigh) {
  if (dirref.empty()) return true;
  // The reference direction: three numbers (a lattice vector [uvw]) or the
  // vector from the first to the second of two atoms.
  Vec3 v{};
  DistPoint p, q;
  bool atoms = false;
  if (dirref.size() == 3 && ToReal(dirref[0]) && ToReal(dirref[1]) && ToReal(dirref[2])) {
    for (int k = 0; k < 3; ++k) v[k] = *ToReal(dirref[static_cast<size_t>(k)]);
  } else if (dirref.size() == 2) {
    DistNeighbour np, nq;
    if (!DistParseAtom(ph, dirref[0], np) || !DistParseAtom(ph, dirref[1], nq)) return false;
    p = DistPointOf(ph, np);
    q = DistPointOf(ph, nq);
    v = DistDiff(q.X, p.X);
    atoms = true;
  } else {
    return false;
  }
  const DistPoint pa = DistPointOf(ph, a);
  for (auto& n : neigh) {
    const DistPoint pb = DistPointOf(ph, n);
    const DistAngResult r = DistAng(DistDiff(pb.X, pa.X), v, ph.Cell);
    n.RefAngle = r.Angle;
    n.RefAngleSu = 0.;
    if (r.Degenerate) continue;
    DistGrad g;
    g.Add(pb.Atom, pb.R, r.DU);
    g.Add(pa.Atom, pa.R, {-r.DU[0], -r.DU[1], -r.DU[2]});
    if (atoms) {
      g.Add(q.Atom, q.R, r.DV);
      g.Add(p.Atom, p.R, {-r.DV[0], -r.DV[1], -r.DV[2]});
    }
    g.Cell = r.DCell;
    n.RefAngleSu = DistSu(ph, g);
  }
  return true;
}

}  // namespace tarn
