#pragma once
// Space-group symbols: the table of the 230 types in their settings
// (spgroup.dat) with the alias table (spgroup_alias.dat), symbol -> operators
// and operators -> symbol with origin shift, and the reflection conditions of
// a group.
//
// A setting is generated from its Hall symbol: a lattice letter and up to four
// generator matrices written as rotation order, axis and translation letters
// (International Tables for Crystallography, Vol. B, 1.4, Hall's notation),
// optionally followed by a change of origin "(p q r)" in twelfths of the cell.
// The table gives per setting the number, the Hermann-Mauguin symbols and the
// Hall symbol; the operators are always generated, never stored.
//
// Origin shift convention: the operators (R, t') of a structure relate to the
// operators (R, t) of the tabulated setting by t' = t + (R - I) s, where s is
// the position of the structure's origin in the coordinates of the table.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "symmetry/symm.hpp"

namespace tarn {

using Vec3 = std::array<double, 3>;

// One setting of a space-group type.
struct SgEntry {
  int Number = 0;      // space-group type 1..230
  std::string Short;   // short symbol, no blanks, with ":1", ":2", ":H", ":R" where needed
  std::string Full;    // full Hermann-Mauguin symbol with blanks, e.g. "P 1 21/c 1"
  std::string Hall;    // Hall symbol, e.g. "-P 2ybc"
  char Axis = 0;       // unique axis 'a', 'b' or 'c' of a monoclinic setting, else 0
  int Order = 0;       // number of operators including the centring translations
  std::string ToStd;   // coordinates of the reference setting (origin choice 2,
                       // hexagonal axes) as expressions in x, y, z of this one
  uint32_t Check = 0;  // checksum of the operators (SgOpsChecksum) the table was made with
};

struct SgTable {
  std::vector<SgEntry> Entry;                              // in the order of the file
  std::vector<std::pair<std::string, std::string>> Alias;  // alias -> symbol
  // Generated operators of each entry, filled on first use (SgEntryOps).
  mutable std::vector<std::optional<PhaseSymmetry>> Cache;
  mutable std::vector<uint64_t> AbsKey;  // absence fingerprints, 0 until computed
};

// One data row of a table of "|"-separated fields: the fields (trimmed), the
// line number and the line.
struct SgTableRow {
  std::vector<std::string> F;
  int Line = 0;
  std::string Text;
};

// SgReadBarTable: the data rows of a table file of "|"-separated fields (blank
// lines and "#" comments skipped). Returns 1 with err filled when the file
// cannot be read or a row has not nFields fields (`expect` says what was
// expected).
[[nodiscard]] int SgReadBarTable(const std::string& file, size_t nFields, std::string_view expect,
                                 std::vector<SgTableRow>& rows, ErrorRecord* err);

// Reads dir + "spgroup.dat" and dir + "spgroup_alias.dat" (the alias table may
// be absent). Returns 1 with err filled (file, line, what was expected).
[[nodiscard]] int SgTableLoad(const std::string& dir, SgTable& tab, ErrorRecord* err = nullptr);

// Messages of the symbol routines.
namespace sgmsg {
inline constexpr std::string_view BadSymbol = "Incorrect space group symbol.";
inline constexpr std::string_view BadSuperSymbol = "Incorrect superspace group symbol.";
inline constexpr std::string_view NotFoundHead = "The symbol";
inline constexpr std::string_view NotFoundTail = "isn't found on the list.";
inline constexpr std::string_view BadCentring = "The cell centring symbol is not correct.";
inline constexpr std::string_view BadShift = "Origin shift is not acceptable.";
inline constexpr std::string_view NoColon = "Neither colon nor parenthesis section found.";
inline constexpr std::string_view BadQ = "The symbol for modulation vector is incorrrect.";
inline constexpr std::string_view QPointGroup =
    "The symbol for modulation vector isn't consitent with the point group .";
inline constexpr std::string_view MagNonMag =
    "The symbol contains time inversion flags for non-magnetic structure.";
inline constexpr std::string_view MagDecode = "During decoding time inversion flags.";
inline constexpr std::string_view MagBad = "The time inversion flags are inacceptable.";
inline constexpr std::string_view QInconsistent =
    "The modulation vector is inconsistent with the superspace symbol.";
inline constexpr std::string_view CentrPointGroup =
    "The cell centring is not acceptable for the point group.";
inline constexpr std::string_view AddSymbolHead = "Incorrect additional symbol of the";
inline constexpr std::string_view AddSymbolTail = "generator.";
inline constexpr std::string_view WrongLattice = "wrong lattice specification : ";
inline constexpr std::string_view MonoclinicSetting =
    "Select proper setting for monoclinic space group";
inline constexpr std::string_view NoTable = "The space-group table cannot be read:";
}  // namespace sgmsg

// While an SgQuiet lives (in this thread), the symbol routines keep their
// messages in err without showing them: for callers that report the fault in
// their own terms (a file reader).
class SgQuiet {
 public:
  SgQuiet();
  ~SgQuiet();
  SgQuiet(const SgQuiet&) = delete;
  SgQuiet& operator=(const SgQuiet&) = delete;
};

// Normalised search key of a symbol: blanks and "_" removed, lower case.
std::string SgKey(std::string_view symbol);

// Replaces an alias by its symbol from the alias table. For a modulated phase
// (modulated = true) everything from the first "(" on is kept and appended
// to the replaced basic symbol.
std::string SpGroupAlias(const SgTable& tab, std::string_view symbol, bool modulated = false);

// Index of the table entry of a Hermann-Mauguin or Hall symbol (any of the
// spellings: blanks or none, full or short, ":1"/":2"/":H"/":R"), or -1. A
// symbol without origin choice takes the first setting (origin choice 1,
// hexagonal axes). An ambiguous monoclinic short symbol ("P21") takes the
// unique axis from the cell when given (the axis whose angle differs most
// from 90 degrees), else b.
int FindSmbSg(const SgTable& tab, std::string_view symbol, const double* cell = nullptr);

// Centring vectors of a lattice letter (P A B C I R S T F; R obverse on
// hexagonal axes), the zero vector first. Empty for an unknown letter.
std::vector<Vec3> EM50GenCentr(char lattice);

// EM50GenSymOp: one Hall generator ("2ybc", "-4bd", "3*", "2\"") as (R, t).
// prevOrder and prevAxis describe the preceding generator (0 for the first);
// axisOut returns the axis letter used. Returns 1 for a faulty generator.
[[nodiscard]] int EM50GenSymOp(std::string_view gen, int index, int prevOrder, char prevAxis,
                               Mat3& r, Vec3& t, char& axisOut);

// Operators and centring vectors of a Hall symbol (3 dimensions), closed into
// a group. Returns 1 with a message for a faulty symbol.
[[nodiscard]] int SgFromHall(std::string_view hall, PhaseSymmetry& ps, ErrorRecord* err = nullptr);

// What EM50GenSym recognised.
struct SgFound {
  int Entry = -1;      // table entry, -1 for a Hall symbol outside the table
  int Number = 0;      // group number, 0 when unknown
  std::string Symbol;  // short symbol of the entry, or the Hall symbol as given
};

// EM50GenSym: symbol -> operators. Resolves aliases, looks the symbol up in
// the table (or reads it as a Hall symbol), generates the operators and the
// centring vectors, applies the origin shift (3 reals, may be null) and
// completes the group into ps (3 dimensions, non-magnetic). A prime in the
// symbol is refused with the time-inversion message. Returns 1 with the
// message shown (and kept in err) on failure; ps is then unchanged.
[[nodiscard]] int EM50GenSym(const SgTable& tab, std::string_view symbol, const double* cell,
                             const double* shift, PhaseSymmetry& ps, SgFound* found = nullptr,
                             ErrorRecord* err = nullptr);

// Checksum of the full operator set (centring translations included): the sum
// modulo 2^32 of a 32-bit hash (FNV-1a with the MurmurHash3 finaliser) of the
// twelve integers R_m + 1 and 24 t_i of each operator, as written by the
// table's generator.
uint32_t SgOpsChecksum(const PhaseSymmetry& ps);

// An affine map written as three comma-separated expressions in x, y, z
// with rational coefficients ("x-1/4,y,z", "-x/3+2/3*y-z/3,..."). Returns 1
// on a syntax fault.
[[nodiscard]] int SgParseAffine(std::string_view text, Mat3& r, Vec3& t);

// Operators of a table entry (generated once and kept in the table's cache).
const PhaseSymmetry& SgEntryOps(const SgTable& tab, int entry);

// SolveShSg: the origin shift s with t_given = t_table + (R - I) s (modulo the
// lattice and the centring) for pairs of operators with equal rotations,
// searched on the grid of 1/24 of the cell. Returns false when none fits.
bool SolveShSg(const std::vector<Mat3>& r, const std::vector<Vec3>& tTable,
               const std::vector<Vec3>& tGiven, const std::vector<Vec6>& vt6, int nLattVec,
               Vec3& s);

// GetShSg: origin shift that takes the operators of table entry `entry` onto
// those of ps (same rotations and centring required); false when there is none.
bool GetShSg(const SgTable& tab, int entry, const PhaseSymmetry& ps, Vec3& s);

// findsmbsgorgshiftno: "find symbol, origin shift and number" of a set of
// operators in one of the tabulated settings. Fills found and the shift;
// returns 1 when no setting fits (nothing is shown).
[[nodiscard]] int findsmbsgorgshiftno(const SgTable& tab, const PhaseSymmetry& ps, SgFound& found,
                                      Vec3& shift);

// FindSmbSgTr: operators in any tabulated setting -> symbol of the reference
// setting of the type and the transformation x_std = T x + u into it.
// Returns 1 when the operators match no setting.
[[nodiscard]] int FindSmbSgTr(const SgTable& tab, const PhaseSymmetry& ps, SgFound& found, Mat3& tr,
                              Vec3& shift);

// CrlGetReflectionConditions: the reflection conditions of the group, one
// text per condition, e.g. "hkl: h+k=2n", "h0l: l=2n", "00l: l=4n".
// Conditions implied by the others of the same reflection class, or by the
// general conditions, are left out.
std::vector<std::string> CrlGetReflectionConditions(const PhaseSymmetry& ps);

// True when reflection h is systematically absent: some operator (R, t) of
// the group (with the centring translations) has h.R = h and h.t not integer.
bool SgIsAbsent(const PhaseSymmetry& ps, const int h[3]);

}  // namespace tarn
