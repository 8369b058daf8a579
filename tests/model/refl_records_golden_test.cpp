// Reflection records as text: the exact columns of M95 and M90 records for
// values at the edges of their fields (signs, halves, values that fill the
// columns), and the streaming reader and writer against the whole-file ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "model/m95m90.hpp"
#include "model/structure.hpp"
#include "support/temp_dir.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

class ReflGolden : public test::TempDirTest {
 protected:
  std::string Path(const char* name) const { return Dir / name; }
  // The text from the "data" line on.
  static std::string Records(const std::string& p) {
    const std::string t = test::TempDir::Read(p);
    const size_t d = t.find("\ndata");
    return d == std::string::npos ? std::string() : t.substr(d + 1);
  }
};

// Four M95 records with one modulation vector and runs of 10, 0 and 20 frames.
std::vector<M95Refl> EdgeRecords() {
  std::vector<M95Refl> rs(4);
  M95Refl& a = rs[0];  // negatives and halves
  a.No = 1;
  const int h0[] = {-12, 0, 7, -1};
  std::copy(h0, h0 + 4, a.H);
  a.Geom[0] = 12.345;
  a.Geom[1] = -0.125;
  a.Geom[2] = 0.005;
  a.Geom[3] = -0.004;  // rounds to zero: no "-0.00"
  a.I = -12.5;
  a.SigI = 0.0000005;
  a.FrameInRun = 2.5;
  a.Run = 3;  // run 2 has no frames: 10 frames before run 3
  a.DirCos[0] = -0.99995;
  a.DirCos[1] = 0.00005;
  a.Tbar = 0.12345;
  a.Corr[0] = 1.5;  // I and sigma are written times 3
  a.Corr[1] = 2.;
  M95Refl& b = rs[1];  // every field filled to its width
  b.No = 99999999;
  const int h1[] = {-999, 999, -99, 9};
  std::copy(h1, h1 + 4, b.H);
  b.Geom[0] = -999.99;
  b.Geom[1] = 9999.99;
  b.I = 9.999994e98;
  b.SigI = 1e-99;
  b.Bg = -123456.75;
  b.SigBg = 999999.5;  // rounding carries into a new digit
  b.FrameInRun = 99999.999;
  b.ISc = 12;
  b.ITw = -2;
  b.IFlag = 1;
  b.Trans = -99.9999;
  M95Refl& c = rs[2];  // zeros of both signs
  c.No = 3;
  c.I = -0.;
  c.Corr[0] = 0.5;
  c.Corr[1] = 0.25;
  c.Run = 2;  // no frames in run 2: counted from the runs before
  c.FrameInRun = 1.;
  M95Refl& d = rs[3];
  d.No = 4;
  d.I = 1234.5678;
  d.SigI = 0.05;
  d.FrameInRun = 10.5;
  d.Corr[1] = 9999.99999;
  return rs;
}

TEST_F(ReflGolden, M95RecordsKeepTheirColumns) {
  M95Block b;
  b.NDim95 = 4;
  b.RunFrames = {10, 0, 20};
  const std::string expected =
      "data\n"
      "       1 -12   0   7  -1  12.35  -0.13   0.01   0.00  -0.375000E+02   0.150000E-05     "
      "2.500   1   1   0\n"
      "   0.000000E+00   0.000000E+00  0.1235 -1.0000  0.0001  0.0000  0.0000  0.0000  0.0000  "
      "0.0000      13   1.50000   2.00000\n"
      "99999999-999 999 -99   9-999.999999.99   0.00   0.00   0.999999E+99   0.100000E-98 "
      "99999.999  12  -2   1\n"
      "  -0.123457E+06   0.100000E+07  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000  "
      "0.0000-99.9999  100000   1.00000   1.00000\n"
      "       3   0   0   0   0   0.00   0.00   0.00   0.00   0.000000E+00   0.000000E+00     "
      "1.000   1   1   0\n"
      "   0.000000E+00   0.000000E+00  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000  "
      "0.0000      11   0.50000   0.25000\n"
      "       4   0   0   0   0   0.00   0.00   0.00   0.00   0.123457E+08   0.500000E+03    "
      "10.500   1   1   0\n"
      "   0.000000E+00   0.000000E+00  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000  "
      "0.0000      11   1.000009999.99999\n";
  const std::vector<M95Refl> rs = EdgeRecords();
  ASSERT_EQ(WriteM95File(Path("a.m95"), {b}, {rs}), 0) << Struct.Refl.LastError;
  EXPECT_EQ(Records(Path("a.m95")), expected);

  // Read back and written again: the frame column now holds the frame within
  // the run read from the i8 frame number; after that the text is a fixed point.
  std::vector<M95Block> b2;
  std::vector<std::vector<M95Refl>> r2;
  ASSERT_EQ(ReadM95File(Path("a.m95"), b2, r2), 0) << Struct.Refl.LastError;
  ASSERT_EQ(r2.size(), 1u);
  ASSERT_EQ(r2[0].size(), rs.size());
  EXPECT_EQ(r2[0][0].Run, 3);
  EXPECT_EQ(r2[0][0].FrameInRun, 3.);
  EXPECT_DOUBLE_EQ(r2[0][0].I, -12.5);
  EXPECT_EQ(r2[0][2].Run, 3);  // frame 11 after runs of 10 and of none: run 3, frame 1
  EXPECT_EQ(r2[0][2].FrameInRun, 1.);
  ASSERT_EQ(WriteM95File(Path("b.m95"), b2, r2), 0) << Struct.Refl.LastError;
  std::vector<M95Block> b3;
  std::vector<std::vector<M95Refl>> r3;
  ASSERT_EQ(ReadM95File(Path("b.m95"), b3, r3), 0) << Struct.Refl.LastError;
  ASSERT_EQ(WriteM95File(Path("c.m95"), b3, r3), 0) << Struct.Refl.LastError;
  EXPECT_EQ(Records(Path("b.m95")), Records(Path("c.m95")));
}

TEST_F(ReflGolden, M90RecordsRoundHalvesAwayFromZero) {
  M90Block b;
  b.NDim = 3;
  std::vector<M90Refl> m(3);
  const int h0[] = {-9, 10, 0};
  std::copy(h0, h0 + 3, m[0].H);
  m[0].I = 1234567.85;  // fills f9.1
  m[0].SigI = -0.05;
  m[0].Run = 123456789012345LL;  // fills i15
  m[0].FrameInRun = -0.5e-3;
  m[0].ICull = 1;
  m[0].Tbar = 99.99995;  // rounds up to fill f8.4
  m[1].I = -0.04;        // no "-0.0"
  m[1].SigI = 0.25;
  m[1].DirCos[5] = -0.00005;
  m[2].I = 0.15;
  m[2].SigI = 0.35;
  ASSERT_EQ(WriteM90File(Path("a.m90"), {b}, {m}), 0) << Struct.Refl.LastError;
  EXPECT_EQ(Records(Path("a.m90")),
            "data\n"
            "  -9  10   01234567.9     -0.1   1   1   1100.0000  0.0000  0.0000  0.0000  0.0000  "
            "0.0000  0.0000  0.0000  -0.500000E-03123456789012345\n"
            "   0   0   0      0.0      0.3   1   1   0  0.0000  0.0000  0.0000  0.0000  0.0000  "
            "0.0000 -0.0001  0.0000   0.000000E+00              0\n"
            "   0   0   0      0.2      0.4   1   1   0  0.0000  0.0000  0.0000  0.0000  0.0000  "
            "0.0000  0.0000  0.0000   0.000000E+00              0\n");
}

// The record-by-record reader and writer give what the whole-file ones give,
// and a source or sink that refuses stops the work with the file untouched.
TEST_F(ReflGolden, StreamingMatchesWholeFile) {
  M95Block b1, b2;
  b1.NDim95 = 4;
  b1.RunFrames = {10, 0, 20};
  b2.Name = "second";
  const std::vector<M95Refl> rs = EdgeRecords();
  std::vector<M95Refl> three(rs.begin(), rs.begin() + 3);
  for (M95Refl& r : three) r.H[3] = 0;
  ASSERT_EQ(WriteM95File(Path("w.m95"), {b1, b2}, {rs, three}), 0) << Struct.Refl.LastError;
  const std::vector<std::vector<M95Refl>> lists = {rs, three};
  ASSERT_EQ(WriteM95FileFrom(Path("s.m95"), {b1, b2}, {rs.size(), three.size()},
                             [&](size_t k, size_t i, M95Refl& r) {
                               r = lists[k][i];
                               return 0;
                             }),
            0);
  EXPECT_EQ(Records(Path("s.m95")), Records(Path("w.m95")));

  std::vector<M95Block> bw, bs;
  std::vector<std::vector<M95Refl>> rw, rsink(2);
  ASSERT_EQ(ReadM95File(Path("w.m95"), bw, rw), 0);
  ASSERT_EQ(ReadM95FileTo(Path("w.m95"), bs,
                          [&](size_t k, const M95Block& blk, const M95Refl& r) {
                            EXPECT_EQ(blk.NDim95, k == 0 ? 4 : 3);
                            rsink[k].push_back(r);
                            return 0;
                          }),
            0);
  EXPECT_EQ(bs, bw);
  EXPECT_EQ(rsink, rw);

  const std::string before = Records(Path("w.m95"));
  EXPECT_EQ(WriteM95FileFrom(Path("w.m95"), {b1}, {rs.size()},
                             [](size_t, size_t i, M95Refl& r) {
                               r = M95Refl{};
                               return i == 2 ? 7 : 0;
                             }),
            7);
  EXPECT_EQ(Records(Path("w.m95")), before);
  std::vector<std::string> left;  // no temporary file is left behind
  for (const auto& e : fs::directory_iterator(Dir.Path()))
    left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"s.m95", "w.m95"}));
  std::vector<M95Block> none;
  EXPECT_EQ(
      ReadM95FileTo(Path("w.m95"), none, [](size_t, const M95Block&, const M95Refl&) { return 5; }),
      5);
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace tarn
