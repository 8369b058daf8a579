// Reflection files: writing and reading an M90 of 1,000,000 reflections
// (target: under 2 s each) and an M95 of 200,000.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

#include "model/m95m90.hpp"

namespace {

constexpr int kNRefM90 = 1000000;
constexpr int kNRefM95 = 200000;

std::string TmpPath(const char* name) {
  return (std::filesystem::temp_directory_path() / name).string();
}

const std::vector<std::vector<tarn::M90Refl>>& M90Data() {
  static const auto data = [] {
    std::mt19937 rng(1);
    auto u = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
    std::vector<std::vector<tarn::M90Refl>> v(1, std::vector<tarn::M90Refl>(kNRefM90));
    for (auto& r : v[0]) {
      for (int j = 0; j < 3; ++j) r.H[j] = u(-40, 40);
      r.I = u(-9999, 999999) / 10.;
      r.SigI = u(1, 99999) / 10.;
      r.Tbar = u(0, 9999) / 10000.;
      for (double& d : r.DirCos) d = u(-10000, 10000) / 10000.;
      r.FrameInRun = u(1, 900);
      r.Run = u(1, 4);
    }
    return v;
  }();
  return data;
}

void BM_WriteM90(benchmark::State& state) {
  const auto& refl = M90Data();
  const std::vector<tarn::M90Block> blocks(1);
  const std::string path = TmpPath("tarn_bench.m90");
  for (auto _ : state)
    if (tarn::WriteM90File(path, blocks, refl)) state.SkipWithError("write failed");
  state.SetItemsProcessed(state.iterations() * kNRefM90);
}
BENCHMARK(BM_WriteM90)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ReadM90(benchmark::State& state) {
  const std::string path = TmpPath("tarn_bench.m90");
  if (tarn::WriteM90File(path, std::vector<tarn::M90Block>(1), M90Data())) {
    state.SkipWithError("write failed");
    return;
  }
  std::vector<tarn::M90Block> blocks;
  std::vector<std::vector<tarn::M90Refl>> refl;
  for (auto _ : state) {
    if (tarn::ReadM90File(path, blocks, refl)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(refl.data());
  }
  state.SetItemsProcessed(state.iterations() * kNRefM90);
  std::filesystem::remove(path);
}
BENCHMARK(BM_ReadM90)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_WriteReadM95(benchmark::State& state) {
  std::vector<std::vector<tarn::M95Refl>> refl(1, std::vector<tarn::M95Refl>(kNRefM95));
  for (int i = 0; i < kNRefM95; ++i) {
    auto& r = refl[0][i];
    r.No = i + 1;
    r.H[0] = i % 41 - 20;
    r.I = 1000. + i;
    r.SigI = 10.;
    r.FrameInRun = i % 100 + 1;
  }
  std::vector<tarn::M95Block> blocks(1);
  blocks[0].RunFrames = {100};
  const std::string path = TmpPath("tarn_bench.m95");
  std::vector<tarn::M95Block> b2;
  std::vector<std::vector<tarn::M95Refl>> r2;
  for (auto _ : state) {
    if (tarn::WriteM95File(path, blocks, refl) || tarn::ReadM95File(path, b2, r2))
      state.SkipWithError("M95 failed");
  }
  state.SetItemsProcessed(state.iterations() * kNRefM95);
  std::filesystem::remove(path);
}
BENCHMARK(BM_WriteReadM95)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
