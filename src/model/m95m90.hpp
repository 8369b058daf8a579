#pragma once
// Readers and writers of the reflection files M95 (imported reflections,
// grouped in reflection blocks) and M90 (reflections prepared for refinement,
// grouped in data blocks). Both files hold a header of keyword records for all
// blocks, closed by "end", then per block a line whose first word is "data"
// followed by the block's reflection records. Layouts: docs/file-formats-reflections.md.
//
// Every routine that returns int returns 0 on success; on failure the error
// record (file, line, offending text) is in Refl.LastError and has been shown
// through the report sink, and neither the in-memory data nor the files on disk have changed.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "model/refl.hpp"
#include "model/refl_fmt.hpp"

namespace tarn {

// Reading / writing modes of iom95 and iom90.
inline constexpr int kIoRead = 0;
inline constexpr int kIoWrite = 1;

// Record formats with the NDim digit substituted, as written into "format".
std::string M95RecordFormat(int ndim);
std::string M90RecordFormat(int ndim, bool wide);
// "format" of a powder block of M95: one point a line, position (2theta in
// degrees or time of flight in us) in Geom[0], intensity and its s.u. in I, SigI.
std::string M95PowderFormat();

// iom95, iom90: "input/output" of the headers of the M95 / M90 reflection files.
// Header of the whole file: mode 0 reads all block headers into Refl.M95
// (Refl.M90); a missing file leaves one block with the defaults. Mode 1 writes
// the header from Refl.M95 (Refl.M90) and keeps the reflection part of the
// existing file. Header values that do not convert are skipped with a note in
// Refl.Notes; reading goes on with the next record.
[[nodiscard]] int iom95(int mode, const std::string& file);
[[nodiscard]] int iom90(int mode, const std::string& file);

// SetBasicM95, SetBasicM90: the defaults of one block.
// Defaults of one block.
void SetBasicM95(M95Block& b);
void SetBasicM90(M90Block& b);
// Fill values left unset from the basic data: wavelength, radiation, cell
// (current phase) and the indices per reflection; kdatblock is 1-based.
void CompleteM95(M95Block& b, int kdatblock);
void CompleteM90(M90Block& b, int kdatblock);
// A new M90 data block that describes the data of an M95 reflection block.
void SetBasicM90FromM95(M90Block& b90, const M95Block& b95);
// NastavM90: "set M90", makes a data block exist and current.
// Makes data block k (1-based) of Refl.M90 exist (new blocks get defaults
// completed from the basic data) and makes it the current block.
[[nodiscard]] int NastavM90(int k);

// Open file positioned after the n-th (1-based) "data" line; on failure the
// file is closed.
[[nodiscard]] int OpenRefBlockM95(ReflIn& in, const std::string& file, int n);
[[nodiscard]] int OpenDatBlockM90(ReflIn& in, const std::string& file, int n);

// DRGetReflectionFromM95, ...M90: one reflection record ("DR": data reduction).
// One reflection of the open block. iend becomes 1 at the next "data" line
// (left unread) or at the end of the file; r is changed only on success.
[[nodiscard]] int DRGetReflectionFromM95(ReflIn& in, const M95Block& b, M95Refl& r, int& iend);
[[nodiscard]] int DRGetReflectionFromM90(ReflIn& in, const M90Block& b, M90Refl& r, int& iend);
// DRPutReflectionToM95, ...M90: appends one reflection record.
// Appends one reflection record; fails when a value does not fit its field.
[[nodiscard]] int DRPutReflectionToM95(ReflOut& out, const M95Block& b, const M95Refl& r);
[[nodiscard]] int DRPutReflectionToM90(ReflOut& out, const M90Block& b, const M90Refl& r);

// The header text of all blocks through "end" (used by iom95/iom90 and the
// whole-file writers).
std::string M95HeaderText(const std::vector<M95Block>& blocks);
std::string M90HeaderText(const std::vector<M90Block>& blocks);
// The line that opens the reflections of a block.
std::string DataLine(const std::string& name);

// Whole files. The writers set "nref" of each block to its reflection count,
// and M90 blocks whose intensities do not fit f9.1 get "eformat91" 1. The
// readers fill blocks and refl only on success.
[[nodiscard]] int ReadM95File(const std::string& file, std::vector<M95Block>& blocks,
                              std::vector<std::vector<M95Refl>>& refl);
[[nodiscard]] int WriteM95File(const std::string& file, const std::vector<M95Block>& blocks,
                               const std::vector<std::vector<M95Refl>>& refl);
// The same reading with every record handed to sink(k, block, r) (block k
// 0-based, records in file order) instead of being kept: the caller keeps
// what it needs. A non-zero return of sink stops the reading and is returned;
// blocks are filled only on success.
using M95Sink = std::function<int(size_t k, const M95Block& b, const M95Refl& r)>;
[[nodiscard]] int ReadM95FileTo(const std::string& file, std::vector<M95Block>& blocks,
                                const M95Sink& sink);
// The same writer with the records of block k taken one by one from src(k,
// i, r), i = 0 .. counts[k]-1, in file order, so that no copy of the whole
// list is needed. A non-zero return of src stops the writing, leaves the file
// untouched and is returned (src reports its own message).
using M95Source = std::function<int(size_t k, size_t i, M95Refl& r)>;
[[nodiscard]] int WriteM95FileFrom(const std::string& file, const std::vector<M95Block>& blocks,
                                   const std::vector<size_t>& counts, const M95Source& src);
[[nodiscard]] int ReadM90File(const std::string& file, std::vector<M90Block>& blocks,
                              std::vector<std::vector<M90Refl>>& refl);
[[nodiscard]] int WriteM90File(const std::string& file, const std::vector<M90Block>& blocks,
                               const std::vector<std::vector<M90Refl>>& refl);

// Measurement runs: frame counted from the start of the block -> run and frame
// within the run (runs with a non-positive frame count are skipped), and back.
void FrameToRun(const std::vector<int>& run_frames, long long frame, int& run,
                double& frame_in_run);
long long RunToFrame(const std::vector<int>& run_frames, int run, double frame_in_run);

// True when M90 intensities of this size need the wide record ("eformat91" 1).
bool M90NeedsWideFormat(double i, double sig);

}  // namespace tarn
