#pragma once
// Structure-parameter file M40: reader and writer of the atom model.
//
// Layout (fixed columns, 1-based):
//   parameter line  up to 6 values F9.6 in 1-54, blanks 55-60, one key digit
//                   per value from column 61 (a short last line is padded so
//                   its keys still start in column 61);
//   atom line       A8 name, 3I3 attributes (type, 10*t+d, magnetic), 1X,
//                   4F9.6 (ai, x, y, z), 6X, 3I1 flags, 3I3 wave counts;
//   s.u. block      after the separator line, the uncertainties of all lists
//                   in the order of the values, F9.6 without keys.
// docs/file-formats-m40.md describes the whole file.
#include <string>
#include <string_view>
#include <vector>

#include "model/atoms.hpp"
#include "util/error.hpp"

namespace tarn {

inline constexpr int M40Read = 0;
inline constexpr int M40Write = 1;

// Plain file form or refinement-listing form of the parameter lines.
enum IostForm : int { IostPlain = 0, IostListing = 1 };

inline constexpr int M40KeyColumn = 61;  // 1-based column of the first key digit
// Separator line that introduces the s.u. block (80 characters).
inline constexpr std::string_view M40SuSeparator =
    "--------------------------   s.u. block   --------------------------------------";

// Message lines of an M40 fault for the user: the message, then
// "File "f", line n:" (or the file alone), then the offending line.
std::vector<std::string> M40ErrorLines(const ErrorRecord& e);

// Cursor over the lines of an M40 text, with the error record of the reader
// (Message, File, Line, What = the offending line).
class M40Lines {
 public:
  M40Lines(std::string_view text, std::string fileName);
  bool AtEnd() const { return pos_ >= lines_.size(); }
  size_t Remaining() const { return lines_.size() - pos_; }
  size_t Pos() const { return pos_; }
  void Seek(size_t pos) { pos_ = pos; }
  // Next line (without line end); "" past the end. Sets the current line.
  std::string_view Next();
  int LineNo() const { return cur_; }
  std::string_view Current() const;
  // Records an error at the current line; always returns 1.
  int Fail(const std::string& what);
  // "Unexpected end of M40 file." at the end of the text; returns 1.
  int FailEnd();
  const std::string& FileName() const { return file_; }
  ErrorRecord Err;  // the fault of the last failed read

 private:
  std::vector<std::string_view> lines_;
  size_t pos_ = 0;
  int cur_ = 0;
  std::string file_;
};

// ---- pieces ------------------------------------------------------------
// iost: "input/output of a string" of values with keys; iostSig: of their s.u.
// One list of n values with their keys in parameter lines.
void iost(std::string& out, int n, const double* val, const int* key, int form = IostPlain);
[[nodiscard]] int iost(M40Lines& in, int n, double* val, int* key);
// One list of uncertainties (s.u. block: values only).
void iostSig(std::string& out, int n, const double* sig);
[[nodiscard]] int iostSig(M40Lines& in, int n, double* sig);

// ioat: "input/output of an atom", its atom, displacement and function lines.
// One atom: atom line, displacement line, flag line of the higher kinds,
// function line and further parameter lines. nTypes = number of atom types of
// the atom's phase (0: not known, only positive type numbers are checked).
void ioat(std::string& out, const AtomRec& a, int form = IostPlain);
[[nodiscard]] int ioat(M40Lines& in, AtomRec& a, int nTypes);
// iomol: "input/output of a molecule" body.
// One molecule body: reference point, model atoms, positions. On reading the
// molecule's shape and its counts of atoms and positions come from the head.
void iomol(std::string& out, const MoleculeRec& m, int form = IostPlain);
[[nodiscard]] int iomol(M40Lines& in, MoleculeRec& m, int nTypes);
// ioats, iomols: all atoms / all molecules of a phase.
// All atoms / all molecules of a phase, part by part.
void ioats(std::string& out, const AtomModel& m, int phase, int form = IostPlain);
[[nodiscard]] int ioats(M40Lines& in, AtomModel& m, int phase, int nTypes);
void iomols(std::string& out, const AtomModel& m, int phase, int form = IostPlain);
[[nodiscard]] int iomols(M40Lines& in, AtomModel& m, int phase, int nTypes);

// PutF96: one value in an F9.6 field.
// Writes one value in an F9.6 field; values that do not fit get fewer
// decimals, then an exponent, always 9 characters.
void PutF96(std::string& out, double v);

// ---- whole file ----------------------------------------------------------
// Text form of the model (M40WriteText fails on a model that cannot be
// written faithfully: names, attributes out of their fields, keys above 9,
// values that are not finite).
// A fault is kept in err when given.
[[nodiscard]] int M40ReadText(std::string_view text, const std::string& fileName, AtomModel& m,
                              ErrorRecord* err = nullptr);
[[nodiscard]] int M40WriteText(const AtomModel& m, std::string& out, int form = IostPlain,
                               ErrorRecord* err = nullptr);
// Empty when the model can be written, else the reason.
std::string M40CheckModel(const AtomModel& m);

// iom40only: reads or writes an M40 file into a given model.
// Reads the file into m (replaced only on success) or writes m to the file
// through a temporary name in the same directory. A fault is kept in err
// when given (nothing is shown).
[[nodiscard]] int iom40only(int mode, const std::string& file, AtomModel& m,
                            ErrorRecord* err = nullptr);
// iom40: "input/output of M40", the model of the open structure.
// Reads or writes the model of the open structure. On reading the model is
// replaced only when the whole file was read; SetBasicM40 completes it. A
// fault is shown through the report sink and kept in err when given.
[[nodiscard]] int iom40(int mode, const std::string& file, ErrorRecord* err = nullptr);

}  // namespace tarn
