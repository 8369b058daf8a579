#pragma once
// What every reader of a reflection file shares: the records and header data
// it fills, the choices it is given, its entry in the table of formats
// (datared/readers/formats.hpp) and the error record it fills on failure.
//
// Every reader returns 0 on success; on failure it fills the ErrorRecord it
// was given (file, line and what was expected; ImpErrorText gives the
// message as the user sees it) and leaves its output unchanged. Nothing is
// written and nothing is shown here: the import tools show the messages.
#include <string>
#include <string_view>
#include <vector>

#include "model/refl.hpp"
#include "util/error.hpp"

namespace tarn {

// Largest |index| accepted from any file: M95 writes indices as i4.
inline constexpr int kImpMaxIndex = 999;
// Lines examined by DRTestNDim when it decides the number of indices.
inline constexpr int kImpNDimTestLines = 200;

// The block's "difcode" written into M95: entry i (1-based) of the
// diffractometer formats is i, entry j of the formats of other programs is
// kImpProgramBase + j (the order of the table in formats.cpp).
inline constexpr int kImpProgramBase = 100;
enum ImpCode : int {
  ImpBrukerCCD = 2,
  ImpBrukerCCDRaw = 3,
  ImpOxfordCCD = 4,
  ImpRigakuCCD = 5,
  ImpIpdsStoe = 6,
  ImpXds = 16,
  ImpShelxINoAbs = 21,
  ImpShelxF = kImpProgramBase + 1,
  ImpShelxI = kImpProgramBase + 2,
  ImpShelxHklf5 = kImpProgramBase + 3,
  ImpIpdsStoeProg = kImpProgramBase + 4,
  ImpCCDBruker = kImpProgramBase + 5,
  ImpCif = kImpProgramBase + 6,
  ImpFullProf = kImpProgramBase + 8,
  ImpXD = kImpProgramBase + 9,
  ImpTarnM90 = kImpProgramBase + 10,
  ImpGeneralF = kImpProgramBase + 11,
  ImpGeneralI = kImpProgramBase + 12,
};

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

// Free-format file of h k l [m ...] I sigma: columns (1-based) of the ndim
// indices, of the value and of its sigma.
struct GeneralColumns {
  int NDim = 3;
  int H[kReflMaxNDim] = {1, 2, 3, 4, 5, 6};  // column of each index
  int I = 4;                                 // column of I (or F)
  int Sig = 5;                               // column of sigma
};

// Choices of the import wizard that the readers and the import need.
struct ImpOptions {
  int NDim = 0;               // indices per reflection; 0 decides from the file (DRTestNDim)
  GeneralColumns Columns;     // general free-format files
  std::vector<double> TrMat;  // NDim x NDim index transformation, row-major; empty none
  // General files with real (non-integer) h k l: TrMat is 3x3, applied to the
  // real indices before they are resolved into main and satellite indices
  // through QVec (3 reals per vector, r.l.u.) with |m_i| <= MMax_i.
  bool RealIndices = false;
  std::vector<double> QVec;
  std::vector<int> MMax;
  std::string Companion;  // Oxford/Rigaku: file with cell and UB (empty: <base>.cif_od)
  std::string M90Block;   // Tarn-M90: name of the data block (empty: the first)
  // Data block of the refinement (1-based index into Basic.DatBlock) the new
  // reflection block belongs to; its radiation completes the block's header.
  // 0: a new data block, numbered after the existing reflection blocks.
  int DatBlock = 0;
};

struct ImpFormatEntry;
// What the reader of a table entry is given.
struct ImpRequest {
  const ImpFormatEntry* Format = nullptr;
  std::string File;    // the reflection file, as chosen by the user
  ImpOptions Opt;      // the wizard's choices (defaults in batch)
  int PreferNDim = 0;  // dimension of the structure's current phase, 0 when none
};
using ImpReadFn = int (*)(const ImpRequest& req, ImpData& d, ErrorRecord& err);

// One entry of the table of formats. "&" marks the accelerator in Label; the
// labels without "&" are what batch files name.
struct ImpFormatEntry {
  int Code = 0;             // ImpCode: the block's difcode
  std::string_view Label;   // as the wizard lists it
  std::string_view Filter;  // file filter of the wizard's file chooser
  // Header data (cell, wavelength, orientation matrix) kept apart from the
  // reflections, read after them into the same data set; nullptr when the
  // record reader takes the file's header itself.
  ImpReadFn Header = nullptr;
  ImpReadFn Records = nullptr;  // nullptr: the format has no reader
  bool AsksCompanion = false;   // the wizard asks for the file with cell and UB
  bool AsksColumns = false;     // free format: the wizard asks for the columns
  bool Readable() const { return Records != nullptr; }
};

// Error records. ImpReadError: a read error at line of file, what = what was
// expected; ImpFail: a whole message (naming the file where it has one).
// Both fill err and return 1.
int ImpReadError(ErrorRecord& err, const std::string& file, long line, std::string what);
int ImpFail(ErrorRecord& err, const std::string& file, std::string message);
// The message of a record as the user sees it: "Read error in the file "f",
// line n: what." for read errors, else the message itself. ImpErrorLines
// gives the same text cut into lines.
std::string ImpErrorText(const ErrorRecord& err);
std::vector<std::string> ImpErrorLines(const ErrorRecord& err);

// Whole text of a reader's input file; on failure err names the file.
[[nodiscard]] int ImpReadText(const std::string& file, std::string& text, ErrorRecord& err);
// Lines of a text without "\n" and a trailing "\r".
std::vector<std::string_view> ImpLines(std::string_view t);

// Walks a text line by line; the views exclude "\n" and a trailing "\r".
// LineNo counts from first_line, the number of the text's first line in its file.
class ImpLineWalker {
 public:
  ImpLineWalker(std::string_view text, long first_line) : t_(text), no_(first_line - 1) {}
  bool Next(std::string_view& line);
  long LineNo() const { return no_; }
  size_t Pos() const { return pos_ < t_.size() ? pos_ : t_.size(); }

 private:
  std::string_view t_;
  size_t pos_ = 0;
  long no_;
};

// A free-format real (whole word, finite).
bool ImpFreeReal(std::string_view s, double& v);

}  // namespace tarn
