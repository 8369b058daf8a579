// Restraints: resolution of the commands, values and analytic derivatives,
// observations of the normal equations (docs/refinement.md, "Restraints").
#include "refine/restrain.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/modfun.hpp"
#include "model/structure.hpp"
#include "refine/calc_mag.hpp"
#include "refine/calc_mol.hpp"
#include "refine/constr_internal.hpp"
#include "refine/refine_listing.hpp"
#include "util/numbers.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

using V3 = Eigen::Vector3d;
using M3 = Eigen::Matrix3d;

constexpr double kCellStep = 1.e-6;  // relative step of the numerical dM/d(cell)
constexpr double kTiny = 1.e-12;     // lengths below this leave a restraint without derivative
// Index pairs of the six tensor components 11 22 33 12 13 23.
constexpr int kPair[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};

// A point of an item: Cartesian position and its Jacobian over the full
// parameter vector.
struct Pt {
  V3 X = V3::Zero();
  std::vector<std::pair<int, V3>> J;
};
// A displacement tensor (Cartesian, Angstrom^2) and its Jacobian.
struct Adp {
  M3 U = M3::Zero();
  std::vector<std::pair<int, M3>> J;
};

// Value of a restraint function with its derivatives over the points.
struct Fn {
  double V = 0.;
  std::vector<V3> dX;
};

const PhaseBasic& PhaseOf(const RestrAtom& a) {
  return Struct.Basic.Phase[static_cast<size_t>(a.Phase)];
}

const AtomRec& AtomOf(const RestrAtom& a) {
  return a.Atom >= 0
             ? Struct.Model.Atom[static_cast<size_t>(a.Atom)]
             : Struct.Model.Mol[static_cast<size_t>(a.Mol)].Atoms[static_cast<size_t>(a.MolAtom)];
}

// A molecule atom placed by the first position of its molecule.
CalcMolAtom MolAtomOf(const RefParams& p, const RestrAtom& a) {
  const MoleculeRec& mol = Struct.Model.Mol[static_cast<size_t>(a.Mol)];
  const AtomRec& at = mol.Atoms[static_cast<size_t>(a.MolAtom)];
  const PhaseBasic& ph = PhaseOf(a);
  CalcMolAtom c;
  c.Phase = a.Phase;
  c.PosBase = p.MolPosBase[static_cast<size_t>(a.Mol)][0];
  c.NPosPar = mol.Shape.TLS ? MpNTls : MpNBase;
  c.RotType = mol.RotType;
  c.Occ0 = at.Par.Val[0];
  for (int k = 0; k < 3; ++k) c.X0[static_cast<size_t>(k)] = at.Par.Val[static_cast<size_t>(1 + k)];
  for (int k = 0; k < 6; ++k)
    c.B0[static_cast<size_t>(k)] =
        at.Shape.AdpOrder <= 1
            ? 2. * kPi * kPi * at.Par.Val[4] * ph.MetTensI[3 * kPair[k][0] + kPair[k][1]]
            : at.Par.Val[static_cast<size_t>(4 + k)];
  c.Ref = MolRefPoint(mol);
  return c;
}

// Fractional position of the atom (before its symmetry part) and
// d(x)/d(parameter) columns; t shifts the internal coordinate of modulated atoms.
void FracPos(const RefParams& p, const RestrAtom& a, double t, V3& x,
             std::vector<std::pair<int, V3>>& jac) {
  jac.clear();
  if (a.Atom < 0) {
    const CalcMolAtom c = MolAtomOf(p, a);
    const PhaseBasic& ph = PhaseOf(a);
    const Mat3 m = FromEigen(OrthoMatrix(ph)), mi = FromEigen(OrthoMatrix(ph).inverse());
    double v[MpNTls] = {};
    for (int k = 0; k < c.NPosPar; ++k) v[k] = p.Val[static_cast<size_t>(c.PosBase + k)];
    double occ;
    std::array<double, 3> xf;
    std::array<double, 6> b;
    std::array<double, kMolAtVals * MpNTls> j{};
    MolPlaceAtom(c, m, mi, v, occ, xf, b, j.data());
    x = V3(xf[0], xf[1], xf[2]);
    for (int k = 0; k < c.NPosPar; ++k)
      jac.emplace_back(c.PosBase + k, V3(j[static_cast<size_t>(1 * MpNTls + k)],
                                         j[static_cast<size_t>(2 * MpNTls + k)],
                                         j[static_cast<size_t>(3 * MpNTls + k)]));
    return;
  }
  const int o = AtOff(p, a.Atom, BlkPos);
  x = V3(p.Val[static_cast<size_t>(o)], p.Val[static_cast<size_t>(o + 1)],
         p.Val[static_cast<size_t>(o + 2)]);
  for (int c = 0; c < 3; ++c) jac.emplace_back(o + c, V3::Unit(c));
  const AtomRec& at = AtomOf(a);
  const PhaseBasic& ph = PhaseOf(a);
  const int nw = at.Shape.NWave[1];
  if (nw == 0 || ph.NDim != 4 || ph.Qi.empty() || at.FunType != FunHarm) return;
  // One modulation vector: x4 = q.(x + T) + t; u(x4) = sum S_n sin(2 pi k_n x4) + C_n cos(...).
  const V3 q(ph.Qi[0][0], ph.Qi[0][1], ph.Qi[0][2]);
  const double x4 = q.dot(x + V3(a.T[0], a.T[1], a.T[2])) + t;
  const int w0 = AtOff(p, a.Atom, BlkPosWave);
  V3 u = V3::Zero(), du = V3::Zero();
  for (int n = 0; n < nw; ++n) {
    const double k = ModWaveVector(n, 1)[0];
    const double arg = kTwoPi * k * x4, s = std::sin(arg), cs = std::cos(arg);
    for (int c = 0; c < 3; ++c) {
      const int is = w0 + 6 * n + c, ic = is + 3;
      const double sv = p.Val[static_cast<size_t>(is)], cv = p.Val[static_cast<size_t>(ic)];
      u[c] += sv * s + cv * cs;
      du[c] += kTwoPi * k * (sv * cs - cv * s);
      jac.emplace_back(is, s * V3::Unit(c));
      jac.emplace_back(ic, cs * V3::Unit(c));
    }
  }
  x += u;
  // d u / d x_c through x4 = q.x + ...
  for (int c = 0; c < 3; ++c) jac[static_cast<size_t>(c)].second += du * q[c];
}

// Orthogonalisation matrix of a cell given as six values.
M3 OrthoOf(const double* cell) {
  return ToEigen(RefOrthoMatrix(cell));
}

// The cell of the atom's phase from the parameter vector (its refined values).
std::array<double, 6> CellOf(const RefParams& p, const RestrAtom& a) {
  std::array<double, 6> c{};
  const PhaseBasic& ph = PhaseOf(a);
  const bool inVec = static_cast<size_t>(a.Phase) < p.PhaseBase.size();
  for (int k = 0; k < 6; ++k)
    c[static_cast<size_t>(k)] =
        inVec ? p.Val[static_cast<size_t>(p.PhaseBase[static_cast<size_t>(a.Phase)] + k)]
              : ph.Cell[k];
  return c;
}

Pt PointOf(const RefParams& p, const RestrAtom& a, double t) {
  V3 x;
  std::vector<std::pair<int, V3>> jac;
  FracPos(p, a, t, x, jac);
  const M3 r = ToEigen(a.R);
  const V3 xs = r * x + V3(a.T[0], a.T[1], a.T[2]);
  const std::array<double, 6> cell = CellOf(p, a);
  const M3 m = OrthoOf(cell.data());
  Pt pt;
  pt.X = m * xs;
  const M3 mr = m * r;
  for (const auto& [i, d] : jac) pt.J.emplace_back(i, mr * d);
  // Cell parameters: dX/dc = dM/dc xs, dM by a central difference of the
  // closed-form matrix (RefDerCompress keeps it only where the cell is refined).
  if (static_cast<size_t>(a.Phase) < p.PhaseBase.size()) {
    const int base = p.PhaseBase[static_cast<size_t>(a.Phase)];
    for (int k = 0; k < 6; ++k) {
      std::array<double, 6> c1 = cell, c2 = cell;
      const double h = kCellStep * std::max(1., std::abs(cell[static_cast<size_t>(k)]));
      c1[static_cast<size_t>(k)] += h;
      c2[static_cast<size_t>(k)] -= h;
      pt.J.emplace_back(base + k, (OrthoOf(c1.data()) - OrthoOf(c2.data())) * xs / (2. * h));
    }
  }
  return pt;
}

// Cartesian U of the atom: Q B Q^T with Q = M R / (sqrt(2) pi) for a tensor
// beta B, Uiso I for an isotropic atom.
Adp AdpOf(const RefParams& p, const RestrAtom& a) {
  Adp u;
  const AtomRec& at = AtomOf(a);
  const PhaseBasic& ph = PhaseOf(a);
  const std::array<double, 6> cell = CellOf(p, a);
  auto qOf = [&](const double* c) { return M3(OrthoOf(c) * ToEigen(a.R) / (std::sqrt(2.) * kPi)); };
  const M3 q = qOf(cell.data());
  // B = sum_k b_k E_k with E_k = e_i e_j^T + e_j e_i^T (once on the diagonal).
  auto unit = [&](int k) {
    M3 e = M3::Zero();
    e(kPair[k][0], kPair[k][1]) = 1.;
    e(kPair[k][1], kPair[k][0]) = 1.;
    return M3(q * e * q.transpose());
  };
  std::array<double, 6> beta{};
  if (a.Atom < 0) {
    const CalcMolAtom c = MolAtomOf(p, a);
    const Mat3 m = FromEigen(OrthoMatrix(ph)), mi = FromEigen(OrthoMatrix(ph).inverse());
    double v[MpNTls] = {};
    for (int k = 0; k < c.NPosPar; ++k) v[k] = p.Val[static_cast<size_t>(c.PosBase + k)];
    double occ;
    std::array<double, 3> xf;
    std::array<double, kMolAtVals * MpNTls> j{};
    MolPlaceAtom(c, m, mi, v, occ, xf, beta, j.data());
    for (int i = 0; i < c.NPosPar; ++i) {
      M3 d = M3::Zero();
      for (int k = 0; k < 6; ++k) d += j[static_cast<size_t>((4 + k) * MpNTls + i)] * unit(k);
      u.J.emplace_back(c.PosBase + i, d);
    }
  } else {
    const int o = AtOff(p, a.Atom, BlkAdp);
    if (at.Shape.AdpOrder <= 1) {
      u.U = p.Val[static_cast<size_t>(o)] * M3::Identity();
      u.J.emplace_back(o, M3::Identity());
      return u;
    }
    for (int k = 0; k < 6; ++k) {
      beta[static_cast<size_t>(k)] = p.Val[static_cast<size_t>(o + k)];
      u.J.emplace_back(o + k, unit(k));
    }
  }
  M3 b;
  for (int k = 0; k < 6; ++k)
    b(kPair[k][0], kPair[k][1]) = b(kPair[k][1], kPair[k][0]) = beta[static_cast<size_t>(k)];
  u.U = q * b * q.transpose();
  // The cell: U = Q(cell) B Q(cell)^T, dQ by a central difference.
  if (static_cast<size_t>(a.Phase) < p.PhaseBase.size()) {
    const int base = p.PhaseBase[static_cast<size_t>(a.Phase)];
    for (int k = 0; k < 6; ++k) {
      std::array<double, 6> c1 = cell, c2 = cell;
      const double h = kCellStep * std::max(1., std::abs(cell[static_cast<size_t>(k)]));
      c1[static_cast<size_t>(k)] += h;
      c2[static_cast<size_t>(k)] -= h;
      const M3 q1 = qOf(c1.data()), q2 = qOf(c2.data());
      u.J.emplace_back(base + k, (q1 * b * q1.transpose() - q2 * b * q2.transpose()) / (2. * h));
    }
  }
  return u;
}

// ---- geometric functions of Cartesian points (angles in degrees)

Fn Distance(const std::vector<Pt>& x) {
  Fn f;
  const V3 r = x[1].X - x[0].X;
  f.V = r.norm();
  const V3 n = f.V > kTiny ? V3(r / f.V) : V3::Zero();
  f.dX = {-n, n};
  return f;
}

Fn Angle(const std::vector<Pt>& x) {
  Fn f;
  const V3 a = x[0].X - x[1].X, b = x[2].X - x[1].X;
  const double la = a.norm(), lb = b.norm();
  f.dX.assign(3, V3::Zero());
  if (la < kTiny || lb < kTiny) return f;
  const double c = std::clamp(a.dot(b) / (la * lb), -1., 1.);
  const double th = std::acos(c), s = std::sin(th);
  f.V = th / kDeg;
  if (s < kTiny) return f;
  const V3 ua = a / la, ub = b / lb;
  f.dX[0] = (c * ua - ub) / (la * s) / kDeg;
  f.dX[2] = (c * ub - ua) / (lb * s) / kDeg;
  f.dX[1] = -(f.dX[0] + f.dX[2]);
  return f;
}

Fn Torsion(const std::vector<Pt>& x) {
  Fn f;
  f.dX.assign(4, V3::Zero());
  const V3 b1 = x[1].X - x[0].X, b2 = x[2].X - x[1].X, b3 = x[3].X - x[2].X;
  const V3 n1 = b1.cross(b2), n2 = b2.cross(b3);
  const double l2 = b2.norm(), nn1 = n1.squaredNorm(), nn2 = n2.squaredNorm();
  if (l2 < kTiny || nn1 < kTiny || nn2 < kTiny) return f;
  f.V = std::atan2(l2 * b1.dot(n2), n1.dot(n2)) / kDeg;
  // Blondel and Karplus (1996), J. Comput. Chem. 17, 1132.
  const V3 d0 = -l2 / nn1 * n1, d3 = l2 / nn2 * n2;
  const double a = b1.dot(b2) / (l2 * l2), c = b3.dot(b2) / (l2 * l2);
  f.dX[0] = d0 / kDeg;
  f.dX[3] = d3 / kDeg;
  f.dX[1] = (c * d3 - (1. + a) * d0) / kDeg;
  f.dX[2] = (a * d0 - (1. + c) * d3) / kDeg;
  return f;
}

// Chiral volume (X2 - X1).((X3 - X1) x (X4 - X1)), X1 the central atom.
Fn Chiral(const std::vector<Pt>& x) {
  Fn f;
  const V3 a = x[1].X - x[0].X, b = x[2].X - x[0].X, c = x[3].X - x[0].X;
  f.V = a.dot(b.cross(c));
  f.dX = {V3::Zero(), b.cross(c), c.cross(a), a.cross(b)};
  f.dX[0] = -(f.dX[1] + f.dX[2] + f.dX[3]);
  return f;
}

// Signed distances of the points from their least-squares plane through the
// centroid c with normal n (smallest eigenvector of S = sum r r^T, r = X - c;
// sign: its largest component positive), with derivatives that include the
// turn of the plane: dn/dX_j,a = -sum_m v_m v_m.(e_a (r_j.n) + r_j n_a) / (l_m - l_0).
std::vector<Fn> PlaneDistances(const std::vector<Pt>& x) {
  const size_t n = x.size();
  V3 c = V3::Zero();
  for (const auto& p : x) c += p.X;
  c /= static_cast<double>(n);
  M3 s = M3::Zero();
  for (const auto& p : x) s += (p.X - c) * (p.X - c).transpose();
  Eigen::SelfAdjointEigenSolver<M3> es(s);
  V3 nv = es.eigenvectors().col(0);
  Eigen::Index big = 0;
  nv.cwiseAbs().maxCoeff(&big);
  if (nv[big] < 0.) nv = -nv;
  const V3 lam = es.eigenvalues();
  std::vector<Fn> out(n);
  for (size_t k = 0; k < n; ++k) {
    const V3 rk = x[k].X - c;
    out[k].V = nv.dot(rk);
    out[k].dX.assign(n, V3::Zero());
    for (size_t j = 0; j < n; ++j) {
      const V3 rj = x[j].X - c;
      V3 g = nv * ((j == k ? 1. : 0.) - 1. / static_cast<double>(n));
      for (int m = 1; m < 3; ++m) {
        const double den = lam[m] - lam[0];
        if (den < kTiny) continue;
        const V3 vm = es.eigenvectors().col(m);
        const double vr = vm.dot(rk);
        g -= vr * (vm * rj.dot(nv) + vm.dot(rj) * nv) / den;
      }
      out[k].dX[j] = g;
    }
  }
  return out;
}

// Adds coef * d to the derivatives of an observation through a Jacobian.
void ChainPt(const Pt& p, const V3& d, std::vector<std::pair<int, double>>& g) {
  for (const auto& [i, j] : p.J) g.emplace_back(i, d.dot(j));
}
void ChainAdp(const Adp& a, const M3& d, double sign, std::vector<std::pair<int, double>>& g) {
  // d: derivative of the observation with respect to U (as a full matrix).
  for (const auto& [i, j] : a.J) g.emplace_back(i, sign * (d.array() * j.array()).sum());
}

bool Modulated(const RestrAtom& a) {
  if (a.Atom < 0) return false;
  const AtomRec& at = AtomOf(a);
  const PhaseBasic& ph = PhaseOf(a);
  return at.Shape.NWave[1] > 0 && ph.NDim == 4 && !ph.Qi.empty();
}

// Samples of one geometric item: one, or kRestrTGrid over the internal
// coordinate when an atom is modulated.
std::vector<RestrObs> GeomSamples(const RefParams& p, const RestrCmd& c, size_t it) {
  const auto& atoms = c.Items[it];
  const bool mod = std::any_of(atoms.begin(), atoms.end(), Modulated);
  const int nt = mod ? kRestrTGrid : 1;
  std::vector<RestrObs> out;
  for (int k = 0; k < nt; ++k) {
    const double t = static_cast<double>(k) / nt;
    std::vector<Pt> x;
    for (const auto& a : atoms) x.push_back(PointOf(p, a, t));
    Fn f = c.Kind == RestrDist    ? Distance(x)
           : c.Kind == RestrAngle ? Angle(x)
           : c.Kind == RestrTors  ? Torsion(x)
                                  : Chiral(x);
    RestrObs o;
    o.Calc = f.V;
    for (size_t j = 0; j < x.size(); ++j) ChainPt(x[j], f.dX[j], o.G);
    o.W = 1. / (c.Su * c.Su * nt);
    out.push_back(std::move(o));
  }
  return out;
}

// ADP restraints of one item: several components, each an observation with target 0.
std::vector<RestrObs> AdpSamples(const RefParams& p, const RestrCmd& c, size_t it) {
  const auto& atoms = c.Items[it];
  std::vector<RestrObs> out;
  const double w = 1. / (c.Su * c.Su);
  auto add = [&](double v, const std::vector<std::pair<int, double>>& g) {
    RestrObs o;
    o.Calc = v;
    o.W = w;
    o.G = g;
    out.push_back(std::move(o));
  };
  // Symmetric unit matrices of the six components 11 22 33 12 13 23.
  auto comp = [](int k) {
    M3 e = M3::Zero();
    e(kPair[k][0], kPair[k][1]) = e(kPair[k][1], kPair[k][0]) = k < 3 ? 1. : 0.5;
    return e;
  };
  if (c.Kind == RestrIsor) {
    // U - (tr U / 3) I: six components.
    const Adp a = AdpOf(p, atoms[0]);
    const M3 d = a.U - a.U.trace() / 3. * M3::Identity();
    for (int k = 0; k < 6; ++k) {
      std::vector<std::pair<int, double>> g;
      const M3 e = comp(k) - (k < 3 ? 1. / 3. : 0.) * M3::Identity();
      ChainAdp(a, e, 1., g);
      add(d(kPair[k][0], kPair[k][1]), g);
    }
    return out;
  }
  const Adp a = AdpOf(p, atoms[0]), b = AdpOf(p, atoms[1]);
  const M3 du = a.U - b.U;
  if (c.Kind == RestrSimu) {
    for (int k = 0; k < 6; ++k) {
      std::vector<std::pair<int, double>> g;
      ChainAdp(a, comp(k), 1., g);
      ChainAdp(b, comp(k), -1., g);
      add(du(kPair[k][0], kPair[k][1]), g);
    }
    return out;
  }
  // rigu, delu: along the bond n = (X_B - X_A)/|X_B - X_A|.
  const Pt xa = PointOf(p, atoms[0], 0.), xb = PointOf(p, atoms[1], 0.);
  const V3 r = xb.X - xa.X;
  const double len = r.norm();
  if (len < kTiny) return out;
  const V3 n = r / len;
  const M3 proj = (M3::Identity() - n * n.transpose()) / len;  // dn/dr
  const double f1 = n.dot(du * n);
  {
    std::vector<std::pair<int, double>> g;
    const M3 e = n * n.transpose();
    ChainAdp(a, e, 1., g);
    ChainAdp(b, e, -1., g);
    const V3 dr = proj * (2. * du * n);
    ChainPt(xb, dr, g);
    ChainPt(xa, -dr, g);
    add(f1, g);
  }
  if (c.Kind == RestrDelu) return out;
  // rigu: the components of (I - n n^T) dU n, perpendicular to the bond.
  const V3 gv = du * n - f1 * n;
  const M3 dgdn = du - f1 * M3::Identity() - 2. * n * (du * n).transpose();
  const M3 dgdr = dgdn * proj;
  for (int i = 0; i < 3; ++i) {
    std::vector<std::pair<int, double>> g;
    // d g_i / dU = e_i n^T - n_i n n^T (as a full matrix, symmetrised)
    M3 e = V3::Unit(i) * n.transpose() - n[i] * n * n.transpose();
    e = 0.5 * (e + e.transpose()).eval();
    ChainAdp(a, e, 1., g);
    ChainAdp(b, e, -1., g);
    const V3 dr = dgdr.row(i).transpose();
    ChainPt(xb, dr, g);
    ChainPt(xa, -dr, g);
    add(gv[i], g);
  }
  return out;
}

std::vector<RestrObs> PlaneSamples(const RefParams& p, const RestrCmd& c, size_t it) {
  std::vector<Pt> x;
  for (const auto& a : c.Items[it]) x.push_back(PointOf(p, a, 0.));
  std::vector<RestrObs> out;
  for (const Fn& f : PlaneDistances(x)) {
    RestrObs o;
    o.Calc = f.V;
    o.W = 1. / (c.Su * c.Su);
    for (size_t j = 0; j < x.size(); ++j) ChainPt(x[j], f.dX[j], o.G);
    out.push_back(std::move(o));
  }
  return out;
}

// Modulus of the moment in Bohr magnetons: the first value of the spherical
// form, else |M| with M = sum m_i a_i/|a_i| (Cartesian).
std::vector<RestrObs> MagSamples(const RefParams& p, const RestrCmd& c, size_t it) {
  const RestrAtom& a = c.Items[it][0];
  const int o = RefSetRestrainMag(p, a);
  RestrObs ob;
  ob.W = 1. / (c.Su * c.Su);
  if (o < 0) return {};
  const AtomRec& at = AtomOf(a);
  const int ip = a.Phase;
  const bool spher = static_cast<size_t>(ip) < Struct.Model.Phase.size() &&
                     MagAtomRepr(Struct.Model.Phase[static_cast<size_t>(ip)], at.Name) == MagSpher;
  if (spher) {
    ob.Calc = p.Val[static_cast<size_t>(o)];
    ob.G.emplace_back(o, 1.);
    return {ob};
  }
  M3 m = OrthoOf(CellOf(p, a).data());
  for (int k = 0; k < 3; ++k) m.col(k).normalize();
  const V3 mv(p.Val[static_cast<size_t>(o)], p.Val[static_cast<size_t>(o + 1)],
              p.Val[static_cast<size_t>(o + 2)]);
  const V3 mc = m * mv;
  ob.Calc = mc.norm();
  if (ob.Calc > kTiny) {
    const V3 d = m.transpose() * mc / ob.Calc;
    for (int k = 0; k < 3; ++k) ob.G.emplace_back(o + k, d[k]);
  }
  return {ob};
}

// Targets of one command's samples (grouped per item) by its target type.
void SetTargets(const RestrCmd& c, std::vector<std::vector<RestrObs>>& items) {
  if (c.Target == 1) {
    for (auto& it : items)
      for (auto& o : it) o.Target = c.Kind >= RestrRigu && c.Kind <= RestrFlat ? 0. : c.Value;
    return;
  }
  // Type 2: the mean of every sample of the command; type 3: the mean of each
  // item over the internal coordinate. The restrained function is v - mean,
  // so the derivative of the mean enters as well.
  auto center = [](std::vector<RestrObs*>& group) {
    if (group.empty()) return;
    double m = 0.;
    std::vector<std::pair<int, double>> gm;
    for (auto* o : group) {
      m += o->Calc;
      for (const auto& [i, d] : o->G) gm.emplace_back(i, -d / static_cast<double>(group.size()));
    }
    m /= static_cast<double>(group.size());
    for (auto* o : group) {
      o->Target = m;
      o->G.insert(o->G.end(), gm.begin(), gm.end());
      // residual m - v of the function v - m: calculated value v - m, target 0
      o->Calc -= m;
      o->Target = 0.;
    }
  };
  if (c.Target == 2) {
    std::vector<RestrObs*> all;
    for (auto& it : items)
      for (auto& o : it) all.push_back(&o);
    center(all);
  } else {
    for (auto& it : items) {
      std::vector<RestrObs*> g;
      for (auto& o : it) g.push_back(&o);
      center(g);
    }
  }
}

RestrSums Accumulate(const RefParams& p, const std::vector<RestrObs>& obs, NormalEq* ne) {
  RestrSums s;
  std::vector<double> full(static_cast<size_t>(p.size())), derc(static_cast<size_t>(p.NRef));
  for (const RestrObs& o : obs) {
    double r = o.Target - o.Calc;
    ++s.N;
    s.WSum += o.W * r * r;
    if (ne == nullptr || p.NRef == 0) continue;
    std::fill(full.begin(), full.end(), 0.);
    for (const auto& [i, d] : o.G) full[static_cast<size_t>(i)] += d;
    RefDerCompress(p, full.data(), derc.data());
    SumaRefine(*ne, o.W, r, derc.data());
  }
  return s;
}

std::vector<RestrObs> ObsOf(const RefParams& p, const std::vector<RestrCmd>& cmds, bool mag) {
  std::vector<RestrObs> out;
  for (size_t ic = 0; ic < cmds.size(); ++ic) {
    const RestrCmd& c = cmds[ic];
    if ((c.Kind == RestrMagm) != mag || !(c.Su > 0.)) continue;
    std::vector<std::vector<RestrObs>> items;
    for (size_t it = 0; it < c.Items.size(); ++it) {
      std::vector<RestrObs> s;
      switch (c.Kind) {
        case RestrDist:
        case RestrAngle:
        case RestrTors:
        case RestrChiv:
          s = GeomSamples(p, c, it);
          break;
        case RestrFlat:
          s = PlaneSamples(p, c, it);
          break;
        case RestrMagm:
          s = MagSamples(p, c, it);
          break;
        default:
          s = AdpSamples(p, c, it);
      }
      for (auto& o : s) {
        o.Cmd = static_cast<int>(ic);
        o.Item = static_cast<int>(it);
      }
      items.push_back(std::move(s));
    }
    SetTargets(c, items);
    // Torsions: the residual on the circle.
    for (auto& it : items)
      for (auto& o : it) {
        if (c.Kind == RestrTors) {
          double d = o.Target - o.Calc;
          d -= 360. * std::round(d / 360.);
          o.Target = o.Calc + d;
        }
        out.push_back(std::move(o));
      }
  }
  return out;
}

}  // namespace

int RefSetRestrainPar(std::string_view name, RestrAtom& a) {
  a = RestrAtom{};
  a.Name = std::string(name);
  const auto hash = name.find('#');
  const std::string_view bare = name.substr(0, hash);
  a.Atom = FindAtomIndex(bare);
  int phase = 1;
  if (a.Atom >= 0) {
    phase = Struct.Model.Atom[static_cast<size_t>(a.Atom)].Phase;
  } else {
    for (size_t m = 0; m < Struct.Model.Mol.size() && a.Mol < 0; ++m) {
      const MoleculeRec& mol = Struct.Model.Mol[m];
      if (mol.Pos.empty()) continue;
      for (size_t k = 0; k < mol.Atoms.size(); ++k)
        if (EqIgnoreCase(mol.Atoms[k].Name, bare)) {
          a.Mol = static_cast<int>(m);
          a.MolAtom = static_cast<int>(k);
          phase = mol.Phase;
          break;
        }
    }
    if (a.Mol < 0) return 1;
  }
  a.Phase = std::clamp(phase - 1, 0, std::max(0, static_cast<int>(Struct.Basic.Phase.size()) - 1));
  if (Struct.Basic.Phase.empty()) return 1;
  if (hash != std::string_view::npos)
    RefSymmPartOp(Struct.Basic.Phase[static_cast<size_t>(a.Phase)], name.substr(hash + 1), a.R,
                  a.T);
  return 0;
}

int RefSetRestrainMag(const RefParams& p, const RestrAtom& a) {
  if (a.Atom < 0 || Struct.Model.Atom[static_cast<size_t>(a.Atom)].Shape.MagPar == 0) return -1;
  return AtOff(p, a.Atom, BlkMag);
}

int RefRestrainMag(const RefRestraint& r, RestrCmd& out, std::vector<std::string>& listing) {
  out = RestrCmd{};
  out.Kind = RestrMagm;
  out.Target = r.Target;
  out.Value = r.Value;
  out.Su = r.Su;
  for (const auto& it : r.Items) {
    RestrAtom a;
    if (RefSetRestrainPar(it[0], a) != 0 || a.Atom < 0 ||
        Struct.Model.Atom[static_cast<size_t>(a.Atom)].Shape.MagPar == 0) {
      listing.push_back(std::string(restrmsg::Unknown) + it[0]);
      return 1;
    }
    out.Items.push_back({a});
  }
  return 0;
}

int RefRestrain(const RefSettings& s, std::vector<RestrCmd>& out,
                std::vector<std::string>& listing) {
  out.clear();
  static constexpr std::string_view kName[] = {"",
                                               "distfix",
                                               "anglefix",
                                               "torsfix",
                                               "magmfix",
                                               "adpfix rigu",
                                               "adpfix delu",
                                               "adpfix simu",
                                               "adpfix isor",
                                               "planefix",
                                               "chivfix"};
  for (const RefRestraint& r : s.Restraint) {
    RestrCmd c;
    if (r.Kind == RestrMagm) {
      if (RefRestrainMag(r, c, listing) != 0) return 1;
    } else {
      c.Kind = r.Kind;
      c.Target = r.Target;
      c.Value = r.Value;
      c.Su = r.Su;
      for (const auto& it : r.Items) {
        std::vector<RestrAtom> atoms;
        for (const auto& nm : it) {
          RestrAtom a;
          if (RefSetRestrainPar(nm, a) != 0) {
            listing.push_back(std::string(restrmsg::Unknown) + nm);
            return 1;
          }
          atoms.push_back(a);
        }
        c.Items.push_back(std::move(atoms));
      }
    }
    const std::string target = r.Target == 2                                ? "="
                               : r.Target == 3                              ? "*"
                               : r.Kind >= RestrRigu && r.Kind <= RestrFlat ? ""
                                                                            : RefEqNumber(r.Value);
    c.Text = fmt::format("{} {}{}{} : {} item(s)", kName[r.Kind], target, target.empty() ? "" : " ",
                         RefEqNumber(r.Su), c.Items.size());
    out.push_back(std::move(c));
  }
  if (!out.empty()) {
    listing.push_back(std::string(restrmsg::Head));
    for (const auto& c : out) listing.push_back("  " + c.Text);
  }
  return 0;
}

std::vector<RestrObs> RefRestrainObs(const RefParams& p, const std::vector<RestrCmd>& cmds) {
  std::vector<RestrObs> a = ObsOf(p, cmds, false), m = ObsOf(p, cmds, true);
  a.insert(a.end(), m.begin(), m.end());
  return a;
}

RestrSums RefLoopDistAng(const RefParams& p, const std::vector<RestrCmd>& cmds, NormalEq* ne) {
  return Accumulate(p, ObsOf(p, cmds, false), ne);
}

RestrSums RefLoopMag(const RefParams& p, const std::vector<RestrCmd>& cmds, NormalEq* ne) {
  return Accumulate(p, ObsOf(p, cmds, true), ne);
}

}  // namespace tarn
