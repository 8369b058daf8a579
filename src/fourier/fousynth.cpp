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

// A two-dimensional FFT plan over one section (map axis 1 fastest).
class SectionFft {
 public:
  SectionFft(int n0, int n1) : n_(static_cast<size_t>(n0) * n1) {
    buf_ = fftw_alloc_complex(n_);
    plan_ = fftw_plan_dft_2d(n1, n0, buf_, buf_, FFTW_FORWARD, FFTW_ESTIMATE);
  }
  ~SectionFft() {
    fftw_destroy_plan(plan_);
    fftw_free(buf_);
  }
  SectionFft(const SectionFft&) = delete;
  SectionFft& operator=(const SectionFft&) = delete;
  Cplx* Data() { return reinterpret_cast<Cplx*>(buf_); }
  void Run() { fftw_execute(plan_); }

 private:
  size_t n_;
  fftw_complex* buf_;
  fftw_plan plan_;
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
  map.Rho.assign(static_cast<size_t>(g.Points()), 0.f);
  const int n = g.NDim;
  std::array<int, 6> hmin{}, hmax{};
  for (const auto& f : c)
    for (int i = 0; i < n; ++i) {
      hmin[i] = std::min(hmin[i], f.H[i]);
      hmax[i] = std::max(hmax[i], f.H[i]);
    }
  std::array<AxisTable, 6> tab;
  for (int i = 0; i < 6; ++i) tab[i].Build(hmin[i], hmax[i], g, i);
  const int w0 = tab[0].Width(), w1 = tab[1].Width();
  const int n0 = g.N[0], n1 = g.N[1];
  std::vector<Cplx> row(static_cast<size_t>(w0) * w1);  // R(h1, h2)
  std::vector<Cplx> t(static_cast<size_t>(w0) * n1);    // T(h1, x2)
  std::unique_ptr<SectionFft> fft;
  if (g.Fft) fft = std::make_unique<SectionFft>(n0, n1);
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
    if (g.Fft) {
      // Axes covering the whole period from 0: rho(x_k) = Re sum_h R(h) exp(-2 pi i h k / N),
      // the forward transform of R placed at h mod N.
      Cplx* d = fft->Data();
      std::fill(d, d + static_cast<size_t>(n0) * n1, Cplx{});
      for (int b = 0; b < w1; ++b)
        for (int a = 0; a < w0; ++a) {
          const Cplx v = row[static_cast<size_t>(b) * w0 + a];
          if (v == Cplx{}) continue;
          const int i0 = ((a + hmin[0]) % n0 + n0) % n0, i1 = ((b + hmin[1]) % n1 + n1) % n1;
          d[static_cast<size_t>(i1) * n0 + i0] += v;
        }
      fft->Run();
      for (long long p = 0; p < g.PerSection(); ++p) out[p] = static_cast<float>(d[p].real());
      continue;
    }
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
  if (map.Rho.empty()) {
    map.Max = map.Min = 0.f;
    map.Rms = 0.;
    return;
  }
  float mx = -std::numeric_limits<float>::max(), mn = std::numeric_limits<float>::max();
  double s2 = 0.;
  for (float v : map.Rho) {
    mx = std::max(mx, v);
    mn = std::min(mn, v);
    s2 += static_cast<double>(v) * v;
  }
  map.Max = mx;
  map.Min = mn;
  map.Rms = std::sqrt(s2 / static_cast<double>(map.Rho.size()));
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
