// The Le Bail fit on a synthetic pattern: cell, zero, widths and background
// that made it are found again from a displaced start.
#include <gtest/gtest.h>

#include "refine/refine_pwd.hpp"

namespace tarn {
namespace {

TEST(RefLeBailFit, FindsTheParametersOfASyntheticPattern) {
  PwdPatternData p;
  for (int i = 0; i < 3000; ++i) p.X.push_back(15. + 0.025 * i);
  p.Yo.assign(p.X.size(), 0.);
  p.Radiation = 1;
  p.Lam = {1.5406, 1.5444};
  p.NLam = 2, p.Ratio = 0.5, p.Zero = 0.03;
  p.Bckg.Coef = {80., -10., 4.};
  PwdMakeSkipFlags(p, {});
  PwdPhaseData ph;
  ph.Cell = {5.4, 5.4, 7.9, 90., 90., 90.};
  PhaseSymmetry s = CrlPrimitivePhase(3);
  // A fourfold axis along c: a = b is kept by the metric basis.
  const Mat3 rot[3] = {{0, -1, 0, 1, 0, 0, 0, 0, 1}, {-1, 0, 0, 0, -1, 0, 0, 0, 1}, {0, 1, 0, -1, 0, 0, 0, 0, 1}};
  for (int k = 0; k < 3; ++k) s.Op[static_cast<size_t>(k + 1)] = s.Op[0], s.Op[static_cast<size_t>(k + 1)].RM = rot[k];
  s.NSymm = 4;
  ph.Sym = s;
  ph.Prof.GU = 8., ph.Prof.GV = -4., ph.Prof.GW = 6., ph.Prof.LY = 4.;
  ph.Prof.Asymm = PwdAsymDivergence, ph.Prof.UseHS = true, ph.Prof.NAsym = 2;
  ph.Prof.Asym = {0.02, 0.015};
  p.Phases.push_back(ph);
  ErrorRecord err;
  ASSERT_EQ(PwdGenerateRefl(p, err), 0);
  PwdSetBackgroundPoints(p);
  for (auto& r : p.Refl) r.I = {2000. / (1. + 0.01 * r.Pos[0]), 1000. / (1. + 0.01 * r.Pos[0])};
  PwdSetPoints(p);
  p.Yo = p.Yc;
  p.Sig.clear();
  for (double y : p.Yo) p.Sig.push_back(std::sqrt(y));
  // Start displaced; refine everything but the asymmetry.
  const PwdPatternData truth = p;
  p.Zero = 0., p.Bckg.Coef = {70., 0., 0.};
  p.Phases[0].Cell = {5.401, 5.401, 7.8985, 90., 90., 90.};
  p.Phases[0].Prof.GU = 4., p.Phases[0].Prof.LY = 2.;
  PwdFitFlags f;
  f.Bckg = {1, 1, 1};
  f.Zero = true;
  f.Cell = {1};
  std::array<char, PwdNWidth> w{};
  w[PwdU] = w[PwdV] = w[PwdW] = w[PwdY] = 1;
  f.Width = {w};
  f.Asym = {{}};
  const PwdFitResult r = RefLeBailFit(p, f, 15);
  EXPECT_LT(r.R.Rwp, 0.5);
  EXPECT_NEAR(p.Phases[0].Cell[0], 5.4, 2e-5);
  EXPECT_EQ(p.Phases[0].Cell[0], p.Phases[0].Cell[1]);
  EXPECT_NEAR(p.Phases[0].Cell[2], 7.9, 2e-5);
  EXPECT_NEAR(p.Zero, 0.03, 1e-3);
  EXPECT_NEAR(p.Phases[0].Prof.GW, 6., 0.5);
  EXPECT_GT(r.CellSu[0][0], 0.);
}

}  // namespace
}  // namespace tarn
