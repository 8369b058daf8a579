#pragma once
// Readers of the Bruker SAINT integration file (.raw), the single-crystal
// integrated-intensity file of FullProf (.int) and the reflection file of XD
// (.hkl).
//
// Conventions as in readers.hpp: routines returning int return 0 on success;
// on failure the message (file, line, what was expected) is in Imp.LastError
// and the output has not been changed.
#include <string>
#include <string_view>

#include "datared/readers.hpp"

namespace tarn {

// Tolerance for two propagation vectors of a FullProf file to count as the
// same (or opposite) modulation vector, r.l.u. per component.
inline constexpr double kPropVecTol = 1e-5;

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
// least 4); satellite indices beyond the dimension are refused. The intensities carry the Lorentz
// and polarisation corrections but no absorption correction.
[[nodiscard]] int ReadSaintRawText(std::string_view text, const std::string& file, int ndim,
                                   int prefer_ndim, ImpData& d);
[[nodiscard]] int ReadSaintRaw(const std::string& file, int ndim, int prefer_ndim, ImpData& d);

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
[[nodiscard]] int DRBasicFullProfText(std::string_view text, const std::string& file, ImpData& d);
[[nodiscard]] int DRBasicFullProf(const std::string& file, ImpData& d);

// XD reflection file: a header line "name F^2 NDAT n" (or "F" for data on F)
// and free-format records of n items, h k l, scale group, value and sigma
// first. The items beyond the sixth are not imported (a remark says so).
[[nodiscard]] int DRBasicRefXDText(std::string_view text, const std::string& file, ImpData& d);
[[nodiscard]] int DRBasicRefXD(const std::string& file, ImpData& d);

}  // namespace tarn
