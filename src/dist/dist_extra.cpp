// Descriptors of the distance tool: hydrogen bonds, best planes,
// bond-valence sums and the Hirshfeld rigid-bond test.
#include <Eigen/Eigenvalues>
#include <cmath>
#include <limits>

#include "dist/dist.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr double kStepX = 1e-6;     // fractional step of numerical derivatives
constexpr double kStepCell = 1e-6;  // relative step for the cell parameters

bool IsHydrogen(const DistAtom& a) {
  return a.Element == "H" || a.Element == "D";
}

// Elements that accept hydrogen bonds.
bool IsAcceptor(const DistAtom& a) {
  for (const char* e : {"N", "O", "F", "S", "Cl", "Br", "I", "Se"})
    if (a.Element == e) return true;
  return false;
}

Vec3 Cart(const DistCell& c, const Vec3& x) {
  Vec3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i] += c.Orth[i * 3 + j] * x[j];
  return r;
}

using PointFn = std::function<double(const std::vector<Vec3>&, const DistCell&)>;

// A value of points and cell with derivatives by central differences.
DistValue Numeric(const DistCell& cell, const std::vector<DistPoint>& pts, const PointFn& f) {
  DistValue v;
  std::vector<Vec3> x;
  for (const auto& p : pts) x.push_back(p.X);
  v.Value = f(x, cell);
  for (size_t i = 0; i < pts.size(); ++i) {
    Vec3 d{};
    for (int k = 0; k < 3; ++k) {
      auto y = x;
      y[i][k] += kStepX;
      const double up = f(y, cell);
      y[i][k] -= 2 * kStepX;
      d[k] = (up - f(y, cell)) / (2 * kStepX);
    }
    v.Grad.Add(pts[i].Atom, pts[i].R, d);
  }
  for (int k = 0; k < 6; ++k) {
    const double h = kStepCell * std::max(1., std::fabs(cell.Par[k]));
    double par[6], su[6] = {};
    std::copy(cell.Par.begin(), cell.Par.end(), par);
    par[k] += h;
    const double up = f(x, DistMakeCell(par, su));
    par[k] -= 2 * h;
    v.Grad.Cell[k] = (up - f(x, DistMakeCell(par, su))) / (2 * h);
  }
  return v;
}

// Least-squares plane through Cartesian points: unit normal and centroid.
// The normal points to the side from which the first three atoms run
// counter-clockwise, so that signs of deviations are reproducible.
void FitPlane(const std::vector<Vec3>& r, Vec3& n, Vec3& c) {
  Eigen::Vector3d m = Eigen::Vector3d::Zero();
  for (const auto& p : r) m += Eigen::Vector3d(p[0], p[1], p[2]);
  m /= static_cast<double>(r.size());
  Eigen::Matrix3d s = Eigen::Matrix3d::Zero();
  for (const auto& p : r) {
    const Eigen::Vector3d d = Eigen::Vector3d(p[0], p[1], p[2]) - m;
    s += d * d.transpose();
  }
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> es(s);
  Eigen::Vector3d v = es.eigenvectors().col(0);
  const Eigen::Vector3d a(r[0][0], r[0][1], r[0][2]), b(r[1][0], r[1][1], r[1][2]),
      cc(r[2][0], r[2][1], r[2][2]);
  if (v.dot((b - a).cross(cc - a)) < 0.) v = -v;
  n = {v[0], v[1], v[2]};
  c = {m[0], m[1], m[2]};
}

// Signed distance of point k (Cartesian) to the plane of the first np points.
double Deviation(const std::vector<Vec3>& x, const DistCell& cell, size_t np, size_t k) {
  std::vector<Vec3> r;
  for (size_t i = 0; i < np; ++i) r.push_back(Cart(cell, x[i]));
  Vec3 n, c;
  FitPlane(r, n, c);
  const Vec3 p = Cart(cell, x[k]);
  return n[0] * (p[0] - c[0]) + n[1] * (p[1] - c[1]) + n[2] * (p[2] - c[2]);
}

double PlaneAngle(const std::vector<Vec3>& x, const DistCell& cell, size_t n1) {
  std::vector<Vec3> r1, r2;
  for (size_t i = 0; i < x.size(); ++i) (i < n1 ? r1 : r2).push_back(Cart(cell, x[i]));
  Vec3 a, b, c;
  FitPlane(r1, a, c);
  FitPlane(r2, b, c);
  const double d = std::fabs(a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
  return std::acos(std::min(1., d)) / kDeg;
}

// Mean-square displacement of an atom's image (operator part R) along the
// fractional direction w = Orth^T n, and its derivatives with respect to the
// six beta components.
double Msd(const DistAtom& a, const Mat3& r, const Vec3& w, std::array<double, 6>& der) {
  Vec3 v{};  // R^T w
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) v[i] += r[j * 3 + i] * w[j];
  const double f = 1. / (2. * kPi * kPi);
  der = {v[0] * v[0] * f,     v[1] * v[1] * f,     v[2] * v[2] * f,
         2 * v[0] * v[1] * f, 2 * v[0] * v[2] * f, 2 * v[1] * v[2] * f};
  double m = 0.;
  for (int k = 0; k < 6; ++k) m += der[k] * a.Beta[k];
  return m;
}

}  // namespace

void DistHydrogenBonds(DistResults& r) {
  const DistPhase& ph = r.Phase;
  const DistCommands& c = r.Cmd;
  const double reach = std::max(c.DHMax, c.HAMax);
  for (int h = 0; h < static_cast<int>(ph.Atoms.size()); ++h) {
    if (!IsHydrogen(ph.Atoms[static_cast<size_t>(h)])) continue;
    auto accept = [&](int b) {
      const DistAtom& B = ph.Atoms[static_cast<size_t>(b)];
      return B.Kind == DoAtom && !IsHydrogen(B);
    };
    // Composites: donors and acceptors among the images of every part, at
    // the first t of the grid (the static positions of the listing).
    auto nb = ph.Parts.empty()
                  ? DistAround(ph, h, 0., reach, [&](int) { return reach; }, accept)
                  : DistModAround(ph, r.Mod, h, r.TGrid, [&](int) { return reach; }, accept);
    const DistPoint ph0 = DistPointOf(ph, h);
    for (const auto& d : nb) {
      if (d.D > c.DHMax) continue;
      for (const auto& a : nb) {
        if (&a == &d || a.D > c.HAMax || !IsAcceptor(ph.Atoms[static_cast<size_t>(a.Atom)]))
          continue;
        const DistPoint pd = DistPointOf(ph, d), pa = DistPointOf(ph, a);
        const DistValue ang = DistAngle(ph.Cell, pd, ph0, pa);
        if (ang.Value < c.DHAMin) continue;
        const DistValue da = DistDistance(ph.Cell, pd, pa);
        r.HBonds.push_back(
            {h, d, a, da.Value, DistSu(ph, da.Grad), ang.Value, DistSu(ph, ang.Grad)});
      }
    }
  }
}

void DistBestPlanes(DistResults& r) {
  const DistPhase& ph = r.Phase;
  std::vector<std::vector<DistPoint>> planePts;
  for (const auto& names : r.Cmd.Plane) {
    DistPlaneRec pl;
    pl.Atoms = names;
    std::vector<DistPoint> pts;
    for (const auto& n : names) {
      DistNeighbour nb;
      if (!DistParseAtom(ph, n, nb)) break;
      pts.push_back(DistPointOf(ph, nb));
    }
    if (pts.size() == names.size()) {
      pl.Ok = true;
      double s2 = 0.;
      for (size_t k = 0; k < pts.size(); ++k) {
        const DistValue v =
            Numeric(ph.Cell, pts, [&](const std::vector<Vec3>& x, const DistCell& cl) {
              return Deviation(x, cl, x.size(), k);
            });
        pl.Dev.push_back({{names[k]}, v.Value, DistSu(ph, v.Grad), true});
        s2 += v.Value * v.Value;
      }
      pl.Rms = std::sqrt(s2 / static_cast<double>(pts.size()));
      planePts.push_back(pts);
    } else {
      planePts.emplace_back();
    }
    r.Planes.push_back(std::move(pl));
  }
  for (size_t i = 0; i < planePts.size(); ++i)
    for (size_t j = i + 1; j < planePts.size(); ++j) {
      DistMeasure m;
      m.Atoms = {"plane " + std::to_string(i + 1), "plane " + std::to_string(j + 1)};
      if (!planePts[i].empty() && !planePts[j].empty()) {
        auto pts = planePts[i];
        pts.insert(pts.end(), planePts[j].begin(), planePts[j].end());
        const size_t n1 = planePts[i].size();
        const DistValue v = Numeric(
            ph.Cell, pts,
            [&](const std::vector<Vec3>& x, const DistCell& cl) { return PlaneAngle(x, cl, n1); });
        m = {m.Atoms, v.Value, DistSu(ph, v.Grad), true};
      }
      r.PlaneAngles.push_back(std::move(m));
    }
}

void DistBondValenceSums(const Structure& s, const DistTables& tables, DistResults& r,
                         const std::function<double(int, int)>& dmax) {
  (void)s;
  const DistPhase& ph = r.Phase;
  const DistCommands& c = r.Cmd;
  // Coefficients of a cation-anion pair: the block's "bondval" by type
  // names first, then the table by elements and oxidation state.
  auto coef = [&](const DistAtom& cat, const DistAtom& an, double& r0, double& b) {
    for (const auto& p : c.BondVal)
      if (EqIgnoreCase(p.Cation, cat.TypeName) && EqIgnoreCase(p.Anion, an.TypeName)) {
        r0 = p.R0;
        b = p.B;
        return true;
      }
    if (cat.Charge < 0 || an.Charge > 0 || cat.Element.empty() || an.Element.empty()) return false;
    if (auto e = DistBondValOf(tables, cat.Element, cat.Charge, an.Element)) {
      r0 = e->R0;
      b = e->B;
      return true;
    }
    return false;
  };
  double dmaxAll = 0., dispAll = 0.;
  for (const auto& a : ph.Atoms)
    for (const auto& b : ph.Atoms) dmaxAll = std::max(dmaxAll, dmax(a.Type, b.Type));
  const bool mod = ph.NDimI > 0 && r.Mod.Atoms.size() == ph.Atoms.size();
  auto disp = [&](int i) { return mod ? r.Mod.Atoms[static_cast<size_t>(i)].MaxDisp : 0.; };
  for (size_t i = 0; i < ph.Atoms.size(); ++i) dispAll = std::max(dispAll, disp(static_cast<int>(i)));
  for (int a = 0; a < static_cast<int>(ph.Atoms.size()); ++a) {
    const DistAtom& A = ph.Atoms[static_cast<size_t>(a)];
    if (A.Kind != DoAtom || !DistSelected(c.Select, A.Name)) continue;
    if (c.OccCut > 0. && A.Occ <= c.OccCut) continue;
    double r0 = 0., b = 0.;
    auto limit = [&](int j) { return dmax(A.Type, ph.Atoms[static_cast<size_t>(j)].Type); };
    auto reach = [&](int j) { return limit(j) + disp(a) + disp(j); };
    auto accept = [&](int j) {
      const DistAtom& B = ph.Atoms[static_cast<size_t>(j)];
      return B.Kind == DoAtom && !(c.OccCut > 0. && B.Occ <= c.OccCut) && coef(A, B, r0, b);
    };
    auto nb = ph.Parts.empty()
                  ? DistAround(ph, a, mod ? 0. : c.DMin, dmaxAll + 2. * dispAll, reach, accept)
                  : DistModAround(ph, r.Mod, a, r.TGrid, reach, accept);
    if (nb.empty()) continue;
    DistBondValence bv;
    bv.Atom = a;
    DistGrad g;
    std::vector<double> sumT(mod ? r.TGrid.size() : 0, 0.);
    std::vector<char> exists(sumT.size(), 1);
    for (const auto& n : nb) {
      const DistAtom& B = ph.Atoms[static_cast<size_t>(n.Atom)];
      (void)coef(A, B, r0, b);
      const double occ = std::min(1., B.Occ);
      if (n.D >= c.DMin && n.D <= limit(n.Atom)) {
        const double sv = occ * std::exp((r0 - n.D) / b);
        bv.Sum += sv;
        g.Merge(n.Grad, -sv / b);
        ++bv.NBonds;
      }
      if (!mod) continue;
      // At each t: the bonds within the limits there, weighted by the
      // neighbour's occupancy at t; t where the cation is absent do not count.
      Vec3 xa{}, xb{};
      for (size_t k = 0; k < r.TGrid.size(); ++k) {
        double oa = 1., ob = 1.;
        if (!DistModPosition(ph, r.Mod, a, 0, {0, 0, 0}, r.TGrid[k].data(), xa, &oa)) {
          exists[k] = 0;
          continue;
        }
        if (!DistModPosition(ph, r.Mod, n.Atom, n.Op, n.N, r.TGrid[k].data(), xb, &ob)) continue;
        const double d = DistLength(ph.Cell.G, DistDiff(xb, xa));
        if (d < c.DMin || d > limit(n.Atom) || (c.OccCut > 0. && B.Occ * ob <= c.OccCut)) continue;
        sumT[k] += std::min(1., occ * ob) * std::exp((r0 - d) / b);
      }
    }
    if (mod) {
      bv.Min = std::numeric_limits<double>::max();
      bv.Max = -bv.Min;
      for (size_t k = 0; k < sumT.size(); ++k) {
        if (!exists[k]) continue;
        bv.Ave += sumT[k];
        bv.Min = std::min(bv.Min, sumT[k]);
        bv.Max = std::max(bv.Max, sumT[k]);
        ++bv.NT;
      }
      if (bv.NT > 0)
        bv.Ave /= bv.NT;
      else
        bv.Min = bv.Max = 0.;
    }
    if (bv.NBonds == 0 && bv.NT == 0) continue;
    bv.Su = DistSu(ph, g);
    r.BondValences.push_back(bv);
  }
}

void DistHirshfeldTest(DistResults& r) {
  const DistPhase& ph = r.Phase;
  for (const auto& co : r.Coord) {
    const DistAtom& A = ph.Atoms[static_cast<size_t>(co.Central)];
    if (!A.Aniso) continue;
    for (const auto& n : co.Neigh) {
      const DistAtom& B = ph.Atoms[static_cast<size_t>(n.Atom)];
      if (!B.Aniso || n.Atom < co.Central || (n.Atom == co.Central && n.Op == 0)) continue;
      Vec3 e = Cart(ph.Cell, DistDiff(n.X, DistPointOf(ph, co.Central).X));
      const double len = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
      if (len <= 0.) continue;
      Vec3 w{};  // Orth^T n
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) w[i] += ph.Cell.Orth[j * 3 + i] * e[j] / len;
      std::array<double, 6> da{}, db{};
      const double ma = Msd(A, DistPartR(ph, co.Central, 0), w, da);
      const double mb = Msd(B, DistPartR(ph, n.Atom, n.Op), w, db);
      double s2 = 0.;
      if (n.Atom == co.Central) {
        for (int k = 0; k < 6; ++k) s2 += std::pow((da[k] - db[k]) * A.BetaSu[k], 2);
      } else {
        for (int k = 0; k < 6; ++k)
          s2 += std::pow(da[k] * A.BetaSu[k], 2) + std::pow(db[k] * B.BetaSu[k], 2);
      }
      ++r.HirshfeldTested;
      const double delta = ma - mb, su = std::sqrt(s2);
      // Without uncertainties the test cannot be made.
      if (su > 0. && std::fabs(delta) > r.Cmd.HirshLev * su)
        r.Hirshfeld.push_back({co.Central, n, delta, su});
    }
  }
}

}  // namespace tarn
