#pragma once
// Least-squares engine of a refinement cycle: accumulation of the normal
// equations, their normalised solution with singularity handling, standard
// uncertainties, damped shifts through the constraints, convergence and
// dynamical damping.
//
// Normal matrix: symmetric, packed lower triangle by rows, element (i, j),
// j <= i, at i (i + 1) / 2 + j (0-based). This is the upper triangle by columns
// of the classical layout (element (j, i), j <= i, at i (i + 1) / 2 + j) and the
// layout reffixoriginsuma writes into. It is kept in DOUBLE precision: at a few
// thousand parameters the matrix is small, and single precision would cost
// about four significant digits of the standard uncertainties.
//
// Accumulation is blocked: SumaRefine collects the weighted derivative rows
// h = sqrt(w) g of up to kSumaBlock observations and adds them as one
// symmetric rank-k update (a few rounding differences from adding them one at
// a time, nothing else). Anyone who reads or writes Am / Rhs directly
// (restraint terms, origin fixing) calls SumaFlush first; Inver does it itself.
#include <string>
#include <string_view>
#include <vector>

#include "model/covariance.hpp"
#include "refine/constr.hpp"

namespace tarn {

// ---------------------------------------------------------------- tolerances
constexpr double kSingPivot = 1.0e-6;  // normalised pivot below which a parameter is singular
constexpr int kSumaBlock = 64;         // observations per rank-k update
constexpr int kMaxDynRed = 10;         // more dynamical reductions end the run

// Normal equations of one cycle.
struct NormalEq {
  int N = 0;                // refined parameters (RefParams::NRef)
  std::vector<double> Am;   // packed symmetric matrix, N (N + 1) / 2: element (i, j), j <= i, at
                            // i (i + 1) / 2 + j; after Inver the normalised inverse D^-1 C D^-1
  std::vector<double> Rhs;  // right-hand side sum w r g, N
  std::vector<double> D;    // after Inver: normalisation d_i = 1/sqrt(A_ii) (0 for A_ii <= 0), N
  // Block buffer of the rank-k accumulation: NBuf rows h = sqrt(w) g, row r at
  // Buf[r * Ld], Ld >= N (padded to a multiple of 8), and sqrt(w) r per row.
  std::vector<double> Buf;
  std::vector<double> BufR;
  int Ld = 0;
  int NBuf = 0;
  long long NObs = 0;  // observations accumulated since RefLoopNuluj
};

// RefLoopNuluj: clears the normal equations before a reflection loop.
// Sizes the equations for n refined parameters and clears them.
void RefLoopNuluj(NormalEq& ne, int n);
// SumaRefine: adds one observation to the normal equations.
// Adds one observation: weight w, residual r (observed minus calculated) and
// the derivatives g of the calculated value over the refined parameters (N).
// A weight <= 0 adds nothing.
void SumaRefine(NormalEq& ne, double w, double r, const double* g);
// SumaFlush: adds the buffered observations to the normal equations.
// Folds the buffered rows into Am / Rhs.
void SumaFlush(NormalEq& ne);

// ---------------------------------------------------------------- solution
struct InverSettings {
  int Cycle = 1;         // cycle number for the messages
  int LsMethod = 0;      // lsmethod: 2 Marquardt technique
  double MarqLam = 0.;   // marqlam: diagonal multiplied by (1 + MarqLam) with LsMethod 2
  bool EsdCorr = false;  // esdcorr: s.u. multiplied by Berar when the structure has one data block
  int NDatBlocks = 1;    // data blocks of the structure
  double Berar = 1.;     // Berar factor of the cycle (BerarFactor), used with EsdCorr
  bool CheckCounts = true;  // compare the reflection count with the parameter count
};

struct InverResult {
  std::vector<double> Shift;  // per refined parameter: undamped shift, unit of the parameter
  std::vector<double> Sig;    // per refined parameter: s.u. = G sqrt(C_ii)
  std::vector<int> Singular;  // refined indices (0-based) of singular parameters, ascending
  int Fatal = 0;              // 1 too few reflections, 2 too many singularities
  bool Warning = false;       // serious warning written (fewer than 3 n reflections)
  double SigScale = 0.;       // G (times the Berar factor): covariance = SigScale^2 D A^-1 D
};

// Inver: inverts the normal matrix: shifts and s.u. of one cycle.
// Normalises (znorm), inverts (SmiHandleSing) and derives shifts and s.u.;
// gof is the goodness of fit of the observed reflections of the cycle and
// nRefl the number of reflections used. Listing lines (messages) are appended.
// Returns 0, or 1 when the run must end (out.Fatal says why).
[[nodiscard]] int Inver(NormalEq& ne, const RefParams& p, const InverSettings& s, double gof,
                        int nRefl, InverResult& out, std::vector<std::string>& listing);

// znorm: normalises the normal matrix to a unit diagonal.
// d_i = 1/sqrt(A_ii) (0 for A_ii <= 0) into d; A_ij := A_ij d_i d_j, Rhs_i := Rhs_i d_i.
void znorm(std::vector<double>& am, std::vector<double>& rhs, int n, std::vector<double>& d);
// SmiHandleSing: blocks the parameters that make the normal matrix singular.
// In-place inversion of the packed symmetric matrix by Gauss-Jordan elimination.
// A pivot below kSingPivot (relative to the normalised diagonal 1) makes its
// parameter singular: pivot set to 1, row and column cleared. Returns the
// singular indices (ascending).
std::vector<int> SmiHandleSing(std::vector<double>& am, int n);
// Kernel of the rank-k update: 0 portable loops, 1 AVX2+FMA (when the processor
// has it; the default). For tests and benchmarks.
void LsqSetKernel(int kernel);
// Correlation of refined parameters i and j from the inverted equations.
double InverCorrelation(const NormalEq& ne, int i, int j);
// RefCovariance: covariance of the coordinates and the cell after a solution.
// The matrix of every atom coordinate (x, y, z) and, with one phase, every
// cell parameter that is refined or depends on refined parameters, from the
// inverted equations of the final cycle: V = J C J^T with
// C = sigScale^2 D A^-1 D over the refined parameters and J the rows of the
// constraint map (refined: unit row; dependent: the coefficients of its
// expanded equation). Parameters fixed outright are left out.
CovMatrix RefCovariance(const RefParams& p, const NormalEq& ne, double sigScale);
// Berar factor for serially correlated residuals: x = sqrt(w) (obs - calc) in
// the order of the pattern (n values); see docs/refinement.md.
double BerarFactor(const double* x, long long n);

// ---------------------------------------------------------------- secant acceleration
// Gauss-Newton neglects sum w r d2(calc) in the normal matrix; for parameters
// the data fix weakly (a minor disorder component held by restraints) that
// term is not small and the cycles converge only linearly, each shift a
// fixed fraction of the last. The acceleration treats the cycle as a fixed
// point map x -> x + delta(x) and mixes the Gauss-Newton shifts of the last
// cycles (Anderson, J. ACM 12 (1965) 547; Walker & Ni, SIAM J. Numer. Anal.
// 49 (2011) 1715): with F the differences of successive shifts delta and X the
// differences of the applied shifts, gamma = argmin |delta - F gamma| (each
// parameter in units of its s.u.) and the applied shift is
// delta - (X + F) gamma. On the linear part of the map this is the secant
// (quasi-Newton) step, which the linear rate of plain cycles does not limit.
struct AccelState {
  int Depth = 3;                           // cycles kept
  std::vector<std::vector<double>> DX, DF;  // differences, s.u. units, newest last
  std::vector<double> LastF, LastStep;      // last Gauss-Newton shift and applied shift (s.u.)
  int NRef = -1;                            // parameter count the history belongs to
};
// RefAccelShift: replaces shift (per refined parameter, unit of the parameter)
// by the accelerated shift; su are the s.u. of the cycle (the scale of each
// component). The history is cleared when the parameter count changes; a
// mixed shift more than kAccelMaxGrow times the Gauss-Newton one is refused
// (the plain shift is used and the history cleared); a cycle whose plain
// shifts exceed 2 s.u. somewhere is applied as it is and clears the history
// (the secants hold only near the minimum). Returns true when mixed.
bool RefAccelShift(AccelState& st, std::vector<double>& shift, const std::vector<double>& su);
// Forgets the history (after a repeated cycle or a change of the parameters).
void RefAccelReset(AccelState& st);

// ---------------------------------------------------------------- shifts
struct ZmenaState {
  int Cycle = 0;             // current cycle (0 the start cycle)
  int Cycles = 0;            // last cycle of the run; lowered by convergence
  bool ConvChck = false;     // convchck
  int ConvCycl = 1;          // convcycl
  double ConvLim = 0.;       // convlim
  double UIsoLim = 0.;       // uisolim, Angstrom^2 (0 off)
  std::vector<int> SqScale;  // full-vector indices of scales refined as their square (fsquare 1)
  const NormalEq* Cov = nullptr;  // inverted equations of the solution: full covariance for the
                                  // s.u. of dependent parameters (else quadrature of coef * s.u.)
  // results of the last call
  int ConvCount = 0;           // consecutive cycles with max |change/s.u.| < ConvLim
  double MaxChange = 0.;       // largest |change/s.u.| of the cycle
  double MeanChange = 0.;      // mean |change/s.u.| over refined parameters with s.u. > 0
  int MaxPar = -1;             // full-vector index of the largest change
  bool Converged = false;      // Cycles was set to Cycle + 1
  std::vector<int> UIsoOff;    // atoms (0-based) whose Uiso exceeded UIsoLim this cycle
  std::vector<double> Change;  // per full parameter: applied change of the cycle
  // values before the last shifts (inverbackdamp)
  std::vector<double> ValBefore, SigBefore;
  int ConvCountBefore = 0;
};

// Zmena: applies the damped shifts of a solution.
// Applies new = old + damp * shift to the refined parameters, maps the shifts
// to the dependent ones (refderuncompress, RefAppEq), sets the s.u. of every
// parameter, handles the square-root scales, the unrealistic values, uisolim
// and the convergence counter. Returns 0 (1 is reserved for a fatal fault).
[[nodiscard]] int Zmena(RefParams& p, const InverResult& inv, double damp, ZmenaState& st,
                        std::vector<std::string>& listing);
// inverbackdamp: the last solution again with a smaller damping.
// Restores the values before the last Zmena and applies the same solution again
// with a new damping.
[[nodiscard]] int inverbackdamp(RefParams& p, const InverResult& inv, double damp, ZmenaState& st,
                                std::vector<std::string>& listing);

// inverfinal: the final s.u. from the equations of the last cycle (no shifts).
// Last cycle: s.u. of every parameter from the final equations without the
// Marquardt term (values unchanged, no convergence counting). Returns as Inver.
[[nodiscard]] int inverfinal(NormalEq& ne, RefParams& p, const InverSettings& s, double gof,
                             int nRefl, const ZmenaState& st, InverResult& out,
                             std::vector<std::string>& listing);

// Dynamical damping (keydynam 1).
struct DynDampState {
  double TolDynam = 0.;   // toldynam, percent
  double RedDynam = 2.;   // reddynam (> 1)
  int NcDynam = 0;        // ncdynam
  double DampStart = 1.;  // damp at the start of the run
  double PrevR = -1.;     // criterion of the previous cycle (< 0 none)
  int NRed = 0;           // reductions so far
  int SinceRed = 0;       // cycles since the last reduction
};
enum DynAction : int { DynNone = 0, DynReduced, DynIncreased, DynTooMany };
// RefApplyDynRed: dynamical damping: reduces or enlarges the damping after a cycle.
// Decision after the R factors of a cycle: r is wR(obs) (or the GOF). On
// DynReduced the caller restores the backups and calls inverbackdamp with the
// new damp; DynTooMany ends the run with an error.
int RefApplyDynRed(DynDampState& st, int cycle, double r, double& damp);
// RefDynReduce: one reduction of the damping after a failed cycle.
// One reduction of the damping (damp / reddynam) after a failed cycle:
// DynReduced, or DynTooMany after more than kMaxDynRed reductions.
int RefDynReduce(DynDampState& st, double& damp);

// Messages of the least squares.
namespace lsqmsg {
inline constexpr std::string_view TheNumberOf = "The number of";
inline constexpr std::string_view ReflSmaller = " reflections is smaller than";
inline constexpr std::string_view NumberOf = "number of";
inline constexpr std::string_view ThreeTimes = "three times number of";
inline constexpr std::string_view ParToRefine = " parameters to be refined.";
inline constexpr std::string_view InCycle = "In the cycle ";
inline constexpr std::string_view There = " there";
inline constexpr std::string_view OneSing = " was one singularity:";
inline constexpr std::string_view Were = " were ";
inline constexpr std::string_view Sings = " singularities:";
inline constexpr std::string_view SingElem = "Singularity - element #";
inline constexpr std::string_view Blocked = "The parameter will be blocked.";
inline constexpr std::string_view TooManySing = " corrections for singularities too large.";
inline constexpr std::string_view Unreal1 = "The parameter ";
inline constexpr std::string_view Unreal2 = " reached unreallistic value.";
inline constexpr std::string_view TooManyRed = "Too many dynamical reductions of the damping.";
}  // namespace lsqmsg

}  // namespace tarn
