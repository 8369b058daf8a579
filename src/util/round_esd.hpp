#pragma once
// A value with its standard uncertainty in the crystallographic form: the
// value rounded to the last digit of its uncertainty, followed by the
// uncertainty digits in parentheses, e.g. "1.2346(15)".
//
// The rounding rule sets the threshold T below which one more digit is
// shown: rule 1 T = 1.95 (uncertainty digits 2 .. 19), rule 2 T = 1.55
// (2 .. 15), any other rule T = 0.95 (1 .. 9).
#include <string>

namespace tarn {

inline constexpr int RoundEsdDefaultRule = 1;
inline constexpr double RoundEsdZeroSu = 1e-6;  // an s.u. up to this is taken as none

enum RoundEsdOption : int {
  RoundEsdPlain = 0,
  RoundEsdLeadingBlank = 1,  // a positive value gets one leading blank
};

// Threshold T of a rule.
double RoundEsdThreshold(int rule);
// Number of decimals k shown for an uncertainty su > RoundEsdZeroSu (negative:
// the value is rounded to a multiple of 10^-k).
int RoundEsdDecimals(double su, int rule);
// The text of value(su). An su <= RoundEsdZeroSu prints the value alone with
// at most max(0, min(6 - e, maxDecimals)) decimals, e its decimal exponent,
// trailing zeros removed. Blanks are
// never part of the result except the optional leading one.
std::string RoundESD(double value, double su, int maxDecimals = 6, int rule = RoundEsdDefaultRule,
                     int options = RoundEsdPlain);

}  // namespace tarn
