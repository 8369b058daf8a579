#pragma once
// Reader of the CIF 1.1 syntax: data blocks, data items, loops, quoted
// strings, text fields and comments. Save frames are checked for syntax and
// skipped (a CIF data file holds none; dictionaries do). The result is the
// list of data blocks with their items and loops in file order; values are
// kept as text with their line numbers, numbers are converted on demand
// (CifNumber).
//
// Syntax rules applied:
//   - "#" starts a comment where a token could start;
//   - a quoted string opens with ' or " and ends at the same quote followed
//     by a blank or the end of the line (so "O'Neil" inside quotes is fine);
//     it cannot span lines: a quote left open is recovered as a value up to
//     the line end and reported in CifFile::Warnings (published files carry
//     this fault, e.g. an unclosed Hall symbol);
//   - a text field starts with ";" in column 1 and ends at the next line that
//     starts with ";"; its value is the rest of the opening line, then the
//     following lines, joined by "\n";
//   - reserved words (case ignored): data_<name>, loop_, save_<name>, save_,
//     global_, stop_; "global_" and "stop_" are not allowed in a CIF;
//   - every data name takes exactly one value; a loop has at least one name
//     and a number of values that is a multiple of the number of names;
//   - a data name appears at most once in a data block (case ignored);
//   - values may not start with "[", "]", "$" unless quoted (reserved);
//   - control characters other than tab, CR, LF, FF are not allowed.
// A fault is reported as "CIF syntax problem." with the file, the line and
// what was expected.
#include <string>
#include <string_view>
#include <vector>

#include "util/error.hpp"

namespace tarn {

inline constexpr std::string_view MsgCifSyntax = "CIF syntax problem.";

struct CifValue {
  enum Kinds : int { Plain = 0, Quoted = 1, TextField = 2 };
  std::string Text;  // the value without quotes or ";" delimiters
  int Kind = Plain;
  int Line = 0;  // 1-based line of the value's start
  // "?" and "." written without quotes: unknown and inapplicable.
  bool Unknown() const { return Kind == Plain && Text == "?"; }
  bool Inapplicable() const { return Kind == Plain && Text == "."; }
  bool Missing() const { return Unknown() || Inapplicable(); }
};

struct CifItem {
  std::string Name;  // data name with its leading "_", as written
  CifValue Value;
  int Line = 0;
};

struct CifLoop {
  std::vector<std::string> Names;           // data names of the columns
  std::vector<std::vector<CifValue>> Rows;  // one vector of Names.size() values per row
  int Line = 0;                             // line of "loop_"
  // Values after the last complete row (only with CifParseOptions::KeepShortLoops).
  std::vector<CifValue> Trailing;
  // Column of a data name (case ignored), -1 when absent.
  int Column(std::string_view name) const;
};

struct CifBlock {
  std::string Name;  // block code after "data_"
  int Line = 0;
  std::vector<CifItem> Items;  // single items in file order
  std::vector<CifLoop> Loops;  // loops in file order
  int SaveFrames = 0;          // save frames skipped
  // A single item, or the first row of the loop that holds the name; nullptr
  // when the block has neither.
  const CifValue* Find(std::string_view name) const;
  // The loop that holds the name, nullptr when none.
  const CifLoop* FindLoop(std::string_view name) const;
};

struct CifFile {
  std::vector<CifBlock> Blocks;
  // Faults that were recovered (a quote not closed before the line end: the
  // value runs to the line end); the caller shows them as warnings.
  std::vector<ErrorRecord> Warnings;
};

// Relaxations for readers of data files that are CIF-like rather than CIF.
struct CifParseOptions {
  bool ImplicitBlock = false;   // items before the first data_ go to a block named ""
  bool KeepShortLoops = false;  // a loop whose value count is not a multiple of its
                                // names keeps the rest in CifLoop::Trailing
};

// Parses text into out (replaced only on success). Returns 0, or 1 with err
// filled: Title "CIF syntax problem.", File, Line, Message = what was
// expected or found, What = the line's text; TextLines() gives the message
// lines "CIF syntax problem.", "<file>, line <n>: <what>", the text.
[[nodiscard]] int CifParse(std::string_view text, const std::string& fileName, CifFile& out,
                           ErrorRecord& err, const CifParseOptions& opt = {});

// A CIF number with an optional standard uncertainty in parentheses after the
// last digits: "7.719(69)" -> 7.719 and 0.069, "1.5e3(2)" -> 1500 and 200,
// "12(3)" -> 12 and 3, "-0.5" -> -0.5 and 0. Returns false for anything else
// (also "?" and ".").
bool CifNumber(std::string_view s, double& value, double& su);
bool CifNumber(std::string_view s, double& value);

}  // namespace tarn
