// The Le Bail fit on a synthetic pattern: cell, zero, widths and background
// (and in time of flight the anisotropic broadening) that made it are found
// again from a displaced start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>

#include "refine/refine_pwd.hpp"

namespace tarn {
namespace {

// A fourfold axis along c: a = b is kept by the metric basis.
PhaseSymmetry Tetragonal() {
  PhaseSymmetry s = CrlPrimitivePhase(3);
  const Mat3 rot[3] = {{0, -1, 0, 1, 0, 0, 0, 0, 1}, {-1, 0, 0, 0, -1, 0, 0, 0, 1}, {0, 1, 0, -1, 0, 0, 0, 0, 1}};
  for (int k = 0; k < 3; ++k) s.Op[static_cast<size_t>(k + 1)] = s.Op[0], s.Op[static_cast<size_t>(k + 1)].RM = rot[k];
  s.NSymm = 4;
  return s;
}

// A synthetic pattern of a tetragonal phase (a 5.4, c 7.9 A) with the
// wavelengths lam (a second one at half intensity when lam[1] > 0), Yo = Yc;
// with first-order satellites of the modulation vector q when one is given.
PwdPatternData Synthetic(std::array<double, 2> lam, std::vector<std::array<double, 3>> q = {}, int npts = 3000) {
  PwdPatternData p;
  for (int i = 0; i < npts; ++i) p.X.push_back(15. + 0.025 * i);
  p.Yo.assign(p.X.size(), 0.);
  p.Radiation = 1;
  p.Lam = lam;
  p.NLam = lam[1] > 0. ? 2 : 1, p.Ratio = lam[1] > 0. ? 0.5 : 0., p.Zero = 0.03;
  p.Bckg.Coef = {80., -10., 4.};
  PwdMakeSkipFlags(p, {});
  PwdPhaseData ph;
  ph.Cell = {5.4, 5.4, 7.9, 90., 90., 90.};
  ph.Sym = Tetragonal();
  ph.Prof.GU = 8., ph.Prof.GV = -4., ph.Prof.GW = 6., ph.Prof.LY = 4.;
  ph.Prof.Asymm = PwdAsymDivergence, ph.Prof.UseHS = true, ph.Prof.NAsym = 2;
  ph.Prof.Asym = {0.02, 0.015};
  ph.QVec = q;
  p.Phases.push_back(ph);
  ErrorRecord err;
  EXPECT_EQ(PwdGenerateRefl(p, err), 0);
  PwdSetBackgroundPoints(p);
  for (auto& r : p.Refl) r.I = {2000. / (1. + 0.01 * r.Pos[0]), 1000. / (1. + 0.01 * r.Pos[0])};
  PwdSetPoints(p);
  p.Yo = p.Yc;
  p.Sig.clear();
  for (double y : p.Yo) p.Sig.push_back(std::sqrt(y));
  return p;
}

// Background, zero, cell and U, V, W, Y refined.
PwdFitFlags UsualFlags() {
  PwdFitFlags f;
  f.Bckg = {1, 1, 1};
  f.Zero = true;
  f.Cell = {1};
  std::array<char, PwdNWidth> w{};
  w[PwdU] = w[PwdV] = w[PwdW] = w[PwdY] = 1;
  f.Width = {w};
  f.Asym = {{}};
  return f;
}

TEST(RefLeBailFit, FindsTheParametersOfASyntheticPattern) {
  PwdPatternData p = Synthetic({1.5406, 1.5444});
  // Start displaced; refine everything but the asymmetry.
  const PwdPatternData truth = p;
  p.Zero = 0., p.Bckg.Coef = {70., 0., 0.};
  p.Phases[0].Cell = {5.401, 5.401, 7.8985, 90., 90., 90.};
  p.Phases[0].Prof.GU = 4., p.Phases[0].Prof.LY = 2.;
  const PwdFitResult r = RefLeBailFit(p, UsualFlags(), 15);
  EXPECT_LT(r.R.Rwp, 0.5);
  EXPECT_NEAR(p.Phases[0].Cell[0], 5.4, 2e-5);
  EXPECT_EQ(p.Phases[0].Cell[0], p.Phases[0].Cell[1]);
  EXPECT_NEAR(p.Phases[0].Cell[2], 7.9, 2e-5);
  EXPECT_NEAR(p.Zero, 0.03, 1e-3);
  EXPECT_NEAR(p.Phases[0].Prof.GW, 6., 0.5);
  EXPECT_GT(r.CellSu[0][0], 0.);
}

// The fit reaches the true minimum of a noise-free pattern from starts on
// either side of the true cell, with the same result, and keeps the Gaussian
// width positive over the pattern.
TEST(RefLeBailFit, ConvergesToTheSameMinimumFromDifferentStarts) {
  const PwdPatternData truth = Synthetic({1.5406, 0.});
  std::vector<std::array<double, 6>> cells;
  for (double sc : {0.9998, 1.0002}) {
    PwdPatternData p = truth;
    for (int k = 0; k < 3; ++k) p.Phases[0].Cell[static_cast<size_t>(k)] *= sc;
    p.Zero = 0., p.Phases[0].Prof.GU = 0.5, p.Phases[0].Prof.GW = 12.;
    const PwdFitResult r = RefLeBailFit(p, UsualFlags(), 40);
    EXPECT_LT(r.R.Rwp, 0.01) << sc;
    for (const auto& rf : p.Refl) EXPECT_GT(rf.Pk[0].Sigma2, 0.) << sc;
    cells.push_back(p.Phases[0].Cell);
  }
  for (const auto& c : cells) {
    EXPECT_NEAR(c[0], 5.4, 1e-5);
    EXPECT_NEAR(c[2], 7.9, 1e-5);
  }
}

// Two patterns share the cell; the second one's wavelength (made at 1.912 A,
// started at 1.9115 A) is refined against it.
TEST(RefLeBailFit, JointFitRefinesTheWavelengthOfTheSecondPattern) {
  std::vector<PwdPatternData> ps{Synthetic({1.5406, 1.5444}), Synthetic({1.912, 0.})};
  ps[1].Lam[0] = 1.9115;
  for (auto& p : ps) p.Zero = 0., p.Phases[0].Cell = {5.401, 5.401, 7.8985, 90., 90., 90.};
  std::vector<PwdFitFlags> f{UsualFlags(), UsualFlags()};
  f[1].Cell = {0};  // a cell refined in one pattern is refined in all
  f[1].Lam = true;
  f[1].Width = {{}};
  const auto r = RefLeBailFitJoint(ps, f, 20);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_NEAR(ps[1].Lam[0], 1.912, 2e-5);
  EXPECT_EQ(ps[0].Phases[0].Cell, ps[1].Phases[0].Cell);
  EXPECT_NEAR(ps[0].Phases[0].Cell[2], 7.9, 2e-5);
  EXPECT_LT(r[1].R.Rwp, 0.5);
  const auto lam = std::find_if(r[1].Params.begin(), r[1].Params.end(), [](const auto& q) { return q.Kind == PkLam; });
  ASSERT_NE(lam, r[1].Params.end());
  EXPECT_GT(lam->Su, 0.);
}

// A (3+1)-dimensional phase, q = (0, 0, 0.31): satellites sit at
// 1/d**2 = |h + m q|**2 and the vector is refined back from 0.305.
TEST(RefLeBailFit, SatellitesOfAModulatedPhaseAndTheirVector) {
  PwdPatternData p = Synthetic({1.5406, 0.}, {{0., 0., 0.31}});
  const double a = 5.4, c = 7.9, lam = 1.5406;
  auto tth = [&](double q) { return 2. * std::asin(0.5 * lam * std::sqrt(q)) * 180. / std::numbers::pi + 0.03; };
  int sat = 0;
  for (const auto& r : p.Refl) {
    EXPECT_LE(std::abs(r.M[0]), 1);
    if (r.M[0] == 0) continue;
    ++sat;
    const double qz = (r.H[2] + 0.31 * r.M[0]) / c;
    EXPECT_NEAR(r.Pos[0], tth((r.H[0] * r.H[0] + r.H[1] * r.H[1]) / (a * a) + qz * qz), 1e-9);
  }
  EXPECT_GT(sat, 20);
  p.Phases[0].QVec[0][2] = 0.305;
  PwdFitFlags f = UsualFlags();
  f.ModVec = {{0, 0, 1}};
  const PwdFitResult r = RefLeBailFit(p, f, 6);
  EXPECT_NEAR(p.Phases[0].QVec[0][2], 0.31, 2e-5);
  EXPECT_LT(r.R.Rwp, 1.);
}

// Time of flight (difc 5000, difa -2): a cubic phase (Laue class m-3m)
// whose Lorentzian widths are made by an anisotropic strain tensor and the
// cubic harmonic of order 4: the width's derivatives by them against
// differences, and a Le Bail fit from a start with the strain 1.3 times too
// large and half the size term.
TEST(RefLeBailFit, TimeOfFlightStrainTensorAndHarmonics) {
  PwdPatternData p;
  for (int i = 0; i < 800; ++i) p.X.push_back(3500. + 12. * i);
  p.Yo.assign(p.X.size(), 0.);
  p.Tof = true, p.Difc = 5000., p.Difa = -2.;
  p.Bckg.Coef = {80., 0., 0.};
  PwdMakeSkipFlags(p, {});
  PwdPhaseData ph;
  ph.Cell = {4.2, 4.2, 4.2, 90., 90., 90.};
  // Point group 432 from the fourfold axis along c and the threefold along [111].
  std::vector<Mat3> ops{{1, 0, 0, 0, 1, 0, 0, 0, 1}};
  for (size_t i = 0; i < ops.size(); ++i)
    for (const Mat3& g : {Mat3{0, -1, 0, 1, 0, 0, 0, 0, 1}, Mat3{0, 0, 1, 1, 0, 0, 0, 1, 0}}) {
      Mat3 m{};
      for (size_t r = 0; r < 9; ++r)
        for (size_t k = 0; k < 3; ++k) m[r] += ops[i][r / 3 * 3 + k] * g[3 * k + r % 3];
      if (std::find(ops.begin(), ops.end(), m) == ops.end()) ops.push_back(m);
    }
  ph.Sym = CrlPrimitivePhase(3);
  ph.Sym.Op.resize(ops.size(), ph.Sym.Op[0]);
  for (size_t k = 0; k < ops.size(); ++k) ph.Sym.Op[k].RM = ops[k];
  ph.Sym.NSymm = static_cast<int>(ops.size());
  ph.Prof.Tof = true, ph.Prof.Alpha1 = 0.3, ph.Prof.Beta0 = 0.04, ph.Prof.Beta1 = 0.01;
  ph.Prof.Sig1 = 30., ph.Prof.Gam1 = 0.5, ph.Prof.Gam2 = 1.;
  ph.Broad.Strain = PwdStrainTensor, ph.Broad.Size = PwdSizeHarmonics;
  p.Phases.push_back(ph);
  ErrorRecord err;
  ASSERT_EQ(PwdGenerateRefl(p, err), 0);
  PwdBroadening& b = p.Phases[0].Broad;
  ASSERT_EQ(PwdBroadCount(b), 3);
  const std::vector<double> strain{6., 4.}, size{1.5};
  b.StrainPar = strain, b.ShPar = size;
  PwdSetProfiles(p);
  PwdProfValue unit;  // the profile's dHL set to 1: PwdBroadDeriv gives dHL/dp
  unit.dHL = 1.;
  for (size_t i = 0; i < p.Refl.size(); ++i)
    for (int k = 0; k < 3; ++k) {
      const double keep = *PwdBroadRef(b, k), an = PwdBroadDeriv(p.Refl[i], 0, unit, k);
      double hl[2];
      for (int s = 0; s < 2; ++s) *PwdBroadRef(b, k) = keep + (s ? -1e-4 : 1e-4), PwdSetProfiles(p), hl[s] = p.Refl[i].Pk[0].HL;
      *PwdBroadRef(b, k) = keep;
      EXPECT_NEAR(an, (hl[0] - hl[1]) / 2e-4, 1e-4 * std::abs(an) + 1e-9) << PwdBroadName(b, k) << " " << i;
    }
  PwdSetProfiles(p);
  PwdSetBackgroundPoints(p);
  for (auto& r : p.Refl) r.I = {3000. / std::sqrt(r.Q), 0.};
  PwdSetPoints(p);
  p.Yo = p.Yc;
  p.Sig.clear();
  for (double y : p.Yo) p.Sig.push_back(std::sqrt(y));
  for (double& v : b.StrainPar) v *= 1.3;
  b.ShPar = {0.75};
  PwdFitFlags f;
  f.Bckg = {1, 1, 1};
  f.Cell = {1};
  f.Width = {{}}, f.Asym = {{}};
  f.Broad = {std::vector<char>(3, 1)};
  const PwdFitResult r = RefLeBailFit(p, f, 18);
  EXPECT_LT(r.R.Rwp, 0.5);
  const PwdBroadening& e = p.Phases[0].Broad;
  for (size_t k = 0; k < strain.size(); ++k) EXPECT_NEAR(e.StrainPar[k], strain[k], 0.02 * strain[k]) << PwdBroadName(e, static_cast<int>(k));
  EXPECT_NEAR(e.ShPar[0], size[0], 0.03);
}

// The fundamental approach: a pattern made with a receiving slit of 0.3 mm
// and a secondary Soller slit of 2.5 deg (which limits the axial divergence)
// gives both back from 0.2 mm and 2 deg.
TEST(RefLeBailFit, FundamentalGeometryIsFittedBack) {
  PwdPatternData p = Synthetic({1.5406, 0.}, {}, 1200);
  auto& pr = p.Phases[0].Prof;
  pr.Asymm = PwdAsymFundamental, pr.NAsym = 0;
  pr.FaGeom.RecSlitWidth = 0.3, pr.FaGeom.SollerSec = 2.5, pr.FaGeom.DivSlit = 1.;
  pr.FaGeomStep = 0.025;
  PwdSetProfiles(p);
  PwdSetPoints(p);
  p.Yo = p.Yc;
  double area = 0.;  // the instrument function keeps the profile normalised
  for (int i = -400; i <= 400; ++i) area += 0.0025 * Prfl(p.Refl[0].Pk[0], 0.0025 * i, false).Value;
  EXPECT_NEAR(area, 1., 0.02);
  pr.FaGeom.RecSlitWidth = 0.2, pr.FaGeom.SollerSec = 2.;
  PwdSetProfiles(p);
  PwdFitFlags f = UsualFlags();
  f.Width = {{}};
  f.Fund[2] = f.Fund[8] = f.Fund[7] = 1;  // the primary Soller slit is not in use: not refined
  const PwdFitResult r = RefLeBailFit(p, f, 10);
  EXPECT_EQ(std::count_if(r.Params.begin(), r.Params.end(), [](const auto& q) { return q.Kind == PkFund; }), 2);
  EXPECT_LT(r.R.Rwp, 0.5);
  EXPECT_NEAR(p.Phases[0].Prof.FaGeom.RecSlitWidth, 0.3, 1e-3);
  EXPECT_NEAR(p.Phases[0].Prof.FaGeom.SollerSec, 2.5, 5e-3);
  EXPECT_NEAR(p.Phases[0].Cell[2], 7.9, 2e-5);
}

// The header switches over the record.
TEST(PwdFundamental, HeaderSwitchesAndWavelengthFile) {
  PwdM41 m;
  SetBasicM41(m);
  for (const auto& [k, v] : {std::pair{"radsec", "217.5"}, {"usersw", "0"}, {"usefdsa", "0"}}) m.Set(k, {v});
  m.Blocks.resize(1);
  for (double v : {240., 240., 0.3, 12., 20., 12., 15., 2., 2.5}) m.Blocks[0].Fund.push_back({v, 0, 0.});
  ErrorRecord err;
  const PwdFaGeometry g = PwdFaFromM41(m, 1);
  EXPECT_EQ(std::vector<double>({g.RadPrim, g.RadSec, g.RecSlitWidth, g.DivSlit, g.SollerPrim}),
            std::vector<double>({240., 217.5, 0., 20., 2.}));
  EXPECT_FALSE(g.FixedDivSlit);

  // A damaged wavelength-profile file names its line and changes nothing.
  const std::string lam = (std::filesystem::temp_directory_path() / "tarn_fa_lam.txt").string();
  std::ofstream(lam) << "1.540598 100 0.0005\n\n1.54x4 50\n";
  PwdPatternData p;
  EXPECT_EQ(PwdLamFile(lam, p, err), 1);
  EXPECT_EQ(err.Line, 3);
  EXPECT_EQ(p.Lam, PwdPatternData().Lam);
  std::filesystem::remove(lam);
}

}  // namespace
}  // namespace tarn
