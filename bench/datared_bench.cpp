// Data reduction: merging 1,000,000 measured reflections under mmm, and the
// whole road of a synthetic 1,000,000-reflection HKLF 4 file: import into M95
// and creation of M90 with merging and statistics.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "datared/average.hpp"
#include "model/structure.hpp"
#include "datared/createm90.hpp"
#include "datared/import.hpp"
#include "app/toolkit.hpp"
#include "model/basic.hpp"
#include "model/m95m90.hpp"
#include "model/refl.hpp"
#include "symmetry/symm.hpp"

namespace {

using namespace tarn;

// 1,000,000 synthetic measurements: indices |h|,|k|,|l| <= 30 drawn by a
// linear congruential generator, intensities with 5 % noise.
void FillMillion() {
  constexpr int kN = 1000000;
  Struct.Refl.Pack = IndPackSpec{};
  Struct.Refl.Pack.N = 3;
  for (int i = 0; i < 3; ++i) {
    Struct.Refl.Pack.Offset[i] = 30;
    Struct.Refl.Pack.Range[i] = 61;
  }
  ReallocRefArrays(kN);
  Struct.Refl.NRef = kN;
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
    Struct.Refl.HCondAr[k] = IndPack(h, Struct.Refl.Pack);
    double i0 = 1000. / (1. + h[0] * h[0] + h[1] * h[1] + h[2] * h[2]);
    Struct.Refl.RIAr[k] = i0 * (1. + 0.05 * ((next() % 2001) / 1000. - 1.));
    Struct.Refl.RSAr[k] = 0.1 + 0.03 * i0;
    Struct.Refl.ICullAr[k] = 0;
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
  state.SetItemsProcessed(state.iterations() * Struct.Refl.NRef);
}
BENCHMARK(BM_AverageMillionMmm)->Unit(benchmark::kMillisecond);

// Writes an HKLF 4 file of n measurements (|h|,|k|,|l| <= 30, P2(1)2(1)2(1)
// cell 10 x 11 x 12 A) into dir and returns its path.
std::string WriteHklf4(const std::filesystem::path& dir, int n) {
  const std::string path = (dir / "million.hkl").string();
  std::string text;
  text.reserve(static_cast<size_t>(n) * 33 + 64);
  uint32_t s = 88172645u;
  auto next = [&] {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  };
  for (int k = 0; k < n; ++k) {
    const int h = static_cast<int>(next() % 61) - 30, kk = static_cast<int>(next() % 61) - 30,
              l = static_cast<int>(next() % 61) - 30;
    if (h == 0 && kk == 0 && l == 0) {
      --k;
      continue;
    }
    const double i0 = 50000. / (1. + h * h + kk * kk + l * l);
    const double i = i0 * (1. + 0.05 * ((next() % 2001) / 1000. - 1.));
    text += fmt::format("{:4d}{:4d}{:4d}{:8.2f}{:8.2f}{:4d}\n", h, kk, l, i, 0.5 + 0.03 * i0,
                        1 + static_cast<int>(next() % 20));
  }
  text += "   0   0   0    0.00    0.00   0\n";
  std::ofstream(path) << text;
  return path;
}

void BM_ImportAndMergeMillionHklf4(benchmark::State& state) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tarn_bench_rd_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string hkl = WriteHklf4(dir, 1000000);
  const std::string base = (dir / "x").string();
  FeSilentToolkit silent;
  FeSetToolkit(&silent);
  Struct.Basic = BasicData{};
  PhaseBasic p;
  p.Cell[0] = 10.;
  p.Cell[1] = 11.;
  p.Cell[2] = 12.;
  p.Symmetry = CrlPrimitivePhase(3);
  for (const char* t : {"-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2", "x+1/2 -y+1/2 -z"}) {
    SymmOp op;
    if (ReadSymm(t, 3, false, op) != 0) state.SkipWithError("symmetry");
    CrlAddOp(p.Symmetry, op.RM6.data(), op.S6.data(), 1.);
  }
  if (CompleteSymm(p.Symmetry) != 0) state.SkipWithError("symmetry");
  Struct.Basic.Phase.push_back(p);
  int nunique = 0;
  double import_s = 0., m90_s = 0.;
  for (auto _ : state) {
    std::filesystem::remove(base + ".m95");
    std::filesystem::remove(base + ".m90");
    Struct.Refl.M95.clear();
    Struct.Refl.M90.clear();
    const auto t0 = std::chrono::steady_clock::now();
    ImpReport rep;
    ErrorRecord err;
    if (EM9ImportFile(ImpShelxI, hkl, ImpOptions{}, base + ".m95", rep, err) != 0)
      state.SkipWithError(ImpErrorText(err).c_str());
    const auto t1 = std::chrono::steady_clock::now();
    if (EM9CreateM90(base) != 0) state.SkipWithError("M90 not created");
    const auto t2 = std::chrono::steady_clock::now();
    import_s += std::chrono::duration<double>(t1 - t0).count();
    m90_s += std::chrono::duration<double>(t2 - t1).count();
    nunique = Struct.Refl.M90.empty() ? 0 : Struct.Refl.M90[0].NRef;
  }
  state.counters["unique"] = nunique;
  // Wall time of the two steps per iteration, s.
  state.counters["import_s"] = import_s / state.iterations();
  state.counters["m90_s"] = m90_s / state.iterations();
  state.SetItemsProcessed(state.iterations() * 1000000);
  FeSetToolkit(nullptr);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ImportAndMergeMillionHklf4)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
