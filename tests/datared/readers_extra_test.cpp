// SAINT .raw, FullProf .int and XD .hkl readers on small files written by
// their documented layouts and their refusal of truncated or garbled
// records (M95 left byte-identical).
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <tuple>

#include "datared/readers/fullprof.hpp"
#include "datared/readers/saint.hpp"
#include "datared/readers/xd.hpp"
#include "datared_test_util.hpp"
#include "model/m95m90.hpp"

namespace tarn {
namespace {

class ReadersExtra : public test::ImportTest {
 protected:
  // Imports each bad text with code and checks the message names the file and
  // the line, and that M95 (holding one good block) is byte-identical.
  void ExpectRefused(int code, const std::string& good,
                     const std::vector<std::pair<std::string, std::string>>& bad) {
    ASSERT_EQ(Import(code, Dir.Write("good", good)), 0) << Msg();
    const std::string before = Dir.Read(m95);
    for (const auto& [text, where] : bad) {
      const std::string f = Dir.Write("bad", text);
      EXPECT_NE(Import(code, f), 0) << text;
      EXPECT_NE(Msg().find(f), std::string::npos) << Msg();
      EXPECT_NE(Msg().find(where), std::string::npos) << Msg();
      EXPECT_EQ(Dir.Read(m95), before);
    }
  }
};

// ---- SAINT ------------------------------------------------------------------------------

// One SAINT record by its documented columns; comp < -99 leaves out the twin
// component (the shorter records of older versions), nsat adds the three
// satellite index fields of modulated data.
std::string Saint(std::vector<int> h, double i, double s, int batch, double frame,
                  int comp = -100) {
  std::string l;
  for (int x : h) l += fmt::format("{:4d}", x);
  l += fmt::format("{:8.2f}{:8.2f}{:4d}", i, s, batch);
  const double cs[6] = {-0.51234, 0.12345, 0.80001, -0.33333, 0.30862, 0.93456};
  for (double c : cs) l += fmt::format("{:8.5f}", c);
  l += fmt::format("{:>3}{:7.2f}{:7.2f}{:8.2f}", " 0", 256.5, 301.25, frame);
  if (comp < -99) return l + "\n";
  // Predicted x y frame, corrections, angles, counts, keys (146 columns).
  l += fmt::format(
      "{:7.2f}{:7.2f}{:8.2f}{:6.3f}{:5.2f}{:7.2f}{:7.2f}{:7.2f}{:2d}{:5d}{:9d}{:7d}"
      "{:7.2f}{:4d}{:6.3f}{:11d}{:3d}{:6.3f}{:8.2f}{:8.2f}{:8.3f}{:8.3f}",
      256.1, 300.9, frame + 0.1, 1.234, 0.98, 0.25, -28.0, 112.5, 2, 5123, 88123, 1500, 12.5, 1,
      1.0, 538969599, 4, 0.876, -12.25, 33.5, 54.736, 180.0);
  return l + fmt::format("{:4d}\n", comp);
}

TEST_F(ReadersExtra, SaintRecordsGiveIndicesIntensitiesCosinesFrameAndDomain) {
  const std::string text = "! SAINT integration\n" + Saint({1, 2, -3}, 1234.56, 12.34, 7, 15.5) +
                           Saint({-4, 0, 5}, 0.5, 0.25, 8, 101.75, 0) +
                           // I in E form: the decimals of the field vary with the value
                           "   0   0   2 1.2E+07 3.4E+04   9" +
                           Saint({0, 0, 0}, 0, 0, 0, 7).substr(32);
  ImpData d;
  ASSERT_EQ(ReadSaintRawText(text, "a.raw", 0, 0, d, err), 0) << Msg();
  ASSERT_EQ(d.Refl.size(), 3u);
  EXPECT_EQ(std::tuple(d.NDim, d.NoAbsCorr, d.TwinDomains), std::tuple(3, true, false));
  const ImpRefl& a = d.Refl[0];
  EXPECT_EQ(std::vector<int>(a.H, a.H + 3), (std::vector<int>{1, 2, -3}));
  EXPECT_EQ(std::tuple(a.I, a.SigI, a.Batch, a.Frame, a.Line),
            std::tuple(1234.56, 12.34, 7, 15.5, 2L));
  EXPECT_TRUE(a.HasDirCos);
  EXPECT_EQ(std::tuple(a.DirCos[0], a.DirCos[5]), std::tuple(-0.51234, 0.93456));
  EXPECT_EQ(std::tuple(d.Refl[1].Frame, d.Refl[2].I, d.Refl[2].SigI),
            std::tuple(101.75, 1.2e7, 3.4e4));

  // Twin components in the HKLF 5 convention: the overlap -2 / 1 and a
  // single reflection of domain 2 reach the M95 twin field; batches the scale.
  const std::string tw = Saint({1, 0, 0}, 50, 2, 1, 3, -2) + Saint({1, 0, 0}, 50, 2, 1, 3, 1) +
                         Saint({2, 0, 0}, 60, 2, 3, 4, 2);
  ASSERT_EQ(Import(ImpBrukerCCDRaw, Dir.Write("t.raw", tw)), 0) << Msg();
  std::vector<M95Block> b;
  std::vector<std::vector<M95Refl>> r;
  ASSERT_EQ(ReadM95File(m95, b, r), 0) << Struct.Refl.LastError;
  ASSERT_EQ(r[0].size(), 3u);
  EXPECT_EQ(std::tuple(r[0][0].ITw, r[0][1].ITw, r[0][2].ITw, r[0][2].ISc),
            std::tuple(-2, 1, 2, 3));
  EXPECT_DOUBLE_EQ(r[0][2].FrameInRun, 4.);
  EXPECT_NEAR(r[0][2].DirCos[2], 0.80001, 1e-4);  // M95 keeps four decimals
  EXPECT_EQ(std::tuple(b[0].DifCode, b[0].CorrAbs, b[0].CorrLp, b[0].TwRead, b[0].XdDirCos),
            std::tuple(int(ImpBrukerCCDRaw), 0, 1, 1, 1));

  // The "&Bruker-CCD" entry reads .raw/.ram as SAINT (not absorption corrected).
  ASSERT_EQ(Import(ImpBrukerCCD, Dir.Write("u.RAM", text)), 0) << Msg();
  EXPECT_EQ(Struct.Refl.M95.back().NRef, 3);
  EXPECT_EQ(Struct.Refl.M95.back().CorrAbs, 0);
}

TEST_F(ReadersExtra, SaintModulatedRecordsTakeTheirDimension) {
  // m n p after h k l; only the first satellite index is used.
  const std::string t =
      Saint({1, 0, 0, 1, 0, 0}, 10, 1, 1, 2) + Saint({1, 0, 0, -2, 0, 0}, 20, 1, 1, 3);
  struct Case {
    int ndim, prefer, rc, want;
  } cases[] = {{0, 0, 0, 4}, {0, 5, 0, 5}, {6, 4, 0, 6}, {0, 3, 0, 4}, {3, 0, 1, 0}};
  for (const auto& c : cases) {
    ImpData d;
    ASSERT_EQ(ReadSaintRawText(t, "m.raw", c.ndim, c.prefer, d, err), c.rc);
    if (c.rc) continue;  // three indices asked for, satellites present
    EXPECT_EQ(d.NDim, c.want) << c.ndim << " " << c.prefer;
    EXPECT_EQ(d.Refl[1].H[3], -2);
  }
  // A second satellite index in use does not fit four indices.
  const std::string t2 = t + Saint({0, 1, 0, 0, 1, 0}, 5, 1, 1, 4);
  ImpData d;
  EXPECT_EQ(ReadSaintRawText(t2, "m.raw", 4, 0, d, err), 1);
  EXPECT_NE(Msg().find("line 3"), std::string::npos) << Msg();
  ASSERT_EQ(ReadSaintRawText(t2, "m.raw", 0, 0, d, err), 0);
  EXPECT_EQ(d.NDim, 5);
  // Three-index records asked for as modulated; modulated records without
  // satellites in a structure of three indices.
  EXPECT_EQ(ReadSaintRawText(Saint({1, 2, 3}, 1, 1, 1, 1), "p.raw", 4, 0, d, err), 1);
  ASSERT_EQ(ReadSaintRawText(Saint({1, 2, 3, 0, 0, 0}, 1, 1, 1, 1), "z.raw", 0, 3, d, err), 0);
  EXPECT_EQ(d.NDim, 3);
}

TEST_F(ReadersExtra, SaintRefusesTruncatedAndGarbledRecords) {
  const std::string good = Saint({1, 2, 3}, 100, 2, 1, 5);
  std::string garbled_cos = good;
  garbled_cos.replace(40, 3, "x.y");
  std::string bad_index = good;
  bad_index.replace(4, 4, "  2a");
  ExpectRefused(ImpBrukerCCDRaw, good,
                {{good + good.substr(0, 95) + "\n",
                  "line 2: expected a record that reaches the "
                  "observed frame number in columns 98-105"},
                 {good + garbled_cos, "line 2: expected a direction cosine in columns 41-48"},
                 {bad_index, "line 1: expected an integer index in columns 5-8"},
                 {Saint({1, 2, 3}, 100, 0, 1, 5), "line 1: expected sigma(I) > 0"},
                 {Saint({1, 0, 0}, 5, 1, 1, 1, -2), "line 1: the last record of an overlap"},
                 {"! only a comment\n", "No reflections"}});
}

// ---- FullProf -----------------------------------------------------------------------------

TEST_F(ReadersExtra, FullProfRecordsReadByTheirDeclaredFormat) {
  // Data on F^2; the third record has no decimal point and reads with the
  // format's two implied decimals; fields touch.
  const std::string t =
      "Test crystal\n"
      "(3i4,2f8.2,i4,3f8.4)\n"
      "  0.84100   0   0\n"
      "   1   0   0  125.50    3.25   1  0.1234  0.5000  0.2500\n"
      "! a comment\n"
      "  -2   1   3-1234.56    0.50   1\n"
      "   0   0   4    1234      12   1\n";
  ImpData d;
  ASSERT_EQ(DRBasicFullProfText(t, "a.int", d, err), 0) << Msg();
  ASSERT_EQ(d.Refl.size(), 3u);
  EXPECT_EQ(std::tuple(d.NDim, d.OnF, d.Lambda), std::tuple(3, false, 0.841));
  EXPECT_EQ(std::tuple(d.Refl[0].I, d.Refl[1].I, d.Refl[1].H[0], d.Refl[1].Line),
            std::tuple(125.5, -1234.56, -2, 6L));
  EXPECT_EQ(std::tuple(d.Refl[2].I, d.Refl[2].SigI), std::tuple(12.34, 0.12));

  // Data on F: imported as F^2 with sigma(F^2) = 2 F sigma(F) + sigma(F)^2.
  const std::string f = "F data\n(3I4,2F8.2)\n1.5406 1\n   1   1   1   10.00    0.50\n";
  ASSERT_EQ(Import(ImpFullProf, Dir.Write("f.int", f)), 0) << Msg();
  std::vector<M95Block> b;
  std::vector<std::vector<M95Refl>> r;
  ASSERT_EQ(ReadM95File(m95, b, r), 0) << Struct.Refl.LastError;
  EXPECT_EQ(std::tuple(r[0][0].I, r[0][0].SigI, b[0].Lambda, b[0].DifCode),
            std::tuple(100., 10.25, 1.5406, int(ImpFullProf)));
}

// Propagation vectors k1 = (0 0 1/4), k2 = -k1, k3 = (1/2 0 0): two modulation
// vectors; a record of k2 is the satellite -1 of q1, of k3 the satellite +1
// of q2; k = 0 is a main reflection. The block carries q and NDim 5.
TEST_F(ReadersExtra, FullProfPropagationVectorsBecomeSatelliteIndices) {
  const std::string t =
      "Magnetic\n"
      "(4i4,2f8.2)\n"
      "  1.2  0  0\n"
      "  4\n"
      "  1  0.0  0.0  0.25\n"
      "  2  0.0  0.0 -0.25\n"
      "  3  0.5  0.0  0.0\n"
      "  4  0    0    0\n"
      "   1   0   0   1   10.00    1.00\n"
      "   1   0   0   2   11.00    1.00\n"
      "   0   1   0   3   12.00    1.00\n"
      "   0   0   2   4   13.00    1.00\n";
  ASSERT_EQ(Import(ImpFullProf, Dir.Write("k.int", t)), 0) << Msg();
  std::vector<M95Block> b;
  std::vector<std::vector<M95Refl>> r;
  ASSERT_EQ(ReadM95File(m95, b, r), 0) << Struct.Refl.LastError;
  EXPECT_EQ(b[0].NDim95, 5);
  EXPECT_EQ(b[0].QVec, (std::vector<double>{0, 0, 0.25, 0.5, 0, 0}));
  const std::vector<std::vector<int>> want = {
      {1, 0, 0, 1, 0}, {1, 0, 0, -1, 0}, {0, 1, 0, 0, 1}, {0, 0, 2, 0, 0}};
  ASSERT_EQ(r[0].size(), 4u);
  for (size_t k = 0; k < 4; ++k)
    EXPECT_EQ(std::vector<int>(r[0][k].H, r[0][k].H + 5), want[k]) << k;
}

TEST_F(ReadersExtra, FullProfRefusesBadHeadersAndRecords) {
  const std::string good = "t\n(3i4,2f8.2)\n1.0 0\n   1   0   0   10.00    1.00\n";
  const std::string kv = "t\n(4i4,2f8.2)\n1.0 0\n1\n1 0 0 0.5\n";
  ExpectRefused(
      ImpFullProf, good,
      {{"t\n(3i4,2f8.2\n1.0 0\n", "line 2: expected the Fortran format"},
       {"t\n(3i4,i4)\n1.0 0\n", "line 2: expected real fields"},
       {"t\n(2i4,2f8.2)\n1.0 0\n", "line 2: expected a format that begins"},
       {"t\n(3i4,2f8.2)\n1.0\n", "line 3: expected the wavelength and the data type"},
       {"t\n(3i4,2f8.2)\n1.0 0 2\n", "line 3: the file holds data of kind 2"},
       {"t\n(4i4,2f8.2)\n1.0 0\nx\n", "line 4: expected the number of propagation vectors"},
       {"t\n(4i4,2f8.2)\n1.0 0\n1\n2 0 0 0.5\n", "line 5: expected propagation vector 1"},
       {kv + "   1   0   0   2   10.00    1.00\n", "line 6: expected the number of a propagation"},
       {good + "   1   0   0   10.00    0.00\n", "line 5: expected sigma(F^2) > 0"},
       {good + "   1   0   0   10.00\n", "line 5: expected sigma(F^2) in columns 21-28"},
       {good + "   1   x   0   10.00    1.00\n", "line 5: expected an integer index"},
       {"t\n(3i4,2f8.2)\n1.0 0\n", "No reflections"}});
}

// ---- XD -----------------------------------------------------------------------------------

TEST_F(ReadersExtra, XdRecordsAndTheirHeader) {
  const std::string t =
      "XDNAME F^2 NDAT 7\n"
      "   1   0   0  1     245.10      3.20  0.0321\n"
      "  -1   2   3  2      12.50      0.80  0.0287\n";
  ImpData d;
  ASSERT_EQ(DRBasicRefXDText(t, "x.hkl", d, err), 0) << Msg();
  ASSERT_EQ(d.Refl.size(), 2u);
  EXPECT_FALSE(d.OnF);
  EXPECT_EQ(std::tuple(d.Refl[1].I, d.Refl[1].SigI, d.Refl[1].Batch, d.Refl[1].H[0]),
            std::tuple(12.5, 0.8, 2, -1));
  ASSERT_EQ(d.Notes.size(), 1u);  // the seventh item is said not to be imported
  ASSERT_EQ(DRBasicRefXDText("name f NDAT 6\n 1 1 1 1 5.0 0.5\n", "x.hkl", d, err), 0);
  EXPECT_TRUE(d.OnF);
  EXPECT_TRUE(d.Notes.empty());

  ExpectRefused(
      ImpXD, t,
      {{"XDNAME I NDAT 6\n", "line 1: expected the header"},
       {"XDNAME F^2 NDAT 5\n", "line 1: expected the header"},
       {"XDNAME F^2 NDAT 6\n 1 0 0 1 2.0\n", "line 2: expected 6 items (NDAT), found 5"},
       {"XDNAME F^2 NDAT 6\n 1 0.5 0 1 2.0 1.0\n", "line 2: expected an integer index"},
       {"XDNAME F^2 NDAT 6\n 1 0 0 1 2.0 -1.0\n", "line 2: expected sigma(F^2) > 0"},
       {"XDNAME F^2 NDAT 7\n 1 0 0 1 2.0 1.0 x\n", "line 2: expected a number as item 7"}});
}

}  // namespace
}  // namespace tarn
