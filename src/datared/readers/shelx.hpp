#pragma once
// SHELX HKLF 3 / 4 / 5 files: fixed columns (NDim)I4, 2F8.2, I4, optionally
// followed by six direction cosines 6F8.5 (HKLF 4 only). Numbers may touch.
// Reading stops at the line whose indices are all zero (a blank line reads as
// one, as in a Fortran list) or at the end of the text.
#include <string>
#include <string_view>

#include "datared/readers/reader.hpp"

namespace tarn {

// hklf is 3, 4 or 5; ndim 0 lets DRTestNDim decide from the text
// (prefer_ndim, 3..6, is taken when the text allows it). first_line is the
// number of the text's first line in its file (for the embedded text of a CIF).
[[nodiscard]] int ReadShelxHklText(std::string_view text, const std::string& file, int hklf,
                                   int ndim, int prefer_ndim, long first_line, ImpData& d,
                                   ErrorRecord& err);
[[nodiscard]] int ReadShelxHkl(const std::string& file, int hklf, int ndim, int prefer_ndim,
                               ImpData& d, ErrorRecord& err);

// Number of indices of a SHELX-style fixed-column text: the smallest n of
// 3..6 (prefer_ndim first when given) for which the first data lines read
// without error; 0 when none does.
int DRTestNDim(std::string_view text, int prefer_ndim);

// Reader of the table: HKLF 3 for "SHELX on F", 5 for "SHELX HKLF5", else 4.
[[nodiscard]] int ImpReadShelx(const ImpRequest& req, ImpData& d, ErrorRecord& err);

inline constexpr ImpFormatEntry kImpFmtShelxINoAbs{
    ImpShelxINoAbs, "SH&ELX on I - abs.correction needed", "*.hkl", nullptr, &ImpReadShelx};
inline constexpr ImpFormatEntry kImpFmtShelxF{ImpShelxF, "S&HELX on F", "*.hkl", nullptr,
                                              &ImpReadShelx};
inline constexpr ImpFormatEntry kImpFmtShelxI{ImpShelxI, "&SHELX on I", "*.hkl", nullptr,
                                              &ImpReadShelx};
inline constexpr ImpFormatEntry kImpFmtShelxHklf5{ImpShelxHklf5, "SHELX HKL&F5", "*.hkl;*.hk5",
                                                  nullptr, &ImpReadShelx};
inline constexpr ImpFormatEntry kImpFmtCCDBruker{ImpCCDBruker, "CCD Bru&ker", "*.hkl", nullptr,
                                                 &ImpReadShelx};

}  // namespace tarn
