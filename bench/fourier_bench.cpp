// Fourier synthesis of a whole cell of the size of SH2185_Cu (7.72 x 11.07 x
// 20.94 A, P212121, step 0.1 A: 128 x 128 x 256 points) from synthetic
// coefficients of the unique half of reciprocal space to sin(th)/lambda 0.6
// (about 7400 coefficients, i.e. some 3700 unique reflections with their
// Friedel mates): by FFT, by Beevers-Lipson summation of the same grid, and
// the peak search of the map.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "fourier/foupeaks.hpp"
#include "fourier/fourier.hpp"
#include "model/basic.hpp"

namespace tarn {
namespace {

struct FouBenchData {
  BasicData Basic;
  std::vector<FouCoef> Coef;
  FouGrid Grid;
  FouMap Map;
};

FouBenchData& Data() {
  static FouBenchData d = [] {
    FouBenchData b;
    b.Basic.Phase.resize(1);
    b.Basic.DatBlock.resize(1);
    PhaseBasic& ph = b.Basic.Phase[0];
    const double cell[6] = {7.7192, 11.0672, 20.9366, 90, 90, 90};
    std::copy(cell, cell + 6, ph.Cell);
    ph.SymmText = {"x y z", "-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2", "x+1/2 -y+1/2 -z"};
    if (SetBasicM50(b.Basic)) std::abort();
    std::mt19937 rng(11);
    std::normal_distribution<double> n(0., 0.05);
    const int hm[3] = {10, 14, 26};
    for (int h = 0; h <= hm[0]; ++h)
      for (int k = -hm[1]; k <= hm[1]; ++k)
        for (int l = -hm[2]; l <= hm[2]; ++l) {
          if (h == 0 && (k < 0 || (k == 0 && l < 0))) continue;
          const double s =
              0.5 * std::sqrt(h * h / (cell[0] * cell[0]) + k * k / (cell[1] * cell[1]) +
                              l * l / (cell[2] * cell[2]));
          if (s > 0.6) continue;
          b.Coef.push_back({{h, k, l, 0, 0, 0}, n(rng), n(rng)});
        }
    b.Grid.N = {128, 128, 256, 1, 1, 1};
    b.Grid.Dx = {1. / 128, 1. / 128, 1. / 256, 1, 1, 1};
    b.Grid.XMax = {1. - 1. / 128, 1. - 1. / 128, 1. - 1. / 256, 0, 0, 0};
    b.Grid.Fft = true;
    if (FouSynthesis(b.Grid, b.Coef, b.Map)) std::abort();
    return b;
  }();
  return d;
}

void BM_FouSynthesisFft(benchmark::State& state) {
  FouBenchData& d = Data();
  FouMap m;
  for (auto _ : state) {
    if (FouSynthesis(d.Grid, d.Coef, m)) state.SkipWithError("cancelled");
    benchmark::DoNotOptimize(m.Max);
  }
  state.counters["coef"] = static_cast<double>(d.Coef.size());
  state.counters["points"] = static_cast<double>(d.Grid.Points());
}
BENCHMARK(BM_FouSynthesisFft)->Unit(benchmark::kMillisecond);

void BM_FouSynthesisBeeversLipson(benchmark::State& state) {
  FouBenchData& d = Data();
  FouGrid g = d.Grid;
  g.Fft = false;
  FouMap m;
  for (auto _ : state) {
    if (FouSynthesis(g, d.Coef, m)) state.SkipWithError("cancelled");
    benchmark::DoNotOptimize(m.Max);
  }
  state.counters["coef"] = static_cast<double>(d.Coef.size());
}
BENCHMARK(BM_FouSynthesisBeeversLipson)->Unit(benchmark::kMillisecond);

void BM_FouPeakSearch(benchmark::State& state) {
  FouBenchData& d = Data();
  std::vector<FouPeak> out;
  for (auto _ : state) {
    if (FouFindPeaks(d.Map, d.Coef, d.Basic.Phase[0], false, 30, 0.8, out))
      state.SkipWithError("cancelled");
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["peaks"] = static_cast<double>(out.size());
}
BENCHMARK(BM_FouPeakSearch)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarn
