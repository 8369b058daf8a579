// Numbers as text: the shortest exact real and fractions.
#include <gtest/gtest.h>

#include <cmath>

#include "util/fract.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

TEST(ShortestReal, IsShortestAndExact) {
  struct Case {
    double v;
    std::string_view text;
  } cases[] = {
      {90., "90"},      {5.6402, "5.6402"}, {-0.25, "-0.25"}, {0.1 + 0.2, "0.30000000000000004"},
      {1e-12, "1e-12"}, {0., "0"},          {-0., "-0"},      {1e20, "1e20"}};
  for (const auto& c : cases) {
    EXPECT_EQ(ShortestReal(c.v), c.text);
    auto back = ToReal(ShortestReal(c.v));
    ASSERT_TRUE(back);
    EXPECT_EQ(std::signbit(*back), std::signbit(c.v));
    EXPECT_EQ(*back, c.v);
  }
}

TEST(Fract, ToFractAndReadFract) {
  struct Case {
    double x;
    const char* text;
  };
  const Case cases[] = {
      {0.5, "1/2"},     {-0.5, "-1/2"},   {2. / 3., "2/3"},  {0.6666666667, "2/3"},
      {0.33333, "1/3"}, {0., "0"},        {3., "3"},         {-1., "-1"},
      {0.125, "1/8"},   {0.33, "33/100"}, {1. / 48., "1/48"}};
  for (const auto& c : cases) {
    EXPECT_EQ(ToFract(c.x), c.text) << c.x;
    auto back = ReadFract(c.text);
    ASSERT_TRUE(back.has_value()) << c.text;
    EXPECT_NEAR(*back, c.x, 1e-4);
  }
  EXPECT_EQ(ToFract(std::nan("")), "?/?");
  EXPECT_EQ(ToFract(1e300), "?/?");
  for (const char* bad : {"1/0", "a", "1/", "/2", "+-1", "1.5", "2000000000", "1/2/3", "--1"})
    EXPECT_FALSE(ReadFract(bad).has_value()) << bad;
  EXPECT_EQ(*ReadFract(""), 0.);
  EXPECT_EQ(*ReadFract("+3/4"), 0.75);
}

}  // namespace
}  // namespace tarn
