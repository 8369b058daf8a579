// Structure factors: one pass over 5,000 reflections of a 60-atom acentric
// structure in P2(1)2(1)2(1) (4 operators), anisotropic atoms, on one core.
// Targets: Fcalc alone < 25 ms, with the derivatives of all positional and
// anisotropic parameters < 80 ms. The centrosymmetric variant (P2(1)/c) is
// shown beside it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "model/atoms.hpp"
#include "model/basic.hpp"
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
  Basic = BasicData{};
  Basic.Phase.resize(1);
  Basic.DatBlock.resize(1);
  Basic.DatBlock[0].Lambda = 0.71073;
  PhaseBasic& ph = Basic.Phase[0];
  const double cell[6] = {9.8, 12.3, 15.1, 90, centro ? 101.5 : 90, 90};
  std::copy(cell, cell + 6, ph.Cell);
  ph.SymmText =
      centro ? std::vector<std::string>{"x y z", "-x y+1/2 -z+1/2", "-x -y -z", "x -y+1/2 z+1/2"}
             : std::vector<std::string>{"x y z", "-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2",
                                        "x+1/2 -y+1/2 -z"};
  ph.AtType = {"C", "N", "O"};
  ph.AtTypeData.resize(3);
  ph.AtTypeData[0].FFBasic = {2.31, 20.8439, 1.02, 10.2075, 1.5886, 0.5687, 0.865, 51.6512, 0.2156};
  ph.AtTypeData[1].FFBasic = {12.2126, 0.0057, 3.1322, 9.8933, 2.0125,
                              28.9975, 1.1663, 0.5826, -11.529};
  ph.AtTypeData[2].FFBasic = {3.0485, 13.2771, 2.2868,  5.7011, 1.5463,
                              0.3239, 0.867,   32.9089, 0.2508};
  if (SetBasicM50(Basic)) std::abort();
  Model = AtomModel{};
  Model.DatBlock.resize(1);
  Model.DatBlock[0].Scale.resize(1);
  Model.DatBlock[0].Scale.Val[0] = 1.;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0., 1.);
  for (int i = 0; i < kNAtoms; ++i) {
    AtomRec a = DefaultAtom();
    a.Name = "A" + std::to_string(i + 1);
    a.Type = 1 + i % 3;
    a.Par.resize(AtomLayout(a.Shape).NPar);
    a.Par.Val[0] = 1.;
    for (int k = 0; k < 3; ++k) a.Par.Val[static_cast<size_t>(1 + k)] = u(rng);
    // beta = 2 pi^2 U a*_i a*_j with U about 0.02 A^2 and a small anisotropy.
    const double* g = ph.MetTensI;
    const double f = 2. * 9.8696 * (0.015 + 0.01 * u(rng));
    a.Par.Val[4] = f * g[0];
    a.Par.Val[5] = f * g[4] * 1.1;
    a.Par.Val[6] = f * g[8] * 0.9;
    a.Par.Val[7] = 0.1 * f * std::sqrt(g[0] * g[4]);
    Model.Atom.push_back(a);
  }
  RefDefault();
  RefBuildParams(d.P);
  if (CalcPrepare(d.S, d.P)) std::abort();
  // 5,000 reflections in a sphere of growing radius.
  for (int r = 1; static_cast<int>(d.Refl.size()) < kNRefl; ++r)
    for (int h = -r; h <= r && static_cast<int>(d.Refl.size()) < kNRefl; ++h)
      for (int k = 0; k <= r && static_cast<int>(d.Refl.size()) < kNRefl; ++k)
        for (int l = 0; l <= r && static_cast<int>(d.Refl.size()) < kNRefl; ++l) {
          if (std::max({std::abs(h), k, l}) != r) continue;
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
