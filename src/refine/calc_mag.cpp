// Magnetic structure factor of neutron reflections and its derivatives
// (the conventions are in calc_mag.hpp).
#include "refine/calc_mag.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "model/modfun.hpp"
#include "refine/calc.hpp"
#include "refine/constr.hpp"
#include "util/strings.hpp"
#include "util/numbers.hpp"

namespace tarn {

namespace {

using cplx = std::complex<double>;
using CVec = std::array<cplx, 3>;

bool AtomIsModulated(const AtomRec& a) {
  for (int k = 0; k < NParKinds; ++k)
    if (a.Shape.NWave[static_cast<size_t>(k)] > 0) return true;
  return a.Shape.Flag[0] == 1 || a.Shape.Flag[1] == 1 || a.Part > 1;
}

// Magnetic form factor data of an atom type: the "atmag"/"atmagj" records of
// the phase by type name, else the <j0> coefficients of the type's "FFMag".
bool FormMOf(const PhaseBasic& ph, int type, AtMagBasic& out) {
  const std::string& name = ph.AtType[static_cast<size_t>(type)];
  for (const AtMagBasic& a : ph.AtMag)
    if (EqIgnoreCase(a.AtName, name) && a.J0.size() >= 7) {
      out = a;
      return true;
    }
  if (static_cast<size_t>(type) < ph.AtTypeData.size()) {
    const auto& ff = ph.AtTypeData[static_cast<size_t>(type)].FFMag;
    if (ff.size() >= 7) {
      out = AtMagBasic{};
      out.AtName = name;
      out.J0.assign(ff.begin(), ff.begin() + 7);
      return true;
    }
  }
  return false;
}

void ReadValues(CalcMagAtom& a, const RefParams& p, const std::array<double, 9>& g) {
  auto val = [&](int k) { return p.Val[static_cast<size_t>(a.ParBase + k)]; };
  a.Occ = val(a.Lay.Off[BlkOcc]);
  for (int j = 0; j < 3; ++j) a.X[static_cast<size_t>(j)] = val(a.Lay.Off[BlkPos] + j);
  if (a.Iso) {
    // beta_ij = 2 pi^2 Uiso G*_ij.
    const double u = 2. * kPi * kPi * val(a.Lay.Off[BlkAdp]);
    a.B = {u * g[0], u * g[4], u * g[8], u * g[1], u * g[2], u * g[5]};
  } else {
    for (int k = 0; k < 6; ++k) a.B[static_cast<size_t>(k)] = val(a.Lay.Off[BlkAdp] + k);
  }
  for (int j = 0; j < 3; ++j) a.MVal[static_cast<size_t>(j)] = val(a.Lay.Off[BlkMag] + j);
  a.Wave.resize(static_cast<size_t>(a.Lay.Len[BlkMagWave]));
  for (int j = 0; j < a.Lay.Len[BlkMagWave]; ++j)
    a.Wave[static_cast<size_t>(j)] = val(a.Lay.Off[BlkMagWave] + j);
}

// The operator's components ("x y z"), or its number when it has no text.
std::string OpText(const SymmOp& op, int o) {
  std::string t;
  for (const std::string& c : op.Text) t += (t.empty() ? "" : " ") + c;
  return t.empty() ? std::to_string(o + 1) : t;
}

// The operator (R, s) of a three-dimensional phase extended to the
// superspace of the propagation vectors k_n: k_n R = e_n k_n + G_n (e_n = +-1,
// G_n integer; e_n with G_n = 0 preferred), the internal row (G_n, e_n) and
// the internal translation k_n.s. 1 when some k_n is not kept.
int MagKOperator(const SymmOp& op, const std::vector<Vec3>& ks, std::array<double, 36>& r,
                 std::array<double, 6>& t) {
  const int nk = static_cast<int>(ks.size()), nd = 3 + nk;
  r.fill(0.);
  t.fill(0.);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      r[static_cast<size_t>(nd * i + j)] = op.RM[static_cast<size_t>(3 * i + j)];
    t[static_cast<size_t>(i)] = op.S6[static_cast<size_t>(i)];
  }
  for (int n = 0; n < nk; ++n) {
    const Vec3& k = ks[static_cast<size_t>(n)];
    double kr[3];
    for (int j = 0; j < 3; ++j) {
      kr[j] = 0.;
      for (int i = 0; i < 3; ++i) kr[j] += k[static_cast<size_t>(i)] * op.RM[static_cast<size_t>(3 * i + j)];
    }
    int eps = 0;
    double best = 1e9;
    for (int e : {1, -1}) {
      double off = 0., big = 0.;
      for (int j = 0; j < 3; ++j) {
        const double g = kr[j] - e * k[static_cast<size_t>(j)];
        off = std::max(off, std::abs(g - std::round(g)));
        big += std::abs(std::round(g));
      }
      if (off < 1e-6 && big < best) eps = e, best = big;
    }
    if (eps == 0) return 1;
    const size_t row = static_cast<size_t>(nd * (3 + n));
    for (int j = 0; j < 3; ++j)
      r[row + static_cast<size_t>(j)] = std::round(kr[j] - eps * k[static_cast<size_t>(j)]);
    r[row + static_cast<size_t>(3 + n)] = eps;
    t[static_cast<size_t>(3 + n)] = k[0] * t[0] + k[1] * t[1] + k[2] * t[2];
  }
  return 0;
}

}  // namespace

int MagAtomRepr(const PhaseModel& ph, const std::string& name) {
  for (const M40Option& o : ph.Opt) {
    if (o.Index < 0 || static_cast<size_t>(o.Index) >= M40OptionKeys.size() ||
        !EqIgnoreCase(M40OptionKeys[static_cast<size_t>(o.Index)], "magmode"))
      continue;
    for (const std::string& w : o.Words)
      if (EqIgnoreCase(w, name)) return MagSpher;
  }
  return MagFract;
}

int CalcMagPrepare(CalcMagSetup& m, const BasicData& b, const AtomModel& model, const RefParams& p,
                   bool onlyMag, std::string& msg) {
  m = CalcMagSetup{};
  msg.clear();
  m.OnlyMag = onlyMag;
  m.Phase.resize(b.Phase.size());
  for (size_t ia = 0; ia < model.Atom.size(); ++ia) {
    const AtomRec& a = model.Atom[ia];
    if (a.Shape.MagPar <= 0) continue;
    const int ip = a.Phase - 1;
    if (ip < 0 || static_cast<size_t>(ip) >= b.Phase.size()) continue;  // refused by CalcPrepare
    const PhaseBasic& ph = b.Phase[static_cast<size_t>(ip)];
    CalcMagPhase& mp = m.Phase[static_cast<size_t>(ip)];
    if (AtomIsModulated(a)) {
      msg = fmt::format("{} {}", calcmagmsg::Modulated, a.Name);
      return 1;
    }
    if (a.Shape.AdpOrder > 2) {
      msg = fmt::format("{} {}", calcmagmsg::Anharmonic, a.Name);
      return 1;
    }
    const std::string phName = ph.Name.empty() ? std::to_string(ip + 1) : ph.Name;
    if (!ph.QMag.empty() && (ph.Symmetry.NDim > 3 || ph.QMag.size() > 3)) {
      msg = fmt::format("{} {}", calcmagmsg::PropVector, phName);
      return 1;
    }
    if (!mp.Active) {
      if (MagPrepare(mp.Mag, ph) != 0) {
        msg = fmt::format("{} {}", calcmagmsg::BadCell, ph.Name);
        return 1;
      }
      const PhaseSymmetry& sy = ph.Symmetry;
      mp.NK = static_cast<int>(ph.QMag.size());
      mp.NDim = mp.NK > 0 ? 3 + mp.NK : std::clamp(sy.NDim, 3, 6);
      const int nd = mp.NDim;
      if (mp.NK > 0) {
        mp.Q = ph.QMag;
        for (const Vec3& k : mp.Q)
          if (std::all_of(k.begin(), k.end(), [](double v) { return std::abs(v - std::round(v)) < 1e-6; })) {
            msg = fmt::format("{} {}", calcmagmsg::KIntegral, phName);
            return 1;
          }
      } else {
        for (int j = 0; j < nd - 3; ++j)
          mp.Q.push_back(static_cast<size_t>(j) < ph.Qi.size() ? ph.Qi[static_cast<size_t>(j)]
                                                               : Vec3{});
      }
      for (int o = 0; o < sy.NSymm && o < sy.MaxSymm(); ++o) {
        const SymmOp& op = sy.Op[static_cast<size_t>(o)];
        std::array<double, 36> r{};
        std::array<double, 6> t{};
        if (mp.NK > 0) {
          if (MagKOperator(op, mp.Q, r, t)) {
            msg = fmt::format("{} {}", calcmagmsg::KNotKept, OpText(op, o));
            return 1;
          }
        } else {
          for (int i = 0; i < nd * nd; ++i)
            r[static_cast<size_t>(i)] = op.RM6[static_cast<size_t>(i)];
          for (int k = 0; k < nd; ++k) t[static_cast<size_t>(k)] = op.S6[static_cast<size_t>(k)];
        }
        mp.R.push_back(r);
        mp.T.push_back(t);
      }
      // Centring vectors (for propagation vectors without internal part).
      const int ndc = std::min(nd, std::clamp(sy.NDim, 3, 6));
      for (int c = 0; c < sy.NLattVec && c < sy.MaxLattVec(); ++c) {
        std::array<double, 6> v{};
        for (int k = 0; k < ndc; ++k)
          v[static_cast<size_t>(k)] = sy.VT6[static_cast<size_t>(c)][static_cast<size_t>(k)];
        mp.Centr.push_back(v);
      }
      if (mp.Centr.empty()) mp.Centr.push_back({});
      std::copy(ph.MetTensI, ph.MetTensI + 9, mp.MetI.begin());
      mp.FormM.resize(ph.AtType.size());
      if (mp.NK > 0) {
        // Wave n of an atom belongs to propagation vector n.
        for (int n = 0; n < mp.NK; ++n) {
          std::array<int, 3> e{};
          e[static_cast<size_t>(n)] = 1;
          mp.Waves.push_back(e);
        }
      } else if (static_cast<size_t>(ip) < model.Phase.size() &&
                 ModWavesOfPhase(model.Phase[static_cast<size_t>(ip)], nd - 3, mp.Waves, &msg)) {
        return 1;
      }
      mp.Active = true;
    }
    const int type = a.Type - 1;
    if (type < 0 || static_cast<size_t>(type) >= ph.AtType.size()) continue;  // refused elsewhere
    if (!FormMOf(ph, type, mp.FormM[static_cast<size_t>(type)])) {
      msg = fmt::format("{} {}", calcmagmsg::NoFormM, ph.AtType[static_cast<size_t>(type)]);
      return 1;
    }
    CalcMagAtom ma;
    ma.Atom = static_cast<int>(ia);
    ma.Name = a.Name;
    ma.Type = type;
    ma.ParBase = p.AtomBase[ia];
    ma.Lay = AtomLayout(a.Shape);
    ma.Iso = a.Shape.AdpOrder <= 1;
    ma.Repr = static_cast<size_t>(ip) < model.Phase.size()
                  ? MagAtomRepr(model.Phase[static_cast<size_t>(ip)], a.Name)
                  : MagFract;
    if (a.Shape.MagPar > 1 && (ma.Repr == MagSpher || mp.NDim < 4)) {
      msg = fmt::format("{} {}", calcmagmsg::Waves, a.Name);
      return 1;
    }
    if (!ModWavesCover(&mp.Waves, a.Shape.MagPar - 1, mp.NDim - 3)) {
      msg = fmt::format("{} {}", calcmagmsg::NoWaveVectors, a.Name);
      return 1;
    }
    mp.Atoms.push_back(std::move(ma));
  }
  CalcMagUpdate(m, p);
  return 0;
}

void CalcMagUpdate(CalcMagSetup& m, const RefParams& p) {
  for (CalcMagPhase& mp : m.Phase)
    for (CalcMagAtom& a : mp.Atoms) ReadValues(a, p, mp.MetI);
}

int CalcMagI(const CalcMagSetup& m, int ip, const int* h, double sthl, double w, double* dI,
             double& iMag, std::string& badAtom) {
  iMag = 0.;
  const CalcMagPhase& mp = m.Phase[static_cast<size_t>(ip)];
  if (!mp.Active) return 0;
  const int nd = mp.NDim, d = nd - 3;
  int status = 0;
  // The index sets that scatter at this diffraction vector: h itself, and
  // for propagation vectors every other first-order satellite h' + m'k with
  // the same h + m.k (m' = +-e_n'), summed coherently.
  thread_local std::vector<std::array<int, 6>> sets;
  sets.clear();
  {
    std::array<int, 6> h0{};
    std::copy(h, h + nd, h0.begin());
    sets.push_back(h0);
  }
  if (mp.NK > 0) {
    double kv[3] = {static_cast<double>(h[0]), static_cast<double>(h[1]), static_cast<double>(h[2])};
    bool sat = false;
    for (int n = 0; n < d; ++n) {
      sat = sat || h[3 + n] != 0;
      for (int c = 0; c < 3; ++c) kv[c] += h[3 + n] * mp.Q[static_cast<size_t>(n)][static_cast<size_t>(c)];
    }
    for (int n = 0; n < d && sat; ++n)
      for (int sg : {1, -1}) {
        std::array<int, 6> o{};
        o[static_cast<size_t>(3 + n)] = sg;
        bool whole = true;
        for (int c = 0; c < 3 && whole; ++c) {
          const double v = kv[c] - sg * mp.Q[static_cast<size_t>(n)][static_cast<size_t>(c)];
          o[static_cast<size_t>(c)] = static_cast<int>(std::lround(v));
          whole = std::abs(v - std::round(v)) < 1e-6;
        }
        if (whole && std::find(sets.begin(), sets.end(), o) == sets.end()) sets.push_back(o);
      }
  }
  const bool der = dI != nullptr;
  const size_t nAt = mp.Atoms.size(), nSet = sets.size();
  // Per index set and atom: the operator sum S = sum_op T e RMag M~(m'), and
  // for the derivatives sum_op h'_j T e RMag M~, sum_op q_k T e RMag M~, and
  // the 3 x 3 sums of T e RMag weighted by the Fourier factor of the mean
  // moment and of the sine and cosine amplitudes of each wave.
  struct Sums {
    CVec S{};
    std::array<CVec, 3> X{};
    std::array<CVec, 6> Bq{};
    std::array<cplx, 9> SM{};
    std::vector<std::array<cplx, 9>> SW;  // per wave: sine, cosine
    double K = 0.;                        // p f_m
  };
  thread_local std::vector<Sums> sums;
  thread_local std::vector<cplx> gcs;
  sums.assign(nAt * nSet, Sums{});
  gcs.assign(nSet, 0.);
  CVec F{};
  const std::array<double, 9>& rc = mp.Mag.RecCart;
  const std::array<double, 9>& ax = mp.Mag.AxCart;
  const cplx halfI(0., 0.5);
  for (size_t is = 0; is < nSet; ++is) {
    const int* hs = sets[is].data();
    // Centring factor: sum over the centring vectors of exp(2 pi i H.c).
    cplx gc = 0.;
    for (const auto& c : mp.Centr) {
      double ph = 0.;
      for (int k = 0; k < nd; ++k) ph += hs[k] * c[static_cast<size_t>(k)];
      gc += std::polar(1., kTwoPi * ph);
    }
    gcs[is] = gc;
    for (size_t ia = 0; ia < nAt; ++ia) {
      const CalcMagAtom& a = mp.Atoms[ia];
      Sums& su = sums[is * nAt + ia];
      su.K = kMagAmpFm * MagFormFactor(mp.FormM[static_cast<size_t>(a.Type)], sthl);
      const int nw = static_cast<int>(a.Wave.size()) / 6;
      if (der) su.SW.assign(static_cast<size_t>(2 * nw), std::array<cplx, 9>{});
      const std::array<double, 3> m0 = MagMomentCart(mp.Mag, a.MVal.data(), a.Repr, nullptr);
      double emax = -1.e300;
      for (size_t o = 0; o < mp.R.size(); ++o) {
        const auto& r = mp.R[o];
        const auto& t = mp.T[o];
        // H' = H R: h' (3) and m' (d); k' = h' + m'.q the diffraction vector of the copy.
        double hp[6] = {};
        for (int j = 0; j < nd; ++j)
          for (int i = 0; i < nd; ++i) hp[j] += hs[i] * r[static_cast<size_t>(nd * i + j)];
        int mq[3] = {};
        double k[3] = {hp[0], hp[1], hp[2]};
        for (int j = 0; j < d; ++j) {
          mq[j] = static_cast<int>(std::lround(hp[3 + j]));
          for (int c = 0; c < 3; ++c)
            k[c] += mq[j] * mp.Q[static_cast<size_t>(j)][static_cast<size_t>(c)];
        }
        // Fourier coefficient of M(xb4) at m': the mean moment for m' = 0, and
        // S_n (i/2) (d(m' = k_n) - d(m' = -k_n)) + C_n (1/2) (d(m' = k_n) + d(m' = -k_n)).
        bool zero = true;
        for (int j = 0; j < d; ++j) zero = zero && mq[j] == 0;
        CVec mc{};
        if (zero)
          for (int i = 0; i < 3; ++i) mc[static_cast<size_t>(i)] = m0[static_cast<size_t>(i)];
        std::array<std::array<cplx, 2>, 8> fwBuf{};
        std::vector<std::array<cplx, 2>> fwVec;
        std::array<cplx, 2>* fw = fwBuf.data();
        if (nw > 8) fwVec.resize(static_cast<size_t>(nw)), fw = fwVec.data();
        for (int n = 0; n < nw; ++n) {
          const std::array<int, 3> kn = ModWaveVector(n, d, &mp.Waves);
          bool plus = true, minus = true;
          for (int j = 0; j < d; ++j) {
            plus = plus && mq[j] == kn[static_cast<size_t>(j)];
            minus = minus && mq[j] == -kn[static_cast<size_t>(j)];
          }
          const double sp = plus ? 1. : 0., sm = minus ? 1. : 0.;
          fw[n] = {halfI * (sp - sm), cplx(0.5 * (sp + sm), 0.)};
          if (!plus && !minus) continue;
          const double* amp = a.Wave.data() + 6 * n;
          for (int i = 0; i < 3; ++i)
            for (int l = 0; l < 3; ++l)
              mc[static_cast<size_t>(i)] +=
                  ax[static_cast<size_t>(3 * i + l)] * (fw[n][0] * amp[l] + fw[n][1] * amp[3 + l]);
        }
        const double q[6] = {k[0] * k[0],      k[1] * k[1],      k[2] * k[2],
                             2. * k[0] * k[1], 2. * k[0] * k[2], 2. * k[1] * k[2]};
        double e = 0.;
        for (int j = 0; j < 6; ++j) e -= q[j] * a.B[static_cast<size_t>(j)];
        emax = std::max(emax, e);
        int st = 0;
        const double tf = ExpTarn(std::min(e, kExpTarnLimit - 1.), st);
        double ph = hp[0] * a.X[0] + hp[1] * a.X[1] + hp[2] * a.X[2];
        for (int i = 0; i < nd; ++i) ph += hs[i] * t[static_cast<size_t>(i)];
        const cplx z = tf * std::polar(1., kTwoPi * ph);
        const auto& rm = mp.Mag.RMagCart[o];
        CVec v{};
        for (int i = 0; i < 3; ++i)
          v[static_cast<size_t>(i)] = z * (rm[static_cast<size_t>(3 * i)] * mc[0] +
                                           rm[static_cast<size_t>(3 * i + 1)] * mc[1] +
                                           rm[static_cast<size_t>(3 * i + 2)] * mc[2]);
        for (int i = 0; i < 3; ++i) su.S[static_cast<size_t>(i)] += v[static_cast<size_t>(i)];
        if (!der) continue;
        for (int j = 0; j < 3; ++j)
          for (int i = 0; i < 3; ++i)
            su.X[static_cast<size_t>(j)][static_cast<size_t>(i)] += hp[j] * v[static_cast<size_t>(i)];
        for (int j = 0; j < 6; ++j)
          for (int i = 0; i < 3; ++i)
            su.Bq[static_cast<size_t>(j)][static_cast<size_t>(i)] += q[j] * v[static_cast<size_t>(i)];
        if (zero)
          for (int i = 0; i < 9; ++i) su.SM[static_cast<size_t>(i)] += z * rm[static_cast<size_t>(i)];
        for (int n = 0; n < nw; ++n)
          for (int c = 0; c < 2; ++c) {
            const cplx f = fw[n][static_cast<size_t>(c)];
            if (f == 0.) continue;
            auto& sw = su.SW[static_cast<size_t>(2 * n + c)];
            for (int i = 0; i < 9; ++i) sw[static_cast<size_t>(i)] += f * z * rm[static_cast<size_t>(i)];
          }
      }
      if (emax >= kExpTarnLimit) {
        if (!status) badAtom = a.Name;
        status = 1;
      }
      const cplx f = gc * su.K * a.Occ;
      for (int i = 0; i < 3; ++i) F[static_cast<size_t>(i)] += f * su.S[static_cast<size_t>(i)];
    }
  }
  std::array<double, 3> hc{};
  for (int j = 0; j < 3; ++j) {
    double kj = 0.;
    for (int i = 0; i < 3; ++i) {
      double hi = h[i];
      for (int l = 0; l < d; ++l)
        hi += h[3 + l] * mp.Q[static_cast<size_t>(l)][static_cast<size_t>(i)];
      kj += hi * rc[static_cast<size_t>(3 * i + j)];
    }
    hc[static_cast<size_t>(j)] = kj;
  }
  double dRe[3], dIm[3];
  iMag = MagPerpIntensity(F, hc, der ? dRe : nullptr, der ? dIm : nullptr);
  if (!der) return status;
  // dI/dp = sum_i dRe_i Re(dF_i/dp) + dIm_i Im(dF_i/dp) = Re(sum_i conj(c_i) dF_i/dp), c = dRe + i
  // dIm.
  cplx c[3];
  for (int i = 0; i < 3; ++i) c[i] = w * cplx(dRe[i], -dIm[i]);
  auto proj = [&](const CVec& g) { return (c[0] * g[0] + c[1] * g[1] + c[2] * g[2]).real(); };
  auto scaled = [](const CVec& g, cplx s) {
    CVec r{};
    for (int i = 0; i < 3; ++i) r[static_cast<size_t>(i)] = s * g[static_cast<size_t>(i)];
    return r;
  };
  // M (3 x 3, row-major) times column k of a 3 x 3 real matrix j (row-major).
  auto column = [](const std::array<cplx, 9>& mm, const double* jm, int k) {
    CVec g{};
    for (int i = 0; i < 3; ++i)
      for (int l = 0; l < 3; ++l)
        g[static_cast<size_t>(i)] += mm[static_cast<size_t>(3 * i + l)] * jm[3 * l + k];
    return g;
  };
  for (size_t is = 0; is < nSet; ++is)
    for (size_t ia = 0; ia < nAt; ++ia) {
      const CalcMagAtom& a = mp.Atoms[ia];
      const Sums& su = sums[is * nAt + ia];
      const cplx f = gcs[is] * su.K;  // per unit occupancy
      double* dd = dI + a.ParBase;
      dd[a.Lay.Off[BlkOcc]] += proj(scaled(su.S, f));
      // dF/dx_j = 2 pi i h'_j F; dF/dbeta_k = -q_k F.
      for (int j = 0; j < 3; ++j)
        dd[a.Lay.Off[BlkPos] + j] +=
            proj(scaled(su.X[static_cast<size_t>(j)], f * a.Occ * cplx(0., kTwoPi)));
      double db[6];
      for (int j = 0; j < 6; ++j) db[j] = proj(scaled(su.Bq[static_cast<size_t>(j)], -f * a.Occ));
      if (a.Iso) {
        const auto& g = mp.MetI;
        const double u = 2. * kPi * kPi;
        dd[a.Lay.Off[BlkAdp]] += u * (db[0] * g[0] + db[1] * g[4] + db[2] * g[8] + db[3] * g[1] +
                                      db[4] * g[2] + db[5] * g[5]);
      } else {
        for (int j = 0; j < 6; ++j) dd[a.Lay.Off[BlkAdp] + j] += db[j];
      }
      // Mean moment: dF/dvalue_k = f ai SM dMcart/dvalue_k; wave amplitudes
      // (components along the axes): f ai SW AxCart e_k.
      double jac[9];
      (void)MagMomentCart(mp.Mag, a.MVal.data(), a.Repr, jac);
      for (int k = 0; k < 3; ++k)
        dd[a.Lay.Off[BlkMag] + k] += proj(scaled(column(su.SM, jac, k), f * a.Occ));
      for (size_t n2 = 0; n2 < su.SW.size(); ++n2)
        for (int k = 0; k < 3; ++k)
          dd[a.Lay.Off[BlkMagWave] + 3 * static_cast<int>(n2) + k] +=
              proj(scaled(column(su.SW[n2], ax.data(), k), f * a.Occ));
    }
  return status;
}

}  // namespace tarn
