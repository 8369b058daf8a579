// Data reduction: merging 1,000,000 measured reflections under mmm.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "datared/average.hpp"
#include "model/refl.hpp"

namespace {

using namespace tarn;

// 1,000,000 synthetic measurements: indices |h|,|k|,|l| <= 30 drawn by a
// linear congruential generator, intensities with 5 % noise.
void FillMillion() {
  constexpr int kN = 1000000;
  Refl.Pack = IndPackSpec{};
  Refl.Pack.N = 3;
  for (int i = 0; i < 3; ++i) {
    Refl.Pack.Offset[i] = 30;
    Refl.Pack.Range[i] = 61;
  }
  ReallocRefArrays(kN);
  Refl.NRef = kN;
  uint32_t s = 2463534242u;
  auto next = [&] {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  };
  for (int k = 0; k < kN; ++k) {
    int h[3] = {static_cast<int>(next() % 61) - 30, static_cast<int>(next() % 61) - 30,
                static_cast<int>(next() % 61) - 30};
    Refl.HCondAr[k] = IndPack(h, Refl.Pack);
    double i0 = 1000. / (1. + h[0] * h[0] + h[1] * h[1] + h[2] * h[2]);
    Refl.RIAr[k] = i0 * (1. + 0.05 * ((next() % 2001) / 1000. - 1.));
    Refl.RSAr[k] = 0.1 + 0.03 * i0;
    Refl.ICullAr[k] = 0;
  }
}

void BM_AverageMillionMmm(benchmark::State& state) {
  FillMillion();
  std::vector<Mat6> rot(4);
  const int diag[4][3] = {{1, 1, 1}, {-1, -1, 1}, {-1, 1, -1}, {1, -1, -1}};
  for (int r = 0; r < 4; ++r)
    for (int i = 0; i < 3; ++i) rot[r][i * 3 + i] = diag[r][i];
  AveSettings set;
  set.MetTensI = {1 / 100., 0, 0, 0, 1 / 121., 0, 0, 0, 1 / 144.};
  set.PrintMode = AvePrintSuppressed;
  for (auto _ : state) {
    AveResult res;
    if (DRAverageForPointGroup(rot, true, set, res) != 0) state.SkipWithError("failed");
    benchmark::DoNotOptimize(res.NUnique);
  }
  state.SetItemsProcessed(state.iterations() * Refl.NRef);
}
BENCHMARK(BM_AverageMillionMmm)->Unit(benchmark::kMillisecond);

}  // namespace
