#pragma once
// Free-form text of real numbers: the shortest decimal text that reads back
// (through ToReal / strtod) to exactly the same binary value.
#include <string>

namespace tarn {

// Shortest round-trip text of v. Fixed notation without trailing zeros
// ("10", "0.5", "0.00001") unless that is more than ShortRealFixedExtra
// characters longer than the scientific form, which is then used with a
// compact exponent ("1e20", "1.5e-12"). Negative zero keeps its sign ("-0");
// non-finite values are written "nan", "inf", "-inf" (they do not read back).
std::string ShortestReal(double v);
// The same for single precision: the shortest text that reads back, rounded
// to float, to the same float.
std::string ShortestReal(float v);

// How much longer than the scientific form the fixed form may be.
inline constexpr int ShortRealFixedExtra = 5;

}  // namespace tarn
