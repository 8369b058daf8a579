// Least-squares cycle for 300 parameters / 4,000 reflections and 1,000
// parameters / 20,000 reflections, single-threaded: BM_RefineCycle is the
// whole cycle (structure factors with derivatives of a synthetic anisotropic
// structure in P2(1)2(1)2(1), compression, accumulation, inversion, shifts);
// the others time the least-squares part alone from synthetic derivative rows.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench_structure.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"
#include "refine/calc.hpp"
#include "refine/lsq.hpp"
#include "refine/refcommands.hpp"

namespace {

using namespace tarn;

// Pool of random derivative rows (more rows than parameters, so that the
// matrix is regular), reused cyclically over the reflections.
struct Rows {
  int N = 0, P = 0;
  std::vector<double> G;  // P x N
  const double* Row(long long i) const { return G.data() + (i % P) * N; }
};

Rows MakeRows(int n) {
  Rows r;
  r.N = n;
  r.P = 2 * n + 61;
  r.G.resize(static_cast<size_t>(r.P) * static_cast<size_t>(n));
  uint64_t s = 0x9E3779B97F4A7C15ull;
  for (double& x : r.G) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    x = static_cast<double>(s >> 11) * (1. / 9007199254740992.) - 0.5;
  }
  return r;
}

RefParams PlainParams(int n) {
  RefParams p;
  for (int i = 0; i < n; ++i) {
    RefParInfo in;
    in.Name = in.Label = "p" + std::to_string(i + 1);
    p.Info.push_back(in);
    p.Val.push_back(0.);
    p.Sig.push_back(0.);
    p.Key.push_back(1);
    p.Map.push_back(i);
    p.Refined.push_back(i);
    p.DepOf.push_back(-1);
  }
  p.NRef = n;
  return p;
}

void Accumulate(NormalEq& ne, const Rows& rows, int nRefl) {
  RefLoopNuluj(ne, rows.N);
  for (int i = 0; i < nRefl; ++i)
    SumaRefine(ne, 1. + 0.001 * (i % 17), 0.01 * ((i % 13) - 6), rows.Row(i));
  SumaFlush(ne);
}

void BM_LsqCycle(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), m = static_cast<int>(state.range(1));
  const Rows rows = MakeRows(n);
  RefParams p = PlainParams(n);
  NormalEq ne;
  InverResult inv;
  ZmenaState st;
  std::vector<std::string> lst;
  for (auto _ : state) {
    Accumulate(ne, rows, m);
    if (Inver(ne, p, InverSettings{}, 1., m, inv, lst) != 0) state.SkipWithError("Inver");
    if (Zmena(p, inv, 1., st, lst) != 0) state.SkipWithError("Zmena");
    benchmark::DoNotOptimize(p.Val.data());
  }
}
BENCHMARK(BM_LsqCycle)->Args({300, 4000})->Args({1000, 20000})->Unit(benchmark::kMillisecond);

void BM_LsqAccumulate(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), m = static_cast<int>(state.range(1));
  LsqSetKernel(static_cast<int>(state.range(2)));
  const Rows rows = MakeRows(n);
  NormalEq ne;
  for (auto _ : state) {
    Accumulate(ne, rows, m);
    benchmark::DoNotOptimize(ne.Am.data());
  }
  LsqSetKernel(1);
  state.counters["GFlop/s"] = benchmark::Counter(static_cast<double>(m) * n * (n + 1.),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LsqAccumulate)
    ->Args({1000, 20000, 1})
    ->Args({1000, 4000, 0})
    ->Unit(benchmark::kMillisecond);

void BM_LsqInver(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const Rows rows = MakeRows(n);
  RefParams p = PlainParams(n);
  NormalEq ne0;
  Accumulate(ne0, rows, 3 * n);
  InverResult inv;
  std::vector<std::string> lst;
  for (auto _ : state) {
    state.PauseTiming();
    NormalEq ne = ne0;
    state.ResumeTiming();
    if (Inver(ne, p, InverSettings{}, 1., 3 * n, inv, lst) != 0) state.SkipWithError("Inver");
    benchmark::DoNotOptimize(inv.Sig.data());
  }
}
BENCHMARK(BM_LsqInver)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);

// ------------------------------------------------------------ whole cycle
// nAtoms anisotropic atoms (x, y, z and six beta refined: 9 parameters each)
// plus the scale; reflections in growing shells, observations = the
// calculated values of a slightly displaced model.
struct CycleData {
  RefParams P;
  CalcSetup S;
  std::vector<CalcRefl> Refl;
  std::vector<double> Fo;
};

void BuildCycle(int nAtoms, int nRefl, CycleData& d) {
  bench::BenchPhase({14.8, 17.3, 21.1, 90, 90, 90},
                    {"x y z", "-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2", "x+1/2 -y+1/2 -z"}, {"C", "O"});
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(0., 1.);
  bench::BenchAtoms(nAtoms, rng, true);
  RefBuildParams(d.P);
  RefSetMatrixLimits(d.P);
  if (CalcPrepare(d.S, d.P)) std::abort();
  d.Refl = bench::BenchReflections(nRefl, false);
  CalcOut out;
  for (const CalcRefl& r : d.Refl) {
    if (Calc(d.S, r, false, out)) std::abort();
    d.Fo.push_back(out.Fc * (1. + 0.02 * (u(rng) - 0.5)));
  }
}

void BM_RefineCycle(benchmark::State& state) {
  const int nPar = static_cast<int>(state.range(0)), nRefl = static_cast<int>(state.range(1));
  CycleData d;
  BuildCycle((nPar - 1) / 9, nRefl, d);
  const RefParams p0 = d.P;
  NormalEq ne;
  InverResult inv;
  ZmenaState st;
  std::vector<std::string> lst;
  CalcOut out;
  std::vector<double> derc(static_cast<size_t>(d.P.NRef));
  for (auto _ : state) {
    RefLoopNuluj(ne, d.P.NRef);
    double wr2 = 0.;
    for (size_t i = 0; i < d.Refl.size(); ++i) {
      if (Calc(d.S, d.Refl[i], true, out)) state.SkipWithError("Calc");
      RefDerCompress(d.P, out.Der.data(), derc.data());
      const double sig = 0.01 * d.Fo[i] + 0.1, w = 1. / (sig * sig), r = d.Fo[i] - out.Fc;
      wr2 += w * r * r;
      SumaRefine(ne, w, r, derc.data());
    }
    const double gof = std::sqrt(wr2 / std::max(1, nRefl - d.P.NRef));
    if (Inver(ne, d.P, InverSettings{}, gof, nRefl, inv, lst) != 0) state.SkipWithError("Inver");
    if (Zmena(d.P, inv, 1., st, lst) != 0) state.SkipWithError("Zmena");
    CalcUpdate(d.S, d.P);
    state.PauseTiming();
    d.P = p0;  // every iteration starts from the same model
    CalcUpdate(d.S, d.P);
    state.ResumeTiming();
  }
  state.counters["par"] = d.P.NRef;
}
BENCHMARK(BM_RefineCycle)->Args({300, 4000})->Args({1000, 20000})->Unit(benchmark::kMillisecond);

}  // namespace
