// Powder peak shapes, their widths, asymmetry corrections and derivatives;
// preferred orientation, roughness, absorption and background.
#include "powder/profile.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "util/numbers.hpp"

namespace tarn {

namespace {

constexpr double kLn2 = std::numbers::ln2;
constexpr double kCG = 0.9394372787;   // 2 sqrt(ln2 / pi): Gaussian of unit FWHM at 0
constexpr double kML = 1.6568542495;   // 4 (sqrt 2 - 1)
constexpr double kCM = 0.8194489815;   // 2 sqrt(sqrt 2 - 1) / pi
constexpr double kHMin = 1e-9;         // smallest FWHM evaluated
// Node counts of the divergence correction.
constexpr std::array<int, 14> kFcjCounts = {3, 5, 10, 20, 30, 40, 50, 75, 100, 150, 200, 300, 400, 500};

// The three normalised shapes of FWHM h: value, d/dx, d/dh.
struct Shape3 {
  double V, Dx, Dh;
};
Shape3 Gauss(double x, double h) {
  const double a = 4. * kLn2 / (h * h);
  const double v = kCG / h * std::exp(-a * x * x);
  return {v, -2. * a * x * v, v * (-1. / h + 2. * a * x * x / h)};
}
Shape3 Lorentz(double x, double h) {
  const double d = x * x + 0.25 * h * h;
  const double v = h / (2. * kPi) / d;
  return {v, -h / kPi * x / (d * d), (x * x - 0.25 * h * h) / (2. * kPi * d * d)};
}
Shape3 ModLorentz(double x, double h) {
  const double u = 1. + kML * x * x / (h * h);
  const double v = kCM / (h * u * u);
  return {v, -4. * kCM * kML * x / (h * h * h * u * u * u),
          -kCM / (h * h * u * u) + 4. * kCM * kML * x * x / (h * h * h * h * u * u * u)};
}

// Widths and mixing of the symmetric profile, as kept with a peak.
struct Mix {
  int Shape;
  double H, Eta, dHdHG, dHdHL, dEtadHG, dEtadHL;
};

Mix MixOf(int shape, double hg, double hl) {
  Mix m{shape, 0., 0., 0., 0., 0., 0.};
  switch (shape) {
    case PwdGauss:
      m.H = hg, m.dHdHG = 1.;
      break;
    case PwdLorentz:
    case PwdModLorentz:
      m.H = hl, m.Eta = 1., m.dHdHL = 1.;
      break;
    default: {
      const PwdTch t = PwdTchMix(hg, hl);
      m.H = t.H, m.Eta = t.Eta, m.dHdHG = t.dHdHG, m.dHdHL = t.dHdHL;
      m.dEtadHG = t.dEtadHG, m.dEtadHL = t.dEtadHL;
    }
  }
  m.H = std::max(m.H, kHMin);
  return m;
}

PwdSymValue SymAt(const Mix& m, double x) {
  const Shape3 g = m.Eta < 1. ? Gauss(x, m.H) : Shape3{0., 0., 0.};
  const Shape3 l = m.Eta <= 0. ? Shape3{0., 0., 0.}
                   : m.Shape == PwdModLorentz ? ModLorentz(x, m.H)
                                              : Lorentz(x, m.H);
  const double e = m.Eta;
  const double dh = e * l.Dh + (1. - e) * g.Dh;
  return {e * l.V + (1. - e) * g.V, e * l.Dx + (1. - e) * g.Dx,
          (l.V - g.V) * m.dEtadHG + dh * m.dHdHG, (l.V - g.V) * m.dEtadHL + dh * m.dHdHL};
}

Mix MixOf(const PwdPeak& pk) {
  return {pk.Prof->ProfFun, std::max(pk.H, kHMin), pk.Eta, pk.dHdHG, pk.dHdHL, pk.dEtadHG, pk.dEtadHL};
}

void Add(PwdProfValue& out, const PwdSymValue& s, double w) {
  out.Value += w * s.Value;
  out.dDelta += w * s.dX;
  out.dHG += w * s.dHG;
  out.dHL += w * s.dHL;
}

// exp(z) E1(z) for complex z (E1 the exponential integral): continued
// fraction away from the negative real axis, asymptotic series for large |z|,
// power series otherwise.
std::complex<double> ExpE1(std::complex<double> z) {
  using C = std::complex<double>;
  const double az = std::abs(z);
  if (az >= 2. && (z.real() >= 0. || std::abs(z.imag()) > 1.)) {
    // Modified Lentz: E1(z) e^z = 1/(z+1- 1/(z+3- 4/(z+5- ...)))
    const double tiny = 1e-300;
    C b = z + 1., c = 1. / tiny, d = 1. / b, h = d;
    for (int i = 1; i < 2000; ++i) {
      const double an = -static_cast<double>(i) * i;
      b += 2.;
      d = 1. / (an * d + b);
      c = b + an / c;
      const C del = c * d;
      h *= del;
      if (std::abs(del - 1.) < 1e-15) break;
    }
    return h;
  }
  if (az > 30.) {
    C s = 1., t = 1.;
    for (int k = 1; k < 30; ++k) {
      const C tn = -t * static_cast<double>(k) / z;
      if (std::abs(tn) > std::abs(t)) break;
      t = tn;
      s += t;
    }
    return s / z;
  }
  C sum = 0., term = 1.;
  for (int k = 1; k < 300; ++k) {
    term *= -z / static_cast<double>(k);
    const C add = term / static_cast<double>(k);
    sum += add;
    if (std::abs(add) < 1e-17 * std::abs(sum)) break;
  }
  const C e1 = -std::numbers::egamma - std::log(z) - sum;
  return std::exp(z) * e1;
}

// exp(u) erfc(y) without overflow, with u - y**2 given separately.
double ExpErfc(double u, double y, double umy2) {
  if (y < 0.) return std::exp(u) * std::erfc(y);
  double ex;  // erfcx(y) = exp(y**2) erfc(y)
  if (y < 25.)
    ex = std::exp(y * y) * std::erfc(y);
  else {
    const double r = 1. / (y * y);
    ex = (1. - 0.5 * r + 0.75 * r * r) / (y * std::sqrt(kPi));
  }
  return std::exp(umy2) * ex;
}

// S/L and H/L of the divergence correction from the first two parameters.
void FcjRatios(const PwdProfile& pr, const std::array<double, kPwdMaxAsym>& p, double& sl,
               double& hl) {
  if (pr.UseHS)
    sl = p[0], hl = p[1];
  else
    sl = 0.5 * (p[0] + p[1]), hl = 0.5 * (p[0] - p[1]);
  sl = std::abs(sl), hl = std::abs(hl);
}

// h/L = sqrt(cos**2 2phi / cos**2 2theta - 1) of the ray at 2phi (degrees),
// the difference of the cosines taken as a product of sines so that it keeps
// its precision next to 2theta.
double FcjHeight(double phi2, double tth, double c, double c2) {
  const double dc = -2. * std::sin(0.5 * (phi2 + tth) * kDeg) * std::sin(0.5 * (phi2 - tth) * kDeg);
  return std::sqrt(std::max(dc * (c + c2) / (c2 * c2), 1e-300));
}

// Finger-Cox-Jephcoat: the nodes 2phi between 2phi_min and 2theta and their
// weights W(2phi) = (S/L + H/L - h/L) or 2 min(S/L, H/L) over (h/L |cos 2phi|),
// h/L = sqrt(cos**2 2phi / cos**2 2theta - 1), divided by their sum; the
// profile is then the weighted sum of symmetric profiles centred at the
// nodes. A single node at 2theta when there is no divergence.
void FcjTable(const PwdPeak& pk, double h, double sl, double hl, std::vector<double>& off,
              std::vector<double>& wt) {
  off.clear(), wt.clear();
  const double tth = pk.Pos, c2 = pk.Cos2Th;
  const double cmin = std::clamp(c2 * std::sqrt(1. + (sl + hl) * (sl + hl)), -1., 1.);
  const double lo = std::acos(cmin) / kDeg;
  if (std::abs(tth - lo) >= 1e-7 && std::abs(c2) >= 1e-12) {
    const double cinf = std::clamp(c2 * std::sqrt(1. + (hl - sl) * (hl - sl)), -1., 1.);
    const double infl = std::abs(std::acos(cinf) / kDeg - tth);
    const int n = PwdFcjPoints(std::abs(tth - lo) * 100., h * 100.);
    const auto& gl = PwdGaussLegendre(n);
    const double mid = 0.5 * (lo + tth), half = 0.5 * (tth - lo);
    const double wmin = 2. * std::min(sl, hl);
    double wsum = 0.;
    off.reserve(static_cast<size_t>(n)), wt.reserve(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) {
      const double phi2 = mid + half * gl.first[static_cast<size_t>(k)];
      const double c = std::cos(phi2 * kDeg);
      const double hh = FcjHeight(phi2, tth, c, c2);
      const double wf = std::abs(phi2 - tth) > infl ? sl + hl - hh : wmin;
      const double w = gl.second[static_cast<size_t>(k)] * std::max(wf, 0.) / (hh * std::abs(c));
      if (w <= 0.) continue;
      wsum += w;
      off.push_back(phi2 - tth), wt.push_back(w);
    }
    if (wsum > 0.) {
      for (double& w : wt) w /= wsum;
      return;
    }
    off.clear(), wt.clear();
  }
  off.push_back(0.), wt.push_back(1.);
}

// The profile of a node table: sum_k w_k P(delta - off_k).
PwdProfValue FcjEval(const Mix& m, double delta, const std::vector<double>& off,
                     const std::vector<double>& wt) {
  PwdProfValue out;
  for (size_t k = 0; k < off.size(); ++k) Add(out, SymAt(m, delta - off[k]), wt[k]);
  return out;
}

// The Hermite functions of the Berar-Baldinozzi correction, H1, H3, H5 times
// exp(-z**2), and their derivatives.
void BerarF(double z, double f[3], double df[3]) {
  const double e = std::exp(-z * z), z2 = z * z;
  f[0] = 2. * z * e;
  f[1] = (8. * z2 - 12.) * z * e;
  f[2] = ((32. * z2 - 160.) * z2 + 120.) * z * e;
  df[0] = (2. - 4. * z2) * e;
  df[1] = ((-16. * z2 + 48.) * z2 - 12.) * e;
  df[2] = (((-64. * z2 + 480.) * z2 - 720.) * z2 + 120.) * e;
}

// The symmetric (or split) profile at delta.
PwdSymValue SymOrSplit(const PwdPeak& pk, const Mix& m, double delta) {
  if (!pk.Prof->SplitProf || pk.Prof->Split == 0.) return SymAt(m, delta);
  // Split: the half on each side scaled by its own width, factor 2 h_side / (h_lo + h_hi) = 1 -+ s.
  const double s = pk.Prof->Split;
  const double f = delta < 0. ? 1. - s : 1. + s;
  Mix ms = m;
  ms.H = std::max(m.H * f, kHMin);
  ms.dHdHG *= f, ms.dHdHL *= f;
  PwdSymValue v = SymAt(ms, delta);
  v.Value *= f, v.dX *= f, v.dHG *= f, v.dHL *= f;
  return v;
}

PwdProfValue TofEval(const PwdPeak& pk, double delta, double alpha, double beta, double hg,
                     double hl) {
  PwdProfValue v;
  const int shape = pk.Prof->ProfFun;
  if (shape == PwdGauss)
    v.Value = ConvTOFWithGauss(delta, alpha, beta, hg * hg / (8. * kLn2));
  else if (shape == PwdLorentz || shape == PwdModLorentz)
    v.Value = ConvTOFWithLorentz(delta, alpha, beta, hl);
  else
    v.Value = pvoigttof(delta, alpha, beta, hg, hl);
  return v;
}

}  // namespace

PwdTch PwdTchMix(double hg, double hl) {
  PwdTch t;
  hg = std::max(hg, 0.), hl = std::max(hl, 0.);
  const double g2 = hg * hg, g3 = g2 * hg, g4 = g3 * hg, l2 = hl * hl, l3 = l2 * hl, l4 = l3 * hl;
  const double s = g4 * hg + 2.69269 * g4 * hl + 2.42843 * g3 * l2 + 4.47163 * g2 * l3 +
                   0.07842 * hg * l4 + l4 * hl;
  if (s <= 0.) return t;
  t.H = std::pow(s, 0.2);
  const double dsg = 5. * g4 + 4. * 2.69269 * g3 * hl + 3. * 2.42843 * g2 * l2 +
                     2. * 4.47163 * hg * l3 + 0.07842 * l4;
  const double dsl = 2.69269 * g4 + 2. * 2.42843 * g3 * hl + 3. * 4.47163 * g2 * l2 +
                     4. * 0.07842 * hg * l3 + 5. * l4;
  t.dHdHG = 0.2 * t.H / s * dsg;
  t.dHdHL = 0.2 * t.H / s * dsl;
  const double q = hl / t.H;
  t.Eta = std::clamp(q * (1.36603 + q * (-0.47719 + q * 0.11116)), 0., 1.);
  const double deq = 1.36603 + q * (-2. * 0.47719 + q * 3. * 0.11116);
  t.dEtadHG = deq * (-hl / (t.H * t.H) * t.dHdHG);
  t.dEtadHL = deq * (1. / t.H - hl / (t.H * t.H) * t.dHdHL);
  return t;
}

PwdSymValue PVoigt(double x, double hg, double hl, int shape) {
  return SymAt(MixOf(shape, hg, hl), x);
}

double PSplitVoigt(double x, double hg, double hl, double s) {
  const Mix m = MixOf(PwdPseudoVoigt, hg, hl);
  const double f = x < 0. ? 1. - s : 1. + s;
  Mix ms = m;
  ms.H = std::max(m.H * f, kHMin);
  return f * SymAt(ms, x).Value;
}

double ConvTOFWithGauss(double dt, double alpha, double beta, double sig2) {
  sig2 = std::max(std::abs(sig2), 1e-12);
  const double n = alpha * beta / (2. * (alpha + beta));
  const double rs = 1. / std::sqrt(2. * sig2);
  const double u = 0.5 * alpha * (alpha * sig2 + 2. * dt);
  const double v = 0.5 * beta * (beta * sig2 - 2. * dt);
  const double y = (alpha * sig2 + dt) * rs, z = (beta * sig2 - dt) * rs;
  const double g = -dt * dt / (2. * sig2);  // u - y**2 = v - z**2
  return n * (ExpErfc(u, y, g) + ExpErfc(v, z, g));
}

double ConvTOFWithLorentz(double dt, double alpha, double beta, double gamma) {
  const double g = 0.5 * std::max(gamma, kHMin);
  const std::complex<double> p(alpha * dt, alpha * g), q(-beta * dt, beta * g);
  const double n = alpha * beta / (kPi * (alpha + beta));
  return -n * (ExpE1(p).imag() + ExpE1(q).imag());
}

double pvoigttof(double dt, double alpha, double beta, double hg, double hl) {
  const PwdTch t = PwdTchMix(hg, hl);
  const double h = std::max(t.H, kHMin);
  double v = 0.;
  if (t.Eta < 1.) v += (1. - t.Eta) * ConvTOFWithGauss(dt, alpha, beta, h * h / (8. * kLn2));
  if (t.Eta > 0.) v += t.Eta * ConvTOFWithLorentz(dt, alpha, beta, h);
  return v;
}

const std::pair<std::vector<double>, std::vector<double>>& PwdGaussLegendre(int n) {
  using Table = std::pair<std::vector<double>, std::vector<double>>;
  static const std::array<Table, kFcjCounts.size()> tables = [] {
    std::array<Table, kFcjCounts.size()> t;
    for (size_t c = 0; c < kFcjCounts.size(); ++c) {
      const int m = kFcjCounts[c];
      auto& [x, w] = t[c];
      x.resize(static_cast<size_t>(m));
      w.resize(static_cast<size_t>(m));
      for (int i = 0; i < (m + 1) / 2; ++i) {
        // Newton on P_m from the Tricomi estimate of the i-th root.
        double z = std::cos(kPi * (i + 0.75) / (m + 0.5)), dp = 1.;
        for (int it = 0; it < 100; ++it) {
          double p0 = 1., p1 = z;
          for (int j = 2; j <= m; ++j) {
            const double p2 = ((2. * j - 1.) * z * p1 - (j - 1.) * p0) / j;
            p0 = p1, p1 = p2;
          }
          dp = m * (z * p1 - p0) / (z * z - 1.);
          const double dz = p1 / dp;
          z -= dz;
          if (std::abs(dz) < 1e-15) break;
        }
        const double wi = 2. / ((1. - z * z) * dp * dp);
        x[static_cast<size_t>(i)] = -z, x[static_cast<size_t>(m - 1 - i)] = z;
        w[static_cast<size_t>(i)] = wi, w[static_cast<size_t>(m - 1 - i)] = wi;
      }
    }
    return t;
  }();
  for (size_t c = 0; c < kFcjCounts.size(); ++c)
    if (kFcjCounts[c] >= n) return tables[c];
  return tables.back();
}

int PwdFcjPoints(double d, double h) {
  double nn = std::max(10., 4. * d);
  if (h > 0.) nn = std::max(nn, 0.2 * d / h);
  const long n = std::lround(nn);
  for (int c : kFcjCounts)
    if (c > n) return c;
  return kFcjCounts.back();
}

void SetProfFun(PwdPeak& pk, const PwdProfile& prof, double pos, double d, double a, double b,
                double xadd, double yadd, double dtdd) {
  (void)PwdGaussLegendre(3);  // the node tables exist before Prfl runs
  // Start afresh, keeping the node tables' storage.
  auto off = std::move(pk.FcjOff);
  auto wt = std::move(pk.FcjW);
  pk = PwdPeak{};
  pk.FcjOff = std::move(off), pk.FcjW = std::move(wt);
  for (int k = 0; k < 3; ++k) pk.FcjOff[static_cast<size_t>(k)].clear(), pk.FcjW[static_cast<size_t>(k)].clear();
  pk.Prof = &prof;
  pk.Pos = pos;
  pk.dWidth.fill(0.);
  if (prof.Tof) {
    const double d2 = d * d;
    pk.Alpha = prof.Alpha0 + (d > 0. ? prof.Alpha1 / d : 0.);
    pk.Beta = prof.Beta0 + (d > 0. ? prof.Beta1 / (d2 * d2) + prof.BetaQ / d2 : 0.);
    pk.Sigma2 = prof.Sig0 + prof.Sig1 * d2 + prof.Sig2 * d2 * d2 + (d > 0. ? prof.SigQ / d2 : 0.);
    const double sg = std::sqrt(std::max(std::abs(pk.Sigma2), 1e-12));
    pk.HG = kPwdFwhmG * sg;
    // Anisotropic broadening: the centidegree terms as relative widths in d
    // (see the declaration), mapped to time through dt/dd.
    const double tk = (dtdd > 0. ? dtdd : (d > 0. ? pos / d : 0.)) * kPi / 18000.;
    pk.dHLdXAdd = tk * d2, pk.dHLdYAdd = 0.5 * tk * d;
    pk.HL = std::max(prof.Gam0 + prof.Gam1 * d + prof.Gam2 * d2 + pk.dHLdXAdd * xadd + pk.dHLdYAdd * yadd, 0.);
    const double f = kPwdFwhmG * 0.5 / sg * (pk.Sigma2 < 0. ? -1. : 1.);
    pk.dWidth = {f, f * d2, f * d2 * d2, d > 0. ? f / d2 : 0., 1., d, d2, 0.};
  } else {
    pk.Th = 0.5 * pos * kDeg;
    pk.CosTh = std::cos(pk.Th), pk.SinTh = std::sin(pk.Th), pk.TanTh = pk.SinTh / pk.CosTh;
    pk.Tan2Th = pk.TanTh * pk.TanTh;
    pk.Sin2Th = std::sin(2. * pk.Th), pk.Cos2Th = std::cos(2. * pk.Th);
    pk.Cot2Th = std::abs(2. * pk.Th - 0.5 * kPi) < 0.001 ? 0. : pk.Cos2Th / pk.Sin2Th;
    const double wf = prof.WaveFactor, ic2 = 1. / (pk.CosTh * pk.CosTh);
    pk.Sigma2 = wf * (prof.GU * pk.Tan2Th + prof.GV * pk.TanTh + prof.GW + prof.GP * ic2);
    const double sg = std::sqrt(std::max(std::abs(pk.Sigma2), 1e-12));
    pk.HG = kPwdFwhmG * sg / 100.;
    const double f = kPwdFwhmG / 100. * 0.5 / sg * (pk.Sigma2 < 0. ? -1. : 1.) * wf;
    pk.dWidth[PwdU] = f * pk.Tan2Th, pk.dWidth[PwdV] = f * pk.TanTh;
    pk.dWidth[PwdW] = f, pk.dWidth[PwdP] = f * ic2;
    const double t[4] = {(prof.LX + xadd) / pk.CosTh, prof.LXe * a / pk.CosTh, (prof.LY + yadd) * pk.TanTh,
                         prof.LYe * b * pk.TanTh};
    const double dt[4] = {1. / pk.CosTh, a / pk.CosTh, pk.TanTh, b * pk.TanTh};
    if (prof.ProfFun == PwdModLorentz) {
      const double hl = std::sqrt(t[0] * t[0] + t[1] * t[1] + t[2] * t[2] + t[3] * t[3]);
      pk.HL = hl / 100.;
      for (int k = 0; k < 4; ++k) pk.dWidth[PwdX + k] = hl > 0. ? t[k] * dt[k] / hl / 100. : 0.;
    } else {
      pk.HL = (t[0] + t[1] + t[2] + t[3]) / 100.;
      for (int k = 0; k < 4; ++k) pk.dWidth[PwdX + k] = dt[k] / 100.;
    }
    pk.dHLdXAdd = pk.dWidth[PwdX], pk.dHLdYAdd = pk.dWidth[PwdY];
  }
  const Mix m = MixOf(prof.ProfFun, pk.HG, pk.HL);
  pk.H = m.H, pk.Eta = m.Eta, pk.dHdHG = m.dHdHG, pk.dHdHL = m.dHdHL;
  pk.dEtadHG = m.dEtadHG, pk.dEtadHL = m.dEtadHL;
  if (!prof.Tof && prof.Asymm == PwdAsymFundamental) {
    if (prof.FaGeomStep > 0.) {
      PwdAxialDiv(pk.FaTable, prof.FaGeom, pos, prof.FaGeomStep);
      pk.FaStep = prof.FaGeomStep;
    } else {
      pk.FaTable = prof.FaTable, pk.FaStep = prof.FaStep;
    }
  }
  if (!prof.Tof && prof.Asymm == PwdAsymDivergence) {
    double sl, hl;
    FcjRatios(prof, prof.Asym, sl, hl);
    FcjTable(pk, pk.H, sl, hl, pk.FcjOff[0], pk.FcjW[0]);
    for (int k = 0; k < 2 && prof.DerivAsym; ++k) {
      std::array<double, kPwdMaxAsym> p = prof.Asym;
      const size_t kk = static_cast<size_t>(k);
      pk.FcjStep[kk] = std::abs(p[kk]) > 1e-12 ? 0.1 * p[kk] : 1e-6;
      p[kk] += pk.FcjStep[kk];
      FcjRatios(prof, p, sl, hl);
      FcjTable(pk, pk.H, sl, hl, pk.FcjOff[kk + 1], pk.FcjW[kk + 1]);
    }
  }
  if (!prof.Tof && prof.Asymm == PwdAsymHoward) {
    pk.HowardA1 = pk.Cot2Th / 100.;  // parameter in centidegrees, shift in degrees
    const double aa = std::abs(pk.HowardA1 * prof.Asym[0]);
    pk.HowardM = std::max(1, static_cast<int>(std::lround(aa / std::max(pk.HG + pk.HL, kHMin) * 2.5)));
  }
}

PwdProfValue Prfl(const PwdPeak& pk, double delta, bool derivs) {
  const PwdProfile& pr = *pk.Prof;
  PwdProfValue out;
  if (pr.Tof) {
    out = TofEval(pk, delta, pk.Alpha, pk.Beta, pk.HG, pk.HL);
    if (!derivs) return out;
    // Numerical: central in delta, the 1.1 p rule for the widths and exponents.
    const double hd = 1e-4 * std::max(pk.H, 1e-6);
    out.dDelta = (TofEval(pk, delta + hd, pk.Alpha, pk.Beta, pk.HG, pk.HL).Value -
                  TofEval(pk, delta - hd, pk.Alpha, pk.Beta, pk.HG, pk.HL).Value) / (2. * hd);
    auto rule = [&](double p, auto&& eval) {
      const double dp = std::abs(p) > 1e-12 ? 0.1 * p : 1e-6;
      return (eval(p + dp) - out.Value) / dp;
    };
    out.dHG = rule(pk.HG, [&](double p) { return TofEval(pk, delta, pk.Alpha, pk.Beta, p, pk.HL).Value; });
    out.dHL = rule(pk.HL, [&](double p) { return TofEval(pk, delta, pk.Alpha, pk.Beta, pk.HG, p).Value; });
    out.dAsym[0] = rule(pk.Alpha, [&](double p) { return TofEval(pk, delta, p, pk.Beta, pk.HG, pk.HL).Value; });
    out.dAsym[1] = rule(pk.Beta, [&](double p) { return TofEval(pk, delta, pk.Alpha, p, pk.HG, pk.HL).Value; });
    return out;
  }
  const Mix m = MixOf(pk);
  switch (pr.Asymm) {
    case PwdAsymHoward: {
      const double a = pk.HowardA1 * pr.Asym[0];
      const int m2 = 2 * pk.HowardM;
      const double r = 1. / (6. * pk.HowardM);
      for (int k = 0; k <= m2; ++k) {
        const double z2 = static_cast<double>(k * k) / (static_cast<double>(m2) * m2);
        const double w = (k == 0 || k == m2 ? 1. : (k % 2 == 1 ? 4. : 2.)) * r;
        const PwdSymValue s = SymOrSplit(pk, m, delta + z2 * a);
        Add(out, s, w);
        out.dAsym[0] += w * s.dX * z2 * pk.HowardA1;
      }
      return out;
    }
    case PwdAsymBerar: {
      const PwdSymValue s = SymOrSplit(pk, m, delta);
      const double z = delta / m.H;
      double f[3], df[3];
      BerarF(z, f, df);
      const double cotth = pk.TanTh != 0. ? 1. / pk.TanTh : 0.;
      double c = 1., dc = 0.;
      for (int i = 0; i < std::min(pr.NAsym, kPwdMaxAsym); ++i) {
        const double t = (i % 2 == 0 ? cotth : pk.Cot2Th) * (i >= 4 ? 0.1 : 1.);
        c += pr.Asym[static_cast<size_t>(i)] * t * f[i / 2];
        dc += pr.Asym[static_cast<size_t>(i)] * t * df[i / 2];
        out.dAsym[static_cast<size_t>(i)] = s.Value * t * f[i / 2];
      }
      out.Value = s.Value * c;
      out.dDelta = s.dX * c + s.Value * dc / m.H;
      const double dz = -z / m.H * s.Value * dc;  // d/dH of the correction
      out.dHG = s.dHG * c + dz * m.dHdHG;
      out.dHL = s.dHL * c + dz * m.dHdHL;
      return out;
    }
    case PwdAsymDivergence: {
      out = FcjEval(m, delta, pk.FcjOff[0], pk.FcjW[0]);
      if (!derivs || !pr.DerivAsym) return out;
      for (size_t k = 0; k < 2; ++k)
        if (!pk.FcjOff[k + 1].empty())
          out.dAsym[k] = (FcjEval(m, delta, pk.FcjOff[k + 1], pk.FcjW[k + 1]).Value - out.Value) / pk.FcjStep[k];
      return out;
    }
    case PwdAsymFundamental: {
      if (pk.FaStep <= 0.) break;
      double wsum = 0.;
      for (int i = -kPwdFaHalf; i <= kPwdFaHalf; ++i) {
        const double w = pk.FaTable[static_cast<size_t>(i + kPwdFaHalf)];
        if (w <= 0.) continue;
        wsum += w;
        Add(out, SymOrSplit(pk, m, delta - i * pk.FaStep), w);
      }
      if (wsum > 0.) {
        const double r = 1. / wsum;
        out.Value *= r, out.dDelta *= r, out.dHG *= r, out.dHL *= r;
        return out;
      }
      break;
    }
    default:
      break;
  }
  Add(out, SymOrSplit(pk, m, delta), 1.);
  return out;
}

double PwdProfileHalfRange(const PwdPeak& pk, double cutoff) {
  const PwdProfile& pr = *pk.Prof;
  double r = cutoff * pk.H;
  if (pr.Tof) return r + 10. / std::max(std::min(pk.Alpha, pk.Beta), 1e-6);
  if (pr.SplitProf) r *= 1. + std::abs(pr.Split);
  if (pr.Asymm == PwdAsymHoward) r += std::abs(pk.HowardA1 * pr.Asym[0]);
  if (pr.Asymm == PwdAsymDivergence) {
    double sl, hl;
    FcjRatios(pr, pr.Asym, sl, hl);
    const double cmin = std::clamp(pk.Cos2Th * std::sqrt(1. + (sl + hl) * (sl + hl)), -1., 1.);
    r += std::abs(pk.Pos - std::acos(cmin) / kDeg);
  }
  if (pr.Asymm == PwdAsymFundamental) r += kPwdFaHalf * pk.FaStep;
  return r;
}

void PwdWidthDerivs(const PwdPeak& pk, const PwdProfValue& v, std::array<double, PwdNWidth>& out) {
  for (int k = 0; k < PwdNWidth; ++k)
    out[static_cast<size_t>(k)] = (k < PwdX ? v.dHG : v.dHL) * pk.dWidth[static_cast<size_t>(k)];
}

double PwdTriangleFunction(double x, double w) {
  if (w <= 0.) return 0.;
  const double ax = std::abs(x);
  return ax >= w ? 0. : (w - ax) / (w * w);
}

void PwdAxialDiv(PwdProfile& prof, const PwdFaGeometry& g, double tth, double s) {
  PwdAxialDiv(prof.FaTable, g, tth, s);
  prof.FaStep = s;
}

void PwdAxialDiv(std::array<double, 2 * kPwdFaHalf + 1>& table, const PwdFaGeometry& g, double tth, double s) {
  table.fill(0.);
  if (s <= 0.) return;
  // The instrument function on a fine grid of kSub samples per step, then
  // summed into the steps of the table.
  constexpr int kSub = 20;
  constexpr int kMid = kPwdFaHalf * kSub;
  const double h = s / kSub;
  std::vector<double> fine(2 * kMid + 1, 0.), work(2 * kMid + 1, 0.);
  // Axial divergence: the divergence-correction weight of the offset 2phi -
  // 2theta. The axial half heights relative to the secondary radius: of the
  // irradiated sample (no longer than the source seen through the primary
  // Soller slit) and of the receiving slit; the secondary Soller slit limits
  // their sum.
  const double rs = std::max(g.RadSec, 1e-6);
  double sample = g.SampleLength;
  if (g.SollerPrim > 0.)
    sample = std::min(sample, g.SourceLength + 2. * g.RadPrim * std::tan(g.SollerPrim * kDeg));
  double sl = 0.5 * sample / rs, hl = 0.5 * g.RecSlitLength / rs;
  const double lim = g.SollerSec > 0. ? std::tan(g.SollerSec * kDeg) : 1e9;
  if (sl + hl > lim) {
    const double f = lim / (sl + hl);
    sl *= f, hl *= f;
  }
  const double c2 = std::cos(tth * kDeg);
  const double cmin = std::clamp(c2 * std::sqrt(1. + (sl + hl) * (sl + hl)), -1., 1.);
  const double lo = std::acos(cmin) / kDeg;
  const double cinf = std::clamp(c2 * std::sqrt(1. + (hl - sl) * (hl - sl)), -1., 1.);
  const double infl = std::abs(std::acos(cinf) / kDeg - tth);
  const double span = std::abs(tth - lo);
  if (span < 1e-9 || std::abs(c2) < 1e-12 || sl <= 0. || hl <= 0.) {
    fine[kMid] = 1.;
  } else {
    for (int i = -kMid; i <= kMid; ++i) {
      const double off = i * h;  // offset of the diffracted ray from 2theta
      if (!(tth >= lo ? (off < 0. && -off < span) : (off > 0. && off < span))) continue;
      const double phi2 = tth + off, c = std::cos(phi2 * kDeg);
      const double hh = FcjHeight(phi2, tth, c, c2);
      const double w = (std::abs(off) > infl ? sl + hl - hh : 2. * std::min(sl, hl)) / (hh * std::abs(c));
      fine[static_cast<size_t>(i + kMid)] = std::max(w, 0.);
    }
  }
  // Folds fine with a kernel given at fine-grid offsets j0 .. j0 + n - 1.
  auto fold = [&](int j0, const std::vector<double>& ker) {
    std::fill(work.begin(), work.end(), 0.);
    for (int i = 0; i <= 2 * kMid; ++i) {
      const double v = fine[static_cast<size_t>(i)];
      if (v == 0.) continue;
      for (size_t k = 0; k < ker.size(); ++k) {
        const int t = i + j0 + static_cast<int>(k);
        if (t >= 0 && t <= 2 * kMid) work[static_cast<size_t>(t)] += v * ker[k];
      }
    }
    fine.swap(work);
  };
  // Receiving slit: a box of its angular width wb (fine steps), the cells at
  // its edges weighted by their overlap so that the table moves smoothly
  // with the width.
  const double wb = g.RecSlitWidth > 0. ? g.RecSlitWidth / rs / kDeg / h : 0.;
  if (wb > 1e-3) {
    const int nb = static_cast<int>(std::ceil(0.5 * wb - 0.5));
    std::vector<double> ker(static_cast<size_t>(2 * nb + 1));
    for (int k = -nb; k <= nb; ++k)
      ker[static_cast<size_t>(k + nb)] = std::max(0., std::min(k + 0.5, 0.5 * wb) - std::max(k - 0.5, -0.5 * wb)) / wb;
    fold(-nb, ker);
  }
  // Flat specimen: a divergence alpha (rad) spreads the line over
  // -alpha**2 cot(theta) / 2 .. 0 with the density 1/sqrt(|offset|). A fixed
  // slit opens alpha; a variable one keeps the illuminated length L, alpha =
  // L sin(theta) / R.
  const double th = 0.5 * tth * kDeg;
  const double alpha = g.DivSlit <= 0. ? 0. : g.FixedDivSlit ? g.DivSlit * kDeg : g.DivSlit * std::sin(th) / std::max(g.RadPrim, 1e-6);
  const double em = std::min(0.5 * alpha * alpha * std::cos(th) / std::max(std::sin(th), 1e-9) / kDeg, kMid * h);
  if (const int nm = static_cast<int>(std::ceil(em / h)); nm > 1) {
    std::vector<double> ker(static_cast<size_t>(nm));
    for (int j = 0; j < nm; ++j)  // ker[k] at offset -(nm - 1 - k) fine steps
      ker[static_cast<size_t>(nm - 1 - j)] = (std::sqrt(std::min((j + 1) * h, em)) - std::sqrt(j * h)) / std::sqrt(em);
    fold(-(nm - 1), ker);
  }
  for (int i = -kMid; i <= kMid; ++i) {
    const double v = fine[static_cast<size_t>(i + kMid)];
    if (v <= 0.) continue;
    const long bin = std::lround(static_cast<double>(i) / kSub);
    if (bin >= -kPwdFaHalf && bin <= kPwdFaHalf) table[static_cast<size_t>(bin + kPwdFaHalf)] += v;
  }
}

double SetPref(int type, double pref1, double pref2, const double* c, int n, double* d1,
               double* d2) {
  double p = 0., dp = 0.;
  if (type == 1 || type == 2) {
    for (int i = 0; i < n; ++i) {
      const double ci = std::clamp(c[i], -1., 1.);
      if (type == 1) {
        const double r = pref1, q = r * r * ci * ci + (1. - ci * ci) / r;
        const double v = std::pow(q, -1.5);
        p += v;
        dp += -1.5 * v / q * (2. * r * ci * ci - (1. - ci * ci) / (r * r));
      } else {
        const double al = ci >= 1. ? 0. : ci <= -1. ? kPi : std::acos(ci);
        const double v = std::exp(pref1 * al * al);
        p += v;
        dp += al * al * v;
      }
    }
    if (n > 0) p /= n, dp /= n;
  } else {
    p = 1.;
  }
  if (type != 1 && type != 2) {
    if (d1 != nullptr) *d1 = 0.;
    if (d2 != nullptr) *d2 = 0.;
    return 1.;
  }
  if (d1 != nullptr) *d1 = (1. - pref2) * dp;
  if (d2 != nullptr) *d2 = 1. - p;
  return pref2 + (1. - pref2) * p;
}

double PwdRougness(int type, double p, double q, double sinth, double* dp, double* dq) {
  double v = 1., vp = 0., vq = 0.;
  const double s = sinth > 0. ? 1. / sinth : 0.;
  if (type == 1) {
    const double num = 1. - p * (s - q * s * s), den = 1. - p + p * q;
    v = num / den;
    vp = (-(s - q * s * s) - v * (q - 1.)) / den;
    vq = (p * s * s - v * p) / den;
  } else if (type == 2) {
    const double e = std::exp(-q * s), f = std::exp(-q);
    const double num = p + (1. - p) * e, den = p + (1. - p) * f;
    v = num / den;
    vp = ((1. - e) - v * (1. - f)) / den;
    vq = (-(1. - p) * s * e + v * (1. - p) * f) / den;
  }
  if (dp != nullptr) *dp = vp;
  if (dq != nullptr) *dq = vq;
  return v;
}

double PwdAbsorption(int type, double mir, double th) {
  const double s2 = std::sin(th) * std::sin(th);
  switch (type) {
    case 1:  // cylinder, mu r below about 1 (exponential fit to the tabulated factors)
      return std::exp(-(1.7133 - 0.0368 * s2) * mir + (0.0927 + 0.375 * s2) * mir * mir);
    case 2:  // symmetrical transmission through a plate of thickness t
      return std::exp(-mir / std::cos(th));
    default:  // none, or symmetrical reflection from a thick sample
      return 1.;
  }
}

void PwdSetBackground(PwdBackground& bg, const std::vector<double>& x, const std::vector<char>& use) {
  int first = -1, last = -1;
  for (size_t i = 0; i < x.size(); ++i)
    if (i >= use.size() || use[i] != 0) {
      if (first < 0) first = static_cast<int>(i);
      last = static_cast<int>(i);
    }
  if (first < 0) return;
  bg.X1 = x[static_cast<size_t>(first)];
  bg.X2 = x[static_cast<size_t>(last)];
  if (bg.X2 <= bg.X1) bg.X2 = bg.X1 + 1.;
}

double CosBackg(const std::vector<double>& b, double t, double* dcoef) {
  double v = 0.;
  for (size_t k = 0; k < b.size(); ++k) {
    const double f = k == 0 ? 1. : std::cos(static_cast<double>(k) * t);
    v += b[k] * f;
    if (dcoef != nullptr) dcoef[k] = f;
  }
  return v;
}

double PwdGetBackground(const PwdBackground& bg, double x, double* dcoef, double* dscale) {
  double v = 0.;
  const size_t n = bg.Coef.size();
  if (bg.Type == PwdLegendre || bg.Type == PwdChebyshev) {
    const double t = 2. * (x - 0.5 * (bg.X1 + bg.X2)) / (bg.X2 - bg.X1);
    double p0 = 1., p1 = t;
    for (size_t k = 0; k < n; ++k) {
      double f;
      if (k == 0)
        f = p0;
      else if (k == 1)
        f = p1;
      else {
        const double j = static_cast<double>(k);
        f = bg.Type == PwdLegendre ? ((2. * j - 1.) * t * p1 - (j - 1.) * p0) / j
                                   : 2. * t * p1 - p0;
        p0 = p1, p1 = f;
      }
      v += bg.Coef[k] * f;
      if (dcoef != nullptr) dcoef[k] = f;
    }
  } else if (bg.Type == PwdCosOrtho) {
    v = CosBackg(bg.Coef, kPi * (x - bg.X1) / (bg.X2 - bg.X1), dcoef);
  } else if (bg.Type == PwdCosGsas) {
    v = CosBackg(bg.Coef, bg.Tof ? kPi * x / bg.X2 : x * kDeg, dcoef);
  }
  double man = 0.;
  if (!bg.Manual.empty()) {
    const auto& m = bg.Manual;
    if (x <= m.front().first)
      man = m.front().second;
    else if (x >= m.back().first)
      man = m.back().second;
    else {
      const auto it = std::lower_bound(m.begin(), m.end(), x,
                                       [](const auto& p, double xx) { return p.first < xx; });
      const auto& p1 = *(it - 1);
      const auto& p2 = *it;
      man = p1.second + (p2.second - p1.second) * (x - p1.first) / (p2.first - p1.first);
    }
  }
  if (dscale != nullptr) *dscale = man;
  return v + bg.ManScale * man;
}

}  // namespace tarn
