// Fortran formatted input: parsing of format specifications and reading of
// records by their fields.
#include "util/fortran_format.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace tarn {
namespace {

std::string Layout(const std::vector<FortranField>& f) {
  std::string s;
  for (const auto& x : f) s += fmt::format("{}{}@{}.{} ", x.Kind, x.Width, x.Col, x.Decimals);
  return s;
}

TEST(FortranFormat, ParsesDescriptorsRepeatsAndGroups) {
  struct Case {
    const char* fmt;
    const char* layout;
  } cases[] = {
      {"(3i4,2f8.2,i4)", "I4@0.0 I4@4.0 I4@8.0 R8@12.2 R8@20.2 I4@28.0 "},
      {"3I4, 2X, E12.4E2", "I4@0.0 I4@4.0 I4@8.0 X2@12.0 R12@14.4 "},
      {"( 2( i3 , f6.1 ) , a5, g10.3 )", "I3@0.0 R6@3.1 I3@9.0 R6@12.1 X5@18.0 R10@23.3 "},
      {"(i5.3,d9.2,es10.3,en10.3,x)", "I5@0.0 R9@5.2 R10@14.3 R10@24.3 X1@34.0 "},
      {"(2(i2,2(f3.1)))", "I2@0.0 R3@2.1 R3@5.1 I2@8.0 R3@10.1 R3@13.1 "},
      {"(2i4)  ! h k", "I4@0.0 I4@4.0 "},  // text after the format is a comment
  };
  for (const auto& c : cases) {
    std::vector<FortranField> f;
    std::string err;
    ASSERT_EQ(ParseFortranFormat(c.fmt, f, err), 0) << c.fmt << ": " << err;
    EXPECT_EQ(Layout(f), c.layout) << c.fmt;
  }
}

TEST(FortranFormat, RefusesWhatItCannotRead) {
  for (const char* bad :
       {"", "()", "(3i4", "3i4)", "(i)", "(f8)", "(3i4,/,f8.2)", "(t10,i4)", "(1p,e12.4)", "(0i4)",
        "(i4 f8.2)", "(i4,'x')", "(99999i4)", "(999(999i1))"}) {
    std::vector<FortranField> f = {{'I', 0, 4, 0}};
    std::string err;
    EXPECT_EQ(ParseFortranFormat(bad, f, err), 1) << bad;
    EXPECT_FALSE(err.empty()) << bad;
    EXPECT_EQ(f.size(), 1u) << "output kept on failure: " << bad;
  }
}

TEST(FortranFormat, RealFieldsFollowTheFortranRules) {
  struct Case {
    const char* text;
    int d;
    bool ok;
    double v;
  } cases[] = {
      {"  1234", 2, true, 12.34},   // implied decimals
      {" 12.34", 5, true, 12.34},   // a point overrides d
      {"      ", 2, true, 0.},      // blank is zero
      {" -1 23", 1, true, -12.3},   // embedded blanks ignored
      {"1.5E-3", 1, true, 1.5e-3},  // exponent forms
      {"1.5D+2", 1, true, 150.},    //
      {" 1.5-3", 1, true, 1.5e-3},  //
      {"  15+2", 1, true, 150.},    // implied decimals and a bare exponent
      {"   .5", 3, true, 0.5},      //
      {"  -0.0", 2, true, 0.},      //
      {"  1.2.3", 1, false, 0.},    //
      {"  abc", 1, false, 0.},      //
      {"   1E", 1, false, 0.},      //
      {"  +", 1, false, 0.},        //
      {"1E9999", 0, false, 0.},     // overflow
  };
  for (const auto& c : cases) {
    double v = -7.;
    EXPECT_EQ(ReadFortranReal(c.text, c.d, v), c.ok) << "\"" << c.text << "\"";
    if (c.ok) {
      EXPECT_DOUBLE_EQ(v, c.v) << "\"" << c.text << "\"";
    }
  }
  long long i = 0;
  EXPECT_TRUE(ReadFortranInt(" - 12", i));
  EXPECT_EQ(i, -12);
  EXPECT_TRUE(ReadFortranInt("    ", i));
  EXPECT_EQ(i, 0);
  EXPECT_FALSE(ReadFortranInt(" 1.0", i));
  EXPECT_FALSE(ReadFortranInt("  1-", i));
}

// A record written by a Fortran program with the format reads back to its
// values; touching fields (no blank between numbers) are separated by the
// columns alone; a short record pads with zeros and reports what was present.
TEST(FortranFormat, RecordsReadByColumns) {
  std::vector<FortranField> f;
  std::string err;
  ASSERT_EQ(ParseFortranFormat("(3i4,2f8.2,2x,i4,f6.3)", f, err), 0) << err;
  EXPECT_EQ(FortranDataCount(f), 7);
  std::vector<double> v;
  int present = 0;
  ASSERT_EQ(ReadFortranRecord("  -1  12-100 1234.56-9999.99xx   3 0.125", f, v, present), 0);
  EXPECT_EQ(present, 7);
  const std::vector<double> want = {-1, 12, -100, 1234.56, -9999.99, 3, 0.125};
  EXPECT_EQ(v, want);

  ASSERT_EQ(ReadFortranRecord("   1   2   3   10.00", f, v, present), 0);
  EXPECT_EQ(present, 4);
  EXPECT_EQ(v, (std::vector<double>{1, 2, 3, 10., 0., 0, 0.}));

  // The failing field is named by its number among the data fields.
  EXPECT_EQ(ReadFortranRecord("   1   2   3   10.00   2.00    x", f, v, present), 6);
  EXPECT_EQ(ReadFortranRecord("   1   a", f, v, present), 2);
}

}  // namespace
}  // namespace tarn
