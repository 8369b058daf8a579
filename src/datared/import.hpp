#pragma once
// Import of one reflection data set into M95: the reading of a file through
// the table of formats (readers/formats.hpp), the conversion of a read data
// set into an M95 reflection block (DRReadRef), the append to M95, the
// completion of the headers and the loading of all M95 blocks into the
// reflection arrays.
//
// Routines returning int return 0 on success; on failure they fill the
// ErrorRecord (ImpErrorText gives the message the tools show) and M95 on
// disk is unchanged. Every file name is an argument.
#include <string>
#include <string_view>
#include <vector>

#include "datared/readers/formats.hpp"
#include "datared/readers/reader.hpp"
#include "model/refl.hpp"

namespace tarn {

// Largest relative difference of the cell lengths, and largest difference of
// the angles (deg), between a file's cell and the structure's cell that the
// import accepts without a warning.
inline constexpr double kImpCellTolLength = 0.01;
inline constexpr double kImpCellTolAngle = 1.;

// What one import tells besides the block it appended.
struct ImpReport {
  int NRef = 0;                       // reflections of the new block
  int Block = 0;                      // number of the new block in M95 (1-based)
  std::vector<std::string> Notes;     // non-fatal remarks of the reader
  std::vector<std::string> Warnings;  // e.g. the file's cell differs from the structure's
};

// Reads the file of the format code into d (the structure's dimension is the
// preferred reading of a SHELX-style file).
[[nodiscard]] int EM9ReadFormat(int code, const std::string& file, const ImpOptions& opt,
                                ImpData& d, ErrorRecord& err);

// h' = T h for integer input indices (T NDim x NDim, row-major); 1 when the
// result is not integral or out of range.
[[nodiscard]] int DRReadRefTrIntInd(const std::vector<double>& tr, int ndim, const int* h,
                                    int* hout);

// The header of the new block from the data set (source file, difcode,
// dimension, wavelength, cell, orientation matrix, twin/direction-cosine flags).
void DRSetBlockFromData(int code, const ImpData& d, const ImpOptions& opt, M95Block& b);
// The M95 records of the data set: serial numbers, indices transformed by
// b.TrMat, I and sigma (data on F converted to I = F^2, sigma(I) = 2|F|sigma(F)
// + sigma(F)^2), batch or twin component, direction cosines, frame.
[[nodiscard]] int DRReadRef(const ImpData& d, const M95Block& b, std::vector<M95Refl>& out,
                            ErrorRecord& err);

// Appends one block to the M95 file (created when absent), written through a
// temporary file and a rename; Refl.M95 then holds the new headers.
[[nodiscard]] int EM9AppendM95(const std::string& m95, const M95Block& b, std::vector<M95Refl> refl,
                               ErrorRecord& err);
// Fills what the headers of M95 leave unset from the basic data and writes the
// header back.
[[nodiscard]] int EM9CompleteM95(const std::string& m95, ErrorRecord& err);

// The warning when a cell read from a file differs from the cell of the
// structure's current phase beyond kImpCellTolLength / kImpCellTolAngle;
// empty when they agree or either is unknown.
std::string ImpCellWarning(const std::string& file, const std::vector<double>& cell);

// The whole import of one file without questions: read, convert, append,
// complete. The settings are those the wizard offers by default.
[[nodiscard]] int EM9ImportFile(int code, const std::string& file, const ImpOptions& opt,
                                const std::string& m95, ImpReport& rep, ErrorRecord& err);
// The import of the batch mode: the format named by its label (without "&",
// case ignored). An unknown label gives a message that lists the labels; a
// format without a reader, or a reflection file that does not exist, is
// refused before anything else is done.
[[nodiscard]] int EM9ImportByLabel(std::string_view label, const std::string& file,
                                   const ImpOptions& opt, const std::string& m95, ImpReport& rep,
                                   ErrorRecord& err);

// Loads every reflection block of M95 into the reflection arrays of Refl
// (indices packed with a Pack fitted to their ranges; theta from the block's
// wavelength and the current phase's cell when both are known, else 0).
[[nodiscard]] int DRSetRefArrays(const std::string& m95, ErrorRecord& err);

}  // namespace tarn
