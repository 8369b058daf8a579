// One Rietveld cycle of a lead-sulfate-like structure (Pnma, 8.48 x 5.40 x
// 6.96 A, five anisotropic atoms) against a Cu K-alpha1/2 X-ray pattern of
// 6,000 points and a 1.909 A neutron pattern of 3,000 points, about 700
// reflections and 80 parameters: structure factors with derivatives, Ycalc
// with the derivatives of every point, the normal equations and their solution.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <cmath>
#include <random>

#include "bench_structure.hpp"
#include "model/m50.hpp"
#include "refine/constr.hpp"
#include "refine/rietveld.hpp"

namespace {

using namespace tarn;

const std::vector<std::string> kPnma = {"x y z",           "-x+1/2 y+1/2 z+1/2", "x -y+1/2 z",
                                        "-x+1/2 -y z+1/2", "-x -y -z",           "x+1/2 -y+1/2 -z+1/2",
                                        "-x y+1/2 -z",     "x+1/2 y -z+1/2"};

RietPattern Pattern(int block, bool xray, const PhaseBasic& phb) {
  RietPattern t;
  PwdPatternData& p = t.P;
  const int n = xray ? 6000 : 3000;
  for (int i = 0; i < n; ++i) p.X.push_back(xray ? 10. + 0.02 * i : 10. + 0.05 * i);
  p.Radiation = xray ? 1 : 2;
  p.Lam = xray ? std::array<double, 2>{1.5405, 1.5443} : std::array<double, 2>{1.909, 0.};
  p.NLam = xray ? 2 : 1, p.Ratio = xray ? 0.5 : 0.;
  p.Bckg.Coef = {100., -10., 5., 1., 0., 0.};
  PwdMakeSkipFlags(p, {});
  PwdPhaseData ph;
  for (size_t k = 0; k < 6; ++k) ph.Cell[k] = phb.Cell[k];
  ph.Sym = phb.Symmetry;
  ph.Decompose = false;
  ph.Prof.GU = xray ? 8. : 150., ph.Prof.GV = xray ? -4. : -400., ph.Prof.GW = xray ? 6. : 400., ph.Prof.LY = 4.;
  if (xray) ph.Prof.Asymm = PwdAsymDivergence, ph.Prof.UseHS = true, ph.Prof.NAsym = 2, ph.Prof.Asym = {0.015, 0.015};
  p.Phases.push_back(ph);
  ErrorRecord err;
  (void)PwdGenerateRefl(p, err);
  p.Yo.assign(p.X.size(), 200.);
  p.Sig.assign(p.X.size(), 14.);
  t.Block = block;
  t.Scale = {1e-3}, t.RefScale = {1};
  t.Flags.Bckg.assign(6, 1);
  t.Flags.Zero = true, t.Flags.SyCos = xray;
  std::array<char, PwdNWidth> w{};
  w[PwdU] = w[PwdV] = w[PwdW] = w[PwdY] = 1;
  t.Flags.Width = {w};
  t.Flags.Asym = {{}};
  t.RefLam = !xray;
  return t;
}

void BM_RietveldCycle(benchmark::State& st) {
  std::mt19937 rng(7);
  bench::BenchPhase({8.48, 5.398, 6.958, 90., 90., 90.}, kPnma, {"C", "N", "O"});
  Struct.Basic.DatBlock.resize(2);
  Struct.Basic.DatBlock[0].Lambda = 1.5405;
  Struct.Basic.DatBlock[1].Radiation = 2, Struct.Basic.DatBlock[1].Lambda = 1.909;
  for (auto& a : Struct.Basic.Phase[0].AtTypeData) a.FNeutron = 6.;
  if (SetBasicM50(Struct.Basic)) std::abort();
  bench::BenchAtoms(5, rng, true);
  Struct.Model.DatBlock[0].Scale.Key[0] = 0;
  RefParams p;
  RefBuildParams(p);
  RefSetMatrixLimits(p);
  CalcSetup s;
  if (CalcPrepare(s, p)) std::abort();
  RietProblem pr;
  pr.Pat.push_back(Pattern(0, true, Struct.Basic.Phase[0]));
  pr.Pat.push_back(Pattern(1, false, Struct.Basic.Phase[0]));
  pr.RefCell = {1};
  RietSetParams(pr);
  for (auto& t : pr.Pat) PwdSetBackgroundPoints(t.P);
  std::vector<double> nm, rhs;
  size_t nrefl = 0;
  for (const auto& t : pr.Pat) nrefl += t.P.Refl.size();
  const Eigen::Index nt = static_cast<Eigen::Index>(static_cast<size_t>(p.NRef) + pr.Par.size());
  for (auto _ : st) {
    if (RietStructureFactors(pr, s, p, true)) std::abort();
    RietSetIntensities(pr);
    benchmark::DoNotOptimize(RefLoopRietveld(pr, p.NRef, nm, rhs));
    Eigen::Map<Eigen::MatrixXd> a(nm.data(), nt, nt);
    Eigen::Map<Eigen::VectorXd> b(rhs.data(), nt);
    a.diagonal().array() += 1e-6 * a.diagonal().array().abs().maxCoeff();
    benchmark::DoNotOptimize(Eigen::VectorXd(a.ldlt().solve(b)));
  }
  st.counters["reflections"] = static_cast<double>(nrefl);
  st.counters["parameters"] = static_cast<double>(nt);
}
BENCHMARK(BM_RietveldCycle)->Unit(benchmark::kMillisecond);

}  // namespace
