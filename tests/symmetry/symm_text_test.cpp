// Operator text: reading, canonical writing, fractions and matrix texts.
#include <gtest/gtest.h>

#include <cmath>

#include "support/report_script.hpp"
#include "symm_test_util.hpp"
#include "symmetry/symm.hpp"

namespace tarn {
namespace {

using test::SpaceGroups;

TEST(ReadSymm, AcceptedLinesGiveCanonicalText) {
  struct Case {
    int ndim;
    bool magnetic;
    const char* line;
    std::vector<std::string> text;
    double zmag;
  };
  const Case cases[] = {
      {3, false, "x y z", {"x", "y", "z"}, 1},
      {3, false, "-y x-y z+1/3", {"-y", "x-y", "z+1/3"}, 1},
      {3, false, "X\t-Y  Z", {"x", "-y", "z"}, 1},
      {3, false, "0.5-x 1/2+y z-1/4", {"-x+1/2", "y+1/2", "z+3/4"}, 1},
      {3, false, "x+0.6666666667 y z", {"x+2/3", "y", "z"}, 1},
      {3, false, "x y z+1.25", {"x", "y", "z+1/4"}, 1},
      {3, false, "x y z+0.99995", {"x", "y", "z"}, 1},
      {3, false, "-x+y -x z+5/6", {"-x+y", "-x", "z+5/6"}, 1},
      {4, false, "-x1+x4+1/2 x2 x3 x4", {"-x1+x4+1/2", "x2", "x3", "x4"}, 1},
      {4, false, "x1+0.5 x2 x3 x4", {"x1+1/2", "x2", "x3", "x4"}, 1},
      {4, false, "2x1 x2* x3 x4", {"2x1", "x2", "x3", "x4"}, 1},
      {4, false, "-2*x1 x2 x3 x1-x2-x4+1/3", {"-2x1", "x2", "x3", "x1-x2-x4+1/3"}, 1},
      {6, false, "x1 x2 x3 x5 x6 x4", {"x1", "x2", "x3", "x5", "x6", "x4"}, 1},
      {4, true, "x1 x2 x3 -x4 -M", {"x1", "x2", "x3", "-x4"}, -1},
      {4, true, "x1 x2 x3 -x4 +m", {"x1", "x2", "x3", "-x4"}, 1},
      {3, true, "-x -y -z", {"-x", "-y", "-z"}, 1},
      {3, false, "x1 x2 x3+1/2", {"x", "y", "z+1/2"}, 1},
      {3, false, "-0y 1-0y 2x", {"0", "0", "2x"}, 1},  // no y left in the text
      {3, false, "0 0 2x", {"0", "0", "2x"}, 1},       // and it reads back
  };
  for (const auto& c : cases) {
    SymmOp op;
    ASSERT_EQ(ReadSymm(c.line, c.ndim, c.magnetic, op), 0) << c.line;
    EXPECT_EQ(op.Text, c.text) << c.line;
    EXPECT_EQ(op.ZMag, c.zmag) << c.line;
  }
}

TEST(ReadSymm, MatrixAndTranslationOfComponents) {
  SymmOp op;
  ASSERT_EQ(ReadSymm("-x1+x4+1/2 x2 x3 x4", 4, false, op), 0);
  const double row0[4] = {-1, 0, 0, 1};
  EXPECT_TRUE(eqrv(op.RM6.data(), row0, 4, 1e-12));
  EXPECT_DOUBLE_EQ(op.S6[0], 0.5);
  ASSERT_EQ(ReadSymm("x y-1/4 z", 3, false, op), 0);
  EXPECT_DOUBLE_EQ(op.S6[1], 0.75);  // -1/4 normalised
  ASSERT_EQ(ReadSymm("2x1 x2 x3 x4", 4, false, op), 0);
  EXPECT_EQ(op.RM6[0], 2.);
}

TEST(ReadSymm, MalformedLinesAreRejectedWithTheSyntaxMessage) {
  struct Case {
    int ndim;
    bool magnetic;
    const char* line;
  };
  const Case cases[] = {
      {4, false, "x y z x4"},                    // short form beyond 3 dimensions
      {3, false, "x y"},                         // missing component
      {3, false, "x y z x"},                     // extra component
      {3, true, "x y z m m"},                    // extra word after the sign
      {3, false, ""},                            // empty
      {3, false, "   \t "},                      // blanks only
      {3, false, "x y w"},                       // unknown letter
      {3, false, "x y z+1/0"},                   // zero denominator
      {3, false, "x y 99999999999999999999z"},   // coefficient overflow
      {3, false, "x y z+99999999999999999999"},  // translation overflow
      {3, false, "x+x y z"},                     // symbol twice
      {3, false, "1/2x y z"},                    // fractional coefficient
      {3, false, "x y z+1e5"},                   // exponent
      {3, false, "x y z+1/2/3"},                 // two slashes
      {3, false, "x y z+."},                     // lone decimal point
      {4, false, "x12 x2 x3 x4"},                // column beyond the dimension
      {4, false, "x1 x2 x3 x4+1.e300"},          // decimal without a fraction
      {4, false, "x1 x2 x3 x"},                  // bare x in the long form
      {3, false, "x1 y z"},                      // long symbol in the short form
      {7, false, "x1 x2 x3 x4 x5 x6 x7"},        // dimension out of range
  };
  SymmOp op;
  ASSERT_EQ(ReadSymm("x y z+1/2", 3, false, op), 0);
  const SymmOp before = op;
  test::ReportScript shown;
  for (const auto& c : cases) {
    ErrorRecord err;
    EXPECT_EQ(ReadSymm(c.line, c.ndim, c.magnetic, op, &err), 1) << "'" << c.line << "'";
    EXPECT_EQ(err.Message, "A syntactic error in the following symmetry operator.");
    EXPECT_EQ(err.Detail, std::vector<std::string>{c.line});
    EXPECT_EQ(op.Text, before.Text) << "operator changed by a failed read: " << c.line;
    EXPECT_EQ(op.S6, before.S6);
  }
  // Every failure reached the report sink as an error with the line.
  ASSERT_EQ(shown.Of("error").size(), std::size(cases));
  EXPECT_EQ(shown.Log.back().Lines, std::vector<std::string>{cases[std::size(cases) - 1].line});
}

TEST(CodeSymm, SpecialOutputs) {
  const double rm3[9] = {0, -1, 0, 1, -1, 0, 0, 0, 1};
  const double s3[3] = {0, 0, 1. / 3.};
  EXPECT_EQ(CodeSymm(rm3, s3, 3, 1), (std::vector<std::string>{"-x2", "x1-x2", "x3+1/3"}));
  EXPECT_EQ(CodeSymm(rm3, s3, 3, 0), (std::vector<std::string>{"-y", "x-y", "z+1/3"}));
  const double half[9] = {0.5, 0, 0, 0, 1, 0, 0, 0, -1.25};
  const double t27[3] = {1. / 27., 1. / 25., 0};
  EXPECT_EQ(CodeSymm(half, t27, 3), (std::vector<std::string>{"0.5x?/?", "y+1/25", "-1.25z"}));
  const double zero[9] = {};
  const double t[3] = {0, 0.5, 0};
  EXPECT_EQ(CodeSymm(zero, t, 3), (std::vector<std::string>{"0", "1/2", "0"}));
}

// Every operator of the 230 groups survives text -> matrix -> text, and the
// generator's texts are already canonical.
TEST(CodeSymm, RoundTripOfAllTabulatedOperators) {
  const auto& groups = SpaceGroups();
  if (groups.empty()) GTEST_SKIP() << "space-group table missing";
  int n = 0;
  for (const auto& g : groups)
    for (const auto& line : g.Ops) {
      SymmOp a, b;
      ASSERT_EQ(ReadSymm(line, 3, false, a), 0) << line;
      std::string canon;
      for (const auto& t : a.Text) canon += (canon.empty() ? "" : " ") + t;
      EXPECT_EQ(canon, line) << g.Symbol;
      // and in the long form of a (3+1)-dimensional reading
      const auto longText = CodeSymm(a.RM6.data(), a.S6.data(), 3, 1);
      std::string l4 = longText[0] + " " + longText[1] + " " + longText[2] + " x4";
      ASSERT_EQ(ReadSymm(l4, 4, false, b), 0) << l4;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(b.RM6[i * 4 + j], a.RM6[i * 3 + j]);
      EXPECT_TRUE(eqrv(a.S6.data(), b.S6.data(), 3, 1e-12));
      ++n;
    }
  EXPECT_GT(n, 2500);
}

TEST(EqStringToIntMatrix, ExpressionsAndErrors) {
  const std::vector<std::string> abc = {"a", "b", "c"};
  std::vector<int> m;
  ASSERT_EQ(EqStringToIntMatrix("a+b, -a+b, c", abc, m), 0);
  EXPECT_EQ(m, (std::vector<int>{1, 1, 0, -1, 1, 0, 0, 0, 1}));
  ASSERT_EQ(EqStringToIntMatrix("bca", abc, m), 0);
  EXPECT_EQ(m, (std::vector<int>{0, 1, 0, 0, 0, 1, 1, 0, 0}));
  ASSERT_EQ(EqStringToIntMatrix("-ba-c", abc, m), 0);
  EXPECT_EQ(m, (std::vector<int>{0, -1, 0, 1, 0, 0, 0, 0, -1}));
  ASSERT_EQ(EqStringToIntMatrix("2a-b,a+b,3*c", abc, m), 0);
  EXPECT_EQ(m, (std::vector<int>{2, -1, 0, 1, 1, 0, 0, 0, 3}));
  const std::vector<std::string> x4 = {"x1", "x2", "x3", "x4"};
  ASSERT_EQ(EqStringToIntMatrix("x1,x2,x3,x1-x4", x4, m), 0);
  EXPECT_EQ(m[12], 1);
  EXPECT_EQ(m[15], -1);
  const std::vector<int> keep = m;
  for (const char* bad : {"a+d,b,c", "a,b", "", "a+,b,c", "a,b,c,a", "ab", "a,,c", "a+b/2,b,c"})
    EXPECT_EQ(EqStringToIntMatrix(bad, abc, m), 1) << bad;
  EXPECT_EQ(m, keep);
}

TEST(TrMat2String, Layout) {
  EXPECT_EQ(TrMat2String({1, 0, 0, 0, 1, 0, 0, 0, 1}), "(1,0,0 | 0,1,0 | 0,0,1)");
  EXPECT_EQ(TrMat2String({0.5, -0.5, 0, 0.5, 0.5, 0, 0, 0, 1. / 3.}),
            "(1/2,-1/2,0 | 1/2,1/2,0 | 0,0,1/3)");
}

}  // namespace
}  // namespace tarn
