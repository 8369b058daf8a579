#pragma once
// The "dist" command block: its 60-slot keyword table, the values the
// distance tool runs with, the parsed lists of the special keywords, and the
// writer of the block.
//
// Table layout (1-based keyword numbers):
//   1 .. 8    integer keywords (round ... skipsplt), 9 .. 20 placeholders
//   21 .. 29  real keywords (dmin ... hirshlev), 30 .. 40 placeholders
//   41 .. 55  special keywords with their own argument text, 56 .. 60 placeholders
//
// Atom names in the lists are upper-cased and may carry a symmetry part
// "name#s<op>[c<centring>][t<t1>,<t2>,<t3>]" (1-based operator and centring
// numbers, a lattice translation).
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/keys.hpp"

namespace tarn {

inline constexpr int DistNInt = 20;
inline constexpr int DistNReal = 20;
inline constexpr int DistNKeys = 60;
inline constexpr int DistFirstSpecial = DistNInt + DistNReal + 1;  // 41
inline constexpr int DistMaxNeighbours = 30;

enum DistKw : int {
  DkRound = 1,
  DkAngles,
  DkFullCoor,
  DkEach,
  DkInclude,
  DkTTables,
  DkLstType,
  DkSkipSplt,
  DkCovar,  // 1: s.u. through the refinement's covariance matrix when it fits M40
  DkDMin = 21,
  DkDMax,
  DkOccCut,
  DkOccInd,
  DkDHMax,
  DkHAMax,
  DkDHAMin,
  DkExpDMax,
  DkHirshLev,
  DkNOofT = 41,
  DkTZero,
  DkSelect,
  DkTorsion,
  DkPlane,
  DkBondVal,
  DkDirRef,
  DkCenter,
  DkSelFirst,
  DkSelSecnd,
  DkTFirst,
  DkTLast,
  DkIndDist,
  DkIndAngle,
  DkLonePair
};

std::span<const KeyDef> DistKeyDefs();
// A fresh table; `each` defaults to 10 for at most one modulation vector
// (ndimI = NDim - 3), else to 1.
KeyTable DistMakeTable(int ndimI = 0);

// Bond-valence coefficients of a cation-anion pair: s = exp((R0 - d)/B).
struct DistBondValPar {
  std::string Cation, Anion;  // atom-type names, upper case
  double R0 = 0.;             // A
  double B = 0.37;            // A
};

// A special-keyword line as it stands in the block (for writing back).
struct DistCmdLine {
  int K = 0;
  std::string Text;  // arguments
  bool Disabled = false;
};

struct DistCommands {
  KeyTable Table = DistMakeTable();
  // Simple values (copies of the table after reading).
  int Round = 0, Angles = 0, FullCoor = 1, Each = 10, Include = 0, TTables = 0, LstType = 0,
      SkipSplt = 1, Covar = 1;
  double DMin = 0., DMax = -1., OccCut = 0., OccInd = 0.1, DHMax = 1.4, HAMax = 2.5, DHAMin = 110.,
         ExpDMax = 5., HirshLev = 3.;
  // Special keywords.
  std::vector<int> NOofT;
  std::vector<double> TZero, TFirst, TLast;
  std::vector<std::string> Select;    // central atoms ("select" and "selfirst"); empty: all
  std::vector<std::string> SelSecnd;  // neighbour atoms; empty: all
  std::vector<std::vector<std::string>> Torsion, Plane, Center, IndDist, IndAngle, LonePair;
  std::vector<std::string> DirRef;
  std::vector<DistBondValPar> BondVal;
  std::vector<DistCmdLine> Lines;  // special-keyword lines in block order, disabled ones too
};

// Defaults of every value (the block is not read).
void DefaultDist(DistCommands& c, int ndimI);
// Reads the "dist" block of the current phase from the unit into c (after
// DefaultDist). Errors of single keywords are reported through the keyword
// reader and the value stays; returns 1 when some keyword could not be used.
[[nodiscard]] int NactiDist(KeyUnit& u, DistCommands& c, int ndimI);
// The same from command-block text (M50 after its separator).
[[nodiscard]] int DistReadCommands(std::string_view blockText, DistCommands& c, int ndimI);

// The block lines: the header ("dist", with the phase name when the
// structure has several phases), the simple values that differ from their
// defaults, the special lines, "end dist".
std::vector<std::string> DistBlockLines(const DistCommands& c);
// Writes the block back into fln.l51 and M50.
[[nodiscard]] int DistRewriteCommands(const DistCommands& c);

// Atom name matching of "select" lists: "?" one character, "*" any run,
// case ignored.
bool DistNameMatches(std::string_view pattern, std::string_view name);
bool DistSelected(const std::vector<std::string>& patterns, std::string_view name);

}  // namespace tarn
