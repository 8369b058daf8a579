#pragma once
// The profile file ".prf" of a fitted pattern, for plotting: a first line with
// the counts of points, reflections and phases (3i8), one record per point
// "(f10.3,3e15.6,f10.3,i5,99e15.6)" — position, Yobs, Ycalc, background,
// s.u., use flag — and one record per reflection "(6i4,f5.0,i4,2(3f10.4,e15.6))"
// — six indices (h k l, then zeros), multiplicity, phase (1-based), and for
// each of the two wavelength components position, FWHM, mixing and intensity,
// followed by "(f12.6,2e15.6)": d (A), |F|**2 calculated and observed
// (negative: unknown). Files without the last three fields are still read.
#include <optional>
#include <string>
#include <vector>

#include "powder/lebail.hpp"

namespace tarn {

inline constexpr const char* kPrfBad =
    "You are trying to use incorrect or Tarnzero \"prf\" file. Please re-run the refinement or le "
    "Bail decomposition.";

// The text of the profile file of a pattern.
std::string PwdMakePrfText(const PwdPatternData& p);
// Writes it (temporary name, then rename); 0 or 1.
[[nodiscard]] int PwdMakePrfFile(const std::string& file, const PwdPatternData& p);

// What a profile file holds, as read back.
struct PwdPrf {
  std::vector<double> X, Yo, Yc, Bg;
  std::vector<int> Use;
  struct Tick {
    int H[3] = {0, 0, 0};
    int Phase = 1;
    double Pos = 0.;
    int Mult = 0;
    // d (A) and |F|**2 calculated and observed; absent from older files.
    std::optional<double> D, F2Calc, F2Obs;
  };
  std::vector<Tick> Ticks;
  int NPhases = 1;
};
// Reads a profile file; 1 with kPrfBad (file, line) when it is not one.
[[nodiscard]] int PwdPrfNacti(const std::string& file, PwdPrf& out, ErrorRecord& err);

}  // namespace tarn
