// Structure factors: one pass over 5,000 reflections of a 60-atom acentric
// structure in P2(1)2(1)2(1) (4 operators), anisotropic atoms, on one core.
// Targets: Fcalc alone < 25 ms, with the derivatives of all positional and
// anisotropic parameters < 80 ms. The centrosymmetric variant (P2(1)/c) is
// shown beside it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "bench_structure.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"
#include "refine/calc.hpp"
#include "refine/constr.hpp"
#include "refine/refcommands.hpp"

namespace {

using namespace tarn;

constexpr int kNAtoms = 60;
constexpr int kNRefl = 5000;

struct CalcBenchData {
  RefParams P;
  CalcSetup S;
  std::vector<CalcRefl> Refl;
};

void BuildStructure(bool centro, CalcBenchData& d) {
  bench::BenchPhase(
      {9.8, 12.3, 15.1, 90, centro ? 101.5 : 90, 90},
      centro ? std::vector<std::string>{"x y z", "-x y+1/2 -z+1/2", "-x -y -z", "x -y+1/2 z+1/2"}
             : std::vector<std::string>{"x y z", "-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2",
                                        "x+1/2 -y+1/2 -z"},
      {"C", "N", "O"});
  std::mt19937 rng(7);
  bench::BenchAtoms(kNAtoms, rng, false);
  RefBuildParams(d.P);
  if (CalcPrepare(d.S, d.P)) std::abort();
  d.Refl = bench::BenchReflections(kNRefl, true);
}

CalcBenchData& Data(bool centro) {
  static CalcBenchData acentric, centric;
  static bool built[2] = {false, false};
  CalcBenchData& d = centro ? centric : acentric;
  if (!built[centro]) {
    BuildStructure(centro, d);
    built[centro] = true;
  }
  return d;
}

void Pass(benchmark::State& state, bool centro, bool der) {
  CalcBenchData& d = Data(centro);
  CalcOut out;
  for (auto _ : state) {
    double sum = 0.;
    for (const CalcRefl& r : d.Refl) {
      if (Calc(d.S, r, der, out)) state.SkipWithError("numerical problem");
      sum += out.Fc + (der ? out.Der[1] : 0.);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.counters["refl"] = static_cast<double>(d.Refl.size());
}

void BM_CalcFcalc(benchmark::State& state) {
  Pass(state, false, false);
}
void BM_CalcFcalcDer(benchmark::State& state) {
  Pass(state, false, true);
}
void BM_CalcFcalcCentro(benchmark::State& state) {
  Pass(state, true, false);
}
void BM_CalcFcalcCentroDer(benchmark::State& state) {
  Pass(state, true, true);
}
BENCHMARK(BM_CalcFcalc)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalcFcalcDer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalcFcalcCentro)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CalcFcalcCentroDer)->Unit(benchmark::kMillisecond);

}  // namespace
