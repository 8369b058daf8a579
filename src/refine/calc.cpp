// Structure factors of one reflection and their derivatives.
//
//   F = c_h * sum_a ai_a (f_a + f'_a + i f''_a) G_a  +  sum_mod (f + f' + i f'') G_mod
//   G_a = sum_ops T(h R) P(h R) exp(2 pi i (h.R.x + h.t))
// with c_h the sum of exp(2 pi i h.c) over the centring vectors c (times
// exp(i pi h.t0) for a group with the inversion (-1, t0), whose operators are
// then summed in pairs as 2 Re(...)), T the harmonic temperature factor
// exp(-k.beta.k) (k = h R) and P the Gram-Charlier factor of the anharmonic
// tensors. Periodic harmonic atoms go through a vectorised kernel over the
// atoms in structure-of-arrays form; anharmonic atoms through a scalar path;
// modulated atoms through Calcm1 / Calcm2.
#include "refine/calc.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"
#include "refine/calc_mod.hpp"
#include "refine/calc_mol.hpp"
#include "refine/constr_internal.hpp"
#include "refine/refcommands.hpp"
#include "util/numbers.hpp"
#include "util/report.hpp"

namespace tarn {

namespace {

using cplx = std::complex<double>;

// ---------------------------------------------------------------- fast math
// Four lanes of doubles (GCC vector extension: one AVX register, two SSE2
// registers on the baseline target). Casts between the vector types of equal
// size reinterpret the bits.
// The vectors never cross a non-inlined call, so the ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double v4d __attribute__((vector_size(32)));
typedef std::int64_t v4i __attribute__((vector_size(32)));
typedef std::uint64_t v4u __attribute__((vector_size(32)));

[[gnu::always_inline]] inline v4d Load(const double* p) {
  v4d v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline void Store(double* p, v4d v) {
  std::memcpy(p, &v, sizeof v);
}
[[gnu::always_inline]] inline v4d Splat(double x) {
  return v4d{x, x, x, x};
}

// Rounding by the 1.5 * 2^52 trick (exact for |x| < 2^51 in round-to-nearest).
constexpr double kRoundMagic = 6755399441055744.0;
constexpr std::uint64_t kSignBit = 0x8000000000000000ull;

// sin(2 pi x), cos(2 pi x): x reduced to t in [-1/2, 1/2], folded to |u| <= 1/4
// (sin(pi - z) = sin z, cos(pi - z) = -cos z), Taylor series to z^13 / z^14 on
// |z| <= pi/2: error below 1e-9.
[[gnu::always_inline]] inline void SinCos2Pi(v4d x, v4d& s, v4d& c) {
  const v4d t = x - ((x + kRoundMagic) - kRoundMagic);
  const v4u sgn = (v4u)t & kSignBit;
  const v4d at = (v4d)((v4u)t & ~kSignBit);
  const v4u fold = (v4u)(at > 0.25);  // all ones where folded
  const v4d half = (v4d)((v4u)Splat(0.5) | sgn);
  const v4d u = t + (v4d)((v4u)(half - 2. * t) & fold);
  const v4d z = kTwoPi * u, z2 = z * z;
  const v4d ps =
      1. + z2 * (-1. / 6. +
                 z2 * (1. / 120. +
                       z2 * (-1. / 5040. + z2 * (1. / 362880. + z2 * (-1. / 39916800. +
                                                                      z2 * (1. / 6227020800.))))));
  const v4d pc =
      1. + z2 * (-0.5 + z2 * (1. / 24. +
                              z2 * (-1. / 720. +
                                    z2 * (1. / 40320. + z2 * (-1. / 3628800. +
                                                              z2 * (1. / 479001600. +
                                                                    z2 * (-1. / 87178291200.)))))));
  s = z * ps;
  c = (v4d)((v4u)pc ^ (fold & kSignBit));
}

// exp(x) for x clamped to [-kExpTarnLimit, kExpTarnLimit]: 2^n * exp(g),
// |g| <= ln2/2, Taylor to g^7 (relative error below 1e-8); 2^n built in the
// exponent bits.
constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2 = 0.6931471805599453;
[[gnu::always_inline]] inline v4d ExpFast(v4d x) {
  x = x < -kExpTarnLimit ? Splat(-kExpTarnLimit) : x;
  x = x > kExpTarnLimit ? Splat(kExpTarnLimit) : x;
  const v4d y = x * kLog2e;
  const v4d nm = y + kRoundMagic;
  const v4d n = nm - kRoundMagic;
  const v4d g = (y - n) * kLn2;
  const v4d p =
      1. +
      g * (1. + g * (0.5 + g * (1. / 6. +
                                g * (1. / 24. + g * (1. / 120. + g * (1. / 720. + g / 5040.))))));
  // The low bits of nm hold n; (n + 1023) << 52 is 2^n.
  const v4u bits = ((v4u)nm + 1023u) << 52;
  return p * (v4d)bits;
}

// ---------------------------------------------------------------- kernel
// Per operator: k = h R (3), phase shift h.t (cycles), q = k1^2 k2^2 k3^2 2k1k2 2k1k3 2k2k3.
constexpr int kOpStride = 10;
// Accumulators per atom: non-centrosymmetric G (re, im), X_j = sum k_j T e (re, im)
// and B_k = sum q_k T e (re, im); centrosymmetric G = sum T cos, X_j = sum k_j T sin,
// B_k = sum q_k T cos.
constexpr int kNAcc = 20;
enum Acc : int { AG = 0, AX = 2, AB = 8 };

struct KernelArgs {
  int NPad = 0, NOp = 0;  // NPad a multiple of 4
  const double* X = nullptr;
  const double* Y = nullptr;
  const double* Z = nullptr;
  const double* B[6] = {};
  const double* Op = nullptr;  // NOp * kOpStride
  double* Acc = nullptr;       // kNAcc * NPad, zeroed
  double* EMax = nullptr;      // NPad, largest exponent of T seen
};

[[gnu::always_inline]] inline void AddTo(double* p, v4d v) {
  Store(p, Load(p) + v);
}

template <bool Der, bool Centro>
[[gnu::always_inline]] inline void KernelBody(const KernelArgs& a) {
  const int n = a.NPad;
  double* acc = a.Acc;
  for (int i = 0; i < n; i += 4) {
    const v4d X = Load(a.X + i), Y = Load(a.Y + i), Z = Load(a.Z + i);
    const v4d B0 = Load(a.B[0] + i), B1 = Load(a.B[1] + i), B2 = Load(a.B[2] + i),
              B3 = Load(a.B[3] + i), B4 = Load(a.B[4] + i), B5 = Load(a.B[5] + i);
    v4d em = Load(a.EMax + i);
    v4d g0 = Splat(0.), g1 = Splat(0.);
    v4d xa[6] = {}, ba[12] = {};
    for (int o = 0; o < a.NOp; ++o) {
      const double* c = a.Op + kOpStride * o;
      const double h0 = c[0], h1 = c[1], h2 = c[2], ht = c[3];
      const double q0 = c[4], q1 = c[5], q2 = c[6], q3 = c[7], q4 = c[8], q5 = c[9];
      const v4d arg = h0 * X + h1 * Y + h2 * Z + ht;
      const v4d e = -(q0 * B0 + q1 * B1 + q2 * B2 + q3 * B3 + q4 * B4 + q5 * B5);
      em = e > em ? e : em;
      const v4d t = ExpFast(e);
      v4d sn, cs;
      SinCos2Pi(arg, sn, cs);
      const v4d tc = t * cs, ts = t * sn;
      if constexpr (Centro) {
        g0 += tc;
        if constexpr (Der) {
          xa[0] += h0 * ts;
          xa[1] += h1 * ts;
          xa[2] += h2 * ts;
          ba[0] += q0 * tc;
          ba[1] += q1 * tc;
          ba[2] += q2 * tc;
          ba[3] += q3 * tc;
          ba[4] += q4 * tc;
          ba[5] += q5 * tc;
        }
      } else {
        g0 += tc;
        g1 += ts;
        if constexpr (Der) {
          xa[0] += h0 * tc;
          xa[1] += h0 * ts;
          xa[2] += h1 * tc;
          xa[3] += h1 * ts;
          xa[4] += h2 * tc;
          xa[5] += h2 * ts;
          ba[0] += q0 * tc;
          ba[1] += q0 * ts;
          ba[2] += q1 * tc;
          ba[3] += q1 * ts;
          ba[4] += q2 * tc;
          ba[5] += q2 * ts;
          ba[6] += q3 * tc;
          ba[7] += q3 * ts;
          ba[8] += q4 * tc;
          ba[9] += q4 * ts;
          ba[10] += q5 * tc;
          ba[11] += q5 * ts;
        }
      }
    }
    Store(a.EMax + i, em);
    AddTo(acc + AG * n + i, g0);
    if constexpr (!Centro) AddTo(acc + (AG + 1) * n + i, g1);
    if constexpr (Der) {
      constexpr int nx = Centro ? 3 : 6, nb = Centro ? 6 : 12;
      for (int j = 0; j < nx; ++j) AddTo(acc + (AX + j) * n + i, xa[j]);
      for (int j = 0; j < nb; ++j) AddTo(acc + (AB + j) * n + i, ba[j]);
    }
  }
}

#if defined(__x86_64__) && !defined(__clang__) && !defined(TARN_FUZZ)
#define TARN_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TARN_CLONES
#endif

TARN_CLONES void KernelPlain(const KernelArgs& a) {
  KernelBody<false, false>(a);
}
TARN_CLONES void KernelDer(const KernelArgs& a) {
  KernelBody<true, false>(a);
}
TARN_CLONES void KernelCentro(const KernelArgs& a) {
  KernelBody<false, true>(a);
}
TARN_CLONES void KernelCentroDer(const KernelArgs& a) {
  KernelBody<true, true>(a);
}

// ---------------------------------------------------------------- helpers
// Working storage of one thread.
struct Scratch {
  std::vector<double> Acc, EMax, Op;
  std::vector<cplx> DG;  // derivatives of G of the scalar and modulated atoms
  std::vector<double> DRe, DIm;
  std::vector<cplx> GAnh;   // G of each anharmonic atom
  std::vector<int> ModOff;  // offset of each modulated atom's derivatives in DG
  std::vector<cplx> GMod;
  std::vector<TwinPart> Parts;
  std::vector<double> PartI;
};
Scratch& ThreadScratch() {
  thread_local Scratch s;
  return s;
}

std::string IndexText(const int* h, int n) {
  std::string t = "(";
  for (int i = 0; i < n; ++i) t += fmt::format("{}{}", i ? " " : "", h[i]);
  return t + ")";
}

void AddProblem(CalcOut& out, const std::string& atom, const int* h, int ndim) {
  out.Problem = 1;
  out.Msg.push_back(fmt::format("{} \"{}\" {}", calcmsg::AdpNeg1, atom, calcmsg::AdpNeg2));
  out.Msg.push_back(
      fmt::format("{}{}{}", calcmsg::Problem1, IndexText(h, ndim), calcmsg::Problem2));
}

// beta of an isotropic atom: beta_ij = 2 pi^2 Uiso G*_ij, so that
// k.beta.k = 8 pi^2 Uiso (sin(theta)/lambda)^2.
std::array<double, 6> IsoDBeta(const std::array<double, 9>& g) {
  const double f = 2. * kPi * kPi;
  return {f * g[0], f * g[4], f * g[8], f * g[1], f * g[2], f * g[5]};
}

// Components and multiplicities of a symmetric tensor of order n.
std::vector<CalcTensComp> TensorComponents(int n) {
  std::vector<CalcTensComp> v;
  std::array<int, MaxAdpOrder> idx{};
  // Non-decreasing tuples in lexicographic order.
  auto rec = [&](auto&& self, int pos, int from) -> void {
    if (pos == n) {
      CalcTensComp c;
      c.Idx = idx;
      int cnt[3] = {0, 0, 0};
      for (int i = 0; i < n; ++i) ++cnt[idx[static_cast<size_t>(i)]];
      double m = std::tgamma(n + 1.);
      for (int k = 0; k < 3; ++k) m /= std::tgamma(cnt[k] + 1.);
      c.Mult = std::round(m);
      v.push_back(c);
      return;
    }
    for (int i = from; i < 3; ++i) {
      idx[static_cast<size_t>(pos)] = i;
      self(self, pos + 1, i);
    }
  };
  rec(rec, 0, 0);
  return v;
}

bool IsModulated(const AtomRec& a) {
  for (int k = 0; k < NParKinds; ++k)
    if (a.Shape.NWave[static_cast<size_t>(k)] > 0) return true;
  return a.Shape.Flag[0] == 1 || a.Shape.Flag[1] == 1 || a.Part > 1;
}

double ParVal(const RefParams& p, int i) {
  return p.Val[static_cast<size_t>(i)];
}

// Reads the values of a harmonic atom from the parameter vector.
void AtomValues(const RefParams& p, int base, const AtomLayoutInfo& lay, bool iso,
                const std::array<double, 9>& metI, double& occ, std::array<double, 3>& x,
                std::array<double, 6>& b) {
  occ = ParVal(p, base + lay.Off[BlkOcc]);
  for (int j = 0; j < 3; ++j) x[static_cast<size_t>(j)] = ParVal(p, base + lay.Off[BlkPos] + j);
  if (iso) {
    const double u = ParVal(p, base + lay.Off[BlkAdp]);
    const std::array<double, 6> d = IsoDBeta(metI);
    for (int k = 0; k < 6; ++k) b[static_cast<size_t>(k)] = u * d[static_cast<size_t>(k)];
  } else {
    for (int k = 0; k < 6; ++k) b[static_cast<size_t>(k)] = ParVal(p, base + lay.Off[BlkAdp] + k);
  }
}

// Operators of a phase in the form the sum uses; the inversion, when present,
// pairs each operator (R, t) with (-R, t0 - t).
CalcSymm MakeCalcSymm(const PhaseSymmetry& ps) {
  CalcSymm cs;
  cs.NDim = ps.NDim;
  for (int c = 0; c < ps.NLattVec; ++c) {
    std::array<double, 6> v{};
    for (int k = 0; k < ps.NDim && k < 6; ++k)
      v[static_cast<size_t>(k)] = ps.VT6[static_cast<size_t>(c)][static_cast<size_t>(k)];
    cs.Centr.push_back(v);
  }
  if (cs.Centr.empty()) cs.Centr.push_back({});
  const int nop = ps.NSymm;
  auto rot = [&](int i) { return ps.Op[static_cast<size_t>(i)].RM; };
  auto tr = [&](int i) {
    std::array<double, 3> t{};
    for (int k = 0; k < 3; ++k)
      t[static_cast<size_t>(k)] = ps.Op[static_cast<size_t>(i)].S6[static_cast<size_t>(k)];
    return t;
  };
  // Equal modulo lattice and centring translations (3-dimensional parts).
  auto eqMod = [&](const std::array<double, 3>& a, const std::array<double, 3>& b) {
    for (const auto& c : cs.Centr) {
      bool ok = true;
      for (int k = 0; k < 3 && ok; ++k) {
        double d =
            a[static_cast<size_t>(k)] - b[static_cast<size_t>(k)] - c[static_cast<size_t>(k)];
        d -= std::round(d);
        ok = std::fabs(d) < kCalcSymmTol;
      }
      if (ok) return true;
    }
    return false;
  };
  int inv = -1;
  for (int i = 0; i < nop && inv < 0; ++i) {
    const Mat3 r = rot(i);
    bool isInv = true;
    for (int k = 0; k < 9; ++k)
      isInv = isInv && r[static_cast<size_t>(k)] == (k % 4 == 0 ? -1. : 0.);
    if (isInv) inv = i;
  }
  std::vector<int> chosen;
  if (inv >= 0) {
    const std::array<double, 3> t0 = tr(inv);
    std::vector<char> covered(static_cast<size_t>(nop), 0);
    bool ok = true;
    for (int i = 0; i < nop && ok; ++i) {
      if (covered[static_cast<size_t>(i)]) continue;
      covered[static_cast<size_t>(i)] = 1;
      chosen.push_back(i);
      const Mat3 r = rot(i);
      std::array<double, 3> tp{}, ti = tr(i);
      for (int k = 0; k < 3; ++k)
        tp[static_cast<size_t>(k)] = t0[static_cast<size_t>(k)] - ti[static_cast<size_t>(k)];
      int partner = -1;
      for (int j = 0; j < nop && partner < 0; ++j) {
        if (covered[static_cast<size_t>(j)]) continue;
        const Mat3 rj = rot(j);
        bool neg = true;
        for (int k = 0; k < 9; ++k)
          neg = neg && rj[static_cast<size_t>(k)] == -r[static_cast<size_t>(k)];
        if (neg && eqMod(tr(j), tp)) partner = j;
      }
      if (partner < 0)
        ok = false;
      else
        covered[static_cast<size_t>(partner)] = 1;
    }
    if (ok) {
      cs.Centro = true;
      cs.InvT = t0;
    } else {
      chosen.clear();
    }
  }
  if (!cs.Centro)
    for (int i = 0; i < nop; ++i) chosen.push_back(i);
  for (int i : chosen) {
    cs.R.push_back(rot(i));
    cs.T.push_back(tr(i));
  }
  cs.NOp = static_cast<int>(chosen.size());
  return cs;
}

// Cartesian frame: columns a, b, c of the orthogonalisation matrix M (a along
// x, b in the xy plane); the diffraction vector of h is M^-T h.
std::array<double, 9> RecCartOf(const PhaseBasic& ph) {
  const Eigen::Matrix3d mi = OrthoMatrix(ph).inverse();
  std::array<double, 9> r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[static_cast<size_t>(3 * i + j)] = mi(i, j);
  return r;
}

}  // namespace

// ---------------------------------------------------------------- public helpers
double ExpTarn(double x, int& status) {
  if (x >= kExpTarnLimit) {
    status = 1;
    return kExpTarnHuge;
  }
  if (x <= -kExpTarnLimit) {
    status = 2;
    return kExpTarnTiny;
  }
  status = 0;
  return std::exp(x);
}

void GetDFormF(const CalcFormF& ff, double s, double& f, double& fpp) {
  fpp = ff.Fpp;
  switch (ff.Kind) {
    case 1:
      f = ff.c;
      return;
    case 2: {
      // Three-point Lagrange interpolation in the table (step kFormTabStep).
      const int n = static_cast<int>(ff.Tab.size());
      if (n == 0) {
        f = ff.Fp;
        return;
      }
      if (n < 3) {
        f = ff.Tab[0] + ff.Fp;
        return;
      }
      const double u = s / kFormTabStep;
      int i = std::clamp(static_cast<int>(std::lround(u)), 1, n - 2);
      const double t = u - i;
      const double fm = ff.Tab[static_cast<size_t>(i - 1)], f0 = ff.Tab[static_cast<size_t>(i)],
                   fp = ff.Tab[static_cast<size_t>(i + 1)];
      f = f0 + 0.5 * t * (fp - fm) + 0.5 * t * t * (fp - 2. * f0 + fm) + ff.Fp;
      return;
    }
    default: {
      const double s2 = s * s;
      double v = ff.c;
      for (int i = 0; i < ff.NGauss; ++i)
        v += ff.a[static_cast<size_t>(i)] * std::exp(-ff.b[static_cast<size_t>(i)] * s2);
      f = v + ff.Fp;
      return;
    }
  }
}

int CalcMakeFormF(const BasicData& b, int phase, int type, int block, CalcFormF& ff,
                  std::string& msg) {
  ff = CalcFormF{};
  const PhaseBasic& ph = b.Phase[static_cast<size_t>(phase)];
  const DatBlockBasic& db = b.DatBlock[static_cast<size_t>(block)];
  const std::string& name = ph.AtType[static_cast<size_t>(type)];
  const AtomTypeBasic* at = static_cast<size_t>(type) < ph.AtTypeData.size()
                                ? &ph.AtTypeData[static_cast<size_t>(type)]
                                : nullptr;
  auto fail = [&]() {
    msg = fmt::format("{} {}", calcmsg::NoFormF, name);
    return 1;
  };
  if (!at) return fail();
  if (db.Radiation == 2) {
    if (!at->FNeutron) return fail();
    ff.Kind = 1;
    ff.c = *at->FNeutron;
    ff.Fpp = at->FNeutronIm.value_or(0.);
    return 0;
  }
  if (db.Radiation == 3) {
    if (at->FFEl.size() < 10) return fail();
    ff.Kind = 0;
    ff.NGauss = 5;
    for (int i = 0; i < 5; ++i) {
      ff.a[static_cast<size_t>(i)] = at->FFEl[static_cast<size_t>(2 * i)];
      ff.b[static_cast<size_t>(i)] = at->FFEl[static_cast<size_t>(2 * i + 1)];
    }
    return 0;
  }
  const int tab = at->FormTab.value_or(ph.FormTab.value_or(FormTabGauss));
  if (tab == FormTabTable) {
    if (at->FFBasic.empty()) return fail();
    ff.Kind = 2;
    ff.Tab = at->FFBasic;
  } else {
    if (at->FFBasic.size() < 9) return fail();
    ff.Kind = 0;
    ff.NGauss = 4;
    for (int i = 0; i < 4; ++i) {
      ff.a[static_cast<size_t>(i)] = at->FFBasic[static_cast<size_t>(2 * i)];
      ff.b[static_cast<size_t>(i)] = at->FFBasic[static_cast<size_t>(2 * i + 1)];
    }
    ff.c = at->FFBasic[8];
  }
  if (static_cast<size_t>(block) < at->FPrime.size())
    ff.Fp = at->FPrime[static_cast<size_t>(block)];
  if (static_cast<size_t>(block) < at->FDoublePrime.size())
    ff.Fpp = at->FDoublePrime[static_cast<size_t>(block)];
  return 0;
}

// ---------------------------------------------------------------- preparation
int CalcPrepare(CalcSetup& s, const RefParams& p) {
  return CalcPrepare(s, p, RefSettings().Run);
}

int CalcPrepare(CalcSetup& s, const RefParams& p, const RefValues& run) {
  s = CalcSetup{};
  s.NPar = p.size();
  const int nPhase = static_cast<int>(Struct.Basic.Phase.size());
  for (int n = 3; n <= MaxAdpOrder; ++n) s.Tens[static_cast<size_t>(n)] = TensorComponents(n);
  for (int ip = 0; ip < nPhase; ++ip) {
    const PhaseBasic& ph = Struct.Basic.Phase[static_cast<size_t>(ip)];
    s.Symm.push_back(MakeCalcSymm(ph.Symmetry));
    std::array<double, 9> g{};
    std::copy(ph.MetTensI, ph.MetTensI + 9, g.begin());
    s.MetI.push_back(g);
    s.RecCart.push_back(RecCartOf(ph));
    s.Volume.push_back(ph.CellVol);
  }
  s.Atoms.resize(static_cast<size_t>(nPhase));
  s.ModMethod = run.I(RkMethod) == 0 ? 0 : 1;
  for (size_t ia = 0; ia < Struct.Model.Atom.size(); ++ia) {
    const AtomRec& a = Struct.Model.Atom[ia];
    const int ip = a.Phase - 1;
    if (ip < 0 || ip >= nPhase) {
      ReportError(std::string(calcmsg::Header), {fmt::format("{} {}", calcmsg::BadPhase, a.Name)});
      return 1;
    }
    const int nType = static_cast<int>(Struct.Basic.Phase[static_cast<size_t>(ip)].AtType.size());
    if (a.Type < 1 || a.Type > nType) {
      ReportError(std::string(calcmsg::Header),
                  {fmt::format("{}{})", calcmsg::BadType, a.Type), a.Name});
      return 1;
    }
    const int base = p.AtomBase[ia];
    if (IsModulated(a)) {
      auto prep = std::make_shared<ModAtomPrep>();
      if (CalcmPrepare(*prep, a, ip, s.ModMethod)) return 1;
      if (run.R(RkDiff) > 0.f) prep->BesselDiff = run.R(RkDiff);
      s.ModAtom.push_back(static_cast<int>(ia));
      s.ModType.push_back(a.Type - 1);
      s.ModParBase.push_back(base);
      s.ModPrep.push_back(std::move(prep));
      s.ModRec.push_back(a);
      continue;
    }
    CalcAtoms& ca = s.Atoms[static_cast<size_t>(ip)];
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    const bool iso = a.Shape.AdpOrder <= 1;
    if (a.Shape.AdpOrder > 2) {
      CalcAnhAtom an;
      an.Atom = static_cast<int>(ia);
      an.Name = a.Name;
      an.Type = a.Type - 1;
      an.ParBase = base;
      an.Order = std::min(a.Shape.AdpOrder, MaxAdpOrder);
      an.Iso = false;
      an.Lay = lay;
      ca.Anh.push_back(std::move(an));
      continue;
    }
    ca.Atom.push_back(static_cast<int>(ia));
    ca.Name.push_back(a.Name);
    ca.Type.push_back(a.Type - 1);
    ca.Iso.push_back(iso ? 1 : 0);
    ca.ParBase.push_back(base);
    ca.Layout.push_back(lay);
  }
  if (CalcMolPrepare(s, p)) return 1;
  for (CalcAtoms& ca : s.Atoms) {
    ca.N = static_cast<int>(ca.Atom.size());
    ca.NPad = (ca.N + kCalcPad - 1) / kCalcPad * kCalcPad;
    const size_t np = static_cast<size_t>(ca.NPad);
    ca.Occ.assign(np, 0.);
    ca.X.assign(np, 0.);
    ca.Y.assign(np, 0.);
    ca.Z.assign(np, 0.);
    for (auto& b : ca.B) b.assign(np, 0.);
  }
  // Data blocks.
  const int nBlock = static_cast<int>(Struct.Basic.DatBlock.size());
  for (int ib = 0; ib < nBlock; ++ib) {
    const DatBlockBasic& db = Struct.Basic.DatBlock[static_cast<size_t>(ib)];
    CalcBlock cb;
    cb.Radiation = db.Radiation;
    cb.Lambda = db.Lambda;
    cb.FormF.resize(static_cast<size_t>(nPhase));
    for (int ip = 0; ip < nPhase; ++ip) {
      const PhaseBasic& ph = Struct.Basic.Phase[static_cast<size_t>(ip)];
      for (int it = 0; it < static_cast<int>(ph.AtType.size()); ++it) {
        CalcFormF ff;
        std::string msg;
        if (CalcMakeFormF(Struct.Basic, ip, it, ib, ff, msg)) {
          ReportError(std::string(calcmsg::Header), {msg});
          return 1;
        }
        // "refofanom" 0: the refinement leaves the anomalous terms out.
        if (Struct.Basic.RefOfAnom && *Struct.Basic.RefOfAnom == 0) ff.Fp = ff.Fpp = 0.;
        cb.FormF[static_cast<size_t>(ip)].push_back(std::move(ff));
      }
    }
    // Polarisation constant: cos^2(2 theta_M) of a monochromator, else 1.
    if (db.Radiation == 1 && db.MonAngle) {
      const double c2 = std::cos(2. * *db.MonAngle * kPi / 180.);
      cb.PolK = c2 * c2;
    }
    DatBlockModel dm;
    if (static_cast<size_t>(ib) < Struct.Model.DatBlock.size())
      dm = Struct.Model.DatBlock[static_cast<size_t>(ib)];
    if (static_cast<size_t>(ib) < p.DatBase.size()) {
      const auto& db3 = p.DatBase[static_cast<size_t>(ib)];
      if (dm.Scale.size() > 0) cb.ScalePar = db3[0];
      cb.ExtPar = db3[1];
      cb.TwinPar = db3[2];
    }
    cb.ExtType = dm.ExtType;
    cb.NExt = dm.Ext.size();
    if (Struct.Basic.Twin.size() > 1) {
      std::string msg;
      const int phase =
          Struct.Basic.PhaseTwin.empty() ? 0 : std::max(Struct.Basic.PhaseTwin[0] - 1, 0);
      if (SetTw(cb.Twin, Struct.Basic, dm, phase, ib, run.R(RkTwDiff), run.I(RkMMaxTw),
                run.R(RkOverDiff), run.I(RkOverlap), msg)) {
        ReportError(std::string(calcmsg::Header), {msg});
        return 1;
      }
      cb.Twinned = cb.Twin.NDomain > 1;
    }
    s.Block.push_back(std::move(cb));
    s.BlockModel.push_back(std::move(dm));
  }
  {
    std::string msg;
    if (CalcMagPrepare(s.Mag, Struct.Basic, Struct.Model, p, run.I(RkOnlyMag) == 1, msg)) {
      ReportError(std::string(calcmsg::Header), {msg});
      return 1;
    }
  }
  CalcUpdate(s, p);
  return 0;
}

void CalcUpdate(CalcSetup& s, const RefParams& p) {
  for (size_t ip = 0; ip < s.Atoms.size(); ++ip) {
    CalcAtoms& ca = s.Atoms[ip];
    const std::array<double, 9>& g = s.MetI[ip];
    for (int i = 0; i < ca.N - ca.NMol; ++i) {
      const size_t k = static_cast<size_t>(i);
      double occ;
      std::array<double, 3> x;
      std::array<double, 6> b;
      AtomValues(p, ca.ParBase[k], ca.Layout[k], ca.Iso[k] != 0, g, occ, x, b);
      ca.Occ[k] = occ;
      ca.X[k] = x[0];
      ca.Y[k] = x[1];
      ca.Z[k] = x[2];
      for (int j = 0; j < 6; ++j) ca.B[static_cast<size_t>(j)][k] = b[static_cast<size_t>(j)];
    }
    for (CalcAnhAtom& an : ca.Anh) {
      AtomValues(p, an.ParBase, an.Lay, an.Iso, g, an.Occ, an.X, an.B);
      an.C.clear();
      for (int n = 3; n <= an.Order; ++n) {
        const int blk = BlkAnh3 + n - 3;
        for (int c = 0; c < an.Lay.Len[blk]; ++c)
          an.C.push_back(ParVal(p, an.ParBase + an.Lay.Off[blk] + c) /
                         kAnhScale[static_cast<size_t>(n)]);
      }
    }
  }
  CalcMolUpdate(s, p);
  for (size_t im = 0; im < s.ModRec.size(); ++im) {
    AtomRec& a = s.ModRec[im];
    const int base = s.ModParBase[im];
    for (int k = 0; k < a.Par.size(); ++k) a.Par.Val[static_cast<size_t>(k)] = ParVal(p, base + k);
  }
  for (size_t ib = 0; ib < s.Block.size(); ++ib) {
    CalcBlock& cb = s.Block[ib];
    DatBlockModel& dm = s.BlockModel[ib];
    if (cb.ScalePar >= 0) {
      cb.Scales.resize(static_cast<size_t>(dm.Scale.size()));
      for (int k = 0; k < dm.Scale.size(); ++k)
        cb.Scales[static_cast<size_t>(k)] = ParVal(p, cb.ScalePar + k);
      cb.Scale = cb.Scales[0];
    }
    for (int k = 0; k < dm.Ext.size(); ++k)
      dm.Ext.Val[static_cast<size_t>(k)] = ParVal(p, cb.ExtPar + k);
    for (int k = 0; k < dm.Twin.size(); ++k)
      dm.Twin.Val[static_cast<size_t>(k)] = ParVal(p, cb.TwinPar + k);
    if (cb.Twinned) TwinUpdateFractions(cb.Twin, dm);
  }
  CalcMagUpdate(s.Mag, p);
}

// ---------------------------------------------------------------- one structure factor
namespace {

// Contribution of an anharmonic atom: G and dG/d(value) for its local values
// (occupancy excluded: G is per unit occupancy). dg has Lay.NPar entries.
void AnhAtomG(const CalcSetup& s, const CalcSymm& cs, const CalcAnhAtom& an, const int* h,
              bool wantDer, cplx& g, cplx* dg, double& emax) {
  g = 0.;
  emax = -1.e300;
  const int nAnh = static_cast<int>(an.C.size());
  std::vector<cplx> dP(static_cast<size_t>(nAnh));
  const double sh =
      cs.Centro ? 0.5 * (h[0] * cs.InvT[0] + h[1] * cs.InvT[1] + h[2] * cs.InvT[2]) : 0.;
  const cplx twoPiI(0., kTwoPi);
  for (int o = 0; o < cs.NOp; ++o) {
    const auto& r = cs.R[static_cast<size_t>(o)];
    const auto& t = cs.T[static_cast<size_t>(o)];
    double k[3];
    for (int j = 0; j < 3; ++j)
      k[j] = h[0] * r[static_cast<size_t>(j)] + h[1] * r[static_cast<size_t>(3 + j)] +
             h[2] * r[static_cast<size_t>(6 + j)];
    const double q[6] = {k[0] * k[0],      k[1] * k[1],      k[2] * k[2],
                         2. * k[0] * k[1], 2. * k[0] * k[2], 2. * k[1] * k[2]};
    double e = 0.;
    for (int j = 0; j < 6; ++j) e -= q[j] * an.B[static_cast<size_t>(j)];
    emax = std::max(emax, e);
    int st;
    const double tf = ExpTarn(std::min(e, kExpTarnLimit - 1.), st);
    const double ph = k[0] * an.X[0] + k[1] * an.X[1] + k[2] * an.X[2] + h[0] * t[0] + h[1] * t[1] +
                      h[2] * t[2] - sh;
    const cplx ex = tf * std::polar(1., kTwoPi * ph);
    // Gram-Charlier: P = 1 + sum_n (2 pi i)^n / n! sum_comp Mult C k..k.
    cplx pf = 1.;
    int ic = 0;
    for (int n = 3; n <= an.Order; ++n) {
      const cplx pre = std::pow(twoPiI, n) / std::tgamma(n + 1.);
      for (const CalcTensComp& c : s.Tens[static_cast<size_t>(n)]) {
        double prod = c.Mult;
        for (int m = 0; m < n; ++m) prod *= k[c.Idx[static_cast<size_t>(m)]];
        const cplx d = pre * prod;
        dP[static_cast<size_t>(ic)] = d;
        pf += d * an.C[static_cast<size_t>(ic)];
        ++ic;
      }
    }
    auto add = [&](cplx& dst, cplx v) { dst += cs.Centro ? cplx(2. * v.real(), 0.) : v; };
    add(g, pf * ex);
    if (!wantDer) continue;
    const AtomLayoutInfo& lay = an.Lay;
    for (int j = 0; j < 3; ++j) add(dg[lay.Off[BlkPos] + j], twoPiI * k[j] * pf * ex);
    for (int j = 0; j < 6; ++j) add(dg[lay.Off[BlkAdp] + j], -q[j] * pf * ex);
    ic = 0;
    for (int n = 3; n <= an.Order; ++n) {
      const int off = lay.Off[BlkAnh3 + n - 3];
      const double sc = kAnhScale[static_cast<size_t>(n)];
      for (size_t c = 0; c < s.Tens[static_cast<size_t>(n)].size(); ++c, ++ic)
        add(dg[off + static_cast<int>(c)], dP[static_cast<size_t>(ic)] * ex / sc);
    }
  }
}

// F of indices h in data block ib, phase ip; with dI non-null adds
// w * d|F|^2/dp for every atom value p.
int CalcF(const CalcSetup& s, const int* h, int ib, int ip, double sthl, double w, double* dI,
          cplx& fOut, CalcOut& out) {
  Scratch& sc = ThreadScratch();
  const CalcBlock& cb = s.Block[static_cast<size_t>(ib)];
  const CalcSymm& cs = s.Symm[static_cast<size_t>(ip)];
  const CalcAtoms& ca = s.Atoms[static_cast<size_t>(ip)];
  const auto& formf = cb.FormF[static_cast<size_t>(ip)];
  const int ndim = cs.NDim;
  const bool der = dI != nullptr;
  int status = 0;
  // Scattering factors of the atom types.
  const size_t nType = formf.size();
  thread_local std::vector<cplx> ftype;
  ftype.resize(nType);
  for (size_t t = 0; t < nType; ++t) {
    double f, fpp;
    GetDFormF(formf[t], sthl, f, fpp);
    ftype[t] = cplx(f, fpp);
  }
  bool main = true;
  for (int k = 3; k < ndim; ++k) main = main && h[k] == 0;
  cplx F = 0.;
  // Centring factor (with the inversion's half translation).
  cplx gf = 0.;
  if (main) {
    for (const auto& c : cs.Centr) {
      double ph = 0.;
      for (int k = 0; k < ndim; ++k) ph += h[k] * c[static_cast<size_t>(k)];
      gf += std::polar(1., kTwoPi * ph);
    }
    if (cs.Centro)
      gf *= std::polar(1., kPi * (h[0] * cs.InvT[0] + h[1] * cs.InvT[1] + h[2] * cs.InvT[2]));
    if (std::abs(gf) < 1.e-6) main = false;  // systematically absent
  }
  const int n = ca.NPad;
  const bool kernel = main && ca.N > 0;
  if (kernel) {
    sc.Op.resize(static_cast<size_t>(cs.NOp * kOpStride));
    const double sh =
        cs.Centro ? 0.5 * (h[0] * cs.InvT[0] + h[1] * cs.InvT[1] + h[2] * cs.InvT[2]) : 0.;
    for (int o = 0; o < cs.NOp; ++o) {
      const auto& r = cs.R[static_cast<size_t>(o)];
      const auto& t = cs.T[static_cast<size_t>(o)];
      double* c = sc.Op.data() + kOpStride * o;
      double k[3];
      for (int j = 0; j < 3; ++j)
        k[j] = h[0] * r[static_cast<size_t>(j)] + h[1] * r[static_cast<size_t>(3 + j)] +
               h[2] * r[static_cast<size_t>(6 + j)];
      c[0] = k[0];
      c[1] = k[1];
      c[2] = k[2];
      c[3] = h[0] * t[0] + h[1] * t[1] + h[2] * t[2] - sh;
      c[4] = k[0] * k[0];
      c[5] = k[1] * k[1];
      c[6] = k[2] * k[2];
      c[7] = 2. * k[0] * k[1];
      c[8] = 2. * k[0] * k[2];
      c[9] = 2. * k[1] * k[2];
    }
    sc.Acc.assign(static_cast<size_t>(kNAcc * n), 0.);
    sc.EMax.assign(static_cast<size_t>(n), -1.e300);
    KernelArgs a;
    a.NPad = n;
    a.NOp = cs.NOp;
    a.X = ca.X.data();
    a.Y = ca.Y.data();
    a.Z = ca.Z.data();
    for (int j = 0; j < 6; ++j) a.B[j] = ca.B[static_cast<size_t>(j)].data();
    a.Op = sc.Op.data();
    a.Acc = sc.Acc.data();
    a.EMax = sc.EMax.data();
    if (cs.Centro)
      der ? KernelCentroDer(a) : KernelCentro(a);
    else
      der ? KernelDer(a) : KernelPlain(a);
    const double* acc = sc.Acc.data();
    cplx sum = 0.;
    for (int i = 0; i < ca.N; ++i) {
      if (sc.EMax[static_cast<size_t>(i)] >= kExpTarnLimit) {
        AddProblem(out, ca.Name[static_cast<size_t>(i)], h, ndim);
        status = 1;
      }
      const cplx g =
          cs.Centro ? cplx(2. * acc[AG * n + i], 0.) : cplx(acc[AG * n + i], acc[(AG + 1) * n + i]);
      sum += ca.Occ[static_cast<size_t>(i)] *
             ftype[static_cast<size_t>(ca.Type[static_cast<size_t>(i)])] * g;
    }
    F += gf * sum;
  }
  // Anharmonic atoms.
  const size_t nAnh = main ? ca.Anh.size() : 0;
  sc.GAnh.resize(nAnh);
  size_t dgSize = 0;
  for (size_t i = 0; i < nAnh; ++i) dgSize += static_cast<size_t>(ca.Anh[i].Lay.NPar);
  for (size_t im = 0; im < s.ModRec.size(); ++im)
    dgSize += static_cast<size_t>(s.ModRec[im].Par.size());
  if (der) sc.DG.assign(dgSize, cplx(0.));
  size_t dgOff = 0;
  for (size_t i = 0; i < nAnh; ++i) {
    const CalcAnhAtom& an = ca.Anh[i];
    double emax;
    AnhAtomG(s, cs, an, h, der, sc.GAnh[i], der ? sc.DG.data() + dgOff : nullptr, emax);
    if (emax >= kExpTarnLimit) {
      AddProblem(out, an.Name, h, ndim);
      status = 1;
    }
    F += gf * an.Occ * ftype[static_cast<size_t>(an.Type)] * sc.GAnh[i];
    dgOff += static_cast<size_t>(an.Lay.NPar);
  }
  // Modulated atoms of the phase.
  const size_t nMod = s.ModRec.size();
  sc.GMod.assign(nMod, cplx(0.));
  sc.ModOff.assign(nMod, -1);
  for (size_t im = 0; im < nMod; ++im) {
    const ModAtomPrep& mp = *s.ModPrep[im];
    if (mp.Phase != ip) continue;
    const AtomRec& at = s.ModRec[im];
    const size_t np = static_cast<size_t>(at.Par.size());
    double* dRe = nullptr;
    double* dIm = nullptr;
    if (der) {
      sc.DRe.assign(np, 0.);
      sc.DIm.assign(np, 0.);
      dRe = sc.DRe.data();
      dIm = sc.DIm.data();
    }
    std::string msg;
    cplx g;
    const int err = s.ModMethod == 0 ? Calcm1(mp, at, h, g, dRe, dIm, &msg)
                                     : Calcm2(mp, at, h, g, dRe, dIm, &msg);
    if (err) {
      out.Problem = 1;
      if (!msg.empty()) out.Msg.push_back(msg);
      out.Msg.push_back(
          fmt::format("{}{}{}", calcmsg::Problem1, IndexText(h, ndim), calcmsg::Problem2));
      status = 1;
    }
    const int type = s.ModType[im];
    sc.GMod[im] = g;
    F += ftype[static_cast<size_t>(type)] * g;
    if (der) {
      sc.ModOff[im] = static_cast<int>(dgOff);
      for (size_t k = 0; k < np; ++k) sc.DG[dgOff + k] = cplx(sc.DRe[k], sc.DIm[k]);
      dgOff += np;
    }
  }
  fOut = F;
  if (!der) return status;
  // d|F|^2/dp = 2 Re(conj(F) dF/dp); per atom W = 2 w conj(F) gf ai (f + i f'').
  const cplx cF2 = 2. * w * std::conj(F);
  if (kernel) {
    const double* acc = sc.Acc.data();
    const std::array<double, 6>& isoD = IsoDBeta(s.MetI[static_cast<size_t>(ip)]);
    for (int i = 0; i < ca.N; ++i) {
      const size_t k = static_cast<size_t>(i);
      const cplx ft = ftype[static_cast<size_t>(ca.Type[k])];
      const cplx wa = cF2 * gf * ft;  // per unit occupancy
      const double occ = ca.Occ[k];
      const AtomLayoutInfo& lay = ca.Layout[k];
      double* d = dI + ca.ParBase[k];
      double dx[3], db[6];
      cplx g;
      if (cs.Centro) {
        // G = 2 sum T cos; dG/dx_j = -4 pi sum k_j T sin; dG/dbeta = -2 sum q T cos.
        g = 2. * acc[AG * n + i];
        for (int j = 0; j < 3; ++j) dx[j] = (wa.real()) * (-2. * kTwoPi * acc[(AX + j) * n + i]);
        for (int j = 0; j < 6; ++j) db[j] = (wa.real()) * (-2. * acc[(AB + j) * n + i]);
      } else {
        g = cplx(acc[AG * n + i], acc[(AG + 1) * n + i]);
        // dG/dx_j = 2 pi i X_j; dG/dbeta_k = -B_k.
        for (int j = 0; j < 3; ++j) {
          const cplx xj(acc[(AX + 2 * j) * n + i], acc[(AX + 2 * j + 1) * n + i]);
          dx[j] = (wa * cplx(0., kTwoPi) * xj).real();
        }
        for (int j = 0; j < 6; ++j) {
          const cplx bj(acc[(AB + 2 * j) * n + i], acc[(AB + 2 * j + 1) * n + i]);
          db[j] = -(wa * bj).real();
        }
      }
      d[lay.Off[BlkOcc]] += (wa * g).real();
      for (int j = 0; j < 3; ++j) d[lay.Off[BlkPos] + j] += occ * dx[j];
      if (ca.Iso[k]) {
        double du = 0.;
        for (int j = 0; j < 6; ++j) du += db[j] * isoD[static_cast<size_t>(j)];
        d[lay.Off[BlkAdp]] += occ * du;
      } else {
        for (int j = 0; j < 6; ++j) d[lay.Off[BlkAdp] + j] += occ * db[j];
      }
    }
  }
  dgOff = 0;
  for (size_t i = 0; i < nAnh; ++i) {
    const CalcAnhAtom& an = ca.Anh[i];
    const cplx wa = cF2 * gf * ftype[static_cast<size_t>(an.Type)];
    double* d = dI + an.ParBase;
    d[an.Lay.Off[BlkOcc]] += (wa * sc.GAnh[i]).real();
    for (int k = 0; k < an.Lay.NPar; ++k)
      if (k != an.Lay.Off[BlkOcc])
        d[k] += an.Occ * (wa * sc.DG[dgOff + static_cast<size_t>(k)]).real();
    dgOff += static_cast<size_t>(an.Lay.NPar);
  }
  for (size_t im = 0; im < nMod; ++im) {
    if (sc.ModOff[im] < 0) continue;
    const int type = s.ModType[im];
    const cplx wa = cF2 * ftype[static_cast<size_t>(type)];
    double* d = dI + s.ModParBase[im];
    const int np = s.ModRec[im].Par.size();
    for (int k = 0; k < np; ++k)
      d[k] += (wa * sc.DG[static_cast<size_t>(sc.ModOff[im] + k)]).real();
  }
  return status;
}

}  // namespace

int Calc(const CalcSetup& s, const CalcRefl& r, bool wantDer, CalcOut& out) {
  out.A = out.B = out.Fc = out.IMag = 0.;
  out.Magnetic = -1;
  out.Ext = 1.;
  out.Problem = 0;
  out.Msg.clear();
  if (wantDer)
    out.Der.assign(static_cast<size_t>(s.NPar + s.NDerMol), 0.);
  else
    out.Der.clear();
  const CalcBlock& cb = s.Block[static_cast<size_t>(r.DatBlock)];
  const DatBlockModel& dm = s.BlockModel[static_cast<size_t>(r.DatBlock)];
  double* dI = wantDer ? out.Der.data() : nullptr;
  int status = 0;
  cplx F;
  double I = 0.;
  std::vector<double> dFrac;
  Scratch& sc = ThreadScratch();
  // Neutron data of a phase with magnetic atoms: |F_N|^2 + |F_M,perp|^2 (no
  // interference for unpolarised neutrons); `onlymag` leaves F_N out.
  const bool magPhase = static_cast<size_t>(r.Phase) < s.Mag.Phase.size() &&
                        s.Mag.Phase[static_cast<size_t>(r.Phase)].Active;
  const bool mag = magPhase && cb.Radiation == 2;
  // A satellite of a magnetic propagation vector has no nuclear part.
  bool satellite = false;
  if (magPhase)
    for (int n = 0; n < s.Mag.Phase[static_cast<size_t>(r.Phase)].NK; ++n)
      satellite = satellite || r.H[static_cast<size_t>(3 + n)] != 0;
  const bool nuc = !(mag && s.Mag.OnlyMag) && !satellite;
  double iNuc = 0., iMag = 0.;
  // Intensity of one domain reflection; adds w d(intensity)/dp into dI.
  auto partIntensity = [&](const int* h, double w, cplx& f) {
    f = 0.;
    if (nuc) status |= CalcF(s, h, r.DatBlock, r.Phase, r.SinThL, w, dI, f, out);
    double im = 0.;
    if (mag) {
      std::string bad;
      if (CalcMagI(s.Mag, r.Phase, h, r.SinThL, w, dI, im, bad) != 0) {
        status = 1;
        if (!out.Problem) AddProblem(out, bad, h, s.Mag.Phase[static_cast<size_t>(r.Phase)].NDim);
      }
    }
    iNuc += w * std::norm(f);
    iMag += w * im;
    return std::norm(f) + im;
  };
  if (cb.Twinned) {
    TwinParts(cb.Twin, r.H.data(), sc.Parts);
    const auto parts = sc.Parts;  // CalcF reuses the scratch
    std::vector<double> partI(parts.size());
    for (size_t k = 0; k < parts.size(); ++k) {
      cplx fk;
      const double w = cb.Twin.Frac[static_cast<size_t>(parts[k].Domain)];
      partI[k] = partIntensity(parts[k].H.data(), w, fk);
      if (k == 0) F = fk;
    }
    dFrac.assign(static_cast<size_t>(cb.Twin.NDomain), 0.);
    I = TwinSum(cb.Twin, parts, partI, wantDer ? dFrac.data() : nullptr);
  } else {
    I = partIntensity(r.H.data(), 1., F);
  }
  out.A = F.real();
  out.B = F.imag();
  out.IMag = iMag;
  if (magPhase) out.Magnetic = mag && iMag > 0. && iNuc <= kMagPureFrac * (iNuc + iMag) ? 1 : 0;
  // Extinction y(I) and dy/d(extinction values).
  const double sinTh = std::clamp(r.SinThL * cb.Lambda, 0., 1.);
  const double cosTh = std::sqrt(std::max(0., 1. - sinTh * sinTh));
  const double sin2Th = 2. * sinTh * cosTh;
  std::vector<double> dyExt(static_cast<size_t>(std::max(cb.NExt, 1)), 0.);
  auto yOf = [&](double i2, double* dy) {
    if (cb.ExtType == ExtShelx) {
      if (cb.NExt < 1) return 1.;
      double dfdx = 0.;
      const double y = ShelxExt(dm.Ext.Val[0], std::sqrt(std::max(i2, 0.)), cb.Lambda, sin2Th,
                                cb.Radiation, &dfdx);
      if (dy) dy[0] = dfdx;
      return y;
    }
    if (cb.ExtType == ExtIso || cb.ExtType == ExtAniso) {
      ExtInput in;
      in.Fc2 = i2;
      in.SinTh = sinTh;
      in.Lambda = cb.Lambda;
      in.PolK = cb.PolK;
      in.Volume = s.Volume[static_cast<size_t>(r.Phase)];
      const auto& rc = s.RecCart[static_cast<size_t>(r.Phase)];
      for (int j = 0; j < 3; ++j)
        in.HCart[static_cast<size_t>(j)] = r.H[0] * rc[static_cast<size_t>(j)] +
                                           r.H[1] * rc[static_cast<size_t>(3 + j)] +
                                           r.H[2] * rc[static_cast<size_t>(6 + j)];
      int problem = 0;
      const double y = ExtFactor(dm, in, dy, problem);
      return y;
    }
    return 1.;
  };
  const double y = yOf(I, wantDer ? dyExt.data() : nullptr);
  out.Ext = y;
  const int isc = r.Scale > 0 && r.Scale < static_cast<int>(cb.Scales.size()) ? r.Scale : 0;
  const double scale = isc > 0 ? cb.Scales[static_cast<size_t>(isc)] : cb.Scale;
  out.Fc = scale * std::sqrt(std::max(y * I, 0.));
  if (!wantDer) return status;
  // Fc = scale sqrt(y(I) I): dFc/dI = scale (y + I y'(I)) / (2 sqrt(y I)).
  double dFcdI = 0.;
  if (I > kCalcITiny && y > 0.) {
    double dydI = 0.;
    if (cb.ExtType != ExtNone && cb.NExt > 0) {
      const double h = kCalcExtStep * I;
      dydI = (yOf(I + h, nullptr) - yOf(I - h, nullptr)) / (2. * h);
    }
    dFcdI = scale * (y + I * dydI) / (2. * std::sqrt(y * I));
  }
  for (double& d : out.Der) d *= dFcdI;
  CalcMolChain(s, out.Der);  // pseudo-atom slots -> molecule positions
  if (cb.ScalePar >= 0)
    out.Der[static_cast<size_t>(cb.ScalePar + isc)] = std::sqrt(std::max(y * I, 0.));
  if (cb.ExtType != ExtNone && y > 0.)
    for (int k = 0; k < cb.NExt; ++k)
      out.Der[static_cast<size_t>(cb.ExtPar + k)] =
          scale * std::sqrt(std::max(I, 0.)) * dyExt[static_cast<size_t>(k)] / (2. * std::sqrt(y));
  if (cb.Twinned)
    for (int j = 1; j < dm.Twin.size() && j < cb.Twin.NDomain; ++j)
      out.Der[static_cast<size_t>(cb.TwinPar + j)] = dFcdI * dFrac[static_cast<size_t>(j)];
  return status;
}

}  // namespace tarn
