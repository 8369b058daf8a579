#include "refine/calc_mod.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numbers>

#include "model/basic.hpp"
#include "model/structure.hpp"
#include "symmetry/site.hpp"
#include "util/numbers.hpp"
#include "util/report.hpp"

namespace tarn {

namespace {

using Cx = std::complex<double>;
constexpr Cx kI{0., 1.};
constexpr double kTolCentrZero = 1.0e-6;  // |sum over centring| below this: extinct reflection
constexpr double kTolWIdentity = 1.0e-9;  // W matrix taken as the identity
constexpr double kAdpExpLimit = 20.;      // temperature-factor exponent above this: ADP negative
constexpr int kBesselExtra = 25;          // Bessel orders computed beyond the argument

// ---------------------------------------------------------------- messages
enum class ModMsg : int {
  AnharmBessel,
  AdpNegative,
  BadPhase,
  BadPart,
  BadW,
  NoWaves,
  BadWaves,
  WavesNotQ1,
};

std::string ModText(ModMsg m, const std::string& a = {}) {
  switch (m) {
    case ModMsg::AnharmBessel:
      return "Bessel function method doesn't allow to modulate ADP anharmonic tensors,not "
             "implemented.";
    case ModMsg::AdpNegative:
      return fmt::format("ADP of the atom \"{}\" strongly negative", a);
    case ModMsg::BadPhase:
      return fmt::format("The atom \"{}\" refers to a phase that is not defined.", a);
    case ModMsg::BadPart:
      return fmt::format("The atom \"{}\" refers to a composite part without a W matrix.", a);
    case ModMsg::BadW:
      return fmt::format("The W matrix of the composite part of the atom \"{}\" is singular.", a);
    case ModMsg::NoWaves:
      return fmt::format(
          "The wave vectors of the modulation waves of the atom \"{}\" are not defined: with "
          "more than one modulation vector give them by the option \"wave\".",
          a);
    case ModMsg::BadWaves:
      return a;
    case ModMsg::WavesNotQ1:
      return fmt::format(
          "Crenel and sawtooth functions of the atom \"{}\" need all its waves along the first "
          "modulation vector.",
          a);
  }
  return {};
}

// ---------------------------------------------------------------- per-operator sums
// Sums over the internal coordinate for one operator, all including the phase
// exp(2 pi i H'.X) of the point and its weight, and not yet the operator's
// translation phase:
//   SA      sum occ T e        (occ = occupational modulation without ai)
//   AS, AC  sum f_n^s E, f_n^c E with E = ai occ T e (position and ADP waves)
//   BS, BC  sum f_n^s T e, f_n^c T e (occupancy waves)
//   SXi     sum xi E (sawtooth reduced coordinate)
//   DX40, DDel        derivatives of sum E by the crenel (or sawtooth) x40, Delta
//   DAnh    modulated tensors: per component c the sums of E dP/dC_c (E without
//           the Gram-Charlier factor P), times 1, f_w^s, f_w^c of each tensor wave
struct OpSums {
  Cx SA, SXi, DX40, DDel;
  std::vector<Cx> AS, AC, BS, BC, DAnh;
  void Reset(int nw) {
    SA = SXi = DX40 = DDel = 0.;
    std::fill(DAnh.begin(), DAnh.end(), Cx(0.));
    AS.assign(static_cast<size_t>(nw), 0.);
    AC.assign(static_cast<size_t>(nw), 0.);
    BS.assign(static_cast<size_t>(nw), 0.);
    BC.assign(static_cast<size_t>(nw), 0.);
  }
};

// Transformed indices of one operator.
struct OpInd {
  std::array<double, 6> Hp{};  // H' = H.R
  std::array<double, 3> K{};   // k' = h' + m'.q (r.l.u. of the part)
  std::array<double, 6> KK{};  // -d(exponent of T)/d(beta_ij): k_i k_j (x2 off-diagonal), or
                               // 2 pi^2 k.G*.k for Uiso (KK[0])
  double PhaseS = 0.;          // 2 pi H.S
  bool Zero = false;           // an internal index m2, m3 of H' is not zero
};

OpInd MakeOpInd(const ModAtomPrep& m, const int* hp, const ModOp& op, bool iso) {
  OpInd o;
  const int n = m.NDim;
  for (int j = 0; j < n; ++j) {
    double v = 0.;
    for (int i = 0; i < n; ++i) v += hp[i] * op.R[static_cast<size_t>(i * n + j)];
    o.Hp[static_cast<size_t>(j)] = v;
  }
  double ph = 0.;
  for (int i = 0; i < n; ++i) ph += hp[i] * op.S[static_cast<size_t>(i)];
  o.PhaseS = kTwoPi * ph;
  for (int j = 0; j < 3; ++j) {
    double v = o.Hp[static_cast<size_t>(j)];
    for (int i = 0; i < m.NDimI; ++i)
      v += o.Hp[static_cast<size_t>(3 + i)] * m.Q[static_cast<size_t>(3 * i + j)];
    o.K[static_cast<size_t>(j)] = v;
  }
  if (m.GridDim == 1)
    for (int i = 0; i < m.NDimI; ++i)
      if (i != m.GridAxis && std::abs(o.Hp[static_cast<size_t>(3 + i)]) > 0.5) o.Zero = true;
  const auto& k = o.K;
  if (iso) {
    double s = 0.;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) s += k[i] * m.MetTensI[static_cast<size_t>(3 * i + j)] * k[j];
    o.KK[0] = 2. * kPi * kPi * s;
  } else {
    o.KK = {k[0] * k[0],      k[1] * k[1],      k[2] * k[2],
            2. * k[0] * k[1], 2. * k[0] * k[2], 2. * k[1] * k[2]};
  }
  return o;
}

int NAdpComp(const ModAtomPrep& m) {
  return m.Shape.AdpOrder <= 1 ? 1 : 6;
}

// dP/dC_c of the Gram-Charlier factor at k' (Vol. B 1.2.12):
// P = 1 + sum_n (2 pi i)^n / n! sum_comp Mult C k_i1 .. k_in, C stored x 10^n.
void AnhFactors(const ModAtomPrep& m, const OpInd& o, std::vector<Cx>& dpf) {
  dpf.resize(m.Anh.size());
  for (size_t c = 0; c < m.Anh.size(); ++c) {
    const auto& a = m.Anh[c];
    double prod = a.Mult;
    for (int i = 0; i < a.Order; ++i) prod *= o.K[a.Idx[i]];
    dpf[c] = std::pow(Cx(0., kTwoPi), a.Order) / std::tgamma(a.Order + 1.) * prod /
             std::pow(10., a.Order);
  }
}

// Adds the contribution of one operator (sums s, translation phase P) to g
// and, when asked, to the complex derivatives d (NPar).
void AddOp(const ModAtomPrep& m, const AtomRec& at, const OpInd& o, const OpSums& s, Cx* g, Cx* d) {
  const double* v = at.Par.Val.data();
  const Cx p0 = std::polar(1., o.PhaseS);
  // Gram-Charlier factor of static tensors, constant along x4; modulated
  // tensors have theirs inside the sums.
  Cx pf = 1.;
  thread_local std::vector<Cx> dpf;
  AnhFactors(m, o, dpf);
  if (!m.AnhMod)
    for (size_t c = 0; c < m.Anh.size(); ++c) pf += dpf[c] * v[m.Anh[c].Par];
  const Cx p = p0 * pf;
  const auto& off = m.Lay.Off;
  const double ai = v[off[BlkOcc]];
  const Cx se = ai * s.SA;
  *g += p * se;
  if (!d) return;
  if (!m.AnhMod) {
    for (size_t c = 0; c < m.Anh.size(); ++c) d[m.Anh[c].Par] += p0 * se * dpf[c];
  } else {
    size_t j = 0;
    for (const auto& a : m.Anh) {
      d[a.Par] += p0 * s.DAnh[j++];
      for (int w = 0; w < a.NWave; ++w) {
        d[a.WaveOff + 2 * a.NComp * w] += p0 * s.DAnh[j++];
        d[a.WaveOff + 2 * a.NComp * w + a.NComp] += p0 * s.DAnh[j++];
      }
    }
  }
  d[off[BlkOcc]] += p * s.SA;
  for (int j = 0; j < 3; ++j) d[off[BlkPos] + j] += p * kI * (kTwoPi * o.Hp[j]) * se;
  const int na = NAdpComp(m);
  for (int c = 0; c < na; ++c) d[off[BlkAdp] + c] -= p * o.KK[c] * se;
  const auto& nw = m.Shape.NWave;
  for (int n = 0; n < nw[0]; ++n) {
    d[off[BlkOccWave] + 2 * n] += p * ai * s.BS[n];
    d[off[BlkOccWave] + 2 * n + 1] += p * ai * s.BC[n];
  }
  for (int n = 0; n < nw[1]; ++n)
    for (int j = 0; j < 3; ++j) {
      const Cx f = p * kI * (kTwoPi * o.K[j]);
      d[off[BlkPosWave] + 6 * n + j] += f * s.AS[n];
      d[off[BlkPosWave] + 6 * n + 3 + j] += f * s.AC[n];
    }
  for (int n = 0; n < nw[2]; ++n)
    for (int c = 0; c < na; ++c) {
      d[off[BlkAdpWave] + 2 * na * n + c] -= p * o.KK[c] * s.AS[n];
      d[off[BlkAdpWave] + 2 * na * n + na + c] -= p * o.KK[c] * s.AC[n];
    }
  if (m.Saw) {
    for (int j = 0; j < 3; ++j) d[off[BlkSaw] + j] += p * kI * (kTwoPi * o.K[j]) * s.SXi;
    d[off[BlkSaw] + 3] += p * s.DX40;
    d[off[BlkSaw] + 4] += p * s.DDel;
  } else if (m.Crenel) {
    d[off[BlkCrenel]] += p * s.DX40;
    d[off[BlkCrenel] + 1] += p * s.DDel;
  }
}

void SetProblem(const AtomRec& at, std::string* msg) {
  if (msg) *msg = ModText(ModMsg::AdpNegative, at.Name);
}

// Centring factor sum_c exp(2 pi i H.c), H in the part's basis.
Cx CentrFactor(const ModAtomPrep& m, const int* hp) {
  Cx cf = 0.;
  for (const auto& c : m.Centr) {
    double v = 0.;
    for (int i = 0; i < m.NDim; ++i) v += hp[i] * c[static_cast<size_t>(i)];
    cf += std::polar(1., kTwoPi * v);
  }
  return cf;
}

// Crenel or sawtooth interval of the atom (centre, width).
void Interval(const ModAtomPrep& m, const AtomRec& at, double& x40, double& del) {
  const double* v = at.Par.Val.data();
  if (m.Saw) {
    x40 = v[m.Lay.Off[BlkSaw] + 3];
    del = v[m.Lay.Off[BlkSaw] + 4];
  } else {
    x40 = v[m.Lay.Off[BlkCrenel]];
    del = v[m.Lay.Off[BlkCrenel] + 1];
  }
}

// Finishes: g and derivatives times the centring factor.
void Finish(const ModAtomPrep& m, Cx cf, Cx g, const std::vector<Cx>& d, std::complex<double>& gout,
            double* dRe, double* dIm) {
  gout = cf * g;
  if (dRe || dIm)
    for (int i = 0; i < m.Lay.NPar; ++i) {
      const Cx v = cf * d[static_cast<size_t>(i)];
      if (dRe) dRe[i] = v.real();
      if (dIm) dIm[i] = v.imag();
    }
}

// ---------------------------------------------------------------- integration points
// Values on the integration points of one call (independent of the operator).
struct ModPoints {
  int N = 0;                 // points (boundary points of a crenel included)
  std::vector<double> X4;    // N * GridDim internal coordinates
  std::vector<double> W;     // weight (0 for boundary points)
  std::vector<int> Role;     // 0 inner point; +1 / -1 right / left end of the interval
  std::vector<double> Xi;    // reduced coordinate on the interval (crenel atoms)
  std::vector<double> F;     // N * MaxWave * 2: f_n^s, f_n^c
  std::vector<double> U;     // N * 3 displacement
  std::vector<double> Beta;  // N * na ADP (static included)
  std::vector<double> Occ;   // N occupational modulation (without ai)
};

void FillPoints(const ModAtomPrep& m, const AtomRec& at, ModPoints& pt) {
  const int nw = m.MaxWave;
  const double* v = at.Par.Val.data();
  const auto& off = m.Lay.Off;
  const auto& nwk = m.Shape.NWave;
  double x40 = 0., del = 1.;
  if (m.Crenel) {
    Interval(m, at, x40, del);
    const int nx = static_cast<int>(m.Xi.size());
    pt.N = nx + 2;
    pt.X4.resize(static_cast<size_t>(pt.N));
    pt.W.resize(static_cast<size_t>(pt.N));
    pt.Role.resize(static_cast<size_t>(pt.N));
    pt.Xi.resize(static_cast<size_t>(pt.N));
    for (int p = 0; p < nx; ++p) {
      pt.Xi[p] = m.Xi[p];
      pt.W[p] = 0.5 * del * m.XiW[p];
      pt.Role[p] = 0;
    }
    pt.Xi[nx] = 1.;
    pt.Role[nx] = 1;
    pt.Xi[nx + 1] = -1.;
    pt.Role[nx + 1] = -1;
    pt.W[nx] = pt.W[nx + 1] = 0.;
    for (int p = 0; p < pt.N; ++p) pt.X4[p] = x40 + 0.5 * del * pt.Xi[p];
  } else {
    pt.N = m.NPts;
    pt.X4 = m.X4;
    pt.W = m.W;
    pt.Role.assign(static_cast<size_t>(pt.N), 0);
    pt.Xi.assign(static_cast<size_t>(pt.N), 0.);
  }
  const int n = pt.N;
  // Function values.
  pt.F.resize(static_cast<size_t>(n * nw * 2));
  if (at.FunType > 0 && nw > 0) {
    FPolSet local;
    const FPolSet* fs = &m.FPol;
    const double fx = at.FunVal[0];
    const double fw = at.FunHasWidth ? at.FunVal[1] : (m.Crenel ? del : 1.);
    if (fs->X40 != fx || fs->Delta != fw) {
      (void)MakeFPolSet(at.FunType, 2 * nw, fx, fw, local);
      fs = &local;
    }
    for (int p = 0; p < n; ++p) GetFPol(*fs, pt.X4[p * m.GridDim], pt.F.data() + p * nw * 2);
  } else if (!m.Crenel) {
    for (size_t i = 0; i < pt.F.size(); ++i) pt.F[i] = m.SinCos[i];
  } else {
    for (int p = 0; p < n; ++p)
      for (int w = 0; w < nw; ++w) {
        const double a = kTwoPi * m.K[static_cast<size_t>(w)][0] * pt.X4[p];
        pt.F[static_cast<size_t>((p * nw + w) * 2)] = std::sin(a);
        pt.F[static_cast<size_t>((p * nw + w) * 2 + 1)] = std::cos(a);
      }
  }
  // Displacement, ADP and occupation.
  const int na = NAdpComp(m);
  pt.U.assign(static_cast<size_t>(n * 3), 0.);
  pt.Beta.resize(static_cast<size_t>(n * na));
  pt.Occ.assign(static_cast<size_t>(n), 1.);
  for (int p = 0; p < n; ++p) {
    const double* f = pt.F.data() + p * nw * 2;
    double* u = &pt.U[static_cast<size_t>(p * 3)];
    double* b = &pt.Beta[static_cast<size_t>(p * na)];
    for (int c = 0; c < na; ++c) b[c] = v[off[BlkAdp] + c];
    for (int w = 0; w < nwk[1]; ++w) {
      const double* a = v + off[BlkPosWave] + 6 * w;
      for (int j = 0; j < 3; ++j) u[j] += a[j] * f[2 * w] + a[3 + j] * f[2 * w + 1];
    }
    for (int w = 0; w < nwk[2]; ++w) {
      const double* a = v + off[BlkAdpWave] + 2 * na * w;
      for (int c = 0; c < na; ++c) b[c] += a[c] * f[2 * w] + a[na + c] * f[2 * w + 1];
    }
    double o = 1.;
    for (int w = 0; w < nwk[0]; ++w) {
      const double* a = v + off[BlkOccWave] + 2 * w;
      o += a[0] * f[2 * w] + a[1] * f[2 * w + 1];
    }
    pt.Occ[p] = o;
    if (m.Saw) {
      const double* us = v + off[BlkSaw];
      for (int j = 0; j < 3; ++j) u[j] += us[j] * pt.Xi[p];
      // A crenel on top of a sawtooth restricts the occupation further.
      if (m.Shape.Flag[0] == 1)
        pt.Occ[p] *= CrenelOcc(pt.X4[p], v[off[BlkCrenel]], v[off[BlkCrenel] + 1]);
    }
  }
}

// Sums of the inversion partner: every integrand is the conjugate.
void ConjSums(const OpSums& a, OpSums& b) {
  b.SA = std::conj(a.SA);
  b.SXi = std::conj(a.SXi);
  b.DX40 = std::conj(a.DX40);
  b.DDel = std::conj(a.DDel);
  auto cj = [](const std::vector<Cx>& x, std::vector<Cx>& y) {
    y.resize(x.size());
    for (size_t i = 0; i < x.size(); ++i) y[i] = std::conj(x[i]);
  };
  cj(a.AS, b.AS);
  cj(a.AC, b.AC);
  cj(a.BS, b.BS);
  cj(a.BC, b.BC);
  cj(a.DAnh, b.DAnh);
}

thread_local ModPoints tPoints;
thread_local OpSums tSums, tSumsPartner;
thread_local std::vector<Cx> tDer;

// ---------------------------------------------------------------- Bessel series
// Fourier series in the first internal coordinate: coefficient of
// exp(2 pi i p x4) for p = -L .. L at C[p + L].
struct Series {
  int L = 0;
  std::vector<Cx> C{Cx(1.)};
  Cx At(int p) const { return std::abs(p) <= L ? C[static_cast<size_t>(p + L)] : Cx(0.); }
};

// s * factor, the factor having coefficients fc[q] at frequency k*q, q = -lq .. lq.
void Convolve(Series& s, const std::vector<Cx>& fc, int lq, int k) {
  Series r;
  r.L = s.L + lq * k;
  r.C.assign(static_cast<size_t>(2 * r.L + 1), 0.);
  for (int p = -s.L; p <= s.L; ++p) {
    const Cx a = s.C[static_cast<size_t>(p + s.L)];
    if (a == Cx(0.)) continue;
    for (int q = -lq; q <= lq; ++q) r.C[static_cast<size_t>(p + q * k + r.L)] += a * fc[q + lq];
  }
  s = std::move(r);
}

// Factors of the form sum_q c_q e^{-i q psi} e^{i q k theta} from a Bessel
// series of r = |(a, b)|, psi = atan2(a, b): bessel(nmax, r, v) fills the
// orders 0..nmax, the series is cut after the last order whose value passes
// keep(v[q], v[0]), and coef(q, v[|q|]) gives c_q.
template <class Bessel, class Keep, class Coef>
int BesselSeriesFactor(double a, double b, std::vector<Cx>& fc, Bessel bessel, Keep keep, Coef coef) {
  const double r = std::hypot(a, b);
  const double psi = std::atan2(a, b);
  const int nmax = static_cast<int>(r) + kBesselExtra;
  std::vector<double> v(static_cast<size_t>(nmax + 1));
  bessel(nmax, r, v.data());
  int lq = 0;
  for (int q = 0; q <= nmax; ++q)
    if (keep(v[q], v[0])) lq = q;
  fc.assign(static_cast<size_t>(2 * lq + 1), 0.);
  for (int q = -lq; q <= lq; ++q) fc[q + lq] = coef(q, v[std::abs(q)]) * std::polar(1., -q * psi);
  return lq;
}

// Coefficients of exp(i rho cos(k theta - psi)) = sum_q i^q J_q(rho) e^{-i q psi} e^{i q k theta},
// truncated where |J_q| < diff.
int BesselFactor(double alpha, double beta, std::vector<Cx>& fc, double diff) {
  static const Cx ipow[4] = {Cx(1, 0), Cx(0, 1), Cx(-1, 0), Cx(0, -1)};
  return BesselSeriesFactor(
      alpha, beta, fc, BesselJ, [diff](double jq, double) { return std::abs(jq) >= diff; },
      [](int q, double ja) {  // J_{-q} = (-1)^q J_q
        return ipow[((q % 4) + 4) % 4] * ((q < 0 && std::abs(q) % 2 == 1) ? -ja : ja);
      });
}

// Coefficients of exp(-(a sin + b cos)) = exp(-r cos(k theta - psi)) =
// sum_q (-1)^q I_q(r) e^{-i q psi} e^{i q k theta}, truncated where I_q < diff I_0.
int BesselIFactor(double a, double b, std::vector<Cx>& fc, double diff) {
  return BesselSeriesFactor(
      a, b, fc, BesselI, [diff](double iq, double i0) { return iq >= diff * i0; },
      [](int q, double ia) { return Cx((std::abs(q) % 2 ? -1. : 1.) * ia); });
}

}  // namespace

// ---------------------------------------------------------------- preparation
void SetInd(const ModAtomPrep& m, const int* h, int* hp) {
  const int n = m.NDim;
  if (!m.HasW) {
    std::copy(h, h + n, hp);
    return;
  }
  for (int j = 0; j < n; ++j) {
    double v = 0.;
    for (int i = 0; i < n; ++i) v += h[i] * m.WInv[static_cast<size_t>(i * n + j)];
    hp[j] = static_cast<int>(std::lround(v));
  }
}

int CalcmPrepare(ModAtomPrep& m, const AtomRec& at, int phase, int method) {
  m = ModAtomPrep{};
  if (phase < 0 || phase >= static_cast<int>(Struct.Basic.Phase.size())) {
    ReportError(ModText(ModMsg::BadPhase, at.Name));
    return 1;
  }
  const PhaseBasic& ph = Struct.Basic.Phase[static_cast<size_t>(phase)];
  const PhaseSymmetry& ps = ph.Symmetry;
  m.Phase = phase;
  m.NDim = ph.NDim;
  m.NDimI = ph.NDim - 3;
  m.Part = at.Part - 1;
  m.Shape = at.Shape;
  m.Lay = AtomLayout(at.Shape);
  const int n = m.NDim, d = m.NDimI;
  for (int k = 3; k <= std::min(at.Shape.AdpOrder, MaxAdpOrder); ++k) {
    if (at.Shape.NWave[k] > 0 && d > 0 && method == 0) {
      ReportError(ModText(ModMsg::AnharmBessel, at.Name));
      return 1;
    }
    const auto tup = TensorIndexTuples(k);
    for (size_t c = 0; c < tup.size(); ++c) {
      ModAtomPrep::AnhComp a;
      a.Order = k;
      int cnt[3] = {0, 0, 0};
      for (int i = 0; i < k; ++i) {
        a.Idx[static_cast<size_t>(i)] = tup[c][static_cast<size_t>(i)];
        ++cnt[tup[c][static_cast<size_t>(i)]];
      }
      // Multiplicity n! / (n1! n2! n3!) of the component in the full tensor.
      a.Mult = std::tgamma(k + 1.) /
               (std::tgamma(cnt[0] + 1.) * std::tgamma(cnt[1] + 1.) * std::tgamma(cnt[2] + 1.));
      a.Par = m.Lay.Off[BlkAnh3 + k - 3] + static_cast<int>(c);
      a.NComp = static_cast<int>(tup.size());
      a.NWave = d > 0 ? at.Shape.NWave[k] : 0;
      a.WaveOff = m.Lay.Off[BlkAnh3Wave + k - 3] + static_cast<int>(c);
      m.AnhMod |= a.NWave > 0;
      m.Anh.push_back(a);
    }
  }
  m.Saw = at.Shape.Flag[1] == 1 && d > 0;
  m.Crenel = (at.Shape.Flag[0] == 1 || m.Saw) && d > 0;
  // Bessel expansion only for harmonic waves; the special functions are integrated.
  m.Method = (method == 0 && !m.Saw && at.FunType == 0) ? 0 : 1;

  // Subsystem matrix W and its inverse; modulation vectors and G* of the part.
  Eigen::MatrixXd w = Eigen::MatrixXd::Identity(n, n);
  if (ph.NComp > 1) {
    const bool has = m.Part >= 0 && m.Part < static_cast<int>(ph.WMatrix.size()) &&
                     static_cast<int>(ph.WMatrix[static_cast<size_t>(m.Part)].size()) == n * n;
    if (!has && m.Part > 0) {
      ReportError(ModText(ModMsg::BadPart, at.Name));
      return 1;
    }
    if (has)
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) w(i, j) = ph.WMatrix[static_cast<size_t>(m.Part)][i * n + j];
  }
  m.HasW = (w - Eigen::MatrixXd::Identity(n, n)).cwiseAbs().maxCoeff() > kTolWIdentity;
  Eigen::MatrixXd wi = Eigen::MatrixXd::Identity(n, n);
  if (m.HasW) {
    if (std::abs(w.determinant()) < kTolWIdentity) {
      ReportError(ModText(ModMsg::BadW, at.Name));
      return 1;
    }
    wi = w.inverse();
  }
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) m.WInv[static_cast<size_t>(i * n + j)] = wi(i, j);
  Eigen::MatrixXd sigma = Eigen::MatrixXd::Zero(std::max(d, 1), 3);
  for (int i = 0; i < d && i < static_cast<int>(ph.Qi.size()); ++i)
    for (int j = 0; j < 3; ++j) sigma(i, j) = ph.Qi[static_cast<size_t>(i)][j];
  Eigen::Matrix3d a = w.topLeftCorner(3, 3);
  if (d > 0) a += w.topRightCorner(3, d) * sigma.topRows(d);
  Eigen::Matrix3d gi;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) gi(i, j) = ph.MetTensI[3 * i + j];
  const Eigen::Matrix3d gis = a * gi * a.transpose();
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m.MetTensI[static_cast<size_t>(3 * i + j)] = gis(i, j);
  if (d > 0) {
    // sigma_nu = (V + V^d sigma)(Z + Z^d sigma)^-1
    const Eigen::MatrixXd sn =
        (w.bottomLeftCorner(d, 3) + w.bottomRightCorner(d, d) * sigma.topRows(d)) * a.inverse();
    for (int i = 0; i < d; ++i)
      for (int j = 0; j < 3; ++j) m.Q[static_cast<size_t>(3 * i + j)] = sn(i, j);
  }

  // Operators and centring vectors in the part's basis.
  std::vector<double> wr(static_cast<size_t>(n * n)), wir(static_cast<size_t>(n * n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      wr[static_cast<size_t>(i * n + j)] = w(i, j);
      wir[static_cast<size_t>(i * n + j)] = wi(i, j);
    }
  auto addOp = [&](const double* r, const double* s, double sign) {
    ModOp o;
    double rr[36], ss[6];
    for (int i = 0; i < n * n; ++i) rr[i] = sign * r[i];
    for (int i = 0; i < n; ++i) ss[i] = sign * s[i];
    if (m.HasW)
      SiteOpToSub(rr, ss, n, wr.data(), wir.data(), o.R.data(), o.S.data());
    else {
      std::copy(rr, rr + n * n, o.R.begin());
      std::copy(ss, ss + n, o.S.begin());
    }
    m.Ops.push_back(o);
  };
  const int nop = std::max(ps.NSymm, 0);
  if (nop == 0) {
    double r[36] = {}, s[6] = {};
    for (int i = 0; i < n; ++i) r[i * n + i] = 1.;
    addOp(r, s, 1.);
  }
  for (int i = 0; i < nop; ++i) {
    const SymmOp& op = ps.Op[static_cast<size_t>(i)];
    addOp(op.RM6.data(), op.S6.data(), 1.);
    if (ps.NCSymm == 2) addOp(op.RM6.data(), op.S6.data(), -1.);
  }
  // Inversion pairs next to each other: the second of a pair reuses the sums.
  {
    std::vector<ModOp> ord;
    std::vector<bool> used(m.Ops.size(), false);
    for (size_t i = 0; i < m.Ops.size(); ++i) {
      if (used[i]) continue;
      used[i] = true;
      ord.push_back(m.Ops[i]);
      for (size_t j = i + 1; j < m.Ops.size(); ++j) {
        if (used[j]) continue;
        bool minus = true;
        for (int k = 0; k < n * n && minus; ++k) minus = m.Ops[j].R[k] == -m.Ops[i].R[k];
        if (!minus) continue;
        used[j] = true;
        ord.push_back(m.Ops[j]);
        ord.back().Partner = true;
        break;
      }
    }
    m.Ops = std::move(ord);
  }
  const int nc = std::max(ps.NLattVec, 1);
  for (int c = 0; c < nc; ++c) {
    std::array<double, 6> v{};
    if (c < static_cast<int>(ps.VT6.size()))
      for (int i = 0; i < n; ++i) {
        double s = 0.;
        for (int k = 0; k < n; ++k) s += w(i, k) * ps.VT6[static_cast<size_t>(c)][k];
        v[static_cast<size_t>(i)] = s;
      }
    m.Centr.push_back(v);
  }

  // Wave vectors and integration grid and ComExp tables.
  const auto& nwk = at.Shape.NWave;
  m.MaxWave = d > 0 ? std::max({nwk[0], nwk[1], nwk[2]}) : 0;
  for (const auto& a : m.Anh) m.MaxWave = std::max(m.MaxWave, a.NWave);
  ModWaves table;
  if (d > 0 && phase < static_cast<int>(Struct.Model.Phase.size())) {
    std::string err;
    if (ModWavesOfPhase(Struct.Model.Phase[static_cast<size_t>(phase)], d, table, &err)) {
      ReportError(ModText(ModMsg::BadWaves, err));
      return 1;
    }
  }
  const bool harm = at.FunType == 0 && m.MaxWave > 0;
  if (harm && !ModWavesCover(&table, m.MaxWave, d)) {
    ReportError(ModText(ModMsg::NoWaves, at.Name));
    return 1;
  }
  // Internal coordinates the waves depend on: one only gives a 1-D grid along it.
  std::array<bool, 3> used{};
  for (int k = 0; k < m.MaxWave; ++k) {
    m.K.push_back(ModWaveVector(k, d, &table));
    for (int i = 0; i < d; ++i)
      used[static_cast<size_t>(i)] =
          used[static_cast<size_t>(i)] || m.K.back()[static_cast<size_t>(i)] != 0;
  }
  const int nUsed = static_cast<int>(std::count(used.begin(), used.end(), true));
  if (harm && nUsed == 1)
    m.GridAxis = static_cast<int>(std::find(used.begin(), used.end(), true) - used.begin());
  m.GridDim = (harm && nUsed > 1) ? d : 1;
  if (harm && m.Crenel && (m.GridDim > 1 || m.GridAxis != 0)) {
    ReportError(ModText(ModMsg::WavesNotQ1, at.Name));
    return 1;
  }
  if (d == 0) {
    m.NPts = 1;
    m.X4 = {0.};
    m.W = {1.};
  } else if (m.Crenel) {
    m.Xi.resize(ModCrenelPoints);
    m.XiW.resize(ModCrenelPoints);
    gauleg(-1., 1., ModCrenelPoints, m.Xi.data(), m.XiW.data());
  } else if (m.GridDim > 1) {
    // Tensor grid of equally spaced points (rectangle rule, periodic integrand).
    const int g = m.GridDim, np1 = ModGridPointsMulti;
    m.NPts = 1;
    for (int i = 0; i < g; ++i) m.NPts *= np1;
    m.X4.resize(static_cast<size_t>(m.NPts * g));
    m.W.assign(static_cast<size_t>(m.NPts), 1. / m.NPts);
    for (int p = 0; p < m.NPts; ++p)
      for (int i = 0, r = p; i < g; ++i, r /= np1)
        m.X4[static_cast<size_t>(p * g + i)] = static_cast<double>(r % np1) / np1;
  } else {
    m.NPts = ModGridIntervals * ModGaussPoints;
    m.X4.resize(static_cast<size_t>(m.NPts));
    m.W.resize(static_cast<size_t>(m.NPts));
    for (int k = 0; k < ModGridIntervals; ++k) {
      const double x1 = static_cast<double>(k) / ModGridIntervals;
      gauleg(x1, x1 + 1. / ModGridIntervals, ModGaussPoints, &m.X4[k * ModGaussPoints],
             &m.W[k * ModGaussPoints]);
    }
  }
  if (!m.Crenel) {
    const int nw = m.MaxWave;
    m.SinCos.resize(static_cast<size_t>(m.NPts * nw * 2));
    for (int p = 0; p < m.NPts; ++p)
      for (int k = 0; k < nw; ++k) {
        double kx = 0.;
        for (int i = 0; i < m.GridDim; ++i)
          kx += m.K[static_cast<size_t>(k)][static_cast<size_t>(m.GridDim == 1 ? m.GridAxis : i)] *
                m.X4[static_cast<size_t>(p * m.GridDim + i)];
        const double arg = kTwoPi * kx;
        m.SinCos[static_cast<size_t>((p * nw + k) * 2)] = static_cast<float>(std::sin(arg));
        m.SinCos[static_cast<size_t>((p * nw + k) * 2 + 1)] = static_cast<float>(std::cos(arg));
      }
  }
  if (at.FunType > 0 && m.MaxWave > 0) {
    double del = 1.;
    if (at.Shape.Flag[0] == 1) del = at.Par.Val[static_cast<size_t>(m.Lay.Off[BlkCrenel] + 1)];
    const double fw = at.FunHasWidth ? at.FunVal[1] : del;
    (void)MakeFPolSet(at.FunType, 2 * m.MaxWave, at.FunVal[0], fw, m.FPol);
  }
  return 0;
}

// ---------------------------------------------------------------- integration
// Common start of both methods: indices in the atom's subsystem, cleared
// derivatives, the centring factor; true when the centring extinguishes the
// reflection (g and the derivatives are then zero and final).
static bool CalcmStart(const ModAtomPrep& m, const int* h, int* hp, std::vector<Cx>& der, Cx& cf,
                       std::complex<double>& g, double* dRe, double* dIm) {
  SetInd(m, h, hp);
  g = 0.;
  der.assign(static_cast<size_t>(m.Lay.NPar), 0.);
  cf = CentrFactor(m, hp);
  if (std::abs(cf) >= kTolCentrZero) return false;
  Finish(m, 0., 0., der, g, dRe, dIm);
  return true;
}

int Calcm2(const ModAtomPrep& m, const AtomRec& at, const int* h, std::complex<double>& g,
           double* dRe, double* dIm, std::string* msg) {
  const bool wantDer = dRe || dIm;
  int hp[6] = {};
  std::vector<Cx>& der = tDer;
  Cx cf;
  if (CalcmStart(m, h, hp, der, cf, g, dRe, dIm)) return 0;
  ModPoints& pt = tPoints;
  FillPoints(m, at, pt);
  OpSums& s = tSums;
  const int nw = m.MaxWave, na = NAdpComp(m);
  const bool iso = na == 1;
  const double* v = at.Par.Val.data();
  const double ai = v[m.Lay.Off[BlkOcc]];
  const double* x = v + m.Lay.Off[BlkPos];
  double x40 = 0., del = 1.;
  if (m.Crenel) Interval(m, at, x40, del);
  const bool adpMod = m.Shape.NWave[2] > 0 && m.NDimI > 0;
  size_t nAnhSums = 0;
  if (m.AnhMod)
    for (const auto& a : m.Anh) nAnhSums += 1 + 2 * static_cast<size_t>(a.NWave);
  thread_local std::vector<Cx> dpf;
  Cx gs = 0.;
  for (const ModOp& op : m.Ops) {
    const OpInd o = MakeOpInd(m, hp, op, iso);
    if (o.Zero) continue;
    if (op.Partner) {
      ConjSums(s, tSumsPartner);
      AddOp(m, at, o, tSumsPartner, &gs, wantDer ? der.data() : nullptr);
      continue;
    }
    s.DAnh.resize(nAnhSums);
    s.Reset(nw);
    if (m.AnhMod) AnhFactors(m, o, dpf);
    const double hx = o.Hp[0] * x[0] + o.Hp[1] * x[1] + o.Hp[2] * x[2];
    const int gd = m.NDimI > 0 ? m.GridDim : 0;
    // Temperature factor: per point only when the ADP is modulated.
    double t0 = 0.;
    if (!adpMod) {
      double tex = 0.;
      for (int c = 0; c < na; ++c) tex += o.KK[c] * v[m.Lay.Off[BlkAdp] + c];
      if (-tex > kAdpExpLimit) {
        SetProblem(at, msg);
        return 1;
      }
      t0 = std::exp(-tex);
    }
    Cx fr = 0., fl = 0.;  // integrand at the right and left ends of the interval
    Cx sumE = 0.;
    for (int p = 0; p < pt.N; ++p) {
      const double* u = &pt.U[static_cast<size_t>(3 * p)];
      double t = t0;
      if (adpMod) {
        const double* b = &pt.Beta[static_cast<size_t>(na * p)];
        double tex = 0.;
        for (int c = 0; c < na; ++c) tex += o.KK[c] * b[c];
        if (-tex > kAdpExpLimit) {
          SetProblem(at, msg);
          return 1;
        }
        t = std::exp(-tex);
      }
      double mx = 0.;
      for (int i = 0; i < gd; ++i)
        mx += o.Hp[static_cast<size_t>(3 + (gd == 1 ? m.GridAxis : i))] * pt.X4[p * gd + i];
      const double phi = kTwoPi * (hx + mx + o.K[0] * u[0] + o.K[1] * u[1] + o.K[2] * u[2]);
      Cx b0(t * std::cos(phi), t * std::sin(phi));
      const double* f = pt.F.data() + p * nw * 2;
      // Modulated tensors: C_c(x4) = C_c + sum_w (C_cw^s f_w^s + C_cw^c f_w^c).
      const Cx bNoP = b0;
      if (m.AnhMod) {
        Cx pp = 1.;
        for (size_t c = 0; c < m.Anh.size(); ++c) {
          const auto& a = m.Anh[c];
          double cv = v[a.Par];
          for (int w = 0; w < a.NWave; ++w)
            cv += v[a.WaveOff + 2 * a.NComp * w] * f[2 * w] +
                  v[a.WaveOff + 2 * a.NComp * w + a.NComp] * f[2 * w + 1];
          pp += dpf[c] * cv;
        }
        b0 *= pp;
      }
      const double occ = pt.Occ[p];
      if (pt.Role[p] != 0) {
        const Cx e = ai * occ * b0;
        (pt.Role[p] > 0 ? fr : fl) = e;
        continue;
      }
      const double w = pt.W[p];
      const Cx bw = w * b0;
      const Cx e = ai * occ * bw;
      s.SA += occ * bw;
      sumE += e;
      if (!wantDer) continue;
      if (m.AnhMod) {
        const Cx e0 = ai * occ * w * bNoP;
        size_t j = 0;
        for (size_t c = 0; c < m.Anh.size(); ++c) {
          const Cx ec = e0 * dpf[c];
          s.DAnh[j++] += ec;
          for (int wv = 0; wv < m.Anh[c].NWave; ++wv) {
            s.DAnh[j++] += ec * f[2 * wv];
            s.DAnh[j++] += ec * f[2 * wv + 1];
          }
        }
      }
      for (int n = 0; n < nw; ++n) {
        s.AS[n] += f[2 * n] * e;
        s.AC[n] += f[2 * n + 1] * e;
        s.BS[n] += f[2 * n] * bw;
        s.BC[n] += f[2 * n + 1] * bw;
      }
      if (m.Saw) s.SXi += pt.Xi[p] * e;
    }
    if (wantDer && m.Crenel) {
      // d/dx40 and d/dDelta of the integral over [x40 - Delta/2, x40 + Delta/2]: the
      // ends move; a sawtooth also changes its slope 2U/Delta and centre.
      s.DX40 = fr - fl;
      s.DDel = 0.5 * (fr + fl);
      if (m.Saw) {
        const double* us = v + m.Lay.Off[BlkSaw];
        const double ku = o.K[0] * us[0] + o.K[1] * us[1] + o.K[2] * us[2];
        s.DX40 -= kI * (2. * kTwoPi * ku / del) * sumE;
        s.DDel -= kI * (kTwoPi * ku / del) * s.SXi;
      }
    }
    AddOp(m, at, o, s, &gs, wantDer ? der.data() : nullptr);
  }
  Finish(m, cf, gs, der, g, dRe, dIm);
  return 0;
}

// ---------------------------------------------------------------- Bessel expansion
// Fourier series over the d internal coordinates (waves not all along q1):
// coefficient of exp(2 pi i f.x4) for f in the box |f_i| <= L_i, stored densely
// (first component fastest).
namespace {

using FreqKey = std::array<int, 3>;
struct SeriesN {
  FreqKey L{};
  std::vector<Cx> C{Cx(1.)};
  int Index(const FreqKey& f) const {
    int idx = 0;
    for (int i = 2; i >= 0; --i) {
      const size_t u = static_cast<size_t>(i);
      if (std::abs(f[u]) > L[u]) return -1;
      idx = idx * (2 * L[u] + 1) + f[u] + L[u];
    }
    return idx;
  }
  FreqKey Key(int idx) const {
    FreqKey f{};
    for (size_t i = 0; i < 3; ++i) {
      const int n = 2 * L[i] + 1;
      f[i] = idx % n - L[i];
      idx /= n;
    }
    return f;
  }
  Cx At(const FreqKey& f) const {
    const int i = Index(f);
    return i < 0 ? Cx(0.) : C[static_cast<size_t>(i)];
  }
};

// s times the sparse factor sum_j c_j exp(2 pi i f_j.x4).
void MultiplyN(SeriesN& s, const std::vector<std::pair<FreqKey, Cx>>& fac) {
  SeriesN r;
  for (size_t i = 0; i < 3; ++i) {
    int e = 0;
    for (const auto& fc : fac) e = std::max(e, std::abs(fc.first[i]));
    r.L[i] = s.L[i] + e;
  }
  r.C.assign(static_cast<size_t>((2 * r.L[0] + 1) * (2 * r.L[1] + 1) * (2 * r.L[2] + 1)), 0.);
  for (size_t p = 0; p < s.C.size(); ++p) {
    const Cx a = s.C[p];
    if (a == Cx(0.)) continue;
    const FreqKey f = s.Key(static_cast<int>(p));
    for (const auto& [g, c] : fac)
      r.C[static_cast<size_t>(r.Index({f[0] + g[0], f[1] + g[1], f[2] + g[2]}))] += a * c;
  }
  s = std::move(r);
}

// The pieces of the Bessel expansion that depend on the number of internal
// dimensions the series runs over; Calcm1Series is written once over them.
//   Key            frequency of a term (an integer, or d integers)
//   Wave(m, n)     frequency of wave n
//   Mode(m, o)     internal indices of the transformed reflection
//   Conv(s, fc, lq, k)  s times the factor with coefficients fc[q] at frequency q k
//   MakeOcc / MulOcc    the occupational series 1 + sum S sin + C cos and its product
//   Integ          mean of a series times exp(2 pi i (mode + sh).x4) over the
//                  period, or over the crenel interval (one dimension only)

// One internal dimension (the grid axis); crenel intervals allowed.
struct Bessel1 {
  using S = Series;
  using Key = int;
  using Occ = Series;
  static constexpr bool kCrenel = true;
  static Key Wave(const ModAtomPrep& m, int n) {
    return m.K[static_cast<size_t>(n)][static_cast<size_t>(m.GridAxis)];
  }
  static Key Neg(Key k) { return -k; }
  static Key Mode(const ModAtomPrep& m, const OpInd& o) {
    return m.NDimI > 0 ? static_cast<int>(std::lround(o.Hp[static_cast<size_t>(3 + m.GridAxis)]))
                       : 0;
  }
  static void Conv(S& s, const std::vector<Cx>& fc, int lq, Key k) { Convolve(s, fc, lq, k); }
  static Occ MakeOcc(const ModAtomPrep& m, const double* ow, int nw) {
    Series occ;
    if (nw == 0) return occ;
    occ.L = 0;
    for (int n = 0; n < nw; ++n) occ.L = std::max(occ.L, std::abs(Wave(m, n)));
    occ.C.assign(static_cast<size_t>(2 * occ.L + 1), 0.);
    occ.C[static_cast<size_t>(occ.L)] = 1.;
    for (int n = 0; n < nw; ++n) {
      const double sa = ow[2 * n], ca = ow[2 * n + 1];
      occ.C[static_cast<size_t>(occ.L + Wave(m, n))] += Cx(0.5 * ca, -0.5 * sa);
      occ.C[static_cast<size_t>(occ.L - Wave(m, n))] += Cx(0.5 * ca, 0.5 * sa);
    }
    return occ;
  }
  static void MulOcc(S& q, const Occ& occ) {
    std::vector<Cx> oc(occ.C);
    Convolve(q, oc, occ.L, 1);
  }
  static Cx Integ(const ModAtomPrep& m, const S& sr, Key mode, Key sh, double x40, double del,
                  Cx* dx40, Cx* ddel) {
    const int f0 = mode + sh;
    if (!m.Crenel) return sr.At(-f0);
    Cx r = 0., rx = 0., rd = 0.;
    for (int f = -sr.L; f <= sr.L; ++f) {
      const Cx c = sr.C[static_cast<size_t>(f + sr.L)];
      if (c == Cx(0.)) continue;
      Cx ax, ad;
      r += c * XMod(f0 + f, x40, del, &ax, &ad);
      rx += c * ax;
      rd += c * ad;
    }
    if (dx40) *dx40 = rx;
    if (ddel) *ddel = rd;
    return r;
  }
};

// Up to three internal dimensions (waves not all along one axis).
struct BesselN {
  using S = SeriesN;
  using Key = FreqKey;
  using Occ = std::vector<std::pair<FreqKey, Cx>>;
  static constexpr bool kCrenel = false;
  static Key Wave(const ModAtomPrep& m, int n) { return m.K[static_cast<size_t>(n)]; }
  static Key Neg(Key k) { return FreqKey{-k[0], -k[1], -k[2]}; }
  static Key Mode(const ModAtomPrep& m, const OpInd& o) {
    FreqKey mi{};
    for (int i = 0; i < m.NDimI; ++i)
      mi[static_cast<size_t>(i)] = static_cast<int>(std::lround(o.Hp[static_cast<size_t>(3 + i)]));
    return mi;
  }
  static void Conv(S& s, const std::vector<Cx>& fc, int lq, const Key& k) {
    thread_local Occ fac;
    fac.clear();
    for (int q = -lq; q <= lq; ++q)
      fac.push_back({FreqKey{q * k[0], q * k[1], q * k[2]}, fc[static_cast<size_t>(q + lq)]});
    MultiplyN(s, fac);
  }
  static Occ MakeOcc(const ModAtomPrep& m, const double* ow, int nw) {
    Occ occ{{FreqKey{}, Cx(1.)}};
    for (int n = 0; n < nw; ++n) {
      const double sa = ow[2 * n], ca = ow[2 * n + 1];
      occ.push_back({Wave(m, n), Cx(0.5 * ca, -0.5 * sa)});
      occ.push_back({Neg(Wave(m, n)), Cx(0.5 * ca, 0.5 * sa)});
    }
    return occ;
  }
  static void MulOcc(S& q, const Occ& occ) { MultiplyN(q, occ); }
  static Cx Integ(const ModAtomPrep&, const S& sr, const Key& mode, const Key& sh, double, double,
                  Cx*, Cx*) {
    return sr.At(FreqKey{-mode[0] - sh[0], -mode[1] - sh[1], -mode[2] - sh[2]});
  }
};

// Bessel expansion of one modulated atom (method 0): per operator the product
// P = T0 exp(2 pi i h'.x) prod_n (position factor) (ADP factor) as a Fourier
// series, times the occupational series, integrated over the internal space.
template <class B>
int Calcm1Series(const ModAtomPrep& m, const AtomRec& at, const int* h, std::complex<double>& g,
                 double* dRe, double* dIm, std::string* msg) {
  using S = typename B::S;
  const bool wantDer = dRe || dIm;
  int hp[6] = {};
  std::vector<Cx>& der = tDer;
  Cx cf;
  if (CalcmStart(m, h, hp, der, cf, g, dRe, dIm)) return 0;
  OpSums& s = tSums;
  const int nw = m.MaxWave, na = NAdpComp(m);
  const bool iso = na == 1;
  const double* v = at.Par.Val.data();
  const auto& off = m.Lay.Off;
  const auto& nwk = m.Shape.NWave;
  const double ai = v[off[BlkOcc]];
  const double* x = v + off[BlkPos];
  double x40 = 0., del = 1.;
  if (B::kCrenel && m.Crenel) Interval(m, at, x40, del);
  const typename B::Occ occ = B::MakeOcc(m, v + off[BlkOccWave], nwk[0]);
  std::vector<Cx> fc;
  Cx gs = 0.;
  for (const ModOp& op : m.Ops) {
    const OpInd o = MakeOpInd(m, hp, op, iso);
    if (o.Zero) continue;
    if (op.Partner) {
      ConjSums(s, tSumsPartner);
      AddOp(m, at, o, tSumsPartner, &gs, wantDer ? der.data() : nullptr);
      continue;
    }
    const typename B::Key mode = B::Mode(m, o);
    double tex = 0.;
    for (int c = 0; c < na; ++c) tex += o.KK[c] * v[off[BlkAdp] + c];
    if (-tex > kAdpExpLimit) {
      SetProblem(at, msg);
      return 1;
    }
    const double hx = o.Hp[0] * x[0] + o.Hp[1] * x[1] + o.Hp[2] * x[2];
    S p;
    p.C[0] = std::exp(-tex) * std::polar(1., kTwoPi * hx);
    for (int n = 0; n < nwk[1]; ++n) {
      const double* a = v + off[BlkPosWave] + 6 * n;
      const double al = kTwoPi * (o.K[0] * a[0] + o.K[1] * a[1] + o.K[2] * a[2]);
      const double be = kTwoPi * (o.K[0] * a[3] + o.K[1] * a[4] + o.K[2] * a[5]);
      const int lq = BesselFactor(al, be, fc, m.BesselDiff);
      B::Conv(p, fc, lq, B::Wave(m, n));
    }
    for (int n = 0; n < nwk[2]; ++n) {
      const double* a = v + off[BlkAdpWave] + 2 * na * n;
      double sa = 0., ca = 0.;
      for (int c = 0; c < na; ++c) {
        sa += o.KK[c] * a[c];
        ca += o.KK[c] * a[na + c];
      }
      const int lq = BesselIFactor(sa, ca, fc, m.BesselDiff);
      B::Conv(p, fc, lq, B::Wave(m, n));
    }
    S q = p;
    if (nwk[0] > 0) B::MulOcc(q, occ);
    auto integ = [&](const S& sr, const typename B::Key& sh) {
      return B::Integ(m, sr, mode, sh, x40, del, nullptr, nullptr);
    };
    s.Reset(nw);
    Cx dx = 0., dd = 0.;
    s.SA = B::Integ(m, q, mode, typename B::Key{}, x40, del, wantDer ? &dx : nullptr,
                    wantDer ? &dd : nullptr);
    if (wantDer) {
      if constexpr (B::kCrenel) {
        s.DX40 = ai * dx;
        s.DDel = ai * dd;
      }
      for (int n = 0; n < nw; ++n) {
        const typename B::Key k = B::Wave(m, n);
        if (n < nwk[1] || n < nwk[2]) {
          const Cx qp = integ(q, k), qm = integ(q, B::Neg(k));
          s.AS[n] = ai * (qp - qm) / (2. * kI);
          s.AC[n] = ai * 0.5 * (qp + qm);
        }
        if (n < nwk[0]) {
          const Cx pp = integ(p, k), pm = integ(p, B::Neg(k));
          s.BS[n] = (pp - pm) / (2. * kI);
          s.BC[n] = 0.5 * (pp + pm);
        }
      }
    }
    AddOp(m, at, o, s, &gs, wantDer ? der.data() : nullptr);
  }
  Finish(m, cf, gs, der, g, dRe, dIm);
  return 0;
}

}  // namespace

int Calcm1(const ModAtomPrep& m, const AtomRec& at, const int* h, std::complex<double>& g,
           double* dRe, double* dIm, std::string* msg) {
  if (m.Method != 0) return Calcm2(m, at, h, g, dRe, dIm, msg);
  if (m.GridDim > 1) return Calcm1Series<BesselN>(m, at, h, g, dRe, dIm, msg);
  return Calcm1Series<Bessel1>(m, at, h, g, dRe, dIm, msg);
}

}  // namespace tarn
