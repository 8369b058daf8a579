#pragma once
// Bruker: the SAINT integration file (.raw, .ram), and the entry that reads
// either it or the SHELX-style .hkl by the file's extension.
//
// SAINT .raw: one fixed-column record per reflection, comment lines with "!"
// in column 1. Record (columns 1-based, for three indices):
//   1-12 h k l (3I4); for modulated data 13-24 m n p (3I4) follow, unused
//   ones zero, and every later column moves by 12;
//   13-20 I, 21-28 sigma(I) (F8, decimals vary, E form for large values);
//   29-32 batch number (I4); 33-80 direction cosines XI XD YI YD ZI ZD
//   (6F8.5); 81-83 status; 84-90, 91-97 observed detector x, y;
//   98-105 observed frame number (F8.2); predicted position, corrections,
//   angles, counts and sort keys in 106-251; 252-255 twin component in the
//   HKLF 5 convention (I4; negative for all but the last record of an
//   overlap), present only in the files of newer versions.
// The records must reach the observed frame number. Three or six index
// fields are recognised from the first record (a decimal point in columns
// 13-20 means three). With six, ndim (3..6) is taken when given, else
// prefer_ndim when it is 3..6 and holds the satellite indices in use, else
// 3 + the last satellite column that is not zero anywhere in the file (at
// least 4); satellite indices beyond the dimension are refused. The
// intensities carry the Lorentz and polarisation corrections but no
// absorption correction.
#include <string>
#include <string_view>

#include "datared/readers/reader.hpp"

namespace tarn {

[[nodiscard]] int ReadSaintRawText(std::string_view text, const std::string& file, int ndim,
                                   int prefer_ndim, ImpData& d, ErrorRecord& err);
[[nodiscard]] int ReadSaintRaw(const std::string& file, int ndim, int prefer_ndim, ImpData& d,
                               ErrorRecord& err);

// Reader of the table: SAINT for "Bruker-CCD (raw)" and for .raw/.ram files
// of "Bruker-CCD", SHELX HKLF 4 for the other files of "Bruker-CCD".
[[nodiscard]] int ImpReadBruker(const ImpRequest& req, ImpData& d, ErrorRecord& err);

inline constexpr ImpFormatEntry kImpFmtBrukerCCD{
    ImpBrukerCCD, "&Bruker-CCD", "*.hkl;*.hk6;*.raw;*.ram", nullptr, &ImpReadBruker};
inline constexpr ImpFormatEntry kImpFmtBrukerCCDRaw{ImpBrukerCCDRaw, "Br&uker-CCD (raw)",
                                                    "*.raw;*.ram", nullptr, &ImpReadBruker};

}  // namespace tarn
