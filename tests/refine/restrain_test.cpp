// Restraints: the derivatives of every kind against central differences
// (through symmetry parts, the cell, a molecule position and position waves on
// the grid of the internal coordinate), the weight of a distfix item, and
// whole runs in which restraints hold a geometry and a moment.
#include "refine/restrain.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <set>

#include "model/structure.hpp"
#include "refine/refine_listing.hpp"
#include "support/refine_sim.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

using namespace testsim;

// The structure of a case: 0 monoclinic P2_1 with anisotropic atoms and a
// molecule, 1 modulated with position waves, 2 a magnetic atom.
void SetStructure(int kind) {
  if (kind == 2) {
    SetPhase({.Cell = kCellMono, .Ops = {"x y z"}, .Magnetic = true});
    AtomRec a = MakeAtom({"Fe1", 2, 1, 1., {0.1, 0.2, 0.3}, {0.01}});
    AtomShape sh = a.Shape;
    sh.MagPar = 1;
    ReallocateAtomParams(a, sh);
    const int o = AtomLayout(sh).Off[BlkMag];
    a.Par.Val[static_cast<size_t>(o)] = 1.2;
    a.Par.Val[static_cast<size_t>(o + 1)] = -0.7;
    a.Par.Val[static_cast<size_t>(o + 2)] = 2.1;
    Struct.Model.Atom.push_back(a);
    SetBasicM40();
    return;
  }
  if (kind == 1) {
    SetModPhase(
        {.Cell = {6.1, 7.2, 8.3}, .Q = {{0., 0., 0.371}}, .AtType = "C", .Ops = {"x1 x2 x3 x4"}});
    const AtomShape sh = WaveShape(1, 0, 2, 0);
    Struct.Model.Atom.push_back(MakeModAtom({"M1", 1., {0.11, 0.21, 0.31}, 0.01, {}}, sh, 3));
    Struct.Model.Atom.push_back(MakeModAtom({"M2", 1., {0.27, 0.18, 0.42}, 0.01, {}}, sh, 7));
    Struct.Model.Atom.push_back(MakeModAtom({"M3", 1., {0.22, 0.39, 0.29}, 0.01, {}}, sh, 9));
    SetBasicM40();
    return;
  }
  SetPhase({.Cell = kCellMono, .Ops = {"x y z", "-x y+1/2 -z"}});
  const std::array<double, 6> b = {0.0061, 0.0102, 0.0051, 0.0007, -0.0012, 0.0009};
  const std::array<std::array<double, 3>, 5> x = {{{0.11, 0.21, 0.31},
                                                   {0.27, 0.18, 0.42},
                                                   {0.22, 0.39, 0.29},
                                                   {0.05, 0.33, 0.52},
                                                   {0.31, 0.45, 0.37}}};
  for (int i = 0; i < 5; ++i) {
    std::array<double, 6> bi = b;
    for (int k = 0; k < 6; ++k) bi[static_cast<size_t>(k)] *= 1. + 0.13 * i - 0.07 * k;
    Struct.Model.Atom.push_back(
        MakeAtom({("C" + std::to_string(i + 1)).c_str(), 1, 2, 1., x[static_cast<size_t>(i)], bi}));
  }
  MoleculeRec m;
  m.Name = "Mol1";
  m.Ref.resize(3);
  m.Ref.Val = {0.3, 0.25, 0.4};
  m.Atoms.push_back(MakeAtom({"MA1", 1, 2, 1., {0.35, 0.22, 0.47}, b}));
  MolPosRec pos;
  pos.Name = "Mol1a";
  pos.Par.resize(MolLayout(m.Shape).NPar);
  pos.Par.Val = {1., 11., 23., -7., 0.01, -0.02, 0.03};
  m.Pos.push_back(pos);
  Struct.Model.Mol.push_back(m);
  SetBasicM40();
}

struct FdCase {
  int Structure;
  int Kw;
  const char* Args;
};

class RestrainFd : public ::testing::TestWithParam<FdCase> {};

// Calculated value of every observation as a function of each parameter that
// enters it, analytic against central differences.
TEST_P(RestrainFd, DerivativesMatchCentralDifferences) {
  const FdCase c = GetParam();
  SetStructure(c.Structure);
  RefSettings ref;
  ASSERT_EQ(RefParseSubCommand(ref, c.Kw, c.Args), 0) << c.Args;
  RefParams p;
  ASSERT_EQ(RefPrelimConstr(p, ref), 0);
  std::vector<RestrCmd> cmds;
  std::vector<std::string> lst;
  ASSERT_EQ(RefRestrain(ref, cmds, lst), 0) << lst.back();
  std::set<int> pars;
  for (const auto& o : RefRestrainObs(p, cmds))
    for (const auto& [i, d] : o.G)
      if (d != 0.) pars.insert(i);
  ASSERT_FALSE(pars.empty());
  for (int i : pars) {
    auto f = [&](double v, std::vector<double>* der) {
      p.Val[static_cast<size_t>(i)] = v;
      std::vector<double> y;
      for (const auto& o : RefRestrainObs(p, cmds)) {
        y.push_back(o.Calc);
        if (!der) continue;
        double s = 0.;
        for (const auto& [j, d] : o.G) s += j == i ? d : 0.;
        der->push_back(s);
      }
      return y;
    };
    const bool angle = p.Info[static_cast<size_t>(i)].Kind == OwnPhase &&
                       p.Info[static_cast<size_t>(i)].Local >= 3;
    EXPECT_TRUE(test::FdAgree(
        test::FdScan(f, p.Val[static_cast<size_t>(i)], {.Step = angle ? 1e-4 : 1e-6}), 2e-4))
        << c.Args << " " << p.Info[static_cast<size_t>(i)].Label;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RestrainFd,
    ::testing::Values(
        FdCase{0, RkDistFix, "1.54 0.01 C1 C2; C2 C3#s2t0,0,1; MA1 MA1#s2"},
        FdCase{0, RkAngleFix, "= 0.5 C1 C2 C3; C2 C3#s2 C4"},
        FdCase{0, RkTorsFix, "60 1 C1 C2 C3 C4; C5 C1#s2 C2 C3"},
        FdCase{0, RkChivFix, "2.5 0.2 C2 C1 C3 C4"}, FdCase{0, RkPlaneFix, "0.1 C1 C2 C3 C4 C5"},
        FdCase{0, RkAdpFix, "rigu 0.004 C1 C2; C2 C3#s2; MA1 MA1#s2t1,0,0"},
        FdCase{0, RkAdpFix, "delu 0.01 C1 C3"}, FdCase{0, RkAdpFix, "simu 0.04 C1 C2#s2"},
        FdCase{0, RkAdpFix, "isor 0.1 C4 MA1"}, FdCase{1, RkDistFix, "* 0.01 M1 M2; M2 M3"},
        FdCase{1, RkAngleFix, "100 0.5 M1 M2 M3"}, FdCase{2, RkMagmFix, "3 0.1 Fe1"}));

// distfix with s.u. 0.01: weight 10000 for each item; "=" restrains to the mean.
TEST(Restrain, DistfixWeightAndCommonValue) {
  SetStructure(0);
  RefSettings ref;
  ASSERT_EQ(RefParseSubCommand(ref, RkDistFix, "1.54 0.01 C1 C2; C2 C3"), 0);
  ASSERT_EQ(RefParseSubCommand(ref, RkDistFix, "= 0.02 C1 C2; C2 C3"), 0);
  RefParams p;
  ASSERT_EQ(RefPrelimConstr(p, ref), 0);
  std::vector<RestrCmd> cmds;
  std::vector<std::string> lst;
  ASSERT_EQ(RefRestrain(ref, cmds, lst), 0);
  const auto obs = RefRestrainObs(p, cmds);
  ASSERT_EQ(obs.size(), 4u);
  EXPECT_DOUBLE_EQ(obs[0].W, 10000.);
  EXPECT_DOUBLE_EQ(obs[1].W, 10000.);
  EXPECT_EQ(obs[0].Target, 1.54);
  EXPECT_NEAR(obs[2].Calc + obs[3].Calc, 0., 1e-12);  // v - mean of the two
  EXPECT_DOUBLE_EQ(obs[2].W, 2500.);
  const RestrSums s = RefLoopDistAng(p, cmds, nullptr);
  EXPECT_EQ(s.N, 4);
  double w = 0.;
  for (const auto& o : obs) w += o.W * (o.Target - o.Calc) * (o.Target - o.Calc);
  EXPECT_NEAR(s.WSum, w, 1e-9 * w);
}

// Whole runs on data simulated from the true model in P2_1 (polar along b).
constexpr const char* kM50P21 =
    "Version Tarnwork\ntitle simulated\ncell 5.1 6.2 7.3 90 101 90\nndim 3\nspgroup P21 4\n"
    "lattice P\nsymmetry x y z\nsymmetry -x y+1/2 -z\nunitsnumb 2\nchemform C O\natom C\n"
    "atom O\nlambda 0.71073\nend\n";
constexpr double kTrueP21[3][3] = {
    {0.1234, 0.2345, 0.3456}, {0.3321, 0.3043, 0.4765}, {0.2012, 0.0511, 0.1012}};

class RestrainRun : public testsim::DiskRun {
 protected:
  void SetUp() override {
    Open(kM50P21);
    if (IsSkipped()) return;
    for (int k = 0; k < 3; ++k)
      testsim::AddIsoAtom("A" + std::to_string(k + 1), k == 1 ? 2 : 1,
                          {kTrueP21[k][0], kTrueP21[k][1], kTrueP21[k][2]}, 0.015);
    SetBasicM40();
    Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
    ASSERT_EQ(testsim::WriteSimulatedM90(Fln + ".m90", 4), 0);
  }
  // Cartesian position of atom k of a model.
  static Eigen::Vector3d Cart(const AtomModel& m, int k) {
    const auto& v = m.Atom[static_cast<size_t>(k)].Par.Val;
    return ToEigen(RefOrthoMatrix(Struct.Basic.Phase[0].Cell)) * Eigen::Vector3d(v[1], v[2], v[3]);
  }
};

// Every atom displaced by 0.03 Angstrom: the origin along b stays fixed by the
// default procedure, the atoms return, and a distfix holds its distance.
TEST_F(RestrainRun, PolarOriginAndDistanceRestraint) {
  AtomModel truth = Struct.Model;
  const double d12 = (Cart(truth, 1) - Cart(truth, 0)).norm();
  const double cell[3] = {5.1, 6.2, 7.3};
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 3; ++i)
      Struct.Model.Atom[static_cast<size_t>(k)].Par.Val[static_cast<size_t>(1 + i)] +=
          ((k + i) % 2 ? 0.03 : -0.03) / std::sqrt(3.) / cell[i];
  ASSERT_EQ(iom40(M40Write, Fln + ".m40"), 0);
  double y0 = 0.;
  for (int k = 0; k < 3; ++k) y0 += Cart(Struct.Model, k)[1] / 3.;
  AppendRefine(fmt::format("  distfix {:.5f} 0.002 A1 A2\n  adpfix rigu 0.004 A1 A2\n", d12));
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(Count(Listing, std::string(constrmsg::OriginDefault)), 1);
  EXPECT_GE(Count(Listing, std::string(restrmsg::Sums)), 1);
  AtomModel m;
  ASSERT_EQ(iom40only(M40Read, Fln + ".m40", m), 0);
  double y1 = 0.;
  for (int k = 0; k < 3; ++k) y1 += Cart(m, k)[1] / 3.;
  EXPECT_LT(std::abs(y1 - y0), 0.005);
  // The true model up to the origin along b (the start's centroid).
  double yt = 0.;
  for (int k = 0; k < 3; ++k) yt += Cart(truth, k)[1] / 3.;
  const Eigen::Vector3d shift(0., y1 - yt, 0.);
  for (int k = 0; k < 3; ++k) EXPECT_LT((Cart(m, k) - Cart(truth, k) - shift).norm(), 0.005) << k;
  EXPECT_NEAR((Cart(m, 1) - Cart(m, 0)).norm(), d12, 2. * 0.002);
}

// dertest lists analytic / numerical ratios near 1; uisolim switches off the
// atoms whose Uiso passed it; a keyword the run does not apply is named.
TEST_F(RestrainRun, DertestUisolimAndUnusedKeywords) {
  ASSERT_EQ(iom40(M40Write, Fln + ".m40"), 0);
  AppendRefine("  cycles 2 uisolim 0.012 indtw 1\n  dertest\n");
  ASSERT_EQ(Run(), 0);
  int ratios = 0;
  for (size_t k = 0; k < Listing.size(); ++k) {
    if (Listing[k].rfind("Derivative test", 0) != 0) continue;
    for (size_t j = k + 1;
         j < Listing.size() && !Listing[j].empty() && Listing[j].find('[') != std::string::npos;
         ++j, ++ratios)
      EXPECT_NEAR(std::stod(Listing[j].substr(20)), 1., 1e-3) << Listing[j];
  }
  EXPECT_GE(ratios, 12);  // x y z Uiso of three atoms
  EXPECT_EQ(Count(Listing, "exceeds uisolim"), 3);
  EXPECT_EQ(Count(Listing, "\"indtw\" has no effect"), 1);
}

// Data whose h0l reflections carry twice the scale of the rest and lambda/2
// contamination I(h) + 0.05 I(2h): "scale 2 h0l" and lam2corr recover both;
// a third scale no reflection uses stays as it was; dertest covers sc2 and lam2.
TEST_F(RestrainRun, ScaleLineAndLambdaHalf) {
  CalcSetup cs;
  RefParams p0;
  ASSERT_EQ(RefPrelimConstr(p0, RefSettings{}), 0);
  ASSERT_EQ(CalcPrepare(cs, p0, RefSettings{}.Run), 0);
  std::vector<M90Block> b;
  std::vector<std::vector<M90Refl>> r;
  ASSERT_EQ(ReadM90File(Fln + ".m90", b, r), 0);
  for (auto& x : r[0]) {
    const CalcOut o2 = Eval(cs, {2 * x.H[0], 2 * x.H[1], 2 * x.H[2], 0, 0, 0}, false);
    x.I = (x.H[1] == 0 ? 4. : 1.) * (x.I + 0.05 * o2.Fc * o2.Fc);
    x.SigI = 0.02 * x.I + 1.;
  }
  ASSERT_EQ(WriteM90File(Fln + ".m90", b, r), 0);
  Struct.Model.DatBlock[0].Scale.resize(3);
  Struct.Model.DatBlock[0].Scale.Val = {1., 1., 0.7};
  ASSERT_EQ(iom40(M40Write, Fln + ".m40"), 0);
  AppendRefine("  cycles 6 lam2corr 1\n  scale 2 h0l\n  dertest\n");
  ASSERT_EQ(Run(), 0);
  const auto test = std::find_if(Listing.begin(), Listing.end(), [](const std::string& l) {
    return l.rfind("Derivative test", 0) == 0;
  });
  for (const char* par : {"sc2 ", "lam2 "}) {
    const auto it = std::find_if(test, Listing.end(),
                                 [&](const std::string& l) { return l.rfind(par, 0) == 0; });
    ASSERT_NE(it, Listing.end()) << par;
    EXPECT_NEAR(std::strtod(it->c_str() + std::min<size_t>(20, it->size()), nullptr), 1., 1e-3)
        << *it;
  }
  AtomModel m;
  ASSERT_EQ(iom40only(M40Read, Fln + ".m40", m), 0);
  const DatBlockModel& d = m.DatBlock[0];
  EXPECT_NEAR(d.Scale.Val[1] / d.Scale.Val[0], 2., 2e-3);
  EXPECT_EQ(d.Scale.Val[2], 0.7);
  ASSERT_EQ(d.Lam.size(), 2);
  EXPECT_NEAR(d.Lam.Val[0], 0.05, 2e-3);
  EXPECT_EQ(d.Lam.Val[1], 0.);
  EXPECT_LT(Sum.Obs.R, 0.5);
  EXPECT_EQ(Count(Listing, "has no effect"), 0);
}

// twdetail lists the domains of a twinned block and its overlapped reflections.
TEST_F(RestrainRun, TwdetailListsTheOverlaps) {
  std::string m50 = kM50P21;
  m50.insert(m50.find("lambda"), "twin 1 0 0 0 1 0 0 0 1\ntwin -1 0 0 0 -1 0 0 0 1\n");
  Dir.Write("st.m50", m50);
  ASSERT_EQ(iom50(M50Read, Fln + ".m50"), 0);
  ASSERT_EQ(EM50ReadAllFormFactors(Struct.Basic), 0);
  Struct.Model.DatBlock[0].Twin.resize(2);
  Struct.Model.DatBlock[0].Twin.Val = {0.7, 0.3};
  ASSERT_EQ(WriteSimulatedM90(Fln + ".m90", 4), 0);
  ASSERT_EQ(iom40(M40Write, Fln + ".m40"), 0);
  AppendRefine("  cycles 1 twdetail 1\n");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(Count(Listing, "Twin details of data block 1: 2 domains"), 1);
  EXPECT_EQ(Count(Listing, "  domain  2  matrix"), 1);
  EXPECT_EQ(Count(Listing, "reflections with 2 contributions"), 1);
  EXPECT_GE(Count(Listing, "overlaps  domain 2:"), 1);
}

// selsat picks main reflections or satellites; selcomp the main reflections
// of the subsystems of a composite (W2 takes a* of the second part along q).
TEST(RefineSelection, SatellitesAndCompositeParts) {
  const int order[3] = {0, 1, 2};
  const bool sat[4][3] = {{true, true, true}, {true, false, false}, {false, true, true},
                          {true, true, false}};  // selsat -2, -1, 0, 1
  for (int s = 0; s < 4; ++s)
    for (int o = 0; o < 3; ++o) EXPECT_EQ(RefSatSelected(s - 2, order[o]), sat[s][o]) << s << o;
  PhaseBasic ph;
  ph.NDim = 4;
  ph.NComp = 2;
  ph.WMatrix = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
                {0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0}};
  // main of part 1, common, main of part 2, main of none
  const std::array<int, 6> h[4] = {{1, 2, 3, 0}, {0, 1, 1, 0}, {0, 1, 1, 2}, {1, 0, 0, 1}};
  const bool want[3][4] = {{true, true, true, false}, {false, true, false, false},
                           {false, false, false, true}};
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 4; ++j)
      EXPECT_EQ(RefCompSelected(k == 2 ? 4 : k + 1, ph, h[j]), want[k][j]) << k << " " << j;
  EXPECT_TRUE(RefCompSelected(0, ph, h[3]));
}

// A two-part disorder (A4 60 %, A5 40 %, both bonded to A1) refined 10 cycles
// from a start 0.1 A off with distfix and adpfix simu: no cycle's wR2 rises
// by more than 0.1 %, and both distances end within 2 s.u. of 1.50 A.
TEST_F(RestrainRun, TwoPartDisorder) {
  const Eigen::Matrix3d m = ToEigen(RefOrthoMatrix(Struct.Basic.Phase[0].Cell)), mi = m.inverse();
  const Eigen::Vector3d c1 = Cart(Struct.Model, 0);
  const std::array<Eigen::Vector3d, 2> dir = {Eigen::Vector3d(-1., 0.3, 0.2).normalized(),
                                              Eigen::Vector3d(-0.8, 0.5, -0.5).normalized()};
  for (int k = 0; k < 2; ++k) {
    const Eigen::Vector3d f = mi * (c1 + 1.5 * dir[static_cast<size_t>(k)]);
    testsim::AddIsoAtom(k == 0 ? "A4" : "A5", 1, {f[0], f[1], f[2]}, 0.015);
    Struct.Model.Atom.back().Par.Val[0] = k == 0 ? 0.6 : 0.4;
  }
  SetBasicM40();
  ASSERT_EQ(testsim::WriteSimulatedM90(Fln + ".m90", 4), 0);
  for (int k = 3; k < 5; ++k) {
    const Eigen::Vector3d f = mi * (Cart(Struct.Model, k) + 0.1 * Eigen::Vector3d(0.6, -0.64, 0.48));
    for (int i = 0; i < 3; ++i) Struct.Model.Atom[static_cast<size_t>(k)].Par.Val[static_cast<size_t>(1 + i)] = f[i];
  }
  ASSERT_EQ(iom40(M40Write, Fln + ".m40"), 0);
  AppendRefine("  cycles 10\n  distfix 1.50 0.01 A1 A4; A1 A5\n  adpfix simu 0.01 A4 A5\n");
  ASSERT_EQ(Run(), 0);
  // wR2(obs) of each cycle: column RBwobs of the R-factors overview.
  std::vector<double> wr2;
  bool table = false;
  for (const auto& l : Listing) {
    const auto w = SplitWords(l);
    if (!w.empty() && w[0] == "Cycle" && w.size() > 8 && w[8] == "RBwobs") {
      table = true;
    } else if (table && w.size() > 8) {
      wr2.push_back(std::stod(std::string(w[8])));
    } else {
      table = false;
    }
  }
  ASSERT_GE(wr2.size(), 2u);
  for (size_t k = 1; k < wr2.size(); ++k) EXPECT_LE(wr2[k], wr2[k - 1] + 0.1) << "cycle " << k;
  AtomModel out;
  ASSERT_EQ(iom40only(M40Read, Fln + ".m40", out), 0);
  for (int k = 3; k < 5; ++k)
    EXPECT_NEAR((Cart(out, k) - Cart(out, 0)).norm(), 1.50, 2. * 0.01) << k;
}

// magmfix holds the moment of Fe1 at 3.0 mu_B against neutron data
// simulated with 2.4 mu_B: it ends within 2 s.u. of the target.
TEST_F(RestrainRun, MagmfixHoldsTheMomentAgainstTheData) {
  SetPhase({.Cell = {5.1, 6.2, 7.3, 90, 101, 90},
            .Ops = {"x y z"},
            .Radiation = 2,
            .Magnetic = true,
            .FeJ0 = {0.3972, 13.2442, 0.6295, 4.9034, -0.0314, 0.3496, 0.0044}});
  Open(WriteM50Text(Struct.Basic));
  AtomRec fe = MakeAtom({"Fe1", 2, 1, 1., {0.1, 0.2, 0.3}, {0.01}});
  AtomShape sh = fe.Shape;
  sh.MagPar = 1;
  ReallocateAtomParams(fe, sh);
  const size_t om = static_cast<size_t>(AtomLayout(sh).Off[BlkMag]);
  fe.Par.Val[om + 2] = 2.4;  // along c: components in mu_B along the unit axis vectors
  Struct.Model.Atom.push_back(fe);
  testsim::AddIsoAtom("C1", 1, {0.35, 0.41, 0.12}, 0.015);
  testsim::AddIsoAtom("C2", 1, {0.62, 0.05, 0.71}, 0.015);
  SetBasicM40();
  Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
  ASSERT_EQ(testsim::WriteSimulatedM90(Fln + ".m90", 4), 0);
  // |M| with the components along the unit vectors of the axes.
  auto modulus = [&](const AtomRec& a) {
    Eigen::Matrix3d m = ToEigen(RefOrthoMatrix(Struct.Basic.Phase[0].Cell));
    for (int k = 0; k < 3; ++k) m.col(k).normalize();
    return (m * Eigen::Vector3d(a.Par.Val[om], a.Par.Val[om + 1], a.Par.Val[om + 2])).norm();
  };
  const double m0 = modulus(Struct.Model.Atom[0]);
  Struct.Model.Atom[0].Par.Val[om + 2] *= 3.0 / m0;
  ASSERT_EQ(iom40(M40Write, Fln + ".m40"), 0);
  AppendRefine("  cycles 5\n  magmfix 3.0 0.001 Fe1\n");
  ASSERT_EQ(Run(), 0);
  AtomModel out;
  ASSERT_EQ(iom40only(M40Read, Fln + ".m40", out), 0);
  EXPECT_NEAR(m0, 2.4, 0.05);
  EXPECT_NEAR(modulus(out.Atom[0]), 3.0, 2. * 0.001);
}

// randomize displaces each atom once, by at most its radius (the run of no
// cycles writes the displaced model); derprint lists Fc and the derivatives
// of the refined parameters for the first reflections.
TEST_F(RestrainRun, RandomizeAndDerprint) {
  const AtomModel start = Struct.Model;
  ASSERT_EQ(iom40(M40Write, Fln + ".m40"), 0);
  AppendRefine("  cycles 0 derprint 2\n  randomize 7 0.05\n");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(Count(Listing, "Randomize: 3 atoms displaced by at most 0.050 A (seed 7)."), 1);
  EXPECT_EQ(Count(Listing, "has no effect"), 0);
  EXPECT_EQ(Count(Listing, "  Fc "), 2);
  EXPECT_EQ(Count(Listing, "  x[A2] "), 2);
  AtomModel m;
  ASSERT_EQ(iom40only(M40Read, Fln + ".m40", m), 0);
  for (int k = 0; k < 3; ++k) {
    const double d = (Cart(m, k) - Cart(start, k)).norm();
    EXPECT_GT(d, 1e-4) << k;
    EXPECT_LE(d, 0.05 + 1e-6) << k;
  }
}

}  // namespace
}  // namespace tarn
