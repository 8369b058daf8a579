// Numbers as text: the shortest exact real and fractions.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>

#include "util/fract.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

// Significant digits of a decimal text (mantissa only).
int SigDigits(const std::string& s) {
  std::string m = s.substr(0, s.find('e'));
  std::string digits;
  for (char c : m)
    if (c >= '0' && c <= '9') digits += c;
  // Leading zeros are not significant, trailing zeros of an integer part are
  // (conservatively) counted only up to the last nonzero digit.
  size_t a = digits.find_first_not_of('0');
  size_t b = digits.find_last_not_of('0');
  if (a == std::string::npos) return 1;
  return static_cast<int>(b - a + 1);
}

// The value a text reads back to, when it reads at all.
template <class T>
std::optional<T> ParseBack(const std::string& s) {
  auto v = ToReal(s);
  if (!v) return std::nullopt;
  return static_cast<T>(*v);
}

// The text reads back to exactly v, and one significant digit fewer never does.
template <class T>
void CheckShortest(T v) {
  const std::string s = ShortestReal(v);
  ASSERT_EQ(ParseBack<T>(s), std::optional<T>(v)) << s;
  const int d = SigDigits(s);
  if (d > 1) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", d - 2, static_cast<double>(v));
    EXPECT_NE(ParseBack<T>(buf), std::optional<T>(v)) << s << " could be " << buf;
  }
  EXPECT_LE(s.size(), 30u) << s;
}

TEST(ShortestReal, KnownTexts) {
  const std::pair<double, const char*> cases[] = {{10.0, "10"},
                                                  {5.6402, "5.6402"},
                                                  {0.5, "0.5"},
                                                  {1e-5, "0.00001"},
                                                  {0.1, "0.1"},
                                                  {-3333.0, "-3333"},
                                                  {1e20, "1e20"},
                                                  {1.5e-12, "1.5e-12"},
                                                  {-0.0, "-0"},
                                                  {0.0, "0"},
                                                  {5e-324, "5e-324"},
                                                  {1e6, "1000000"},
                                                  {123456.789, "123456.789"},
                                                  {DBL_MAX, "1.7976931348623157e308"},
                                                  {0.30000000000000004, "0.30000000000000004"},
                                                  {9007199254740993.0, "9007199254740992"},
                                                  {-1e-300, "-1e-300"}};
  for (auto& [v, text] : cases) EXPECT_EQ(ShortestReal(v), text) << v;
  const std::pair<float, const char*> fcases[] = {
      {0.01f, "0.01"},          {0.1f, "0.1"},
      {1e-5f, "0.00001"},       {3.4028235e38f, "3.4028235e38"},
      {16777216.f, "16777216"}, {1.4e-45f, "1e-45"}};
  for (auto& [v, text] : fcases) EXPECT_EQ(ShortestReal(v), text) << v;
  EXPECT_EQ(ShortestReal(std::nan("")), "nan");
}

TEST(ShortestReal, RoundTripsAndIsMinimalOnTrickyDoubles) {
  std::vector<double> vals = {0.1,
                              0.2,
                              0.3,
                              1.0 / 3,
                              2.0 / 3,
                              1e23,
                              8.41e21,
                              5e-324,
                              2.2250738585072014e-308,
                              2.2250738585072009e-308,
                              DBL_MAX,
                              DBL_EPSILON,
                              1 + DBL_EPSILON,
                              4.35,
                              0.01,
                              0.05,
                              1e-5,
                              9.5,
                              1e15,
                              1e16,
                              1e17,
                              123456789012345678.0};
  for (int e = -320; e <= 308; ++e) vals.push_back(std::pow(10.0, e));
  for (double v : vals) {
    CheckShortest(v);
    CheckShortest(-v);
    CheckShortest(std::nextafter(v, 0.0));
    CheckShortest(std::nextafter(v, DBL_MAX));
  }
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    CheckShortest(v);
  }
}

TEST(ShortestReal, RoundTripsAcrossTheFloatRange) {
  // Every 65537th bit pattern over all finite floats, both signs.
  for (uint64_t bits = 0; bits < 0x7f800000u; bits += 65537) {
    float v;
    uint32_t b = static_cast<uint32_t>(bits);
    std::memcpy(&v, &b, sizeof v);
    const std::string s = ShortestReal(v);
    ASSERT_EQ(ParseBack<float>(s), std::optional<float>(v)) << s;
    ASSERT_EQ(ParseBack<float>(ShortestReal(-v)), std::optional<float>(-v));
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
