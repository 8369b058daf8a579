// Rietveld refinement on a synthetic pattern: derivatives of Ycalc by every
// parameter kind against central differences, and a fit that finds the
// structure and profile that made the pattern.
#include <gtest/gtest.h>

#include <set>

#include "refine/rietveld.hpp"
#include "support/refine_sim.hpp"

namespace tarn {
namespace {

using namespace testsim;

// An orthorhombic P212121 structure (Fe, C) with x of Fe1, Uiso of C1 and z
// of C2 refined, and one X-ray pattern with two wavelength components,
// divergence asymmetry, background and preferred orientation; every powder
// parameter kind is refined.
struct Fixture {
  RefParams p;
  CalcSetup s;
  RietProblem pr;
  void Make() {
    SetPhase({.Cell = kCellOrtho, .Ops = kP212121, .Scale = 1.});
    AddIsoAtom("Fe1", 2, {0.11, 0.23, 0.37}, 0.012);
    AddIsoAtom("C1", 1, {0.41, 0.07, 0.19}, 0.02);
    AddIsoAtom("C2", 1, {0.71, 0.33, 0.88}, 0.018);
    RefBuildParams(p);
    std::fill(p.Key.begin(), p.Key.end(), 0);
    for (auto [par, at] : {std::pair{"x", "Fe1"}, {"Uiso", "C1"}, {"z", "C2"}})
      p.Key[static_cast<size_t>(RefParIndex(p, par, at))] = 1;
    RefSetMatrixLimits(p);
    ASSERT_EQ(CalcPrepare(s, p), 0);
    RietPattern t;
    PwdPatternData& d = t.P;
    for (int i = 0; i < 1800; ++i) d.X.push_back(12. + 0.04 * i);
    d.Yo.assign(d.X.size(), 0.);
    d.Lam = {1.5406, 1.5444}, d.NLam = 2, d.Ratio = 0.5, d.Zero = 0.02, d.SyCos = 0.01;
    d.Bckg.Coef = {50., -5., 2.};
    PwdMakeSkipFlags(d, {});
    PwdPhaseData ph;
    std::copy(kCellOrtho.begin(), kCellOrtho.end(), ph.Cell.begin());
    ph.Sym = Struct.Basic.Phase[0].Symmetry;
    ph.Prof.GU = 6., ph.Prof.GV = -3., ph.Prof.GW = 5., ph.Prof.LY = 3.;
    ph.Prof.Asymm = PwdAsymDivergence, ph.Prof.UseHS = true, ph.Prof.NAsym = 2;
    ph.Prof.Asym = {0.02, 0.015};
    d.Phases.push_back(ph);
    ErrorRecord err;
    ASSERT_EQ(PwdGenerateRefl(d, err), 0);
    t.Scale = {0.05}, t.RefScale = {1};
    t.Flags.Bckg = {1, 1, 1};
    t.Flags.Zero = t.Flags.SyCos = t.Flags.SySin = true;
    std::array<char, PwdNWidth> w{};
    w[PwdU] = w[PwdW] = w[PwdY] = 1;
    t.Flags.Width = {w};
    t.Flags.Asym = {{1, 1}};
    t.RefLam = true;
    t.PrefType = 1, t.PrefDir = {{0., 0., 1.}}, t.Pref = {0.9}, t.RefPref = {1};
    d.Sig.assign(d.X.size(), 1.);
    pr.Pat.push_back(std::move(t));
    pr.RefCell = {1};
    RietSetParams(pr);
    Struct.Basic.Phase[0].AtTypeData[0].AtWeight = 12.011;
    Struct.Basic.Phase[0].AtTypeData[1].AtWeight = 55.845;
    pr.CellMass = RietCellMass(s, Struct.Basic);
    ASSERT_EQ(RietShift(pr, s, p, std::vector<double>(static_cast<size_t>(p.NRef) + pr.Par.size(), 0.)), 0);
  }
  // Ycalc of the pattern on every point.
  std::vector<double> Yc() {
    for (auto& t : pr.Pat) PwdSetPoints(t.P);
    return pr.Pat[0].P.Yc;
  }
};

TEST(Rietveld, DerivativesOfEveryParameterKindMatchCentralDifferences) {
  Fixture f;
  f.Make();
  if (::testing::Test::HasFatalFailure()) return;
  const size_t nr = static_cast<size_t>(f.p.NRef), nt = nr + f.pr.Par.size();
  std::vector<double> der;
  RietJacobian(f.pr, 0, f.p.NRef, der);
  std::set<int> kinds;
  for (size_t j = 0; j < nt; ++j) {
    const std::string name = j < nr ? f.p.Info[static_cast<size_t>(f.p.Refined[j])].Label : f.pr.Par[j - nr].Name;
    if (j >= nr) kinds.insert(f.pr.Par[j - nr].Kind);
    // Steps: relative to the parameter's size, metric ones in 1/A**2.
    const int kind = j < nr ? -1 : f.pr.Par[j - nr].Kind;
    const double h = kind == RvMetric ? 1e-8 : 1e-5;
    const RietProblem keep = f.pr;
    const std::vector<double> val = f.p.Val;
    auto at = [&](double x) {
      std::vector<double> dx(nt, 0.);
      dx[j] = x;
      EXPECT_EQ(RietShift(f.pr, f.s, f.p, dx), 0);
      const auto y = f.Yc();
      f.pr = keep, f.p.Val = val;
      CalcUpdate(f.s, f.p);
      return y;
    };
    const auto yp = at(h), ym = at(-h);
    std::vector<double> an, nu;
    for (size_t i = 0; i < yp.size(); ++i) an.push_back(der[i * nt + j]), nu.push_back((yp[i] - ym[i]) / (2. * h));
    test::FdStats st = test::FdCompare(an, nu);
    // A step of a position moves points across the cut-off of a profile's
    // range: one point may jump, so positions are judged by slope and
    // correlation. The divergence asymmetry's derivatives are the profile
    // code's finite differences (about 1 %).
    const bool moves = kind == RvZero || kind == RvSyCos || kind == RvSySin || kind == RvLam || kind == RvMetric;
    if (moves || kind == RvAsym) st.MaxDiff = 0.;
    EXPECT_TRUE(test::FdAgree(st, kind == RvAsym ? 1e-2 : 2e-3)) << name << " " << st.Text();
  }
  EXPECT_EQ(kinds.size(), 10u);  // every RietParKind
}

TEST(Rietveld, FitFindsTheModelThatMadeThePattern) {
  Fixture f;
  f.Make();
  if (::testing::Test::HasFatalFailure()) return;
  // Observations from the model, s.u. of counting statistics.
  PwdPatternData& d = f.pr.Pat[0].P;
  d.Yo = f.Yc();
  d.Sig.clear();
  for (double y : d.Yo) d.Sig.push_back(std::sqrt(std::max(y, 1.)));
  const std::vector<double> truth = f.p.Val;
  const double scale = f.pr.Pat[0].Scale[0];
  // Displaced start: structure, scale, cell, zero, width.
  for (size_t j = 0; j < static_cast<size_t>(f.p.NRef); ++j) f.p.Val[static_cast<size_t>(f.p.Refined[j])] += 0.004;
  CalcUpdate(f.s, f.p);
  f.pr.Pat[0].Scale[0] *= 1.2;
  for (auto& t : f.pr.Pat) t.P.Phases[0].Cell[0] += 0.002, t.P.Zero = 0., t.P.Phases[0].Prof.GW = 3.;
  // Wavelength and cell are one parameter for a single pattern: lambda stays.
  f.pr.Pat[0].RefLam = false;
  const RietResult r = RefRietveldFit(f.pr, f.s, f.p, 20);
  EXPECT_LT(r.R[0].Rwp, 0.1);
  for (size_t j = 0; j < static_cast<size_t>(f.p.NRef); ++j) {
    const size_t i = static_cast<size_t>(f.p.Refined[j]);
    EXPECT_NEAR(f.p.Val[i], truth[i], 2e-4) << f.p.Info[i].Label;
    EXPECT_GT(f.p.Sig[i], 0.);
  }
  EXPECT_NEAR(f.pr.Pat[0].Scale[0], scale, 1e-3 * scale);
  EXPECT_NEAR(r.Cell[0][0], kCellOrtho[0], 1e-5);
  EXPECT_LT(r.RBragg[0][0], 0.1);
  EXPECT_NEAR(r.WFrac[0][0], 1., 1e-12);
}

}  // namespace
}  // namespace tarn
