// Real indices of modulated data, the Tarn-M90, Oxford/Rigaku and Stoe
// readers, and the four-circle geometry.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <tuple>

#include "datared/geometry.hpp"
#include "datared/readers/general.hpp"
#include "datared/readers/shelx.hpp"
#include "datared/readers/tarn_m90.hpp"
#include "datared_test_util.hpp"
#include "model/m95m90.hpp"

namespace tarn {
namespace {

using test::kData;
using TmpDir = test::ImportTest;

// ---- real indices -------------------------------------------------------------------------

// The Bruker file of the modulated crystal, read with its four indices, is
// turned into real indices k + m q and resolved back; the same through a
// transformation (input in axes b, a, -c) back to the frame of q.
TEST(RealIndices, ModulatedBrukerFileResolvesBack) {
  const std::string f = kData + "raw/bruker-modulated/2018S036_FeCHOO_100K_0m.hkl";
  if (!std::filesystem::exists(f)) GTEST_SKIP() << "shared data absent";
  ImpData d;
  ErrorRecord err;
  ASSERT_EQ(ReadShelxHkl(f, 4, 4, 4, d, err), 0) << ImpErrorText(err);
  ASSERT_GT(d.Refl.size(), 16000u);
  ImpModulation mod{{{0., 0.16604, 0.}}, {3}};
  const std::vector<double> tr = {0, 1, 0, 1, 0, 0, 0, 0, -1};  // its own inverse
  int sat[7] = {};
  for (const ImpRefl& r : d.Refl) {
    // Real indices rounded to 4 decimals, as files of real indices give them.
    const double hr[3] = {double(r.H[0]), std::round((r.H[1] + r.H[3] * 0.16604) * 1e4) / 1e4,
                          double(r.H[2])};
    int h[4];
    ASSERT_EQ(drreadreftrrealind({}, hr, mod, h), 0) << r.Line;
    for (int i = 0; i < 4; ++i) ASSERT_EQ(h[i], r.H[i]) << "line " << r.Line;
    // Input in swapped axes (k_real, h, -l), transformed back before the
    // resolution through q.
    const double hin[3] = {hr[1], hr[0], -hr[2]};
    int ht[4];
    ASSERT_EQ(drreadreftrrealind(tr, hin, mod, ht), 0);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(ht[i], r.H[i]);
    ++sat[r.H[3] + 3];
  }
  for (int m = 0; m < 7; ++m) EXPECT_GT(sat[m], 0) << "order " << m - 3;
}

TEST(RealIndices, TwoVectorsTiesAndFailures) {
  ImpModulation mod{{{0.3, 0., 0.}, {0., 0.41, 0.1}}, {2, 1}};
  struct Case {
    double hr[3];
    int rc;
    int h[5];
  } cases[] = {
      {{2.6, 1.0, 3.0}, 0, {2, 1, 3, 2, 0}},
      {{1.7, -0.41, 2.9}, 0, {2, 0, 3, -1, -1}},
      {{0.0, 0.0, 0.0}, 0, {0, 0, 0, 0, 0}},
      {{0.5, 0.0, 0.0}, 1, {}},  // 0.5 is no combination of 0.3 m1, |m1| <= 2
      {{0.3, 0.2, 0.0}, 1, {}},
  };
  for (const auto& c : cases) {
    int h[5] = {};
    double dist = 0.;
    ASSERT_EQ(drreadreftrrealind({}, c.hr, mod, h, &dist), c.rc) << c.hr[0] << " " << dist;
    if (c.rc != 0) continue;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(h[i], c.h[i]) << c.hr[0] << " index " << i;
  }
  // Commensurate q = 1/2: m = +1 and -1 reach the same point; the tie goes
  // to the first found of the lowest order, and main reflections stay m = 0.
  ImpModulation half{{{0., 0., 0.5}}, {1}};
  const double main_refl[3] = {1, 2, 3};
  int h[4];
  ASSERT_EQ(drreadreftrrealind({}, main_refl, half, h), 0);
  EXPECT_EQ(h[3], 0);
}

TEST_F(TmpDir, RealIndicesFileThroughTheImport) {
  const std::string f = Dir.Write("real.hkl",
                                  "# h k l I sig\n"
                                  " 1.0 0.16604 2.0 100.0 2.0\n"
                                  " 0.0 -0.4981 1.0 50.0 1.0\n");
  ImpOptions opt;
  opt.RealIndices = true;
  opt.QVec = {0., 0.16604, 0.};
  opt.MMax = {3};
  ImpData d;
  ASSERT_EQ(EM9ReadFormat(ImpGeneralI, f, opt, d, err), 0) << Msg();
  ASSERT_EQ(d.NDim, 4);
  ASSERT_EQ(d.Refl.size(), 2u);
  EXPECT_EQ(std::tuple(d.Refl[0].H[3], d.Refl[1].H[1], d.Refl[1].H[3]), std::tuple(1, 0, -3));
  M95Block b;
  DRSetBlockFromData(ImpGeneralI, d, opt, b);
  EXPECT_EQ(std::tuple(b.NDim95, b.QVec), std::tuple(4, opt.QVec));
  // A line that cannot be resolved names the file and the line.
  const std::string bad = Dir.Write("bad.hkl", " 1 0 0 1 1\n 1 0.25 0 1 1\n");
  EXPECT_NE(EM9ReadFormat(ImpGeneralI, bad, opt, d, err), 0);
  EXPECT_NE(Msg().find("bad.hkl\", line 2"), std::string::npos) << Msg();
}

// ---- Tarn M90 ---------------------------------------------------------------------------

TEST_F(TmpDir, TarnM90RoundTrip) {
  Struct.Basic = BasicData{};
  std::vector<M90Block> b(2);
  for (int k = 0; k < 2; ++k) SetBasicM90(b[k]);
  b[0].Name = "Block1";
  b[1].Name = "Second";
  b[1].Lambda = 1.54184;
  std::vector<std::vector<M90Refl>> r(2, std::vector<M90Refl>(5));
  for (int i = 0; i < 5; ++i) {
    M90Refl& x = r[1][i];
    x.H[0] = i;
    x.H[1] = -i;
    x.H[2] = 2 * i + 1;
    x.I = 100. * i - 3.5;
    x.SigI = 1.5 + i;
  }
  r[0] = {r[1][0]};
  const std::string m90 = Dir / "in.m90";
  ASSERT_EQ(WriteM90File(m90, b, r), 0) << Struct.Refl.LastError;
  ImpData d;
  ASSERT_EQ(DRBasicTarnM90(m90, "second", d, err), 0) << Msg();
  EXPECT_DOUBLE_EQ(d.Lambda, 1.54184);
  ASSERT_EQ(d.Refl.size(), 5u);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(std::tuple(d.Refl[i].H[1], d.Refl[i].I, d.Refl[i].SigI),
              std::tuple(-i, r[1][i].I, r[1][i].SigI));
  ASSERT_EQ(DRBasicTarnM90(m90, "", d, err), 0);
  EXPECT_EQ(d.Refl.size(), 1u);
  EXPECT_NE(DRBasicTarnM90(m90, "Block9", d, err), 0);
  EXPECT_NE(Msg().find("Block9"), std::string::npos);
  EXPECT_NE(DRBasicTarnM90(Dir / "none.m90", "", d, err), 0);
  EXPECT_EQ(d.Refl.size(), 1u);  // unchanged by the failures
}

// ---- Oxford Diffraction / Rigaku / Stoe -------------------------------------------------

// A UB for the cell, rotated by an arbitrary U.
void MakeUB(const double* cell, double* ub) {
  double b[9];
  DRBMatrix(cell, b);
  const Eigen::Matrix3d u =
      (Eigen::AngleAxisd(0.3, Eigen::Vector3d(1, 2, 3).normalized())).toRotationMatrix();
  Eigen::Matrix3d bm;
  for (int i = 0; i < 9; ++i) bm(i / 3, i % 3) = b[i];
  const Eigen::Matrix3d m = u * bm;
  for (int i = 0; i < 9; ++i) ub[i] = m(i / 3, i % 3);
}

std::string CifOd(const double* cell, const double* ub, double scale) {
  std::string t = "data_od\n_diffrn_radiation_wavelength 0.71073\n";
  const char* tags[6] = {"length_a",    "length_b",   "length_c",
                         "angle_alpha", "angle_beta", "angle_gamma"};
  for (int i = 0; i < 6; ++i)
    t += "_cell_" + std::string(tags[i]) + " " + std::to_string(cell[i]) + "(3)\n";
  for (int i = 0; i < 9; ++i)
    t += "_diffrn_orient_matrix_UB_" + std::to_string(i / 3 + 1) + std::to_string(i % 3 + 1) + " " +
         std::to_string(ub[i] * scale) + "\n";
  return t;
}

TEST_F(TmpDir, OxfordCompanionCellWavelengthAndUB) {
  const double cell[6] = {7.5, 9.25, 11.0, 88.0, 101.5, 93.0};
  double ub[9];
  MakeUB(cell, ub);
  const std::string hkl = "   1   2   3  100.00    2.00   1\n  -1   0   2   50.00    1.50   1\n";
  // UB as 1/A, UB multiplied by the wavelength, and a UB of another cell.
  const double other[6] = {7.0, 9.25, 11.0, 88.0, 101.5, 93.0};
  double ub2[9];
  MakeUB(other, ub2);
  struct Case {
    const double* ub;
    double scale;
    bool taken;
  } cases[] = {{ub, 1., true}, {ub, 0.71073, true}, {ub2, 1., false}};
  for (const auto& c : cases) {
    const std::string f = Dir.Write("od.hkl", hkl);
    Dir.Write("od.cif_od", CifOd(cell, c.ub, c.scale));
    ImpData d;
    ASSERT_EQ(EM9ReadFormat(ImpOxfordCCD, f, {}, d, err), 0) << Msg();
    EXPECT_EQ(std::tuple(d.Refl.size(), d.Lambda, d.Cell.size()), std::tuple(2u, 0.71073, 6u));
    EXPECT_EQ(std::tuple(d.HasOrMat, d.Notes.empty()), std::tuple(c.taken, c.taken)) << c.scale;
    for (int i = 0; c.taken && i < 9; ++i) EXPECT_NEAR(d.OrMat[i], ub[i], 1e-6);
  }
  // No companion: the reflections still import, with a note.
  std::filesystem::remove(Dir / "od.cif_od");
  ImpData d;
  ASSERT_EQ(EM9ReadFormat(ImpRigakuCCD, Dir / "od.hkl", {}, d, err), 0);
  EXPECT_TRUE(d.Cell.empty());
  EXPECT_FALSE(d.Notes.empty());
  // A companion with a bad number stops the import with file and line.
  Dir.Write("od.cif_od", "data_x\n_cell_length_a 7.5\n_cell_length_b abc\n");
  EXPECT_NE(EM9ReadFormat(ImpOxfordCCD, Dir / "od.hkl", {}, d, err), 0);
  EXPECT_NE(Msg().find("od.cif_od\", line 3"), std::string::npos) << Msg();
}

TEST_F(TmpDir, StoeHklf4AndHklf5ByExtension) {
  const std::string f4 =
      Dir.Write("s.hkl", "   1   0   0  100.00    2.00   1\n   0   0   0    0.00    0.00   0\n");
  const std::string f5 =
      Dir.Write("s.hklf5", "   1   0   0  100.00    2.00  -2\n   0   1   0  100.00    2.00   1\n");
  ImpData d;
  ASSERT_EQ(EM9ReadFormat(ImpIpdsStoe, f4, {}, d, err), 0) << Msg();
  EXPECT_EQ(std::tuple(d.Hklf5, d.Refl.size()), std::tuple(false, 1u));
  ASSERT_EQ(EM9ReadFormat(ImpIpdsStoeProg, f5, {}, d, err), 0) << Msg();
  EXPECT_EQ(std::tuple(d.Hklf5, d.Refl[0].Batch), std::tuple(true, -2));
}

// ---- geometry ---------------------------------------------------------------------------

TEST(Geometry, CellFromUBOfPublishedCells) {
  // FeCHOO (orthorhombic) and a monoclinic and a triclinic cell.
  const double cells[3][6] = {{8.3992, 8.1627, 11.8119, 90, 90, 90},
                              {6.0, 7.5, 9.0, 90, 104.3, 90},
                              {5.1, 6.2, 7.3, 75.0, 85.0, 95.0}};
  for (const auto& c : cells) {
    double ub[9], back[6];
    MakeUB(c, ub);
    ASSERT_EQ(DRCellFromUB(ub, back), 0);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(back[i], c[i], 1e-9) << i;
  }
  // A cubic UB written by hand: a* = 0.2 along x, y, z -> a = 5.
  const double cubic[9] = {0, 0.2, 0, 0, 0, 0.2, 0.2, 0, 0};
  double back[6];
  ASSERT_EQ(DRCellFromUB(cubic, back), 0);
  EXPECT_NEAR(back[0], 5., 1e-12);
  EXPECT_NEAR(back[5], 90., 1e-12);
  const double singular[9] = {1, 0, 0, 2, 0, 0, 0, 0, 1};
  EXPECT_NE(DRCellFromUB(singular, back), 0);
}

TEST(Geometry, HklAnglesRoundTripAndBragg) {
  const double cell[6] = {5.1, 6.2, 7.3, 75.0, 85.0, 95.0};
  double ub[9];
  MakeUB(cell, ub);
  const double lambda = 0.71073;
  // d-spacing from the metric, computed independently: 1/d^2 = h G* h.
  const double d2r = M_PI / 180.;
  Eigen::Matrix3d g;
  const double a = cell[0], b = cell[1], c = cell[2];
  g << a * a, a * b * std::cos(cell[5] * d2r), a * c * std::cos(cell[4] * d2r),
      a * b * std::cos(cell[5] * d2r), b * b, b * c * std::cos(cell[3] * d2r),
      a * c * std::cos(cell[4] * d2r), b * c * std::cos(cell[3] * d2r), c * c;
  const Eigen::Matrix3d gi = g.inverse();
  int n = 0;
  for (int h = -4; h <= 4; ++h)
    for (int k = -4; k <= 4; ++k)
      for (int l = -4; l <= 4; ++l) {
        const double hv[3] = {double(h), double(k), double(l)};
        DiffAngles ang;
        if (h == 0 && k == 0 && l == 0) {
          EXPECT_NE(DRHKLToAngles(ub, lambda, hv, ang), 0);
          continue;
        }
        ASSERT_EQ(DRHKLToAngles(ub, lambda, hv, ang), 0);
        const Eigen::Vector3d x(h, k, l);
        const double dinv = std::sqrt(x.dot(gi * x));
        EXPECT_NEAR(std::sin(ang.TTh / 2 * d2r), lambda * dinv / 2, 1e-12);
        EXPECT_NEAR(ang.Omega, ang.TTh / 2, 1e-12);
        double back[3];
        ASSERT_EQ(DRAnglesToHKL(ub, lambda, ang, back), 0);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], hv[i], 1e-9);
        ++n;
      }
  EXPECT_EQ(n, 9 * 9 * 9 - 1);
  // Out of reach at a long wavelength.
  const double far[3] = {4, 4, 4};
  DiffAngles ang;
  EXPECT_NE(DRHKLToAngles(ub, 5.0, far, ang), 0);
}

TEST(Geometry, NonBisectingOmegaKeepsTwoThetaAndMovesIndices) {
  // Turning omega away from the bisecting position turns the scattering
  // vector about the omega axis: 2theta of the indices read back stays.
  const double cell[6] = {8.3992, 8.1627, 11.8119, 90, 90, 90};
  double ub[9];
  MakeUB(cell, ub);
  const double h[3] = {2, -1, 3};
  DiffAngles a;
  ASSERT_EQ(DRHKLToAngles(ub, 1.54184, h, a), 0);
  a.Omega += 7.;
  double x[3];
  ASSERT_EQ(DRAnglesToHKL(ub, 1.54184, a, x), 0);
  EXPECT_GT(std::abs(x[0] - h[0]) + std::abs(x[1] - h[1]) + std::abs(x[2] - h[2]), 0.05);
  DiffAngles b;
  ASSERT_EQ(DRHKLToAngles(ub, 1.54184, x, b), 0);
  EXPECT_NEAR(b.TTh, a.TTh, 1e-9);
}

TEST(Geometry, TwoThetaFromDirectionCosines) {
  const double cell[6] = {6.0, 7.5, 9.0, 90, 104.3, 90};
  double bm[9];
  DRBMatrix(cell, bm);
  Eigen::Matrix3d e;
  for (int i = 0; i < 9; ++i) e(i / 3, i % 3) = bm[i];
  for (int j = 0; j < 3; ++j) e.col(j).normalize();
  for (const double tth : {10., 47.5, 90., 151.}) {
    // Incident beam s0 and diffracted s1 at 2theta, in an arbitrary direction.
    const Eigen::Vector3d s0 = Eigen::Vector3d(0.3, -0.5, 0.81).normalized();
    const Eigen::Vector3d ax = s0.cross(Eigen::Vector3d(1, 0, 0)).normalized();
    const Eigen::Vector3d s1 = Eigen::AngleAxisd(tth * M_PI / 180., ax) * s0;
    double dc[6];
    for (int i = 0; i < 3; ++i) {
      dc[2 * i] = -s0.dot(e.col(i));
      dc[2 * i + 1] = s1.dot(e.col(i));
    }
    double got = 0.;
    ASSERT_EQ(DRGetAnglesFromDircos(dc, cell, got), 0);
    EXPECT_NEAR(got, tth, 1e-9);
  }
  const double zero[6] = {};
  double got = 0.;
  EXPECT_NE(DRGetAnglesFromDircos(zero, cell, got), 0);
}

}  // namespace
}  // namespace tarn
