#include <benchmark/benchmark.h>

#include "util/strings.hpp"

// Number conversion sits under every file reader.
static void BM_ToReal(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(tarn::ToReal(" -12.345678e-3 "));
}
BENCHMARK(BM_ToReal);
