#pragma once
// Structure model from a CIF: cell with s.u., symmetry operators, atoms with
// type, coordinates, occupancy and displacement parameters (with s.u.),
// composition and Z, wavelength and radiation. Fills `Struct.Basic` and
// `Struct.Model`; WriteImportedStructure (shelx_model.hpp), with default
// refinement settings, writes the files. docs/model-import.md lists the data
// names read.
#include <string>
#include <string_view>
#include <vector>

#include "refine/refcommands.hpp"

#include "util/error.hpp"

namespace tarn {

namespace cifmsg {
inline constexpr std::string_view NoBlock = "The CIF has no data block with atoms.";
inline constexpr std::string_view NoCell = "The CIF gives no complete cell (_cell_length_a ...).";
inline constexpr std::string_view NoAtoms = "The CIF gives no atoms (_atom_site_fract_x ...).";
inline constexpr std::string_view SymbolOnly =
    "The CIF gives no operators and its space-group symbol is not understood:";
inline constexpr std::string_view NoSymmetry =
    "The CIF gives neither symmetry operators nor a space-group symbol.";
inline constexpr std::string_view BadOperator = "A symmetry operator cannot be read.";
inline constexpr std::string_view BadNumber = "Malformed number: a number was expected.";
inline constexpr std::string_view BadType = "The atom type is too long (7 characters at most).";
inline constexpr std::string_view BadName = "The atom label is empty, has blanks or is too long.";
inline constexpr std::string_view DupAtom = "The atom label is used twice.";
inline constexpr std::string_view NoSymmCompletion = "The symmetry operators do not form a group.";
}  // namespace cifmsg

// Reads the first data block that holds atoms (_atom_site_fract_x). On
// success returns 0 with remarks (syntax warnings, skipped items) appended to
// messages; on a fault returns 1 with err filled (CIF syntax problems
// included; the file and the line, or the data block when no line is known:
// shown as err.TextLines()), and leaves Struct and *ref as they were. On
// success *ref (when given) holds the refinement settings to write: the
// defaults, or the refine block of a structure embedded in the CIF.
[[nodiscard]] int ImportCifModel(std::string_view cifText, const std::string& fileName,
                                 std::vector<std::string>& messages, ErrorRecord& err,
                                 RefSettings* ref = nullptr);

}  // namespace tarn
