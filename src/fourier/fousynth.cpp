// The summation of the map section by section (Beevers-Lipson or FFT along
// map axes 1 and 2), its statistics, and the map file ".m81".
#include <fftw3.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>

#include "fourier/fourier.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"
#include "util/report.hpp"

namespace tarn {

namespace {

using Cplx = std::complex<double>;

// exp(-2 pi i h x_k) for h = HMin .. HMax and the grid points x_k of one axis.
struct AxisTable {
  int HMin = 0, HMax = 0, NPts = 1;
  std::vector<Cplx> E;  // (h - HMin) * NPts + k
  void Build(int hmin, int hmax, const FouGrid& g, int axis) {
    HMin = hmin;
    HMax = hmax;
    NPts = g.N[axis];
    E.resize(static_cast<size_t>(hmax - hmin + 1) * NPts);
    for (int h = hmin; h <= hmax; ++h)
      for (int k = 0; k < NPts; ++k) {
        // The argument reduced modulo 1 keeps the phase exact for large h.
        double t = h * g.X(axis, k);
        t -= std::floor(t);
        E[static_cast<size_t>(h - hmin) * NPts + k] = std::polar(1., -kTwoPi * t);
      }
  }
  Cplx At(int h, int k) const { return E[static_cast<size_t>(h - HMin) * NPts + k]; }
  int Width() const { return HMax - HMin + 1; }
};

// Does map axis m cover one whole period from 0 in N steps of 1/N?
bool WholePeriod(const FouGrid& g, int m) {
  return g.N[m] > 1 && std::abs(g.XMin[m]) < 1e-9 && std::abs(g.N[m] * g.Dx[m] - 1.) < 1e-9;
}

// Max, min and sum of squares of map values, block by block. Eight
// independent lanes let the compiler vectorise without reordering sums.
struct MapStatsAcc {
  float Max = -std::numeric_limits<float>::max(), Min = std::numeric_limits<float>::max();
  double S2 = 0.;
  void Add(const float* v, size_t n) {
    float mx[8], mn[8];
    double s2[8] = {};
    for (int l = 0; l < 8; ++l) mx[l] = Max, mn[l] = Min;
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
      for (int l = 0; l < 8; ++l) {
        const float x = v[i + static_cast<size_t>(l)];
        mx[l] = x > mx[l] ? x : mx[l];
        mn[l] = x < mn[l] ? x : mn[l];
        s2[l] += static_cast<double>(x) * x;
      }
    for (; i < n; ++i) {
      mx[0] = std::max(mx[0], v[i]);
      mn[0] = std::min(mn[0], v[i]);
      s2[0] += static_cast<double>(v[i]) * v[i];
    }
    for (int l = 0; l < 8; ++l) {
      Max = std::max(Max, mx[l]);
      Min = std::min(Min, mn[l]);
      S2 += s2[l];
    }
  }
  void Put(FouMap& map) const {
    map.Max = Max;
    map.Min = Min;
    map.Rms = map.Rho.empty() ? 0. : std::sqrt(S2 / static_cast<double>(map.Rho.size()));
  }
};

// The real map over the FFT axes (the 2 or 3 leading map axes) from one block
// of coefficients. rho(x) = sum_half Re[C exp(-2 pi i h.x)] is written as the
// Hermitian sum sum_k E_k exp(+2 pi i k.x/N) with E_h += conj(C)/2 and
// E_-h += C/2, the indices taken modulo the lengths (so every index range is
// exact on the grid). Only the half k1 <= N1/2 of the fastest axis is kept,
// and of it only the columns k1 < nx that coefficients reach: the transform
// runs axis by axis, pruned to the lines that hold coefficients, slowest axis
// first (complex, on the used (k1, k2) lines), then axis 2 (complex, for
// k1 < nx), then axis 1 (complex-to-real, whole rows) plane by plane straight
// into the map. FFTW in single precision, as the map is stored.
class BlockFft {
 public:
  BlockFft(const FouGrid& g, int naxes, const std::vector<FouCoef>& c, float* out) : naxes_(naxes) {
    n_[0] = g.N[0];
    n_[1] = g.N[1];
    n_[2] = naxes == 3 ? g.N[2] : 1;
    half0_ = n_[0] / 2 + 1;
    nx_ = 1;
    for (const auto& f : c)
      for (const int sign : {1, -1}) {
        const int b0 = Wrap(sign * f.H[0], n_[0]);
        if (b0 < half0_) nx_ = std::max(nx_, b0 + 1);
      }
    // Line and block strides padded to 4 complex values, so that every line
    // and block starts at the alignment of the planned ones.
    l2_ = (n_[2] + 3) / 4 * 4;
    blk_ = static_cast<size_t>(n_[1]) * static_cast<size_t>(l2_);
    s_ = fftwf_alloc_complex(blk_ * static_cast<size_t>(nx_));
    used_.assign(static_cast<size_t>(nx_) * static_cast<size_t>(n_[1]), 0);
    row_ = fftwf_alloc_complex(static_cast<size_t>(n_[1]) * static_cast<size_t>(half0_));
    if (naxes == 3)
      planZ_ = fftwf_plan_dft_1d(n_[2], s_, s_, FFTW_BACKWARD, FFTW_ESTIMATE);
    int n1 = n_[1], n0 = n_[0];
    planY_ = fftwf_plan_many_dft(1, &n1, n_[2], s_, nullptr, l2_, 1, s_, nullptr, l2_, 1,
                                 FFTW_BACKWARD, FFTW_ESTIMATE);
    planX_ = fftwf_plan_many_dft_c2r(1, &n0, n_[1], row_, nullptr, 1, half0_, out, nullptr, 1,
                                     n_[0], FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
    std::memset(row_, 0, static_cast<size_t>(n_[1]) * half0_ * sizeof(fftwf_complex));
    alignOut_ = fftwf_alignment_of(out);
  }
  ~BlockFft() {
    if (planZ_) fftwf_destroy_plan(planZ_);
    fftwf_destroy_plan(planY_);
    fftwf_destroy_plan(planX_);
    fftwf_free(s_);
    fftwf_free(row_);
  }
  BlockFft(const BlockFft&) = delete;
  BlockFft& operator=(const BlockFft&) = delete;

  void Clear() {
    std::memset(s_, 0, blk_ * static_cast<size_t>(nx_) * sizeof(fftwf_complex));
    std::fill(used_.begin(), used_.end(), 0);
  }
  // Adds the half coefficient c at the FFT-axis indices h.
  void Add(const int* h, Cplx c) {
    const std::complex<float> v(static_cast<float>(0.5 * c.real()),
                                static_cast<float>(0.5 * c.imag()));
    Put(h, std::conj(v), 1);
    Put(h, v, -1);
  }
  // The block's n1 n2 n3 map values into out (map axis 1 fastest), each
  // plane added to the statistics while it is in the cache.
  void Run(float* out, MapStatsAcc& stats) {
    const size_t nlines = static_cast<size_t>(nx_) * static_cast<size_t>(n_[1]);
    if (planZ_)
      for (size_t l = 0; l < nlines; ++l)
        if (used_[l]) fftwf_execute_dft(planZ_, Line(l), Line(l));
    for (int b0 = 0; b0 < nx_; ++b0) {
      fftwf_complex* blk = s_ + static_cast<size_t>(b0) * blk_;
      fftwf_execute_dft(planY_, blk, blk);
    }
    const size_t plane = static_cast<size_t>(n_[0]) * static_cast<size_t>(n_[1]);
    std::vector<float> bounce;
    for (int z = 0; z < n_[2]; ++z) {
      // The columns k1 >= nx stay zero: the row transform keeps its input.
      for (int y = 0; y < n_[1]; ++y)
        for (int b0 = 0; b0 < nx_; ++b0) {
          const fftwf_complex& v = Line(static_cast<size_t>(b0) * n_[1] + y)[z];
          fftwf_complex& r = row_[static_cast<size_t>(y) * half0_ + b0];
          r[0] = v[0];
          r[1] = v[1];
        }
      float* o = out + static_cast<size_t>(z) * plane;
      if (fftwf_alignment_of(o) == alignOut_) {
        fftwf_execute_dft_c2r(planX_, row_, o);
      } else {
        bounce.resize(plane + 16);
        float* t = bounce.data();
        while (fftwf_alignment_of(t) != alignOut_) ++t;
        fftwf_execute_dft_c2r(planX_, row_, t);
        std::memcpy(o, t, plane * sizeof(float));
      }
      stats.Add(o, plane);
    }
  }

 private:
  fftwf_complex* Line(size_t l) { return s_ + l * static_cast<size_t>(l2_); }
  void Put(const int* h, std::complex<float> v, int sign) {
    const int b0 = Wrap(sign * h[0], n_[0]);
    if (b0 >= half0_) return;  // its Hermitian mate is stored
    const size_t l = static_cast<size_t>(b0) * n_[1] + Wrap(sign * h[1], n_[1]);
    const int b2 = naxes_ == 3 ? Wrap(sign * h[2], n_[2]) : 0;
    fftwf_complex& e = Line(l)[b2];
    e[0] += v.real();
    e[1] += v.imag();
    used_[l] = 1;
  }
  static int Wrap(int h, int n) { return ((h % n) + n) % n; }

  int naxes_;
  int n_[3] = {1, 1, 1};
  int half0_ = 1, nx_ = 1, l2_ = 1;
  size_t blk_ = 0;
  int alignOut_ = 0;
  fftwf_complex* s_ = nullptr;    // the kept columns k1 < nx: [k1][k2][k3 padded to l2]
  fftwf_complex* row_ = nullptr;  // one plane of rows for the last transform
  std::vector<char> used_;        // (k1, k2) lines holding coefficients
  fftwf_plan planZ_ = nullptr, planY_ = nullptr, planX_ = nullptr;
};

void PutWord(std::string& out, int32_t v) {
  char b[4];
  std::memcpy(b, &v, 4);
  out.append(b, 4);
}
void PutWord(std::string& out, float v) {
  char b[4];
  std::memcpy(b, &v, 4);
  out.append(b, 4);
}
int32_t GetInt(const std::string& s, size_t w) {
  int32_t v;
  std::memcpy(&v, s.data() + 4 * w, 4);
  return v;
}
float GetFloat(const std::string& s, size_t w) {
  float v;
  std::memcpy(&v, s.data() + 4 * w, 4);
  return v;
}

}  // namespace

int FouSynthesis(const FouGrid& g, const std::vector<FouCoef>& c, FouMap& map,
                 const FouCancelFn& cancel) {
  map.Grid = g;
  map.Rho.resize(static_cast<size_t>(g.Points()));
  const int n = g.NDim;
  std::array<int, 6> hmin{}, hmax{};
  for (const auto& f : c)
    for (int i = 0; i < n; ++i) {
      hmin[i] = std::min(hmin[i], f.H[i]);
      hmax[i] = std::max(hmax[i], f.H[i]);
    }
  // FFT: axes 1 and 2, and axis 3 too when it covers the whole period, are
  // transformed at once; the remaining axes enumerate the blocks.
  const int nfft = !g.Fft ? 0 : (n >= 3 && WholePeriod(g, 2) ? 3 : 2);
  std::array<AxisTable, 6> tab;
  for (int i = std::max(nfft, 0); i < 6; ++i) tab[i].Build(hmin[i], hmax[i], g, i);
  if (nfft > 0) {
    long long perBlock = 1, nblock = 1;
    for (int m = 0; m < 6; ++m) (m < nfft ? perBlock : nblock) *= g.N[m];
    BlockFft fft(g, nfft, c, map.Rho.data());
    MapStatsAcc stats;
    for (long long blk = 0; blk < nblock; ++blk) {
      if (cancel && cancel()) return 1;
      Report().ProgressFraction(static_cast<double>(blk) / static_cast<double>(nblock));
      std::array<int, 6> k{};
      for (long long v = blk, i = nfft; i < 6; ++i) {
        k[i] = static_cast<int>(v % g.N[i]);
        v /= g.N[i];
      }
      fft.Clear();
      for (const auto& f : c) {
        Cplx v(f.Re, f.Im);
        for (int i = nfft; i < n; ++i) v *= tab[i].At(f.H[i], k[i]);
        fft.Add(f.H.data(), v);
      }
      fft.Run(map.Rho.data() + blk * perBlock, stats);
    }
    stats.Put(map);
    return 0;
  }
  const int w0 = tab[0].Width(), w1 = tab[1].Width();
  const int n0 = g.N[0], n1 = g.N[1];
  std::vector<Cplx> row(static_cast<size_t>(w0) * w1);  // R(h1, h2)
  std::vector<Cplx> t(static_cast<size_t>(w0) * n1);    // T(h1, x2)
  const long long nsec = g.Sections();
  for (long long sec = 0; sec < nsec; ++sec) {
    if (cancel && cancel()) return 1;
    Report().ProgressFraction(static_cast<double>(sec) / static_cast<double>(nsec));
    // Outer grid indices of the section (map axis 3 fastest).
    std::array<int, 6> k{};
    for (long long v = sec, i = 2; i < 6; ++i) {
      k[i] = static_cast<int>(v % g.N[i]);
      v /= g.N[i];
    }
    // Combine the contributions of the outer indices into the rows R(h1, h2).
    std::fill(row.begin(), row.end(), Cplx{});
    for (const auto& f : c) {
      Cplx v(f.Re, f.Im);
      for (int i = 2; i < n; ++i) v *= tab[i].At(f.H[i], k[i]);
      row[static_cast<size_t>(f.H[1] - hmin[1]) * w0 + (f.H[0] - hmin[0])] += v;
    }
    float* out = map.Rho.data() + sec * g.PerSection();
    // Beevers-Lipson: first over h2 for every point of axis 2, then over h1.
    for (int a = 0; a < w0; ++a)
      for (int j = 0; j < n1; ++j) {
        Cplx s{};
        for (int b = 0; b < w1; ++b) {
          const Cplx v = row[static_cast<size_t>(b) * w0 + a];
          if (v != Cplx{}) s += v * tab[1].E[static_cast<size_t>(b) * n1 + j];
        }
        t[static_cast<size_t>(a) * n1 + j] = s;
      }
    for (int j = 0; j < n1; ++j)
      for (int i = 0; i < n0; ++i) {
        double s = 0.;
        for (int a = 0; a < w0; ++a) {
          const Cplx u = t[static_cast<size_t>(a) * n1 + j],
                     e = tab[0].E[static_cast<size_t>(a) * n0 + i];
          s += u.real() * e.real() - u.imag() * e.imag();
        }
        out[static_cast<size_t>(j) * n0 + i] = static_cast<float>(s);
      }
  }
  FouMapStats(map);
  return 0;
}

double FouExMap(const std::vector<FouCoef>& c, int nDim, const double* x) {
  double rho = 0.;
  for (const auto& f : c) {
    double t = 0.;
    for (int i = 0; i < nDim; ++i) t += f.H[i] * x[i];
    t -= std::floor(t);
    rho += f.Re * std::cos(kTwoPi * t) + f.Im * std::sin(kTwoPi * t);
  }
  return rho;
}

void FouMapStats(FouMap& map) {
  MapStatsAcc acc;
  acc.Add(map.Rho.data(), map.Rho.size());
  acc.Put(map);
  if (map.Rho.empty()) map.Max = map.Min = 0.f;
}

int FouWriteM81(const std::string& path, const FouMap& map) {
  const FouGrid& g = map.Grid;
  const size_t rec = static_cast<size_t>(std::max<long long>(g.PerSection(), FouM81MinRecord));
  std::string out;
  out.reserve(4 * rec * static_cast<size_t>(g.Sections() + 2));
  for (int i = 0; i < 6; ++i) PutWord(out, static_cast<int32_t>(g.N[i]));
  PutWord(out, static_cast<int32_t>(g.PerSection()));
  PutWord(out, static_cast<int32_t>(g.Sections()));
  for (int i = 0; i < 6; ++i) {
    PutWord(out, static_cast<float>(g.XMin[i]));
    PutWord(out, static_cast<float>(g.XMax[i]));
  }
  for (int i = 0; i < 6; ++i) PutWord(out, static_cast<float>(g.Dx[i]));
  for (int i = 0; i < 6; ++i) PutWord(out, static_cast<int32_t>(g.Order[i]));
  PutWord(out, static_cast<int32_t>(map.MapType));
  PutWord(out, static_cast<int32_t>(map.Code));
  PutWord(out, static_cast<int32_t>(map.Satellites ? 1 : 0));
  PutWord(out, static_cast<int32_t>(map.PhaseInt));
  auto pad = [&] {
    out.resize((out.size() / (4 * rec) + (out.size() % (4 * rec) ? 1 : 0)) * 4 * rec, '\0');
  };
  pad();
  const size_t per = static_cast<size_t>(g.PerSection());
  for (long long s = 0; s < g.Sections(); ++s) {
    out.append(reinterpret_cast<const char*>(map.Rho.data() + s * per), 4 * per);
    pad();
  }
  PutWord(out, map.Max);
  PutWord(out, map.Min);
  pad();
  return FeWriteFileAtomic(path, out);
}

int FouReadM81(const std::string& path, FouMap& map) {
  std::string s;
  auto fail = [&] {
    ReportError(std::string(foumsg::Header),
                {"The file \"" + path + "\" does not exist or ", "cannot be properly opened."});
    return 1;
  };
  if (FeReadFile(path, s) || s.size() < 4 * FouM81MinRecord) return fail();
  FouMap m;
  FouGrid& g = m.Grid;
  for (int i = 0; i < 6; ++i) g.N[i] = GetInt(s, static_cast<size_t>(i));
  for (int i = 0; i < 6; ++i) {
    g.XMin[i] = GetFloat(s, 8 + 2 * static_cast<size_t>(i));
    g.XMax[i] = GetFloat(s, 9 + 2 * static_cast<size_t>(i));
    g.Dx[i] = GetFloat(s, 20 + static_cast<size_t>(i));
    g.Order[i] = GetInt(s, 26 + static_cast<size_t>(i));
  }
  m.MapType = GetInt(s, 32);
  m.Code = GetInt(s, 33);
  m.Satellites = GetInt(s, 34) != 0;
  m.PhaseInt = GetInt(s, 35);
  g.NDim = 3;
  double points = 1.;
  for (int i = 0; i < 6; ++i) {
    if (g.N[i] < 1) return fail();
    points *= g.N[i];
    if (points > static_cast<double>(s.size())) return fail();
    if (g.N[i] > 1 || g.Order[i] != i + 1) g.NDim = std::max(g.NDim, i + 1);
  }
  if (GetInt(s, 6) != g.PerSection() || GetInt(s, 7) != g.Sections()) return fail();
  const size_t rec = static_cast<size_t>(std::max<long long>(g.PerSection(), FouM81MinRecord));
  const size_t per = static_cast<size_t>(g.PerSection());
  if (s.size() < 4 * rec * static_cast<size_t>(g.Sections() + 2)) return fail();
  m.Rho.resize(static_cast<size_t>(g.Points()));
  for (long long k = 0; k < g.Sections(); ++k)
    std::memcpy(m.Rho.data() + k * per, s.data() + 4 * rec * static_cast<size_t>(k + 1), 4 * per);
  const size_t last = rec * static_cast<size_t>(g.Sections() + 1);
  FouMapStats(m);
  m.Max = GetFloat(s, last);
  m.Min = GetFloat(s, last + 1);
  map = std::move(m);
  return 0;
}

}  // namespace tarn
