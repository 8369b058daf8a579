#pragma once
// Structure model from a SHELX instruction or result file (.ins/.res).
//
// ImportShelxModel reads the text and fills the program-wide basic data
// (`Basic`), the atom model (`Model`) and the refinement settings (`Ref`)
// without touching any file; WriteImportedStructure then writes M50 (with the
// refinement block) and M40 of a structure. docs/model-import.md lists every
// mapping; the main ones:
//   CELL/ZERR   wavelength, cell and its s.u., Z ("unitsnumb")
//   LATT/SYMM   centring symbol, centre of symmetry, operators (identity first)
//   SFAC/DISP/UNIT  atom types, explicit form factors, f' f", composition / Z
//   atoms       type, x y z ("10 + v" fixed: key 0), occupancy with free
//               variables (ties become "equation" lines), Uiso or U11 U22 U33
//               U23 U13 U12 (converted to beta11 22 33 12 13 23)
//   FVAR        first value: overall scale (Fo = osf Fc)
//   AFIX mn     "keep hydro" where the geometry is tetrahedral, trigonal or
//               apical; negative Uiso: "keep ADP riding"
//   WGHT a b    weight 0, shelxw 1, unstab a/2, unstab2 b, wilsonmod 1, fsquare 1
//   (always)    siglevel 2: observed when Fo > 4 sigma(Fo), SHELX's R1 criterion
//   EXTI, TWIN/BASF, DFIX/DANG/SADI, HKLF n
// Every instruction without a counterpart is listed in `messages`.
#include <string>
#include <string_view>
#include <vector>

#include "refine/refcommands.hpp"
#include "util/error.hpp"

namespace tarn {

// What an import found that has no place in M50/M40.
struct ShelxImportInfo {
  std::string FileName;                   // the file the text came from
  int Hklf = 0;                           // HKLF n (0 when absent): reflection-file format
  std::vector<double> HklfMatrix;         // HKLF transformation r11..r33 when given (9 reals)
  double HklfScale = 1.;                  // HKLF s: factor on Fo^2 and sigma
  std::vector<std::string> NotConverted;  // one line per instruction kind not converted
  std::vector<std::string> Notes;         // other remarks (free hydrogens, Q peaks, ...)
  RefSettings Ref;                        // refinement settings to write (edited copy)
};

// Messages of the SHELX import (the file and line are added in front).
namespace shelxmsg {
inline constexpr std::string_view Unknown = "Unknown SHELX instruction.";
inline constexpr std::string_view BadNumber = "Malformed number: a number was expected.";
inline constexpr std::string_view SfacRange = "SFAC number out of range.";
inline constexpr std::string_view NoCell = "The file has no CELL instruction.";
inline constexpr std::string_view NoSfac = "The file has no SFAC instruction before the atoms.";
inline constexpr std::string_view NoAtoms = "The file contains no atoms.";
inline constexpr std::string_view BadLatt = "LATT: the number must be 1 to 7 or -1 to -7.";
inline constexpr std::string_view BadSymm = "SYMM: the operator cannot be read.";
inline constexpr std::string_view BadUnit = "UNIT: one number per SFAC type was expected.";
inline constexpr std::string_view BadFvar = "The free variable used here is not given by FVAR.";
inline constexpr std::string_view BadAtom =
    "Atom: name, SFAC number, x, y, z, occupancy and 1 or 6 displacement parameters expected.";
inline constexpr std::string_view DupAtom = "The atom name is used twice.";
inline constexpr std::string_view UnknownType = "DISP/SFAC: unknown atom type.";
inline constexpr std::string_view BadTwin =
    "TWIN: nine matrix elements and a domain count expected.";
inline constexpr std::string_view NoSymmetry = "The symmetry operators could not be completed.";
inline constexpr std::string_view CannotWrite = "The structure files cannot be written.";
inline constexpr std::string_view NotConvertedHead = "These SHELX instructions were not converted:";
}  // namespace shelxmsg

// Fills Basic, Model and Ref from the text of an .ins/.res file. fileName is
// used in messages only. On success returns 0 and appends the listing of what
// was not converted to messages (and the same in info when given); on a fault
// returns 1 with err filled (file, line, what was expected, the line's text:
// shown as err.TextLines()) and leaves Basic, Model and Ref unchanged.
[[nodiscard]] int ImportShelxModel(std::string_view resText, const std::string& fileName,
                                   std::vector<std::string>& messages, ErrorRecord& err,
                                   ShelxImportInfo* info = nullptr);

// Writes fln.m50 (basic data and the refinement block of ref's edited copy:
// ShelxImportInfo::Ref of a SHELX import, defaults otherwise), fln.l51 and
// fln.m40 from Struct.Basic and Struct.Model. All files are written to
// temporary names first and renamed only when every one was written, so an
// existing structure of that name stays untouched on any error.
[[nodiscard]] int WriteImportedStructure(const std::string& fln, const RefSettings& ref);

// The lines of an embedded file of a CIF text: the text field that follows
// the data name (e.g. "_shelx_res_file"), without its ";" delimiters. Empty
// when the name or its text field is absent.
std::string ShelxEmbeddedFile(std::string_view cifText, std::string_view dataName);

}  // namespace tarn
