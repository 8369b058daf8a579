// Rietveld refinement on a synthetic pattern: derivatives of Ycalc by every
// parameter kind against central differences, and a fit that finds the
// structure and profile that made the pattern.
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <set>

#include "refine/rietveld.hpp"
#include "refine/rietveld_sim.hpp"
#include "support/refine_sim.hpp"
#include "support/temp_dir.hpp"

namespace tarn {
namespace {

using namespace testsim;

// An orthorhombic P212121 structure (Fe, C) with x of Fe1, Uiso of C1 and z
// of C2 refined, and one X-ray pattern with two wavelength components,
// divergence asymmetry, background, preferred orientation and surface
// roughness; every powder parameter kind is refined.
struct Fixture {
  RefParams p;
  CalcSetup s;
  RietProblem pr;
  void Make(bool broad = false) {
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
    if (broad) {
      // Anisotropic broadening: strain tensor, harmonics of order 2, a class.
      ph.Broad.Strain = PwdStrainTensor, ph.Broad.Size = PwdSizeHarmonics, ph.Broad.ShOrder = 2;
      ph.Broad.StrainPar = {0.1, 0.05, 0.08, 0.03, 0.02, 0.04}, ph.Broad.ShPar = {0.3, -0.1};
      ph.Prof.LX = 0.8;  // the size term stays positive with the harmonics
      ph.Broad.HklClass = {{1, 1, 1}}, ph.Broad.HklPar = {0.5, 0.2};
    }
    d.Phases.push_back(ph);
    ErrorRecord err;
    ASSERT_EQ(PwdGenerateRefl(d, err), 0);
    if (broad) t.Flags.Broad = {std::vector<char>(static_cast<size_t>(PwdBroadCount(d.Phases[0].Broad)), 1)};
    t.Scale = {0.05}, t.RefScale = {1};
    t.Flags.Bckg = {1, 1, 1};
    t.Flags.Zero = t.Flags.SyCos = t.Flags.SySin = true;
    std::array<char, PwdNWidth> w{};
    w[PwdU] = w[PwdW] = w[PwdY] = 1;
    t.Flags.Width = {w};
    t.Flags.Asym = {{1, 1}};
    t.RefLam = true;
    t.PrefType = 1, t.PrefDir = {{0., 0., 1.}}, t.Pref = {0.9}, t.RefPref = {1};
    t.RoughType = 1, t.Rough = {0.05, 0.1}, t.RefRough = {1, 1};
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

// Derivatives of Ycalc by the parameters of the kinds wanted (all when
// empty) against central differences; the kinds met in kinds.
void CheckDerivatives(Fixture& f, const std::set<int>& wanted, std::set<int>& kinds) {
  const size_t nr = static_cast<size_t>(f.p.NRef), nt = nr + f.pr.Par.size();
  std::vector<double> der;
  RietJacobian(f.pr, 0, f.p.NRef, der);
  for (size_t j = 0; j < nt; ++j) {
    const std::string name = j < nr ? f.p.Info[static_cast<size_t>(f.p.Refined[j])].Label : f.pr.Par[j - nr].Name;
    if (j >= nr) kinds.insert(f.pr.Par[j - nr].Kind);
    // Steps: relative to the parameter's size, metric ones in 1/A**2.
    const int kind = j < nr ? -1 : f.pr.Par[j - nr].Kind;
    if (!wanted.empty() && !wanted.count(kind)) continue;
    const double h = kind == RvMetric ? 1e-8 : 1e-5;
    const RietProblem keep = f.pr;
    const std::vector<double> val = f.p.Val;
    std::vector<double> f2[2];
    auto at = [&](double x) {
      std::vector<double> dx(nt, 0.);
      dx[j] = x;
      EXPECT_EQ(RietShift(f.pr, f.s, f.p, dx), 0);
      const auto y = f.Yc();
      f2[x < 0.] = f.pr.Pat[0].F2;
      f.pr = keep, f.p.Val = val;
      CalcUpdate(f.s, f.p);
      return y;
    };
    const auto yp = at(h), ym = at(-h);
    if (kind == RvMetric) {  // the cell moves |F|**2 through sin(theta)/lambda
      const auto b = PwdMetricBasis(keep.Pat[0].P.Phases[0].Sym)[static_cast<size_t>(f.pr.Par[j - nr].Index)];
      std::vector<double> an2, nu2;
      for (size_t r = 0; r < keep.Pat[0].F2.size(); ++r) {
        const auto& rf = keep.Pat[0].P.Refl[r];
        an2.push_back(keep.Pat[0].DF2s[r] * 0.25 / std::sqrt(rf.Q) * PwdQ(b, rf.H.data()));
        nu2.push_back((f2[0][r] - f2[1][r]) / (2. * h));
      }
      EXPECT_TRUE(test::FdAgree(test::FdCompare(an2, nu2), 1e-3)) << name << " |F|**2";
    }
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
}

TEST(Rietveld, DerivativesOfEveryParameterKindMatchCentralDifferences) {
  Fixture f;
  f.Make();
  if (::testing::Test::HasFatalFailure()) return;
  std::set<int> kinds;
  CheckDerivatives(f, {}, kinds);
  EXPECT_EQ(kinds.size(), 11u);  // every kind but the broadening, modulation and second TOF form
  // Anisotropic broadening: strain tensor, harmonics and a reflection class.
  Fixture g;
  g.Make(true);
  if (::testing::Test::HasFatalFailure()) return;
  kinds.clear();
  CheckDerivatives(g, {RvBroad}, kinds);
  EXPECT_EQ(kinds.count(RvBroad), 1u);
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

// A stiff distance restraint Fe1-C2 joins the powder fit: the refined
// distance meets its target although the pattern was made without it.
TEST(Rietveld, RestraintsJoinTheFit) {
  Fixture f;
  f.Make();
  if (::testing::Test::HasFatalFailure()) return;
  PwdPatternData& d = f.pr.Pat[0].P;
  d.Yo = f.Yc();
  d.Sig.clear();
  for (double y : d.Yo) d.Sig.push_back(std::sqrt(std::max(y, 1.)));
  RestrCmd c;
  c.Kind = RestrDist, c.Su = 1e-4;
  RestrAtom a1, a2;
  a1.Atom = 0, a1.Name = "Fe1", a2.Atom = 2, a2.Name = "C2";
  c.Items = {{a1, a2}};
  f.pr.Restr = {c};
  const double d0 = RefRestrainObs(f.p, f.pr.Restr).at(0).Calc;
  f.pr.Restr[0].Value = d0 + 0.02;
  const RietResult r = RefRietveldFit(f.pr, f.s, f.p, 8);
  EXPECT_NEAR(RefRestrainObs(f.p, f.pr.Restr).at(0).Calc, d0 + 0.02, 1e-3) << fmt::format("{}", fmt::join(r.Listing, "\n"));
  EXPECT_EQ(r.Restr.N, 1);
}

// A pattern of every phase of the structure with neutron or X-ray radiation:
// 2theta 10-150 deg, or time of flight 4000-12000 us (difc 5000), a flat
// background, every phase with the same profile.
RietPattern SimPattern(bool tof) {
  RietPattern t;
  PwdPatternData& d = t.P;
  for (int i = 0; i < (tof ? 800 : 1400); ++i) d.X.push_back(tof ? 4000. + 10. * i : 10. + 0.1 * i);
  d.Tof = tof, d.Radiation = 2, d.NLam = 1, d.Lam = {1.594, 0.};
  d.Difc = 5000., d.Difa = -2., d.TofZero = 4.;
  d.Bckg.Coef = {40., 0., 0.};
  PwdMakeSkipFlags(d, {});
  for (size_t ph = 0; ph < Struct.Basic.Phase.size(); ++ph) {
    PwdPhaseData q;
    std::copy(Struct.Basic.Phase[ph].Cell, Struct.Basic.Phase[ph].Cell + 6, q.Cell.begin());
    q.Sym = Struct.Basic.Phase[ph].Symmetry;
    q.KMag = Struct.Basic.Phase[ph].QMag;
    q.Decompose = false;
    q.Prof.Tof = tof;
    q.Prof.GU = 40., q.Prof.GV = -30., q.Prof.GW = 25., q.Prof.LY = 3.;
    q.Prof.Alpha1 = 0.3, q.Prof.Beta0 = 0.04, q.Prof.Beta1 = 0.01, q.Prof.Sig1 = 30., q.Prof.Gam1 = 1.;
    d.Phases.push_back(q);
    t.Scale.push_back(1.), t.RefScale.push_back(1);
    std::array<char, PwdNWidth> w{};
    w[tof ? 1 : PwdW] = 1;
    t.Flags.Width.push_back(w);
    t.Flags.Asym.push_back({});
  }
  t.Flags.Bckg = {1, 1, 1};
  t.Flags.Zero = true;
  ErrorRecord err;
  EXPECT_EQ(PwdGenerateRefl(d, err), 0);
  return t;
}

// Simulates the pattern with noise, displaces every refined value and fits:
// each refined structural parameter, scale and the first cell length come
// back within 3 s.u. of the values that made the pattern.
void RoundTrip(RietProblem& pr, RefParams& p, CalcSetup& s, unsigned seed, const std::string& what, bool cell = true) {
  pr.CellMass = RietCellMass(s, Struct.Basic);
  ASSERT_EQ(RietSimulate(pr, s, p, seed, 2.e4), 0);
  const std::vector<double> truth = p.Val, scale = pr.Pat[0].Scale;
  const double a = pr.Pat[0].P.Phases[0].Cell[0];
  for (size_t j = 0; j < static_cast<size_t>(p.NRef); ++j) p.Val[static_cast<size_t>(p.Refined[j])] *= 1.03;
  CalcUpdate(s, p);
  for (double& v : pr.Pat[0].Scale) v *= 0.9;
  if (cell)
    for (auto& q : pr.Pat[0].P.Phases)
      for (size_t k = 0; k < 3; ++k) q.Cell[k] *= 1.0002;
  pr.RefCell.assign(pr.Pat[0].P.Phases.size(), cell ? 1 : 0);
  const RietResult r = RefRietveldFit(pr, s, p, 12);
  EXPECT_LT(r.Chi2, 1.2) << what << "\n" << fmt::format("{}", fmt::join(r.Listing, "\n"));
  for (size_t j = 0; j < static_cast<size_t>(p.NRef); ++j) {
    const size_t i = static_cast<size_t>(p.Refined[j]);
    EXPECT_NEAR(p.Val[i], truth[i], 3. * p.Sig[i]) << what << " " << p.Info[i].Label;
  }
  for (const auto& q : pr.Par)
    if (q.Kind == RvScale) {
      const size_t ph = static_cast<size_t>(q.Phase);
      EXPECT_NEAR(pr.Pat[0].Scale[ph], scale[ph], 3. * q.Su) << what;
    }
  if (cell) {
    // Metric directions the intensities do not fix (a triclinic metric of a
    // cubic cell) are blocked, not given s.u. of 1e7.
    EXPECT_NEAR(r.Cell[0][0], a, 3. * r.CellSu[0][0]) << what;
    EXPECT_LT(r.CellSu[0][0], 1e-3) << what;
  }
  ASSERT_EQ(r.SingleR.size(), pr.Single.size()) << what;
  for (const RietSingleR& sr : r.SingleR) EXPECT_LT(sr.R, 5.) << what;
}

TEST(Rietveld, SimulatedPatternsRefineBack) {
  auto keys = [](RefParams& p, std::vector<std::pair<const char*, const char*>> on) {
    RefBuildParams(p);
    std::fill(p.Key.begin(), p.Key.end(), 0);
    for (auto [par, at] : on) p.Key[static_cast<size_t>(RefParIndex(p, par, at))] = 1;
    RefSetMatrixLimits(p);
  };
  {  // Time of flight.
    SetPhase({.Cell = kCellOrtho, .Ops = kP212121, .Radiation = 2, .Scale = 1.});
    AddIsoAtom("Fe1", 2, {0.11, 0.23, 0.37}, 0.012);
    AddIsoAtom("C1", 1, {0.41, 0.07, 0.19}, 0.02);
    RefParams p;
    keys(p, {{"x", "Fe1"}, {"Uiso", "C1"}, {"z", "C1"}});
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    RietProblem pr;
    pr.Pat.push_back(SimPattern(true));
    RoundTrip(pr, p, s, 11, "TOF");
  }
  {  // Two phases: the orthorhombic one and a cubic Fe phase, weight fractions back within 1 %.
    SetPhase({.Cell = kCellOrtho, .Ops = kP212121, .Radiation = 2, .Scale = 1.});
    PhaseBasic cub = Struct.Basic.Phase[0];
    const double cc[6] = {2.87, 2.87, 2.87, 90., 90., 90.};
    std::copy(cc, cc + 6, cub.Cell);
    cub.Lattice = "I";
    cub.SymmText = {"x y z", "-x -y z", "-x y -z", "x -y -z", "z x y", "y z x", "-x -y -z"};
    cub.Name = "iron";
    Struct.Basic.Phase.push_back(cub);
    ASSERT_EQ(SetBasicM50(Struct.Basic), 0);
    Struct.Model.Phase.resize(2);
    AddIsoAtom("Fe1", 2, {0.11, 0.23, 0.37}, 0.012);
    AddIsoAtom("C1", 1, {0.41, 0.07, 0.19}, 0.02);
    AddIsoAtom("Fe2", 2, {0., 0., 0.}, 0.006);
    Struct.Model.Atom.back().Phase = 2;
    for (auto& ph : Struct.Basic.Phase) ph.AtTypeData[0].AtWeight = 12.011, ph.AtTypeData[1].AtWeight = 55.845;
    RefParams p;
    keys(p, {{"x", "Fe1"}, {"Uiso", "Fe2"}});
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    RietProblem pr;
    pr.Pat.push_back(SimPattern(false));
    pr.Pat[0].Scale = {1., 0.6};
    pr.CellMass = RietCellMass(s, Struct.Basic);
    const std::vector<double> w = RietWeightFractions(pr, 0, s);
    RoundTrip(pr, p, s, 12, "two phases");
    const std::vector<double> wr = RietWeightFractions(pr, 0, s);
    EXPECT_GT(w[1], 0.1);
    for (size_t ph = 0; ph < 2; ++ph) EXPECT_NEAR(wr[ph], w[ph], 0.01);
  }
  {  // Magnetic: Fe at +-(1/4 1/4 1/4) related by -1', moment along c; the
     // magnetic reflections (h+k+l odd) carry no nuclear intensity. The cell
     // is refined with the triclinic metric of the magnetic Laue class -1.
    SetPhase({.Cell = {5., 5., 5., 90., 90., 90.}, .Ops = {"x y z m", "-x -y -z -m"}, .Radiation = 2, .Scale = 1.,
              .Magnetic = true, .FeJ0 = {0.3972, 13.2442, 0.6295, 4.9034, -0.0314, 0.3496, 0.0044}});
    Struct.Model.Phase.resize(1);
    AddIsoAtom("Fe1", 2, {0.25, 0.25, 0.25}, 0.008);
    AtomRec& a = Struct.Model.Atom.back();
    AtomShape sh = a.Shape;
    sh.MagPar = 1;
    ReallocateAtomParams(a, sh);
    a.Par.Val[static_cast<size_t>(AtomLayout(sh).Off[BlkMag] + 2)] = 3.2;
    RefParams p;
    keys(p, {{"Uiso", "Fe1"}, {"M3", "Fe1"}});
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    RietProblem pr;
    pr.Pat.push_back(SimPattern(false));
    RoundTrip(pr, p, s, 13, "magnetic");
    // The moment within 2 s.u.
    const size_t im = static_cast<size_t>(RefParIndex(p, "M3", "Fe1"));
    EXPECT_NEAR(p.Val[im], 3.2, 2. * p.Sig[im]);
  }
  {  // Propagation vector k = (0 0 1/2): Fe in P-1 with the moment wave
     // M = C cos(2 pi k.(r + L)) along a; only the satellites are magnetic.
    SetPhase({.Cell = {4.2, 4.6, 5.1, 90., 90., 90.}, .Ops = {"x y z m", "-x -y -z m"}, .Radiation = 2, .Scale = 1.,
              .Magnetic = true, .FeJ0 = {0.3972, 13.2442, 0.6295, 4.9034, -0.0314, 0.3496, 0.0044}});
    Struct.Basic.Phase[0].QMag = {{0., 0., 0.5}};
    Struct.Model.Phase.resize(1);
    AddIsoAtom("Fe1", 2, {0.12, 0.21, 0.17}, 0.008);
    AtomRec& a = Struct.Model.Atom.back();
    AtomShape sh = a.Shape;
    sh.MagPar = 2;
    ReallocateAtomParams(a, sh);
    a.Par.Val[static_cast<size_t>(AtomLayout(sh).Off[BlkMagWave] + 3)] = 2.8;
    RefParams p;
    keys(p, {{"Uiso", "Fe1"}, {"x", "Fe1"}, {"M1cos1", "Fe1"}});
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    RietProblem pr;
    pr.Pat.push_back(SimPattern(false));
    const auto& rl = pr.Pat[0].P.Refl;
    EXPECT_TRUE(std::any_of(rl.begin(), rl.end(), [](const PwdReflection& r) { return r.M[0] != 0; }));
    RoundTrip(pr, p, s, 14, "magnetic k");
    const size_t im = static_cast<size_t>(RefParIndex(p, "M1cos1", "Fe1"));
    EXPECT_NEAR(p.Val[im], 2.8, 2. * p.Sig[im]);
  }
}

// A single-crystal X-ray block (its scale refined) and a neutron powder
// pattern of the same phase refined together: one parameter set from both
// kinds of observations, R values for each block.
TEST(Rietveld, SingleCrystalAndPowderBlocksRefineTogether) {
  SetPhase({.Cell = kCellOrtho, .Ops = kP212121, .Scale = 1.7});
  Struct.Basic.DatBlock.push_back(Struct.Basic.DatBlock[0]);
  Struct.Basic.DatBlock[1].Radiation = 2, Struct.Basic.DatBlock[1].Lambda = 1.594;
  Struct.Model.DatBlock.push_back(Struct.Model.DatBlock[0]);
  AddIsoAtom("Fe1", 2, {0.11, 0.23, 0.37}, 0.012);
  AddIsoAtom("C1", 1, {0.41, 0.07, 0.19}, 0.02);
  RefParams p;
  RefBuildParams(p);
  std::fill(p.Key.begin(), p.Key.end(), 0);
  for (auto [par, at] : {std::pair{"x", "Fe1"}, {"Uiso", "C1"}, {"z", "C1"}, {"sc1", ""}})
    p.Key[static_cast<size_t>(RefParIndex(p, par, at))] = 1;
  RefSetMatrixLimits(p);
  CalcSetup s;
  ASSERT_EQ(CalcPrepare(s, p), 0);
  s.Block[1].ScalePar = -1, s.Block[1].Scale = 1.;  // powder: the phase scales
  RietProblem pr;
  pr.Pat.push_back(SimPattern(false));
  pr.Pat[0].Block = 1;
  // Intensities I = Fc**2 with 2 % + 0.5 s.u. and normal noise.
  RietSingle sb;
  std::mt19937 gen(5);
  std::normal_distribution<double> noise;
  for (int h = 0; h <= 4; ++h)
    for (int k = 0; k <= 5; ++k)
      for (int l = 0; l <= 6; ++l) {
        if (h + k + l == 0) continue;
        CalcRefl cr;
        cr.H = {h, k, l};
        cr.SinThL = 0.5 * std::hypot(h / kCellOrtho[0], k / kCellOrtho[1], l / kCellOrtho[2]);
        CalcOut o;
        ASSERT_EQ(Calc(s, cr, false, o), 0);
        const double i = o.Fc * o.Fc, su = 0.02 * i + 0.5;
        sb.Refl.push_back(cr), sb.I.push_back(i + su * noise(gen)), sb.SigI.push_back(su);
      }
  pr.Single.push_back(sb);
  RoundTrip(pr, p, s, 15, "single crystal and powder");
}

// The time-of-flight widths live in the Gaussian and Lorentzian records of
// the powder parameter file, the rise and decay in the block's instrument
// constants: the pattern built from the files carries them into the profile,
// and the fitted widths go back into the same records.
TEST(Rietveld, TimeOfFlightProfileTermsTravelThroughTheFiles) {
  SetPhase({.Cell = kCellOrtho, .Ops = kP212121, .Radiation = 2, .Scale = 1.});
  M95Block b;
  SetBasicM95(b);
  b.PwdMethod = 2, b.RadType = 2;
  b.TofAlfa1 = 0.6, b.TofBeta0 = 0.03, b.TofBeta1 = 0.004;
  PwdM41 m;
  SetBasicM41(m);
  PwdBlockPar bp;
  bp.Tof[1].V = 5000.;
  PwdPhasePar pp;
  for (size_t k = 0; k < 6; ++k) pp.Cell[k].V = kCellOrtho[k];
  pp.Gauss = {PwdPar{4., 0, 0.}, PwdPar{20., 1, 0.}, PwdPar{0.5, 0, 0.}, PwdPar{}};
  pp.Lor = {PwdPar{}, PwdPar{1.5, 1, 0.}, PwdPar{0.2, 0, 0.}, PwdPar{}};
  bp.Phase = {pp};
  m.Blocks = {bp};
  std::vector<M95Refl> pts(3);
  for (size_t i = 0; i < pts.size(); ++i) pts[i].Geom[0] = 10000. + 100. * static_cast<double>(i), pts[i].I = 1.;
  PwdPatternData d;
  ASSERT_EQ(PwdPatternFromBlock(b, pts, m, 1, Struct.Basic.Phase, d), 0);
  const PwdProfile& pr = d.Phases[0].Prof;
  EXPECT_TRUE(pr.Tof);
  EXPECT_EQ(std::vector<double>({pr.Sig0, pr.Sig1, pr.Sig2, pr.Gam1, pr.Gam2, pr.GV, pr.LX}),
            std::vector<double>({4., 20., 0.5, 1.5, 0.2, 0., 0.}));
  EXPECT_EQ(std::vector<double>({pr.Alpha0, pr.Alpha1, pr.Beta0, pr.Beta1}), std::vector<double>({0., 0.6, 0.03, 0.004}));
  PwdPhasePar back;
  PwdWidthsFromProfile(pr, back);
  for (size_t k = 0; k < 3; ++k) EXPECT_EQ(back.Gauss[k].V, pp.Gauss[k].V) << k;
  for (size_t k = 0; k < 3; ++k) EXPECT_EQ(back.Lor[k].V, pp.Lor[k].V) << k;
}

// Averaged preferred orientation ("prefsum", about a direction that is no
// symmetry axis, so equivalents differ), the manual background's scale and
// the time-of-flight absorption against central differences.
TEST(Rietveld, AveragedPreferenceManualBackgroundAndTofAbsorptionDerivatives) {
  Fixture f;
  f.Make();
  if (::testing::Test::HasFatalFailure()) return;
  RietPattern& t = f.pr.Pat[0];
  const double i0 = t.P.Refl[3].I[0];
  t.PrefDir = {{1., 1., 0.}}, t.PrefOps = {PwdLaueOps(t.P.Phases[0].Sym)};
  t.P.Bckg.Manual = {{20., 30.}, {70., 10.}}, t.P.Bckg.ManScale = 1.2, t.Flags.Bckg = {0, 0, 0, 1};
  f.pr.Par.clear();
  RietSetParams(f.pr);
  RietSetIntensities(f.pr);
  EXPECT_GT(std::abs(t.P.Refl[3].I[0] / i0 - 1.), 1e-4);
  std::set<int> kinds;
  CheckDerivatives(f, {RvPref, RvBckg}, kinds);
  SetPhase({.Cell = kCellOrtho, .Ops = kP212121, .Radiation = 2, .Scale = 1.});
  AddIsoAtom("Fe1", 2, {0.11, 0.23, 0.37}, 0.012);
  Fixture g;
  RefBuildParams(g.p);
  std::fill(g.p.Key.begin(), g.p.Key.end(), 0);
  g.p.Key[static_cast<size_t>(RefParIndex(g.p, "x", "Fe1"))] = 1;
  RefSetMatrixLimits(g.p);
  ASSERT_EQ(CalcPrepare(g.s, g.p), 0);
  g.pr.Pat = {SimPattern(true)};
  RietPattern& u = g.pr.Pat[0];
  u.P.Sig.assign(u.P.X.size(), 1.);
  u.TofAbs = true, u.TofAbsC = 0.4, u.RefTofAbs = 1, u.TofLamD = 1.7;
  RietSetParams(g.pr);
  ASSERT_EQ(RietShift(g.pr, g.s, g.p, std::vector<double>(static_cast<size_t>(g.p.NRef) + g.pr.Par.size(), 0.)), 0);
  CheckDerivatives(g, {RvTofAbs}, kinds);
  EXPECT_EQ(kinds.count(RvTofAbs) + kinds.count(RvBckg), 2u);
}

// Header keywords as the pattern is built from the files: every second point
// ("useeach"), a region in d ("skipfrdl"), "<structure>.bkg" with its scale
// after the coefficients, the illumination in Lp, and the optional time-of-
// flight absorption record of M41.
TEST(Rietveld, HeaderKeywordsShapeThePatternFromTheFiles) {
  SetPhase({.Cell = kCellOrtho, .Ops = kP212121, .Scale = 1.});
  M95Block b;
  SetBasicM95(b);
  b.PwdMethod = 1, b.Lambda = 1.5406;
  PwdM41 m;
  SetBasicM41(m);
  m.Blocks.resize(1), m.Blocks[0].Phase.resize(1);
  for (size_t k = 0; k < 6; ++k) m.Blocks[0].Phase[0].Cell[k].V = kCellOrtho[k];
  m.Set("useeach", {"2"}, 0, 1), m.Set("skipfrdl", {"2.0", "1.8"}, 0, 1), m.Set("manbckg", {"1"});
  std::vector<M95Refl> pts(401);
  for (size_t i = 0; i < pts.size(); ++i) pts[i].Geom[0] = 20. + 0.1 * static_cast<double>(i);
  test::TempDir dir;
  ErrorRecord err;
  EXPECT_NE(PwdReadManualBackground(dir.Write("bad.bkg", "datblock 1\n30 5\n40 x\n"), m, err), 0);
  EXPECT_TRUE(err.Line == 3 && m.Manual.empty());
  ASSERT_EQ(PwdReadManualBackground(dir.Write("s.bkg", "# manual points\n60 7\n30 5\n"), m, err), 0);
  PwdPatternData d;
  ASSERT_EQ(PwdPatternFromBlock(b, pts, m, 1, Struct.Basic.Phase, d), 0);
  ASSERT_EQ(m.Blocks[0].Bckg.size(), 7u);
  EXPECT_EQ(m.Blocks[0].Bckg[6].V, 1.);
  ASSERT_EQ(d.X.size(), 201u);
  // d = 2.0 and 1.8 A at 1.5406 A: 2theta 45.30 and 50.67 deg.
  for (size_t i = 0; i < d.X.size(); ++i) EXPECT_EQ(d.Use[i] == 0, d.X[i] >= 45.31 && d.X[i] <= 50.66) << d.X[i];
  d.Bckg.Coef.assign(d.Bckg.Coef.size(), 0.);
  EXPECT_NEAR(PwdGetBackground(d.Bckg, 45., nullptr), 6., 1e-9);
  const double lp = PwdLpFactor(d, 40.), h = 1e-4;
  d.Illum = 2;
  EXPECT_NEAR(PwdLpFactor(d, 40.) / lp, std::sin(20. * kDeg), 1e-12);
  d.Illum = 1;
  EXPECT_NEAR(PwdLpSlope(d, 40.), std::log(PwdLpFactor(d, 40. + h) / PwdLpFactor(d, 40. - h)) / (2. * h), 1e-6);
  m.Tof = true, m.Set("tofkey", {"1"}), m.Set("usetofab", {"1"}, 0, 1);
  m.Blocks[0].TofAbs = {0.25, 1, 0.01};
  PwdM41 back;
  ASSERT_EQ(M41Parse(M41Text(m), "a.m41", back, err), 0);
  EXPECT_TRUE(back.Blocks[0].TofAbs.V == 0.25 && back.Blocks[0].TofAbs.Key == 1);
}

}  // namespace
}  // namespace tarn
