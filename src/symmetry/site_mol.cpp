// Rigid-body geometry of molecule positions and their site-symmetry
// constraints (conventions in site_mol.hpp).
#include "symmetry/site_mol.hpp"
#include "util/numbers.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

namespace tarn {

namespace {

constexpr double kTolGimbal = 1e-9;   // |sin| below which two angles of a type share one axis
constexpr double kPosGrid = 48.;      // special positions are multiples of 1/48 or less fine
constexpr double kTolPosGrid = 1e-6;  // snapping of a position constant to that grid

using M3 = Eigen::Matrix3d;


// Active rotation about axis 0 (x), 1 (y) or 2 (z) by a radians, and its
// derivative with respect to a.
M3 AxisRot(int axis, double a, bool deriv) {
  const double c = std::cos(a), s = std::sin(a);
  M3 r = M3::Zero();
  const int i = (axis + 1) % 3, j = (axis + 2) % 3;
  if (deriv) {
    r(i, i) = -s;
    r(j, j) = -s;
    r(i, j) = -c;
    r(j, i) = c;
  } else {
    r(axis, axis) = 1.;
    r(i, i) = c;
    r(j, j) = c;
    r(i, j) = -s;
    r(j, i) = s;
  }
  return r;
}

// Axes and angle order of the factors R = F0 F1 F2 of each type.
struct RotFactors {
  int Axis[3];
  int Angle[3];  // which of phi, chi, psi each factor takes
};
RotFactors FactorsOf(int rotType) {
  if (rotType == 1) return {{2, 1, 0}, {2, 1, 0}};  // Rz(psi) Ry(chi) Rx(phi)
  return {{2, 0, 2}, {0, 1, 2}};                    // Rz(phi) Rx(chi) Rz(psi)
}

double Wrap180(double a) {
  a = std::remainder(a, 360.);
  if (a <= -180.) a += 360.;
  return a == 0. ? 0. : a;
}

// Vector of an antisymmetric matrix: W = [w]x.
Eigen::Vector3d Vee(const M3& w) {
  return Eigen::Vector3d(0.5 * (w(2, 1) - w(1, 2)), 0.5 * (w(0, 2) - w(2, 0)),
                         0.5 * (w(1, 0) - w(0, 1)));
}

// A(r) lambda = lambda x r.
M3 AMat(const Eigen::Vector3d& r) {
  M3 a;
  a << 0., r(2), -r(1), -r(2), 0., r(0), r(1), -r(0), 0.;
  return a;
}

M3 SymOf(const double* v6) {
  M3 m;
  m << v6[0], v6[3], v6[4], v6[3], v6[1], v6[5], v6[4], v6[5], v6[2];
  return m;
}

// Appends the rows of S - I (n x n, S given as an Eigen matrix).
void AppendRows(const Eigen::MatrixXd& s, SpecRows& rows) {
  const int n = static_cast<int>(s.rows());
  std::vector<double> a(static_cast<size_t>(n * n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[static_cast<size_t>(i * n + j)] = s(i, j);
  AveSpec(a.data(), rows);
}

// Equations of a reduced system of one block; indices offset by `first`.
void BlockEquations(const SpecReduced& red, const SiteMolPos& p, int first, SpecEquations& eqs) {
  for (size_t r = 0; r < red.Row.size(); ++r) {
    SpecEquation e;
    e.Owner = p.Name;
    e.Molecule = true;
    e.Kind = first;
    e.Dep = first + red.Pivot[r];
    e.DepName = MolSiteParName(e.Dep) + "[" + p.Name + "]";
    for (int j = 0; j < red.NPar; ++j) {
      if (j == red.Pivot[r] || !(std::fabs(red.Row[r][static_cast<size_t>(j)]) > kTolSpecEqCoef))
        continue;
      e.Coef.push_back(-red.Row[r][static_cast<size_t>(j)]);
      e.Ind.push_back(first + j);
      e.IndName.push_back(MolSiteParName(first + j) + "[" + p.Name + "]");
    }
    ReallocEquations(eqs, eqs.NEq + 1);
    eqs.Eq[static_cast<size_t>(eqs.NEq++)] = std::move(e);
  }
}

// Constants that make equations [from, NEq) hold for the values v (indexed
// by the position's value list).
void SetConstants(const std::array<double, MpNTls>& v, SpecEquations& eqs, int from) {
  for (int k = from; k < eqs.NEq; ++k) {
    SpecEquation& e = eqs.Eq[static_cast<size_t>(k)];
    double c = v[static_cast<size_t>(e.Dep)];
    for (size_t i = 0; i < e.Coef.size(); ++i) c -= e.Coef[i] * v[static_cast<size_t>(e.Ind[i])];
    if (std::fabs(c) < kTolSpecEqCoef * 1e-3) c = 0.;
    e.Const = c;
  }
}

}  // namespace

Mat3 MolRotation(int rotType, const std::array<double, 3>& angDeg, std::array<Mat3, 3>* dR) {
  const RotFactors f = FactorsOf(rotType);
  M3 fac[3], dfac[3];
  for (int k = 0; k < 3; ++k) {
    const double a = angDeg[static_cast<size_t>(f.Angle[k])] * kDeg;
    fac[k] = AxisRot(f.Axis[k], a, false);
    if (dR) dfac[k] = AxisRot(f.Axis[k], a, true) * kDeg;
  }
  if (dR)
    for (int k = 0; k < 3; ++k) {
      M3 d = M3::Identity();
      for (int j = 0; j < 3; ++j) d = d * (j == k ? dfac[j] : fac[j]);
      (*dR)[static_cast<size_t>(f.Angle[k])] = FromEigen(d);
    }
  return FromEigen(fac[0] * fac[1] * fac[2]);
}

std::array<double, 3> MolAngles(int rotType, const Mat3& ra) {
  const M3 r = ToEigen(ra);
  const double rad = 1. / kDeg;
  double phi = 0., chi = 0., psi = 0.;
  if (rotType == 1) {
    // R31 = -sin chi, R32 = cos chi sin phi, R33 = cos chi cos phi,
    // R21 = sin psi cos chi, R11 = cos psi cos chi.
    chi = std::asin(std::clamp(-r(2, 0), -1., 1.));
    if (std::fabs(std::cos(chi)) > kTolGimbal) {
      phi = std::atan2(r(2, 1), r(2, 2));
      psi = std::atan2(r(1, 0), r(0, 0));
    } else {
      // chi = +-90: only psi -+ phi is defined; phi = 0, R12 = -sin psi, R22 = cos psi.
      psi = std::atan2(-r(0, 1), r(1, 1));
    }
  } else {
    // R33 = cos chi, R13 = sin phi sin chi, R23 = -cos phi sin chi,
    // R31 = sin chi sin psi, R32 = sin chi cos psi.
    chi = std::acos(std::clamp(r(2, 2), -1., 1.));
    if (std::fabs(std::sin(chi)) > kTolGimbal) {
      phi = std::atan2(r(0, 2), -r(1, 2));
      psi = std::atan2(r(2, 0), r(2, 1));
    } else {
      // chi = 0 or 180: R = Rz(phi) diag(1, +-1, +-1); psi = 0.
      phi = std::atan2(r(1, 0), r(0, 0));
    }
  }
  return {Wrap180(phi * rad), chi * rad, Wrap180(psi * rad)};
}

Mat3 MolTlsU(const double* t6, const double* l6, const double* s9, const std::array<double, 3>& r,
             std::array<Mat3, 3>* dU) {
  const M3 t = SymOf(t6), l = SymOf(l6);
  M3 s;
  for (int i = 0; i < 9; ++i) s(i / 3, i % 3) = s9[i];
  const Eigen::Vector3d rv(r[0], r[1], r[2]);
  const M3 a = AMat(rv);
  const M3 u = t + a * l * a.transpose() + a * s + s.transpose() * a.transpose();
  if (dU)
    for (int k = 0; k < 3; ++k) {
      Eigen::Vector3d e = Eigen::Vector3d::Zero();
      e(k) = 1.;
      const M3 ak = AMat(e);  // dA/dr_k (A is linear in r)
      const M3 d =
          ak * l * a.transpose() + a * l * ak.transpose() + ak * s + s.transpose() * ak.transpose();
      (*dU)[static_cast<size_t>(k)] = FromEigen(d);
    }
  return FromEigen(u);
}

std::string MolSiteParName(int i) {
  static constexpr const char* kBase[7] = {"ai", "phi", "chi", "psi", "tx", "ty", "tz"};
  static constexpr const char* kSym[6] = {"11", "22", "33", "12", "13", "23"};
  if (i >= 0 && i < MpNBase) return kBase[i];
  if (i >= MpT && i < MpL) return std::string("T") + kSym[i - MpT];
  if (i >= MpL && i < MpS) return std::string("L") + kSym[i - MpL];
  if (i >= MpS && i < MpNTls) return fmt::format("S{}{}", (i - MpS) / 3 + 1, (i - MpS) % 3 + 1);
  return fmt::format("p{}", i + 1);
}

Mat3 MolCartOp(const Mat3& m, const Mat3& rm) {
  const M3 mm = ToEigen(m);
  return FromEigen(mm * ToEigen(rm) * mm.inverse());
}

void AtSpecMol(const std::vector<SiteMolPos>& pos, const SiteContext& ctx, const Mat3& m,
               SpecEquations& eqs) {
  if (ctx.Symm == nullptr) return;
  std::vector<SiteOp> ops;
  for (const SiteMolPos& p : pos) {
    double x[kMaxNDim] = {};
    for (int k = 0; k < 3; ++k)
      x[k] = p.Ref[static_cast<size_t>(k)] + p.Trans[static_cast<size_t>(k)];
    const double* w = p.Sub >= 0 && p.Sub < static_cast<int>(ctx.WSub.size())
                          ? ctx.WSub[static_cast<size_t>(p.Sub)].data()
                          : nullptr;
    SpecPos(x, false, *ctx.Symm, ctx.Metric.data(), w, ctx.Tol, &ops);
    if (ops.size() <= 1) continue;
    // Distinct rotations (the translation part matters only through SpecPos).
    std::vector<Mat3> rots;
    for (const SiteOp& op : ops)
      if (std::none_of(rots.begin(), rots.end(),
                       [&](const Mat3& r) { return eqrv(r.data(), op.RM.data(), 9, kTolOd0do1); }))
        rots.push_back(op.RM);
    // Values at the special position: the translation moves the reference
    // point exactly onto its site.
    std::array<double, MpNTls> v{};
    for (int k = 0; k < 3; ++k) {
      v[static_cast<size_t>(MpAng + k)] = p.Ang[static_cast<size_t>(k)];
      v[static_cast<size_t>(MpTrans + k)] = x[k] - p.Ref[static_cast<size_t>(k)];
    }
    // Translation: rows of R - I (fractional), constants from the site.
    {
      SpecRows rows;
      rows.NPar = 3;
      for (const Mat3& r : rots) AveSpec(r.data(), rows);
      const int from = eqs.NEq;
      BlockEquations(UprSpec(rows), p, MpTrans, eqs);
      // The constant of the reference point c = Ref + t on the 1/48 grid,
      // then expressed through t.
      for (int k = from; k < eqs.NEq; ++k) {
        SpecEquation& e = eqs.Eq[static_cast<size_t>(k)];
        auto cOf = [&](int i) { return x[i - MpTrans]; };
        double c = cOf(e.Dep);
        for (size_t i = 0; i < e.Coef.size(); ++i) c -= e.Coef[i] * cOf(e.Ind[i]);
        const double g = std::round(c * kPosGrid) / kPosGrid;
        if (std::fabs(c - g) < kTolPosGrid) c = g;
        c -= p.Ref[static_cast<size_t>(e.Dep - MpTrans)];
        for (size_t i = 0; i < e.Coef.size(); ++i)
          c += e.Coef[i] * p.Ref[static_cast<size_t>(e.Ind[i] - MpTrans)];
        e.Const = std::fabs(c) < 1e-12 ? 0. : c;
      }
    }
    // Rotation: w = J dAngles with column k of J the vector of dR/da_k R^T;
    // rows (det(Rc) Rc - I) J over the three angles.
    {
      std::array<Mat3, 3> dR;
      const M3 r = ToEigen(MolRotation(p.RotType, p.Ang, &dR));
      M3 j;
      for (int k = 0; k < 3; ++k)
        j.col(k) = Vee(ToEigen(dR[static_cast<size_t>(k)]) * r.transpose());
      SpecRows rows;
      rows.NPar = 3;
      for (const Mat3& rf : rots) {
        const M3 rc = ToEigen(MolCartOp(m, rf));
        const M3 b = (rc.determinant() * rc - M3::Identity()) * j;
        for (int i = 0; i < 3; ++i) {
          for (int k = 0; k < 3; ++k) rows.A.push_back(b(i, k));
          ++rows.NRow;
        }
      }
      const int from = eqs.NEq;
      BlockEquations(UprSpec(rows), p, MpAng, eqs);
      SetConstants(v, eqs, from);
    }
    if (!p.Tls) continue;
    // T and L: Rc X Rc^T; S: det(Rc) Rc S Rc^T (Cartesian).
    for (int blk : {MpT, MpL, MpS}) {
      SpecRows rows;
      rows.NPar = blk == MpS ? 9 : 6;
      for (const Mat3& rf : rots) {
        const Mat3 rc = MolCartOp(m, rf);
        if (blk == MpS) {
          const M3 e = ToEigen(rc);
          const double det = e.determinant();
          Eigen::MatrixXd s(9, 9);
          // S'_ij = det sum_kl Rc_ik Rc_jl S_kl.
          for (int i = 0; i < 3; ++i)
            for (int jj = 0; jj < 3; ++jj)
              for (int k = 0; k < 3; ++k)
                for (int l = 0; l < 3; ++l) s(3 * i + jj, 3 * k + l) = det * e(i, k) * e(jj, l);
          AppendRows(s, rows);
        } else {
          const std::array<double, 36> s = srotb(rc);
          AveSpec(s.data(), rows);
        }
      }
      BlockEquations(UprSpec(rows), p, blk, eqs);
    }
  }
}

}  // namespace tarn
