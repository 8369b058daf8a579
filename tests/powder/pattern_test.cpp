// Pattern and instrument readers, the M41 file and the Le Bail partition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <string>

#include "powder/lebail.hpp"
#include "powder/m41.hpp"
#include "powder/prf.hpp"
#include "powder/pwdimport.hpp"
#include "support/temp_dir.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

constexpr const char* kPbso4 = "../shared/data/powder/pbso4/";

struct ReadCase {
  const char* Label;
  const char* Text;
  size_t N;
  double X0, Y0, S0;  // first point
};

TEST(PwdImport, FormatsReadTheirPoints) {
  const ReadCase cases[] = {
      {"GSAS standard", "title\nBANK 1 3 1 CONST 1000 5 0 0 STD\n 4   400     100     121\n", 3, 10., 400., 10.},
      {"GSAS standard", "title\nBANK 1 2 1 CONST 2000 5 0 0 ESD\n     100      12     200      14\n", 2, 20., 100., 12.},
      {"GSAS standard", "t\nBANK 1 2 2 CONS 1000 5 0 0 FXYE\n1000 50 7\n1005 60 8\n", 2, 10., 50., 7.},
      {"XY", "# 2theta I\n5.0 100\n5.02 144 13\n", 2, 5., 100., 10.},
      {"FullProf", "5.0 0.5 6.0  sample\n 10 20\n 30\n", 3, 5., 10., std::sqrt(10.)},
      {"FullProf", "XYDATA\nINTER 1 1 0\n! comment\n5 9 3\n6 16 4\n", 2, 5., 9., 3.},
      {"CIF powder", "data_p\n_pd_meas_2theta_range_min 10\n_pd_meas_2theta_range_inc 0.5\n"
                     "loop_ _pd_meas_intensity_total 100(11) 120(12)\n", 2, 10., 100., 11.},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    const std::string f = dir.Write("p.dat", c.Text);
    PwdPattern p;
    ErrorRecord err;
    ASSERT_EQ(PwdReadPattern(f, c.Label, 0, p, err), 0) << c.Label << ": " << err.Text();
    ASSERT_EQ(p.X.size(), c.N) << c.Label;
    EXPECT_NEAR(p.X[0], c.X0, 1e-9) << c.Label;
    EXPECT_NEAR(p.Y[0], c.Y0, 1e-9) << c.Label;
    EXPECT_NEAR(p.Sig[0], c.S0, 1e-9) << c.Label;
  }
}

TEST(PwdImport, DamagedFilesNameTheLine) {
  const struct {
    const char* Label;
    const char* Text;
    int Line;
  } cases[] = {
      {"GSAS standard", "title\nBANK 1 4 1 CONST 1000 5 0 0 STD\n     100     1x1\n", 3},
      {"GSAS standard", "title\nBANK 1 40 4 CONST 1000 5 0 0 STD\n     100     101\n", 3},
      {"GSAS standard", "title\nBANK x\n", 2},
      {"XY", "5 1\n6 2\nsix 3\n", 3},
      {"FullProf", "5.0 0.5\n1 2\n", 1},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    const std::string f = dir.Write("bad.dat", c.Text);
    PwdPattern p;
    ErrorRecord err;
    EXPECT_EQ(PwdReadPattern(f, c.Label, 0, p, err), 1) << c.Text;
    EXPECT_EQ(err.File, f);
    EXPECT_EQ(err.Line, c.Line) << err.Text();
    EXPECT_TRUE(p.X.empty());
  }
}

TEST(PwdImport, PublishedPatternsAndInstruments) {
  if (!std::filesystem::exists(kPbso4)) GTEST_SKIP() << "no shared data";
  const std::string d = kPbso4;
  PwdPattern x, n;
  PwdInstrument xi, ni;
  ErrorRecord err;
  ASSERT_EQ(PwdReadPattern(d + "PBSO4.XRA", "gsas standard", 0, x, err), 0) << err.Text();
  ASSERT_EQ(PwdReadPattern(d + "PBSO4.CWN", "GSAS standard", 1, n, err), 0) << err.Text();
  EXPECT_EQ(x.X.size(), 6001u);
  EXPECT_NEAR(x.X.back(), 160., 1e-9);
  EXPECT_EQ(n.X.size(), 2919u);
  EXPECT_NEAR(n.X[1] - n.X[0], 0.05, 1e-12);
  ASSERT_EQ(PwdReadInstrument(d + "INST_XRY.PRM", 1, xi, err), 0) << err.Text();
  EXPECT_NEAR(xi.Lam2, 1.5443, 1e-9);
  EXPECT_NEAR(xi.KRatio, 0.5, 1e-9);
  EXPECT_NEAR(xi.HL, 0.015, 1e-9);
  // Its polarisation fraction P, kept as a monochromator angle, gives the
  // polarisation part P + (1 - P) cos**2 2theta of Lp; neutrons have none.
  EXPECT_NEAR(xi.Pola, 0.7, 1e-9);
  PwdPatternData lp;
  lp.PolK = PwdPolK(PwdMonAngleFromPola(xi.Pola));
  const double th = 30. * std::numbers::pi / 180., lor = 1. / (std::sin(th) * std::sin(th) * std::cos(th));
  EXPECT_NEAR(PwdLpFactor(lp, 60.) / lor, 0.7 + 0.3 * 0.25, 1e-12);
  EXPECT_NEAR(PwdPolaFromMonAngle(PwdMonAngleFromPola(0.5)), 0.5, 1e-12);
  lp.Radiation = 2;
  EXPECT_NEAR(PwdLpFactor(lp, 60.) / lor, 1., 1e-12);
  ASSERT_EQ(PwdReadInstrument(d + "inst_d1a.prm", 1, ni, err), 0) << err.Text();
  EXPECT_EQ(ni.Radiation, 2);
  EXPECT_EQ(ni.ProfFun, PwdGauss);
  EXPECT_NEAR(ni.GU, 354.031, 1e-9);
  EXPECT_NEAR(ni.Zero, -0.001, 1e-12);
  // A GSAS-II file is told from a GSAS one by its content.
  test::TempDir dir;
  PwdInstrument g;
  ASSERT_EQ(PwdReadInstrument(dir.Write("i.txt", "#GSAS-II\nType:PNC\nLam:1.909\nU:100\nSH/L:0.004\n"), 1, g, err), 0);
  EXPECT_EQ(g.Lam2, 0.);
  EXPECT_NEAR(g.SL + g.HL, 0.004, 1e-12);
  // The exported ".instprm" text reads back to the same instrument.
  PwdInstrument back;
  ASSERT_EQ(PwdReadInstrument(dir.Write("x.instprm", PwdInstprmText(xi)), 1, back, err), 0) << err.Text();
  EXPECT_EQ(back.Radiation, 1);
  for (auto [a, b] : {std::pair{back.Lam1, xi.Lam1}, {back.Lam2, xi.Lam2}, {back.KRatio, xi.KRatio},
                      {back.GU, xi.GU}, {back.GW, xi.GW}, {back.Pola, xi.Pola}, {back.LX, xi.LX}, {back.SL + back.HL, xi.SL + xi.HL}})
    EXPECT_NEAR(a, b, 1e-9);
  ASSERT_EQ(PwdReadInstrument(dir.Write("n.instprm", PwdInstprmText(ni)), 1, back, err), 0);
  EXPECT_EQ(back.Radiation, 2);
  EXPECT_EQ(back.Lam2, 0.);
  EXPECT_NEAR(back.Zero, -0.001, 1e-12);
}

TEST(PwdM41File, RoundTripAndMessages) {
  PwdM41 m;
  SetBasicM41(m);
  m.Set("bckgnum", {"3"});
  m.Set("skipfrto", {"10", "12"});
  m.Set("skipfrto", {"50", "51"});
  m.Set("asymm", {"3"}, 1);
  m.Sections.push_back({"datblock", "powder1", {}});
  PwdBlockPar b;
  b.Name = "powder1";
  b.Bckg = {{100., 1, 0.}, {-3.5, 1, 0.25}, {0., 0, 0.}};
  b.Asym = {{0.02, 1, 0.}, {0.01, 0, 0.}};
  b.Fund.assign(9, {0.25, 1, 0.01});
  b.Phase.resize(1);
  b.Phase[0].Cell[0] = {8.4803, 1, 0.0001};
  b.Phase[0].Strain = {{1.5, 1, 0.1}, {2., 0, 0.}};
  b.Phase[0].SphHarm = {{0.3, 1, 0.}};
  b.Phase[0].BroadHkl = {{1., 1, 0.}, {2., 0, 0.}};
  m.Blocks.push_back(b);
  const std::string text = M41Text(m);
  // The phase's sections in their order.
  size_t at = 0;
  for (const char* sec : {"# Wavelength", "# Fundamental parameters", "# Asymmetry parameters", "# Lorentzian parameters", "# Strain parameters",
                          "# Coefficients of spherical harmonics for particle broadening", "# Broadening HKL",
                          "# Preferred orientation"}) {
    const size_t k = text.find(sec);
    ASSERT_NE(k, std::string::npos) << sec;
    EXPECT_GT(k, at) << sec;
    at = k;
  }
  PwdM41 r, c0;
  ErrorRecord err;
  ASSERT_EQ(M41Parse(text, "s.m41", r, err), 0) << err.Text();
  EXPECT_EQ(M41Text(r), text);
  EXPECT_EQ(r.All("skipfrto").size(), 2u);
  EXPECT_EQ(r.Blocks[0].Asym.size(), 2u);
  EXPECT_EQ(r.Blocks[0].Phase[0].Strain.size(), 2u);
  EXPECT_EQ(r.Blocks[0].Phase[0].BroadHkl[1].V, 2.);
  EXPECT_EQ(r.Blocks[0].Fund.size(), 9u);
  // A file written before the fundamental parameters existed.
  std::string old = text;
  old.erase(old.find("# Fundamental"), old.find("# Asymmetry") - old.find("# Fundamental"));
  ASSERT_EQ(M41Parse(old, "o.m41", c0, err), 0) << err.Text();
  EXPECT_TRUE(c0.Blocks[0].Fund.empty());
  // Time of flight in the second form: its two records instead of the first.
  PwdM41 t = r;
  t.Tof = true;
  t.Set("tofkey", {"1"}), t.Set("tofjason", {"1"});
  t.Blocks[0].TofE[4] = {9100., 1, 0.}, t.Blocks[0].TofCross[1] = {20., 0, 0.};
  const std::string tt = M41Text(t);
  EXPECT_EQ(tt.find("# TOF parameters - zero,"), std::string::npos);
  ASSERT_EQ(M41Parse(tt, "t.m41", c0, err), 0) << err.Text();
  EXPECT_EQ(M41Text(c0), tt);
  EXPECT_EQ(c0.Blocks[0].TofE[4].V, 9100.);
  // A changed "bckgnum" does not break the reading of the values written before.
  PwdM41 c = r;
  c.Set("bckgnum", {"8"});
  ASSERT_EQ(M41Parse(M41Text(c), "s.m41", r, err), 0) << err.Text();
  EXPECT_EQ(r.Blocks[0].Bckg.size(), 3u);
  // Duplicate keyword: the first value stays, a note says so.
  ASSERT_EQ(M41Parse("bckgnum 2\nbckgnum 4\nend\n", "s.m41", r, err), 0);
  EXPECT_EQ(r.Int("bckgnum", 0), 2);
  ASSERT_EQ(r.Notes.size(), 1u);
  EXPECT_EQ(r.Notes[0], "duplicate occurrence of \"bckgnum\": remember that the first occurrence will be accepted");
  // End of file inside the header and inside a record.
  EXPECT_EQ(M41Parse("bckgnum 2\n", "s.m41", r, err), 1);
  EXPECT_EQ(err.Message, "Unexpected end of M41 file.");
  EXPECT_EQ(M41Parse(text.substr(0, text.size() - 30), "s.m41", r, err), 1);
  EXPECT_EQ(err.Message, "Unexpected end of M41 file.");
}

// A neutron pattern of a primitive cubic cell (a = 5.1 A), 10-70 deg, with
// its reflections at the start intensity.
PwdPatternData CubicPattern() {
  PwdPatternData p;
  for (int i = 0; i < 3000; ++i) p.X.push_back(10. + 0.02 * i);
  p.Yo.assign(p.X.size(), 0.);
  p.Sig.assign(p.X.size(), 1.);
  p.Radiation = 2;
  p.Lam = {1.5, 0.};
  p.Bckg.Coef = {50.};
  PwdMakeSkipFlags(p, {});
  PwdSetBackgroundPoints(p);
  PwdPhaseData ph;
  ph.Cell = {5.1, 5.1, 5.1, 90., 90., 90.};
  ph.Sym = CrlPrimitivePhase(3);
  ph.Prof.GW = 40., ph.Prof.LY = 5.;
  p.Phases.push_back(ph);
  ErrorRecord err;
  EXPECT_EQ(PwdGenerateRefl(p, err), 0);
  return p;
}

// The partition recovers the intensities that made a synthetic pattern, and
// the profile file reads back.
TEST(PwdLeBailPartition, RecoversTheIntensitiesOfASyntheticPattern) {
  PwdPatternData p = CubicPattern();
  ErrorRecord err;
  // True intensities: a smooth function of the position, then the pattern.
  std::vector<double> truth;
  for (auto& r : p.Refl) truth.push_back(r.I[0] = 1000. + 30. * r.Pos[0]);
  PwdSetPoints(p);
  p.Yo = p.Yc;
  pwdlebailfromhkl(p);
  const int it = PwdLeBail(p);
  EXPECT_GT(it, 1);
  EXPECT_LE(it, kPwdMaxLeBail);
  // Reflections that coincide (same 1/d**2 in P-1) share their sum; compare sums per position.
  double worst = 0.;
  for (size_t k = 0; k < p.Refl.size();) {
    size_t e = k;
    double si = 0., st = 0.;
    while (e < p.Refl.size() && std::abs(p.Refl[e].Pos[0] - p.Refl[k].Pos[0]) < 1e-6) si += p.Refl[e].I[0], st += truth[e], ++e;
    worst = std::max(worst, std::abs(si - st) / st);
    k = e;
  }
  EXPECT_LT(worst, 0.01);
  EXPECT_LT(PwdRFactors(p, 0).Rwp, 0.5);
  // The profile file reads back.
  test::TempDir dir;
  const std::string f = dir / "s.prf";
  p.Refl[0].F2Obs = 123.5;
  ASSERT_EQ(PwdMakePrfFile(f, p), 0);
  PwdPrf prf;
  ASSERT_EQ(PwdPrfNacti(f, prf, err), 0) << err.Text();
  EXPECT_EQ(prf.X.size(), p.X.size());
  ASSERT_EQ(prf.Ticks.size(), p.Refl.size());
  EXPECT_EQ(prf.Ticks[0].Mult, p.Refl[0].Mult);
  EXPECT_NEAR(*prf.Ticks[0].D, 1. / std::sqrt(p.Refl[0].Q), 1e-6);
  EXPECT_EQ(prf.Ticks[0].F2Obs, 123.5);
  EXPECT_FALSE(prf.Ticks[0].F2Calc.has_value());
  // A file of the earlier layout (reflection records end after the peaks) still reads.
  std::string old;
  for (const auto& l : SplitOn(test::TempDir::Read(f), "\n"))
    old += std::string(l.substr(0, std::min<size_t>(l.size(), 123))) + "\n";
  ASSERT_EQ(PwdPrfNacti(dir.Write("old.prf", old), prf, err), 0) << err.Text();
  ASSERT_EQ(prf.Ticks.size(), p.Refl.size());
  EXPECT_FALSE(prf.Ticks[0].D.has_value());
  EXPECT_EQ(PwdPrfNacti(dir.Write("x.prf", "garbage\n"), prf, err), 1);
  EXPECT_EQ(err.Message, kPrfBad);
}

// A phase of known structure starts from s m |F|**2 (here |F|**2 off the
// truth by up to 5 %, broad overlapping peaks, noisy counts) and needs
// fewer partitions than from equal intensities.
TEST(PwdLeBailPartition, KnownStructureStartsFromItsStructureFactors) {
  PwdPatternData p = CubicPattern();
  p.Phases[0].Prof.GW = 20000.;  // broad, overlapping peaks: a slow partition
  PwdSetProfiles(p);
  for (size_t k = 0; k < p.Refl.size(); ++k) {
    auto& r = p.Refl[k];
    r.I[0] = 1000. * (1.2 + std::sin(0.7 * static_cast<double>(k)));
    r.F2Calc = r.I[0] / r.Mult * (1. + 0.05 * std::cos(1.3 * static_cast<double>(k)));
  }
  PwdSetPoints(p);
  // Counting noise (a fixed pseudo-random sequence): R levels off.
  for (size_t i = 0; i < p.X.size(); ++i) {
    const double u = std::sin(12.9898 * static_cast<double>(i)) * 43758.5453;
    p.Yo[i] = p.Yc[i] + 2. * (u - std::floor(u) - 0.5) * std::sqrt(0.02 * p.Yc[i]);
  }
  PwdPatternData q = p;
  pwdlebailfromhkl(p);
  EXPECT_EQ(p.Refl[3].I[0], kPwdLeBailStart);
  q.Phases[0].UseKnown = true;
  pwdlebailfromhkl(q);
  const double s = q.Refl[0].I[0] / (q.Refl[0].Mult * q.Refl[0].F2Calc);
  EXPECT_NEAR(s, 1., 0.05);
  for (const auto& r : q.Refl) EXPECT_NEAR(r.I[0] / (r.Mult * r.F2Calc), s, 1e-9 * s);
  const int equal = PwdLeBail(p), known = PwdLeBail(q);
  // Exactly overlapping reflections keep the ratio they start with: only
  // the start from |F|**2 splits them right.
  double errEqual = 0., errKnown = 0.;
  for (size_t k = 0; k < p.Refl.size(); ++k) {
    const double t = 1000. * (1.2 + std::sin(0.7 * static_cast<double>(k)));
    errEqual = std::max(errEqual, std::abs(p.Refl[k].I[0] / t - 1.));
    errKnown = std::max(errKnown, std::abs(q.Refl[k].I[0] / t - 1.));
  }
  EXPECT_LT(errKnown, 0.1);
  EXPECT_GT(errEqual, 1.);
  EXPECT_LT(known, equal / 2) << known << " partitions from |F|**2, " << equal << " from equal intensities";
  EXPECT_LT(PwdRFactors(q, 0).Rp, PwdRFactors(p, 0).Rp * 1.01);
}

// Profile ranges: cutoff FWHM each side by default; an explicit range holds
// the half range between its bounds, satellites by their own bounds.
TEST(PwdLeBailPartition, ExplicitCutoffsBoundTheProfileRange) {
  PwdPatternData p = CubicPattern();
  auto span = [&](const PwdReflection& r) { return p.X[static_cast<size_t>(r.Last[0])] - p.X[static_cast<size_t>(r.First[0])]; };
  PwdSetProfiles(p);
  const double free0 = span(p.Refl[0]);
  EXPECT_NEAR(free0, 2. * 8. * p.Refl[0].Pk[0].H, 0.05);
  p.Refl[1].M = {1, 0, 0};  // treated as a satellite
  p.CutMain = {true, 0., 0.5};
  p.CutSat = {true, 3., 4.};
  PwdSetProfiles(p);
  ASSERT_GT(free0, 1.1);
  EXPECT_NEAR(span(p.Refl[0]), 1., 0.05);
  EXPECT_NEAR(span(p.Refl[1]), 6., 0.05);
  EXPECT_NEAR(p.Refl[1].Pos[0] - p.X[static_cast<size_t>(p.Refl[1].First[0])], 3., 0.02);
  p.CutMain = {false, 0., 0.5};
  PwdSetProfiles(p);
  EXPECT_DOUBLE_EQ(span(p.Refl[0]), free0);
}

TEST(PwdLeBailPartition, NoReflectionsInsideThePattern) {
  PwdPatternData p;
  p.X = {1., 1.1, 1.2};
  p.Yo = p.Sig = {1., 1., 1.};
  p.Lam = {1.5, 0.};
  PwdPhaseData ph;
  ph.Cell = {2., 2., 2., 90., 90., 90.};
  ph.Sym = CrlPrimitivePhase(3);
  p.Phases.push_back(ph);
  ErrorRecord err;
  EXPECT_EQ(PwdGenerateRefl(p, err), 1);
  EXPECT_EQ(err.Message, "No Bragg reflections generated.");
}

}  // namespace
}  // namespace tarn
