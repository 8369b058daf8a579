#include "dist/dist_mod.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>

#include "model/atoms.hpp"
#include "util/numbers.hpp"
#include "util/report.hpp"

namespace tarn {

int DistMakeModel(const Structure& s, const DistPhase& ph, DistModel& m) {
  m = DistModel{};
  const int d = ph.NDimI;
  m.D = d;
  if (d <= 0) return 0;
  const PhaseBasic& p = s.Basic.Phase[static_cast<size_t>(ph.Phase - 1)];
  for (int i = 0; i < d && i < static_cast<int>(p.Qi.size()); ++i)
    m.Q[static_cast<size_t>(i)] = p.Qi[static_cast<size_t>(i)];
  if (ph.Phase <= static_cast<int>(s.Model.Phase.size())) {
    std::string err;
    if (ModWavesOfPhase(s.Model.Phase[static_cast<size_t>(ph.Phase - 1)], d, m.Waves, &err)) {
      ReportError("The wave vectors of the phase could not be read: " + err);
      return 1;
    }
  }
  const PhaseSymmetry& sy = p.Symmetry;
  const int n = sy.NDim;
  for (const DistOp& o : ph.Ops) {
    DistModel::Op mo;
    Eigen::MatrixXd ri = Eigen::MatrixXd::Identity(d, d);
    if (o.Op < static_cast<int>(sy.Op.size())) {
      const SymmOp& so = sy.Op[static_cast<size_t>(o.Op)];
      for (int i = 0; i < d; ++i) {
        for (int j = 0; j < 3; ++j)
          mo.RM[static_cast<size_t>(3 * i + j)] = so.RM6[static_cast<size_t>((3 + i) * n + j)];
        for (int j = 0; j < d; ++j) ri(i, j) = so.RM6[static_cast<size_t>((3 + i) * n + 3 + j)];
        mo.S4[static_cast<size_t>(i)] = so.S6[static_cast<size_t>(3 + i)];
      }
    }
    if (o.Centr < static_cast<int>(sy.VT6.size()))
      for (int i = 0; i < d; ++i)
        mo.S4[static_cast<size_t>(i)] += sy.VT6[static_cast<size_t>(o.Centr)][static_cast<size_t>(3 + i)];
    const Eigen::MatrixXd inv = ri.inverse();  // integer, unimodular
    for (int i = 0; i < d; ++i)
      for (int j = 0; j < d; ++j) mo.RIInv[static_cast<size_t>(d * i + j)] = inv(i, j);
    m.Ops.push_back(mo);
  }
  // Composite parts: their operators in their own basis.
  for (const DistPart& pt : ph.Parts) {
    std::vector<DistModel::Op> ops;
    std::vector<Mat3> rs;
    std::vector<Vec3> ts;
    for (size_t k = 0; k < pt.R.size(); ++k) {
      const auto& r = pt.R[k];
      const auto& t = pt.S[k];
      DistModel::Op mo;
      Eigen::MatrixXd ri(d, d);
      Mat3 r3{};
      Vec3 t3{};
      for (int i = 0; i < 3; ++i) {
        t3[i] = t[static_cast<size_t>(i)];
        for (int j = 0; j < 3; ++j) r3[3 * i + j] = r[static_cast<size_t>(i * n + j)];
      }
      for (int i = 0; i < d; ++i) {
        mo.S4[static_cast<size_t>(i)] = t[static_cast<size_t>(3 + i)];
        for (int j = 0; j < 3; ++j) mo.RM[static_cast<size_t>(3 * i + j)] = r[static_cast<size_t>((3 + i) * n + j)];
        for (int j = 0; j < d; ++j) ri(i, j) = r[static_cast<size_t>((3 + i) * n + 3 + j)];
      }
      const Eigen::MatrixXd inv = ri.inverse();
      for (int i = 0; i < d; ++i)
        for (int j = 0; j < d; ++j) mo.RIInv[static_cast<size_t>(d * i + j)] = inv(i, j);
      ops.push_back(mo);
      rs.push_back(r3);
      ts.push_back(t3);
    }
    m.PartOps.push_back(std::move(ops));
    m.PartR.push_back(std::move(rs));
    m.PartT.push_back(std::move(ts));
  }
  // Length in A of a fractional displacement: bounds of the waves.
  auto len = [&ph](const double* u) {
    double s2 = 0.;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) s2 += u[i] * ph.Cell.G[3 * i + j] * u[j];
    return std::sqrt(std::max(0., s2));
  };
  for (const DistAtom& a : ph.Atoms) {
    DistModel::Atom ma;
    if (a.Index < 0) {
      // Objects move with what they are built from; atoms of molecules keep
      // their place (modulated molecule positions are not evaluated).
      if (a.Mol >= 0 && a.MolPos >= 0) {
        const MolShape& sh = s.Model.Mol[static_cast<size_t>(a.Mol)].Shape;
        if (std::any_of(sh.NWave.begin(), sh.NWave.end(), [](int w) { return w > 0; }) ||
            sh.Flag[0] != 0)
          m.Unsupported.push_back(a.Name);
      } else if (a.Kind == DoCentre) {
        for (const auto& c : a.Of) ma.MaxDisp += c.W * m.Atoms[static_cast<size_t>(c.At)].MaxDisp;
      } else if (a.Kind == DoLonePair && !a.Of.empty()) {
        // The atom's displacement and a turn of the direction by up to 180 deg.
        ma.MaxDisp = m.Atoms[static_cast<size_t>(a.Of[0].At)].MaxDisp + 2. * a.LpDist;
      } else if (d == 1) {  // a peak with its displacement wave
        for (size_t w = 0; w + 3 <= a.Wave.size(); w += 3) ma.MaxDisp += len(a.Wave.data() + w);
      }
      m.Atoms.push_back(std::move(ma));
      continue;
    }
    const AtomRec& r = s.Model.Atom[static_cast<size_t>(a.Index)];
    const AtomLayoutInfo lay = AtomLayout(r.Shape);
    const int nw = r.Shape.NWave[1], no = r.Shape.NWave[0];
    const auto val = [&r](int off) {
      return off < r.Par.size() ? r.Par.Val[static_cast<size_t>(off)] : 0.;
    };
    if (r.Shape.Flag[0] == 1 && lay.Len[BlkCrenel] == 2) {
      ma.Crenel = true;
      ma.X40 = val(lay.Off[BlkCrenel]);
      ma.Delta = val(lay.Off[BlkCrenel] + 1);
    }
    if (r.Shape.Flag[1] == 1 && lay.Len[BlkSaw] == 5) {
      ma.Saw = true;
      for (int k = 0; k < 3; ++k) ma.USaw[static_cast<size_t>(k)] = val(lay.Off[BlkSaw] + k);
      ma.SawX40 = val(lay.Off[BlkSaw] + 3);
      ma.SawDelta = val(lay.Off[BlkSaw] + 4);
      ma.MaxDisp += len(ma.USaw.data());
    }
    ma.Ortho = r.FunType > 0;
    if (ma.Ortho) {
      // The set lives on the function interval, or on the crenel's.
      const double fx = r.FunVal[0];
      const double fw = r.FunHasWidth ? r.FunVal[1] : (ma.Crenel ? ma.Delta : 1.);
      if ((nw > 0 && MakeFPolSet(r.FunType, 2 * nw, fx, fw, ma.PosSet)) ||
          (no > 0 && MakeFPolSet(r.FunType, 2 * no, fx, fw, ma.OccSet))) {
        m.Unsupported.push_back(a.Name);
        m.Atoms.push_back(std::move(ma));
        continue;
      }
    } else if ((nw > 0 && !ModWavesCover(&m.Waves, nw, d)) ||
               (no > 0 && !ModWavesCover(&m.Waves, no, d))) {
      m.Unsupported.push_back(a.Name);
      m.Atoms.push_back(std::move(ma));
      continue;
    }
    if (nw > 0) {
      ma.NWave = nw;
      const auto off = static_cast<size_t>(lay.Off[BlkPosWave]);
      ma.Amp.assign(r.Par.Val.begin() + static_cast<long>(off),
                    r.Par.Val.begin() + static_cast<long>(off + 6 * static_cast<size_t>(nw)));
      // |f| <= 1 for sine and cosine; the orthogonal sets stay below about
      // 2 on their interval, so the bound takes 2 for them.
      const double f = ma.Ortho ? 2. : 1.;
      for (int w = 0; w < 2 * nw; ++w) ma.MaxDisp += f * len(ma.Amp.data() + 3 * w);
    }
    if (no > 0 && lay.Len[BlkOccWave] >= 2 * no) {
      ma.NOccWave = no;
      const auto off = static_cast<size_t>(lay.Off[BlkOccWave]);
      ma.OccAmp.assign(r.Par.Val.begin() + static_cast<long>(off),
                       r.Par.Val.begin() + static_cast<long>(off + 2 * static_cast<size_t>(no)));
    }
    m.Atoms.push_back(std::move(ma));
  }
  return 0;
}

std::vector<std::array<double, 3>> DistTGrid(const DistCommands& c, int d) {
  std::array<std::vector<double>, 3> axis;
  const int defaultSteps = d == 1 ? 100 : d == 2 ? 20 : 10;
  for (int i = 0; i < d; ++i) {
    const auto at = [i](const auto& v, double dflt) {
      return i < static_cast<int>(v.size()) ? static_cast<double>(v[static_cast<size_t>(i)]) : dflt;
    };
    const int steps = std::max(1, static_cast<int>(at(c.NOofT, 0.)) > 0
                                      ? static_cast<int>(at(c.NOofT, 0.))
                                      : defaultSteps);
    const double first = at(c.TFirst, 0.), last = at(c.TLast, first + 1.), zero = at(c.TZero, 0.);
    const bool period = std::abs(last - first - 1.) < 1e-9;
    const double step = steps == 1 ? 0. : (last - first) / (period ? steps : steps - 1);
    for (int k = 0; k < steps; ++k) axis[static_cast<size_t>(i)].push_back(zero + first + k * step);
  }
  std::vector<std::array<double, 3>> grid;
  const size_t n0 = axis[0].size(), n1 = d > 1 ? axis[1].size() : 1, n2 = d > 2 ? axis[2].size() : 1;
  for (size_t k = 0; k < n2; ++k)
    for (size_t j = 0; j < n1; ++j)
      for (size_t i = 0; i < n0; ++i)
        grid.push_back({axis[0][i], d > 1 ? axis[1][j] : 0., d > 2 ? axis[2][k] : 0.});
  return grid;
}

namespace {

// Position of an object (peak, centre, lone pair) at its own section t0
// (fractional, reference basis).
bool ObjectAt(const DistPhase& ph, const DistModel& m, int i, const double* t0, Vec3& c) {
  const DistAtom& o = ph.Atoms[static_cast<size_t>(i)];
  const std::array<int, 3> zero{};
  if (o.Kind == DoCentre) {
    c = {};
    for (const auto& k : o.Of) {
      Vec3 x{};
      if (!DistModPosition(ph, m, k.At, k.Op, k.N, t0, x)) return false;
      for (int j = 0; j < 3; ++j) c[j] += k.W * x[j];
    }
    return true;
  }
  if (o.Kind == DoLonePair) {
    // Opposite the mean direction of the bonds at t0, at its distance.
    if (o.Of.empty()) return false;
    Vec3 xa{};
    if (!DistModPosition(ph, m, o.Of[0].At, 0, zero, t0, xa)) return false;
    Eigen::Matrix3d orth;
    for (int r = 0; r < 3; ++r)
      for (int j = 0; j < 3; ++j) orth(r, j) = ph.Cell.Orth[3 * r + j];
    Eigen::Vector3d dir = Eigen::Vector3d::Zero();
    for (const auto& b : o.Bonds) {
      Vec3 xb{};
      if (!DistModPosition(ph, m, b.At, b.Op, b.N, t0, xb)) continue;
      const Vec3 e = DistDiff(xb, xa);
      const Eigen::Vector3d v = orth * Eigen::Vector3d(e[0], e[1], e[2]);
      if (v.norm() > 0.) dir -= v.normalized();
    }
    if (dir.norm() < 1e-3) return false;
    const Eigen::Vector3d f = orth.inverse() * (dir.normalized() * o.LpDist);
    for (int j = 0; j < 3; ++j) c[j] = xa[j] + f[j];
    return true;
  }
  // A peak: its displacement wave at x4 = q.x + t0, harmonic n of sin and cos.
  c = o.X;
  if (m.D != 1) return true;
  double x4 = t0[0];
  for (int j = 0; j < 3; ++j) x4 += m.Q[0][j] * o.X[j];
  for (size_t w = 0; w + 6 <= o.Wave.size(); w += 6) {
    const double arg = kTwoPi * static_cast<double>(w / 6 + 1) * x4;
    for (int j = 0; j < 3; ++j)
      c[j] += o.Wave[w + static_cast<size_t>(j)] * std::sin(arg) +
              o.Wave[w + 3 + static_cast<size_t>(j)] * std::cos(arg);
  }
  return true;
}

}  // namespace

bool DistModPosition(const DistPhase& ph, const DistModel& m, int atom, int op,
                     const std::array<int, 3>& n, const double* t, Vec3& x, double* occ) {
  const DistAtom& a = ph.Atoms[static_cast<size_t>(atom)];
  const DistModel::Atom& ma = m.Atoms[static_cast<size_t>(atom)];
  const int d = m.D;
  // In a composite the atom's part gives operators, modulation vectors and
  // the section t of its own basis.
  const DistPart* pt = m.PartOps.empty() ? nullptr : DistPartOf(ph, atom);
  const size_t part = pt ? static_cast<size_t>(pt - ph.Parts.data()) : 0;
  const Mat3& R = pt ? m.PartR[part][static_cast<size_t>(op)] : ph.Ops[static_cast<size_t>(op)].R;
  const Vec3& T = pt ? m.PartT[part][static_cast<size_t>(op)] : ph.Ops[static_cast<size_t>(op)].T;
  const DistModel::Op& mo = pt ? m.PartOps[part][static_cast<size_t>(op)] : m.Ops[static_cast<size_t>(op)];
  const std::array<Vec3, 3>& Q = pt ? pt->Q : m.Q;
  double tp[3] = {t[0], d > 1 ? t[1] : 0., d > 2 ? t[2] : 0.};
  if (pt)
    for (int i = 0; i < d; ++i) {
      tp[i] = 0.;
      for (int j = 0; j < d; ++j) tp[i] += pt->Lambda[static_cast<size_t>(i * d + j)] * t[j];
    }
  if (a.Kind != DoAtom && !pt) {
    // An object's image at section t shows the object at its own section
    // t0 = RI^-1 (t + q.(s + n) - s4), the same for every point.
    double rhs[3] = {}, t0[3] = {};
    for (int i = 0; i < d; ++i) {
      rhs[i] = tp[i] - mo.S4[static_cast<size_t>(i)];
      for (int j = 0; j < 3; ++j) rhs[i] += Q[static_cast<size_t>(i)][j] * (T[j] + n[static_cast<size_t>(j)]);
    }
    for (int i = 0; i < d; ++i)
      for (int j = 0; j < d; ++j) t0[i] += mo.RIInv[static_cast<size_t>(d * i + j)] * rhs[j];
    Vec3 c{};
    if (!ObjectAt(ph, m, atom, t0, c)) return false;
    for (int i = 0; i < 3; ++i) {
      x[i] = T[i] + n[static_cast<size_t>(i)];
      for (int j = 0; j < 3; ++j) x[i] += R[3 * i + j] * c[j];
    }
    if (occ) *occ = 1.;
    return true;
  }
  Vec3 xb{};
  for (int i = 0; i < 3; ++i) {
    double v = T[i] + n[static_cast<size_t>(i)];
    for (int j = 0; j < 3; ++j) v += R[3 * i + j] * a.X[j];
    xb[i] = v;
  }
  // The atom's own argument: xb4 = RI^-1 (q.xb' + t - RM xb - s4).
  double rhs[3] = {}, x4[3] = {};
  for (int i = 0; i < d; ++i) {
    double v = tp[i] - mo.S4[static_cast<size_t>(i)];
    for (int j = 0; j < 3; ++j)
      v += Q[static_cast<size_t>(i)][j] * xb[j] - mo.RM[static_cast<size_t>(3 * i + j)] * a.X[j];
    rhs[i] = v;
  }
  for (int i = 0; i < d; ++i)
    for (int j = 0; j < d; ++j) x4[i] += mo.RIInv[static_cast<size_t>(d * i + j)] * rhs[j];
  if (ma.Crenel && CrenelOcc(x4[0], ma.X40, ma.Delta) <= 0.) return false;
  double u[3] = {};
  if (ma.Saw) {
    double o1 = 0.;
    MakeOccModSawTooth(ma.USaw.data(), ma.SawX40, ma.SawDelta, x4, 1, d, &o1, u);
    if (o1 <= 0.) return false;
  }
  x = xb;
  if (ma.NWave > 0) {
    double w[3] = {};
    if (ma.Ortho)
      MakePosModPol(ma.PosSet, ma.Amp.data(), ma.NWave, x4, 1, w);
    else
      MakePosMod(ma.Amp.data(), ma.NWave, d, x4, 1, w, &m.Waves);
    for (int i = 0; i < 3; ++i) u[i] += w[i];
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) x[i] += R[3 * i + j] * u[j];
  if (pt) {  // to the reference basis at section t
    const Vec3 y = x;
    for (int i = 0; i < 3; ++i) {
      x[i] = 0.;
      for (int j = 0; j < 3; ++j) x[i] += pt->AInv[3 * i + j] * y[j];
      for (int j = 0; j < d; ++j) x[i] += pt->PL[static_cast<size_t>(i * d + j)] * t[j];
    }
  }
  if (occ) {
    *occ = 1.;
    if (ma.NOccWave > 0) {
      if (ma.Ortho)
        MakeOccModPol(ma.OccSet, ma.OccAmp.data(), ma.NOccWave, x4, 1, occ);
      else
        MakeOccMod(ma.OccAmp.data(), ma.NOccWave, d, x4, 1, occ, &m.Waves);
    }
  }
  return true;
}

std::vector<DistNeighbour> DistModAround(const DistPhase& ph, const DistModel& m, int a,
                                         const std::vector<std::array<double, 3>>& grid,
                                         const std::function<double(int)>& dmax,
                                         const std::function<bool(int)>& accept) {
  std::vector<DistNeighbour> out;
  if (grid.empty()) return out;
  const int d = m.D;
  const Mat3& g = ph.Cell.G;
  const DistPoint pa = DistPointOf(ph, a);  // at T0
  const DistPart* pta = DistPartOf(ph, a);
  auto len = [&g](const Vec3& v) { return DistLength(g, v); };
  for (int b = 0; b < static_cast<int>(ph.Atoms.size()); ++b) {
    if (!accept(b)) continue;
    const double dm = dmax(b);
    if (!(dm > 0.)) continue;
    const DistPart* pt = DistPartOf(ph, b);
    const auto part = static_cast<size_t>(pt - ph.Parts.data());
    // How far the two parts move against each other over the grid.
    double shift = 0.;
    for (const auto& t : grid) {
      Vec3 v{};
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < d; ++j)
          v[i] += (pt->PL[static_cast<size_t>(i * d + j)] - pta->PL[static_cast<size_t>(i * d + j)]) *
                  (t[static_cast<size_t>(j)] - ph.T0[static_cast<size_t>(j)]);
      shift = std::max(shift, len(v));
    }
    const double reachA = dm + shift;
    // The central atom in the coordinates of b's part at T0.
    Vec3 z{};
    for (int i = 0; i < 3; ++i) {
      Vec3 r{};
      for (int k = 0; k < 3; ++k) {
        r[k] = pa.X[k];
        for (int j = 0; j < d; ++j) r[k] -= pt->PL[static_cast<size_t>(k * d + j)] * ph.T0[static_cast<size_t>(j)];
      }
      for (int j = 0; j < 3; ++j) z[i] += pt->A[3 * i + j] * r[j];
    }
    const size_t first = out.size();
    const DistAtom& B = ph.Atoms[static_cast<size_t>(b)];
    for (int io = 0; io < static_cast<int>(ph.Ops.size()); ++io) {
      const Mat3& R = m.PartR[part][static_cast<size_t>(io)];
      const Vec3& T = m.PartT[part][static_cast<size_t>(io)];
      Vec3 y{};
      for (int i = 0; i < 3; ++i) {
        y[i] = T[i];
        for (int j = 0; j < 3; ++j) y[i] += R[3 * i + j] * B.X[j];
      }
      std::array<int, 3> lo{}, hi{};
      for (int i = 0; i < 3; ++i) {
        const double reach = reachA * std::sqrt(std::max(0., pt->GInv[4 * i]));
        lo[static_cast<size_t>(i)] = static_cast<int>(std::ceil(z[i] - y[i] - reach));
        hi[static_cast<size_t>(i)] = static_cast<int>(std::floor(z[i] - y[i] + reach));
      }
      for (int n0 = lo[0]; n0 <= hi[0]; ++n0)
        for (int n1 = lo[1]; n1 <= hi[1]; ++n1)
          for (int n2 = lo[2]; n2 <= hi[2]; ++n2) {
            const Vec3 yp{y[0] + n0, y[1] + n1, y[2] + n2};
            Vec3 x{};
            for (int i = 0; i < 3; ++i) {
              for (int j = 0; j < 3; ++j) x[i] += pt->AInv[3 * i + j] * yp[j];
              for (int j = 0; j < d; ++j)
                x[i] += pt->PL[static_cast<size_t>(i * d + j)] * ph.T0[static_cast<size_t>(j)];
            }
            const double dist = len(DistDiff(x, pa.X));
            if (dist > reachA) continue;
            if (b == a && dist < 1e-4) continue;
            DistPushNeighbour(ph, pa, b, io, {n0, n1, n2}, x, first, out);
          }
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const DistNeighbour& x, const DistNeighbour& y) { return x.D < y.D; });
  return out;
}

void DistModLimit(DistTCurve& c, double dmin, double dmax) {
  c.N = 0;
  c.Ave = 0.;
  c.Min = std::numeric_limits<double>::max();
  c.Max = -c.Min;
  for (size_t g = 0; g < c.D.size(); ++g) {
    const double v = c.D[g];
    if (v < 0. || !c.In[g] || (dmin > 0. && v < dmin) || (dmax > 0. && v > dmax)) {
      c.In[g] = 0;
      continue;
    }
    c.Ave += v;
    c.Min = std::min(c.Min, v);
    c.Max = std::max(c.Max, v);
    ++c.N;
  }
  if (c.N > 0)
    c.Ave /= c.N;
  else
    c.Min = c.Max = 0.;
}

namespace {

// Collects f(positions at t) over the grid; f gets the points in the order
// given (the first is atom a at its own position).
template <class F>
DistTCurve Curve(const DistPhase& ph, const DistModel& m, int a,
                 const std::vector<const DistNeighbour*>& nbs,
                 const std::vector<std::array<double, 3>>& grid, double occcut, F f) {
  DistTCurve c;
  std::vector<Vec3> x(nbs.size() + 1);
  auto occOk = [&](int atom, double factor) {
    return !(occcut > 0.) || ph.Atoms[static_cast<size_t>(atom)].Occ * factor > occcut;
  };
  for (const auto& t : grid) {
    double o = 1.;
    bool ok = DistModPosition(ph, m, a, 0, {0, 0, 0}, t.data(), x[0], &o) && occOk(a, o);
    for (size_t k = 0; k < nbs.size() && ok; ++k)
      ok = DistModPosition(ph, m, nbs[k]->Atom, nbs[k]->Op, nbs[k]->N, t.data(), x[k + 1], &o) &&
           occOk(nbs[k]->Atom, o);
    c.D.push_back(ok ? f(x) : -1.);
    c.In.push_back(ok ? 1 : 0);
  }
  DistModLimit(c, -1., -1.);
  return c;
}

double Dot(const Mat3& g, const Vec3& u, const Vec3& v) {
  double s = 0.;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s += u[i] * g[3 * i + j] * v[j];
  return s;
}

Vec3 Diff(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

}  // namespace

DistTCurve DistModDistance(const DistPhase& ph, const DistModel& m, int a, const DistNeighbour& nb,
                           const std::vector<std::array<double, 3>>& grid, double occcut) {
  const Mat3& g = ph.Cell.G;
  return Curve(ph, m, a, {&nb}, grid, occcut, [&g](const std::vector<Vec3>& x) {
    const Vec3 d = Diff(x[1], x[0]);
    return std::sqrt(std::max(Dot(g, d, d), 0.));
  });
}

DistTCurve DistModAngle(const DistPhase& ph, const DistModel& m, int a, const DistNeighbour& b,
                        const DistNeighbour& c, const std::vector<std::array<double, 3>>& grid) {
  const Mat3& g = ph.Cell.G;
  return Curve(ph, m, a, {&b, &c}, grid, 0., [&g](const std::vector<Vec3>& x) {
    const Vec3 u = Diff(x[1], x[0]), v = Diff(x[2], x[0]);
    const double q = std::sqrt(Dot(g, u, u) * Dot(g, v, v));
    const double cs = q > 0. ? std::clamp(Dot(g, u, v) / q, -1., 1.) : 1.;
    return std::acos(cs) / kDeg;
  });
}

}  // namespace tarn
