#pragma once
// More reflection-file readers and the resolution of real (non-integer)
// indices of modulated crystals into main and satellite indices.
//
// Conventions as in readers.hpp: routines returning int return 0 on success;
// on failure the message (file, line, what was expected) is in Imp.LastError
// and the output has not been changed.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "datared/readers.hpp"

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

// Real indices hr (3) of one reflection: h' = T hr (T 3x3 row-major, empty
// for none), then h' = h + sum_i m_i q_i with integer h and |m_i| <= MMax_i.
// Of all m in that box the one whose h is closest to integers is taken (ties:
// the smaller sum |m_i|); hout receives h (3) followed by m (one per vector).
// Returns 1 when even the best candidate lies farther than kRealIndTol from
// integers or outside the index range. resid (optional) gets the distance.
[[nodiscard]] int drreadreftrrealind(const std::vector<double>& tr, const double* hr,
                                     const ImpModulation& mod, int* hout, double* resid = nullptr);

// Free-format file with real indices: h k l I sigma (columns of col with NDim
// 3), comment lines "#"/"!", blank lines skipped. The indices are transformed
// by tr and resolved through mod (drreadreftrrealind); d.NDim = 3 + number of
// vectors.
[[nodiscard]] int ReadRealIndicesText(std::string_view text, const std::string& file,
                                      const GeneralColumns& col, bool on_f,
                                      const std::vector<double>& tr, const ImpModulation& mod,
                                      ImpData& d);
[[nodiscard]] int ReadRealIndices(const std::string& file, const GeneralColumns& col, bool on_f,
                                  const std::vector<double>& tr, const ImpModulation& mod,
                                  ImpData& d);

// An existing refinement reflection file M90 as input: its header is read,
// the reflections of the data block named block (empty: the first block)
// become the data set, with the block's wavelength; NDim is that of the
// structure's basic data (M90 does not hold it).
[[nodiscard]] int DRBasicTarnM90(const std::string& file, const std::string& block, ImpData& d);

// Companion file of a CCD data set in CIF form (".cif_od"): cell, wavelength
// and the orientation matrix _diffrn_orient_matrix_UB_ij. The matrix is kept
// only when the cell it implies agrees with the cell of the file (as given,
// or after division by the wavelength, as some programs write it).
[[nodiscard]] int ReadCcdCompanionText(std::string_view text, const std::string& file, ImpData& d);
// The companion of an Oxford Diffraction / Rigaku .hkl file: the file of the
// same base name with the extension ".cif_od" (when present), or the file
// given by companion. Fills cell, wavelength and orientation matrix of d.
[[nodiscard]] int DRBasicKumaCCD(const std::string& hklfile, const std::string& companion,
                                 ImpData& d);
// Oxford Diffraction and Rigaku: HKLF 4 (or, for ".hklf5", HKLF 5) reflections
// with the companion's header data.
[[nodiscard]] int ReadKumaCCD(const std::string& file, const std::string& companion, int ndim,
                              int prefer_ndim, ImpData& d);
// Stoe IPDS: the SHELX-style .hkl (HKLF 4) or .hklf5 (HKLF 5) its software writes.
[[nodiscard]] int DRBasicIPStoe(const std::string& file, int ndim, int prefer_ndim, ImpData& d);

}  // namespace tarn
