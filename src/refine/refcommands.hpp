#pragma once
// The refinement command block: the "refine" block of M50 with its 140-slot
// keyword table, the refinement settings (`RefSettings`) filled from it, the
// parsed sub-command lists and the writer of the block. A run owns its
// settings value and passes it on; nothing here is program-wide.
//
// Table layout (positions are 1-based keyword numbers):
//   1 .. 60    integer keywords (print, weight, cycles, ...)
//   61 .. 100  real keywords, single precision (badref, refexcl, ...)
//   101 .. 120 special keywords with their own argument text (omdif, ... randomize)
//   121 .. 140 sub-commands (restric, equation, ... grphases)
// Unused positions hold "#" placeholders so that later positions stay fixed.
//
// Settings vector: three copies of the 60 integers and 40 reals: the defaults
// (`Dflt`), the values being edited (`Edit`) and the values in force for the
// run (`Run`). Readers of the other refinement parts use `Run` (and the parsed
// lists).
//
// Atom names in sub-commands may carry a symmetry part after "#":
//   name#s<op>[c<centring>][t<t1>,<t2>,...]   e.g. "O1#s2t1,0,0"
// with a 1-based operator number, an optional 1-based centring-vector number
// and an optional translation of one to six numbers (fractions allowed, "1/2").
#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/keys.hpp"

namespace tarn {

inline constexpr int RefNInt = 60;
inline constexpr int RefNReal = 40;
inline constexpr int RefNSpecial = 40;
inline constexpr int RefNKeys = RefNInt + RefNReal + RefNSpecial;  // 140
inline constexpr int RefFirstSpecial = RefNInt + RefNReal + 1;     // 101
inline constexpr int RefFirstSub = 121;                            // first sub-command

// Keyword positions in use.
enum RefKw : int {
  RkPrint = 1,
  RkWeight,
  RkCycles,
  RkLsMethod,
  RkFSquare,
  RkOnlyMag,
  RkLam2Corr,
  RkLam3Corr,
  RkAutKeys,
  RkSelSat,
  RkDerPrint,
  RkShelxW,
  RkSelComp,
  RkSkipBad,
  RkStat,
  RkIndTw,
  RkAutSpec,
  RkRanPr,
  RkMethod,
  RkUseUnobs,
  RkOverlap,
  RkRepeat,
  RkSimul,
  RkNLeBail = 25,
  RkEsdCorr,
  RkAutEln,
  RkConvChck,
  RkConvCycl,
  RkTwDetail,
  RkDoLeBail,
  RkSigMeth,
  RkMMaxTw,
  RkWtSnthl,
  RkCallFour,
  RkKeyDynam,
  RkNcDynam,
  RkFWeakFlag,
  RkSinLim,
  RkWilsonMod,
  RkStUnstab,
  RkBadRef = 61,
  RkRefExcl,
  RkYoMin,
  RkYoMax,
  RkUnstab,
  RkSnlMn,
  RkSnlMx,
  RkDamp,
  RkCorr,
  RkTwMax,
  RkTwDiff,
  RkDiff,
  RkSigLevel,
  RkOverDiff,
  RkConvLim,
  RkTolDynam,
  RkRedDynam,
  RkMarqLam,
  RkUIsoLim,
  RkUnstab2,
  RkOmDif = 101,
  RkThDif,
  RkChiDif,
  RkAbsorb,
  RkDfOfTw,
  RkCheckRan,
  RkSkipFlag,
  RkGrid,
  RkIExt,
  RkITypEx,
  RkIDistr,
  RkRadius,
  RkExtLabel,
  RkDerTest,
  RkRandomize,
  RkRestric = 121,
  RkEquation,
  RkEqAdhoc,
  RkFixed,
  RkDontUse,
  RkScale,
  RkRFactors,
  RkDistFix,
  RkAngleFix,
  RkTorsFix,
  RkMagmFix,
  RkKeep,
  RkUseOnly,
  RkUseDatBl,
  RkLeBailPh,
  RkGrPhases,
  RkAdpFix,    // ADP restraints: "adpfix rigu|delu|simu|isor s.u. items"
  RkPlaneFix,  // planarity: "planefix s.u. atoms; atoms"
  RkChivFix    // chiral volume: "chivfix value s.u. central n1 n2 n3; ..."
};

// The keyword table declaration (140 entries) and a fresh table built from it.
std::span<const KeyDef> RefKeyDefs();
KeyTable RefMakeTable();

// One copy of the settings vector.
struct RefValues {
  std::array<int, RefNInt> Int{};      // keywords 1..60, Int[k-1]
  std::array<float, RefNReal> Real{};  // keywords 61..100, Real[k-61]
  int I(int k) const { return Int[static_cast<size_t>(k - 1)]; }
  float R(int k) const { return Real[static_cast<size_t>(k - RefNInt - 1)]; }
  void SetI(int k, int v) { Int[static_cast<size_t>(k - 1)] = v; }
  void SetR(int k, float v) { Real[static_cast<size_t>(k - RefNInt - 1)] = v; }
  bool operator==(const RefValues&) const = default;
};

// A line of a special keyword or sub-command as it stands in the block.
struct RefCmdLine {
  std::string Text;       // arguments, without the keyword
  bool Disabled = false;  // the line begins with "!": kept, not applied
  bool operator==(const RefCmdLine&) const = default;
};

// ---- parsed sub-commands ---------------------------------------------------------

enum RefFixWhat : int {
  FixAll = 1,
  FixXyz,
  FixU,
  FixMod,
  FixChDen,
  FixPol,
  FixX4,
  FixInd,
  FixValue
};
struct RefFixed {
  int What = FixAll;               // RefFixWhat ("beta" reads as FixU)
  double Value = 0.;               // FixValue: the value the parameters are set to
  std::vector<std::string> Atoms;  // atoms/molecules or, for FixInd/FixValue, parameters
};

// One term coef*name[owner] of an equation; an empty Par is a constant.
struct RefEqTerm {
  double Coef = 1.;
  std::string Par;    // parameter name, e.g. "x", "U11", "ai"
  std::string Owner;  // atom, molecule, phase or data-block name
};
// Dependent = sum of Terms + Const (the dependent's own coefficient divided out).
struct RefEquation {
  RefEqTerm Dep;
  std::vector<RefEqTerm> Terms;
  double Const = 0.;
  bool AdHoc = false;  // from "eqadhoc"
  std::string Text;    // the command text it came from
};

// Occupancy options of a restriction, in the editor's order.
enum RefRestricOcc : int { OccIdentical = 1, OccComplementary, OccKeepSum, OccFree };
struct RefRestric {
  std::vector<std::string> Members;  // atoms and/or molecules
  int Code = 0;                      // the code as written
  int Occ = OccKeepSum;              // RefRestricOcc
  int Group = 1;                     // g: 1 xyz+ADP+mod, 2 ADP+mod, 3 ADP, 4 none
  int Extra = 0;                     // h: magnetic bits / valence populations
};
// Code of a restriction: v = g + 100*h (g 3 written as 2 without modulation),
// then identical -10-v, complementary -v, keep sum v, free v+10.
int RefRestricCode(int occ, int group, int extra, bool modulated);
// The inverse; returns 1 when the code cannot be read.
[[nodiscard]] int RefRestricDecode(int code, int& occ, int& group, int& extra);

enum RefKeepType : int { KeepHydro = 1, KeepGeom, KeepADP, KeepMag };
enum RefKeepSub : int {
  KeepPlane = 1,
  KeepRigid,
  KeepRigidMod,
  KeepTetrahed,
  KeepTriang,
  KeepApical,
  KeepRiding,
  KeepCycloidal
};
struct RefKeep {
  int Type = KeepHydro;                 // RefKeepType
  int Sub = KeepTetrahed;               // RefKeepSub
  std::string Central;                  // hydro: central atom; riding: anchor; cycloidal: the atom
  std::vector<std::string> Neighbours;  // hydro: neighbour atoms
  std::vector<std::string> Atoms;       // hydro: H atoms; geom: members; riding: riding atoms
  int NNeigh = 0, NH = 0;               // hydro: counts as written
  double Value = 0.;                    // hydro: X-H distance (Angstrom); riding: ADP ratio
};

// A linear index expression sum Coef[i]*letter_i of the letters h k l m
// ("n" is the free integer of conditions such as "h+k=2n+1").
inline constexpr int RefHklLetters = 4;
struct RefIndexExpr {
  std::array<int, RefHklLetters> Coef{};
};
// "lhs = mod*n + rem" (Mod > 0) or "|lhs| = rem" (Mod == 0, Abs form).
struct RefHklCond {
  RefIndexExpr Lhs;
  int Mod = 0;
  int Rem = 0;
  bool Any = false;  // empty condition: every reflection of the group
};
struct RefHklSel {
  bool UseOnly = false;                         // dontuse/useonly list: "useonly"
  int ScaleNo = 0;                              // "scale": its scale number
  std::string GroupText, CondText, ExceptText;  // each at most 40 characters
  std::vector<RefIndexExpr> Group;              // one expression per reflection index
  int NLetters = 3;                             // letters the group uses (h k l ...)
  RefHklCond Cond, Except;
  bool HasExcept = false;
};
// True when reflection indices (n of them) belong to the selection's group and
// satisfy its condition and not its except condition.
bool RefHklSelected(const RefHklSel& s, const int* hkl, int n);

// Kinds of restraints: geometry (distfix, anglefix, torsfix), magnetic
// moments (magmfix), displacement parameters (adpfix rigu, delu, simu, isor),
// planarity (planefix) and chiral volume (chivfix); docs/refinement.md.
enum RefRestraintKind : int {
  RestrDist = 1,
  RestrAngle,
  RestrTors,
  RestrMagm,
  RestrRigu,
  RestrDelu,
  RestrSimu,
  RestrIsor,
  RestrFlat,
  RestrChiv
};
// Atoms of one item of each kind (0: four or more).
int RefRestraintItemSize(int kind);
struct RefRestraint {
  int Kind = RestrDist;
  int Target = 1;     // 1 fix to value, 2 keep equal ("="), 3 optimal value ("*")
  double Value = 0.;  // target value (Angstrom, deg, Bohr magnetons) for Target 1
  double Su = 0.;     // s.u. of the restraint
  std::vector<std::vector<std::string>> Items;  // groups of 2, 3, 4 atoms (1 for magmfix)
};

// ---- the settings -------------------------------------------------------------------

inline constexpr int RefRestraintInit = 50;  // initial capacity of each restraint list

// A fresh value holds the defaults (RefDefault).
struct RefSettings {
  RefSettings();
  KeyTable Table;             // the reader's table (values of the last read)
  RefValues Dflt, Edit, Run;  // the three copies of the settings vector
  // Lines of special keywords and sub-commands, index k - RefFirstSpecial,
  // in block order, disabled ones included (the editors and the writer use them).
  std::array<std::vector<RefCmdLine>, RefNSpecial> Lines;
  std::array<std::vector<RefCmdLine>, RefNSpecial> EditLines;  // copy being edited

  // Active sub-commands, parsed, in block order.
  std::vector<RefFixed> Fixed;
  std::vector<RefEquation> Equation;  // "equation" (per-atom forms expanded) and "eqadhoc"
  std::vector<RefRestric> Restric;
  std::vector<RefKeep> Keep;
  std::vector<RefHklSel> ExclHKL;                  // dontuse / useonly
  std::vector<RefHklSel> Scale;                    // scale
  std::vector<RefHklSel> RFactors;                 // rfactors
  std::vector<RefRestraint> Restraint;             // distfix, anglefix, torsfix, magmfix
  int MaxRestraint = RefRestraintInit;             // capacity of Restraint
  std::vector<std::string> UseDatBl;               // data blocks used ("usedatbl"); empty = all
  std::vector<std::string> LeBailPh;               // phases in Le Bail mode
  std::vector<std::vector<std::string>> GrPhases;  // groups of phases
  bool DerTest = false;                            // "dertest": numerical test of the derivatives
  bool Randomize = false;  // "randomize": random shift of the coordinates in cycle 1
  long RandomSeed = 0;     // its seed (0: from the clock)
  double RandomMax = 0.;   // its largest displacement, Angstrom
};
// Growing lists: each grows the list of s to at least n records, keeping those stored.
void ReallocKeepCommands(RefSettings& s, int n);
void ReallocRFactorsCommands(RefSettings& s, int n);
void ReallocScaleCommands(RefSettings& s, int n);
void ReallocExclHKLCommands(RefSettings& s, int n);
void ReallocRestricCommands(RefSettings& s, int n);

// Defaults into all three copies, every list cleared, capacities reset.
void RefDefault(RefSettings& s);

// Reads the "refine" block of fln.m50 (fln.l51 when M50 is absent) into s. A
// missing block leaves the defaults. error = 1 when anything in the block was
// reported.
void RefReadCommands(RefSettings& s, int& error);
// The same from an open unit (tests, other sources).
void RefReadCommandsUnit(KeyUnit& u, RefSettings& s, int& error);
// Parses one sub-command (k = RefFirstSub .. RefNKeys) into the lists of s;
// reports a syntax error with the command's name and returns 1.
[[nodiscard]] int RefParseSubCommand(RefSettings& s, int k, std::string_view args,
                                     KeyUnit* u = nullptr);
// Applies the clamping rules to a settings copy.
void RefClamp(RefValues& v);

// Loads the block into the edited copy (s.Edit, s.EditLines) and the defaults (s.Dflt).
[[nodiscard]] int RefOpenCommands(RefSettings& s);
// The block's lines built from the edited copy: header, keyword values that
// differ from the defaults, special and sub-command lines in table order, end.
std::vector<std::string> RefBlockLines(const RefSettings& s);
// Writes the edited copy as the "refine" block of fln.l51 and fln.m50.
[[nodiscard]] int RefRewriteCommands(const RefSettings& s);
// Writes the active "fixed" commands, one record per class and atom, to
// fln + "_fixed.tmp" (read by SetFixed).
[[nodiscard]] int RefWriteFixedFile(const RefSettings& s);

// Messages of the refinement commands.
namespace refmsg {
inline constexpr std::string_view SymmPart = "The symmetry part isn't correct : ";
inline constexpr std::string_view FixedWrong =
    "Syntax error in the \"fixed\" keyword wrong parameter name : ";
inline constexpr std::string_view FixedOrigin = "Only one atom per phase may fix the origin : ";
inline constexpr std::string_view OwnerMissing = "Atom/Phase/DatBlock name missing.";
inline constexpr std::string_view EqSyntax = "Syntax error in equation : ";
inline constexpr std::string_view EqIndividual =
    "The equation declared for indivudual atoms should have form e.g. x=y, U11=U22.";
inline constexpr std::string_view EqDelimiter = "delimiter \":\" or \"%\" not found";
inline constexpr std::string_view EqTooMany = "number of atoms in equation larger than 10";
inline constexpr int EqMaxAtoms = 10;
inline constexpr std::string_view RestricFlag = "Incorrect restriction flag.";
inline constexpr std::string_view RestricMixed =
    "For the mixed atom/molecule command only occupancies can be restriced.";
inline constexpr std::string_view KeepFewNeigh = "The number of neighbor atoms is too small";
inline constexpr std::string_view KeepNeighLimit = " neighbors atoms exceeds the limit";
inline constexpr std::string_view KeepNeighHLimit = " Neighbor+H atoms exceeds the limit";
inline constexpr std::string_view KeepAnchor = "Wrong anchor string.";
inline constexpr std::string_view KeepType = "Syntax error in the \"keep\" keyword : ";
inline constexpr std::string_view KeepCycMod =
    "Cycloidal condition applicable only for atom with magnetic modulation.";
inline constexpr std::string_view KeepCycSph =
    "Cycloidal condition applicable only for magnetic atom described in spherical coordinates.";
inline constexpr std::string_view NotSamePart = "are not from the same composite part.";
inline constexpr std::string_view NotSameMol = "are not from the same molecule.";
inline constexpr std::string_view NotSamePhase = "are not from the same phase.";
inline constexpr std::string_view HklSyntax =
    "Syntax error in the reflection group or condition : ";
inline constexpr std::string_view HklTooLong =
    "The group or condition is longer than 40 characters : ";
inline constexpr std::string_view RestrSemicolon = " of atoms should be separated by semicolon";
inline constexpr std::string_view RestrSemicolonMissing = "semicolon is missing";
inline constexpr std::string_view AdpFixType =
    "The \"adpfix\" command needs rigu, delu, simu or isor : ";
inline constexpr std::string_view PlaneFew = "A plane needs at least four atoms";
inline constexpr std::string_view BadReal = "incorrect real number";
inline constexpr std::string_view NotMagnetic1 = "is not a";
inline constexpr std::string_view NotMagnetic2 = " magnetic atom.";
inline constexpr std::string_view AtomMissing = "doesn't exist";
inline constexpr std::string_view EmptyCommand = "The command has no arguments : ";
inline constexpr std::string_view Command = "Command : ";
inline constexpr std::string_view Randomize =
    "Warning: the randomize procedure will be applied just once during the first cycle.";
inline constexpr std::string_view WrongNumber = "wrong numerical string";
inline constexpr std::string_view DlgTitle = "Refinement commands";
}  // namespace refmsg

}  // namespace tarn
