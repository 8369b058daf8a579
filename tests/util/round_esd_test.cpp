// Values with their uncertainties under the three rounding rules.
#include "util/round_esd.hpp"

#include <gtest/gtest.h>

namespace tarn {
namespace {

TEST(RoundESD, Rules) {
  struct Case {
    double v, su;
    int rule;
    const char* text;
  } cases[] = {
      {1.23456, 0.0015, 1, "1.2346(15)"},
      {1.23456, 0.0015, 2, "1.2346(15)"},
      {1.23456, 0.0015, 3, "1.235(2)"},
      {1.23456, 0.0019, 1, "1.2346(19)"},  // (19) with four decimals
      {1.23456, 0.0020, 1, "1.235(2)"},    // (2) with three decimals
      {1.23456, 0.0016, 2, "1.235(2)"},
      {1234.5, 23, 3, "1230(20)"},
      {1234.5, 23, 1, "1230(20)"},
      {1234.5, 5, 1, "1234(5)"},
      {-0.00001, 0.002, 1, "0.000(2)"},  // no sign on zero digits
      {-2.5, 0.25, 3, "-2.5(3)"},
      {1.5, 0., 1, "1.5"},
      {123.456789, 0., 1, "123.4568"},  // 6 - e decimals
      {0.000123, 0., 1, "0.000123"},
  };
  for (const auto& k : cases)
    EXPECT_EQ(RoundESD(k.v, k.su, 6, k.rule), k.text) << k.v << " " << k.su;
  EXPECT_EQ(RoundESD(1.23456, 0., 2), "1.23");
  EXPECT_EQ(RoundESD(1.5, 0.1, 6, 3, RoundEsdLeadingBlank), " 1.5(1)");
  EXPECT_EQ(RoundESD(-1.5, 0.1, 6, 3, RoundEsdLeadingBlank), "-1.5(1)");
}

}  // namespace
}  // namespace tarn
