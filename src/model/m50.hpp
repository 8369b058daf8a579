#pragma once
// Reader and writer of the basic-data file M50: a version line, keyword
// records (one keyword and its values per line), "end", a separator line of
// asterisks and the command blocks of the tools. The record layouts are
// described in docs/file-formats-m50.md.
#include <string>
#include <string_view>
#include <vector>

#include "model/basic.hpp"
#include "util/error.hpp"

namespace tarn {

// Number of entries of the M50 keyword table.
inline constexpr int NM50Keys = 79;
// Keyword table, 1-based index = position; "formtab" occurs twice (17 phase,
// 72 atom type). Compared ignoring case.
extern const std::string_view M50Keys[NM50Keys + 1];

enum M50Mode : int { M50Read = 0, M50Write = 1 };

// Messages of this module.
inline constexpr std::string_view MsgM50UnexpectedEnd = "Unexpected end of M50 file.";
inline constexpr std::string_view MsgM50FirstNotIdentity =
    "The first space group operator is not identity. Please contact authors.";
inline constexpr std::string_view MsgM50ReadError =
    "Read error in M50 file: a number was expected.";
inline constexpr std::string_view MsgM50BadValue = "Value out of range in M50 file.";
inline constexpr std::string_view MsgM50BadLattice = "Unknown centring symbol in M50 file.";
inline constexpr std::string_view MsgM50Cannot = "The M50 file cannot be opened.";
inline constexpr std::string_view MsgM50CannotWrite = "The M50 file cannot be written.";
inline constexpr std::string_view MsgM50SymmSyntax =
    "A syntactic error in the following symmetry operator.";
inline constexpr std::string_view MsgM50NotCompleted =
    "The basic data of the M50 file could not be completed.";

// iom50: "input/output of M50", the basic data of the open structure.
// Reads (mode M50Read) or writes (M50Write) the whole file `file`.
// Reading replaces `Basic` only when the whole file was read and completed by
// SetBasicM50; the command blocks, completed by the empty default blocks, are
// copied to the ".l51" file beside it and the phase names handed to the
// command-block module (KeyPhases).
// Writing produces the file from `Basic` and the command blocks of the ".l51"
// file (or Basic.CommandText when there is none), through a temporary name.
// Returns 0 or 1; faults are reported through the report sink and kept in err
// when given (File, Line, What = the offending line, Message).
[[nodiscard]] int iom50(int mode, const std::string& file, ErrorRecord* err = nullptr);

// The parser and the formatter behind iom50, without files or messages.
// ReadM50Text fills `out` from `text` (`file` names it in err) and returns 0
// or 1; `out` is only assigned on success. SetBasicM50 is not run.
[[nodiscard]] int ReadM50Text(std::string_view text, const std::string& file, BasicData& out,
                              ErrorRecord* err = nullptr);
std::string WriteM50Text(const BasicData& b);

// The ".l51" name of an M50 file: extension replaced (or appended).
std::string M50CommandFileName(const std::string& m50file);

// Reading cursor over the lines of an M50 text, used for records whose values
// run over several lines.
struct M50Cursor {
  std::vector<std::string_view> Lines;  // the file's lines, CR removed
  size_t Line = 0;                      // current line, 0-based
  std::vector<std::string> Pending;     // number words not yet taken from the current line
};

// Splits a line of numbers into words; a "-" glued to a previous number starts
// a new number ("1.2-3.4" gives "1.2" and "-3.4"; exponents stay whole).
std::vector<std::string> SplitM50Numbers(std::string_view line);

// ReadFFFromM50: "read form factors", n reals running over several lines.
// Reads n reals, first from cur.Pending, then from the following lines
// (comment and blank lines skipped). A negative n sets values[0] = 0 and reads
// |n| values into values[1..|n|]. Returns 0, or 1 with err filled (line,
// text and message; no file name) on a bad number or the end of the data.
[[nodiscard]] int ReadFFFromM50(M50Cursor& cur, std::vector<double>& values, int n,
                                ErrorRecord& err);

// Summary for the main window, from a quick scan of the file.
struct M50Info {
  std::vector<std::string> PhaseNames;     // one per "phase" record (empty when none)
  int NDatBlock = 0;                       // data blocks ("lambda" records)
  int NDim = 3;                            // of the first phase
  std::string SpGroup;                     // of the first phase
  double Cell[6] = {1, 1, 1, 90, 90, 90};  // of the first phase
};
// InforM50: "information from M50", a quick summary of the file.
// Returns 0, or 1 when the file cannot be read (no message).
[[nodiscard]] int InforM50(const std::string& file, M50Info& info);

// ---- scattering factors from the program's tables ----------------------------
// EM50ReadOneFormFactor, EM50ReadAllFormFactors: scattering factors of types from the tables.
// Fills FFBasic (X-ray, per the phase's radiation needs), FFEl, FNeutron, FFMag,
// AtWeight of atom type `it` (0-based) of phase `p` where the file left them
// empty. Returns 0 or 1 when the type is not in the tables.
[[nodiscard]] int EM50ReadOneFormFactor(BasicData& b, int p, int it);
// EM50ReadOneFormFactor for every atom type of every phase.
[[nodiscard]] int EM50ReadAllFormFactors(BasicData& b);
// SetFormF: "set form factors" of the types that are not user-given.
// Sets the form factors of all types that are not user-given (FFFree != 1).
[[nodiscard]] int SetFormF(BasicData& b);

}  // namespace tarn
