// Fixed-column fields, the buffered line reader, the atomic writer and index
// packing of the reflection files.
#include "model/refl_fmt.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>

#include "model/refl.hpp"
#include "model/structure.hpp"
#include "support/temp_dir.hpp"

using namespace tarn;
namespace fs = std::filesystem;

namespace {

std::string Fmt(char kind, double v, int w, int d) {
  char buf[64];
  char* e = kind == 'I'   ? PutI(buf, static_cast<long long>(v), w)
            : kind == 'F' ? PutF(buf, v, w, d)
                          : PutE(buf, v, w, d);
  return e ? std::string(buf, e) : std::string("overflow");
}

}  // namespace

// Output as a Fortran program writes it with the same edit descriptors.
TEST(ReflFmt, EditDescriptorsWriteLikeFortran) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    char kind;
    double v;
    int w, d;
    const char* expected;
  } cases[] = {
      {'I', 5, 4, 0, "   5"},
      {'I', -123, 4, 0, "-123"},
      {'I', 12345, 4, 0, "overflow"},
      {'I', -1234567, 8, 0, "-1234567"},
      {'F', 0.5, 7, 2, "   0.50"},
      {'F', -0.5, 7, 2, "  -0.50"},
      {'F', -0.004, 7, 2, "   0.00"},  // no "-0.00"
      {'F', 12.3456, 7, 2, "  12.35"},
      {'F', -999.99, 7, 2, "-999.99"},
      {'F', 99999.99, 7, 2, "overflow"},
      {'F', 1234567.8, 9, 1, "1234567.8"},
      {'F', 12345678.9, 9, 1, "overflow"},
      {'F', -0.9999, 8, 4, " -0.9999"},
      {'F', nan, 8, 4, "overflow"},
      {'E', 1234.567, 15, 6, "   0.123457E+04"},
      {'E', -0.001, 15, 6, "  -0.100000E-02"},
      {'E', 0., 15, 6, "   0.000000E+00"},
      {'E', 1., 15, 6, "   0.100000E+01"},
      {'E', 0.1, 15, 6, "   0.100000E+00"},
      {'E', 999999.95, 15, 6, "   0.100000E+07"},  // rounding carries into a new digit
      {'E', 1e-5, 15, 6, "   0.100000E-04"},
      {'E', 1e-100, 15, 6, "   0.000000E+00"},
      {'E', 1e100, 15, 6, "overflow"},
      {'E', nan, 15, 6, "overflow"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Fmt(c.kind, c.v, c.w, c.d), c.expected) << c.kind << c.w << "." << c.d << " " << c.v;
}

TEST(ReflFmt, FieldParsing) {
  struct IntCase {
    const char* f;
    bool ok;
    long long v;
  } ic[] = {{"   12", true, 12}, {"", true, 0},     {"    ", true, 0},
            {"  -3", true, -3},  {"  +3", true, 3}, {" 1 2", false, 0},
            {" 1a", false, 0},   {"1.0", false, 0}, {"99999999999999999999", false, 0}};
  for (const auto& c : ic) {
    long long v = -7;
    EXPECT_EQ(GetI(c.f, v), c.ok) << c.f;
    if (c.ok) {
      EXPECT_EQ(v, c.v) << c.f;
    }
  }
  struct RealCase {
    const char* f;
    bool ok;
    double v;
  } rc[] = {{"   0.123457E+04", true, 1234.57},
            {" -.5", true, -0.5},
            {"+1.5", true, 1.5},
            {"12", true, 12.},  // no implied decimal point
            {"", true, 0.},
            {"1.5e", false, 0.},
            {"inf", false, 0.},
            {"nan", false, 0.},
            {"1,5", false, 0.},
            {"0x1p3", false, 0.},
            {"1e999", false, 0.},
            {"- 1", false, 0.},
            // more digits than a 64-bit integer holds: read exactly, no overflow
            {"123456789012345678901234567890", true, 123456789012345678901234567890.},
            {"-0.0000000000000000000000000001", true, -1e-28}};
  for (const auto& c : rc) {
    double v = -7.;
    EXPECT_EQ(GetR(c.f, v), c.ok) << c.f;
    if (c.ok) {
      EXPECT_EQ(v, c.v) << c.f;
    }
  }
}

// Writing, reading and writing again gives the same text, and the value read is
// the written one to the precision of the field, over many magnitudes.
TEST(ReflFmt, WriteReadWriteIsStable) {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> mant(-1., 1.);
  std::uniform_int_distribution<int> ex(-60, 60);
  for (int i = 0; i < 200000; ++i) {
    const double v = mant(rng) * std::pow(10., ex(rng));
    char a[32], b[32];
    char* ea = PutE(a, v, 15, 6);
    ASSERT_NE(ea, nullptr) << v;
    double r;
    ASSERT_TRUE(GetR(std::string_view(a, ea - a), r)) << std::string(a, ea);
    if (std::fabs(v) >= 1e-99) {
      EXPECT_LE(std::fabs(r - v), 5.0000001e-6 * std::fabs(v)) << v;
    }
    char* eb = PutE(b, r, 15, 6);
    ASSERT_EQ(std::string(a, ea), std::string(b, eb)) << v;

    const double f = mant(rng) * 99.;  // f8.4 holds -99.9999 .. 999.9999
    ea = PutF(a, f, 8, 4);
    ASSERT_NE(ea, nullptr) << f;
    ASSERT_TRUE(GetR(std::string_view(a, ea - a), r));
    EXPECT_LE(std::fabs(r - f), 0.5000001e-4) << f;
    eb = PutF(b, r, 8, 4);
    ASSERT_EQ(std::string(a, ea), std::string(b, eb)) << f;
  }
}

TEST(ReflFmt, LineReaderEndsGrowthAndUnread) {
  test::TempDir dir;
  const std::string longline(3 << 20, 'x');  // longer than the reader's first buffer
  ReflIn in;
  ASSERT_EQ(in.Open(dir.Write("lines.txt", "first\r\n\nthird\n" + longline + "\nlast without end")),
            0);
  std::string_view l;
  std::vector<std::string> got;
  while (in.NextLine(l)) {
    got.emplace_back(l);
    if (got.size() == 3) {  // read "third" twice
      in.UnreadLine();
      ASSERT_TRUE(in.NextLine(l));
      EXPECT_EQ(l, "third");
      EXPECT_EQ(in.LineNo(), 3);
    }
  }
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], "first");
  EXPECT_EQ(got[1], "");
  EXPECT_EQ(got[3], longline);
  EXPECT_EQ(got[4], "last without end");
  EXPECT_EQ(in.LineNo(), 5);
  ReflIn missing;
  EXPECT_NE(missing.Open(dir / "no_such_file.m90"), 0);
}

TEST(ReflFmt, AtomicWriterTouchesTargetOnlyOnCommit) {
  test::TempDir dir;
  const std::string target = dir.Write("a.m90", "old\n");
  {
    ReflOut out;
    ASSERT_EQ(out.Open(target), 0);
    out.Put("new\n");
  }  // abandoned: destructor drops the temporary
  EXPECT_EQ(test::TempDir::Read(target), "old\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1);
  ReflOut out;
  ASSERT_EQ(out.Open(target), 0);
  std::string big(3 << 20, 'y');  // spans several flushes
  out.Put(big);
  ASSERT_EQ(out.Commit(), 0);
  EXPECT_EQ(test::TempDir::Read(target), big);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1);
  ReflOut bad;
  EXPECT_NE(bad.Open(dir / "no_dir/x.m90"), 0);
}

// HCondAr packing: the formula evaluated directly, the inverse, and the order
// of packed values (first index slowest).
TEST(ReflPack, FormulaInverseAndOrder) {
  IndPackSpec s;
  s.N = 4;
  const int o[4] = {20, 15, 30, 3}, m[4] = {41, 31, 61, 7};
  std::copy(o, o + 4, s.Offset);
  std::copy(m, m + 4, s.Range);
  std::mt19937 rng(7);
  std::vector<std::pair<long long, std::vector<int>>> packed;
  for (int n = 0; n < 5000; ++n) {
    int h[kReflMaxNDim] = {};
    for (int i = 0; i < 4; ++i) h[i] = static_cast<int>(rng() % m[i]) - o[i];
    const long long p = IndPack(h, s);
    long long q = h[0] + o[0];
    for (int i = 1; i < 4; ++i) q = (h[i] + o[i]) + m[i] * q;
    ASSERT_EQ(p, q);
    int back[kReflMaxNDim] = {};
    IndUnpack(p, s, back);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(back[i], h[i]);
    packed.emplace_back(p, std::vector<int>(h, h + 4));
  }
  std::sort(packed.begin(), packed.end());
  for (size_t i = 1; i < packed.size(); ++i) EXPECT_LE(packed[i - 1].second, packed[i].second);

  // Outside the ranges the packing would not be unique.
  struct Bad {
    int h[4];
  } bad[] = {{{0, 16, 0, 0}}, {{0, -16, 0, 0}}, {{0, 0, 0, 4}}, {{-21, 0, 0, 0}}};
  for (const auto& b : bad) EXPECT_EQ(IndPack(b.h, s), -1);
  IndPackSpec huge;
  huge.N = 6;
  for (int i = 0; i < 6; ++i) huge.Range[i] = 2000000000, huge.Offset[i] = 0;
  const int h6[6] = {1999999999, 1, 1, 1, 1, 1};
  EXPECT_EQ(IndPack(h6, huge), -1);  // would overflow 64 bits
}

TEST(ReflPack, ReallocationKeepsContents) {
  Struct.Refl = ReflData{};
  ReallocRefArrays(3);
  Struct.Refl.RIAr = {1., 2., 3.};
  Struct.Refl.NRef = 3;
  ReallocRefArrays(10);
  EXPECT_EQ(Struct.Refl.RIAr[2], 3.);
  EXPECT_EQ(Struct.Refl.HCondAr.size(), 10u);
  EXPECT_EQ(Struct.Refl.FcAr.size(), 10u);
  ReallocRefArrays(2);
  EXPECT_EQ(Struct.Refl.NRef, 2);
  ReallocAveArrays(4);
  EXPECT_EQ(Struct.Refl.OrderAve.size(), 4u);
  Struct.Refl = ReflData{};
}
