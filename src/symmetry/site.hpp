#pragma once
// Site symmetry of points and atoms, and the linear constraints that the site
// symmetry imposes on an atom's refinable parameters.
//
// The routines work on plain arrays (positions, tensor components, wave
// amplitudes) so that the model and the refinement can call them without this
// library knowing the atom model. Indices are 0-based.
//
// Parameter order inside each block (the same as in the structure-parameter
// file):
//   occupancy        ai
//   position         x, y, z (fractional)
//   ADP (order 2)    U11, U22, U33, U12, U13, U23 (one value Uiso when isotropic)
//   tensor order n   the (n+1)(n+2)/2 index tuples i1 <= ... <= in in
//                    lexicographic order: 111, 112, 113, 122, 123, 133, 222, ...
//   magnetic moment  M1, M2, M3 (along the cell axes)
//   wave blocks      per wave the sine amplitudes of the base block, then the
//                    cosine amplitudes
//
// Modulation convention. A modulated parameter vector p of an atom with basic
// position xb is
//   p(xb4) = sum_w  Psin_w sin(2 pi kw.xb4) + Pcos_w cos(2 pi kw.xb4),
// with xb4 (d components) the internal coordinate of the basic position and
// kw the integer vector of wave w over the d modulation vectors. A superspace
// operator g = (R, eps, M, sE, sI) with R.xb + sE = xb + n maps the internal
// coordinate as xb4 -> eps.xb4 + delta, delta = M.xb + sI, and the image of
// the atom is p'(y) = S p(eps^-1 (y - delta)) (S the parameter's own
// transformation). The atom is invariant when p' = p, i.e. when
//   S p(xb4) = p(eps.xb4 + delta)   for every xb4.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "symmetry/symm.hpp"

namespace tarn {

// ---------------------------------------------------------------- tolerances
constexpr double kTolSiteCoupling = 0.0001;   // coupling of internal into real coordinates
constexpr double kTolSiteInternal = 0.00001;  // internal components of a site operator
constexpr double kTolTriangl = 0.001;         // pivot of Triangl and UprSpec
constexpr double kTolSitePivotCol = 0.0001;   // first significant column of a reduced row
constexpr double kTolSpecAt = 0.00001;        // positions equal modulo a lattice vector
constexpr double kTolSubCentr = 0.0001;       // centring vector vanishing in a subsystem
constexpr double kTolSpecEqCoef = 0.00001;    // smallest coefficient written into an equation
constexpr double kUprSpecKeyScale = 100000.;  // integer scale of the column keys of UprSpec
constexpr int kEquationStep = 100;            // growth step of the equation list

// Default distance tolerances (Angstrom) of the callers of SpecPos: atoms read
// from the model are expected on their sites within rounding of the file;
// peaks of a map may lie farther off.
constexpr double kSpecPosTolAtom = 0.01;
constexpr double kSpecPosTolPeak = 0.3;

// ---------------------------------------------------------------- site operators
// One operator of the site group of a point, expressed in the basis in which
// the point was given (a composite subsystem's basis when a W matrix was used).
struct SiteOp {
  int Op = 0;        // operator index in the phase
  int Centr = 0;     // centring vector index
  Mat6 RM6{};        // NDim x NDim rotation part, packed row-major
  Vec6 T{};          // translation S6 + VT6 + lattice vector: R.x + T = x (real part) exactly
                     // at the special position; internal components give delta - M.x
  double ZMag = 1.;  // time-inversion sign
  Mat3 RM{};         // upper-left 3 x 3 block of RM6
  Mat3 RMag{};       // action on axial vectors
};

// The operator (R, t) of the phase in a subsystem basis: R' = W.R.W^-1,
// t' = W.t; w and wi are NDim x NDim row-major (W and W^-1).
void SiteOpToSub(const double* rm6, const double* s6, int ndim, const double* w, const double* wi,
                 double* rm6s, double* s6s);

// SpecPos: "special position", the site symmetry of a point.
// Site symmetry of the point x (NDim reals; the internal components matter
// only when `internal` is set). The operators are taken in the basis of the
// subsystem given by wsub (NDim x NDim row-major, nullptr for the phase
// basis); metric is the 3 x 3 real metric tensor G (Angstrom^2) of that basis.
// Every operator (with every centring vector) that maps the point within tol
// Angstrom onto itself belongs to the site group; the point is moved exactly
// onto the special position. Returns the number of site operators (halved
// when the group contains pure time inversion); the operators themselves go
// to siteOps when given.
int SpecPos(double* x, bool internal, const PhaseSymmetry& ps, const double* metric,
            const double* wsub, double tol, std::vector<SiteOp>* siteOps = nullptr);

// Triangl: "triangulation", row-echelon form by Gaussian elimination.
// Brings rows (nrow x ncol, row-major, the last ncol - nvar columns a
// right-hand side) to row-echelon form by Gaussian elimination with partial
// pivoting over the first nvar columns; columns whose largest remaining
// element is not above tol are skipped. Returns the rank; the non-zero rows
// come first.
int Triangl(std::vector<double>& a, int nrow, int ncol, int nvar, double tol = kTolTriangl);

// ---------------------------------------------------------------- site orders
struct SiteOrder {
  double Order = 1.;      // site-symmetry order
  std::vector<int> Mark;  // per operator: j itself, or -i when operator i < j gives the same site
};

// Composite description of a phase: per subsystem the NDim x NDim row-major
// matrix W (empty list: one subsystem, identity).
using SubsystemMatrices = std::vector<std::vector<double>>;

// SpecAt, SpecAtMol: site orders of atoms / molecule positions.
// Site orders and duplicate marks of the positions (3 real components, on
// their special positions already); sub[i] is the subsystem (0-based) of
// position i (empty: all 0).
void SpecAt(const PhaseSymmetry& ps, const std::vector<std::array<double, 3>>& pos,
            const std::vector<int>& sub, const SubsystemMatrices& wsub,
            std::vector<SiteOrder>& out);
// The same for the positions of molecules.
void SpecAtMol(const PhaseSymmetry& ps, const std::vector<std::array<double, 3>>& pos,
               const std::vector<int>& sub, const SubsystemMatrices& wsub,
               std::vector<SiteOrder>& out);

// ---------------------------------------------------------------- point groups
// Closure of the generator rotations (3 x 3) under multiplication; the
// identity comes first.
std::vector<Mat3> GenPg(const std::vector<Mat3>& gen);
// Point group of a site: the distinct 3 x 3 blocks of the site operators.
std::vector<Mat3> SpecPg(const std::vector<SiteOp>& siteOps);

// ---------------------------------------------------------------- atoms
// Parameter blocks of an atom that carry site-symmetry constraints.
enum SitePar : int {
  SpOcc = 0,
  SpPos,
  SpAdp,
  SpAnh3,
  SpAnh4,
  SpAnh5,
  SpAnh6,
  SpMag,
  SpOccWave,
  SpPosWave,
  SpAdpWave,
  SpAnh3Wave,
  SpAnh4Wave,
  SpAnh5Wave,
  SpAnh6Wave,
  SpMagWave,
  SpCrenel,  // crenel x40, delta
  SpSaw,     // sawtooth ux, uy, uz, x40, delta
  NSitePar
};
// True for the blocks of harmonic (or orthogonal-set) wave amplitudes.
constexpr bool SiteIsWave(int kind) {
  return kind >= SpOccWave && kind <= SpMagWave;
}

// What the site analysis needs to know about one atom (or molecule).
struct SiteAtom {
  std::string Name;           // atom or molecule name
  bool Molecule = false;      // parameters named through the molecule
  std::array<double, 3> X{};  // fractional position
  int Sub = 0;                // subsystem, 0-based
  int AdpOrder = 2;           // 1 isotropic, 2 harmonic, 3..6 with anharmonic tensors
  bool Magnetic = false;      // carries a magnetic moment
  // Waves per modulated block: occupancy, position, ADP, tensors 3..6, moment.
  std::array<int, 8> NWave{};
  // Special functions, along the first internal coordinate x4 (constant along
  // the others when there are several modulation vectors). The occupancy,
  // position and ADP waves use the orthogonal set FunType (1 harmonics orthogonalised
  // to the interval, 2 Legendre, 3 x-harmonics; 0 plain harmonics) on the
  // interval of centre FunX40 and width FunDelta (internal coordinate).
  int FunType = 0;
  double FunX40 = 0., FunDelta = 1.;
  bool Crenel = false;  // crenel occupancy of centre CrenelX40
  double CrenelX40 = 0.;
  bool Saw = false;  // sawtooth displacement of centre SawX40
  double SawX40 = 0.;
};

// Program-independent context of the site analysis of one phase.
struct SiteContext {
  const PhaseSymmetry* Symm = nullptr;
  Mat3 Metric{1, 0, 0, 0, 1, 0, 0, 0, 1};  // real metric tensor G, Angstrom^2
  SubsystemMatrices WSub;                  // per subsystem NDim x NDim, empty: identity
  std::vector<std::array<int, 3>> Kw;      // wave w (0-based) as integers over the d
                                           // modulation vectors; empty: wave w is (w+1) q1
  double Tol = kSpecPosTolAtom;            // SpecPos distance tolerance, Angstrom
};

// Integer vector of wave w (0-based) in the context.
std::array<int, 3> SiteWaveVector(const SiteContext& ctx, int w);

struct SiteInfo {
  int Atom = -1;                 // index in the atom list, -1 when not found
  int Count = 0;                 // number of site operators (SpecPos)
  std::vector<Mat3> PointGroup;  // distinct rotations of the site
  std::vector<SiteOp> Ops;
};
// AtSym, atsymspec: "atom symmetry", the site symmetry of a named atom / parameter.
// Site symmetry of the atom of that name (case ignored).
SiteInfo AtSym(std::string_view name, const std::vector<SiteAtom>& atoms, const SiteContext& ctx);
// The same for a parameter text "name[atom]" or a bare atom name.
SiteInfo atsymspec(std::string_view text, const std::vector<SiteAtom>& atoms,
                   const SiteContext& ctx);

// ---------------------------------------------------------------- tensors
// SRotC: "symmetric rotation, components", the map of a symmetric tensor of order n.
// N x N row-major matrix (N = (n+1)(n+2)/2) mapping the components of a
// symmetric tensor of order n (component order above) under RM:
// T'_{i1..in} = sum R_{i1 j1} ... R_{in jn} T_{j1..jn}.
std::vector<double> SRotC(const Mat3& rm, int n);
// Index tuples of the components of a tensor of order n, in component order.
std::vector<std::vector<int>> TensorIndexTuples(int n);

// ---------------------------------------------------------------- constraints
// Rows of a homogeneous system over npar parameters, row-major.
struct SpecRows {
  int NPar = 0;
  int NRow = 0;
  std::vector<double> A;  // NRow x NPar
};

// AveSpec: "average for special positions", the rows S - I of one operator.
// Appends the rows of S - I (S n x n row-major, n = rows.NPar).
void AveSpec(const double* s, SpecRows& rows);

// ModSpec, ModSpecImage: constraint rows / image of the modulation waves under a site operator.
// Appends, for the site operator op, the rows that make the waves of a
// parameter block invariant: s is the block's own transformation (n x n),
// kw the integer vectors of the atom's waves (d components used), x the basic
// position (3 reals) in the basis of op. rows.NPar must be 2 n kw.size() (per
// wave n sine then n cosine amplitudes). Returns 1 with the message shown
// when the image of a wave is not in the set.
[[nodiscard]] int ModSpec(const double* s, int n, const std::vector<std::array<int, 3>>& kw,
                          const SiteOp& op, int ndim, const double* x, SpecRows& rows);
// The image parameters T(op).p of a wave block (the transformation whose
// fixed points ModSpec selects); 1 when the set is not closed.
[[nodiscard]] int ModSpecImage(const double* s, int n, const std::vector<std::array<int, 3>>& kw,
                               const SiteOp& op, int ndim, const double* x, std::vector<double>& t);

// Reduced system: each row has the coefficient 1 at its pivot column and 0
// at the pivot columns of all other rows.
struct SpecReduced {
  int NPar = 0;
  std::vector<int> Pivot;                // pivot column of each row
  std::vector<std::vector<double>> Row;  // rows of NPar coefficients
};
// UprSpec, UprSpecOrd: "arrange" (reduce) the constraint system to one row per dependent parameter.
// Column key -sum |nint(1e5 a_ij)|, columns in ascending key (ties: the later
// parameter first), Gauss-Jordan elimination with pivot tolerance 0.001.
SpecReduced UprSpec(const SpecRows& rows);
// The same with the columns in reverse natural order (the later parameters
// become dependent), for tensors of higher order and magnetic moments.
SpecReduced UprSpecOrd(const SpecRows& rows);

// One constraint: Dep = Const + sum Coef[i] * Ind[i]. Const is non-zero only
// for positions, where it places the atom on its symmetry element (x = 1/2).
struct SpecEquation {
  std::string Owner;      // atom or molecule name
  bool Molecule = false;  // owner is a molecule
  int Kind = 0;           // SitePar block of all the parameters
  int Dep = 0;            // index of the dependent parameter within the block
  double Const = 0.;      // constant term (positions: the fixed part of the special position)
  std::string DepName;    // "x[Fe1]"
  std::vector<double> Coef;
  std::vector<int> Ind;  // indices of the independent parameters within the block
  std::vector<std::string> IndName;
  std::string Text() const;  // "y[Fe1]=x[Fe1]", "U13[Fe1]=0", "y[Fe1]=0.5-x[Fe1]"
};
struct SpecEquations {
  int NEq = 0;
  std::vector<SpecEquation> Eq;  // allocated size >= NEq
};
// Grows the list to hold at least n equations, in steps of 100, keeping the
// contents.
void ReallocEquations(SpecEquations& eqs, int n);

// Name of parameter i of a block for an atom of the given ADP order (the
// ADP block of an isotropic atom holds "Uiso"); wave blocks append "sin" or
// "cos" and the wave number (1-based): "xsin1", "U11cos2".
std::string SiteParName(int kind, int i, int adpOrder = 2);

// SpecEq, SpecEqOrd, SpecEqM: the equations of a reduced system (tensors, higher tensors, moments).
// Appends the equations of a reduced system of block `kind` of the owner.
void SpecEq(const SpecReduced& red, int kind, const SiteAtom& owner, SpecEquations& eqs);
// The same for systems reduced by UprSpecOrd (tensors of higher order).
void SpecEqOrd(const SpecReduced& red, int kind, const SiteAtom& owner, SpecEquations& eqs);
// The same for the magnetic moment and its waves.
void SpecEqM(const SpecReduced& red, int kind, const SiteAtom& owner, SpecEquations& eqs);

// Number of parameters of block `kind` for the atom.
int SiteParCount(const SiteAtom& at, int kind);

// SiteRows: the constraint rows of one parameter block of an atom.
// The constraint rows of block `kind` for the atom under its site operators.
// Returns 1 (message shown) when a wave set is not closed.
[[nodiscard]] int SiteRows(const SiteAtom& at, int kind, const std::vector<SiteOp>& ops,
                           const SiteContext& ctx, SpecRows& rows);

// AtSpec: "atoms on special positions", the constraint equations of all atoms.
// Builds the constraint equations of all atoms and appends them to eqs.
// Returns 1 (message shown) when the wave set of an atom is not closed or its
// interval functions cannot be invariant (SpecialAxisCheck); the equations of
// the atoms before it stay in the list.
[[nodiscard]] int AtSpec(const std::vector<SiteAtom>& atoms, const SiteContext& ctx,
                         SpecEquations& eqs);

// ---------------------------------------------------------------- special functions
// Orthogonal set of nf functions f_1..f_nf (type 1 Ortho, 2 Legendre, 3 XHarm)
// on the interval of centre x40 and width `width`: the matrix A (nf x nf,
// row-major) with f_j(eps x4 + delta) = sum_i A[j][i] f_i(x4) on the
// interval. Returns 1 when the map does not carry the interval onto itself
// (modulo 1) or the type is unknown.
[[nodiscard]] int OrthoSetImage(int type, int nf, double x40, double width, int eps, double delta,
                                std::vector<double>& a);
// OrthoSpec: constraint rows of the orthogonal-set waves under a site operator.
// Appends, for the site operator op, the rows S a_i = sum_j A_ji a_j of the
// orthogonal-set waves (nw waves, n components, FunType of the atom) on the
// interval of centre `centre`; 1 (no rows) when op does not carry the
// interval onto itself.
[[nodiscard]] int OrthoSpec(const double* s, int n, int nw, const SiteAtom& at, const SiteOp& op,
                            int ndim, double centre, SpecRows& rows);
// Interval centre of the orthogonal set under the site operators: fixed by
// the first operator that reverses x4, else the atom's own.
double OrthoCentre(const SiteAtom& at, const std::vector<SiteOp>& ops, int ndim);
// Centre of an interval mapped onto itself by x4 -> -x4 + delta (2 c = delta
// modulo 1) nearest to x40.
double SiteIntervalCentre(double x40, double delta);
// Centre of an interval of centre x40 under the site operators: fixed by the
// first operator that reverses x4, else x40 itself.
double SiteIntervalCentreOf(double x40, const SiteAtom& at, const std::vector<SiteOp>& ops,
                            int ndim);
// True when op carries the interval of that centre onto itself (x4 kept with
// an integer shift, or reversed about the centre); only such operators
// constrain the modulation of an atom whose occupancy is restricted to the
// interval (crenel or sawtooth): the others place its copy on other x4.
bool SiteOpKeepsInterval(const SiteAtom& at, const SiteOp& op, int ndim, double centre);
// SpecialSpecEq: equations of the crenel and sawtooth blocks.
// Equations of the crenel and sawtooth blocks under the site operators: the
// centre x40 is fixed by an operator reversing x4, the sawtooth amplitude U
// obeys R U = eps U (eps = +-1 the operator's action on x4).
void SpecialSpecEq(const SiteAtom& at, int kind, const std::vector<SiteOp>& ops,
                   const SiteContext& ctx, SpecEquations& eqs);

// Checks that no site operator maps the internal coordinate x4 of the atom's
// interval functions (crenel, sawtooth, orthogonal sets) onto another
// internal coordinate; such functions could not be invariant. Returns 1 with
// the message shown (naming the atom and the operator) when one does.
[[nodiscard]] int SpecialAxisCheck(const SiteAtom& at, const std::vector<SiteOp>& ops, int ndim);

// Messages of the site analysis.
enum class SiteMsg : int {
  WavesNotClosed,
  SelectAnotherSet,
  IntervalNotInvariant,  // + atom name in double quotes
  IntervalOperator,      // + operator text in double quotes + IntervalAxisMapped
  IntervalAxisMapped,
  IntervalUseHarmonics,
  Count
};
const char* SiteMsgText(SiteMsg id);

}  // namespace tarn
