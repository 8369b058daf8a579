#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "symmetry/symm.hpp"

namespace {

// Phase holding the identity, the centring vectors and the generators.
tarn::PhaseSymmetry Generators(const std::vector<std::string>& gens,
                               const std::vector<tarn::Vec6>& centr) {
  tarn::PhaseSymmetry ps = tarn::CrlPrimitivePhase(3);
  for (const auto& c : centr) tarn::CrlAddCentr(ps, c.data());
  for (const auto& g : gens) {
    tarn::SymmOp op;
    if (tarn::ReadSymm(g, 3, false, op) == 0)
      tarn::CrlAddOp(ps, op.RM6.data(), op.S6.data(), op.ZMag);
  }
  return ps;
}

void CloseGroup(benchmark::State& state, const std::vector<std::string>& gens,
                const std::vector<tarn::Vec6>& centr, int expect) {
  const tarn::PhaseSymmetry start = Generators(gens, centr);
  for (auto _ : state) {
    tarn::PhaseSymmetry ps = start;
    if (tarn::CompleteSymm(ps) != 0 || ps.NSymm != expect) state.SkipWithError("closure failed");
    benchmark::DoNotOptimize(ps.NSymm);
  }
}

// The largest point group with face centring: 48 coset representatives.
void BM_CompleteSymm_Fm3m(benchmark::State& state) {
  CloseGroup(state, {"-x -y -z", "-y x z", "x -y -z", "z x y"},
             {{0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}}, 48);
}
BENCHMARK(BM_CompleteSymm_Fm3m)->Unit(benchmark::kMicrosecond);

void BM_CompleteSymm_Ia3d(benchmark::State& state) {
  CloseGroup(state,
             {"-x -y -z", "-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2", "z x y", "y+3/4 x+1/4 -z+1/4"},
             {{0.5, 0.5, 0.5}}, 48);
}
BENCHMARK(BM_CompleteSymm_Ia3d)->Unit(benchmark::kMicrosecond);

void BM_CompleteSymm_P63mmc(benchmark::State& state) {
  CloseGroup(state, {"-x -y -z", "-y x-y z", "-x -y z+1/2", "y x -z"}, {}, 24);
}
BENCHMARK(BM_CompleteSymm_P63mmc)->Unit(benchmark::kMicrosecond);

void BM_ReadSymm(benchmark::State& state) {
  tarn::SymmOp op;
  for (auto _ : state) {
    if (tarn::ReadSymm("-x1+x4+1/2 x2-x1 0.5-x3 x4+0.3333333", 4, false, op) != 0)
      state.SkipWithError("read failed");
    benchmark::DoNotOptimize(op.S6[0]);
  }
}
BENCHMARK(BM_ReadSymm);

}  // namespace
