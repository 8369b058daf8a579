#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "symmetry/site.hpp"
#include "symmetry/symm.hpp"

namespace {

// Fm-3m closed from its generators: 48 coset representatives, 4 centring vectors.
tarn::PhaseSymmetry Fm3m() {
  tarn::PhaseSymmetry ps = tarn::CrlPrimitivePhase(3);
  const std::vector<tarn::Vec6> centr = {{0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  for (const auto& c : centr) tarn::CrlAddCentr(ps, c.data());
  for (const char* g : {"-x -y -z", "-y x z", "x -y -z", "z x y"}) {
    tarn::SymmOp op;
    if (tarn::ReadSymm(g, 3, false, op) == 0)
      tarn::CrlAddOp(ps, op.RM6.data(), op.S6.data(), op.ZMag);
  }
  if (tarn::CompleteSymm(ps) != 0) ps.NSymm = 0;
  return ps;
}

// 2,000 harmonic atoms spread over every Wyckoff position type of Fm-3m.
void BM_AtSpec_Fm3m_2000(benchmark::State& state) {
  const tarn::PhaseSymmetry ps = Fm3m();
  if (ps.NSymm != 48) state.SkipWithError("group closure failed");
  const std::vector<std::array<double, 3>> sites = {
      {0, 0, 0},          {0.5, 0.5, 0.5},    {0.25, 0.25, 0.25}, {0, 0.25, 0.25},
      {0.23, 0, 0},       {0.11, 0.11, 0.11}, {0.13, 0.25, 0.25}, {0, 0.17, 0.17},
      {0.12, 0.12, 0.31}, {0.12, 0.21, 0.33}};
  std::vector<tarn::SiteAtom> atoms(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < atoms.size(); ++i) {
    atoms[i].Name = "A" + std::to_string(i + 1);
    atoms[i].X = sites[i % sites.size()];
  }
  tarn::SiteContext ctx;
  ctx.Symm = &ps;
  ctx.Metric = {100, 0, 0, 0, 100, 0, 0, 0, 100};
  for (auto _ : state) {
    tarn::SpecEquations eqs;
    if (tarn::AtSpec(atoms, ctx, eqs) != 0) state.SkipWithError("AtSpec failed");
    benchmark::DoNotOptimize(eqs.NEq);
  }
}
BENCHMARK(BM_AtSpec_Fm3m_2000)->Arg(2000)->Unit(benchmark::kMillisecond);

// Site operators and the shift onto the site of one atom at the origin.
void BM_SpecPos_Fm3m_Origin(benchmark::State& state) {
  const tarn::PhaseSymmetry ps = Fm3m();
  const double g[9] = {100, 0, 0, 0, 100, 0, 0, 0, 100};
  std::vector<tarn::SiteOp> ops;
  for (auto _ : state) {
    double x[3] = {0.0003, -0.0002, 0.0001};
    benchmark::DoNotOptimize(tarn::SpecPos(x, false, ps, g, nullptr, 0.01, &ops));
  }
}
BENCHMARK(BM_SpecPos_Fm3m_Origin)->Unit(benchmark::kMicrosecond);

}  // namespace
