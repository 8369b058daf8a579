// Reflection-file readers: real published files, the fixed-column details of
// SHELX files, and a table of bad input.
#include <gtest/gtest.h>

#include <vector>

#include "datared/geometry.hpp"
#include "datared/readers/cif_hkl.hpp"
#include "datared/readers/general.hpp"
#include "datared/readers/shelx.hpp"
#include "datared/readers/xds.hpp"
#include "datared_test_util.hpp"

namespace tarn {
namespace {

using test::HaveData;
using test::kData;

// A data set and the error record of one read.
class Reader : public ::testing::Test {
 protected:
  ImpData d;
  ErrorRecord err;
};

std::vector<int> Hkl(const ImpRefl& r, int n = 3) {
  return std::vector<int>(r.H, r.H + n);
}

TEST_F(Reader, NaClHklf4) {
  if (!HaveData("nacl/NaCl.hkl")) GTEST_SKIP() << "shared data absent";
  ASSERT_EQ(ReadShelxHkl(kData + "nacl/NaCl.hkl", 4, 0, 0, d, err), 0) << ImpErrorText(err);
  EXPECT_EQ(d.NDim, 3);
  ASSERT_EQ(d.Refl.size(), 8578u);
  // First and last records of the file.
  const ImpRefl& f = d.Refl.front();
  EXPECT_EQ(Hkl(f), (std::vector<int>{-1, 1, 1}));
  EXPECT_DOUBLE_EQ(f.I, 52001.5);
  EXPECT_DOUBLE_EQ(f.SigI, 1260.87);
  EXPECT_EQ(f.Batch, 1);
  const ImpRefl& l = d.Refl.back();
  EXPECT_EQ(Hkl(l), (std::vector<int>{-2, 2, 14}));
  EXPECT_DOUBLE_EQ(l.I, 419.465);
  EXPECT_EQ(l.Batch, 27);
  EXPECT_EQ(l.Line, 8578);
}

TEST_F(Reader, ShelxEmbeddedInCif) {
  if (!HaveData("shelx/SH2185_Cu.cif")) GTEST_SKIP() << "shared data absent";
  ASSERT_EQ(ReadCifHkl(kData + "shelx/SH2185_Cu.cif", 0, d, err), 0) << ImpErrorText(err);
  // 17407 rows, of which 64 are systematic absences of P2(1)2(1)2(1); the
  // publication counts the other 17343 as measured.
  ASSERT_EQ(d.Refl.size(), 17407u);
  int absent = 0;
  for (const auto& r : d.Refl) {
    const int h = r.H[0], k = r.H[1], l = r.H[2];
    absent +=
        (k == 0 && l == 0 && h % 2) || (h == 0 && l == 0 && k % 2) || (h == 0 && k == 0 && l % 2);
  }
  EXPECT_EQ(static_cast<int>(d.Refl.size()) - absent, 17343);
  // "   0   0   3-5.76448 28.3280   1": touching fields, line numbers of the CIF.
  const ImpRefl& r = d.Refl[1];
  EXPECT_EQ(r.H[2], 3);
  EXPECT_DOUBLE_EQ(r.I, -5.76448);
  EXPECT_DOUBLE_EQ(r.SigI, 28.3280);
  EXPECT_EQ(r.Line, 826);
  EXPECT_FALSE(d.OnF);
  ASSERT_EQ(d.Cell.size(), 6u);
  EXPECT_NEAR(d.Cell[0], 7.7192, 1e-9);  // "_cell_length_a 7.71920(10)"
  EXPECT_NEAR(d.Lambda, 1.54184, 1e-6);
}

TEST_F(Reader, XdsIntegrateHeaderAndRecords) {
  const std::string f = "raw/xds/INTEGRATE-tiny.HKL";
  if (!HaveData(f)) GTEST_SKIP() << "shared data absent";
  ASSERT_EQ(ReadXds(kData + f, d, err), 0) << ImpErrorText(err);
  EXPECT_EQ(d.Refl.size(), 129u);
  EXPECT_NEAR(d.Lambda, 0.979380, 1e-9);
  ASSERT_EQ(d.Cell.size(), 6u);
  EXPECT_NEAR(d.Cell[4], 94.635, 1e-9);
  ASSERT_TRUE(d.HasOrMat);
  // The cell from UB agrees with the cell constants.
  double c[6];
  ASSERT_EQ(DRCellFromUB(d.OrMat, c), 0);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(c[i], d.Cell[i], 0.05) << i;
  const ImpRefl& r = d.Refl.front();
  EXPECT_EQ(r.H[0], -24);
  EXPECT_DOUBLE_EQ(r.I, -19.37);
  EXPECT_DOUBLE_EQ(r.SigI, 43.79);
  EXPECT_DOUBLE_EQ(r.Frame, 111.7);  // ZCAL
}

// Header variants: the presence count decides the orientation matrix.
TEST_F(Reader, XdsPresenceCount) {
  const std::string head =
      "!X-RAY_WAVELENGTH=  0.9\n!UNIT_CELL_CONSTANTS= 10 20 30 90 90 90\n"
      "!UNIT_CELL_A-AXIS= 10 0 0\n!UNIT_CELL_B-AXIS= 0 20 0\n";
  const std::string c = "!UNIT_CELL_C-AXIS= 0 0 30\n";
  const std::string end = "!END_OF_HEADER\n 1 2 3 100.0 5.0 0 0 7.5\n!END_OF_DATA\n";
  struct Case {
    std::string text;
    bool ormat;
  } cases[] = {{head + c + end, true},
               {head + end, false},          // count 11
               {head + c + c + end, false},  // count 211
               {head + "!UNIT_CELL_A-AXIS= 1 0 0\n" + c + end, false}};
  for (const auto& k : cases) {
    ASSERT_EQ(ReadXdsText(k.text, "t.HKL", d, err), 0) << ImpErrorText(err);
    EXPECT_EQ(d.HasOrMat, k.ormat) << k.text;
    EXPECT_DOUBLE_EQ(d.Lambda, 0.9);
    ASSERT_EQ(d.Cell.size(), 6u);
    if (k.ormat) {
      EXPECT_NEAR(d.OrMat[0], 0.1, 1e-12);
      EXPECT_NEAR(d.OrMat[4], 0.05, 1e-12);
      EXPECT_NEAR(d.OrMat[8], 1. / 30, 1e-12);
    }
    EXPECT_DOUBLE_EQ(d.Refl.at(0).Frame, 7.5);
  }
  // A header that ends the text without a line end has no reflections.
  EXPECT_NE(ReadXdsText("!END_OF_HEADER", "t.HKL", d, err), 0);
  EXPECT_NE(ImpErrorText(err).find("No reflections"), std::string::npos);
}

TEST_F(Reader, ShelxFixedColumns) {
  // Fortran F8.2 without a point has two implied decimals; direction cosines.
  const std::string t =
      "   1   2   3   12345     250   7\n"
      "  -1  -2  -3 100.000 2.00000   1 0.12345-0.23456 0.34567-0.45678 0.56789-0.67890\n"
      "   0   0   0    0.00    0.00   0\n"
      "garbage after the end\n";
  ASSERT_EQ(ReadShelxHklText(t, "x.hkl", 4, 3, 0, 1, d, err), 0) << ImpErrorText(err);
  ASSERT_EQ(d.Refl.size(), 2u);
  EXPECT_DOUBLE_EQ(d.Refl[0].I, 123.45);
  EXPECT_DOUBLE_EQ(d.Refl[0].SigI, 2.5);
  EXPECT_EQ(d.Refl[0].Batch, 7);
  EXPECT_FALSE(d.Refl[0].HasDirCos);
  ASSERT_TRUE(d.Refl[1].HasDirCos);
  EXPECT_DOUBLE_EQ(d.Refl[1].DirCos[1], -0.23456);
  EXPECT_DOUBLE_EQ(d.Refl[1].DirCos[5], -0.67890);
  // HKLF 3 marks data on F; no terminating line is also accepted.
  ASSERT_EQ(ReadShelxHklText("   1   0   0   10.00    1.00\n", "f.hkl", 3, 0, 0, 1, d, err), 0);
  EXPECT_TRUE(d.OnF);
  EXPECT_EQ(d.NDim, 3);
}

TEST_F(Reader, ShelxHklf5TwinComponents) {
  const std::string t =
      "   1   0   0  100.00    2.00  -2\n"
      "   1   0   0  100.00    2.00   1\n"
      "   2   0   0   50.00    1.00   1\n";
  ASSERT_EQ(ReadShelxHklText(t, "t.hkl", 5, 3, 0, 1, d, err), 0) << ImpErrorText(err);
  EXPECT_TRUE(d.Hklf5);
  ASSERT_EQ(d.Refl.size(), 3u);
  EXPECT_EQ(d.Refl[0].Batch, -2);
  // A group left open at the end, and a zero component, are refused.
  EXPECT_NE(ReadShelxHklText("   1   0   0  100.00    2.00  -2\n", "t.hkl", 5, 3, 0, 1, d, err), 0);
  EXPECT_NE(ImpErrorText(err).find("positive batch"), std::string::npos);
  EXPECT_NE(ReadShelxHklText("   1   0   0  100.00    2.00   0\n", "t.hkl", 5, 3, 0, 1, d, err), 0);
}

TEST_F(Reader, CifReflnLoop) {
  const std::string t =
      "data_x\n_cell_length_a 5.0(1)\n_cell_length_b 6\n_cell_length_c 7\n"
      "_cell_angle_alpha 90\n_cell_angle_beta 91.5(2)\n_cell_angle_gamma 90\n"
      "loop_\n_symmetry_equiv_pos_as_xyz\n'x, y, z'\n"
      "loop_\n _refln_index_h\n _refln_index_k\n _refln_index_l\n _refln_index_m_1\n"
      " _refln_F_squared_calc\n _refln_F_squared_meas\n _refln_F_squared_sigma\n"
      " _refln_observed_status\n"
      "1 0 0 1 10.0 11.5 0.5 o\n"
      "-1 2 3 0 20.0 19.0 1.0 o 2 0 0 -1 1 2 3 <\n";
  ASSERT_EQ(ReadCifHklText(t, "t.fcf", 0, d, err), 0) << ImpErrorText(err);
  EXPECT_EQ(d.NDim, 4);
  ASSERT_EQ(d.Refl.size(), 3u);
  EXPECT_EQ(Hkl(d.Refl[2], 4), (std::vector<int>{2, 0, 0, -1}));
  EXPECT_DOUBLE_EQ(d.Refl[1].I, 19.0);
  EXPECT_EQ(d.Refl[2].Line, 21);
  ASSERT_EQ(d.Cell.size(), 6u);
  EXPECT_DOUBLE_EQ(d.Cell[4], 91.5);
}

// Bad input: each case names the file and line of the fault.
TEST_F(Reader, BadInputTable) {
  enum Fmt { Shelx, Cif, Xds, Gen };
  struct Case {
    Fmt f;
    std::string text;
    std::string expect;  // part of the message
  } cases[] = {
      {Shelx, "   1   0   0  100.00    2.00   1\n   2   0", "line 2: expected I"},
      {Shelx, "   1   0   0  100.00    2.00   1\n   1   1   1  1O0.00    2.00   1\n",
       "line 2: expected I as a number in columns 13-20"},
      {Shelx, "   1   0   0  100.00    0.00   1\n", "line 1: expected sigma(I) > 0"},
      {Shelx, "   1   0   0  100.00   -1.00   1\n", "line 1: expected sigma(I) > 0"},
      {Shelx, "   1   0   0  100.00    1.00   1 0.1 0.2\n", "line 1: expected six direction"},
      {Shelx, "   1   0   0  100.00    1.00   x\n", "line 1: expected an integer batch"},
      {Shelx, "   0   0   0    0.00    0.00   0\n", "No reflections"},
      {Shelx, "", "No reflections"},
      {Cif, "data_x\n_shelx_hkl_file\n;\n   1   0   0  100.00    1.00   1\n   1   0   0  abc\n;\n",
       "line 5: expected I"},
      {Cif, "data_x\n_cell_length_a 5\n", "neither"},
      {Cif,
       "loop_\n_refln_index_h\n_refln_index_k\n_refln_index_l\n_refln_F_meas\n_refln_F_sigma\n"
       "1 0 0 5 1\n1 1\n",
       "expected 5 values per reflection"},
      {Cif,
       "loop_\n_refln_index_h\n_refln_index_k\n_refln_index_l\n_refln_F_meas\n_refln_F_sigma\n"
       "1 0 0 5 0\n",
       "line 7: expected a positive number in \"_refln_F_sigma\""},
      {Cif,
       "loop_\n_refln_index_h\n_refln_index_k\n_refln_index_l\n_refln_F_meas\n_refln_F_sigma\n"
       "1 0 5000 5 1\n",
       "line 7: expected an integer index"},
      {Xds, "!X-RAY_WAVELENGTH= 1.0\n 1 2 3 4 5\n", "XDS - the keyword END_OF_HEADER not found."},
      {Xds, "!X-RAY_WAVELENGTH= one\n!END_OF_HEADER\n", "line 1: expected the wavelength"},
      {Xds, "!UNIT_CELL_CONSTANTS= 1 2 3\n!END_OF_HEADER\n", "line 1: expected six cell"},
      {Xds, "!END_OF_HEADER\n 1 2 3 4\n", "line 2: expected 5 items"},
      {Xds, "!END_OF_HEADER\n 1 2 x 4 5\n", "line 2: expected an integer index"},
      {Gen, "1 0 0 5.0 1.0\n1 0 0 5.0\n", "line 2: expected at least 5 columns"},
      {Gen, "1 0 0 5.0 0\n", "line 1: expected sigma(I) > 0"},
      {Gen, "1 0 0.5 5.0 1\n", "line 1: expected an integer index in column 3"},
  };
  d.Lambda = 42.;  // must survive a failed read
  for (const auto& c : cases) {
    const int rc = c.f == Shelx ? ReadShelxHklText(c.text, "bad.hkl", 4, 3, 0, 1, d, err)
                   : c.f == Cif ? ReadCifHklText(c.text, "bad.cif", 0, d, err)
                   : c.f == Xds ? ReadXdsText(c.text, "bad.HKL", d, err)
                                : ReadGeneralText(c.text, "bad.hkl", {}, false, d, err);
    EXPECT_NE(rc, 0) << c.text;
    const std::string m = ImpErrorText(err);
    EXPECT_NE(m.find(c.expect), std::string::npos) << m << "\nexpected: " << c.expect;
    if (c.expect.find("END_OF_HEADER") == std::string::npos) {
      EXPECT_NE(m.find("bad."), std::string::npos) << m;
    }
    EXPECT_DOUBLE_EQ(d.Lambda, 42.);
    EXPECT_TRUE(d.Refl.empty());
  }
  EXPECT_NE(ReadShelxHkl("/nonexistent/x.hkl", 4, 0, 0, d, err), 0);
  EXPECT_NE(ImpErrorText(err).find("Cannot open"), std::string::npos);
}

TEST(ImportNDim, DecidesFromLayout) {
  const std::string three = "   1   0   0 144.235 23.5309   2\n   0   0   3-5.76448 28.3280   1\n";
  const std::string four = "  -1   0   0  -3 -0.3201 0.37206\n  -1   3   8   1-1033.74 28.9597\n";
  EXPECT_EQ(DRTestNDim(three, 4), 3);  // the structure's dimension does not fit the file
  EXPECT_EQ(DRTestNDim(four, 0), 4);
  EXPECT_EQ(DRTestNDim("text\n", 0), 0);
}

}  // namespace
}  // namespace tarn
