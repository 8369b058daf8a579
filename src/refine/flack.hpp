#pragma once
// Absolute structure of a non-centrosymmetric structure: the Flack parameter
// x from the quotients of Friedel opposites (Parsons, Flack & Wagner, Acta
// Cryst. B69 (2013) 249). For a pair h, -h (the mate found among the
// symmetry equivalents of -h) with observed intensities I+, I-:
//   Q(obs) = (I+ - I-) / (I+ + I-),  sigma(Q) = sqrt(s+^2 + s-^2) / (I+ + I-),
// and with the model's Ic+, Ic- of the untwinned structure
//   Q(calc, x) = (1 - 2x) (Ic+ - Ic-) / (Ic+ + Ic-).
// x is the weighted least-squares fit (w = 1/sigma(Q)^2) of Q(obs) to
// Q(calc, x); its s.u. is that of the fit scaled by the square root of its
// chi^2 per degree of freedom. Pairs with either intensity at or below
// kFlackSigLim sigma(I) take no part.
#include <array>
#include <string_view>
#include <vector>

#include "refine/calc.hpp"

namespace tarn {

inline constexpr double kFlackSigLim = 3.;
// Head of the listing line.
inline constexpr std::string_view kFlackHead = "Absolute structure: Flack parameter x = ";
inline constexpr int kFlackMinPairs = 2;

// One reflection of the last reflection loop.
struct FlackRefl {
  std::array<int, 3> H{};
  double I = 0., SigI = 0.;  // observed intensity and its s.u. as read
  double Ic = 0.;            // calculated intensity on the scale of I
  int Phase = 0;             // 0-based
};

struct FlackResult {
  double X = 0., Su = 0.;
  int NQuot = 0;  // quotients used
};

// RefFlackParsons: x from the Friedel pairs of refl (phases with their
// symmetry symm, indexed by FlackRefl::Phase). Returns 1 when no phase is
// acentric or fewer than kFlackMinPairs pairs qualify.
[[nodiscard]] int RefFlackParsons(const std::vector<FlackRefl>& refl,
                                  const std::vector<CalcSymm>& symm, FlackResult& out);

}  // namespace tarn
