// Keep geom groups: atoms kept in a plane, rigid groups, and rigid groups
// with a common rigid-body displacive modulation.
//
// Rigid group. The members form a rigid body, X_m = C + R B_m (Cartesian,
// Angstrom): B_m the positions about the centroid at the start, C the
// centroid and R the orientation now. A small motion (dt, dw) - a translation
// and a rotation about the centroid - moves member m by
//   dX_m = dt + dw x Y_m,   Y_m = X_m - C,
// so that its fractional coordinate c changes by a.dt + (Y_m x a).dw, a the
// row c of M^-1 (M the orthogonalisation matrix). Six member coordinates
// whose rows are the most independent (greedy pivoting) stay independent;
// every other one follows the linearised equation
//   dx_dep = J_dep J_sel^+ dx_sel.
// After the shifts the pose (C, R) that reproduces the independent
// coordinates exactly is found by Newton iteration (rotations composed on
// the left, so each step is exact to second order) and every dependent
// coordinate is set from it: distances and angles are kept exactly. The
// equations are then relinearised at the new pose.
//
// rigidmod: in addition the position-wave amplitudes of each wave (sine and
// cosine apart) form a rigid-body displacement field U_m = T + W x Y_m, with
// the same independent coordinates: amp_dep = J_dep J_sel^+ amp_sel.
//
// Plane: the plane passes through three members (the largest triangle).
// Every other member keeps one coordinate dependent (the one along which its
// height above the plane changes fastest) through the linearised condition
//   g.dx_i = sum_k lambda_k g.dx_rk,   g = M^T n,
// n the unit normal and lambda the barycentric coordinates of the member in
// the triangle. After the shifts that coordinate is set so that the member
// lies exactly on the plane through the three.
#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <set>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"
#include "refine/constr_internal.hpp"
#include "refine/refcommands.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr double kTolRigidSel = 1.0e-6;    // relative residual of a row that adds no freedom
constexpr double kTolRigidPose = 1.0e-14;  // fractional mismatch that ends the pose iteration
constexpr int kMaxRigidIter = 30;          // Newton steps of the pose
constexpr double kTolPlaneGrad = 1.0e-3;   // relative height gradient of a usable coordinate

using V3 = Eigen::Vector3d;
using Row6 = Eigen::Matrix<double, 1, 6>;

bool Refined(int key) {
  return key != 0 && key != -2;
}

int PosPar(const RefParams& p, int a, int c) {
  return AtOff(p, a, BlkPos) + c;
}
// Position-wave amplitude: per wave sin x y z, cos x y z; slot = 2 w + (0 sin, 1 cos).
int WavePar(const RefParams& p, int a, int slot, int c) {
  return AtOff(p, a, BlkPosWave) + 3 * slot + c;
}
V3 FracPos(const RefParams& p, int a) {
  const int o = PosPar(p, a, 0);
  return {p.Val[static_cast<size_t>(o)], p.Val[static_cast<size_t>(o + 1)],
          p.Val[static_cast<size_t>(o + 2)]};
}

// Coordinates made dependent by the site symmetry (they keep that equation).
std::set<int> SiteDependent(const RefParams& p) {
  std::set<int> out;
  for (int e = 0; e < p.SiteEq.NEq; ++e) {
    const SpecEquation& s = p.SiteEq.Eq[static_cast<size_t>(e)];
    if (s.Molecule || s.Kind != SpPos) continue;
    const int a = FindAtomIndex(s.Owner);
    if (a >= 0) out.insert(PosPar(p, a, s.Dep));
  }
  return out;
}

Eigen::Matrix3d RotOf(const RefRigid& g) {
  return Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(g.Rot.data());
}
V3 BodyOf(const RefRigid& g, int m) {
  const auto& b = g.Body[static_cast<size_t>(m)];
  return {b[0], b[1], b[2]};
}

// Row of fractional coordinate c of a point at Y from the centroid over (dt, dw).
Row6 RigidRow(const Eigen::Matrix3d& mi, const V3& y, int c) {
  const V3 a = mi.row(c).transpose();
  Row6 r;
  r << a.transpose(), y.cross(a).transpose();
  return r;
}

// J_sel^+ (6 x k) of the selected coordinates at the current pose.
Eigen::MatrixXd RigidPinv(const RefRigid& g, const Eigen::Matrix3d& mi) {
  const Eigen::Matrix3d r = RotOf(g);
  Eigen::MatrixXd j(static_cast<Eigen::Index>(g.Sel.size()), 6);
  for (size_t s = 0; s < g.Sel.size(); ++s)
    j.row(static_cast<Eigen::Index>(s)) = RigidRow(mi, r * BodyOf(g, g.Sel[s][0]), g.Sel[s][1]);
  return j.transpose() *
         (j * j.transpose()).ldlt().solve(Eigen::MatrixXd::Identity(j.rows(), j.rows()));
}

// Greedy choice of at most six coordinates whose rows span the rigid motions
// best (pivoted Gram-Schmidt; rotation columns scaled by the group radius).
std::vector<std::array<int, 2>> SelectRigid(const RefRigid& g, const Eigen::Matrix3d& mi,
                                            std::vector<std::array<int, 2>> cand) {
  double r2 = 0.;
  for (size_t m = 0; m < g.Body.size(); ++m) r2 += BodyOf(g, static_cast<int>(m)).squaredNorm();
  const double scale = r2 > 0. ? std::sqrt(static_cast<double>(g.Body.size()) / r2) : 1.;
  std::vector<Row6> rows;
  for (const auto& c : cand) {
    Row6 r = RigidRow(mi, BodyOf(g, c[0]), c[1]);
    r.tail<3>() *= scale;
    rows.push_back(r);
  }
  double first = 0.;
  for (const Row6& r : rows) first = std::max(first, r.norm());
  std::vector<std::array<int, 2>> sel;
  while (sel.size() < 6 && !rows.empty()) {
    size_t best = 0;
    for (size_t i = 1; i < rows.size(); ++i)
      if (rows[i].norm() > rows[best].norm()) best = i;
    const double nb = rows[best].norm();
    if (!(nb > kTolRigidSel * first)) break;
    const Row6 q = rows[best] / nb;
    sel.push_back(cand[best]);
    rows.erase(rows.begin() + static_cast<long>(best));
    cand.erase(cand.begin() + static_cast<long>(best));
    for (Row6& r : rows) r -= r.dot(q) * q;
  }
  return sel;
}

// Three members spanning the largest triangle.
std::array<int, 3> PlaneRefs(const std::vector<V3>& x) {
  std::array<int, 3> best{0, 1, 2};
  double area = -1.;
  const int n = static_cast<int>(x.size());
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      for (int k = j + 1; k < n; ++k) {
        const double a = (x[static_cast<size_t>(j)] - x[static_cast<size_t>(i)])
                             .cross(x[static_cast<size_t>(k)] - x[static_cast<size_t>(i)])
                             .norm();
        if (a > area) {
          area = a;
          best = {i, j, k};
        }
      }
  return best;
}

struct PlaneFrame {
  V3 X0, E1, E2, N, G;  // first reference, edges to the others, unit normal, M^T n
};
PlaneFrame PlaneOf(const RefParams& p, const RefRigid& g, const Eigen::Matrix3d& m) {
  PlaneFrame f;
  V3 x[3];
  for (int k = 0; k < 3; ++k)
    x[k] = m * FracPos(p, g.Atom[static_cast<size_t>(g.PlaneRef[static_cast<size_t>(k)])]);
  f.X0 = x[0];
  f.E1 = x[1] - x[0];
  f.E2 = x[2] - x[0];
  f.N = f.E1.cross(f.E2).normalized();
  f.G = m.transpose() * f.N;
  return f;
}

// The equation of one dependent value at the current geometry (dep, terms,
// constant; ad-hoc wave equations are homogeneous).
RefEq GeomEquation(const RefParams& p, const RefRigid& g, const RefGeomDep& d,
                   const Eigen::Matrix3d& m, const Eigen::Matrix3d& mi,
                   const Eigen::MatrixXd& pinv) {
  RefEq q;
  q.Source = EqKeepGeom;
  const int a = g.Atom[static_cast<size_t>(d.Member)];
  if (g.Sub == KeepPlane) {
    const PlaneFrame f = PlaneOf(p, g, m);
    const int cs = d.Comp;
    q.Dep = PosPar(p, a, cs);
    // Barycentric coordinates of the member's projection in the triangle.
    Eigen::Matrix<double, 3, 2> e;
    e << f.E1, f.E2;
    const Eigen::Vector2d l =
        (e.transpose() * e).ldlt().solve(e.transpose() * (m * FracPos(p, a) - f.X0));
    const double lam[3] = {1. - l[0] - l[1], l[0], l[1]};
    for (int k = 0; k < 3; ++k) {
      const int r = g.Atom[static_cast<size_t>(g.PlaneRef[static_cast<size_t>(k)])];
      for (int c = 0; c < 3; ++c) {
        q.Ind.push_back(PosPar(p, r, c));
        q.Coef.push_back(lam[k] * f.G[c] / f.G[cs]);
      }
    }
    for (int c = 0; c < 3; ++c)
      if (c != cs) {
        q.Ind.push_back(PosPar(p, a, c));
        q.Coef.push_back(-f.G[c] / f.G[cs]);
      }
  } else {
    const Row6 k = RigidRow(mi, RotOf(g) * BodyOf(g, d.Member), d.Comp) * pinv;
    q.Dep = d.Slot < 0 ? PosPar(p, a, d.Comp) : WavePar(p, a, d.Slot, d.Comp);
    for (size_t s = 0; s < g.Sel.size(); ++s) {
      const int as = g.Atom[static_cast<size_t>(g.Sel[s][0])];
      q.Ind.push_back(d.Slot < 0 ? PosPar(p, as, g.Sel[s][1])
                                 : WavePar(p, as, d.Slot, g.Sel[s][1]));
      q.Coef.push_back(k[static_cast<Eigen::Index>(s)]);
    }
  }
  if (d.Slot < 0) {
    double v = p.Val[static_cast<size_t>(q.Dep)];
    for (size_t i = 0; i < q.Ind.size(); ++i) v -= q.Coef[i] * p.Val[static_cast<size_t>(q.Ind[i])];
    q.Const = v;
  }
  return q;
}

}  // namespace

// ---------------------------------------------------------------- set-up
void refkeepgrigidsetki(RefParams& p, const std::vector<RefKeep>& keep) {
  p.Rigid.clear();
  const std::set<int> site = SiteDependent(p);
  for (size_t ik = 0; ik < keep.size(); ++ik) {
    const RefKeep& k = keep[ik];
    if (k.Type != KeepGeom) continue;
    RefRigid g;
    g.Keep = static_cast<int>(ik);
    g.Sub = k.Sub;
    bool bad = false;
    for (const std::string& n : k.Atoms) {
      const int a = FindAtomIndex(n);
      if (a < 0) {
        RefListLine(p, std::string(constrmsg::KeepMissing) + n, true);
        bad = true;
      } else if (std::find(g.Atom.begin(), g.Atom.end(), a) == g.Atom.end()) {
        g.Atom.push_back(a);
      }
    }
    // Three atoms are always in a plane, one is always rigid.
    if (bad || static_cast<int>(g.Atom.size()) < (g.Sub == KeepPlane ? 4 : 2)) continue;
    if (g.Sub == KeepRigidMod) {
      const int nw = Struct.Model.Atom[static_cast<size_t>(g.Atom[0])].Shape.NWave[1];
      bool same = true;
      for (int a : g.Atom)
        same = same && Struct.Model.Atom[static_cast<size_t>(a)].Shape.NWave[1] == nw;
      if (!same) {
        std::string names;
        for (int a : g.Atom) names += " " + Struct.Model.Atom[static_cast<size_t>(a)].Name;
        RefListLine(p, std::string(constrmsg::KeepGeomWaves) + names, true);
        g.Sub = KeepRigid;
      }
    }
    const Eigen::Matrix3d m = OrthoMatrix(PhaseOfAtom(g.Atom[0]));
    const Eigen::Matrix3d mi = m.inverse();
    std::vector<V3> x;
    for (int a : g.Atom) x.push_back(m * FracPos(p, a));
    const int nm = static_cast<int>(g.Atom.size());
    if (g.Sub == KeepPlane) {
      g.PlaneRef = PlaneRefs(x);
      const V3 n =
          (x[static_cast<size_t>(g.PlaneRef[1])] - x[static_cast<size_t>(g.PlaneRef[0])])
              .cross(x[static_cast<size_t>(g.PlaneRef[2])] - x[static_cast<size_t>(g.PlaneRef[0])])
              .normalized();
      const V3 grad = m.transpose() * n;
      g.PlaneComp.assign(static_cast<size_t>(nm), -1);
      for (int i = 0; i < nm; ++i) {
        if (std::find(g.PlaneRef.begin(), g.PlaneRef.end(), i) != g.PlaneRef.end()) continue;
        int best = -1;
        for (int c = 0; c < 3; ++c) {
          if (site.count(PosPar(p, g.Atom[static_cast<size_t>(i)], c))) continue;
          if (std::fabs(grad[c]) <= kTolPlaneGrad * grad.cwiseAbs().maxCoeff()) continue;
          if (best < 0 || std::fabs(grad[c]) > std::fabs(grad[best])) best = c;
        }
        g.PlaneComp[static_cast<size_t>(i)] = best;
      }
    } else {
      V3 c = V3::Zero();
      for (const V3& v : x) c += v;
      c /= nm;
      for (const V3& v : x) g.Body.push_back({v[0] - c[0], v[1] - c[1], v[2] - c[2]});
      g.Centre = {c[0], c[1], c[2]};
      std::vector<std::array<int, 2>> cand;
      for (int i = 0; i < nm; ++i)
        for (int cc = 0; cc < 3; ++cc)
          if (!site.count(PosPar(p, g.Atom[static_cast<size_t>(i)], cc))) cand.push_back({i, cc});
      g.Sel = SelectRigid(g, mi, cand);
      // The group moves as a whole when any member coordinate was refined.
      bool on = false, onWave = false;
      for (int a : g.Atom) {
        for (int cc = 0; cc < 3; ++cc)
          on = on || Refined(p.Key[static_cast<size_t>(PosPar(p, a, cc))]);
        if (g.Sub == KeepRigidMod)
          for (int i = 0; i < AtLen(a, BlkPosWave); ++i)
            onWave = onWave || Refined(p.Key[static_cast<size_t>(AtOff(p, a, BlkPosWave) + i)]);
      }
      for (const auto& s : g.Sel) {
        const int a = g.Atom[static_cast<size_t>(s[0])];
        if (on) p.Key[static_cast<size_t>(PosPar(p, a, s[1]))] = 1;
        if (onWave)
          for (int slot = 0; slot < AtLen(a, BlkPosWave) / 3; ++slot)
            p.Key[static_cast<size_t>(WavePar(p, a, slot, s[1]))] = 1;
      }
    }
    p.Rigid.push_back(std::move(g));
  }
}

void RefKeepGRigid(RefParams& p) {
  for (RefRigid& g : p.Rigid) {
    const Eigen::Matrix3d m = OrthoMatrix(PhaseOfAtom(g.Atom[0]));
    const Eigen::Matrix3d mi = m.inverse();
    const Eigen::MatrixXd pinv = g.Sub == KeepPlane ? Eigen::MatrixXd() : RigidPinv(g, mi);
    std::vector<RefGeomDep> cand;
    const int nm = static_cast<int>(g.Atom.size());
    if (g.Sub == KeepPlane) {
      for (int i = 0; i < nm; ++i)
        if (g.PlaneComp[static_cast<size_t>(i)] >= 0)
          cand.push_back({i, g.PlaneComp[static_cast<size_t>(i)], -1, -1});
    } else {
      const int nslot = g.Sub == KeepRigidMod ? AtLen(g.Atom[0], BlkPosWave) / 3 : 0;
      for (int slot = -1; slot < nslot; ++slot)
        for (int i = 0; i < nm; ++i)
          for (int c = 0; c < 3; ++c) {
            const std::array<int, 2> mc{i, c};
            if (std::find(g.Sel.begin(), g.Sel.end(), mc) == g.Sel.end())
              cand.push_back({i, c, slot, -1});
          }
    }
    g.Dep.clear();
    for (RefGeomDep& d : cand) {
      RefEq q = GeomEquation(p, g, d, m, mi, pinv);
      if (!AddEq(p, EqKeepGeom, q.Dep, q.Const, q.Ind, q.Coef)) continue;
      d.Eq = static_cast<int>(p.Eq.size()) - 1;
      g.Dep.push_back(d);
    }
  }
}

// ---------------------------------------------------------------- update
namespace {

// Newton iteration of the pose on the independent coordinates.
void RigidPose(RefParams& p, RefRigid& g, const Eigen::Matrix3d& mi) {
  const Eigen::Index k = static_cast<Eigen::Index>(g.Sel.size());
  if (k == 0) return;
  Eigen::VectorXd target(k), r(k);
  for (Eigen::Index s = 0; s < k; ++s) {
    const auto& sel = g.Sel[static_cast<size_t>(s)];
    target[s] = p.Val[static_cast<size_t>(PosPar(p, g.Atom[static_cast<size_t>(sel[0])], sel[1]))];
  }
  V3 c(g.Centre[0], g.Centre[1], g.Centre[2]);
  Eigen::Matrix3d rot = RotOf(g);
  for (int it = 0; it < kMaxRigidIter; ++it) {
    Eigen::MatrixXd j(k, 6);
    for (Eigen::Index s = 0; s < k; ++s) {
      const auto& sel = g.Sel[static_cast<size_t>(s)];
      const V3 y = rot * BodyOf(g, sel[0]);
      r[s] = (mi * (c + y))[sel[1]] - target[s];
      j.row(s) = RigidRow(mi, y, sel[1]);
    }
    if (r.cwiseAbs().maxCoeff() < kTolRigidPose) break;
    const Eigen::VectorXd e = -j.transpose() * (j * j.transpose()).ldlt().solve(r);
    c += e.head<3>();
    const V3 w = e.tail<3>();
    if (w.norm() > 0.) rot = Eigen::AngleAxisd(w.norm(), w.normalized()).toRotationMatrix() * rot;
  }
  g.Centre = {c[0], c[1], c[2]};
  Eigen::Map<Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(g.Rot.data()) = rot;
  for (const RefGeomDep& d : g.Dep) {
    if (d.Slot >= 0) continue;
    const V3 x = mi * (c + rot * BodyOf(g, d.Member));
    p.Val[static_cast<size_t>(PosPar(p, g.Atom[static_cast<size_t>(d.Member)], d.Comp))] =
        x[d.Comp];
  }
}

// The exact plane: every dependent coordinate puts its atom on the plane
// through the three reference members (the height is linear in it).
void PlaneProject(RefParams& p, const RefRigid& g, const Eigen::Matrix3d& m) {
  const PlaneFrame f = PlaneOf(p, g, m);
  for (const RefGeomDep& d : g.Dep) {
    const int a = g.Atom[static_cast<size_t>(d.Member)];
    const double h = f.N.dot(m * FracPos(p, a) - f.X0);
    p.Val[static_cast<size_t>(PosPar(p, a, d.Comp))] -= h / f.G[d.Comp];
  }
}

}  // namespace

void refkeepgrigidupdate(RefParams& p) {
  for (RefRigid& g : p.Rigid) {
    if (g.Dep.empty()) continue;
    const Eigen::Matrix3d m = OrthoMatrix(PhaseOfAtom(g.Atom[0]));
    const Eigen::Matrix3d mi = m.inverse();
    if (g.Sub == KeepPlane)
      PlaneProject(p, g, m);
    else
      RigidPose(p, g, mi);
    // Relinearise at the new geometry: the equations and their expanded
    // forms (dependent terms replaced by their own expansions).
    const Eigen::MatrixXd pinv = g.Sub == KeepPlane ? Eigen::MatrixXd() : RigidPinv(g, mi);
    for (const RefGeomDep& d : g.Dep) {
      RefEq q = GeomEquation(p, g, d, m, mi, pinv);
      RefEq& e = p.Eq[static_cast<size_t>(d.Eq)];
      e.Const = q.Const;
      e.Ind = q.Ind;
      e.Coef = q.Coef;
      if (d.Slot >= 0) {
        // Wave amplitudes follow the new field exactly.
        double v = 0.;
        for (size_t i = 0; i < q.Ind.size(); ++i)
          v += q.Coef[i] * p.Val[static_cast<size_t>(q.Ind[i])];
        p.Val[static_cast<size_t>(q.Dep)] = v;
      }
      if (p.DepOf.size() != p.Val.size()) continue;
      const int x = p.DepOf[static_cast<size_t>(q.Dep)];
      if (x < 0 || p.ExpSrc[static_cast<size_t>(x)] != d.Eq) continue;
      RefEq& ex = p.Exp[static_cast<size_t>(x)];
      ex.Const = q.Const;
      ex.Ind.clear();
      ex.Coef.clear();
      for (size_t i = 0; i < q.Ind.size(); ++i) {
        const int j = q.Ind[i];
        const int sub = p.DepOf[static_cast<size_t>(j)];
        if (sub < 0) {
          ex.Ind.push_back(j);
          ex.Coef.push_back(q.Coef[i]);
          continue;
        }
        const RefEq& s = p.Exp[static_cast<size_t>(sub)];
        ex.Const += q.Coef[i] * s.Const;
        for (size_t t = 0; t < s.Ind.size(); ++t) {
          ex.Ind.push_back(s.Ind[t]);
          ex.Coef.push_back(q.Coef[i] * s.Coef[t]);
        }
      }
    }
  }
}

}  // namespace tarn
