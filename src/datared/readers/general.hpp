#pragma once
// General free-format files: h k l [m ...] I sigma in columns the user
// chooses, lines starting with "#" or "!" and blank lines skipped; and the
// same with real (non-integer) h k l of a modulated crystal, resolved into
// main and satellite indices through the modulation vectors.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "datared/readers/reader.hpp"

namespace tarn {

// Largest distance (in index units, per component) of a real index vector
// from the nearest main + satellite position that is still resolved.
inline constexpr double kRealIndTol = 0.05;

// Modulation vectors for the resolution of real indices: q_i in reciprocal
// lattice units of the output indices, and the largest |m_i| looked for.
struct ImpModulation {
  std::vector<std::array<double, 3>> Q;
  std::vector<int> MMax;  // one per vector; missing entries count as 1
};

[[nodiscard]] int ReadGeneralText(std::string_view text, const std::string& file,
                                  const GeneralColumns& col, bool on_f, ImpData& d,
                                  ErrorRecord& err);
[[nodiscard]] int ReadGeneral(const std::string& file, const GeneralColumns& col, bool on_f,
                              ImpData& d, ErrorRecord& err);

// Real indices hr (3) of one reflection: h' = T hr (T 3x3 row-major, empty
// for none), then h' = h + sum_i m_i q_i with integer h and |m_i| <= MMax_i.
// Of all m in that box the one whose h is closest to integers is taken (ties:
// the smaller sum |m_i|); hout receives h (3) followed by m (one per vector).
// Returns 1 when even the best candidate lies farther than kRealIndTol from
// integers or outside the index range. resid (optional) gets the distance.
[[nodiscard]] int drreadreftrrealind(const std::vector<double>& tr, const double* hr,
                                     const ImpModulation& mod, int* hout, double* resid = nullptr);

// Free-format file with real indices: h k l I sigma (columns of col with NDim
// 3). The indices are transformed by tr and resolved through mod
// (drreadreftrrealind); d.NDim = 3 + number of vectors.
[[nodiscard]] int ReadRealIndicesText(std::string_view text, const std::string& file,
                                      const GeneralColumns& col, bool on_f,
                                      const std::vector<double>& tr, const ImpModulation& mod,
                                      ImpData& d, ErrorRecord& err);

// Reader of the table: data on F for "General file on F"; real indices when
// the options ask for them.
[[nodiscard]] int ImpReadGeneral(const ImpRequest& req, ImpData& d, ErrorRecord& err);

inline constexpr ImpFormatEntry kImpFmtGeneralF{
    ImpGeneralF, "&General file on F", "*.hkl", nullptr, &ImpReadGeneral, false, true};
inline constexpr ImpFormatEntry kImpFmtGeneralI{
    ImpGeneralI, "General file on &I", "*.hkl;*.int", nullptr, &ImpReadGeneral, false, true};

}  // namespace tarn
