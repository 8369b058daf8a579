#pragma once
// FullProf single-crystal integrated intensities (.int):
//   line 1  title;
//   line 2  the Fortran format of the records, e.g. "(3i4,2f8.2,i4)";
//   line 3  wavelength (A), data type (0: F^2 and sigma(F^2), 1: F and
//           sigma(F)) and optionally the kind of data (0 single crystal; the
//           others are refused);
//   when the format begins with four integer fields (h k l and the number of
//   a propagation vector): the number of propagation vectors, then one line
//   "n k1 k2 k3" per vector;
//   records h k l [n] value sigma [further fields, not imported].
// A record with vector n is the satellite H + k_n. The distinct vectors up to
// sign become the block's modulation vectors (at most three; k = 0 gives main
// reflections), so that k_n = -q_j is the satellite index -1 of q_j.
#include <string>
#include <string_view>

#include "datared/readers/reader.hpp"

namespace tarn {

// Tolerance for two propagation vectors of a FullProf file to count as the
// same (or opposite) modulation vector, r.l.u. per component.
inline constexpr double kPropVecTol = 1e-5;

[[nodiscard]] int DRBasicFullProfText(std::string_view text, const std::string& file, ImpData& d,
                                      ErrorRecord& err);
[[nodiscard]] int DRBasicFullProf(const std::string& file, ImpData& d, ErrorRecord& err);

[[nodiscard]] int ImpReadFullProf(const ImpRequest& req, ImpData& d, ErrorRecord& err);

inline constexpr ImpFormatEntry kImpFmtFullProf{ImpFullProf, "From Full&Prof file", "*.int",
                                                nullptr, &ImpReadFullProf};

}  // namespace tarn
