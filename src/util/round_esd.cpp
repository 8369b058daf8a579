#include "util/round_esd.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace tarn {

namespace {

// Fixed text of v with n decimals; a result that shows only zeros loses its
// minus sign ("-0.000" would claim a sign the digits do not carry).
std::string Fixed(double v, int n) {
  std::string s = fmt::format("{:.{}f}", v, std::max(n, 0));
  if (s[0] == '-' && s.find_first_of("123456789") == std::string::npos) s.erase(0, 1);
  return s;
}

}  // namespace

double RoundEsdThreshold(int rule) {
  return rule == 1 ? 1.95 : rule == 2 ? 1.55 : 0.95;
}

int RoundEsdDecimals(double su, int rule) {
  const double t = RoundEsdThreshold(rule);
  int k = 0;
  while (su * std::pow(10., k) < t && k < 30) ++k;
  if (k == 0)
    while (su * std::pow(10., k) >= 10. * t && k > -30) --k;
  return k;
}

std::string RoundESD(double value, double su, int maxDecimals, int rule, int options) {
  std::string out;
  if (!(su > RoundEsdZeroSu)) {
    const int e = value == 0. ? 0 : static_cast<int>(std::floor(std::log10(std::fabs(value))));
    out = Fixed(value, std::max(0, std::min(6 - e, maxDecimals)));
    // Up to that many decimals: trailing zeros carry nothing without an s.u.
    if (out.find('.') != std::string::npos) {
      while (out.back() == '0') out.pop_back();
      if (out.back() == '.') out.pop_back();
    }
  } else {
    const int k = RoundEsdDecimals(su, rule);
    const double scale = std::pow(10., k);
    const long long digits = std::llround(su * scale);
    if (k >= 0) {
      out = Fixed(value, k) + fmt::format("({})", digits);
    } else {
      const double unit = std::pow(10., -k);
      out = Fixed(std::round(value / unit) * unit, 0) +
            fmt::format("({})", digits * std::llround(unit));
    }
  }
  if ((options & RoundEsdLeadingBlank) && out[0] != '-') out.insert(out.begin(), ' ');
  return out;
}

}  // namespace tarn
