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

#include "model/atoms.hpp"
#include "model/basic.hpp"
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
  Basic = BasicData{};
  Basic.Phase.resize(1);
  Basic.DatBlock.resize(1);
  Basic.DatBlock[0].Lambda = 0.71073;
  PhaseBasic& ph = Basic.Phase[0];
  const double cell[6] = {14.8, 17.3, 21.1, 90, 90, 90};
  std::copy(cell, cell + 6, ph.Cell);
  ph.SymmText = {"x y z", "-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2", "x+1/2 -y+1/2 -z"};
  ph.AtType = {"C", "O"};
  ph.AtTypeData.resize(2);
  ph.AtTypeData[0].FFBasic = {2.31, 20.8439, 1.02, 10.2075, 1.5886, 0.5687, 0.865, 51.6512, 0.2156};
  ph.AtTypeData[1].FFBasic = {3.0485, 13.2771, 2.2868,  5.7011, 1.5463,
                              0.3239, 0.867,   32.9089, 0.2508};
  if (SetBasicM50(Basic)) std::abort();
  Model = AtomModel{};
  Model.DatBlock.resize(1);
  Model.DatBlock[0].Scale.resize(1);
  Model.DatBlock[0].Scale.Val[0] = 1.;
  Model.DatBlock[0].Scale.Key[0] = 1;
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(0., 1.);
  for (int i = 0; i < nAtoms; ++i) {
    AtomRec a = DefaultAtom();
    a.Name = "A" + std::to_string(i + 1);
    a.Type = 1 + i % 2;
    a.Par.resize(AtomLayout(a.Shape).NPar);
    a.Par.Val[0] = 1.;
    for (int k = 0; k < 3; ++k) a.Par.Val[static_cast<size_t>(1 + k)] = u(rng);
    const double* g = ph.MetTensI;
    const double f = 2. * 9.8696 * (0.015 + 0.01 * u(rng));  // beta = 2 pi^2 U a*_i a*_j
    a.Par.Val[4] = f * g[0];
    a.Par.Val[5] = f * g[4] * 1.1;
    a.Par.Val[6] = f * g[8] * 0.9;
    a.Par.Val[7] = 0.1 * f * std::sqrt(g[0] * g[4]);
    for (int k = 1; k <= 9; ++k) a.Par.Key[static_cast<size_t>(k)] = 1;
    Model.Atom.push_back(a);
  }
  RefDefault();
  RefBuildParams(d.P);
  RefSetMatrixLimits(d.P);
  if (CalcPrepare(d.S, d.P)) std::abort();
  for (int r = 1; static_cast<int>(d.Refl.size()) < nRefl; ++r)
    for (int h = 0; h <= r && static_cast<int>(d.Refl.size()) < nRefl; ++h)
      for (int k = 0; k <= r && static_cast<int>(d.Refl.size()) < nRefl; ++k)
        for (int l = 0; l <= r && static_cast<int>(d.Refl.size()) < nRefl; ++l) {
          if (std::max({h, k, l}) != r) continue;
          CalcRefl c;
          c.H = {h, k, l, 0, 0, 0};
          double s = 0.;
          for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
              s += c.H[static_cast<size_t>(i)] * ph.MetTensI[3 * i + j] *
                   c.H[static_cast<size_t>(j)];
          c.SinThL = 0.5 * std::sqrt(s);
          d.Refl.push_back(c);
        }
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
