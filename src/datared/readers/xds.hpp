#pragma once
// XDS_ASCII.HKL / INTEGRATE.HKL. DRBasicXDS reads the header up to
// "!END_OF_HEADER": wavelength, cell, orientation matrix (from the three axis
// records, presence count 111). ReadXdsText reads header and reflections;
// records with a negative sigma (rejected by XDS) are skipped with a note.
#include <string>
#include <string_view>

#include "datared/readers/reader.hpp"

namespace tarn {

[[nodiscard]] int DRBasicXDS(std::string_view text, const std::string& file, ImpData& d,
                             size_t& data_start, long& data_line, ErrorRecord& err);
[[nodiscard]] int ReadXdsText(std::string_view text, const std::string& file, ImpData& d,
                              ErrorRecord& err);
[[nodiscard]] int ReadXds(const std::string& file, ImpData& d, ErrorRecord& err);

[[nodiscard]] int ImpReadXds(const ImpRequest& req, ImpData& d, ErrorRecord& err);

// The record reader takes the header too (it is read in the same pass).
inline constexpr ImpFormatEntry kImpFmtXds{ImpXds, "Hasylab X&DS", "*.hkl", nullptr, &ImpReadXds};

}  // namespace tarn
