#pragma once
// XD reflection file: a header line "name F^2 NDAT n" (or "F" for data on F)
// and free-format records of n items, h k l, scale group, value and sigma
// first. The items beyond the sixth are not imported (a remark says so).
#include <string>
#include <string_view>

#include "datared/readers/reader.hpp"

namespace tarn {

[[nodiscard]] int DRBasicRefXDText(std::string_view text, const std::string& file, ImpData& d,
                                   ErrorRecord& err);
[[nodiscard]] int DRBasicRefXD(const std::string& file, ImpData& d, ErrorRecord& err);

[[nodiscard]] int ImpReadXD(const ImpRequest& req, ImpData& d, ErrorRecord& err);

inline constexpr ImpFormatEntry kImpFmtXD{ImpXD, "From &XD file", "*.hkl", nullptr, &ImpReadXD};

}  // namespace tarn
