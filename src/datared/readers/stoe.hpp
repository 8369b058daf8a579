#pragma once
// Stoe IPDS: the SHELX-style .hkl (HKLF 4) or .hklf5 (HKLF 5) its software
// writes.
#include <string>

#include "datared/readers/reader.hpp"

namespace tarn {

[[nodiscard]] int DRBasicIPStoe(const std::string& file, int ndim, int prefer_ndim, ImpData& d,
                                ErrorRecord& err);

[[nodiscard]] int ImpReadStoe(const ImpRequest& req, ImpData& d, ErrorRecord& err);

inline constexpr ImpFormatEntry kImpFmtIpdsStoe{ImpIpdsStoe, "&IPDS Stoe", "*.hkl;*.hklf5", nullptr,
                                                &ImpReadStoe};
inline constexpr ImpFormatEntry kImpFmtIpdsStoeProg{ImpIpdsStoeProg, "IPDS ST&OE", "*.hkl", nullptr,
                                                    &ImpReadStoe};

}  // namespace tarn
