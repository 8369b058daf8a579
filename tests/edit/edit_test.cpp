// Editing of the model: edit lines on a small structure, isotropic <->
// anisotropic round trip, riding hydrogens of ethanol, Fourier maxima as
// atoms, and the refinement lines that follow deletions and renames.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <sstream>

#include "edit/edit_script.hpp"
#include "edit/hydrogens.hpp"
#include "fourier/foupeaks.hpp"
#include "model/atom_edit.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/scatdata.hpp"
#include "refine/refine_listing.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"

namespace tarn::test {
namespace {

// A triclinic P-1 cell with the given atoms ("name type x y z" lines) of the
// types C, O, H.
Structure Triclinic(const std::string& atoms) {
  const std::string m50 =
      "cell 8.1 9.2 10.3 81 97 102\nndim 3\nlattice P\nsymmetry x y z\nsymmetry -x -y -z\n"
      "atom C\natom O\natom H\nend\n";
  Structure st;
  EXPECT_EQ(ReadM50Text(m50, "t.m50", st.Basic), 0);
  EXPECT_EQ(SetBasicM50(st.Basic), 0);
  st.Model.Phase.resize(1);
  std::istringstream lines(atoms);
  for (std::string l; std::getline(lines, l);) {
    std::istringstream in(l);
    std::string n, el;
    double x, y, z;
    if (!(in >> n >> el >> x >> y >> z)) continue;
    std::string why;
    EXPECT_EQ(EM40AddAtom(st, 1, n, el, {x, y, z}, 0.02, why), 0) << why;
  }
  return st;
}

Eigen::Vector3d Cart(const Structure& st, const std::string& name) {
  const AtomRec& a = st.Model.Atom[static_cast<size_t>(EM40FindAtom(st.Model, name))];
  const int o = AtomLayout(a.Shape).Off[BlkPos];
  const Eigen::Vector3d f(a.Par.Val[o], a.Par.Val[o + 1], a.Par.Val[o + 2]);
  return ToEigen(RefOrthoMatrix(st.Basic.Phase[0].Cell)) * f;
}

class EditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string message;
    ASSERT_EQ(ScatLoad("data/", message), 0) << message;
  }
};

// Every wrong line leaves the structure as it was; right lines do what they say.
TEST_F(EditTest, LinesApplyOrFailWithoutChange) {
  struct Case {
    const char* Line;
    bool Ok;
    int NAtoms;  // atoms afterwards
  };
  const Case cases[] = {
      {"add N1 N 0.1 0.2 0.3 0.03", true, 3},
      {"add C1 C 0 0 0", false, 2},
      {"add X1 Qq 0 0 0", false, 2},
      {"add X1 C 0 0 zero", false, 2},
      {"add 1X C 0 0 0", false, 2},
      {"delete C1", true, 1},
      {"delete Nope", false, 2},
      {"delete *", true, 0},
      {"rename C1 O1", false, 2},
      {"rename C1 C9", true, 2},
      {"element C1 O", true, 2},
      {"element C1 Xx", false, 2},
      {"occupancy C1 0.5", true, 2},
      {"occupancy C1 1.5", false, 2},
      {"aniso *", true, 2},
      {"iso C1", true, 2},
      {"keys *", true, 2},
      {"sort", true, 2},
      {"peaks 1 O", false, 2},
      {"frobnicate", false, 2},
      {"hydrogens Nope", false, 2},
  };
  const Structure base = Triclinic("C1 C 0.1 0.1 0.1\nO1 O 0.2 0.2 0.2\n");
  for (const Case& c : cases) {
    AtomEditRun run;
    run.St = base;
    std::string why;
    const int r = EM40EditLine(run, c.Line, why);
    EXPECT_EQ(r == 0, c.Ok) << c.Line << ": " << why;
    if (!c.Ok) {
      EXPECT_FALSE(why.empty()) << c.Line;
      EXPECT_EQ(run.St.Model.Atom, base.Model.Atom) << c.Line;
      EXPECT_EQ(run.St.Basic.Phase[0].AtType, base.Basic.Phase[0].AtType) << c.Line;
    }
    EXPECT_EQ(run.St.Model.Atom.size(), static_cast<size_t>(c.NAtoms)) << c.Line;
  }
}

// aniso then iso gives back Ueq; the tensor of aniso is isotropic (Ueq = Uiso).
TEST_F(EditTest, AnisoIsoKeepsUeq) {
  Structure st = Triclinic("C1 C 0.1 0.1 0.1\nO1 O 0.3 0.2 0.1\n");
  std::string why;
  ASSERT_EQ(EM40MakeAniso(st, {"*"}, why), 0);
  const PhaseBasic& p = st.Basic.Phase[0];
  for (const auto& a : st.Model.Atom) {
    EXPECT_EQ(a.Shape.AdpOrder, 2);
    EXPECT_NEAR(EM40Ueq(p, a), 0.02, 1e-12);
  }
  // Make C1 anisotropic in earnest, then back.
  AtomRec& c1 = st.Model.Atom[0];
  const int o = AtomLayout(c1.Shape).Off[BlkAdp];
  c1.Par.Val[o] *= 1.7;
  c1.Par.Val[o + 4] += 0.001;
  const double ueq = EM40Ueq(p, c1);
  ASSERT_EQ(EM40MakeIso(st, {"*"}, why), 0);
  EXPECT_NEAR(EM40Ueq(p, st.Model.Atom[0]), ueq, 1e-5);
  EXPECT_EQ(st.Model.Atom[0].Shape.AdpOrder, 1);
}

// Ethanol H3C-CH2-OH: CH3, CH2, OH with the SHELX distances at 100 K
// (room temperature + 0.02 A) and tetrahedral angles.
TEST_F(EditTest, HydrogensOfEthanol) {
  // Cartesian C1 (0,0,0), C2 (1.52,0,0), O1 at 1.43 A from C2 with C-C-O 109.5 deg.
  Structure st = Triclinic("");
  const Eigen::Matrix3d m = ToEigen(RefOrthoMatrix(st.Basic.Phase[0].Cell)), mi = m.inverse();
  const double t = 109.5 * kDeg;
  const Eigen::Vector3d o(1.52 - 1.43 * std::cos(t), 1.43 * std::sin(t), 0.);
  const std::vector<std::pair<std::string, Eigen::Vector3d>> heavy = {
      {"C1", {0., 0., 0.}}, {"C2", {1.52, 0., 0.}}, {"O1", o}};
  std::string why;
  for (const auto& [n, x] : heavy) {
    const Eigen::Vector3d f = mi * x + Eigen::Vector3d(0.3, 0.3, 0.3);
    ASSERT_EQ(EM40AddAtom(st, 1, n, n.substr(0, 1), {f[0], f[1], f[2]}, 0.02, why), 0);
  }
  HydroResult h;
  ASSERT_EQ(EM40AddHydrogens(st, {"*"}, 100., h, why), 0) << why;
  EXPECT_EQ(h.Added, 6);
  ASSERT_EQ(h.Keep.size(), 6u);
  EXPECT_EQ(h.Keep[0], "hydro tetrahed C1 1 3 C2 0.98 H1A H1B H1C");
  EXPECT_EQ(h.Keep[1], "ADP riding C1 1.5 H1A H1B H1C");
  EXPECT_EQ(h.Keep[2], "hydro tetrahed C2 2 2 C1 O1 0.99 H2A H2B");
  EXPECT_EQ(h.Keep[4], "hydro tetrahed O1 1 1 C2 0.84 H1");
  struct Bond {
    const char *X, *H;
    double D;
  };
  for (const Bond& b : {Bond{"C1", "H1A", 0.98}, Bond{"C1", "H1C", 0.98}, Bond{"C2", "H2B", 0.99},
                        Bond{"O1", "H1", 0.84}})
    EXPECT_NEAR((Cart(st, b.H) - Cart(st, b.X)).norm(), b.D, 1e-6) << b.H;
  const Eigen::Vector3d c1 = Cart(st, "C1");
  const double hch =
      std::acos((Cart(st, "H1A") - c1).normalized().dot((Cart(st, "H1B") - c1).normalized())) /
      kDeg;
  EXPECT_NEAR(hch, 109.47, 0.01);
  // Staggered: the O-H points anti to C1 (torsion C1-C2-O1-H1 = 180 deg).
  const Eigen::Vector3d b1 = Cart(st, "C2") - c1, b2 = Cart(st, "O1") - Cart(st, "C2"),
                        b3 = Cart(st, "H1") - Cart(st, "O1");
  const double tor = std::atan2(b2.norm() * b1.dot(b2.cross(b3)), (b1.cross(b2)).dot(b2.cross(b3)));
  EXPECT_NEAR(std::fabs(tor) / kDeg, 180., 0.01);
  // Riding Uiso: 1.5 Ueq(C1) for the methyl group.
  const AtomRec& h1a = st.Model.Atom[static_cast<size_t>(EM40FindAtom(st.Model, "H1A"))];
  EXPECT_NEAR(h1a.Par.Val[AtomLayout(h1a.Shape).Off[BlkAdp]], 0.03, 1e-12);
  // Atoms with hydrogens get no more.
  HydroResult again;
  ASSERT_EQ(EM40AddHydrogens(st, {"*"}, 100., again, why), 0);
  EXPECT_EQ(again.Added, 0);
  EXPECT_EQ(EM40HydroDistance(0.93, 293.), 0.93);
  EXPECT_NEAR(EM40HydroDistance(0.93, 240.), 0.94, 1e-12);
}

// CH3-NH3+ with its torsion from a density peak, and a water between two
// acceptors: H-O-H 104.5 deg about their bisector, restrained by distfix.
TEST_F(EditTest, AmmoniumByMapAndWater) {
  Structure st = Triclinic("");
  const Eigen::Matrix3d m = ToEigen(RefOrthoMatrix(st.Basic.Phase[0].Cell)), mi = m.inverse();
  const Eigen::Vector3d n1(1.49, 0., 0.), o2 = n1 + 2.85 * Eigen::Vector3d(0.5, std::sqrt(0.75), 0.),
                        u(-0.5, -std::sqrt(0.75), 0.);
  const Eigen::Vector3d o3 =
      o2 + 2.8 * (std::cos(100. * kDeg) * u + std::sin(100. * kDeg) * Eigen::Vector3d::UnitZ());
  std::string why;
  for (const auto& [n, x] : std::vector<std::pair<std::string, Eigen::Vector3d>>{
           {"C1", {0., 0., 0.}}, {"N1", n1}, {"O2", o2}, {"O3", o3}}) {
    const Eigen::Vector3d f = mi * x + Eigen::Vector3d(0.25, 0.25, 0.25);
    ASSERT_EQ(EM40AddAtom(st, 1, n, n.substr(0, 1), {f[0], f[1], f[2]}, 0.02, why), 0) << why;
  }
  const Eigen::Vector3d peak =
      Cart(st, "N1") + 0.91 * (std::cos(70.53 * kDeg) * Eigen::Vector3d::UnitX() +
                               std::sin(70.53 * kDeg) * Eigen::Vector3d(0., 0.8, 0.6));
  const HydroDensity rho = [&](const std::array<double, 3>& f) {
    return std::exp(-(m * Eigen::Vector3d(f[0], f[1], f[2]) - peak).squaredNorm() / 0.05);
  };
  HydroResult h;
  ASSERT_EQ(EM40AddHydrogens(st, {"N1", "O2"}, 100., h, why, rho), 0) << why;
  EXPECT_EQ(h.Added, 5);
  ASSERT_EQ(h.Keep.size(), 3u);
  EXPECT_EQ(h.Keep[0], "hydro tetrahed N1 1 3 C1 0.91 H1A H1B H1C");
  double nearest = 1e9;
  for (const char* n : {"H1A", "H1B", "H1C"}) nearest = std::min(nearest, (Cart(st, n) - peak).norm());
  EXPECT_LT(nearest, 0.02) << "a hydrogen on the density peak";
  ASSERT_EQ(h.DistFix.size(), 2u);
  EXPECT_EQ(h.DistFix[0], "0.84 0.02 O2 H2A; O2 H2B");
  EXPECT_EQ(h.DistFix[1], "1.33 0.04 H2A H2B");
  const Eigen::Vector3d a = Cart(st, "H2A") - Cart(st, "O2"), b = Cart(st, "H2B") - Cart(st, "O2");
  EXPECT_NEAR(a.norm(), 0.84, 1e-9);
  EXPECT_NEAR(std::acos(a.normalized().dot(b.normalized())) / kDeg, 104.5, 1e-6);
  const Eigen::Vector3d bis = ((Cart(st, "N1") - Cart(st, "O2")).normalized() +
                               (Cart(st, "O3") - Cart(st, "O2")).normalized()).normalized();
  EXPECT_NEAR((a + b).normalized().dot(bis), 1., 1e-9);
}

// "peaks 2 O" takes the two strongest maxima (onto special positions where
// they are near one) and leaves the rest stored.
TEST_F(EditTest, PeaksBecomeAtoms) {
  AtomEditRun run;
  run.St = Triclinic("C1 C 0.1 0.1 0.1\n");
  FouPeakLists peaks;
  for (int k = 0; k < 3; ++k) {
    FouPeak p;
    p.Label = "max" + std::to_string(k + 1);
    p.Height = 3. - k;
    p.X = {0.2 + 0.1 * k, 0.4, 0.6};
    peaks.Max.push_back(p);
  }
  peaks.Max[1].X = {0.502, 0.499, 0.5};  // near the centre of symmetry
  run.St.Model.Commands = FouJoinPeaks({}, peaks);
  std::string why;
  ASSERT_EQ(EM40EditLine(run, "peaks 2 O", why), 0) << why;
  ASSERT_EQ(run.St.Model.Atom.size(), 3u);
  EXPECT_EQ(run.St.Model.Atom[1].Name, "O1");
  EXPECT_EQ(run.St.Model.Atom[2].Name, "O2");
  const AtomRec& o2 = run.St.Model.Atom[2];
  EXPECT_NEAR(o2.Par.Val[1], 0.5, 1e-9);
  EXPECT_NEAR(o2.Par.Val[0], 0.5, 1e-9) << "site -1: half occupancy factor";
  FouPeakLists left;
  std::vector<std::string> other;
  int bad = 0;
  ASSERT_EQ(FouSplitPeaks(run.St.Model.Commands, left, other, bad), 0);
  ASSERT_EQ(left.Max.size(), 1u);
  EXPECT_EQ(left.Max[0].Label, "max3");
  EXPECT_EQ(EM40EditLine(run, "peak max3 O Ox", why), 0) << why;
  EXPECT_NE(EM40EditLine(run, "peak max3 O", why), 0);
}

// Refinement lines naming deleted atoms go; renamed atoms are renamed.
TEST_F(EditTest, RefineLinesFollowTheEdits) {
  AtomEditRun run;
  run.St = Triclinic("C1 C 0.1 0.1 0.1\nC2 C 0.2 0.1 0.1\nH1 H 0.1 0.2 0.1\n");
  std::string why;
  ASSERT_EQ(EM40EditLine(run, "delete H*", why), 0);
  ASSERT_EQ(EM40EditLine(run, "rename C2 C22", why), 0);
  RefSettings s;
  auto& keep = s.EditLines[RkKeep - RefFirstSpecial];
  keep = {{"ADP riding C1 1.2 H1", false}, {"geom plane C1 C2 C3", false}};
  s.EditLines[RkEquation - RefFirstSpecial] = {{"ai[C2] = 1 - ai[C1]", false}};
  EXPECT_TRUE(EM40EditRefineLines(run, s));
  ASSERT_EQ(keep.size(), 1u);
  EXPECT_EQ(keep[0].Text, "geom plane C1 C22 C3");
  EXPECT_EQ(s.EditLines[RkEquation - RefFirstSpecial][0].Text, "ai[C22] = 1 - ai[C1]");
}

}  // namespace
}  // namespace tarn::test
