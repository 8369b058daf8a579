#include "model/modfun.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "model/atoms.hpp"
#include "util/strings.hpp"
#include "util/numbers.hpp"

namespace tarn {

namespace {

constexpr double kTolGauleg = 3.0e-14;       // Newton convergence of the Legendre roots
constexpr double kTolFPolDependent = 1e-10;  // squared norm below which a raw function is dependent
constexpr double kBesselBig = 1.0e250;       // rescaling threshold of the backward recurrences
constexpr int kFPolGaussPoints = 96;         // quadrature of the Gram matrix on the interval

// Offset of xb4 from x40 brought to [-0.5, 0.5).
double Wrap(double dx) {
  return dx - std::floor(dx + 0.5);
}

// Raw functions g_0 .. g_n of an orthogonalised set at the point.
void RawFun(int type, int n, double x4, double x40, double delta, double* g) {
  const double t = 2. * Wrap(x4 - x40) / delta;
  g[0] = 1.;
  if (type == FunXHarm) {
    if (n >= 1) g[1] = t;
    for (int j = 2; j <= n; ++j) {
      const int k = j / 2;
      g[j] = j % 2 == 0 ? std::cos(kPi * k * t) : std::sin(kPi * k * t);
    }
  } else {  // FunOrtho: harmonics of the whole period
    for (int j = 1; j <= n; ++j) {
      const int k = (j + 1) / 2;
      g[j] = j % 2 == 1 ? std::sin(kTwoPi * k * x4) : std::cos(kTwoPi * k * x4);
    }
  }
}

}  // namespace

int ModWavesOfPhase(const PhaseModel& ph, int d, ModWaves& w, std::string* msg) {
  w.clear();
  if (d < 1) return 0;    // no internal space: the record has no meaning
  const int waveOpt = 2;  // index of "wave" in M40OptionKeys
  for (const M40Option& o : ph.Opt) {
    if (o.Index != waveOpt) continue;
    const int nv = static_cast<int>(o.Words.size());
    if (nv % d != 0) {
      w.clear();
      if (msg)
        *msg = fmt::format("The option \"wave\" needs {} integers per wave, {} given.", d, nv);
      return 1;
    }
    for (int n = 0; n < nv / d; ++n) {
      std::array<int, 3> k{};
      bool zero = true;
      for (int i = 0; i < d; ++i) {
        const auto v = ToInt(o.Words[static_cast<size_t>(n * d + i)]);
        if (!v) {
          w.clear();
          if (msg) *msg = "The option \"wave\" holds a value that is not an integer.";
          return 1;
        }
        k[static_cast<size_t>(i)] = static_cast<int>(*v);
        zero = zero && *v == 0;
      }
      if (zero) {
        w.clear();
        if (msg) *msg = fmt::format("The wave vector of wave {} is zero.", n + 1);
        return 1;
      }
      w.push_back(k);
    }
  }
  return 0;
}

bool ModWavesCover(const ModWaves* w, int nw, int d) {
  if (nw <= 0 || d <= 1) return true;
  return w && static_cast<int>(w->size()) >= nw;
}

std::array<int, 3> ModWaveVector(int n, int /*d*/, const ModWaves* w) {
  if (w && n >= 0 && n < static_cast<int>(w->size())) return (*w)[static_cast<size_t>(n)];
  return {n + 1, 0, 0};
}

void MakeHarmMod(const double* amp, int ncomp, int nw, int d, const double* x4, int np, double* out,
                 const ModWaves* waves) {
  for (int p = 0; p < np; ++p) {
    double* o = out + p * ncomp;
    std::fill(o, o + ncomp, 0.);
    for (int n = 0; n < nw; ++n) {
      const auto k = ModWaveVector(n, d, waves);
      double arg = 0.;
      for (int i = 0; i < d; ++i) arg += k[static_cast<size_t>(i)] * x4[p * d + i];
      const double s = std::sin(kTwoPi * arg), c = std::cos(kTwoPi * arg);
      const double* a = amp + 2 * ncomp * n;
      for (int j = 0; j < ncomp; ++j) o[j] += a[j] * s + a[ncomp + j] * c;
    }
  }
}

void MakePosMod(const double* amp, int nw, int d, const double* x4, int np, double* u,
                const ModWaves* waves) {
  MakeHarmMod(amp, 3, nw, d, x4, np, u, waves);
}

void MakeOccMod(const double* amp, int nw, int d, const double* x4, int np, double* o,
                const ModWaves* waves) {
  MakeHarmMod(amp, 1, nw, d, x4, np, o, waves);
  for (int p = 0; p < np; ++p) o[p] += 1.;
}

void MakeBetaMod(const double* amp, int ncomp, int nw, int d, const double* x4, int np,
                 double* beta, const ModWaves* waves) {
  MakeHarmMod(amp, ncomp, nw, d, x4, np, beta, waves);
}

void MakeMagMod(const double* amp, int nw, int d, const double* x4, int np, double* m,
                const ModWaves* waves) {
  MakeHarmMod(amp, 3, nw, d, x4, np, m, waves);
}

double CrenelOcc(double x4, double x40, double delta) {
  if (delta >= 1.) return 1.;
  return std::abs(Wrap(x4 - x40)) <= 0.5 * delta ? 1. : 0.;
}

std::complex<double> XMod(int n, double x40, double delta, std::complex<double>* dx40,
                          std::complex<double>* ddelta) {
  // Integral of exp(2 pi i n x) over [x40 - delta/2, x40 + delta/2].
  const std::complex<double> e = std::polar(1., kTwoPi * n * x40);
  double f = delta, df = 1.;
  if (n != 0) {
    const double a = kPi * n;
    f = std::sin(a * delta) / a;
    df = std::cos(a * delta);
  }
  if (dx40) *dx40 = std::complex<double>(0., kTwoPi * n) * e * f;
  if (ddelta) *ddelta = e * df;
  return e * f;
}

void gauleg(double x1, double x2, int n, double* x, double* w) {
  // Roots of P_n by Newton iteration from the Chebyshev-like first guess;
  // weights 2/((1 - z^2) P_n'(z)^2) scaled to the interval.
  const int m = (n + 1) / 2;
  const double xm = 0.5 * (x2 + x1), xl = 0.5 * (x2 - x1);
  for (int i = 0; i < m; ++i) {
    double z = std::cos(kPi * (i + 0.75) / (n + 0.5)), pp = 0.;
    for (int it = 0; it < 100; ++it) {
      double p1 = 1., p2 = 0.;
      for (int j = 0; j < n; ++j) {
        const double p3 = p2;
        p2 = p1;
        p1 = ((2. * j + 1.) * z * p2 - j * p3) / (j + 1.);
      }
      pp = n * (z * p1 - p2) / (z * z - 1.);
      const double z1 = z;
      z = z1 - p1 / pp;
      if (std::abs(z - z1) <= kTolGauleg) break;
    }
    x[i] = xm - xl * z;
    x[n - 1 - i] = xm + xl * z;
    w[i] = 2. * xl / ((1. - z * z) * pp * pp);
    w[n - 1 - i] = w[i];
  }
}

int MakeFPolSet(int type, int nfun, double x40, double delta, FPolSet& s) {
  s = FPolSet{};
  s.Type = type;
  s.NFun = std::max(nfun, 0);
  s.X40 = x40;
  s.Delta = delta;
  if (delta <= 0. || (type != FunOrtho && type != FunLegendre && type != FunXHarm)) return 1;
  if (type == FunLegendre) return 0;
  // Gram matrix of the raw functions, mean over the interval.
  const int n = s.NFun + 1;
  const int ng = kFPolGaussPoints + 4 * n;
  std::vector<double> xg(static_cast<size_t>(ng)), wg(static_cast<size_t>(ng));
  gauleg(x40 - 0.5 * delta, x40 + 0.5 * delta, ng, xg.data(), wg.data());
  std::vector<double> gram(static_cast<size_t>(n * n), 0.), g(static_cast<size_t>(n));
  for (int p = 0; p < ng; ++p) {
    RawFun(type, s.NFun, xg[p], x40, delta, g.data());
    const double w = wg[p] / delta;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) gram[i * n + j] += w * g[i] * g[j];
  }
  // Gram-Schmidt on coefficient vectors, <a, b> = a.Gram.b.
  s.C.assign(static_cast<size_t>(n * n), 0.);
  auto dot = [&](const double* a, const double* b) {
    double v = 0.;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) v += a[i] * gram[i * n + j] * b[j];
    return v;
  };
  for (int j = 0; j < n; ++j) {
    double* cj = &s.C[static_cast<size_t>(j * n)];
    cj[j] = 1.;
    for (int i = 0; i < j; ++i) {
      const double* ci = &s.C[static_cast<size_t>(i * n)];
      const double pr = dot(cj, ci);
      for (int k = 0; k <= i; ++k) cj[k] -= pr * ci[k];
    }
    const double nn = dot(cj, cj);
    if (nn < kTolFPolDependent) return 1;
    const double sc = 1. / std::sqrt(nn);
    for (int k = 0; k <= j; ++k) cj[k] *= sc;
  }
  // Mean square 1/2 for f_1 .. f_N.
  for (int k = n; k < n * n; ++k) s.C[static_cast<size_t>(k)] *= std::numbers::sqrt2 / 2.;
  return 0;
}

void GetFPol(const FPolSet& s, double x4, double* f) {
  const int n = s.NFun;
  if (n <= 0) return;
  if (s.Type == FunLegendre) {
    // (j+1) P_{j+1} = (2j+1) t P_j - j P_{j-1}
    const double t = 2. * Wrap(x4 - s.X40) / s.Delta;
    double p0 = 1., p1 = t;
    f[0] = t;
    for (int j = 1; j < n; ++j) {
      const double p2 = ((2. * j + 1.) * t * p1 - j * p0) / (j + 1.);
      p0 = p1;
      p1 = p2;
      f[j] = p2;
    }
    return;
  }
  double g[64];
  std::vector<double> gv;
  double* gp = g;
  if (n + 1 > 64) {
    gv.resize(static_cast<size_t>(n + 1));
    gp = gv.data();
  }
  RawFun(s.Type, n, x4, s.X40, s.Delta, gp);
  for (int j = 1; j <= n; ++j) {
    double v = 0.;
    const double* c = &s.C[static_cast<size_t>(j * (n + 1))];
    for (int i = 0; i <= j; ++i) v += c[i] * gp[i];
    f[j - 1] = v;
  }
}

namespace {
void PolMod(const FPolSet& s, const double* amp, int ncomp, int nw, const double* x4, int np,
            double* out) {
  std::vector<double> f(static_cast<size_t>(std::max(s.NFun, 2 * nw)), 0.);
  for (int p = 0; p < np; ++p) {
    GetFPol(s, x4[p], f.data());
    double* o = out + p * ncomp;
    std::fill(o, o + ncomp, 0.);
    for (int n = 0; n < nw && 2 * n + 2 <= s.NFun; ++n) {
      const double* a = amp + 2 * ncomp * n;
      for (int j = 0; j < ncomp; ++j) o[j] += a[j] * f[2 * n] + a[ncomp + j] * f[2 * n + 1];
    }
  }
}
}  // namespace

void MakePosModPol(const FPolSet& s, const double* amp, int nw, const double* x4, int np,
                   double* u) {
  PolMod(s, amp, 3, nw, x4, np, u);
}

void MakeOccModPol(const FPolSet& s, const double* amp, int nw, const double* x4, int np,
                   double* o) {
  PolMod(s, amp, 1, nw, x4, np, o);
  for (int p = 0; p < np; ++p) o[p] += 1.;
}

void MakeBetaModPol(const FPolSet& s, const double* amp, int ncomp, int nw, const double* x4,
                    int np, double* beta) {
  PolMod(s, amp, ncomp, nw, x4, np, beta);
}

void MakeOccModSawTooth(const double* usaw, double x40, double delta, const double* x4, int np,
                        int d, double* o, double* u) {
  for (int p = 0; p < np; ++p) {
    const double dx = Wrap(x4[p * d] - x40);
    const bool in = delta >= 1. || std::abs(dx) <= 0.5 * delta;
    o[p] = in ? 1. : 0.;
    if (u)
      for (int j = 0; j < 3; ++j) u[3 * p + j] = in ? 2. * usaw[j] * dx / delta : 0.;
  }
}

void BesselJ(int nmax, double x, double* j) {
  std::fill(j, j + nmax + 1, 0.);
  if (x == 0.) {
    j[0] = 1.;
    return;
  }
  const double ax = std::abs(x);
  // Miller's backward recurrence J_{k-1} = (2k/x) J_k - J_{k+1} from an even
  // start well above max(nmax, x); normalised by J_0 + 2 sum J_{2k} = 1.
  int m = static_cast<int>(std::max<double>(nmax, ax)) + 20 +
          static_cast<int>(std::sqrt(40. * std::max<double>(nmax, ax)));
  m += m % 2;
  double bjp = 0., bj = 1.e-30, sum = 0.;
  for (int k = m; k > 0; --k) {
    const double bjm = 2. * k / ax * bj - bjp;
    bjp = bj;
    bj = bjm;
    if (std::abs(bj) > kBesselBig) {
      bj /= kBesselBig;
      bjp /= kBesselBig;
      sum /= kBesselBig;
      for (int i = 0; i <= nmax; ++i) j[i] /= kBesselBig;
    }
    if ((k - 1) % 2 == 0 && k - 1 > 0) sum += bj;
    if (k - 1 <= nmax) j[k - 1] = bj;
  }
  sum = 2. * sum + bj;
  for (int i = 0; i <= nmax; ++i) {
    j[i] /= sum;
    if (x < 0. && i % 2 == 1) j[i] = -j[i];
  }
}

void BesselI(int nmax, double x, double* v) {
  std::fill(v, v + nmax + 1, 0.);
  if (x == 0.) {
    v[0] = 1.;
    return;
  }
  const double ax = std::abs(x);
  // Backward recurrence I_{k-1} = (2k/x) I_k + I_{k+1}; normalised by
  // I_0 + 2 sum_{k>=1} I_k = exp(x).
  int m = static_cast<int>(std::max<double>(nmax, ax)) + 20 +
          static_cast<int>(std::sqrt(40. * std::max<double>(nmax, ax)));
  double bip = 0., bi = 1.e-30, sum = 0.;
  for (int k = m; k > 0; --k) {
    const double bim = 2. * k / ax * bi + bip;
    bip = bi;
    bi = bim;
    if (std::abs(bi) > kBesselBig) {
      bi /= kBesselBig;
      bip /= kBesselBig;
      sum /= kBesselBig;
      for (int i = 0; i <= nmax; ++i) v[i] /= kBesselBig;
    }
    if (k - 1 > 0) sum += bi;
    if (k - 1 <= nmax) v[k - 1] = bi;
  }
  sum = 2. * sum + bi;
  const double sc = std::exp(ax) / sum;
  for (int i = 0; i <= nmax; ++i) {
    v[i] *= sc;
    if (x < 0. && i % 2 == 1) v[i] = -v[i];
  }
}

}  // namespace tarn
