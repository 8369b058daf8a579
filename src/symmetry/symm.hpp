#pragma once
// Symmetry operators of (3+d)-dimensional superspace groups (d = 0..3; an
// ordinary space group is d = 0), with optional time inversion: the per-phase
// operator list and centring vectors, the operator text form, products,
// inverses, group completion and the stored symmetry slots.
//
// Indices are 0-based: operator 0 is the identity, centring vector 0 the zero
// vector.
//
// Layout of a (3+d)-dimensional operator (RM6 row-major, NDim x NDim, stored
// packed: element (i,j) is RM6[i*NDim + j]):
//
//          x1 x2 x3 | x4 .. x(3+d)        translation
//        +----------+-----------+        +-----+
//   x1   |          |           |        |     |
//   x2   |    R     |     0     |        |  t  |
//   x3   |  (3x3)   |  (3 x d)  |        |     |
//        +----------+-----------+        +-----+
//   x4   |    M     |  epsilon  |        |  tI |
//   ..   |  (d x 3) |  (d x d)  |        |     |
//        +----------+-----------+        +-----+
//
// R acts on the real-space coordinates, epsilon on the internal coordinates;
// M holds the integer coefficients coupling the internal coordinates to the
// real-space ones (q.R = epsilon.q + M for the modulation vectors q).
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.hpp"
#include "util/numbers.hpp"

namespace tarn {

constexpr int kMaxNDim = 6;  // 3 + at most 3 modulation vectors

// Tolerances of the symmetry routines.
constexpr double kTolOd0do1 = 0.0001;    // translations this close to 0 or 1 become 0
constexpr double kTolCodeSymm = 0.0001;  // integer/fraction recognition in operator text
constexpr double kTolCentr = 0.0001;     // closure of centring vectors
constexpr double kTolComplete = 0.001;   // rotation parts and translations in completion
constexpr double kTolModCentr = 0.0001;  // translations equal modulo centring
constexpr double kTolSSG = 0.001;        // integer test of q.R - epsilon.q
constexpr int kMaxDenCodeSymm = 25;      // largest denominator written by CodeSymm

// Limits of the operator list.
constexpr int kSymmReallocLimit = 999;  // no enlargement to this many operators or more
constexpr int kSymmHardLimit = 3333;    // completion stops at once at this count
constexpr int kSymmInitAlloc = 48;      // first allocation of the operator arrays
constexpr int kLattVecInitAlloc = 8;    // first allocation of the centring arrays

using Mat6 = std::array<double, kMaxNDim * kMaxNDim>;  // NDim x NDim packed row-major
using Vec6 = std::array<double, kMaxNDim>;             // NDim components, rest 0

// One operator.
struct SymmOp {
  Mat6 RM6{};        // NDim x NDim rotation, packed row-major, integers stored as reals
  Vec6 S6{};         // NDim translation components (fractions of the cell), in [0,1)
  double ZMag = 1.;  // time-inversion sign, +1 or -1 (+1 in non-magnetic phases)
  Mat3 RM{};         // upper-left 3 x 3 block of RM6
  Mat3 RMag{};       // action on axial vectors: det(RM) * ZMag * RM
  std::vector<std::string> Text;  // NDim canonical component texts (CodeSymm)
  std::string Elem;               // element symbol (SmbOp)
};

// Symmetry of one phase.
struct PhaseSymmetry {
  int NDim = 3;            // 3 + number of modulation vectors
  int NSymm = 0;           // operators in use (coset representatives modulo centring)
  int NSymmN = 0;          // second count, grows with NSymm in completion
  int NLattVec = 0;        // centring vectors in use, vector 0 is zero
  int NCSymm = 1;          // 2: each listed (R,t) has an unlisted partner (-R,-t); 1: explicit list
  bool Magnetic = false;   // operators carry a time-inversion sign
  std::vector<SymmOp> Op;  // allocated operators (size >= NSymm)
  std::vector<Vec6> VT6;   // allocated centring vectors (size >= NLattVec), components in [0,1)
  int MaxSymm() const { return static_cast<int>(Op.size()); }
  int MaxLattVec() const { return static_cast<int>(VT6.size()); }
};

// CrlPrimitivePhase: a phase with the identity only ("Crl": routines on the symmetry of a phase).
// Phase with the identity as its only operator and a primitive lattice.
PhaseSymmetry CrlPrimitivePhase(int ndim, bool magnetic = false);

// ---------------------------------------------------------------- messages
// Messages of the symmetry subsystem; all texts live in one table.
enum class SymmMsg : int {
  Syntax,            // "A syntactic error in the following symmetry operator."
  Inconsistent,      // "Inconsistent non-primitive translation found:"
  CheckConsistency,  // "Check them for consistency."
  TooManyOps,        // "The number of generated symmetry operators exceeds any reasonable limit."
  MaxCentrHead,      // "The maximal number of"
  MaxCentrTail,      // "centring vectors exceeded."
  SSGNoMatch,        // modulation vector not mapped onto the set by an operator
  SlotEmpty,         // a symmetry slot that holds nothing
  TransSingular,     // a singular basis transformation
  Count
};
const char* SymmMsgText(SymmMsg id);

// Shows a message of the symmetry routines through the report sink
// (util/report.hpp) and, when err is given, keeps it there (Message = header,
// Detail = lines). Returns 1, the error flag.
int SymmFail(ErrorRecord* err, const std::string& header, std::vector<std::string> lines = {});

// ---------------------------------------------------------------- elementary
// eqrv: "equal real vectors", componentwise comparison within a tolerance.
// True when |a[i]-b[i]| < tol for every i < n (an empty vector is equal).
bool eqrv(const double* a, const double* b, int n, double tol);

// od0do1: "from 0 to 1", fractional parts of the components.
// Each component reduced to [0,1); values below 0.0001 or above 0.9999 become 0.
void od0do1(double* v, int n);

// R = R1.R2, t = t1 + R1.t2 for n x n packed row-major matrices (translation
// not normalised). Outputs may alias neither input.
void MultSymmOp(const double* r1, const double* t1, const double* r2, const double* t2, int n,
                double* r, double* t);
// InvSymmOp: the inverse of an operator.
// R^-1 and t' = -R^-1.t; returns 1 (outputs untouched) when R is singular.
[[nodiscard]] int InvSymmOp(const double* r, const double* t, int n, double* ri, double* ti);

// Upper-left 3 x 3 block of an n x n packed matrix.
Mat3 MatBlock3(const double* rm6, int n);

// CrlMakeRMag: the action of an operator on axial (magnetic) vectors.
// RMag = det(RM) * ZMag * RM.
Mat3 CrlMakeRMag(const Mat3& rm, double zmag);

// CrlNormCentr: a translation normalised modulo the centring vectors.
// The representative of t modulo the centring vectors: the lexicographically
// smallest od0do1-normalised t + c (components within 0.0001 taken as equal).
void CrlNormCentr(double* t, int n, const std::vector<Vec6>& vt6, int nLattVec);
// CrlEqModCentr: equality of translations modulo centring.
// True when t1 and t2 differ by a centring vector plus a lattice vector, within tol.
bool CrlEqModCentr(const double* t1, const double* t2, int n, const std::vector<Vec6>& vt6,
                   int nLattVec, double tol = kTolModCentr);

// indext: "index of a tensor" component (i,j) in the 6-component order.
// Tensor component index of (i,j), 0-based: 0..2 diagonal, 3 (0,1), 4 (0,2), 5 (1,2).
int indext(int i, int j);
// srotb: "rotation of betas", the 6 x 6 map of the symmetric-tensor components.
// 6 x 6 row-major matrix mapping the components (11,22,33,12,13,23) of a
// symmetric second-rank tensor under RM.
std::array<double, 36> srotb(const Mat3& rm);

// SmbOp: the symmetry-element symbol of an operator.
// Element symbol of an operator: 1, -1, 2, 3+, 3-, 4+, -4-, 6+, m, screw axes
// written plainly (21, 31, 32, 41, 42, 43, 61..65), glide planes a, b, c, n,
// d, e (e needs the centring vectors), g for other glides. For NDim > 3 the
// internal intrinsic translations follow in parentheses: 0, s (1/2), t (1/3),
// q (1/4), h (1/6), e.g. "m(s)".
std::string SmbOp(const double* rm6, const double* s6, int ndim,
                  const std::vector<Vec6>* vt6 = nullptr, int nLattVec = 0);

// ---------------------------------------------------------------- text form
// Reads one operator line of a phase of dimension ndim. Fills op (RM6, S6
// normalised, ZMag, RM, RMag, canonical Text, Elem). On failure shows the
// syntax message with the line (kept in err when given) and returns 1; op is
// then unchanged.
[[nodiscard]] int ReadSymm(std::string_view line, int ndim, bool magnetic, SymmOp& op,
                           ErrorRecord* err = nullptr);

// CodeSymm: the text of an operator, one component per row.
// Canonical text of each row of (rm6, s6). mode 1 writes x1..x6 even when
// ndim is 3; otherwise x, y, z are used for ndim 3.
std::vector<std::string> CodeSymm(const double* rm6, const double* s6, int ndim, int mode = 0);

// EqStringToIntMatrix: a basis-change text ("a+b,-a+b,c") as an integer matrix.
// Parses "a+b,-a+b,c" against the symbols (longest match first) into a square
// integer matrix, rows = expressions; a text without commas holds one symbol
// (optionally signed) per row. Returns 1 on any syntax fault.
[[nodiscard]] int EqStringToIntMatrix(std::string_view text,
                                      const std::vector<std::string>& symbols,
                                      std::vector<int>& mat);

// TrMat2String: a 3 x 3 transformation matrix as text.
// "(1,0,0 | 0,1,0 | 0,0,1)" with elements written by ToFract.
std::string TrMat2String(const Mat3& m);

// ---------------------------------------------------------------- groups
// ReallocSymm: enlarges the operator and centring arrays of a phase.
// Grows the arrays to hold at least nSymm operators and nLattVec centring
// vectors, keeping the contents.
void ReallocSymm(PhaseSymmetry& ps, int nSymm, int nLattVec);

// CrlSetOp, CrlAddOp, CrlAddCentr: set or append one operator or centring vector.
// Sets operator i from (rm6, s6, zmag): fills RM, RMag, Text and Elem.
void CrlSetOp(PhaseSymmetry& ps, int i, const double* rm6, const double* s6, double zmag);
// Appends an operator (ReallocSymm as needed); NSymm and NSymmN grow.
void CrlAddOp(PhaseSymmetry& ps, const double* rm6, const double* s6, double zmag);
// Appends a centring vector (normalised); NLattVec grows.
void CrlAddCentr(PhaseSymmetry& ps, const double* v);

// EM50CompleteCentr: closes the centring vectors under addition.
// Closes the centring vectors under addition. checkOnly: only set
// incomplete (1) when a sum is missing. Returns 1 when the list would exceed
// maxLattVec (count restored, message shown).
[[nodiscard]] int EM50CompleteCentr(bool checkOnly, std::vector<Vec6>& vt6, int& nLattVec,
                                    int maxLattVec, int ndim, int& incomplete,
                                    ErrorRecord* err = nullptr);
[[nodiscard]] int EM50CompleteCentr(bool checkOnly, PhaseSymmetry& ps, int& incomplete,
                                    ErrorRecord* err = nullptr);

// CompleteSymm: closes the operator list into a group.
// Closes the operator list into a group; 0 on success, 1 with the message
// shown (and kept in err) on an inconsistent translation or too many
// operators; 1 without a message when the hard limit of operators is reached.
[[nodiscard]] int CompleteSymm(PhaseSymmetry& ps, ErrorRecord* err = nullptr);

// CrlExpandCentroSym: writes out the partners (-R,-t) of a centrosymmetric list.
// Adds the partner (-R,-t) of every operator when NCSymm is 2; then NCSymm = 1.
// The caller recomputes the metric and derived symmetry data afterwards.
void CrlExpandCentroSym(PhaseSymmetry& ps);
// The same over all phases; returns the largest NSymm.
int CrlExpandCentroSym(std::vector<PhaseSymmetry>& phases);

// CrlOrderMagSymmetry: operators without time inversion first.
// Stable reorder: operators without time inversion first (identity stays first).
void CrlOrderMagSymmetry(PhaseSymmetry& ps);

// CrlCompleteSSGSymm: the superspace rows of the operators from the modulation vectors.
// Builds the internal rows of RM6 from the 3-dimensional parts for the
// modulation vectors q (d = q.size() rows of 3 reals, reciprocal-lattice
// units). NDim becomes 3 + d; internal translations are kept when NDim was
// already 3 + d, else 0. Returns 1 (phase unchanged) when some q.R is not a
// signed combination of the q plus an integer vector.
[[nodiscard]] int CrlCompleteSSGSymm(PhaseSymmetry& ps, const std::vector<std::array<double, 3>>& q,
                                     ErrorRecord* err = nullptr);

// CrlTransSymmetry: the symmetry of a phase in new coordinates.
// Transforms the phase to new coordinates x' = T.x + shift (T NDim x NDim
// packed row-major): R' = T.R.T^-1, t' = T.t + shift - R'.shift; centring
// vectors are mapped, the lattice points of the old cell that fall inside the
// new cell are added as centring vectors, and the set is closed. Returns 1
// when T is singular (phase unchanged).
[[nodiscard]] int CrlTransSymmetry(PhaseSymmetry& ps, const double* tr, const double* shift,
                                   ErrorRecord* err = nullptr);

// ---------------------------------------------------------------- stored sets
struct StoredSymmetry {
  int NDimStore = 3;
  int NSymmStore = 0;
  int NSymmNStore = 0;
  int NLattVecStore = 0;
  int NCSymmStore = 1;  // centrosymmetry count of the stored set
  bool MagneticStore = false;
  std::vector<Mat6> RM6Store;     // NSymmStore rotation parts
  std::vector<Mat3> RMStore;      // NSymmStore 3 x 3 blocks
  std::vector<Vec6> S6Store;      // NSymmStore translations
  std::vector<Vec6> VT6Store;     // NLattVecStore centring vectors
  std::vector<double> ZMagStore;  // NSymmStore time-inversion signs
};

// Numbered slots (0-based) of stored symmetry sets; the caller owns them.
struct SymmSlots {
  std::vector<std::optional<StoredSymmetry>> Slot;
};

// CrlStoreSymmetry[Explicite], CrlRestoreSymmetry[Explicite]: a phase (set) to or from a slot.
// Store: a copy of the phase's symmetry (or of a set) into a slot. Restore:
// the slot back into a phase (or a set); 1 with a message for an empty slot.
void CrlStoreSymmetry(SymmSlots& slots, const PhaseSymmetry& ps, int slot);
void CrlStoreSymmetryExplicite(SymmSlots& slots, int slot, const StoredSymmetry& set);
[[nodiscard]] int CrlRestoreSymmetry(const SymmSlots& slots, PhaseSymmetry& ps, int slot);
[[nodiscard]] int CrlRestoreSymmetryExplicite(const SymmSlots& slots, int slot,
                                              StoredSymmetry& set);
// CrlCleanOneSymmetry, CrlCleanSymmetry: empty one slot, all slots.
// Empties one slot / all slots.
void CrlCleanOneSymmetry(SymmSlots& slots, int slot);
void CrlCleanSymmetry(SymmSlots& slots);

// CrlCompleteSymmetry: takes the stored translations of matching rotations.
// For every operator of ps whose rotation matches an operator of the slot,
// takes the stored rotation and translation. Returns 1 for an empty slot.
[[nodiscard]] int CrlCompleteSymmetry(const SymmSlots& slots, PhaseSymmetry& ps, int slot);

// CrlCompare[Tr3]Symmetry, CrlCompRefExtSymmetry, CrlCompTwinSymmetry: compare two slots.
// Comparisons of two slots; false when either is empty.
// Same NDim, centring and operators in any order (translations modulo centring).
bool CrlCompareSymmetry(const SymmSlots& slots, int slot1, int slot2);
// As above, comparing only the 3-dimensional parts of the translations.
bool CrlCompareTr3Symmetry(const SymmSlots& slots, int slot1, int slot2);
// Every operator of the reference slot is present in the extended slot.
bool CrlCompRefExtSymmetry(const SymmSlots& slots, int slotRef, int slotExt);
// The same set of 3 x 3 rotation parts (the twin domains of the point group).
bool CrlCompTwinSymmetry(const SymmSlots& slots, int slot1, int slot2);

}  // namespace tarn
