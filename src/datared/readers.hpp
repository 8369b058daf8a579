#pragma once
// Readers of reflection files of diffractometers and other programs. Each
// reader turns one file (or the text of one) into a list of reflection records
// and whatever header data the format carries; nothing is written here.
//
// Every routine that returns int returns 0 on success; on failure the message
// (file, line, what was expected) is in Imp.LastError and the output has not
// been changed. Messages are not shown here: the import tools show them.
#include <string>
#include <string_view>
#include <vector>

#include "model/refl.hpp"

namespace tarn {

// Largest |index| accepted from any file: M95 writes indices as i4.
inline constexpr int kImpMaxIndex = 999;
// Lines examined by DRTestNDim when it decides the number of indices.
inline constexpr int kImpNDimTestLines = 200;

// One reflection as read from an input file.
struct ImpRefl {
  int H[kReflMaxNDim] = {};  // h, k, l and satellite indices (NDim used)
  double I = 0., SigI = 0.;  // I and sigma(I), or F and sigma(F) for data on F
  int Batch = 0;             // SHELX batch number (0 absent); HKLF 5: signed twin component
  double DirCos[6] = {};     // direction cosines as written by SHELX-style files (-s0 and s1)
  bool HasDirCos = false;    // DirCos given
  double Frame = 0.;         // frame number (XDS ZCAL / ZD), 0 when not given
  int Domain = 0;            // twin domain read from the file (signed as in HKLF 5), 0 none
  long Line = 0;             // line of the record in its file, 1-based
};

// Contents of one input data set.
struct ImpData {
  std::string File;                // file read
  int NDim = 3;                    // indices per reflection, 3..6
  bool OnF = false;                // values are F and sigma(F) (HKLF 3, "General file on F")
  bool Hklf5 = false;              // HKLF 5: Batch is the signed twin component
  std::vector<ImpRefl> Refl;       // reflections in file order
  double Lambda = kUnsetReal;      // wavelength from the file, Angstrom
  std::vector<double> Cell;        // a, b, c (A), alpha, beta, gamma (deg) when given, else empty
  bool HasOrMat = false;           // OrMat known
  double OrMat[9] = {};            // orientation matrix UB, row-major, 1/Angstrom
  std::vector<double> QVec;        // modulation vectors given by the file, 3 reals each (r.l.u.)
  bool NoAbsCorr = false;          // intensities not yet corrected for absorption
  bool TwinDomains = false;        // Domain of the records was read from the file
  std::vector<std::string> Notes;  // non-fatal remarks (records skipped etc.)
};

// State of the import subsystem shared by its routines.
struct ImpState {
  std::string LastError;               // message of the last failure
  std::vector<std::string> LastNotes;  // non-fatal remarks of the last successful import
};
extern ImpState Imp;

// Sets Imp.LastError to the read-error message of file at line and returns 1.
int ImpReadError(const std::string& file, long line, std::string_view what);
// Whole text of a reader's input file; on failure Imp.LastError names the file.
[[nodiscard]] int ImpReadText(const std::string& file, std::string& text);
// Lines of a text without "\n" and a trailing "\r".
std::vector<std::string_view> ImpLines(std::string_view t);

// SHELX HKLF 3 / 4 / 5 files: fixed columns (NDim)I4, 2F8.2, I4, optionally
// followed by six direction cosines 6F8.5 (HKLF 4 only). Numbers may touch.
// Reading stops at the line whose indices are all zero (a blank line reads as
// one, as in a Fortran list) or at the end of the text. hklf is 3, 4 or 5;
// ndim 0 lets DRTestNDim decide from the text (prefer_ndim, 3..6, is taken when
// the text allows it). first_line is the number of the text's first line in
// its file (for the embedded text of a CIF).
[[nodiscard]] int ReadShelxHklText(std::string_view text, const std::string& file, int hklf,
                                   int ndim, int prefer_ndim, long first_line, ImpData& d);
[[nodiscard]] int ReadShelxHkl(const std::string& file, int hklf, int ndim, int prefer_ndim,
                               ImpData& d);

// Number of indices of a SHELX-style fixed-column text: the smallest n of
// 3..6 (prefer_ndim first when given) for which the first data lines read
// without error; 0 when none does.
int DRTestNDim(std::string_view text, int prefer_ndim);

// CIF or .fcf: the SHELX text field "_shelx_hkl_file" (its HKLF code taken
// from the embedded "_shelx_res_file" when present, else 4), otherwise a
// refln loop with h k l [m1 ...] and F^2, I or F with their sigmas.
[[nodiscard]] int ReadCifHklText(std::string_view text, const std::string& file, int prefer_ndim,
                                 ImpData& d);
[[nodiscard]] int ReadCifHkl(const std::string& file, int prefer_ndim, ImpData& d);

// XDS_ASCII.HKL / INTEGRATE.HKL. DRBasicXDS reads the header up to
// "!END_OF_HEADER": wavelength, cell, orientation matrix (from the three axis
// records, presence count 111). ReadXdsText reads header and reflections.
[[nodiscard]] int DRBasicXDS(std::string_view text, const std::string& file, ImpData& d,
                             size_t& data_start, long& data_line);
[[nodiscard]] int ReadXdsText(std::string_view text, const std::string& file, ImpData& d);
[[nodiscard]] int ReadXds(const std::string& file, ImpData& d);

// Free-format file of h k l [m ...] I sigma: columns (1-based) of the ndim
// indices, of the value and of its sigma. Lines starting with "#" or "!" and
// blank lines are skipped.
struct GeneralColumns {
  int NDim = 3;
  int H[kReflMaxNDim] = {1, 2, 3, 4, 5, 6};  // column of each index
  int I = 4;                                 // column of I (or F)
  int Sig = 5;                               // column of sigma
};
[[nodiscard]] int ReadGeneralText(std::string_view text, const std::string& file,
                                  const GeneralColumns& col, bool on_f, ImpData& d);
[[nodiscard]] int ReadGeneral(const std::string& file, const GeneralColumns& col, bool on_f,
                              ImpData& d);

}  // namespace tarn
