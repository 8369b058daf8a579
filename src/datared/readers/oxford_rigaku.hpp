#pragma once
// Oxford Diffraction and Rigaku CCD data: SHELX-style reflections (HKLF 4,
// or HKLF 5 for ".hklf5") with the header data in a companion file in CIF
// form (".cif_od"): cell, wavelength and the orientation matrix
// _diffrn_orient_matrix_UB_ij.
#include <string>
#include <string_view>

#include "datared/readers/reader.hpp"

namespace tarn {

// The companion's text: the matrix is kept only when the cell it implies
// agrees with the cell of the file (as given, or after division by the
// wavelength, as some programs write it).
[[nodiscard]] int ReadCcdCompanionText(std::string_view text, const std::string& file, ImpData& d,
                                       ErrorRecord& err);
// The companion of hklfile: the file given by companion, or (empty) the file
// of the same base name with the extension ".cif_od" when present. Fills
// cell, wavelength and orientation matrix of d; a missing companion is a note.
[[nodiscard]] int DRBasicKumaCCD(const std::string& hklfile, const std::string& companion,
                                 ImpData& d, ErrorRecord& err);

// Readers of the table: the reflections, then the companion (Opt.Companion).
[[nodiscard]] int ImpReadKumaRecords(const ImpRequest& req, ImpData& d, ErrorRecord& err);
[[nodiscard]] int ImpReadKumaHeader(const ImpRequest& req, ImpData& d, ErrorRecord& err);

inline constexpr ImpFormatEntry kImpFmtOxfordCCD{ImpOxfordCCD,        "&Oxford Diffraction-CCD",
                                                 "*.hkl;*.hklf5",     &ImpReadKumaHeader,
                                                 &ImpReadKumaRecords, true};
inline constexpr ImpFormatEntry kImpFmtRigakuCCD{ImpRigakuCCD,       "Ri&gaku-CCD",       "*.hkl",
                                                 &ImpReadKumaHeader, &ImpReadKumaRecords, true};

}  // namespace tarn
