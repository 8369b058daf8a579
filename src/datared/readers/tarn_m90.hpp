#pragma once
// An existing refinement reflection file M90 as input: its header is read,
// the reflections of the data block named block (empty: the first block)
// become the data set, with the block's wavelength; NDim is that of the
// structure's basic data (M90 does not hold it). Reflections without a
// positive sigma are skipped with a note.
#include <string>

#include "datared/readers/reader.hpp"

namespace tarn {

[[nodiscard]] int DRBasicTarnM90(const std::string& file, const std::string& block, ImpData& d,
                                 ErrorRecord& err);

// Reader of the table: the block named by the options (M90Block).
[[nodiscard]] int ImpReadTarnM90(const ImpRequest& req, ImpData& d, ErrorRecord& err);

inline constexpr ImpFormatEntry kImpFmtTarnM90{ImpTarnM90, "&Tarn-M90", "*.m90", nullptr,
                                               &ImpReadTarnM90};

}  // namespace tarn
