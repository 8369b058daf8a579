// Least-squares engine: blocked accumulation of the normal equations, their
// normalised Gauss-Jordan solution with singularity handling, shifts and
// standard uncertainties, damped shifts through the constraints, convergence
// and dynamical damping. Layout and conventions: lsq.hpp.
#include "refine/lsq.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "model/atoms.hpp"
#include "model/structure.hpp"
#include "util/strings.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TARN_LSQ_X86 1
#endif

namespace tarn {

namespace {

constexpr double kUnrealAbs = 1.0e5;   // |value| beyond which a parameter is unrealistic
constexpr double kBerarRhoMax = 0.99;  // serial correlation cap of the Berar factor

int gKernel = -1;  // -1 not decided, 0 generic, 1 AVX2+FMA

inline size_t Tri(size_t i) {
  return i * (i + 1) / 2;
}

// ------------------------------------------------------------ rank-k update
// Am (packed, lower by rows) += H^T H, Rhs += H^T r over the k buffered rows.
void RankKGeneric(NormalEq& ne) {
  const int n = ne.N, k = ne.NBuf;
  const size_t ld = static_cast<size_t>(ne.Ld);
  for (int i = 0; i < n; ++i) {
    double* row = ne.Am.data() + Tri(static_cast<size_t>(i));
    for (int r = 0; r < k; ++r) {
      const double* h = ne.Buf.data() + static_cast<size_t>(r) * ld;
      const double hi = h[i];
      if (hi == 0.) continue;
      for (int j = 0; j <= i; ++j) row[j] += hi * h[j];
    }
  }
}

#ifdef TARN_LSQ_X86
constexpr int kMR = 6;  // rows of a register tile (broadcast values)
constexpr int kNR = 8;  // columns of a register tile (two 4-wide vectors)

// Tile acc[m][c] = sum_r q[r*kMR + m] * p[r*kNR + c].
__attribute__((target("avx2,fma"))) void Tile6x8(int k, const double* q, const double* p,
                                                 double* out) {
  __m256d c00 = _mm256_setzero_pd(), c01 = _mm256_setzero_pd();
  __m256d c10 = _mm256_setzero_pd(), c11 = _mm256_setzero_pd();
  __m256d c20 = _mm256_setzero_pd(), c21 = _mm256_setzero_pd();
  __m256d c30 = _mm256_setzero_pd(), c31 = _mm256_setzero_pd();
  __m256d c40 = _mm256_setzero_pd(), c41 = _mm256_setzero_pd();
  __m256d c50 = _mm256_setzero_pd(), c51 = _mm256_setzero_pd();
  for (int r = 0; r < k; ++r, q += kMR, p += kNR) {
    const __m256d a = _mm256_loadu_pd(p), b = _mm256_loadu_pd(p + 4);
    __m256d x = _mm256_broadcast_sd(q);
    c00 = _mm256_fmadd_pd(x, a, c00);
    c01 = _mm256_fmadd_pd(x, b, c01);
    x = _mm256_broadcast_sd(q + 1);
    c10 = _mm256_fmadd_pd(x, a, c10);
    c11 = _mm256_fmadd_pd(x, b, c11);
    x = _mm256_broadcast_sd(q + 2);
    c20 = _mm256_fmadd_pd(x, a, c20);
    c21 = _mm256_fmadd_pd(x, b, c21);
    x = _mm256_broadcast_sd(q + 3);
    c30 = _mm256_fmadd_pd(x, a, c30);
    c31 = _mm256_fmadd_pd(x, b, c31);
    x = _mm256_broadcast_sd(q + 4);
    c40 = _mm256_fmadd_pd(x, a, c40);
    c41 = _mm256_fmadd_pd(x, b, c41);
    x = _mm256_broadcast_sd(q + 5);
    c50 = _mm256_fmadd_pd(x, a, c50);
    c51 = _mm256_fmadd_pd(x, b, c51);
  }
  _mm256_storeu_pd(out + 0, c00);
  _mm256_storeu_pd(out + 4, c01);
  _mm256_storeu_pd(out + 8, c10);
  _mm256_storeu_pd(out + 12, c11);
  _mm256_storeu_pd(out + 16, c20);
  _mm256_storeu_pd(out + 20, c21);
  _mm256_storeu_pd(out + 24, c30);
  _mm256_storeu_pd(out + 28, c31);
  _mm256_storeu_pd(out + 32, c40);
  _mm256_storeu_pd(out + 36, c41);
  _mm256_storeu_pd(out + 40, c50);
  _mm256_storeu_pd(out + 44, c51);
}

__attribute__((target("avx2,fma"))) void AddRow8(double* dst, const double* src) {
  _mm256_storeu_pd(dst, _mm256_add_pd(_mm256_loadu_pd(dst), _mm256_loadu_pd(src)));
  _mm256_storeu_pd(dst + 4, _mm256_add_pd(_mm256_loadu_pd(dst + 4), _mm256_loadu_pd(src + 4)));
}

// The buffered rows repacked into panels: kMR-wide row panels q (r-major) and
// kNR-wide column panels p (r-major), then register tiles over the triangle.
void RankKAvx2(NormalEq& ne) {
  const int n = ne.N, k = ne.NBuf;
  const size_t ld = static_cast<size_t>(ne.Ld);
  const int nq = (n + kMR - 1) / kMR, np = (n + kNR - 1) / kNR;
  thread_local std::vector<double> qv, pv;
  qv.assign(static_cast<size_t>(nq) * static_cast<size_t>(k) * kMR, 0.);
  pv.assign(static_cast<size_t>(np) * static_cast<size_t>(k) * kNR, 0.);
  for (int r = 0; r < k; ++r) {
    const double* h = ne.Buf.data() + static_cast<size_t>(r) * ld;
    for (int i = 0; i < n; ++i) {
      qv[(static_cast<size_t>(i / kMR) * k + r) * kMR + i % kMR] = h[i];
      pv[(static_cast<size_t>(i / kNR) * k + r) * kNR + i % kNR] = h[i];
    }
  }
  alignas(32) double t[kMR * kNR];
  for (int iq = 0; iq < nq; ++iq) {
    const int i0 = iq * kMR, i1 = std::min(n, i0 + kMR);
    const double* q = qv.data() + static_cast<size_t>(iq) * k * kMR;
    for (int jp = 0; jp * kNR < i1; ++jp) {
      const int j0 = jp * kNR;
      Tile6x8(k, q, pv.data() + static_cast<size_t>(jp) * k * kNR, t);
      for (int i = i0; i < i1; ++i) {
        double* row = ne.Am.data() + Tri(static_cast<size_t>(i)) + j0;
        const double* src = t + (i - i0) * kNR;
        if (j0 + kNR - 1 <= i) {
          AddRow8(row, src);
        } else {
          for (int c = 0; c + j0 <= i; ++c) row[c] += src[c];
        }
      }
    }
  }
}
#endif

bool UseAvx2() {
  if (gKernel < 0) {
#ifdef TARN_LSQ_X86
    __builtin_cpu_init();
    gKernel = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? 1 : 0;
#else
    gKernel = 0;
#endif
  }
  return gKernel == 1;
}

// ------------------------------------------------------------ Gauss-Jordan
// One sweep step on pivot k over the packed rows: a_ij -= c_i c_j / p for
// i, j != k, where c is column k. The inner loop is a contiguous axpy.
#ifdef TARN_LSQ_X86
__attribute__((target_clones("arch=x86-64-v3", "default")))
#endif
void SweepRows(double* am, const double* c, int n, double invP) {
  for (int i = 0; i < n; ++i) {
    const double f = c[i] * invP;
    if (f == 0.) continue;
    double* row = am + Tri(static_cast<size_t>(i));
    for (int j = 0; j <= i; ++j) row[j] -= f * c[j];
  }
}

}  // namespace

void LsqSetKernel(int kernel) {
  gKernel = kernel;
  if (kernel == 1 && !UseAvx2()) gKernel = 0;
}

// ---------------------------------------------------------------- accumulation
void RefLoopNuluj(NormalEq& ne, int n) {
  ne.N = std::max(0, n);
  const size_t nn = static_cast<size_t>(ne.N);
  ne.Am.assign(nn * (nn + 1) / 2, 0.);
  ne.Rhs.assign(nn, 0.);
  ne.D.clear();
  ne.Ld = ((ne.N + 7) / 8) * 8;
  ne.Buf.assign(static_cast<size_t>(kSumaBlock) * static_cast<size_t>(ne.Ld), 0.);
  ne.BufR.assign(kSumaBlock, 0.);
  ne.NBuf = 0;
  ne.NObs = 0;
}

void SumaRefine(NormalEq& ne, double w, double r, const double* g) {
  if (!(w > 0.) || ne.N <= 0) return;
  const double sw = std::sqrt(w);
  double* h = ne.Buf.data() + static_cast<size_t>(ne.NBuf) * static_cast<size_t>(ne.Ld);
  for (int i = 0; i < ne.N; ++i) h[i] = sw * g[i];
  ne.BufR[static_cast<size_t>(ne.NBuf)] = sw * r;
  ++ne.NObs;
  if (++ne.NBuf == kSumaBlock) SumaFlush(ne);
}

void SumaFlush(NormalEq& ne) {
  if (ne.NBuf == 0) return;
  const int n = ne.N, k = ne.NBuf;
  const size_t ld = static_cast<size_t>(ne.Ld);
  // right-hand side: sum sqrt(w) r h
  for (int r = 0; r < k; ++r) {
    const double* h = ne.Buf.data() + static_cast<size_t>(r) * ld;
    const double sr = ne.BufR[static_cast<size_t>(r)];
    for (int i = 0; i < n; ++i) ne.Rhs[static_cast<size_t>(i)] += sr * h[i];
  }
#ifdef TARN_LSQ_X86
  if (UseAvx2())
    RankKAvx2(ne);
  else
    RankKGeneric(ne);
#else
  RankKGeneric(ne);
#endif
  ne.NBuf = 0;
}

// ---------------------------------------------------------------- solution
void znorm(std::vector<double>& am, std::vector<double>& rhs, int n, std::vector<double>& d) {
  d.assign(static_cast<size_t>(n), 0.);
  for (int i = 0; i < n; ++i) {
    const double a = am[Tri(static_cast<size_t>(i)) + static_cast<size_t>(i)];
    d[static_cast<size_t>(i)] = a > 0. ? 1. / std::sqrt(a) : 0.;
  }
  for (int i = 0; i < n; ++i) {
    double* row = am.data() + Tri(static_cast<size_t>(i));
    const double di = d[static_cast<size_t>(i)];
    for (int j = 0; j <= i; ++j) row[j] *= di * d[static_cast<size_t>(j)];
    rhs[static_cast<size_t>(i)] *= di;
  }
}

// Sweep form of Gauss-Jordan elimination: after every pivot k
//   a_kk := -1/p, a_ik := a_ik/p, a_ij := a_ij - a_ik a_kj / p,
// which leaves -A^-1 after all pivots; the sign is turned at the end.
std::vector<int> SmiHandleSing(std::vector<double>& am, int n) {
  std::vector<int> sing;
  std::vector<double> c(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k) {
    const size_t tk = Tri(static_cast<size_t>(k));
    const double p = am[tk + static_cast<size_t>(k)];
    // column k: a_kj (j < k) in row k, a_ik (i > k) in row i
    for (int j = 0; j < k; ++j) c[static_cast<size_t>(j)] = am[tk + static_cast<size_t>(j)];
    for (int i = k + 1; i < n; ++i)
      c[static_cast<size_t>(i)] = am[Tri(static_cast<size_t>(i)) + static_cast<size_t>(k)];
    c[static_cast<size_t>(k)] = 0.;
    if (!(p >= kSingPivot)) {
      // singular: pivot 1, row and column cleared (sweeping it then changes nothing else)
      sing.push_back(k);
      for (int j = 0; j < k; ++j) am[tk + static_cast<size_t>(j)] = 0.;
      for (int i = k + 1; i < n; ++i) am[Tri(static_cast<size_t>(i)) + static_cast<size_t>(k)] = 0.;
      am[tk + static_cast<size_t>(k)] = -1.;
      continue;
    }
    const double invP = 1. / p;
    SweepRows(am.data(), c.data(), n, invP);
    for (int j = 0; j < k; ++j) am[tk + static_cast<size_t>(j)] = c[static_cast<size_t>(j)] * invP;
    for (int i = k + 1; i < n; ++i)
      am[Tri(static_cast<size_t>(i)) + static_cast<size_t>(k)] = c[static_cast<size_t>(i)] * invP;
    am[tk + static_cast<size_t>(k)] = -invP;
  }
  for (double& x : am) x = -x;
  return sing;
}

double InverCorrelation(const NormalEq& ne, int i, int j) {
  if (i < j) std::swap(i, j);
  const double aii = ne.Am[Tri(static_cast<size_t>(i)) + static_cast<size_t>(i)];
  const double ajj = ne.Am[Tri(static_cast<size_t>(j)) + static_cast<size_t>(j)];
  const double aij = ne.Am[Tri(static_cast<size_t>(i)) + static_cast<size_t>(j)];
  return aii > 0. && ajj > 0. ? aij / std::sqrt(aii * ajj) : 0.;
}

CovMatrix RefCovariance(const RefParams& p, const NormalEq& ne, double sigScale) {
  static constexpr std::string_view kCell[] = {"a", "b", "c", "alpha", "beta", "gamma"};
  const bool onePhase = p.PhaseBase.size() == 1;
  // Rows of J: refined indices and coefficients, repeated indices summed.
  struct Row {
    std::vector<int> K;
    std::vector<double> C;
  };
  CovMatrix cov;
  std::vector<Row> rows;
  for (int i = 0; i < p.size(); ++i) {
    const RefParInfo& in = p.Info[static_cast<size_t>(i)];
    std::string name;
    if (in.Kind == OwnAtom && in.Block == BlkPos && (in.Name == "x" || in.Name == "y" || in.Name == "z"))
      name = ToUpper(in.OwnerName) + " " + in.Name;
    else if (in.Kind == OwnMolPos &&
             (in.Name == "phi" || in.Name == "chi" || in.Name == "psi" || in.Name == "tx" ||
              in.Name == "ty" || in.Name == "tz"))
      name = "molpos " + ToUpper(in.OwnerName) + " " + in.Name;
    else if (in.Kind == OwnPhase && onePhase &&
             std::find(std::begin(kCell), std::end(kCell), in.Name) != std::end(kCell))
      name = "cell " + in.Name;
    if (name.empty()) continue;
    Row r;
    auto add = [&r](int k, double c) {
      const auto it = std::find(r.K.begin(), r.K.end(), k);
      if (it != r.K.end()) {
        r.C[static_cast<size_t>(it - r.K.begin())] += c;
      } else {
        r.K.push_back(k);
        r.C.push_back(c);
      }
    };
    if (p.Refines(i)) {
      add(p.Map[static_cast<size_t>(i)], 1.);
    } else if (const int e = p.DepOf[static_cast<size_t>(i)]; e >= 0) {
      const RefEq& x = p.Exp[static_cast<size_t>(e)];
      for (size_t a = 0; a < x.Ind.size(); ++a)
        if (const int k = p.Map[static_cast<size_t>(x.Ind[a])]; k >= 0) add(k, x.Coef[a]);
    }
    if (r.K.empty()) continue;
    cov.Names.push_back(std::move(name));
    rows.push_back(std::move(r));
  }
  const auto c = [&](int k, int l) {
    const int hi = std::max(k, l), lo = std::min(k, l);
    return ne.Am[Tri(static_cast<size_t>(hi)) + static_cast<size_t>(lo)] *
           ne.D[static_cast<size_t>(k)] * ne.D[static_cast<size_t>(l)];
  };
  const int n = static_cast<int>(rows.size());
  cov.V = Eigen::MatrixXd::Zero(n, n);
  const double s2 = sigScale * sigScale;
  for (int a = 0; a < n; ++a)
    for (int b = 0; b <= a; ++b) {
      double v = 0.;
      const Row& ra = rows[static_cast<size_t>(a)];
      const Row& rb = rows[static_cast<size_t>(b)];
      for (size_t u = 0; u < ra.K.size(); ++u)
        for (size_t w = 0; w < rb.K.size(); ++w) v += ra.C[u] * rb.C[w] * c(ra.K[u], rb.K[w]);
      cov.V(a, b) = cov.V(b, a) = v * s2;
    }
  return cov;
}

double BerarFactor(const double* x, long long n) {
  // Lag-one serial correlation of the weighted residuals; the variance of a
  // least-squares estimate from an AR(1) sequence grows by (1 + rho)/(1 - rho).
  if (n < 3) return 1.;
  double s0 = 0., s1 = 0.;
  for (long long i = 0; i < n; ++i) s0 += x[i] * x[i];
  for (long long i = 1; i < n; ++i) s1 += x[i] * x[i - 1];
  if (!(s0 > 0.)) return 1.;
  const double rho = std::clamp(s1 / s0, 0., kBerarRhoMax);
  return std::sqrt((1. + rho) / (1. - rho));
}

int Inver(NormalEq& ne, const RefParams& p, const InverSettings& s, double gof, int nRefl,
          InverResult& out, std::vector<std::string>& listing) {
  SumaFlush(ne);
  const int n = ne.N;
  out = InverResult{};
  out.Shift.assign(static_cast<size_t>(n), 0.);
  out.Sig.assign(static_cast<size_t>(n), 0.);
  if (n <= 0) return 0;
  if (s.CheckCounts && nRefl < 3 * n) {
    listing.push_back(fmt::format("{} reflections is smaller than", lsqmsg::TheNumberOf));
    listing.push_back(fmt::format("{}{}", nRefl < n ? lsqmsg::NumberOf : lsqmsg::ThreeTimes,
                                  lsqmsg::ParToRefine));
    if (nRefl < n) {
      out.Fatal = 1;
      return 1;
    }
    out.Warning = true;
  }
  if (s.LsMethod == 2)
    for (int i = 0; i < n; ++i)
      ne.Am[Tri(static_cast<size_t>(i)) + static_cast<size_t>(i)] *= 1. + s.MarqLam;
  znorm(ne.Am, ne.Rhs, n, ne.D);
  out.Singular = SmiHandleSing(ne.Am, n);
  const int nSing = static_cast<int>(out.Singular.size());
  if (nSing > 0) {
    if (nSing == 1)
      listing.push_back(
          fmt::format("{}{}{}{}", lsqmsg::InCycle, s.Cycle, lsqmsg::There, lsqmsg::OneSing));
    else
      listing.push_back(fmt::format("{}{}{}{}{}{}", lsqmsg::InCycle, s.Cycle, lsqmsg::There,
                                    lsqmsg::Were, nSing, lsqmsg::Sings));
    for (int k : out.Singular) {
      const size_t full = static_cast<size_t>(p.Refined[static_cast<size_t>(k)]);
      listing.push_back(fmt::format("{}{} : [{}]", lsqmsg::SingElem, k + 1, p.Info[full].Label));
      listing.push_back(std::string(lsqmsg::Blocked));
    }
    if (nSing >= (2 * n) / 3) {
      listing.push_back(fmt::format("{}{}", lsqmsg::TheNumberOf, lsqmsg::TooManySing));
      out.Fatal = 2;
      return 1;
    }
  }
  std::vector<bool> isSing(static_cast<size_t>(n), false);
  for (int k : out.Singular) isSing[static_cast<size_t>(k)] = true;
  for (int k : out.Singular) ne.Rhs[static_cast<size_t>(k)] = 0.;
  // delta = D A^-1 D rhs (rhs already carries one D from znorm)
  std::vector<double> y(static_cast<size_t>(n), 0.);
  for (int i = 0; i < n; ++i) {
    const double* row = ne.Am.data() + Tri(static_cast<size_t>(i));
    const double bi = ne.Rhs[static_cast<size_t>(i)];
    double acc = 0.;
    for (int j = 0; j < i; ++j) {
      acc += row[j] * ne.Rhs[static_cast<size_t>(j)];
      y[static_cast<size_t>(j)] += row[j] * bi;
    }
    y[static_cast<size_t>(i)] += acc + row[i] * bi;
  }
  double g = gof;
  if (s.EsdCorr && s.NDatBlocks == 1) g *= s.Berar;
  out.SigScale = g;
  for (int i = 0; i < n; ++i) {
    if (isSing[static_cast<size_t>(i)]) continue;
    const double di = ne.D[static_cast<size_t>(i)];
    out.Shift[static_cast<size_t>(i)] = di * y[static_cast<size_t>(i)];
    const double cii = ne.Am[Tri(static_cast<size_t>(i)) + static_cast<size_t>(i)];
    out.Sig[static_cast<size_t>(i)] = g * di * std::sqrt(std::max(cii, 0.));
  }
  return 0;
}

// ---------------------------------------------------------------- secant acceleration
namespace {
constexpr double kAccelMaxGrow = 10.;  // largest |mixed| / |Gauss-Newton| accepted
// Largest Gauss-Newton |shift|/s.u. of a cycle that enters the history: far
// from the minimum the map is not linear and secants from large steps mislead.
constexpr double kAccelLinear = 2.;
}  // namespace

void RefAccelReset(AccelState& st) {
  st.DX.clear();
  st.DF.clear();
  st.LastF.clear();
  st.LastStep.clear();
}

bool RefAccelShift(AccelState& st, std::vector<double>& shift, const std::vector<double>& su) {
  const int n = static_cast<int>(shift.size());
  if (n != st.NRef || su.size() != shift.size()) {
    RefAccelReset(st);
    st.NRef = n;
  }
  Eigen::VectorXd f(n);
  for (int i = 0; i < n; ++i) {
    const double s = su[static_cast<size_t>(i)];
    f[i] = s > 0. ? shift[static_cast<size_t>(i)] / s : 0.;
  }
  if (n == 0 || f.cwiseAbs().maxCoeff() > kAccelLinear) {
    RefAccelReset(st);
    return false;
  }
  if (!st.LastF.empty()) {
    Eigen::VectorXd df(n), dx(n);
    for (int i = 0; i < n; ++i) {
      df[i] = f[i] - st.LastF[static_cast<size_t>(i)];
      dx[i] = st.LastStep[static_cast<size_t>(i)];
    }
    st.DF.emplace_back(df.data(), df.data() + n);
    st.DX.emplace_back(dx.data(), dx.data() + n);
    if (static_cast<int>(st.DF.size()) > st.Depth) {
      st.DF.erase(st.DF.begin());
      st.DX.erase(st.DX.begin());
    }
  }
  Eigen::VectorXd step = f;
  bool mixed = false;
  const int m = static_cast<int>(st.DF.size());
  if (m > 0) {
    Eigen::MatrixXd F(n, m), X(n, m);
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < n; ++i) {
        F(i, j) = st.DF[static_cast<size_t>(j)][static_cast<size_t>(i)];
        X(i, j) = st.DX[static_cast<size_t>(j)][static_cast<size_t>(i)];
      }
    const Eigen::VectorXd g = F.completeOrthogonalDecomposition().solve(f);
    const Eigen::VectorXd mix = f - (X + F) * g;
    if (mix.allFinite() && mix.norm() <= kAccelMaxGrow * f.norm()) {
      step = mix;
      mixed = true;
    } else {
      RefAccelReset(st);
      st.NRef = n;
    }
  }
  st.LastF.assign(f.data(), f.data() + n);
  st.LastStep.assign(step.data(), step.data() + n);
  for (int i = 0; i < n; ++i) {
    const double s = su[static_cast<size_t>(i)];
    if (s > 0.) shift[static_cast<size_t>(i)] = step[i] * s;
  }
  return mixed;
}

// ---------------------------------------------------------------- shifts
namespace {

bool IsSqScale(const ZmenaState& st, int i) {
  return std::find(st.SqScale.begin(), st.SqScale.end(), i) != st.SqScale.end();
}

}  // namespace

int Zmena(RefParams& p, const InverResult& inv, double damp, ZmenaState& st,
          std::vector<std::string>& listing) {
  const int nf = p.size(), n = p.NRef;
  st.ValBefore = p.Val;
  st.SigBefore = p.Sig;
  st.ConvCountBefore = st.ConvCount;
  st.UIsoOff.clear();
  st.Converged = false;

  std::vector<double> sc(static_cast<size_t>(n), 0.);
  for (int k = 0; k < n && k < static_cast<int>(inv.Shift.size()); ++k)
    sc[static_cast<size_t>(k)] = damp * inv.Shift[static_cast<size_t>(k)];
  std::vector<double> full(static_cast<size_t>(nf), 0.);
  refderuncompress(p, sc.data(), full.data());

  // refined parameters: new = old + damp delta; scales refined as their square
  // move in the square and return as its root with s.u. 0.5 s.u.(K) / scale.
  // A value that is not finite keeps its old value and is reported.
  std::vector<char> bad(static_cast<size_t>(nf), 0);
  for (int k = 0; k < n; ++k) {
    const size_t i = static_cast<size_t>(p.Refined[static_cast<size_t>(k)]);
    const double su = k < static_cast<int>(inv.Sig.size()) ? inv.Sig[static_cast<size_t>(k)] : 0.;
    if (!std::isfinite(full[i]) || !std::isfinite(su)) {
      bad[i] = 1;
      continue;
    }
    if (IsSqScale(st, static_cast<int>(i))) {
      const double kNew = p.Val[i] * p.Val[i] + full[i];
      p.Val[i] = kNew > 0. ? std::sqrt(kNew) : 0.;
      p.Sig[i] = kNew > 0. ? 0.5 * su / p.Val[i] : 0.;
    } else {
      p.Val[i] += full[i];
      p.Sig[i] = su;
    }
  }
  RefAppEq(p);

  // s.u. of dependent parameters: sqrt(c^T C c) with the covariance of the
  // solution when given, else sqrt(sum (coef s.u.)^2) over the refined ones
  for (const RefEq& x : p.Exp) {
    double var = 0.;
    if (st.Cov != nullptr && !st.Cov->D.empty()) {
      const NormalEq& ne = *st.Cov;
      for (size_t a = 0; a < x.Ind.size(); ++a) {
        const int ma = p.Map[static_cast<size_t>(x.Ind[a])];
        if (ma < 0) continue;
        for (size_t b = 0; b < x.Ind.size(); ++b) {
          const int mb = p.Map[static_cast<size_t>(x.Ind[b])];
          if (mb < 0) continue;
          const int hi = std::max(ma, mb), lo = std::min(ma, mb);
          var += x.Coef[a] * x.Coef[b] *
                 ne.Am[Tri(static_cast<size_t>(hi)) + static_cast<size_t>(lo)] *
                 ne.D[static_cast<size_t>(ma)] * ne.D[static_cast<size_t>(mb)];
        }
      }
      var *= inv.SigScale * inv.SigScale;
    } else {
      for (size_t a = 0; a < x.Ind.size(); ++a) {
        if (p.Map[static_cast<size_t>(x.Ind[a])] < 0) continue;
        const double t = x.Coef[a] * p.Sig[static_cast<size_t>(x.Ind[a])];
        var += t * t;
      }
    }
    p.Sig[static_cast<size_t>(x.Dep)] = std::sqrt(std::max(var, 0.));
  }

  // unrealistic values of changed parameters: not finite (the old value is
  // kept), beyond kUnrealAbs, a negative ADP diagonal (Uiso, or the first
  // three tensor components), a scale that is not positive
  st.Change.assign(static_cast<size_t>(nf), 0.);
  for (int i = 0; i < nf; ++i) {
    const size_t u = static_cast<size_t>(i);
    const RefParInfo& in = p.Info[u];
    double& v = p.Val[u];
    if (!std::isfinite(v)) {
      bad[u] = 1;
      v = st.ValBefore[u];
      p.Sig[u] = st.SigBefore[u];
    } else if (bad[u] || v == st.ValBefore[u]) {
    } else if (std::abs(v) > kUnrealAbs) {
      bad[u] = 1;
    } else if (in.Kind == OwnAtom && in.Block == BlkAdp && v < 0.) {
      int local = 0;
      for (int j = p.AtomBase[static_cast<size_t>(in.Owner)]; j < i; ++j)
        if (p.Info[static_cast<size_t>(j)].Block == BlkAdp) ++local;
      bad[u] = local < 3;
    } else if (in.Kind == OwnDatBlock && in.Sub == DatScale && v <= 0.) {
      bad[u] = 1;
    }
    if (bad[u])
      listing.push_back(fmt::format("{}{}{}", lsqmsg::Unreal1, in.Label, lsqmsg::Unreal2));
    st.Change[u] = v - st.ValBefore[u];
  }

  // largest and mean |change/s.u.| over the refined parameters
  st.MaxChange = 0.;
  st.MeanChange = 0.;
  st.MaxPar = -1;
  int nm = 0;
  for (int k = 0; k < n; ++k) {
    const size_t i = static_cast<size_t>(p.Refined[static_cast<size_t>(k)]);
    if (!(p.Sig[i] > 0.)) continue;
    const double r = std::abs(st.Change[i]) / p.Sig[i];
    st.MeanChange += r;
    ++nm;
    if (r > st.MaxChange) {
      st.MaxChange = r;
      st.MaxPar = static_cast<int>(i);
    }
  }
  if (nm > 0) st.MeanChange /= nm;

  // atoms whose isotropic ADP went beyond uisolim: Uiso is the first value of
  // the ADP block of an atom of ADP order 1
  if (st.UIsoLim > 0.) {
    for (size_t a = 0; a < p.AtomBase.size(); ++a) {
      // (a parameter list without its model: an ADP block of one value)
      int nAdp = 0;
      for (int i = p.AtomBase[a]; i < p.size() && p.Info[static_cast<size_t>(i)].Kind == OwnAtom &&
                                  p.Info[static_cast<size_t>(i)].Owner == static_cast<int>(a);
           ++i)
        nAdp += p.Info[static_cast<size_t>(i)].Block == BlkAdp;
      if (a < Struct.Model.Atom.size() ? Struct.Model.Atom[a].Shape.AdpOrder != 1 : nAdp != 1)
        continue;
      for (int i = p.AtomBase[a]; i < p.size(); ++i) {
        const RefParInfo& in = p.Info[static_cast<size_t>(i)];
        if (in.Kind != OwnAtom || in.Owner != static_cast<int>(a)) break;
        if (in.Block != BlkAdp) continue;
        if (p.Refines(i) && p.Val[static_cast<size_t>(i)] > st.UIsoLim)
          st.UIsoOff.push_back(static_cast<int>(a));
        break;
      }
    }
  }

  // convergence: max |change/s.u.| strictly below convlim in convcycl
  // consecutive cycles ends the run after the next (final) cycle
  if (st.ConvChck) {
    st.ConvCount = st.MaxChange < st.ConvLim ? st.ConvCount + 1 : 0;
    if (st.ConvCount >= std::max(1, st.ConvCycl)) {
      st.Cycles = std::min(st.Cycles, st.Cycle + 1);
      st.Converged = true;
    }
  }
  return 0;
}

int inverbackdamp(RefParams& p, const InverResult& inv, double damp, ZmenaState& st,
                  std::vector<std::string>& listing) {
  if (st.ValBefore.size() == p.Val.size()) {
    p.Val = st.ValBefore;
    p.Sig = st.SigBefore;
    st.ConvCount = st.ConvCountBefore;
  }
  return Zmena(p, inv, damp, st, listing);
}

int inverfinal(NormalEq& ne, RefParams& p, const InverSettings& s, double gof, int nRefl,
               const ZmenaState& st, InverResult& out, std::vector<std::string>& listing) {
  InverSettings fs = s;
  fs.LsMethod = 0;
  if (const int rc = Inver(ne, p, fs, gof, nRefl, out, listing); rc != 0) return rc;
  ZmenaState zs;
  zs.SqScale = st.SqScale;
  zs.Cov = &ne;
  std::vector<std::string> unused;
  return Zmena(p, out, 0., zs, unused);
}

int RefDynReduce(DynDampState& st, double& damp) {
  if (st.RedDynam > 1.) damp /= st.RedDynam;
  ++st.NRed;
  st.SinceRed = 0;
  return st.NRed > kMaxDynRed ? DynTooMany : DynReduced;
}

int RefApplyDynRed(DynDampState& st, int cycle, double r, double& damp) {
  if (cycle >= 1 && st.PrevR > 0. && r > (1. + st.TolDynam / 100.) * st.PrevR)
    return RefDynReduce(st, damp);
  st.PrevR = r;
  ++st.SinceRed;
  if (st.NcDynam > 0 && st.SinceRed > st.NcDynam && damp <= 0.9 * st.DampStart &&
      st.RedDynam > 1.) {
    damp = std::min(damp * st.RedDynam, st.DampStart);
    st.SinceRed = 0;
    return DynIncreased;
  }
  return DynNone;
}

}  // namespace tarn
