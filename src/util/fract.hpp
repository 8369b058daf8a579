#pragma once
// Fractions as crystallographers write them in operator texts and
// transformation matrices: "1/2", "-2/3", "3".
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

// Largest denominator ToFract tries.
constexpr int kFractMaxDen = 100;
// A fraction p/q is taken as exact when |x - p/q| is below this.
constexpr double kFractTol = 0.0001;

// The fraction nearest to x: the smallest denominator q <= maxDen with
// |x - p/q| < kFractTol, or else the best approximation with q <= maxDen.
// Written as "p/q", or as "p" when q = 1 ("0" for zero, "-1/2" when negative);
// "?/?" for values that are not finite or beyond +-1e9.
std::string ToFract(double x, int maxDen = kFractMaxDen);

// Reads a fraction "p/q" or an integer "p", each with an optional sign; the
// empty text is 0. nullopt for anything else, a zero denominator or integers
// beyond +-1e9.
std::optional<double> ReadFract(std::string_view s);

}  // namespace tarn
