#include <gtest/gtest.h>

#include "util/strings.hpp"

using namespace tarn;

TEST(Strings, CaseAndTrim) {
  EXPECT_TRUE(EqIgnoreCase("Refine", "REFINE"));
  EXPECT_FALSE(EqIgnoreCase("Refine", "Refin"));
  EXPECT_TRUE(StartsWithIgnoreCase("-homedir", "-HOME"));
  EXPECT_EQ(Trim("  a b \r\n"), "a b");
  EXPECT_EQ(SplitWords(" a\tbb  c "), (std::vector<std::string>{"a", "bb", "c"}));
  EXPECT_EQ(SplitOn("File->Structure->Open", "->"),
            (std::vector<std::string>{"File", "Structure", "Open"}));
}

TEST(Strings, NumberConversion) {
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  const Case cases[] = {{"1.5", true, 1.5},  {" -2 ", true, -2.}, {"+3e2", true, 300.},
                        {"1.0D-3", true, 1e-3}, {"", false, 0.},   {"1.2.3", false, 0.},
                        {"abc", false, 0.},   {"1e999", false, 0.}, {"nan", false, 0.}};
  for (const auto& c : cases) {
    auto v = ToReal(c.text);
    EXPECT_EQ(v.has_value(), c.ok) << c.text;
    if (v && c.ok) {
      EXPECT_DOUBLE_EQ(*v, c.value) << c.text;
    }
  }
  EXPECT_EQ(ToInt("42"), 42);
  EXPECT_FALSE(ToInt("4.2"));
  EXPECT_FALSE(ToInt("99999999999999999999999"));
}
