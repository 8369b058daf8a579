#pragma once
// Reflections from a CIF or .fcf: the SHELX text field "_shelx_hkl_file" (its
// HKLF code taken from the embedded "_shelx_res_file" when present, else 4),
// otherwise a refln loop with h k l [m1 ...] and F^2, I or F with their
// sigmas. Cell and wavelength of the block are taken when given.
#include <string>
#include <string_view>

#include "datared/readers/reader.hpp"

namespace tarn {

[[nodiscard]] int ReadCifHklText(std::string_view text, const std::string& file, int prefer_ndim,
                                 ImpData& d, ErrorRecord& err);
[[nodiscard]] int ReadCifHkl(const std::string& file, int prefer_ndim, ImpData& d,
                             ErrorRecord& err);

[[nodiscard]] int ImpReadCif(const ImpRequest& req, ImpData& d, ErrorRecord& err);

inline constexpr ImpFormatEntry kImpFmtCif{ImpCif, "From &CIF file", "*.fcf;*.cif", nullptr,
                                           &ImpReadCif};

}  // namespace tarn
