#pragma once
// Import of one reflection data set into M95: the two lists of formats of the
// import wizard, the conversion of a read data set into an M95 reflection
// block (DRReadRef), the append to M95, the completion of the headers and the
// loading of all M95 blocks into the reflection arrays.
//
// Routines returning int return 0 on success; on failure the message is in
// Imp.LastError (already shown through FeChybne by the tools that talk to the
// user) and M95 on disk is unchanged.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "datared/readers.hpp"
#include "model/refl.hpp"

namespace tarn {

// One entry of the wizard's lists. "&" marks the accelerator in Label.
struct ImpFormatEntry {
  std::string_view Label;
  std::string_view Filter;
};
inline constexpr int kImpNDiffractometer = 21;
inline constexpr int kImpNProgram = 12;
extern const std::array<ImpFormatEntry, kImpNDiffractometer> ImpDiffractometerList;
extern const std::array<ImpFormatEntry, kImpNProgram> ImpProgramList;

// The block's "difcode": entry i (1-based) of the diffractometer list is i,
// entry j of the program list is kImpProgramBase + j.
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
// Label without "&"; the code of a label (case and "&" ignored), 0 when unknown.
std::string ImpPlainLabel(std::string_view label);
int ImpCodeOfLabel(std::string_view label);
// True when the format of code has a reader.
bool ImpSupported(int code);

// Choices of the wizard that the readers need.
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

// Reads the file of the format code into d.
[[nodiscard]] int EM9ReadFormat(int code, const std::string& file, const ImpOptions& opt,
                                ImpData& d);

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
[[nodiscard]] int DRReadRef(const ImpData& d, const M95Block& b, std::vector<M95Refl>& out);

// Appends one block to the M95 file (created when absent), written through a
// temporary file and a rename; Refl.M95 then holds the new headers.
[[nodiscard]] int EM9AppendM95(const std::string& m95, const M95Block& b,
                               std::vector<M95Refl> refl);
// Fills what the headers of M95 leave unset from the basic data and writes the
// header back.
[[nodiscard]] int EM9CompleteM95(const std::string& m95);

// The whole import of one file without questions: read, convert, append,
// complete. The settings are those the wizard offers by default.
[[nodiscard]] int EM9ImportFile(int code, const std::string& file, const ImpOptions& opt,
                                const std::string& m95);

// Loads every reflection block of M95 into the reflection arrays of Refl
// (indices packed with a Pack fitted to their ranges; theta from the block's
// wavelength and the current phase's cell when both are known, else 0).
[[nodiscard]] int DRSetRefArrays(const std::string& m95);


}  // namespace tarn
