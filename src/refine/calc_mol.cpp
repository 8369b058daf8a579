// Molecule positions as pseudo-atoms of the structure-factor sum, the chain
// rule from the pseudo-atoms to the rigid-body values, and the site-symmetry
// equations of the positions (conventions in calc_mol.hpp and
// symmetry/site_mol.hpp).
#include "refine/calc_mol.hpp"
#include "model/structure.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <string>

#include "util/report.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "refine/constr_internal.hpp"
#include "util/strings.hpp"
#include "util/numbers.hpp"

namespace tarn {

namespace {

constexpr double kTwoPi2 = 2. * kPi * kPi;  // beta = 2 pi^2 M^-1 U M^-T
constexpr int kPair[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};

using M3 = Eigen::Matrix3d;
using V3 = Eigen::Vector3d;

M3 SymOf(const std::array<double, 6>& b) {
  M3 m;
  m << b[0], b[3], b[4], b[3], b[1], b[5], b[4], b[5], b[2];
  return m;
}
// Symmetric unit matrix of component k (11 22 33 12 13 23).
M3 SymUnit(int k) {
  M3 e = M3::Zero();
  e(kPair[k][0], kPair[k][1]) = 1.;
  e(kPair[k][1], kPair[k][0]) = 1.;
  return e;
}
// A(r) lambda = lambda x r.
M3 AMat(const V3& r) {
  M3 a;
  a << 0., r(2), -r(1), -r(2), 0., r(0), r(1), -r(0), 0.;
  return a;
}

bool MolModulated(const MoleculeRec& m) {
  for (int k = 0; k < NMolKinds; ++k)
    if (m.Shape.NWave[static_cast<size_t>(k)] > 0) return true;
  return m.Shape.Flag[0] == 1;
}

bool AtomHarmonic(const AtomRec& a) {
  for (int k = 0; k < NParKinds; ++k)
    if (a.Shape.NWave[static_cast<size_t>(k)] > 0) return false;
  return a.Shape.AdpOrder <= 2 && a.Shape.Flag[0] != 1 && a.Shape.Flag[1] != 1 &&
         a.Shape.MagPar == 0;
}

int Refuse(std::string_view what, const std::string& name) {
  ReportError(std::string(calcmsg::Header), {fmt::format("{} {}", what, name)});
  return 1;
}

}  // namespace

std::array<double, 3> MolRefPoint(const MoleculeRec& m) {
  std::array<double, 3> c{};
  if (m.RefType == 1 && !m.Atoms.empty()) {
    for (const AtomRec& a : m.Atoms)
      for (int k = 0; k < 3; ++k)
        c[static_cast<size_t>(k)] += a.Par.Val[static_cast<size_t>(1 + k)];
    for (double& v : c) v /= static_cast<double>(m.Atoms.size());
    return c;
  }
  for (int k = 0; k < 3 && k < m.Ref.size(); ++k)
    c[static_cast<size_t>(k)] = m.Ref.Val[static_cast<size_t>(k)];
  return c;
}

void MolPlaceAtom(const CalcMolAtom& a, const Mat3& ma, const Mat3& mia, const double* v,
                  double& occ, std::array<double, 3>& x, std::array<double, 6>& beta, double* jac) {
  const M3 m = ToEigen(ma), mi = ToEigen(mia);
  const std::array<double, 3> ang = {v[MpAng], v[MpAng + 1], v[MpAng + 2]};
  std::array<Mat3, 3> dRa;
  const M3 r = ToEigen(MolRotation(a.RotType, ang, jac ? &dRa : nullptr));
  const V3 d(a.X0[0] - a.Ref[0], a.X0[1] - a.Ref[1], a.X0[2] - a.Ref[2]);
  const V3 r0 = m * d;   // Cartesian, model frame
  const V3 rc = r * r0;  // Cartesian, placed
  const V3 xf = mi * rc;
  for (int k = 0; k < 3; ++k)
    x[static_cast<size_t>(k)] = a.Ref[static_cast<size_t>(k)] + v[MpTrans + k] + xf(k);
  occ = v[MpAi] * a.Occ0;
  const M3 q = mi * r * m;
  const M3 b0 = SymOf(a.B0);
  M3 b = q * b0 * q.transpose();
  const bool tls = a.NPosPar >= MpNTls;
  std::array<Mat3, 3> dU;
  if (tls) {
    const std::array<double, 3> rr = {rc(0), rc(1), rc(2)};
    const M3 u = ToEigen(MolTlsU(v + MpT, v + MpL, v + MpS, rr, jac ? &dU : nullptr));
    b += kTwoPi2 * mi * u * mi.transpose();
  }
  for (int k = 0; k < 6; ++k) beta[static_cast<size_t>(k)] = b(kPair[k][0], kPair[k][1]);
  if (!jac) return;
  std::fill(jac, jac + kMolAtVals * MpNTls, 0.);
  auto setBeta = [&](int col, const M3& db) {
    for (int k = 0; k < 6; ++k) jac[(4 + k) * MpNTls + col] = db(kPair[k][0], kPair[k][1]);
  };
  jac[MpAi] = a.Occ0;
  for (int k = 0; k < 3; ++k) jac[(1 + k) * MpNTls + MpTrans + k] = 1.;
  for (int j = 0; j < 3; ++j) {
    const M3 dr = ToEigen(dRa[static_cast<size_t>(j)]);
    const V3 drc = dr * r0;
    const V3 dx = mi * drc;
    for (int k = 0; k < 3; ++k) jac[(1 + k) * MpNTls + MpAng + j] = dx(k);
    const M3 dq = mi * dr * m;
    M3 db = dq * b0 * q.transpose() + q * b0 * dq.transpose();
    if (tls) {
      M3 du = M3::Zero();
      for (int l = 0; l < 3; ++l) du += drc(l) * ToEigen(dU[static_cast<size_t>(l)]);
      db += kTwoPi2 * mi * du * mi.transpose();
    }
    setBeta(MpAng + j, db);
  }
  if (!tls) return;
  const M3 am = AMat(rc);
  for (int k = 0; k < 6; ++k) {
    const M3 e = SymUnit(k);
    setBeta(MpT + k, kTwoPi2 * mi * e * mi.transpose());
    setBeta(MpL + k, kTwoPi2 * mi * am * e * am.transpose() * mi.transpose());
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      M3 e = M3::Zero();
      e(i, j) = 1.;  // dS/dS_ij
      setBeta(MpS + 3 * i + j,
              kTwoPi2 * mi * (am * e + e.transpose() * am.transpose()) * mi.transpose());
    }
}

int CalcMolPrepare(CalcSetup& s, const RefParams& p) {
  auto prep = std::make_shared<CalcMolPrep>();
  const int nPhase = static_cast<int>(Struct.Basic.Phase.size());
  for (int ip = 0; ip < nPhase; ++ip) {
    const M3 m = OrthoMatrix(Struct.Basic.Phase[static_cast<size_t>(ip)]);
    prep->M.push_back(FromEigen(m));
    prep->Mi.push_back(FromEigen(m.inverse()));
  }
  for (size_t im = 0; im < Struct.Model.Mol.size(); ++im) {
    const MoleculeRec& mol = Struct.Model.Mol[im];
    if (mol.Pos.empty()) continue;
    const int ip = mol.Phase - 1;
    if (ip < 0 || ip >= nPhase) return Refuse(calcmsg::BadPhase, mol.Name);
    if (MolModulated(mol)) return Refuse(calcmolmsg::Modulated, mol.Name);
    if (mol.Part != 1) return Refuse(calcmolmsg::Composite, mol.Name);
    const PhaseBasic& ph = Struct.Basic.Phase[static_cast<size_t>(ip)];
    const int nType = static_cast<int>(ph.AtType.size());
    const std::array<double, 3> ref = MolRefPoint(mol);
    const bool tls = mol.Shape.TLS;
    CalcAtoms& ca = s.Atoms[static_cast<size_t>(ip)];
    for (const AtomRec& a : mol.Atoms) {
      if (a.Type < 1 || a.Type > nType)
        return Refuse(fmt::format("{}{})", calcmsg::BadType, a.Type), a.Name);
      if (!AtomHarmonic(a)) return Refuse(calcmolmsg::AtomKind, a.Name);
    }
    for (size_t ipos = 0; ipos < mol.Pos.size(); ++ipos) {
      const MolPosRec& pos = mol.Pos[ipos];
      for (const AtomRec& a : mol.Atoms) {
        CalcMolAtom c;
        c.Phase = ip;
        c.Slot = static_cast<int>(ca.Atom.size());
        c.PosBase = p.MolPosBase[im][ipos];
        c.NPosPar = tls ? MpNTls : MpNBase;
        c.RotType = mol.RotType;
        c.Occ0 = a.Par.Val[0];
        for (int k = 0; k < 3; ++k)
          c.X0[static_cast<size_t>(k)] = a.Par.Val[static_cast<size_t>(1 + k)];
        if (a.Shape.AdpOrder <= 1) {
          for (int k = 0; k < 6; ++k)
            c.B0[static_cast<size_t>(k)] =
                kTwoPi2 * a.Par.Val[4] * ph.MetTensI[3 * kPair[k][0] + kPair[k][1]];
        } else {
          for (int k = 0; k < 6; ++k)
            c.B0[static_cast<size_t>(k)] = a.Par.Val[static_cast<size_t>(4 + k)];
        }
        c.Ref = ref;
        const int slot = static_cast<int>(prep->At.size());
        ca.Atom.push_back(-1);
        ca.Name.push_back(a.Name + "[" + pos.Name + "]");
        ca.Type.push_back(a.Type - 1);
        ca.Iso.push_back(0);
        ca.ParBase.push_back(p.size() + kMolAtVals * slot);
        ca.Layout.push_back(AtomLayout(AtomShape{}));
        ++ca.NMol;
        prep->At.push_back(c);
      }
    }
  }
  s.NDerMol = kMolAtVals * static_cast<int>(prep->At.size());
  s.Mol = std::move(prep);
  return 0;
}

void CalcMolUpdate(CalcSetup& s, const RefParams& p) {
  if (!s.Mol) return;
  CalcMolPrep& prep = *s.Mol;
  for (CalcMolAtom& a : prep.At) {
    CalcAtoms& ca = s.Atoms[static_cast<size_t>(a.Phase)];
    double v[MpNTls] = {};
    for (int k = 0; k < a.NPosPar; ++k) v[k] = p.Val[static_cast<size_t>(a.PosBase + k)];
    double occ;
    std::array<double, 3> x;
    std::array<double, 6> b;
    MolPlaceAtom(a, prep.M[static_cast<size_t>(a.Phase)], prep.Mi[static_cast<size_t>(a.Phase)], v,
                 occ, x, b, a.J.data());
    const size_t k = static_cast<size_t>(a.Slot);
    ca.Occ[k] = occ;
    ca.X[k] = x[0];
    ca.Y[k] = x[1];
    ca.Z[k] = x[2];
    for (int j = 0; j < 6; ++j) ca.B[static_cast<size_t>(j)][k] = b[static_cast<size_t>(j)];
  }
}

void CalcMolChain(const CalcSetup& s, std::vector<double>& der) {
  if (!s.Mol || der.size() <= static_cast<size_t>(s.NPar)) return;
  const std::vector<CalcMolAtom>& at = s.Mol->At;
  for (size_t i = 0; i < at.size(); ++i) {
    const CalcMolAtom& a = at[i];
    const double* g = der.data() + s.NPar + kMolAtVals * static_cast<int>(i);
    double* d = der.data() + a.PosBase;
    for (int j = 0; j < a.NPosPar; ++j) {
      double sum = 0.;
      for (int k = 0; k < kMolAtVals; ++k) sum += g[k] * a.J[static_cast<size_t>(k * MpNTls + j)];
      d[j] += sum;
    }
  }
  der.resize(static_cast<size_t>(s.NPar));
}

void RefSpecAtMol(RefParams& p) {
  bool head = p.SiteEq.NEq > 0;  // SetSpec has listed the heading
  for (size_t ip = 0; ip < Struct.Basic.Phase.size(); ++ip) {
    const PhaseBasic& ph = Struct.Basic.Phase[ip];
    SiteContext ctx;
    ctx.Symm = &ph.Symmetry;
    std::copy(std::begin(ph.MetTens), std::end(ph.MetTens), ctx.Metric.begin());
    if (ph.NComp > 1) ctx.WSub = ph.WMatrix;
    const Mat3 m = FromEigen(OrthoMatrix(ph));
    for (size_t im = 0; im < Struct.Model.Mol.size(); ++im) {
      const MoleculeRec& mol = Struct.Model.Mol[im];
      if (mol.Phase != static_cast<int>(ip) + 1) continue;
      const std::array<double, 3> ref = MolRefPoint(mol);
      for (size_t ipos = 0; ipos < mol.Pos.size(); ++ipos) {
        const int base = p.MolPosBase[im][ipos];
        auto val = [&](int k) { return p.Val[static_cast<size_t>(base + k)]; };
        SiteMolPos s;
        s.Name = mol.Pos[ipos].Name;
        s.Ref = ref;
        for (int k = 0; k < 3; ++k) {
          s.Trans[static_cast<size_t>(k)] = val(MpTrans + k);
          s.Ang[static_cast<size_t>(k)] = val(MpAng + k);
        }
        s.RotType = mol.RotType;
        s.Tls = mol.Shape.TLS;
        s.Sub = mol.Part - 1;
        SpecEquations eqs;
        AtSpecMol({s}, ctx, m, eqs);
        for (int e = 0; e < eqs.NEq; ++e) {
          RefEq q = RefEqFromSite(eqs.Eq[static_cast<size_t>(e)], base);
          q.Text = RefEqText(p, q);
          if (!head) {
            RefListLine(p, std::string(constrmsg::SymmHead), false);
            head = true;
          }
          RefListLine(p, q.Text, false);
          p.Eq.push_back(std::move(q));
        }
      }
    }
  }
}

}  // namespace tarn
