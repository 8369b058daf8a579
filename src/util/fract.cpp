#include "util/fract.hpp"

#include <cmath>
#include <cstdlib>

#include "util/strings.hpp"

namespace tarn {

namespace {
constexpr long long kFractMaxInt = 1000000000;  // bound on numerators/denominators read

std::optional<long long> ReadSmallInt(std::string_view s) {
  if (s.empty()) return std::nullopt;
  for (char c : s)
    if (c < '0' || c > '9') return std::nullopt;
  auto v = ToInt(s);
  if (!v || *v > kFractMaxInt) return std::nullopt;
  return v;
}
}  // namespace

std::string ToFract(double x, int maxDen) {
  if (!std::isfinite(x) || std::fabs(x) > 1e9) return "?/?";
  if (maxDen < 1) maxDen = 1;
  long long bestP = std::llround(x);
  int bestQ = 1;
  double bestErr = std::fabs(x - static_cast<double>(bestP));
  for (int q = 1; q <= maxDen; ++q) {
    const double p = std::round(x * q);
    const double err = std::fabs(x - p / q);
    if (err < kFractTol) {
      bestP = static_cast<long long>(p);
      bestQ = q;
      break;
    }
    if (err < bestErr - 1e-12) {
      bestErr = err;
      bestP = static_cast<long long>(p);
      bestQ = q;
    }
  }
  if (bestP == 0) return "0";
  if (bestQ == 1) return std::to_string(bestP);
  return std::to_string(bestP) + "/" + std::to_string(bestQ);
}

std::optional<double> ReadFract(std::string_view s) {
  s = Trim(s);
  if (s.empty()) return 0.0;
  double sign = 1.;
  if (s.front() == '+' || s.front() == '-') {
    if (s.front() == '-') sign = -1.;
    s.remove_prefix(1);
  }
  const auto slash = s.find('/');
  if (slash == std::string_view::npos) {
    auto p = ReadSmallInt(s);
    if (!p) return std::nullopt;
    return sign * static_cast<double>(*p);
  }
  auto p = ReadSmallInt(s.substr(0, slash));
  auto q = ReadSmallInt(s.substr(slash + 1));
  if (!p || !q || *q == 0) return std::nullopt;
  return sign * static_cast<double>(*p) / static_cast<double>(*q);
}

}  // namespace tarn
