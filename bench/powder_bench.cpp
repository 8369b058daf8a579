// One Le Bail cycle on a synthetic pattern of about 3,000 points and 400
// reflections with the divergence (FCJ) asymmetry: BM_PwdLeBailCycle is the
// profile sums with derivatives of the least-squares loop (cell, zero,
// background, widths), BM_PwdLeBailCycleAsym the same with the asymmetry
// refined; BM_PwdDecomposition the Le Bail partition to its end.
#include <benchmark/benchmark.h>

#include <cmath>

#include "powder/lebail.hpp"
#include "refine/refine_pwd.hpp"

namespace {

using namespace tarn;

PwdPatternData Pattern() {
  PwdPatternData p;
  for (int i = 0; i < 3000; ++i) p.X.push_back(10. + 0.03 * i);
  p.Radiation = 1;
  p.Lam = {1.5406, 1.5444};
  p.NLam = 2, p.Ratio = 0.5;
  p.Bckg.Coef = {100., -10., 5., 1., 0., 0.};
  PwdMakeSkipFlags(p, {});
  PwdPhaseData ph;
  ph.Cell = {10.1, 6.8, 8.15, 90., 90., 90.};
  PhaseSymmetry s = CrlPrimitivePhase(3);
  for (int k = 0; k < 3; ++k) {  // mmm: the twofold axes
    SymmOp& op = s.Op[static_cast<size_t>(k + 1)];
    op = s.Op[0];
    op.RM = {k == 0 ? 1. : -1., 0, 0, 0, k == 1 ? 1. : -1., 0, 0, 0, k == 2 ? 1. : -1.};
  }
  s.NSymm = 4;
  ph.Sym = s;
  ph.Prof.GU = 8., ph.Prof.GV = -4., ph.Prof.GW = 6., ph.Prof.LY = 4.;
  ph.Prof.Asymm = PwdAsymDivergence, ph.Prof.UseHS = true, ph.Prof.NAsym = 2;
  ph.Prof.Asym = {0.015, 0.015};
  ph.Prof.DerivAsym = false;
  p.Phases.push_back(ph);
  ErrorRecord err;
  (void)PwdGenerateRefl(p, err);
  PwdSetBackgroundPoints(p);
  for (auto& r : p.Refl) r.I = {1000., 500.};
  PwdSetPoints(p);
  p.Yo = p.Yc;
  for (double y : p.Yo) p.Sig.push_back(std::sqrt(y));
  return p;
}

void BM_PwdLeBailCycle(benchmark::State& st) {
  PwdPatternData p = Pattern();
  PwdFitFlags f;
  f.Bckg.assign(6, 1);
  f.Zero = true;
  f.Cell = {1};
  std::array<char, PwdNWidth> w{};
  w[PwdU] = w[PwdV] = w[PwdW] = w[PwdY] = 1;
  f.Width = {w};
  f.Asym = {{}};
  const auto par = RefSetPwd(p, f);
  std::vector<double> nm, rhs;
  for (auto _ : st) benchmark::DoNotOptimize(RefLoopPwd(p, par, nm, rhs));
  st.counters["points"] = static_cast<double>(p.X.size());
  st.counters["reflections"] = static_cast<double>(p.Refl.size());
}
BENCHMARK(BM_PwdLeBailCycle)->Unit(benchmark::kMillisecond);

// The same cycle with (S+H)/L refined as well: the profile is evaluated for
// the parameters and for each raised by its 1.1 p step.
void BM_PwdLeBailCycleAsym(benchmark::State& st) {
  PwdPatternData p = Pattern();
  p.Phases[0].Prof.DerivAsym = true;
  PwdSetProfiles(p);
  PwdFitFlags f;
  f.Bckg.assign(6, 1);
  f.Zero = true;
  f.Cell = {1};
  std::array<char, PwdNWidth> w{};
  w[PwdU] = w[PwdV] = w[PwdW] = w[PwdY] = 1;
  f.Width = {w};
  f.Asym = {{1, 1}};
  const auto par = RefSetPwd(p, f);
  std::vector<double> nm, rhs;
  for (auto _ : st) benchmark::DoNotOptimize(RefLoopPwd(p, par, nm, rhs));
}
BENCHMARK(BM_PwdLeBailCycleAsym)->Unit(benchmark::kMillisecond);

void BM_PwdDecomposition(benchmark::State& st) {
  PwdPatternData p = Pattern();
  for (auto _ : st) {
    pwdlebailfromhkl(p);
    benchmark::DoNotOptimize(PwdLeBail(p));
  }
}
BENCHMARK(BM_PwdDecomposition)->Unit(benchmark::kMillisecond);

}  // namespace
